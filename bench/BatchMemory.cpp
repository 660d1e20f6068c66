// The memory of a long batch: the peak resident set size of a batch of many
// files of a tiny clip against a batch of one, each converted through the
// component with the window's per-file set-up, each in a fresh process.
#include "BatchMemory.h"
#include "Conversions.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "BatchSettings.h"
#include "MediaMaker.h"

namespace {

namespace fs = std::filesystem;

// The batch in this process: set up Count links to Clip in Dir, convert them
// one after another into Dir/out, print the seconds taken.
int RunBatchChild(int Count, const std::string& Dir, const std::string& LibAV) {
  TQuilloConverter converter;
  if (!converter.LoadLibraries(LibAV.empty() ? DefaultLibraryFolder() : LibAV, true)) {
    std::fprintf(stderr, "vidlomat-bench: %s\n", converter.LastError().c_str());
    return 2;
  }
  converter.SetLogLevel(llError);
  TBatchSettings settings;
  settings.OutputFolder = Dir + "/out";
  std::mutex lock;
  std::condition_variable changed;
  bool allDone = false;
  int failed = 0;
  converter.OnTerminate = [&](int AIndex, bool AFinished, bool, const std::string&) {
    std::lock_guard<std::mutex> guard(lock);
    if (AIndex < 0)
      allDone = true;
    else if (!AFinished)
      ++failed;
    changed.notify_all();
  };
  const auto start = std::chrono::steady_clock::now();
  TNameReservations reserved;
  for (int i = 0; i < Count; ++i) {
    const TFileSetup setup =
        SetUpFile(converter, settings, Dir + "/in/clip" + std::to_string(i) + ".avi", &reserved);
    if (!setup.Ok) {
      std::fprintf(stderr, "vidlomat-bench: %s (%s)\n", setup.Message.c_str(), setup.Detail.c_str());
      return 1;
    }
  }
  const long setUpKb = PeakResidentKb();
  converter.Start(1);
  {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return allDone; });
  }
  converter.OnTerminate = nullptr;
  converter.ClearTasks();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failed > 0) {
    std::fprintf(stderr, "vidlomat-bench: %d of %d conversions failed\n", failed, Count);
    return 1;
  }
  std::printf("seconds %.6f setup-peak-kb %ld\n", seconds, setUpKb);
  return 0;
}

struct TBatchRun {
  bool Ok = false;
  double Seconds = 0;
  long PeakKb = 0;
  long SetUpPeakKb = 0;  // the peak once every file was set up, before the first conversion
};

TBatchRun RunBatchProcess(int Count, const std::string& Dir, const std::string& LibAV) {
  TBatchRun run;
  std::error_code ec;
  fs::remove_all(Dir + "/out", ec);
  fs::create_directories(Dir + "/out", ec);
  int fds[2];
  if (pipe(fds) != 0) return run;
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<std::string> args{"vidlomat-bench", "--batch-memory-child", std::to_string(Count), Dir};
    if (!LibAV.empty()) args.insert(args.end(), {"--libav", LibAV});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  run.Ok = std::sscanf(text.c_str(), "seconds %lf setup-peak-kb %ld", &run.Seconds, &run.SetUpPeakKb) == 2;
  run.PeakKb = usage.ru_maxrss;
  return run;
}

}  // namespace

int BatchBenchmark(int Files, const std::string& Dir, const std::string& LibAV) {
  if (!LoadFFmpegLibraries(LibAV.empty() ? DefaultLibraryFolder() : LibAV, true)) {
    std::fprintf(stderr, "vidlomat-bench: cannot load the media libraries: %s\n", FFmpegLibrariesError().c_str());
    return 2;
  }
  const std::string dir = Dir + "/batch";
  std::error_code ec;
  fs::remove_all(dir + "/in", ec);
  fs::create_directories(dir + "/in", ec);
  // A tiny clip: a fifth of a second of a small picture and sound.
  TClipSpec clip = ClipSpecByName("avi_xvid");
  clip.DurationSeconds = 0.2;
  const std::string path = dir + "/tiny.avi";
  std::string error;
  if (!MakeClip(clip, path, &error)) {
    std::fprintf(stderr, "vidlomat-bench: cannot make the clip: %s\n", error.c_str());
    return 2;
  }
  for (int i = 0; i < Files; ++i) fs::create_symlink(path, dir + "/in/clip" + std::to_string(i) + ".avi", ec);
  std::printf("batch: %s (%dx%d, %.1f s) converted with the window's settings, one file at a time\n", path.c_str(),
              clip.Width, clip.Height, clip.DurationSeconds);
  const TBatchRun one = RunBatchProcess(1, dir, LibAV);
  const TBatchRun many = RunBatchProcess(Files, dir, LibAV);
  if (!one.Ok || !many.Ok) {
    std::fprintf(stderr, "vidlomat-bench: a batch failed\n");
    return 1;
  }
  std::printf("batch of 1 file: %.2f s, peak %.1f MB (%.1f MB once set up)\n", one.Seconds,
              static_cast<double>(one.PeakKb) / 1024.0, static_cast<double>(one.SetUpPeakKb) / 1024.0);
  std::printf("batch of %d files: %.2f s, peak %.1f MB (%.1f MB once set up)\n", Files, many.Seconds,
              static_cast<double>(many.PeakKb) / 1024.0, static_cast<double>(many.SetUpPeakKb) / 1024.0);
  std::printf("ratio peak memory %d files / 1 file: %.2f\n", Files,
              one.PeakKb > 0 ? static_cast<double>(many.PeakKb) / static_cast<double>(one.PeakKb) : 0.0);
  fs::remove_all(dir, ec);
  return 0;
}

int BatchBenchmarkChild(int Files, const std::string& Dir, const std::string& LibAV) {
  return RunBatchChild(Files, Dir, LibAV);
}
