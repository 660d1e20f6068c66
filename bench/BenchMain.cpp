// vidlomat-bench: how fast the engine converts with the window's default
// settings, against a minimal direct use of the same library calls and
// against what the machine's cores allow, in wall time, processor time and
// peak memory.
//
//   vidlomat-bench [--runs N] [--seconds S] [--dir FOLDER] [--libav FOLDER]
//   vidlomat-bench --convert engine|engine1|onestage|onecore|direct|direct1|decode|decode1|none IN OUT [--libav FOLDER]
//   vidlomat-bench --batch JOBS OUTFOLDER IN... [--libav FOLDER]
//   vidlomat-bench --quality [--seconds S] [--dir FOLDER] [--keyframe-seconds N]
//                  [--extra OPTION-LINES] [--compare] [--runs N] [--clip NAME]...
//   vidlomat-bench --batch-memory [FILES [FOLDER]]
//   vidlomat-bench --hdr [--seconds S] [--runs N] [--dir FOLDER]
//   vidlomat-bench --against PROGRAM [--runs N] [--seconds S] [--dir FOLDER] [--clip NAME]...
//   vidlomat-bench --nice [--runs N] [--seconds S] [--dir FOLDER]
//   vidlomat-bench --estimate [--dir FOLDER]
//   vidlomat-bench --loudness [--seconds S] [--dir FOLDER]
//
// The first form makes (or reuses) test clips in FOLDER (default:
// vidlomat-bench under the temporary folder), each with a grain that changes
// every frame: 1920x1080 H.264 with AAC in an MP4 and 768x576 MS-MPEG4 (a
// decoder without threads of its own) at 10 fps with MP3 in an AVI, each
// converted N times through the engine (encoding on a thread of its own, as
// by default; on the run's thread as before, "one stage"; on one core; with
// one-thread decoders), the direct conversion and the video decoding alone
// (every core, one thread); 1280x720 Xvid; and for the memory target 720p
// H.264 (also as a phone clip shown turned) and 1080p 10-bit HEVC (also HDR,
// HLG) (engine and decoding only). Then it converts a
// batch of two copies of the 1080p clip through the converter component, one
// file at a time and two at once.
//
// Every conversion runs in a fresh process (this program again, in the second
// or third form), so that each peak resident set size and processor time
// belongs to one conversion alone. "none" only loads the libraries, which
// gives the floor every conversion's memory stands on.
//
// The --against form converts the clips (or those named by --clip, by their
// recipe name) through this build's engine and through another build of this
// program (an earlier state of it), taking turns, and tables the medians.
//
// The --nice form converts the 1080p clip as a batch of one through the
// converter component at normal and at low priority, taking turns, and prints
// low against normal (wall and processor time): on an idle machine being nice
// should cost nothing.
//
// The --loudness form converts every clip, and a 10-minute film silent but
// for its last 10 s, through the converter component with "Even out the
// volume" off and on, and tables the loudness of the source's sound and of
// each AAC output (EBU R128 integrated loudness and true peak, through the
// libraries' ebur128 filter) and the wall time of each conversion.
//
// The machine's limit for a job is the processor time of its one-thread run
// spread over every core: no schedule of the same work can end sooner.
#include <sched.h>
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

#include "BatchMemory.h"
#include "Conversions.h"
#include "EncodeStage.h"
#include "Loudness.h"
#include "MediaLibraries.h"
#include "MediaMaker.h"
#include "EstimateBench.h"
#include "QualityBench.h"

namespace {

namespace fs = std::filesystem;

// A grain on the picture that changes every frame, so the clip's encoder spends
// its bit rate and the decoder has real work, as with filmed material.
constexpr int kClipGrain = 8;

// The targets the figures are held against.
constexpr double kTargetLimitRatio = 1.25;     // wall time against the machine's limit
constexpr double kTargetBatchLimitRatio = 1.25;  // two files at once against the machine's limit
constexpr double kTargetPeakMb = 100;          // peak memory on every clip
constexpr double kTargetOverhead = 1.02;       // engine against direct, wall time
constexpr double kTargetOneStageShare = 0.60;  // one-thread decoder clip: wall time against one stage
constexpr double kTargetCpuPerWall = 1.6;      // one-thread decoder clip: processor time per wall time
constexpr double kTargetNoSlower = 1.00;       // 1080p H.264: wall time against one stage

struct TOptions {
  int Runs = 3;
  double Seconds = 11.0;
  std::string Dir;
  std::string LibAV;
  std::string Against;  // another build of this program to compare the engine with
};

void Usage() {
  std::fprintf(stderr,
               "usage: vidlomat-bench [--runs N] [--seconds S] [--dir FOLDER] [--libav FOLDER]\n"
               "       vidlomat-bench --convert engine|engine1|onestage|onecore|direct|direct1|decode|decode1|none IN OUT\n"
               "                      [--libav FOLDER]\n"
               "       vidlomat-bench --batch JOBS OUTFOLDER IN... [--libav FOLDER]\n"
               "       vidlomat-bench --quality [--seconds S] [--dir FOLDER] [--keyframe-seconds N]\n"
               "                      [--extra OPTION-LINES] [--compare] [--runs N] [--clip NAME]...\n"
               "       vidlomat-bench --batch-memory [FILES [FOLDER]]\n"
               "       vidlomat-bench --hdr [--seconds S] [--runs N] [--dir FOLDER]\n"
               "       vidlomat-bench --against PROGRAM [--runs N] [--seconds S] [--dir FOLDER] [--clip NAME]...\n"
               "       vidlomat-bench --nice [--runs N] [--seconds S] [--dir FOLDER]\n"
               "       vidlomat-bench --estimate [--dir FOLDER]\n"
               "       vidlomat-bench --loudness [--seconds S] [--dir FOLDER]\n");
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
// One conversion or batch (the child process)

int ConvertOnce(const std::vector<std::string>& Args, const std::string& LibAV) {
  const std::string& variant = Args[0];
  if (variant == "onecore") {
    // Every thread of the conversion (and the decoders' count of cores)
    // sees the first core this process may use.
    cpu_set_t allowed, one;
    CPU_ZERO(&one);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
      for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) {
          CPU_SET(c, &one);
          break;
        }
    if (sched_setaffinity(0, sizeof one, &one) != 0) {
      std::perror("vidlomat-bench: sched_setaffinity");
      return 2;
    }
  }
  if (!LoadLibraries(LibAV)) return 2;
  if (variant == "none") {
    std::printf("seconds 0\nsetup_kb 0\npeak_kb %ld\n", PeakResidentKb());
    return 0;
  }
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  bool ok;
  long setupKb = 0;
  if (variant == "engine" || variant == "engine1" || variant == "onestage" || variant == "onecore") {
    ok = ConvertThroughEngine(Args[1], Args[2], variant == "engine1" ? 1 : 0, variant != "onestage", error, &setupKb);
  } else if (variant == "direct" || variant == "direct1") {
    ok = ConvertDirect(Args[1], Args[2], variant == "direct1" ? 1 : 0, error);
  } else if (variant == "decode" || variant == "decode1") {
    ok = ConvertDirect(Args[1], "", variant == "decode1" ? 1 : 0, error);
  } else if (variant == "batch" || variant == "batch-low") {
    ok = ConvertBatch(std::vector<std::string>(Args.begin() + 3, Args.end()), Args[2], std::atoi(Args[1].c_str()),
                      error, variant == "batch-low");
  } else {
    Usage();
    return 2;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "vidlomat-bench: %s conversion failed: %s\n", variant.c_str(), error.c_str());
    return 1;
  }
  // The peak of this program alone: the resource usage the parent gets also
  // counts what this process shared with the parent right after the fork.
  std::printf("seconds %.6f\nsetup_kb %ld\npeak_kb %ld\n", seconds, setupKb, PeakResidentKb());
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

// What a clip is measured for: every variant and the speed targets, or only
// the engine's memory (and where it goes).
enum TClipUse { cuSpeed, cuMemory };
// The speed targets a clip is held against.
enum TClipTargets { ctNone, ctThreadedDecoder, ctOneThreadDecoder };

struct TBenchClip {
  std::string Label;
  TClipSpec Recipe;
  TClipUse Use = cuSpeed;
  TClipTargets Targets = ctNone;
};

// The clips: what cameras and downloads give today (1080p H.264 with
// B-frames, AAC), Seconds long; a file whose video decoder has no threads of
// its own (768x576 MS-MPEG4 at 10 fps with MP3, as DivX 3 files are), at
// least a minute; the older kind of file (720p Xvid, MPEG audio); and for the
// memory target only, a 720p H.264 phone clip and 1080p 10-bit HEVC, 4 s.
std::vector<TBenchClip> BenchClips(double Seconds) {
  // Each starts from a test preset (container, codecs and tag), at today's
  // sizes, with a high bit rate and grain.
  auto recipe = [](const char* Preset, const char* Name, int Width, int Height, const char* AudioCodec,
                   int64_t AudioBitRate, double Duration) {
    TClipSpec s = ClipSpecByName(Preset);
    s.Name = Name;
    s.Width = Width;
    s.Height = Height;
    s.FrameRate = AVRational{30, 1};
    s.VideoBitRate = 8000000;
    s.Noise = kClipGrain;
    s.AudioCodec = AudioCodec;
    s.AudioBitRate = AudioBitRate;
    s.DurationSeconds = Duration;
    return s;
  };
  TClipSpec h264 = recipe("mp4", "bench-h264", 1920, 1080, "aac", 128000, Seconds);
  h264.VideoCodec = "libx264";
  h264.BFrames = 2;
  TClipSpec divx = recipe("avi_msmpeg4v3", "bench-msmpeg4", 768, 576, "libmp3lame", 128000, std::max(60.0, Seconds));
  divx.FrameRate = AVRational{10, 1};
  divx.VideoBitRate = 2000000;
  divx.Channels = 2;
  divx.SampleRate = 44100;
  const TClipSpec xvid = recipe("avi_xvid", "bench-xvid", 1280, 720, "mp2", 192000, Seconds);
  TClipSpec phone = recipe("mp4", "bench-h264-720p", 1280, 720, "aac", 128000, 4);
  phone.VideoCodec = "libx264";
  phone.BFrames = 2;
  // A phone held upright: the pictures are stored 1280x720 and shown turned.
  TClipSpec turned = phone;
  turned.Name = "bench-h264-720p-turned";
  turned.DisplayMatrix = true;
  turned.DisplayTurn = 90;
  TClipSpec hevc = recipe("mp4", "bench-hevc10", 1920, 1080, "aac", 128000, 4);
  hevc.VideoCodec = "libx265";
  hevc.PixelFormat = "yuv420p10le";
  hevc.VideoTag = "hvc1";
  // A phone's HDR recording: 10-bit HEVC, BT.2020, HLG.
  TClipSpec hlg = hevc;
  hlg.Name = "bench-hevc10-hlg";
  hlg.ColourTransfer = AVCOL_TRC_ARIB_STD_B67;
  return {{"1080p H.264 + AAC", h264, cuSpeed, ctThreadedDecoder},
          {"768x576 MS-MPEG4 (one-thread decoder) + MP3, 10 fps", divx, cuSpeed, ctOneThreadDecoder},
          {"720p Xvid + MP2", xvid, cuSpeed, ctNone},
          {"720p H.264 + AAC", phone, cuMemory, ctNone},
          {"720p H.264 phone clip shown turned 90 degrees + AAC", turned, cuMemory, ctNone},
          {"1080p 10-bit HEVC + AAC", hevc, cuMemory, ctNone},
          {"1080p 10-bit HEVC HDR (HLG) + AAC", hlg, cuMemory, ctNone}};
}

// Makes the clip unless a complete one is already there.
bool PrepareClip(const TOptions& Options, const TClipSpec& Recipe, std::string& Path) {
  const long tenths = std::lround(Recipe.DurationSeconds * 10);
  const std::string name = "clip-" + std::to_string(Recipe.Width) + "x" + std::to_string(Recipe.Height) + "-" +
                           Recipe.VideoCodec + (Recipe.PixelFormat.empty() ? "" : "-" + Recipe.PixelFormat) + "-" +
                           std::to_string(Recipe.FrameRate.num) + "fps-" +
                           (Recipe.DisplayMatrix ? "turn" + std::to_string(Recipe.DisplayTurn) + "-" : "") +
                           (Recipe.ColourTransfer == AVCOL_TRC_ARIB_STD_B67 ? "hlg-" : "") +
                           std::to_string(tenths / 10) +
                           (tenths % 10 ? "." + std::to_string(tenths % 10) : std::string()) + "s-grain" +
                           std::to_string(Recipe.Noise) + Recipe.Extension;
  Path = (fs::path(Options.Dir) / name).string();
  std::error_code ec;
  if (fs::exists(Path, ec)) {
    const TFileCount have = CountFile(Path, false);
    if (have.Ok && have.Width == Recipe.Width && have.Height == Recipe.Height &&
        have.DurationSeconds >= Recipe.DurationSeconds - 0.5) {
      std::printf("clip: %s (reused, %s)\n", Path.c_str(), ClipSize(Path, have.DurationSeconds).c_str());
      return true;
    }
  }
  // Written under another name first, so an interrupted run never leaves a
  // clip that looks complete.
  const std::string part = Path + ".part";
  std::printf("clip: making %s ...\n", Path.c_str());
  std::fflush(stdout);
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  if (!MakeClip(Recipe, part, &error)) {
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
  long SetupKb = 0;       // the engine's: its peak once set up, before the run
  int64_t Frames = 0;     // video frames in the outputs
  int64_t AudioPackets = 0;
  double OutputMb = 0;
};

// Runs this program with Args (after its own name) and counts what the
// conversion wrote to Outputs.
// Program: another build of this program (the same arguments), else this one.
TRun RunChild(const std::vector<std::string>& Args, const std::vector<std::string>& Outputs,
              const std::string& LibAV, const std::string& Program = "") {
  TRun run;
  std::error_code ec;
  for (const std::string& out : Outputs) fs::remove(out, ec);
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
    std::vector<std::string> args{"vidlomat-bench"};
    args.insert(args.end(), Args.begin(), Args.end());
    if (!LibAV.empty() && Program.empty()) {
      args.push_back("--libav");
      args.push_back(LibAV);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(Program.empty() ? "/proc/self/exe" : Program.c_str(), argv.data());
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
  if (std::sscanf(text.c_str(), "seconds %lf\nsetup_kb %ld\npeak_kb %ld", &run.Seconds, &run.SetupKb, &run.PeakKb) !=
      3)
    return run;
  run.Ok = true;
  run.CpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  for (const std::string& out : Outputs) {
    const TFileCount count = CountFile(out, true);
    run.Frames += count.VideoFrames;
    run.AudioPackets += count.AudioPackets;
    run.OutputMb += MegaBytes(static_cast<double>(fs::file_size(out, ec)));
  }
  return run;
}

double Median(std::vector<double> Values) {
  if (Values.empty()) return 0;
  std::sort(Values.begin(), Values.end());
  const size_t n = Values.size();
  return n % 2 ? Values[n / 2] : (Values[n / 2 - 1] + Values[n / 2]) / 2;
}

void PrintRun(const std::string& Label, const TRun& R) {
  std::printf("  %s: %.2f s, cpu %.2f s, peak %.0f MB, %.1f fps, %lld video frames, %lld audio packets, %.2f MB out\n",
              Label.c_str(), R.Seconds, R.CpuSeconds, static_cast<double>(R.PeakKb) / 1024.0,
              R.Seconds > 0 ? static_cast<double>(R.Frames) / R.Seconds : 0.0, static_cast<long long>(R.Frames),
              static_cast<long long>(R.AudioPackets), R.OutputMb);
  std::fflush(stdout);
}

struct TSummary {
  double Seconds = 0, CpuSeconds = 0, PeakMb = 0;
};

// Medians over the runs. The processor time is printed too: on a machine
// shared with other work it moves much less than the wall time.
TSummary Summarise(const std::string& Label, const std::vector<TRun>& Runs) {
  std::vector<double> seconds, peaks, cpu;
  for (const TRun& r : Runs) {
    seconds.push_back(r.Seconds);
    peaks.push_back(static_cast<double>(r.PeakKb) / 1024.0);
    cpu.push_back(r.CpuSeconds);
  }
  const TSummary s{Median(seconds), Median(cpu), Median(peaks)};
  std::printf("%-34s %6.2f s wall, %6.2f s cpu, peak %4.0f MB (median of %zu; fastest %.2f s)\n", (Label + ":").c_str(),
              s.Seconds, s.CpuSeconds, s.PeakMb, Runs.size(), *std::min_element(seconds.begin(), seconds.end()));
  return s;
}

double Ratio(double A, double B) { return B > 0 ? A / B : 0.0; }

// Every target line printed so far, under its clip, for the summary at the end.
std::vector<std::pair<std::string, std::string>> TargetLines;
std::string TargetClip;

// One figure against its target: "  name: 0.55 (target <= 0.60, met)";
// AtLeast: the figure must reach the target instead.
void PrintTarget(const char* Name, double Value, double Target, const char* Unit = "", bool AtLeast = false) {
  const bool met = AtLeast ? Value >= Target : Value <= Target;
  char line[256];
  std::snprintf(line, sizeof line, "%-52s %6.2f%s (target %s %.2f%s: %s)", Name, Value, Unit, AtLeast ? ">=" : "<=",
                Target, Unit, met ? "met" : "NOT met");
  std::printf("  %s\n", line);
  TargetLines.emplace_back(TargetClip, line);
}

int Cores() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

void PrintLoad(const char* When) {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3)
    std::printf("load average %s: %.2f %.2f %.2f on %d cores\n", When, load[0], load[1], load[2], Cores());
}

// Runs each variant Runs times, taking turns so that a change in the
// machine's load weighs on all alike; returns the runs per variant.
bool RunVariants(const std::vector<std::string>& Labels, const std::vector<std::vector<std::string>>& Args,
                 const std::vector<std::vector<std::string>>& Outputs, const TOptions& Options,
                 std::vector<std::vector<TRun>>& Runs) {
  Runs.assign(Labels.size(), {});
  for (int i = 0; i < Options.Runs; ++i) {
    for (size_t k = 0; k < Labels.size(); ++k) {
      const size_t v = i % 2 ? Labels.size() - 1 - k : k;
      const TRun run = RunChild(Args[v], Outputs[v], Options.LibAV);
      const std::string label = Labels[v] + " run " + std::to_string(i + 1);
      if (!run.Ok) {
        std::fprintf(stderr, "vidlomat-bench: %s failed\n", label.c_str());
        return false;
      }
      PrintRun(label, run);
      Runs[v].push_back(run);
    }
  }
  return true;
}

// Megabytes between two peaks, never below 0.
double PeakMb(long Kb) { return static_cast<double>(Kb) / 1024.0; }
double MbAbove(double A, double B) { return std::max(0.0, A - B); }

// The clip through every variant (cuSpeed) or the engine and the decoding
// alone (cuMemory): the engine's wall time against each, its processor time
// per wall time, and where its peak memory goes. BaselineMb: the peak of a
// process that only loaded the libraries. Returns the engine's one-thread
// decoder summary (cuSpeed) for the batch's machine limit.
bool BenchClip(const TBenchClip& Clip, const std::string& Path, const TOptions& Options, double BaselineMb,
               TSummary& OneThread) {
  const std::string out = (fs::path(Options.Dir) / "engine.mp4").string();
  const std::string directOut = (fs::path(Options.Dir) / "direct.mp4").string();
  std::printf("\n== %s: %s\n", Clip.Label.c_str(), Path.c_str());
  TargetClip = Clip.Label;
  struct TVariant {
    const char* Label;
    const char* Name;
    bool Speed;  // only for speed clips
  };
  const TVariant all[] = {{"engine", "engine", false},
                          {"engine, one stage (encoding on the run's thread)", "onestage", true},
                          {"engine on one core", "onecore", true},
                          {"engine, one-thread decoders", "engine1", true},
                          {"direct calls", "direct", true},
                          {"video decoding alone, every core", "decode", false},
                          {"video decoding alone, one thread", "decode1", false}};
  std::vector<std::string> labels;
  std::vector<std::vector<std::string>> args, outputs;
  std::vector<std::string> names;
  for (const TVariant& v : all) {
    if (v.Speed && Clip.Use != cuSpeed) continue;
    const std::string name = v.Name;
    const bool decodeOnly = name.rfind("decode", 0) == 0;
    const std::string target = decodeOnly ? "" : name == "direct" ? directOut : out;
    labels.push_back(v.Label);
    names.push_back(name);
    args.push_back({"--convert", name, Path, target});
    outputs.push_back(target.empty() ? std::vector<std::string>{} : std::vector<std::string>{target});
  }
  std::vector<std::vector<TRun>> runs;
  if (!RunVariants(labels, args, outputs, Options, runs)) return false;
  std::vector<TSummary> s;
  for (size_t v = 0; v < labels.size(); ++v) s.push_back(Summarise(labels[v], runs[v]));
  auto of = [&](const char* Name) -> const TSummary& {
    return s[static_cast<size_t>(std::find(names.begin(), names.end(), Name) - names.begin())];
  };
  const TSummary& engine = of("engine");
  std::vector<double> setup;
  for (const TRun& r : runs[0]) setup.push_back(PeakMb(r.SetupKb));
  const double setupMb = Median(setup);

  std::printf("engine wall time %.2f s against:\n", engine.Seconds);
  if (Clip.Use == cuSpeed) {
    std::printf("  direct calls             %.3f (%.2f s)\n", Ratio(engine.Seconds, of("direct").Seconds),
                of("direct").Seconds);
    std::printf("  one stage (as before)    %.3f (%.2f s)\n", Ratio(engine.Seconds, of("onestage").Seconds),
                of("onestage").Seconds);
    std::printf("  itself on one core       %.3f (%.2f s)\n", Ratio(engine.Seconds, of("onecore").Seconds),
                of("onecore").Seconds);
  }
  std::printf("  video decoding alone     %.3f (%.2f s on every core, %.2f s on one thread)\n",
              Ratio(engine.Seconds, of("decode").Seconds), of("decode").Seconds, of("decode1").Seconds);
  std::printf("cpu / wall: engine %.2f", Ratio(engine.CpuSeconds, engine.Seconds));
  if (Clip.Use == cuSpeed)
    std::printf(", one stage %.2f, direct %.2f", Ratio(of("onestage").CpuSeconds, of("onestage").Seconds),
                Ratio(of("direct").CpuSeconds, of("direct").Seconds));
  std::printf("\n");
  if (runs[0].back().Frames > 0 && Clip.Use == cuSpeed)
    for (size_t v = 0; v < names.size(); ++v)
      if (!outputs[v].empty() && runs[v].back().Frames != runs[0].back().Frames)
        std::printf("note: %s wrote %lld video frames, the engine %lld\n", labels[v].c_str(),
                    static_cast<long long>(runs[v].back().Frames), static_cast<long long>(runs[0].back().Frames));
  // Where the engine's peak goes, from the peaks of processes that do less.
  std::printf("peak memory %.0f MB:\n", engine.PeakMb);
  std::printf("  libraries loaded                          %5.1f MB\n", BaselineMb);
  std::printf("  engine set up (files and codecs opened)   %5.1f MB\n", MbAbove(setupMb, BaselineMb));
  std::printf("  video decoding on one thread (demuxer, decoder, its pictures) %5.1f MB above the libraries\n",
              MbAbove(of("decode1").PeakMb, BaselineMb));
  std::printf("  the decoder's frame threads (their pictures and contexts) %5.1f MB more\n",
              MbAbove(of("decode").PeakMb, of("decode1").PeakMb));
  std::printf("  scaling, sound, encoders, queue and writer %5.1f MB above the decoding alone\n",
              MbAbove(engine.PeakMb, of("decode").PeakMb));
  std::printf("  (the queue holds at most %d pictures of 320x240: %.2f MB)\n", TEncodeStage::kMaxPictures,
              TEncodeStage::kMaxPictures * 320.0 * 240 * 1.5 / (1024 * 1024));

  std::printf("targets:\n");
  PrintTarget("peak memory", engine.PeakMb, kTargetPeakMb, " MB");
  if (Clip.Targets == ctThreadedDecoder) {
    PrintTarget("wall time / one stage (no slower than before)", Ratio(engine.Seconds, of("onestage").Seconds),
                kTargetNoSlower);
    PrintTarget("engine / direct wall time", Ratio(engine.Seconds, of("direct").Seconds), kTargetOverhead);
    const double limit = of("engine1").CpuSeconds / Cores();
    std::printf("  (machine limit: one-thread cpu %.2f s / %d cores = %.2f s; wall time / limit %.2f, target %.2f)\n",
                of("engine1").CpuSeconds, Cores(), limit, Ratio(engine.Seconds, limit), kTargetLimitRatio);
  } else if (Clip.Targets == ctOneThreadDecoder) {
    PrintTarget("cpu / wall", Ratio(engine.CpuSeconds, engine.Seconds), kTargetCpuPerWall, "", true);
    PrintTarget("wall time / one stage", Ratio(engine.Seconds, of("onestage").Seconds), kTargetOneStageShare);
    PrintTarget("engine / direct wall time", Ratio(engine.Seconds, of("direct").Seconds), kTargetOverhead);
  }
  if (Clip.Use == cuSpeed) OneThread = of("engine1");
  return true;
}

// Two copies of the clip through the converter component, one at a time and
// both at once.
bool BenchBatch(const std::string& Path, const TOptions& Options, const TSummary& OneThread) {
  const fs::path folder = fs::path(Options.Dir) / "batch";
  std::error_code ec;
  fs::create_directories(folder, ec);
  const std::string base = fs::path(Path).stem().string();
  // The per-file set-up names the second output after the first.
  const std::vector<std::string> outputs{(folder / (base + ".mp4")).string(), (folder / (base + "(1).mp4")).string()};
  std::printf("\n== batch of two 1080p files through the converter component\n");
  const std::vector<std::string> labels{"one file at a time", "two files at once"};
  const std::vector<std::vector<std::string>> args{{"--batch", "1", folder.string(), Path, Path},
                                                   {"--batch", "2", folder.string(), Path, Path}};
  std::vector<std::vector<TRun>> runs;
  if (!RunVariants(labels, args, {outputs, outputs}, Options, runs)) return false;
  const TSummary one = Summarise(labels[0], runs[0]);
  const TSummary two = Summarise(labels[1], runs[1]);
  const double limit = 2 * OneThread.CpuSeconds / Cores();
  std::printf("machine limit: 2 x one-thread cpu %.2f s / %d cores = %.2f s\n", OneThread.CpuSeconds, Cores(), limit);
  std::printf("wall time / machine limit: one at a time %.2f, two at once %.2f\n", Ratio(one.Seconds, limit),
              Ratio(two.Seconds, limit));
  // No schedule of both files ends before the machine's limit: when one file
  // already keeps every core busy, two at once cannot gain much.
  std::printf("best possible two at once / one at a time (machine limit / one at a time): %.2f\n",
              Ratio(limit, one.Seconds));
  // One file at a time with one-thread decoders: twice the one-thread run.
  std::printf("two at once / one at a time with one-thread decoders (2 x %.2f s): %.2f\n", OneThread.Seconds,
              Ratio(two.Seconds, 2 * OneThread.Seconds));
  std::printf("targets:\n");
  PrintTarget("two at once / machine limit", Ratio(two.Seconds, limit), kTargetBatchLimitRatio);
  return true;
}

// The 1080p clip as a batch of one at normal and at low priority.
int RunNiceBenchmark(const TOptions& Options) {
  if (!LoadLibraries(Options.LibAV)) return 2;
  const fs::path folder = fs::path(Options.Dir) / "nice";
  std::error_code ec;
  fs::create_directories(folder, ec);
  std::string path;
  if (!PrepareClip(Options, BenchClips(Options.Seconds).front().Recipe, path)) return 2;
  const std::string out = (folder / (fs::path(path).stem().string() + ".mp4")).string();
  std::printf("\n== one 1080p file through the converter component, normal against low priority\n");
  PrintLoad("before");
  const std::vector<std::string> labels{"normal priority", "low priority (nice 10, batch)"};
  const std::vector<std::vector<std::string>> args{{"--batch", "1", folder.string(), path},
                                                   {"--batch-low", "1", folder.string(), path}};
  std::vector<std::vector<TRun>> runs;
  if (!RunVariants(labels, args, {{out}, {out}}, Options, runs)) return 1;
  const TSummary normal = Summarise(labels[0], runs[0]);
  const TSummary low = Summarise(labels[1], runs[1]);
  PrintLoad("after");
  std::printf("low / normal: wall %.3f, cpu %.3f\n", Ratio(low.Seconds, normal.Seconds),
              Ratio(low.CpuSeconds, normal.CpuSeconds));
  return 0;
}

// The loudness of a file's first audio stream, decoded (false with the
// reason when it cannot be read).
bool LoudnessOfFile(const std::string& Path, TLoudness& Result, std::string& Error) {
  AVFormatContext* ic = nullptr;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = ff::av_packet_alloc();
  AVFrame* frame = ff::av_frame_alloc();
  TLoudnessMeter meter;
  bool ok = false;
  const AVCodec* codec = nullptr;
  int stream = -1;
  if (pkt && frame && ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr) >= 0 &&
      ff::avformat_find_stream_info(ic, nullptr) >= 0 &&
      (stream = ff::av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0)) >= 0 &&
      (dec = ff::avcodec_alloc_context3(codec)) &&
      ff::avcodec_parameters_to_context(dec, ic->streams[stream]->codecpar) >= 0 &&
      ff::avcodec_open2(dec, codec, nullptr) >= 0 &&
      meter.Open(dec->sample_fmt, dec->sample_rate, dec->ch_layout, Error)) {
    ok = true;
    auto drain = [&] {
      while (ok && ff::avcodec_receive_frame(dec, frame) >= 0) {
        ok = meter.Add(frame->extended_data, frame->nb_samples);
        ff::av_frame_unref(frame);
      }
    };
    while (ok && ff::av_read_frame(ic, pkt) >= 0) {
      if (pkt->stream_index == stream && ff::avcodec_send_packet(dec, pkt) >= 0) drain();
      ff::av_packet_unref(pkt);
    }
    if (ff::avcodec_send_packet(dec, nullptr) >= 0) drain();
    if (ok) Result = meter.Finish();
    if (!ok) Error = "the loudness meter refused the sound";
  } else if (Error.empty()) {
    Error = "cannot decode its sound";
  }
  ff::av_frame_free(&frame);
  ff::av_packet_free(&pkt);
  ff::avcodec_free_context(&dec);
  ff::avformat_close_input(&ic);
  return ok;
}

// Every clip, and a long film that is silent but for its last 10 s (the
// case where measuring the sound costs most against converting it), through
// the converter component with even loudness off and on: the loudness and
// the wall time of each.
int RunLoudnessBenchmark(const TOptions& Options) {
  if (!LoadLibraries(Options.LibAV)) return 2;
  std::vector<TBenchClip> clips = BenchClips(Options.Seconds);
  TBenchClip silent;
  silent.Label = "10 min, silent but for its last 10 s";
  silent.Recipe = ClipSpecByName("mkv");
  silent.Recipe.Name = "bench-mostly-silent";
  silent.Recipe.Width = 176;
  silent.Recipe.Height = 100;
  silent.Recipe.FrameRate = AVRational{10, 1};
  silent.Recipe.AudioCodec = "aac";
  silent.Recipe.DurationSeconds = 600;
  silent.Recipe.ToneAmplitude = 0;
  silent.Recipe.LoudFromSeconds = 590;
  silent.Recipe.LoudAmplitude = 0.3;
  clips.push_back(silent);
  std::vector<std::string> paths(clips.size());
  for (size_t i = 0; i < clips.size(); ++i)
    if (!PrepareClip(Options, clips[i].Recipe, paths[i])) return 2;
  std::printf("\n== loudness (LUFS integrated / dBTP true peak) of the source and of the AAC output, and the wall "
              "time of the conversion, \"Even out the volume\" off and on\n");
  std::printf("%-52s %15s %15s %15s %9s %9s %7s\n", "clip", "source", "off", "on", "off s", "on s", "on/off");
  auto cell = [](const TLoudness& L) {
    char text[32];
    std::snprintf(text, sizeof text, "%6.1f / %5.1f", L.Integrated, L.TruePeak);
    return std::string(text);
  };
  for (size_t i = 0; i < clips.size(); ++i) {
    TLoudness source, off, on;
    double seconds[2] = {0, 0};
    std::string error;
    if (!LoudnessOfFile(paths[i], source, error)) {
      std::fprintf(stderr, "vidlomat-bench: %s: %s\n", paths[i].c_str(), error.c_str());
      return 1;
    }
    for (const bool even : {false, true}) {
      const fs::path folder = fs::path(Options.Dir) / "loudness" / (even ? "on" : "off");
      std::error_code ec;
      fs::remove_all(folder, ec);
      fs::create_directories(folder, ec);
      const std::string out = (folder / (fs::path(paths[i]).stem().string() + ".mp4")).string();
      const auto start = std::chrono::steady_clock::now();
      const bool converted = ConvertBatch({paths[i]}, folder.string(), 1, error, false, even);
      seconds[even] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!converted || !LoudnessOfFile(out, even ? on : off, error)) {
        std::fprintf(stderr, "vidlomat-bench: %s: %s\n", paths[i].c_str(), error.c_str());
        return 1;
      }
    }
    std::printf("%-52s %15s %15s %15s %9.2f %9.2f %6.2fx\n", clips[i].Label.c_str(), cell(source).c_str(),
                cell(off).c_str(), cell(on).c_str(), seconds[0], seconds[1],
                seconds[0] > 0 ? seconds[1] / seconds[0] : 0.0);
    std::fflush(stdout);
  }
  return 0;
}

int RunBenchmark(const TOptions& Options) {
  if (!LoadLibraries(Options.LibAV)) return 2;
  std::error_code ec;
  fs::create_directories(Options.Dir, ec);
  if (ec) {
    std::fprintf(stderr, "vidlomat-bench: cannot create %s: %s\n", Options.Dir.c_str(), ec.message().c_str());
    return 2;
  }
  const std::vector<TBenchClip> clips = BenchClips(Options.Seconds);
  std::vector<std::string> paths(clips.size());
  for (size_t i = 0; i < clips.size(); ++i)
    if (!PrepareClip(Options, clips[i].Recipe, paths[i])) return 2;
  std::printf("converting to mpeg4 512 kbit/s 320x240 30 fps + aac 80 kbit/s stereo 44100 Hz, %d run(s) each\n",
              Options.Runs);
  PrintLoad("before");
  std::vector<double> floors;
  for (int i = 0; i < 3; ++i) {
    const TRun floor = RunChild({"--convert", "none", "", ""}, {}, Options.LibAV);
    if (floor.Ok) floors.push_back(PeakMb(floor.PeakKb));
  }
  const double baselineMb = Median(floors);
  std::printf("baseline (libraries loaded, nothing converted): peak %.0f MB\n", baselineMb);

  TSummary firstOneThread;
  for (size_t i = 0; i < clips.size(); ++i) {
    TSummary oneThread;
    if (!BenchClip(clips[i], paths[i], Options, baselineMb, oneThread)) return 1;
    if (i == 0) firstOneThread = oneThread;
    PrintLoad("now");
  }
  TargetClip = "batch of two 1080p files";
  if (!BenchBatch(paths[0], Options, firstOneThread)) return 1;
  PrintLoad("after");
  std::printf("\n== every target\n");
  std::string clip;
  for (const auto& [label, line] : TargetLines) {
    if (label != clip) std::printf("%s\n", label.c_str());
    clip = label;
    std::printf("  %s\n", line.c_str());
  }
  return 0;
}

// This build's engine against another build's (--against PROGRAM: a build
// of an earlier state of the program), clip by clip, the two taking turns:
// median wall time, processor time per wall time and peak memory of each,
// and this build's wall time and peak against the other's.
int RunAgainst(const TOptions& Options, const std::vector<std::string>& Only) {
  if (!LoadLibraries(Options.LibAV)) return 2;
  std::error_code ec;
  fs::create_directories(Options.Dir, ec);
  std::vector<TBenchClip> clips;
  for (const TBenchClip& c : BenchClips(Options.Seconds))
    if (Only.empty() || std::find(Only.begin(), Only.end(), c.Recipe.Name) != Only.end()) clips.push_back(c);
  std::vector<std::string> paths(clips.size());
  for (size_t i = 0; i < clips.size(); ++i)
    if (!PrepareClip(Options, clips[i].Recipe, paths[i])) return 2;
  std::printf("this build against %s, %d run(s) each, taking turns\n", Options.Against.c_str(), Options.Runs);
  PrintLoad("before");
  struct TRow {
    std::string Label;
    TSummary Other, This;
  };
  std::vector<TRow> rows;
  const std::string otherOut = (fs::path(Options.Dir) / "other.mp4").string();
  const std::string thisOut = (fs::path(Options.Dir) / "engine.mp4").string();
  for (size_t i = 0; i < clips.size(); ++i) {
    std::printf("\n== %s: %s\n", clips[i].Label.c_str(), paths[i].c_str());
    const std::vector<std::string> labels{"other build", "this build"};
    std::vector<std::vector<TRun>> runs(2);
    for (int r = 0; r < Options.Runs; ++r)
      for (int k = 0; k < 2; ++k) {
        const int v = r % 2 ? 1 - k : k;
        const std::string& out = v == 0 ? otherOut : thisOut;
        const TRun run = RunChild({"--convert", "engine", paths[i], out}, {out}, Options.LibAV,
                                  v == 0 ? Options.Against : "");
        if (!run.Ok) {
          std::fprintf(stderr, "vidlomat-bench: %s failed on %s\n", labels[v].c_str(), paths[i].c_str());
          return 1;
        }
        PrintRun(labels[v] + " run " + std::to_string(r + 1), run);
        runs[v].push_back(run);
      }
    rows.push_back({clips[i].Label, Summarise(labels[0], runs[0]), Summarise(labels[1], runs[1])});
    PrintLoad("now");
  }
  std::printf("\n== this build against the other (medians of %d)\n", Options.Runs);
  std::printf("%-52s %21s %21s %13s\n", "", "other: wall cpu/wall peak", "this: wall cpu/wall peak",
              "wall peak ratio");
  for (const TRow& r : rows)
    std::printf("%-52s %6.2f s %5.2f %4.0f MB %6.2f s %5.2f %4.0f MB %6.2f %5.2f\n", r.Label.c_str(), r.Other.Seconds,
                Ratio(r.Other.CpuSeconds, r.Other.Seconds), r.Other.PeakMb, r.This.Seconds,
                Ratio(r.This.CpuSeconds, r.This.Seconds), r.This.PeakMb, Ratio(r.This.Seconds, r.Other.Seconds),
                Ratio(r.This.PeakMb, r.Other.PeakMb));
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
  // vidlomat-bench --batch-memory [N [FOLDER]]: the memory of a batch of N
  // files (500) against a batch of one.
  if (argc >= 2 && std::strcmp(argv[1], "--batch-memory") == 0) {
    double files = 500;
    if (argc >= 3 && (!ParseNumber(argv[2], files) || files < 1 || files > 100000)) {
      Usage();
      return 2;
    }
    const std::string dir = argc >= 4 ? argv[3] : (fs::temp_directory_path() / "vidlomat-bench").string();
    return BatchBenchmark(static_cast<int>(files), dir, "");
  }
  if (argc >= 4 && std::strcmp(argv[1], "--batch-memory-child") == 0)
    return BatchBenchmarkChild(std::atoi(argv[2]), argv[3], argc >= 6 ? argv[5] : "");
  TOptions options;
  TQualityOptions quality;
  bool qualityMode = false, hdrMode = false, niceMode = false, estimateMode = false, loudnessMode = false,
       secondsGiven = false, runsGiven = false;
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
    } else if (a == "--hdr") {
      hdrMode = true;
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
    } else if (a == "--against" && hasValue) {
      options.Against = argv[++i];
    } else if (a == "--libav" && hasValue) {
      options.LibAV = argv[++i];
    } else if (a == "--convert" && i + 3 < argc) {
      convert = {argv[i + 1], argv[i + 2], argv[i + 3]};
      i += 3;
    } else if (a == "--nice") {
      niceMode = true;
    } else if (a == "--estimate") {
      estimateMode = true;
    } else if (a == "--loudness") {
      loudnessMode = true;
    } else if ((a == "--batch" || a == "--batch-low") && i + 3 < argc) {
      // JOBS OUTFOLDER and the inputs, up to the next option.
      convert = {a.substr(2)};
      while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) convert.push_back(argv[++i]);
      if (convert.size() < 4) {
        Usage();
        return 2;
      }
    } else {
      Usage();
      return 2;
    }
  }
  if (!convert.empty()) return ConvertOnce(convert, options.LibAV);
  if (options.Dir.empty()) options.Dir = (fs::temp_directory_path() / "vidlomat-bench").string();
  if (!options.Against.empty()) return RunAgainst(options, quality.Clips);
  if (niceMode) return RunNiceBenchmark(options);
  if (estimateMode) return LoadLibraries(options.LibAV) ? RunEstimateBenchmark(options.Dir) : 2;
  if (loudnessMode) return RunLoudnessBenchmark(options);
  if (qualityMode || hdrMode) {
    if (!LoadLibraries(options.LibAV)) return 2;
    quality.Dir = options.Dir;
    if (runsGiven) quality.Rounds = options.Runs;
    if (secondsGiven) quality.Seconds = options.Seconds;
    if (hdrMode && !secondsGiven) quality.Seconds = 4;
    if (hdrMode && !runsGiven) quality.Rounds = 3;
    return hdrMode ? RunHdrBenchmark(quality) : RunQualityBenchmark(quality);
  }
  return RunBenchmark(options);
}
