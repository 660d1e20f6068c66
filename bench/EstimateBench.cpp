#include "EstimateBench.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "BatchSettings.h"
#include "MediaMaker.h"
#include "SizeSampler.h"

namespace {

namespace fs = std::filesystem;

// One kind of input, by its part in building the sampling: "tuned" (looked
// at while it was built), "held out" (measured as a check; one of them, plain
// at the lowest profile, then set the share above which the bound is taken),
// "fresh" (first measured after every constant was set).
struct TEstimateClip {
  const char* Name;
  const char* Set;
  int Width, Height;
  AVRational Rate;
  int Grain, Motion, Detail;
  double Pan;
  double Seconds;
};

std::string MakeEstimateClip(const TEstimateClip& Clip, const std::string& Dir) {
  TClipSpec recipe;
  recipe.Name = Clip.Name;
  recipe.FormatName = "avi";
  recipe.Extension = ".avi";
  recipe.VideoCodec = "mpeg4";
  recipe.VideoTag = "XVID";
  recipe.Width = Clip.Width;
  recipe.Height = Clip.Height;
  recipe.FrameRate = Clip.Rate;
  recipe.VideoBitRate = static_cast<int64_t>(Clip.Width) * Clip.Height * 20;
  recipe.Noise = Clip.Grain;
  recipe.Motion = Clip.Motion;
  recipe.Detail = Clip.Detail;
  recipe.Pan = Clip.Pan;
  recipe.AudioCodec = "mp2";
  recipe.AudioBitRate = 128000;
  recipe.DurationSeconds = Clip.Seconds;
  const std::string path = (fs::path(Dir) / (std::string("estimate-") + Clip.Name + "-" +
                                             std::to_string(static_cast<int>(Clip.Seconds)) + "s.avi"))
                               .string();
  std::error_code ec;
  if (fs::exists(path, ec)) return path;
  std::string error;
  if (!MakeClip(recipe, path + ".part", &error)) {
    std::fprintf(stderr, "vidlomat-bench: cannot make %s: %s\n", path.c_str(), error.c_str());
    return {};
  }
  fs::rename(path + ".part", path, ec);
  return ec ? std::string() : path;
}

// The real output's size: the file converted whole with Settings; -1 on failure.
int64_t ConvertedBytes(const std::string& In, const TBatchSettings& Settings, int64_t& BoundBytes) {
  TQuilloConverter converter;
  converter.SetLogLevel(llQuiet);
  const TFileSetup setup = SetUpFile(converter, Settings, In);
  if (!setup.Ok) return -1;
  BoundBytes = setup.ExpectedBytes;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false, finished = false;
  converter.OnTerminate = [&](int Index, bool Finished, bool Error, const std::string&) {
    std::lock_guard<std::mutex> guard(lock);
    if (Index < 0) done = true;
    else finished = Finished && !Error;
    ended.notify_all();
  };
  converter.Start(1);
  {
    std::unique_lock<std::mutex> guard(lock);
    ended.wait(guard, [&] { return done; });
  }
  converter.OnTerminate = nullptr;
  converter.ClearTasks();
  std::error_code ec;
  const auto size = fs::file_size(setup.OutputPath, ec);
  fs::remove(setup.OutputPath, ec);
  return finished && !ec ? static_cast<int64_t>(size) : -1;
}

}  // namespace

int RunEstimateBenchmark(const std::string& Dir) {
  const std::vector<TEstimateClip> clips = {
      {"grain", "tuned", 640, 480, {30, 1}, 20, 1, 0, 0, 30},
      {"still", "tuned", 768, 576, {10, 1}, 2, 0, 0, 0, 30},
      {"plain", "held out", 320, 240, {25, 1}, 0, 1, 0, 0, 30},
      {"motion", "held out", 640, 480, {30, 1}, 6, 4, 0, 0, 30},
      {"scene", "held out", 768, 576, {10, 1}, 4, 1, 48, 0, 30},
      {"feature", "held out", 720, 480, {24000, 1001}, 12, 1, 48, 1.75, 30},
      {"film", "held out", 640, 360, {24000, 1001}, 6, 1, 0, 0, 30},
      {"short-scene", "held out", 768, 576, {10, 1}, 4, 1, 48, 0, 8},
      {"short-motion", "held out", 640, 480, {30, 1}, 6, 4, 0, 0, 8},
      {"pan", "fresh", 640, 360, {25, 1}, 8, 2, 24, 3, 40},
      {"still-grain", "fresh", 480, 360, {15, 1}, 10, 0, 0, 0, 40},
      {"long-plain", "fresh", 320, 240, {25, 1}, 0, 1, 0, 0, 120},
  };
  const std::vector<int> profiles = {0, kDefaultProfile, static_cast<int>(ProfileTexts().size()) - 1};
  std::error_code ec;
  fs::create_directories(Dir, ec);
  const std::string out = (fs::path(Dir) / "estimate-out").string();
  fs::create_directories(out, ec);
  std::printf("estimate: output size against the real one (ratio), window settings per profile\n");
  std::printf("%-13s %-8s %4s %7s %10s %13s %15s %13s %9s\n", "clip", "set", "sec", "profile", "real KB",
              "bound / real", "measured / real", "sample rate", "measure s");
  for (const TEstimateClip& clip : clips) {
    const std::string in = MakeEstimateClip(clip, Dir);
    if (in.empty()) return 1;
    for (int profile : profiles) {
      TBatchSettings settings;
      ApplyProfile(settings, profile);
      settings.OutputFolder = out;
      int64_t bound = -1;
      const int64_t real = ConvertedBytes(in, settings, bound);
      TQuilloConverter converter;
      converter.SetLogLevel(llQuiet);
      TSampleControl control;
      const auto start = std::chrono::steady_clock::now();
      double share = 0;
      const int64_t measured = MeasureOutputBytes(converter, settings, in, out, control, &share);
      const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (real <= 0 || measured <= 0) {
        std::fprintf(stderr, "vidlomat-bench: %s at profile %d could not be measured\n", clip.Name, profile);
        return 1;
      }
      std::printf("%-13s %-8s %4.0f %7d %10.0f %13.2f %15.3f %13.2f %9.2f\n", clip.Name,
                  clip.Set, clip.Seconds, profile, static_cast<double>(real) / 1e3,
                  static_cast<double>(bound) / static_cast<double>(real),
                  static_cast<double>(measured) / static_cast<double>(real), share, took);
      std::fflush(stdout);
    }
  }
  return 0;
}
