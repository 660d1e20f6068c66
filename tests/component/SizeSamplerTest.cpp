// The measured size estimate: where the samples are taken, how their packets
// are extrapolated, the estimate of real clips against their real outputs, and
// the sampler's thread (results, a replaced request, pause).
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "BatchSettings.h"
#include "ComponentSupport.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "QuilloConverter.h"
#include "SizeSampler.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(SizeSamplingTest, SpansCoverShortFilesWholeAndSpreadThroughLongerOnes) {
  struct TCase {
    int64_t DurationUs;
    std::vector<int64_t> Starts;  // of kSampleUs-long samples; empty: the whole file
  };
  for (const TCase& c : std::vector<TCase>{
           {1'000'000, {}},
           {kWholeFileUs, {}},
           {30'000'000, {3'500'000, 13'500'000, 23'500'000}},
           {240'000'000, {28'500'000, 88'500'000, 148'500'000, 208'500'000}},
       }) {
    const std::vector<TSampleSpan> spans = SampleSpans(c.DurationUs);
    if (c.Starts.empty()) {
      ASSERT_EQ(spans.size(), 1u) << c.DurationUs;
      EXPECT_EQ(spans[0].StartUs, 0);
      EXPECT_EQ(spans[0].LengthUs, 0) << "to the end";
      continue;
    }
    ASSERT_EQ(spans.size(), c.Starts.size()) << c.DurationUs;
    for (size_t i = 0; i < spans.size(); ++i) {
      EXPECT_EQ(spans[i].StartUs, c.Starts[i]) << c.DurationUs << " #" << i;
      EXPECT_EQ(spans[i].LengthUs, kSampleUs);
    }
  }
  // Two hours: at most 8 samples, all inside the file.
  const std::vector<TSampleSpan> spans = SampleSpans(7'200'000'000);
  ASSERT_EQ(spans.size(), 8u);
  EXPECT_LE(spans.back().StartUs + spans.back().LengthUs, 7'200'000'000);
}

TEST(SizeSamplingTest, ExtrapolationCountsKeyPicturesPerGroupAndTheRestAtTheirRates) {
  // Two samples of 2 s: 60 pictures each (one key of 10000 bytes, 59 of
  // 1000), 4000 bytes of sound in 87 packets, 2000 bytes of headers.
  TSampleBytes s;
  s.KeyBytes = 10000;
  s.KeyPictures = 1;
  s.OtherBytes = 59000;
  s.OtherPictures = 59;
  s.AudioBytes = 4000;
  s.AudioPackets = 87;
  s.Seconds = 2;
  s.FileBytes = 10000 + 59000 + 4000 + 8 * (60 + 87) + 2000;
  // 20 s: 600 pictures, 2 of them key pictures at a group of 300.
  EXPECT_EQ(ExtrapolatedBytes({s, s}, 20'000'000, 300), 2000 + 2 * 10000 + 598 * 1000 + 40000 + 8 * (600 + 870));
  // The engine's own group of 12: 50 key pictures.
  EXPECT_EQ(ExtrapolatedBytes({s, s}, 20'000'000, 0), 2000 + 50 * 10000 + 550 * 1000 + 40000 + 8 * (600 + 870));
  // A second key picture in a sample (a change of scene) comes at its rate: 5 more.
  TSampleBytes cut = s;
  cut.KeyBytes = 20000;
  cut.KeyPictures = 2;
  cut.OtherBytes = 58000;
  cut.OtherPictures = 58;
  cut.FileBytes = 20000 + 58000 + 4000 + 8 * (60 + 87) + 2000;
  EXPECT_EQ(ExtrapolatedBytes({s, cut}, 20'000'000, 300),
            2000 + 7 * 10000 + 593 * 1000 + 40000 + 8 * (600 + 870));
  // A sample of the whole file is the answer itself; nothing to go by: -1.
  EXPECT_EQ(ExtrapolatedBytes({s}, 2'000'000, 300), s.FileBytes);
  EXPECT_EQ(ExtrapolatedBytes({}, 2'000'000, 300), -1);
  EXPECT_EQ(ExtrapolatedBytes({s}, -1, 300), -1);
}

// A clip of a kind not looked at while the sampling was built.
std::string HeldOutClip(const std::string& Name, int Detail, int Grain, int Motion, double Seconds) {
  TClipSpec recipe = ClipSpecByName("avi_xvid");
  recipe.Width = 320;
  recipe.Height = 240;
  recipe.FrameRate = {25, 1};
  recipe.VideoBitRate = 320 * 240 * 20;
  recipe.Detail = Detail;
  recipe.Noise = Grain;
  recipe.Motion = Motion;
  recipe.DurationSeconds = Seconds;
  const std::string path = (fs::path(FreshOutputFolder()) / (Name + ".avi")).string();
  std::string error;
  EXPECT_TRUE(MakeClip(recipe, path, &error)) << error;
  return path;
}

// The whole conversion's output size with Settings; its bitrate bound in Bound.
int64_t RealBytes(const std::string& In, const TBatchSettings& Settings, int64_t& Bound) {
  TEventRecorder r;
  TQuilloConverter c;
  LoadThrough(c);
  const TFileSetup setup = SetUpFile(c, Settings, In);
  EXPECT_TRUE(setup.Ok) << setup.Message;
  Bound = setup.ExpectedBytes;
  r.Attach(c, false);
  c.Start(1);
  EXPECT_TRUE(r.WaitAllDone());
  c.OnTerminate = nullptr;
  c.OnProgress = nullptr;
  c.ClearTasks();
  return FileSizeOf(setup.OutputPath);
}

TEST(SizeSamplingTest, TheMeasuredEstimateOfAClipIsWithinATenthOfItsRealOutputAtTheDefaultProfile) {
  EnsureLibrariesLoaded();
  struct TKind {
    const char* Name;
    int Detail, Grain, Motion;
  };
  for (const TKind& kind : std::vector<TKind>{{"quiet", 0, 0, 1}, {"scene", 48, 4, 1}, {"busy", 0, 20, 4}}) {
    // 20 s: three samples, so the figure is extrapolated.
    const std::string in = HeldOutClip(kind.Name, kind.Detail, kind.Grain, kind.Motion, 20);
    TBatchSettings settings;
    ApplyProfile(settings, kDefaultProfile);
    settings.OutputFolder = FreshOutputFolder();
    int64_t bound = -1;
    const int64_t real = RealBytes(in, settings, bound);
    ASSERT_GT(real, 10000) << kind.Name;
    TQuilloConverter c;
    LoadThrough(c);
    TSampleControl control;
    const std::string temp = FreshOutputFolder();
    const int64_t measured = MeasureOutputBytes(c, settings, in, temp, control);
    EXPECT_NEAR(static_cast<double>(measured) / static_cast<double>(real), 1.0, 0.10)
        << kind.Name << ": measured " << measured << ", real " << real << ", bound " << bound;
    EXPECT_TRUE(fs::is_empty(temp)) << "the samples are removed";
    if (std::string(kind.Name) == "quiet") {
      EXPECT_GT(static_cast<double>(bound) / static_cast<double>(real), 1.5) << "the bound is no estimate here";
    }
  }
}

TEST(SizeSamplingTest, TheSamplerMeasuresInTurnDropsAReplacedRequestAndHoldsWhilePaused) {
  EnsureLibrariesLoaded();
  const std::string a = TestClip("avi_xvid", 2.0), b = TestClip("mp4", 1.0);
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<std::tuple<uint64_t, std::string, int64_t>> results;  // lock
  const std::string parent = FreshOutputFolder();
  {
    TSizeSampler sampler(parent, [&](uint64_t Generation, const std::string& File, int64_t Bytes) {
      std::lock_guard<std::mutex> guard(lock);
      results.emplace_back(Generation, File, Bytes);
      arrived.notify_all();
    }, tpNormal);  // at idle priority a busy machine may give it no time at all
    auto waitFor = [&](size_t N) {
      std::unique_lock<std::mutex> guard(lock);
      return arrived.wait_for(guard, 60s, [&] { return results.size() >= N; });
    };
    TBatchSettings settings;
    // Replaced at once: only the second request's figures come.
    const uint64_t first = sampler.Measure({a, b}, settings);
    const uint64_t second = sampler.Measure({b, a}, settings);
    EXPECT_GT(second, first);
    ASSERT_TRUE(waitFor(2));
    {
      std::lock_guard<std::mutex> guard(lock);
      ASSERT_EQ(results.size(), 2u);
      EXPECT_EQ(std::get<1>(results[0]), b);
      EXPECT_EQ(std::get<1>(results[1]), a);
      for (const auto& [generation, file, bytes] : results) {
        EXPECT_EQ(generation, second) << file;
        EXPECT_GT(bytes, 1000) << file;
      }
    }
    // Paused: nothing is measured until it goes on.
    sampler.Pause(true);
    sampler.Measure({a}, settings);
    std::this_thread::sleep_for(1500ms);
    {
      std::lock_guard<std::mutex> guard(lock);
      EXPECT_EQ(results.size(), 2u);
    }
    EXPECT_TRUE(sampler.Busy());
    sampler.Pause(false);
    ASSERT_TRUE(waitFor(3));
    EXPECT_FALSE(sampler.Busy());
    // A file that cannot be measured says so.
    sampler.Measure({parent + "/none.avi"}, settings);
    ASSERT_TRUE(waitFor(4));
    EXPECT_EQ(std::get<2>(results[3]), -1);
    // Destroyed while measuring: it stops and gives its folder back.
    sampler.Measure({a, b}, settings);
  }
  EXPECT_TRUE(fs::is_empty(parent)) << "the samples' folder is removed";
}

}  // namespace
