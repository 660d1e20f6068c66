// Several components and tasks under random starts, stops, removals and
// clears, with library log traffic from other threads. It must end (a watchdog
// fails it otherwise) with every thread gone; the sanitizer builds check the
// rest (races, freed memory, leaks).
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "ComponentSupport.h"
#include "QuilloConverter.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(ComponentStressTest, RandomOperationsEnd) {
  constexpr int kComponents = 3;
  constexpr int kRounds = 25;
  TWatchdog dog(240s, "ComponentStressTest");
  EnsureLibrariesLoaded();
  const std::vector<std::string> clips = {TestClip("avi_xvid", 0.5), TestClip("mpeg1_ps", 0.5),
                                          TestClip("avi_video_only", 0.5)};
  std::vector<std::unique_ptr<TQuilloConverter>> components;
  std::atomic<int> events{0};
  for (int i = 0; i < kComponents; ++i) {
    components.push_back(std::make_unique<TQuilloConverter>());
    TQuilloConverter& c = *components.back();
    LoadThrough(c);
    c.SetProgressInterval(100);
    c.OnLog = [&](int, TLogLevel, const std::string&) { ++events; };
    c.OnProgress = [&](int, int, int, int, float, float, int64_t, int) { ++events; };
    c.OnTerminate = [&c, &events](int AIndex, bool, bool, const std::string&) {
      ++events;
      // Like the window: the all-done event frees the tasks.
      if (AIndex < 0) c.ClearTasks();
    };
  }
  std::atomic<bool> stopNoise{false};
  std::thread noise([&] {
    for (int i = 0; !stopNoise; ++i) {
      ff::av_log(nullptr, AV_LOG_PANIC, "noise %d", i);
      ff::av_log(nullptr, AV_LOG_PANIC, "\n");
      std::this_thread::sleep_for(200us);
    }
  });

  std::mt19937 random(12345);
  auto pick = [&](int N) { return static_cast<int>(random() % static_cast<unsigned>(N)); };
  const std::string out = FreshOutputFolder();
  int file = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (auto& c : components) {
      const int tasks = 1 + pick(3);
      for (int t = 0; t < tasks; ++t) {
        const int index = c->AddTask(clips[static_cast<size_t>(pick(3))]);
        ASSERT_GE(index, 0) << c->LastError();
        ASSERT_TRUE(c->SetOutputFile(index, out + "/f" + std::to_string(file++) + ".mp4")) << c->LastError();
      }
      c->Start(1 + pick(2));
    }
    for (int step = 0; step < 6; ++step) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pick(40)));
      TQuilloConverter& c = *components[static_cast<size_t>(pick(kComponents))];
      switch (pick(4)) {
        case 0: c.StopAll(); break;
        case 1: c.RemoveTask(pick(3)); break;
        case 2: c.ClearTasks(); break;
        default: ff::av_log(nullptr, AV_LOG_PANIC, "step %d\n", step); break;
      }
    }
    for (auto& c : components) {
      c->StopAll();
      c->ClearTasks();
      ASSERT_TRUE(c->WaitForThreads(60s)) << "round " << round;
    }
  }
  stopNoise = true;
  noise.join();
  components.clear();
  EXPECT_GT(events, 0);
  EXPECT_EQ(ConverterInstances().Count(), 0);
}

}  // namespace
