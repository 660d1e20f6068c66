// Encoding and writing on a thread of their own: the same file as on one
// thread, and stop, failure and the end of input crossing the queue.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "ConvertHelper.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

class EncodeStageTest : public TConversionTest {};

// The figures of the last progress event of a run.
struct TLastProgress {
  int Frame = 0, DurationMs = 0;
  int64_t Size = 0;
  bool operator==(const TLastProgress&) const = default;
};

// One clip of every container the media maker writes (the first preset of
// each), through the window's default job and a few variants: the encoders
// see the same frames in the same order, so both runs give the same bytes,
// the same log and the same final progress.
TEST_F(EncodeStageTest, TwoStageRunGivesTheSameFileAsOneThread) {
  struct TCase {
    std::string Preset;
    std::vector<std::pair<std::string, std::string>> Extra;
  };
  std::vector<TCase> cases;
  std::set<std::string> containers;
  for (const TClipSpec& spec : StandardClipSpecs())
    if (containers.insert(spec.FormatName).second) cases.push_back({spec.Name, {}});
  // Sound copied as it is, through the same queue as the encoded pictures;
  // pictures padded (the scaled picture's buffer is reused while the encoder
  // may still hold the last one); a filter graph; several pictures per packet
  // time (duplicates).
  cases.push_back({"mp4", {{"acodec", "copy"}}});
  cases.push_back({"avi_xvid", {{"padtop", "16"}, {"padbottom", "16"}, {"s", "160x88"}}});
  cases.push_back({"mpeg2_ps", {{"vf", "hflip"}}});
  cases.push_back({"flv_adpcm", {{"r", "60"}}});
  ASSERT_GE(containers.size(), 10u);
  for (const TCase& k : cases) {
    TClipSpec spec = ClipSpecByName(k.Preset);
    spec.Name = k.Preset + "_stage" + std::to_string(&k - cases.data());
    SCOPED_TRACE(spec.Name);
    spec.Noise = 4;
    const std::string in = MakeSpec(spec);
    std::string bytes[2];
    std::vector<std::pair<int, std::string>> log[2];
    TLastProgress last[2];
    for (const int stage : {0, 1}) {
      TCustomFFmpeg engine;
      engine.FEncoderThread = stage;
      engine.FOnProgress = [&](TCustomFFmpeg*, int Frame, int, int Ms, float, float, int64_t Size, int) {
        last[stage] = {Frame, Ms, Size};
      };
      TConversion c;
      c.OutputOptions = WindowOptions({.Size = "160x120"});
      for (const auto& option : k.Extra) c.OutputOptions.push_back(option);
      const std::string out = Dir / (spec.Name + "-" + std::to_string(stage) + ".mp4");
      ASSERT_TRUE(Convert(in, out, c, &engine)) << c.Error;
      EXPECT_TRUE(c.Finished);
      bytes[stage] = ReadFile(out);
      log[stage] = c.Log;
    }
    ASSERT_FALSE(bytes[0].empty());
    EXPECT_TRUE(bytes[1] == bytes[0]) << "the two-stage output differs from the one-thread output";
    EXPECT_EQ(log[1], log[0]);
    EXPECT_EQ(last[1], last[0]);
    EXPECT_GT(last[0].Frame, 0);
  }
}

// A write that fails on the encoding side (a full device) ends the run with
// that failure, as on one thread, and the decoding side stops soon after: it
// reads far less than the whole input.
TEST_F(EncodeStageTest, AWriteFailureEndsTheDecodingSide) {
  TClipSpec spec = ClipSpecByName("avi_xvid");
  spec.DurationSeconds = 12;
  spec.Noise = 20;
  const std::string in = MakeSpec(spec);
  std::string errors[2];
  for (const int stage : {0, 1}) {
    SCOPED_TRACE(stage);
    TCustomFFmpeg engine;
    engine.FEncoderThread = stage;
    int frames = 0;
    engine.FProgressInterval = 0;
    engine.FOnProgress = [&](TCustomFFmpeg*, int Frame, int, int, float, float, int64_t, int) {
      frames = std::max(frames, Frame);
    };
    TConversion c;
    c.OutputOptions = {{"f", "avi"}, {"vcodec", "mpeg4"}, {"b", "2000000"}, {"acodec", "libfaac"}};
    EXPECT_FALSE(Convert(in, "/dev/full", c, &engine));
    EXPECT_TRUE(c.Failed);
    EXPECT_FALSE(c.Finished);
    EXPECT_EQ(c.Terminations, 1);
    errors[stage] = c.Error;
    EXPECT_LT(frames, ClipVideoFrameCount(spec) / 4) << "the decoding side went on after the failure";
  }
  EXPECT_NE(errors[0].find("): no space left on the device"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[1], errors[0]);
}

// The output is a FIFO whose reader does not read: the writer blocks, the
// queue fills and the decoding side waits for room. A stop then ends the run
// as soon as the writer moves again (the reader drains the FIFO): no error,
// not finished, no hang.
TEST_F(EncodeStageTest, AStopWhileTheQueueIsFullEndsTheRun) {
  TClipSpec spec = ClipSpecByName("mpeg1_ps");
  spec.DurationSeconds = 12;
  const std::string in = MakeSpec(spec);
  const std::string fifo = Dir / "out.mpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading first, so that the engine's open for writing does not wait.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);

  TCustomFFmpeg engine;
  engine.PrepareForTask();
  std::atomic<int64_t> lastProgress{0};
  std::atomic<int> frames{0}, terminations{0};
  engine.FProgressInterval = 0;
  engine.FOnProgress = [&](TCustomFFmpeg*, int Frame, int, int, float, float, int64_t, int) {
    frames = Frame;
    lastProgress = TClock::now().time_since_epoch().count();
  };
  engine.FOnTerminate = [&](TCustomFFmpeg*) { ++terminations; };
  ASSERT_TRUE(engine.OpenInputFile(in)) << engine.LastError();
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"f", "mpeg"}, {"vcodec", "mpeg1video"}, {"b", "1000000"}, {"acodec", "mp2"}})
    engine.AddOption(name, value);
  ASSERT_TRUE(engine.OpenOutputFile(fifo)) << engine.LastError();
  engine.Start(true)->Resume();

  // The pipe is full and so is the queue: no progress for a while.
  const auto limit = TClock::now() + 60s;
  while (TClock::now() < limit &&
         (lastProgress == 0 || TClock::now().time_since_epoch().count() - lastProgress < int64_t{300'000'000}))
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(terminations, 0) << "the run ended although nothing read its output";
  EXPECT_LT(frames, ClipVideoFrameCount(spec) / 2);

  engine.Stop();
  std::thread drain([&] {
    char buffer[65536];
    const auto until = TClock::now() + 60s;
    while (terminations == 0 && TClock::now() < until) {
      if (read(reader, buffer, sizeof buffer) <= 0) std::this_thread::sleep_for(1ms);
    }
  });
  drain.join();
  close(reader);
  EXPECT_EQ(terminations, 1);
  EXPECT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
  EXPECT_FALSE(engine.Finished());
  EXPECT_LT(frames, ClipVideoFrameCount(spec) / 2);
}

}  // namespace
