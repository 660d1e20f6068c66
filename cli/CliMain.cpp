#include "CliMain.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <map>
#include <memory>
#include <sstream>

#include "FolderScan.h"
#include "Loudness.h"
#include "SizeEstimate.h"
#include "SizeSampler.h"
#include "MyUtils.h"

namespace {

// Set by the signal handler, read by the converting thread: a lock-free
// atomic is safe in both places.
std::atomic<int> InterruptRequested{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The batch a running conversion waits on, so that an interrupt stops it at
// once rather than at the next turn of its wait: a short file would otherwise
// finish in the meantime. Both pointers are guarded by WakeLock; the lock
// order is WakeLock, then the batch's lock.
std::mutex WakeLock;
std::mutex* WakeBatchLock = nullptr;
std::condition_variable* WakeBatch = nullptr;
// The converter and batch of the running conversions, for a pause; guarded
// by WakeLock (order: WakeLock, the component's lock, the batch's lock).
class TBatch;
TCustomQuilloConverter* PauseConverter = nullptr;
TBatch* PauseBatch = nullptr;

using TClock = std::chrono::steady_clock;

bool ParseInt(const std::string& Text, int& Value) {
  if (Text.empty()) return false;
  size_t used = 0;
  try {
    const long v = std::stol(Text, &used, 10);
    if (used != Text.size() || v < INT32_MIN || v > INT32_MAX) return false;
    Value = static_cast<int>(v);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::string Join(const std::vector<std::string>& Items) {
  std::string s;
  for (const auto& i : Items) s += (s.empty() ? "" : ", ") + i;
  return s;
}

bool OneOf(const std::vector<std::string>& List, const std::string& Text) {
  for (const auto& i : List)
    if (i == Text) return true;
  return false;
}

std::string Clock(int64_t Seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(Seconds / 3600),
                static_cast<long long>(Seconds / 60 % 60), static_cast<long long>(Seconds % 60));
  return buf;
}

}  // namespace

void RequestCliInterrupt() {
  InterruptRequested = 1;
  std::lock_guard<std::mutex> wake(WakeLock);
  if (!WakeBatch) return;
  // Taking the batch's lock orders the flag before the waiter's next check.
  std::lock_guard<std::mutex> guard(*WakeBatchLock);
  WakeBatch->notify_all();
}

std::string CliVersion() { return "vidlomat-cli (Vidlomat) " VIDLOMAT_RELEASE; }

std::string CliUsage() {
  std::ostringstream s;
  s << "Usage: vidlomat-cli [OPTIONS] FILE|FOLDER...\n"
       "Converts video files to .mp4 (MPEG-4 video, AAC audio), one file per input.\n"
       "A folder stands for the video files of its whole tree, in name order (\"clip2\" before\n"
       "\"clip10\"), folder by folder; hidden files and folders are left out.\n\n"
       "  -o, --output DIR          output folder (default: the current folder); created when missing\n"
       "  -p, --profile N           quality profile 0..7 (video kbit/s, audio kbit/s, channels):\n";
  for (size_t i = 0; i < ProfileTexts().size(); ++i) s << "                              " << i << "  " << ProfileTexts()[i] << "\n";
  s << "      --video-kbps N        video bitrate in kbit/s, " << kMinVideoKbps << ".." << kMaxVideoKbps
    << " (default 512)\n"
    << "      --audio-kbps N        audio bitrate in kbit/s, " << kMinAudioKbps << ".." << kMaxAudioKbps
    << " (default 80)\n"
       "      --channels 1|2        (default 2)\n"
       "  -s, --size WxH            one of "
    << Join(FrameSizeTexts())
    << " (default 320x240)\n"
       "  -r, --fps RATE            auto, or one of "
    << Join(std::vector<std::string>(FrameRateTexts().begin() + 1, FrameRateTexts().end()))
    << " (default 30)\n"
       "      --rate HZ             audio sample rate, one of "
    << Join(SampleRateTexts())
    << " (default 44100)\n"
       "      --audio-lang CODE     of a file with several audio tracks, the one in this language\n"
       "                            (\"de\", \"deu\" or \"ger\"; default: the user's language from\n"
       "                            LANGUAGE, LC_ALL, LC_MESSAGES or LANG, else the track flagged\n"
       "                            default, else the one with the most channels)\n"
       "      --audio-track N       of a file with several audio tracks, the Nth (from 1); a file\n"
       "                            with fewer tracks takes its track as without this option\n"
       "      --no-normalize        keep each file's own loudness (default: every output's sound\n"
       "                            is evened out to "
    << std::lround(kEvenLoudnessLufs) << " LUFS, its true peak at most " << std::lround(kEvenTruePeakDbtp)
    << " dBTP)\n"
       "      --no-subtitles        burn no subtitles into the pictures (default: a subtitle file\n"
       "                            beside the video with its name, NAME.srt, .ass, .ssa, .vtt or\n"
       "                            NAME.LANG.srt in the user's language first, else an embedded text\n"
       "                            track flagged forced)\n"
       "      --subtitles FILE      burn the subtitles of FILE into every file's pictures\n"
       "      --language-subtitles  without a subtitle file or forced track, burn in the embedded\n"
       "                            text track in the user's language\n"
       "      --keyframe-seconds N  longest time between two key frames, 0.."
    << kMaxKeyFrameSeconds << " (default " << kDefaultKeyFrameSeconds
    << "; 0: a key frame every 12 frames)\n"
       "      --overwrite | --no-overwrite   write over an existing output, or take a free \"(N)\" name\n"
       "                            (default overwrite; a file given to convert is never\n"
       "                            written over)\n"
       "      --keep-folders        write the files of a folder argument at their places in its tree\n"
       "                            below the output folder (made as needed)\n"
       "      --skip-converted      leave out a file whose output is already there, converted\n"
       "                            from the same file (same name, size and modification time)\n"
       "                            with the same settings\n"
       "  -j, --jobs N              files converted at the same time (default 1)\n"
       "      --low-priority        convert at nice 10 as a batch job, so the desktop stays quick\n"
       "      --input-options TEXT  name=value lines handed to the engine for the input\n"
       "      --output-options TEXT the same for the output; vcodec, acodec, b, ab, ar, ac, s and r\n"
       "                            given here replace the settings above\n"
       "  -v, --verbose | -q, --quiet   more or less log output\n"
       "      --libraries           show the media libraries in use and exit\n"
       "  -h, --help                show this help and exit\n"
       "      --version             show the version and exit\n\n"
       "Exit status: 0 when every file converted, 1 when a file failed or was refused,\n"
       "2 for a usage error, 130 when interrupted.\n"
       "An interrupt (Ctrl-C, SIGTERM, SIGHUP) stops the conversions; a second one ends at once.\n"
       "A signal ignored when the program starts (SIGHUP under nohup) stays ignored.\n"
       "Ctrl-Z (SIGTSTP) pauses the conversions and stops the program; fg or bg (SIGCONT) resumes them.\n"
       "A file that does not finish leaves its output name as it was. Errors go to standard error.\n";
  return s.str();
}

bool ParseCliArguments(const std::vector<std::string>& Args, TCliOptions& Options, std::string& Error) {
  Options = TCliOptions{};
  int profile = -1, video = -1, audio = -1, channels = -1;
  bool onlyFiles = false;
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if (onlyFiles || a.empty() || a[0] != '-' || a == "-") {
      Options.Files.push_back(a);
      continue;
    }
    if (a == "--") {
      onlyFiles = true;
      continue;
    }
    std::string name = a, value;
    bool hasValue = false;
    if (a.size() > 2 && a[1] != '-' && std::string("oprsj").find(a[1]) != std::string::npos) {
      // "-j2": a short option with its value attached.
      name = a.substr(0, 2);
      value = a.substr(2);
      hasValue = true;
    } else if (a.rfind("--", 0) == 0) {
      const size_t eq = a.find('=');
      if (eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
        hasValue = true;
      }
    }
    auto take = [&](std::string& Into) {
      if (hasValue) {
        Into = value;
        return true;
      }
      if (i + 1 >= Args.size()) {
        Error = "option " + name + " needs a value";
        return false;
      }
      Into = Args[++i];
      return true;
    };
    auto takeInt = [&](int& Into, int Min, int Max) {
      std::string text;
      if (!take(text)) return false;
      if (!ParseInt(text, Into) || Into < Min || Into > Max) {
        Error = "option " + name + ": \"" + text + "\" is not a number from " + std::to_string(Min) + " to " +
                std::to_string(Max);
        return false;
      }
      return true;
    };
    std::string text;
    if (name == "-h" || name == "--help") {
      Options.Help = true;
    } else if (name == "--version") {
      Options.Version = true;
    } else if (name == "--libraries") {
      Options.Libraries = true;
    } else if (name == "-v" || name == "--verbose") {
      Options.Verbosity = 2;
    } else if (name == "-q" || name == "--quiet") {
      Options.Verbosity = 0;
    } else if (name == "--overwrite") {
      Options.Settings.Overwrite = true;
    } else if (name == "--no-overwrite") {
      Options.Settings.Overwrite = false;
    } else if (name == "--skip-converted") {
      Options.Settings.SkipConverted = true;
    } else if (name == "--keep-folders") {
      Options.Settings.KeepFolders = true;
    } else if (name == "--low-priority") {
      Options.LowPriority = true;
    } else if (name == "-o" || name == "--output") {
      if (!take(Options.Settings.OutputFolder)) return false;
      if (Options.Settings.OutputFolder.empty()) {
        Error = "option " + name + " needs a folder";
        return false;
      }
    } else if (name == "-p" || name == "--profile") {
      if (!takeInt(profile, 0, static_cast<int>(ProfileTexts().size()) - 1)) return false;
    } else if (name == "--video-kbps") {
      if (!takeInt(video, kMinVideoKbps, kMaxVideoKbps)) return false;
    } else if (name == "--audio-kbps") {
      if (!takeInt(audio, kMinAudioKbps, kMaxAudioKbps)) return false;
    } else if (name == "--channels") {
      if (!takeInt(channels, 1, 2)) return false;
    } else if (name == "-j" || name == "--jobs") {
      if (!takeInt(Options.Jobs, 1, 64)) return false;
    } else if (name == "-s" || name == "--size") {
      if (!take(text)) return false;
      if (!OneOf(FrameSizeTexts(), text)) {
        Error = "option " + name + ": size must be one of " + Join(FrameSizeTexts());
        return false;
      }
      Options.Settings.FrameSize = text;
    } else if (name == "-r" || name == "--fps") {
      if (!take(text)) return false;
      if (text == "auto" || text == "Auto") text = "Auto";
      if (!OneOf(FrameRateTexts(), text)) {
        Error = "option " + name + ": rate must be auto or one of " +
                Join(std::vector<std::string>(FrameRateTexts().begin() + 1, FrameRateTexts().end()));
        return false;
      }
      Options.Settings.FrameRate = text;
    } else if (name == "--rate") {
      if (!take(text)) return false;
      if (!OneOf(SampleRateTexts(), text)) {
        Error = "option " + name + ": sample rate must be one of " + Join(SampleRateTexts());
        return false;
      }
      Options.Settings.SampleRate = std::stoi(text);
    } else if (name == "--audio-lang") {
      if (!take(text)) return false;
      const std::string code = NormalLanguage(text);
      if (code.empty() || code.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
        Error = "option " + name + ": \"" + text + "\" is not a language code";
        return false;
      }
      Options.Settings.AudioLanguage = text;
    } else if (name == "--audio-track") {
      if (!takeInt(Options.Settings.AudioTrack, 1, 999)) return false;
    } else if (name == "--no-normalize") {
      Options.Settings.EvenVolume = false;
    } else if (name == "--no-subtitles") {
      Options.Settings.BurnSubtitles = false;
    } else if (name == "--language-subtitles") {
      Options.Settings.LanguageSubtitles = true;
    } else if (name == "--subtitles") {
      if (!take(Options.Settings.SubtitleFile)) return false;
      std::error_code ec;
      if (!std::filesystem::is_regular_file(Options.Settings.SubtitleFile, ec)) {
        Error = "option " + name + ": no such file: " + Options.Settings.SubtitleFile;
        return false;
      }
      Options.Settings.BurnSubtitles = true;
    } else if (name == "--keyframe-seconds") {
      if (!takeInt(Options.Settings.KeyFrameSeconds, 0, kMaxKeyFrameSeconds)) return false;
    } else if (name == "--input-options") {
      if (!take(Options.Settings.InputExtraOptions)) return false;
    } else if (name == "--output-options") {
      if (!take(Options.Settings.OutputExtraOptions)) return false;
    } else {
      Error = "unknown option " + name;
      return false;
    }
  }
  // A profile fills in the bitrates and channels; explicit values win.
  if (profile >= 0) ApplyProfile(Options.Settings, profile);
  if (video >= 0) Options.Settings.VideoKbps = video;
  if (audio >= 0) Options.Settings.AudioKbps = audio;
  if (channels >= 0) Options.Settings.ChannelsEntry = channels - 1;
  if (!Options.Help && !Options.Version && !Options.Libraries && Options.Files.empty()) {
    Error = "no input files";
    return false;
  }
  return true;
}

namespace {

// Frames per second of a file that has converted Frames in Took; the engine's
// EngineFps when nothing can be measured yet (no frame, no time), and -1 when
// neither has a rate to tell (the progress then shows none).
int MeasuredRate(int Frames, TClock::duration Took, int EngineFps) {
  const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(Took).count();
  if (Frames > 0 && ms > 0) return static_cast<int>(int64_t{Frames} * 1000 / ms);
  return EngineFps > 0 ? EngineFps : -1;
}

enum class TFileState { Refused, Skipped, Waiting, Converting, Converted, Stopped, Failed };

struct TFileRow {
  TFileSetup Setup;
  TFileState State = TFileState::Waiting;
  std::string Reason;
  std::string Shorter;  // converted: "shorter: 0:00:03 of 0:00:10" when clearly shorter than its header
  int Percent = -1;  // -1: unknown
  int Fps = -1;  // frames per second; -1 while there is no rate to show yet
  int64_t LeftSeconds = -1;
  TClock::time_point Started;  // when its task started (OnBeforeStart), else its first progress event
  bool StartKnown = false;
  // Where its rate is measured from: its start, or its last event without
  // pictures (the loudness pass before the conversion takes no frames).
  TClock::time_point RateFrom;
  bool Reported = false;      // its end was printed
  int PrintedPercent = -2;    // last percent printed as a plain line
};

// The state that the converter's events share with the printing thread.
class TBatch {
public:
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<TFileRow> Rows;        // guarded by Lock
  std::vector<int> RowOfTask;        // task index -> row; fixed before Start
  std::vector<std::string> LogLines; // guarded by Lock: to print on standard error
  bool AllDone = false;              // guarded by Lock
  bool Paused = false;               // guarded by Lock
  TClock::time_point PausedAt;       // guarded by Lock
};

class TPrinter {
public:
  TPrinter(std::ostream& Out, std::ostream& Err, bool Terminal, int Verbosity)
      : FOut(Out), FErr(Err), FTerminal(Terminal), FVerbosity(Verbosity) {}

  // Whether a converted file's output is measured against its header's
  // length; not when the user's own options may cut it (a time limit).
  bool MeasureLength = true;

  // Prints what happened since the last call; Rows under the batch lock.
  void Update(TBatch& B, bool Final) {
    std::vector<std::string> lines, errors;
    std::string status;
    {
      std::lock_guard<std::mutex> guard(B.Lock);
      errors.swap(B.LogLines);
      for (TFileRow& r : B.Rows) {
        const std::string name = std::filesystem::path(r.Setup.FileName).filename().string();
        if (!r.Reported && (r.State == TFileState::Converted || r.State == TFileState::Stopped ||
                            r.State == TFileState::Failed)) {
          r.Reported = true;
          // A conversion error goes to standard error, once per file, and so
          // do an output cut short and what a stopped file left behind.
          if (r.State == TFileState::Converted && MeasureLength) r.Shorter = ShorterThanHeader(r);
          if (r.State == TFileState::Failed)
            errors.push_back(name + ": failed: " + OneLine(r.Reason));
          else if (!r.Shorter.empty())
            errors.push_back(name + ": converted, but " + r.Shorter + ": the input ends before its header says");
          else if (r.State == TFileState::Stopped && !r.Reason.empty())
            errors.push_back(name + ": stopped: " + OneLine(r.Reason));
          if (FVerbosity > 0 && r.State != TFileState::Failed)
            lines.push_back(name + (r.State == TFileState::Converted ? ": converted -> " + r.Setup.OutputPath
                                                                     : std::string(": stopped")));
        } else if (r.State == TFileState::Converting && FVerbosity > 0) {
          status += (status.empty() ? "" : "  ") + Bar(r, name);
          if (!FTerminal && r.Percent != r.PrintedPercent) {
            lines.push_back(name + ": " + Numbers(r));
            r.PrintedPercent = r.Percent;
          }
        }
      }
    }
    if (FTerminal && FShown) FOut << "\r\033[K";
    FShown = false;
    // One status line for every file in progress: a line that wraps could not
    // be cleared again, so it is cut to the terminal's width.
    const size_t width = TerminalWidth();
    if (status.size() >= width) status.resize(width - 1);
    if (!errors.empty()) {
      FOut.flush();
      for (const auto& l : errors) FErr << l << "\n";
      FErr.flush();
    }
    for (const auto& l : lines) FOut << l << "\n";
    if (FTerminal && !status.empty() && !Final) {
      FOut << status;
      FShown = true;
    }
    FOut.flush();
  }

private:
  static std::string ShorterThanHeader(const TFileRow& R) {
    const int64_t headerMs = R.Setup.DurationUs > 0 ? R.Setup.DurationUs / 1000 : -1;
    if (headerMs <= 0) return {};
    // An output that cannot be read back is not measured.
    const int64_t outputUs = MediaDurationUs(R.Setup.OutputPath);
    if (outputUs <= 0) return {};
    return ClearlyShorter(outputUs / 1000, headerMs) ? ShorterText(outputUs / 1000, headerMs) : std::string();
  }
  // The engine's reasons may run over several lines.
  static std::string OneLine(std::string Text) {
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) Text.pop_back();
    for (size_t at = 0; (at = Text.find_first_of("\r\n", at)) != std::string::npos;) {
      const size_t end = Text.find_first_not_of("\r\n", at);
      Text.replace(at, end == std::string::npos ? std::string::npos : end - at, " ");
    }
    return Text;
  }
  // Columns of the terminal on standard output (80 when it cannot be asked).
  static size_t TerminalWidth() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col;
    return 80;
  }
  static std::string Numbers(const TFileRow& R) {
    std::string s = R.Percent >= 0 ? std::to_string(R.Percent) + "%" : "?%";
    if (R.Fps > 0) s += ", " + std::to_string(R.Fps) + " fps";
    if (R.LeftSeconds >= 0) s += ", " + Clock(R.LeftSeconds) + " left";
    return s;
  }
  static std::string Bar(const TFileRow& R, const std::string& Name) {
    constexpr int kWidth = 20;
    const int filled = R.Percent >= 0 ? R.Percent * kWidth / 100 : 0;
    return Name + " [" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kWidth - filled), '.') + "] " + Numbers(R);
  }
  std::ostream& FOut;
  std::ostream& FErr;
  bool FTerminal;
  int FVerbosity;
  bool FShown = false;
};

}  // namespace

void RequestCliPause(bool On) {
  std::lock_guard<std::mutex> wake(WakeLock);
  if (!PauseConverter) return;
  PauseConverter->Pause(On);
  TBatch& b = *PauseBatch;
  std::lock_guard<std::mutex> guard(b.Lock);
  const auto now = TClock::now();
  if (On && !b.Paused) {
    b.Paused = true;
    b.PausedAt = now;
  } else if (!On && b.Paused) {
    // The time left and the rate are reckoned from the time spent converting.
    b.Paused = false;
    for (TFileRow& r : b.Rows)
      if (r.State == TFileState::Converting || (r.State == TFileState::Waiting && r.StartKnown)) {
        r.Started += now - b.PausedAt;
        r.RateFrom += now - b.PausedAt;
      }
  }
  b.Changed.notify_all();
}

TBatchRoom CheckBatchRoom(const std::vector<int64_t>& Bounds, int64_t Free,
                          const std::function<int64_t(size_t)>& Measure) {
  TBatchRoom room;
  for (const int64_t b : Bounds) room.Bytes += std::max<int64_t>(b, 0);
  if (!TSizeEstimate::ClearlyTooLarge(room.Bytes, Free)) return room;
  room.Measured = true;
  room.Bytes = 0;
  for (size_t i = 0; i < Bounds.size(); ++i) {
    if (Bounds[i] <= 0) continue;
    const int64_t measured = Measure(i);
    room.Bytes += measured >= 0 ? measured : Bounds[i];
  }
  room.Fits = !TSizeEstimate::ClearlyTooLarge(room.Bytes, Free);
  return room;
}

int RunCli(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err, bool Terminal) {
  InterruptRequested = 0;
  TCliOptions options;
  std::string error;
  if (!ParseCliArguments(Args, options, error)) {
    Err << "vidlomat-cli: " << error << "\n" << "Try 'vidlomat-cli --help'.\n";
    return kExitUsage;
  }
  if (options.Help) {
    Out << CliUsage();
    return kExitOk;
  }
  if (options.Version) {
    Out << CliVersion() << "\n";
    return kExitOk;
  }

  // A language no one knows takes no track: the user's own language does.
  if (const std::string& language = options.Settings.AudioLanguage;
      !language.empty() && !KnownLanguage(language) && options.Verbosity > 0)
    Err << "vidlomat-cli: warning: --audio-lang \"" << language
        << "\" is not a known language code; the track in your own language is converted\n";

  TQuilloConverter converter;
  const std::string folder = DefaultLibraryFolder();
  if (!converter.LoadLibraries(folder, true)) {
    Err << "vidlomat-cli: " << converter.LastError() << "\n";
    return kExitFailed;
  }
  if (options.Libraries) {
    Out << "Media libraries in " << folder << ":\n";
    for (const TLibraryInfo& info : LoadedLibraryInfo(folder))
      Out << "  " << std::left << std::setw(20) << info.FileName << " " << (info.Version >> 16) << "."
          << ((info.Version >> 8) & 0xFF) << "." << (info.Version & 0xFF) << "  " << info.Path << "\n";
    converter.UnloadLibraries();
    return kExitOk;
  }
  converter.SetLogLevel(options.Verbosity >= 2 ? llInfo : llError);

  TBatchSettings& settings = options.Settings;
  if (settings.OutputFolder.empty()) settings.OutputFolder = ".";
  // A folder that cannot take the outputs ends the run before anything is
  // made (making a missing drive's folder would fill the system disk).
  if (const std::string problem = OutputFolderProblem(settings.OutputFolder); !problem.empty()) {
    Err << "vidlomat-cli: the output folder \"" << settings.OutputFolder << "\" cannot be used: " << problem << "\n";
    converter.UnloadLibraries();
    return kExitFailed;
  }
  {
    // Created with its parents when missing; a failure shows up per file.
    std::error_code ec;
    std::filesystem::create_directories(settings.OutputFolder, ec);
  }

  TBatch batch;
  // A folder argument stands for the video files of its tree; what its scan
  // refuses (a broken link, an unreadable folder) is a refused row.
  std::vector<TScannedFile> inputs;
  for (const std::string& file : options.Files) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      inputs.push_back({file, ""});
      continue;
    }
    TFolderScan scan;
    scan.OnProgress = [](size_t, const std::string&) { return !InterruptRequested; };
    const TFolderScanResult found = scan.Scan(file);
    if (found.Cancelled) break;
    inputs.insert(inputs.end(), found.Files.begin(), found.Files.end());
    for (const TScanRefusal& refusal : found.Refused) {
      TFileRow row;
      row.Setup.FileName = refusal.Path;
      row.Setup.Base = BaseNameOf(refusal.Path);
      row.State = TFileState::Refused;
      row.Reason = refusal.Path + ": " + refusal.Reason;
      Err << row.Reason << "\n";
      batch.Rows.push_back(std::move(row));
    }
    if (found.Files.empty() && found.Refused.empty() && options.Verbosity > 0)
      Err << "vidlomat-cli: no video files in " << file << "\n";
  }
  // No output may replace a file of the batch, a later one's included.
  TNameReservations reserved;
  for (const TScannedFile& file : inputs) reserved.AddSource(file.Path);
  for (const TScannedFile& file : inputs) {
    if (InterruptRequested) break;
    TFileRow row;
    row.Setup = SetUpFile(converter, settings, file.Path, &reserved, file.Folder);
    if (row.Setup.Skipped) {
      row.State = TFileState::Skipped;
    } else if (!row.Setup.Ok) {
      row.State = TFileState::Refused;
      // The window's message, and what the libraries said about the file.
      row.Reason = row.Setup.Message;
      if (!row.Setup.Detail.empty()) row.Reason += " (" + row.Setup.Detail + ")";
      Err << row.Reason << "\n";
    } else {
      batch.RowOfTask.push_back(static_cast<int>(batch.Rows.size()));
      // What the conversion leaves out (subtitles that cannot be read).
      if (!row.Setup.Warning.empty() && options.Verbosity > 0) Err << row.Setup.Warning << "\n";
    }
    batch.Rows.push_back(std::move(row));
  }

  if (options.Verbosity > 0) {
    size_t wName = 14, wType = 4;
    for (const TFileRow& r : batch.Rows) {
      wName = std::max(wName, r.Setup.Base.size());
      wType = std::max(wType, r.Setup.Type.size());
    }
    Out << std::left << std::setw(static_cast<int>(wName)) << "Input Filename" << "  " << std::setw(8) << "Duration"
        << "  " << std::setw(static_cast<int>(wType)) << "Type" << "  Output Filename\n";
    for (const TFileRow& r : batch.Rows)
      Out << std::left << std::setw(static_cast<int>(wName)) << r.Setup.Base << "  " << std::setw(8)
          << r.Setup.Duration << "  " << std::setw(static_cast<int>(wType)) << r.Setup.Type << "  "
          << (r.State == TFileState::Refused ? "(refused)"
              : r.State == TFileState::Skipped ? r.Setup.OutputName + " (already converted)"
                                                : r.Setup.OutputName)
          << "\n";
  }
  // Whether the batch fits: the bitrate bounds of the files to convert
  // against the output folder's free space, and when they do not fit, the
  // sizes measured on samples of the files.
  std::vector<int64_t> bounds;
  std::vector<std::string> boundFiles;
  for (const TFileRow& r : batch.Rows)
    if (r.Setup.Ok && r.Setup.ExpectedBytes > 0) {
      bounds.push_back(r.Setup.ExpectedBytes);
      boundFiles.push_back(r.Setup.FileName);
    }
  const int sized = static_cast<int>(bounds.size());
  const int64_t freeBytes = TSizeEstimate::FreeBytes(settings.OutputFolder);
  int64_t boundTotal = 0;
  for (const int64_t b : bounds) boundTotal += b;
  if (options.Verbosity > 0 && sized > 0) Out << TSizeEstimate::BatchLine(sized, boundTotal, freeBytes) << "\n";
  Out.flush();
  // The samples are encoded, one after another on this thread, by a
  // component of their own (the batch's tasks stay in the one above) into a
  // temporary folder of their own.
  std::unique_ptr<TQuilloConverter> sampler;
  std::unique_ptr<TSampleFolder> sampleFolder;
  const TBatchRoom room = CheckBatchRoom(bounds, freeBytes, [&](size_t Index) -> int64_t {
    if (!sampler) {
      if (options.Verbosity > 0) Out << "Measuring the output sizes on samples of the files..." << std::endl;
      sampler = std::make_unique<TQuilloConverter>();
      sampleFolder = std::make_unique<TSampleFolder>(std::filesystem::temp_directory_path().string());
    }
    if (sampleFolder->Path().empty() || InterruptRequested) return -1;
    TSampleControl control;
    return MeasureOutputBytes(*sampler, settings, boundFiles[Index], sampleFolder->Path(), control);
  });
  // The component closes its files before their folder is removed.
  sampler.reset();
  sampleFolder.reset();
  if (room.Measured && options.Verbosity > 0) Out << TSizeEstimate::BatchLine(sized, room.Bytes, freeBytes) << "\n";
  Out.flush();
  // An interrupt while measuring leaves the files unmeasured: the stop below
  // ends the run as an interrupt, not as a refusal.
  if (!room.Fits && !InterruptRequested) {
    Err << "vidlomat-cli: " << TSizeEstimate::TooLargeMessage(settings.OutputFolder, room.Bytes, freeBytes)
        << " Nothing was converted.\n";
    converter.ClearTasks();
    converter.UnloadLibraries();
    return kExitFailed;
  }

  converter.OnTerminate = [&batch](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    std::lock_guard<std::mutex> guard(batch.Lock);
    if (AIndex < 0) {
      batch.AllDone = true;
    } else if (AIndex < static_cast<int>(batch.RowOfTask.size())) {
      TFileRow& r = batch.Rows[static_cast<size_t>(batch.RowOfTask[static_cast<size_t>(AIndex)])];
      r.State = AException ? TFileState::Failed : (AFinished ? TFileState::Converted : TFileState::Stopped);
      r.Reason = AMessage;
    }
    batch.Changed.notify_all();
  };
  // The rate is measured from the moment the task starts: the engine's own
  // reads 0 for its first second, all of a short file.
  converter.OnBeforeStart = [&batch](int AIndex) {
    std::lock_guard<std::mutex> guard(batch.Lock);
    if (AIndex < 0 || AIndex >= static_cast<int>(batch.RowOfTask.size())) return;
    TFileRow& r = batch.Rows[static_cast<size_t>(batch.RowOfTask[static_cast<size_t>(AIndex)])];
    r.Started = r.RateFrom = TClock::now();
    r.StartKnown = true;
  };
  converter.OnProgress = [&batch](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float, float,
                                  int64_t, int ATotalOutputDuration) {
    std::lock_guard<std::mutex> guard(batch.Lock);
    if (AIndex < 0 || AIndex >= static_cast<int>(batch.RowOfTask.size())) return;
    TFileRow& r = batch.Rows[static_cast<size_t>(batch.RowOfTask[static_cast<size_t>(AIndex)])];
    const auto now = TClock::now();
    if (r.State == TFileState::Waiting) {
      r.State = TFileState::Converting;
      if (!r.StartKnown) r.Started = r.RateFrom = now;
    }
    if (AFrameNumber <= 0) r.RateFrom = now;
    r.Fps = MeasuredRate(AFrameNumber, now - r.RateFrom, AFPS);
    if (ATotalOutputDuration > 0 && ACurrentDuration >= 0) {
      r.Percent = static_cast<int>(std::min<int64_t>(100, static_cast<int64_t>(ACurrentDuration) * 100 / ATotalOutputDuration));
      const double elapsed = std::chrono::duration<double>(now - r.Started).count();
      if (ACurrentDuration > 0)
        r.LeftSeconds = static_cast<int64_t>(elapsed * (ATotalOutputDuration - ACurrentDuration) / ACurrentDuration);
    }
  };
  // Log lines are shown with --verbose, on standard error; the message of an
  // error that ends a conversion (level quiet) is its failure line.
  converter.OnLog = [&batch, &options](int AIndex, TLogLevel ALevel, const std::string& AMsg) {
    if (options.Verbosity < 2 || ALevel == llQuiet) return;
    std::lock_guard<std::mutex> guard(batch.Lock);
    batch.LogLines.push_back((AIndex >= 0 ? "[" + std::to_string(AIndex) + "] " : std::string()) + AMsg);
  };

  TPrinter printer(Out, Err, Terminal, options.Verbosity);
  printer.MeasureLength = settings.InputExtraOptions.empty() && settings.OutputExtraOptions.empty();
  bool interrupted = false;
  if (!batch.RowOfTask.empty()) {
    converter.SetThreadPriority(options.LowPriority ? tpLowest : tpNormal);
    converter.SetProgressInterval(200);
    converter.Start(options.Jobs);
    {
      std::lock_guard<std::mutex> wake(WakeLock);
      WakeBatchLock = &batch.Lock;
      WakeBatch = &batch.Changed;
      PauseConverter = &converter;
      PauseBatch = &batch;
    }
    std::unique_lock<std::mutex> lock(batch.Lock);
    while (!batch.AllDone) {
      if (!InterruptRequested || interrupted) batch.Changed.wait_for(lock, std::chrono::milliseconds(200));
      if (InterruptRequested && !interrupted) {
        interrupted = true;
        Err << "vidlomat-cli: stopping (interrupt again to end at once)\n";
        Err.flush();
        lock.unlock();
        // Not under the batch lock: the events take it while the component
        // holds its own.
        converter.StopAll();
        lock.lock();
      }
      lock.unlock();
      printer.Update(batch, false);
      lock.lock();
    }
    lock.unlock();
    std::lock_guard<std::mutex> wake(WakeLock);
    WakeBatchLock = nullptr;
    WakeBatch = nullptr;
    PauseConverter = nullptr;
    PauseBatch = nullptr;
  }
  converter.OnProgress = nullptr;
  converter.OnLog = nullptr;
  converter.OnTerminate = nullptr;
  // Freeing the tasks removes what a stopped or failed conversion wrote: its
  // output name stays as it was before the run.
  converter.ClearTasks();
  interrupted = interrupted || InterruptRequested;
  printer.Update(batch, true);

  int converted = 0, stopped = 0, failed = 0, refused = 0, skipped = 0;
  for (const TFileRow& r : batch.Rows) {
    switch (r.State) {
      case TFileState::Converted: ++converted; break;
      case TFileState::Refused: ++refused; break;
      case TFileState::Skipped: ++skipped; break;
      case TFileState::Failed: ++failed; break;
      default: ++stopped; break;  // stopped, or never started because of a stop
    }
  }
  Out << "Summary: " << converted << " converted, " << stopped << " stopped, " << failed << " failed, " << refused
      << " refused, " << skipped << " skipped\n";
  for (const TFileRow& r : batch.Rows) {
    const std::string& in = r.Setup.FileName;
    switch (r.State) {
      case TFileState::Converted:
        Out << "  converted  " << in << " -> " << r.Setup.OutputPath
            << (r.Shorter.empty() ? "" : " (" + r.Shorter + ")") << "\n";
        break;
      case TFileState::Refused: Out << "  refused    " << in << ": " << r.Reason << "\n"; break;
      case TFileState::Skipped:
        Out << "  skipped    " << in << " -> " << r.Setup.OutputPath << " (already converted)\n";
        break;
      case TFileState::Failed: Out << "  failed     " << in << "\n"; break;
      default: Out << "  stopped    " << in << "\n"; break;
    }
  }
  Out.flush();
  converter.UnloadLibraries();
  if (interrupted) return kExitInterrupted;
  return converted + skipped == static_cast<int>(batch.Rows.size()) ? kExitOk : kExitFailed;
}
