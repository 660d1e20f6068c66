// A conversion whose input stalls (a FIFO whose writer stops writing) ends
// within a second of a stop request or of the engine's destruction.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ConvertHelper.h"
#include "MyUtils.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

class BlockedReadTest : public TConversionTest {};

// Writes the first part of a file into a FIFO, then stalls with the FIFO still
// open, until Release (or its destruction) writes nothing more and closes it.
class TStallingWriter {
public:
  TStallingWriter(const std::string& Fifo, std::string Bytes) : FBytes(std::move(Bytes)) {
    FThread = std::thread([this, Fifo] {
      const int fd = open(Fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      size_t done = 0;
      const size_t part = FBytes.size() / 2;
      while (done < part) {
        const ssize_t n = write(fd, FBytes.data() + done, part - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      while (!FRelease) std::this_thread::sleep_for(5ms);
      close(fd);
    });
  }
  ~TStallingWriter() {
    Release();
    FThread.join();
  }
  void Release() { FRelease = true; }

private:
  std::string FBytes;
  std::atomic<bool> FRelease{false};
  std::thread FThread;
};

TEST_F(BlockedReadTest, StopAndDestructionEndAConversionWhoseInputStalls) {
  TClipSpec recipe = ClipSpecByName("mpeg1_ps");
  recipe.DurationSeconds = 4;
  const std::string bytes = ReadFile(MakeSpec(recipe));
  ASSERT_FALSE(bytes.empty());
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "stopped");
    const std::string fifo = Dir / (destroy ? "destroyed.mpeg" : "stopped.mpeg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    TStallingWriter writer(fifo, bytes);

    auto* engine = new TCustomFFmpeg;
    engine->PrepareForTask();
    std::atomic<int64_t> lastProgress{0};
    std::atomic<int> terminations{0};
    engine->FProgressInterval = 0;
    engine->FOnProgress = [&](TCustomFFmpeg*, int, int, int, float, float, int64_t, int) {
      lastProgress = TClock::now().time_since_epoch().count();
    };
    engine->FOnTerminate = [&](TCustomFFmpeg*) { ++terminations; };
    // The probe looks at one second, well inside what the writer gives.
    engine->AddOption("analyzeduration", "1000000");
    ASSERT_TRUE(engine->OpenInputFile(fifo)) << engine->LastError();
    for (const auto& [name, value] : WindowDefaults()) engine->AddOption(name, value);
    const std::string out = Dir / (destroy ? "destroyed.mp4" : "stopped.mp4");
    ASSERT_TRUE(engine->OpenOutputFile(out)) << engine->LastError();
    engine->Start(true)->Resume();

    // Converted all the writer gave: no progress for a while.
    const auto limit = TClock::now() + 60s;
    while (TClock::now() < limit &&
           (lastProgress == 0 || TClock::now().time_since_epoch().count() - lastProgress < int64_t{300'000'000}))
      std::this_thread::sleep_for(10ms);
    ASSERT_EQ(terminations, 0) << "the conversion ended before its input stalled";

    // Should the read not end, the writer's closing ends it after a while
    // (and the test fails).
    std::atomic<bool> ended{false};
    std::thread watchdog([&] {
      const auto until = TClock::now() + 5s;
      while (!ended && TClock::now() < until) std::this_thread::sleep_for(5ms);
      writer.Release();
    });
    const auto t0 = TClock::now();
    if (destroy) {
      delete engine;
      engine = nullptr;
    } else {
      engine->Stop();
      while (terminations == 0 && TClock::now() - t0 < 5s) std::this_thread::sleep_for(1ms);
    }
    const auto took = TClock::now() - t0;
    ended = true;
    watchdog.join();
    if (engine) {
      EXPECT_FALSE(engine->ErrorOccurred()) << engine->ErrorMessage();
      EXPECT_FALSE(engine->Finished());
    }
    delete engine;
    EXPECT_LT(took, 1s);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(FileSizeOf(out), -1) << "a stopped conversion is not saved";
  }
}

}  // namespace
