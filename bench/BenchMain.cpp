// vidlomat-bench: how the engine's conversion with the window's default
// settings compares with a minimal direct use of the same library calls, in
// wall time, output frames per second and peak memory.
//
//   vidlomat-bench [--runs N] [--seconds S] [--dir FOLDER] [--libav FOLDER]
//   vidlomat-bench --convert engine|direct|none IN OUT [--libav FOLDER]
//   vidlomat-bench --quality [--seconds S] [--dir FOLDER] [--keyframe-seconds N]
//                  [--extra OPTION-LINES] [--compare] [--runs N] [--clip NAME]...
//
// The first form makes (or reuses) a 1280x720, 30 fps test clip with a stereo
// tone in FOLDER (default: vidlomat-bench under the temporary folder), then
// converts it N times with each variant. Every conversion runs in a fresh
// process (this program again, in the second form), so that each peak
// resident set size belongs to one conversion alone. The second form runs one
// conversion and prints its time; "none" only loads the libraries, which
// gives the floor every conversion's memory stands on.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Conversions.h"
#include "MediaLibraries.h"
#include "MediaMaker.h"
#include "QualityBench.h"

namespace {

namespace fs = std::filesystem;

constexpr int kClipWidth = 1280;
constexpr int kClipHeight = 720;
constexpr int kClipRate = 30;
// A grain on the picture that changes every frame, so the clip's encoder spends
// its bit rate and the decoder has real work, as with filmed material.
constexpr int kClipGrain = 8;

struct TOptions {
  int Runs = 3;
  double Seconds = 20.0;
  std::string Dir;
  std::string LibAV;
};

void Usage() {
  std::fprintf(stderr,
               "usage: vidlomat-bench [--runs N] [--seconds S] [--dir FOLDER] [--libav FOLDER]\n"
               "       vidlomat-bench --convert engine|direct|none IN OUT [--libav FOLDER]\n"
               "       vidlomat-bench --quality [--seconds S] [--dir FOLDER] [--keyframe-seconds N]\n"
               "                      [--extra OPTION-LINES] [--compare] [--runs N] [--clip NAME]...\n");
}

bool LoadLibraries(const std::string& Folder) {
  if (!LoadFFmpegLibraries(Folder.empty() ? DefaultLibraryFolder() : Folder, true)) {
    std::fprintf(stderr, "vidlomat-bench: cannot load the media libraries: %s\n", FFmpegLibrariesError().c_str());
    return false;
  }
  SetLibraryLogLevel(AV_LOG_ERROR);
  return true;
}

// ---------------------------------------------------------------------------
// One conversion (the child process)

int ConvertOnce(const std::string& Variant, const std::string& In, const std::string& Out, const std::string& LibAV) {
  if (!LoadLibraries(LibAV)) return 2;
  if (Variant == "none") {
    std::printf("seconds 0\n");
    return 0;
  }
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  bool ok;
  if (Variant == "engine") {
    ok = ConvertThroughEngine(In, Out, error);
  } else if (Variant == "direct") {
    ok = ConvertDirect(In, Out, error);
  } else {
    Usage();
    return 2;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "vidlomat-bench: %s conversion failed: %s\n", Variant.c_str(), error.c_str());
    return 1;
  }
  std::printf("seconds %.6f\n", seconds);
  return 0;
}

// ---------------------------------------------------------------------------
// Files

// Video frames and audio packets of a file, and its duration.
struct TFileCount {
  bool Ok = false;
  int Width = 0, Height = 0;
  int64_t VideoFrames = 0;
  int64_t AudioPackets = 0;
  double DurationSeconds = 0;
};

TFileCount CountFile(const std::string& Path, bool ReadPackets) {
  TFileCount count;
  AVFormatContext* ic = nullptr;
  if (ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr) < 0) return count;
  if (ff::avformat_find_stream_info(ic, nullptr) >= 0) {
    count.Ok = true;
    if (ic->duration != AV_NOPTS_VALUE) count.DurationSeconds = static_cast<double>(ic->duration) / AV_TIME_BASE;
    int video = -1;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
      if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && video < 0) {
        video = static_cast<int>(i);
        count.Width = ic->streams[i]->codecpar->width;
        count.Height = ic->streams[i]->codecpar->height;
      }
    if (ReadPackets) {
      if (AVPacket* pkt = ff::av_packet_alloc()) {
        while (ff::av_read_frame(ic, pkt) >= 0) {
          if (pkt->stream_index == video)
            ++count.VideoFrames;
          else if (ic->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            ++count.AudioPackets;
          ff::av_packet_unref(pkt);
        }
        ff::av_packet_free(&pkt);
      }
    }
  }
  ff::avformat_close_input(&ic);
  return count;
}

double MegaBytes(double Bytes) { return Bytes / (1024.0 * 1024.0); }

// "12.3 MB, 4.9 Mbit/s": the size of a file and its overall bit rate.
std::string ClipSize(const std::string& Path, double DurationSeconds) {
  std::error_code ec;
  const double bytes = static_cast<double>(fs::file_size(Path, ec));
  char text[64];
  std::snprintf(text, sizeof text, "%.1f MB, %.1f Mbit/s", MegaBytes(bytes),
                DurationSeconds > 0 ? bytes * 8 / DurationSeconds / 1e6 : 0.0);
  return text;
}

// Makes the clip unless a complete one is already there.
bool PrepareClip(const TOptions& Options, std::string& Path) {
  const long tenths = std::lround(Options.Seconds * 10);
  const std::string name = "clip-" + std::to_string(kClipWidth) + "x" + std::to_string(kClipHeight) + "-" +
                           std::to_string(kClipRate) + "fps-" + std::to_string(tenths / 10) +
                           (tenths % 10 ? "." + std::to_string(tenths % 10) : std::string()) + "s-grain" +
                           std::to_string(kClipGrain) + ".avi";
  Path = (fs::path(Options.Dir) / name).string();
  std::error_code ec;
  if (fs::exists(Path, ec)) {
    const TFileCount have = CountFile(Path, false);
    if (have.Ok && have.Width == kClipWidth && have.Height == kClipHeight &&
        have.DurationSeconds >= Options.Seconds - 0.5) {
      std::printf("clip: %s (reused, %s)\n", Path.c_str(), ClipSize(Path, have.DurationSeconds).c_str());
      return true;
    }
  }

  TClipSpec recipe;
  recipe.Name = "bench";
  recipe.FormatName = "avi";
  recipe.Extension = ".avi";
  recipe.VideoCodec = "mpeg4";
  recipe.VideoTag = "XVID";
  recipe.Width = kClipWidth;
  recipe.Height = kClipHeight;
  recipe.FrameRate = AVRational{kClipRate, 1};
  recipe.VideoBitRate = 8000000;
  recipe.Noise = kClipGrain;
  recipe.AudioCodec = "mp2";
  recipe.SampleRate = 44100;
  recipe.Channels = 2;
  recipe.AudioBitRate = 192000;
  recipe.DurationSeconds = Options.Seconds;

  // Written under another name first, so an interrupted run never leaves a
  // clip that looks complete.
  const std::string part = Path + ".part";
  std::printf("clip: making %s ...\n", Path.c_str());
  std::fflush(stdout);
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  if (!MakeClip(recipe, part, &error)) {
    std::fprintf(stderr, "vidlomat-bench: cannot make the clip: %s\n", error.c_str());
    return false;
  }
  fs::rename(part, Path, ec);
  if (ec) {
    std::fprintf(stderr, "vidlomat-bench: cannot rename %s: %s\n", part.c_str(), ec.message().c_str());
    return false;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("clip: %s (made in %.1f s, %s)\n", Path.c_str(), seconds,
              ClipSize(Path, CountFile(Path, false).DurationSeconds).c_str());
  return true;
}

// ---------------------------------------------------------------------------
// Runs in child processes

struct TRun {
  bool Ok = false;
  double Seconds = 0;     // the conversion, as the child timed it
  double CpuSeconds = 0;  // user + system time of the child
  long PeakKb = 0;        // the child's peak resident set size
  int64_t Frames = 0;     // video frames in the output
  int64_t AudioPackets = 0;
  double OutputMb = 0;
};

TRun RunChild(const std::string& Variant, const std::string& In, const std::string& Out, const std::string& LibAV) {
  TRun run;
  std::error_code ec;
  fs::remove(Out, ec);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    std::perror("vidlomat-bench: pipe");
    return run;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("vidlomat-bench: fork");
    close(pipeFds[0]);
    close(pipeFds[1]);
    return run;
  }
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<std::string> args{"vidlomat-bench", "--convert", Variant, In, Out};
    if (!LibAV.empty()) {
      args.push_back("--libav");
      args.push_back(LibAV);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    std::perror("vidlomat-bench: exec");
    _exit(127);
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[256];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  if (std::sscanf(text.c_str(), "seconds %lf", &run.Seconds) != 1) return run;
  run.Ok = true;
  run.PeakKb = usage.ru_maxrss;
  run.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (Variant != "none") {
    const TFileCount out = CountFile(Out, true);
    run.Frames = out.VideoFrames;
    run.AudioPackets = out.AudioPackets;
    run.OutputMb = MegaBytes(static_cast<double>(fs::file_size(Out, ec)));
  }
  return run;
}

double Median(std::vector<double> Values) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  const size_t n = Values.size();
  return n % 2 ? Values[n / 2] : (Values[n / 2 - 1] + Values[n / 2]) / 2;
}

void PrintRun(const char* Label, const TRun& R) {
  std::printf("%s: %.2f s, %.1f fps, peak %.0f MB, cpu %.2f s, %lld video frames, %lld audio packets, %.2f MB out\n",
              Label, R.Seconds, R.Seconds > 0 ? static_cast<double>(R.Frames) / R.Seconds : 0.0,
              static_cast<double>(R.PeakKb) / 1024.0, R.CpuSeconds, static_cast<long long>(R.Frames),
              static_cast<long long>(R.AudioPackets), R.OutputMb);
  std::fflush(stdout);
}

struct TSummary {
  double Seconds, Fps, PeakMb, CpuSeconds;
};

// Medians over the runs. The CPU time is printed too: on a machine shared with
// other work it moves much less than the wall time.
TSummary Summarise(const char* Label, const std::vector<TRun>& Runs) {
  std::vector<double> seconds, fps, peaks, cpu;
  for (const TRun& r : Runs) {
    seconds.push_back(r.Seconds);
    fps.push_back(r.Seconds > 0 ? static_cast<double>(r.Frames) / r.Seconds : 0.0);
    peaks.push_back(static_cast<double>(r.PeakKb) / 1024.0);
    cpu.push_back(r.CpuSeconds);
  }
  const TSummary s{Median(seconds), Median(fps), Median(peaks), Median(cpu)};
  std::printf("%s: %.2f s, %.1f fps, peak %.0f MB, cpu %.2f s (median of %zu; fastest %.2f s)\n", Label, s.Seconds,
              s.Fps, s.PeakMb, s.CpuSeconds, Runs.size(), *std::min_element(seconds.begin(), seconds.end()));
  return s;
}

int RunBenchmark(const TOptions& Options) {
  if (!LoadLibraries(Options.LibAV)) return 2;
  std::error_code ec;
  fs::create_directories(Options.Dir, ec);
  if (ec) {
    std::fprintf(stderr, "vidlomat-bench: cannot create %s: %s\n", Options.Dir.c_str(), ec.message().c_str());
    return 2;
  }
  std::string clip;
  if (!PrepareClip(Options, clip)) return 2;
  const std::string engineOut = (fs::path(Options.Dir) / "engine.mp4").string();
  const std::string directOut = (fs::path(Options.Dir) / "direct.mp4").string();
  std::printf("converting to mpeg4 512 kbit/s 320x240 30 fps + aac 80 kbit/s stereo 44100 Hz, %d run(s) each\n",
              Options.Runs);

  const TRun floor = RunChild("none", "", "", Options.LibAV);
  if (floor.Ok)
    std::printf("baseline (libraries loaded, nothing converted): peak %.0f MB\n",
                static_cast<double>(floor.PeakKb) / 1024.0);

  std::vector<TRun> engineRuns, directRuns;
  for (int i = 0; i < Options.Runs; ++i) {
    // Alternate which variant goes first, so a change in the machine's load
    // weighs on both alike.
    for (int k = 0; k < 2; ++k) {
      const bool engine = (k == 0) == (i % 2 == 0);
      const TRun run = RunChild(engine ? "engine" : "direct", clip, engine ? engineOut : directOut, Options.LibAV);
      const std::string label = std::string(engine ? "engine" : "direct") + " run " + std::to_string(i + 1);
      if (!run.Ok) {
        std::fprintf(stderr, "vidlomat-bench: %s failed\n", label.c_str());
        return 1;
      }
      PrintRun(label.c_str(), run);
      (engine ? engineRuns : directRuns).push_back(run);
    }
  }

  const TSummary e = Summarise("engine", engineRuns);
  const TSummary d = Summarise("direct", directRuns);
  if (engineRuns.back().Frames != directRuns.back().Frames)
    std::printf("note: the outputs differ in video frames (engine %lld, direct %lld)\n",
                static_cast<long long>(engineRuns.back().Frames), static_cast<long long>(directRuns.back().Frames));
  std::printf("ratio engine/direct: time %.2f, memory %.2f, cpu %.2f\n", d.Seconds > 0 ? e.Seconds / d.Seconds : 0.0,
              d.PeakMb > 0 ? e.PeakMb / d.PeakMb : 0.0, d.CpuSeconds > 0 ? e.CpuSeconds / d.CpuSeconds : 0.0);
  return 0;
}

bool ParseNumber(const char* Text, double& Value) {
  char* end = nullptr;
  errno = 0;
  Value = std::strtod(Text, &end);
  return errno == 0 && end != Text && *end == 0 && std::isfinite(Value);
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  TQualityOptions quality;
  bool qualityMode = false, secondsGiven = false, runsGiven = false;
  std::vector<std::string> convert;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    double number = 0;
    if (a == "--runs" && hasValue && ParseNumber(argv[i + 1], number) && number >= 1 && number <= 100) {
      options.Runs = static_cast<int>(number);
      runsGiven = true;
      ++i;
    } else if (a == "--seconds" && hasValue && ParseNumber(argv[i + 1], number) && number >= 1 && number <= 3600) {
      options.Seconds = number;
      secondsGiven = true;
      ++i;
    } else if (a == "--quality") {
      qualityMode = true;
    } else if (a == "--compare") {
      quality.Compare = true;
    } else if (a == "--keyframe-seconds" && hasValue && ParseNumber(argv[i + 1], number) && number >= 0 &&
               number <= 600) {
      quality.KeyFrameSeconds = static_cast<int>(number);
      ++i;
    } else if (a == "--extra" && hasValue) {
      quality.ExtraOptions = argv[++i];
    } else if (a == "--clip" && hasValue) {
      quality.Clips.emplace_back(argv[++i]);
    } else if (a == "--dir" && hasValue) {
      options.Dir = argv[++i];
    } else if (a == "--libav" && hasValue) {
      options.LibAV = argv[++i];
    } else if (a == "--convert" && i + 3 < argc) {
      convert = {argv[i + 1], argv[i + 2], argv[i + 3]};
      i += 3;
    } else {
      Usage();
      return 2;
    }
  }
  if (!convert.empty()) return ConvertOnce(convert[0], convert[1], convert[2], options.LibAV);
  if (options.Dir.empty()) options.Dir = (fs::temp_directory_path() / "vidlomat-bench").string();
  if (qualityMode) {
    if (!LoadLibraries(options.LibAV)) return 2;
    quality.Dir = options.Dir;
    if (runsGiven) quality.Rounds = options.Runs;
    if (secondsGiven) quality.Seconds = options.Seconds;
    return RunQualityBenchmark(quality);
  }
  return RunBenchmark(options);
}
