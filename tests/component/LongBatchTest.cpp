// A batch far longer than the open-file limit: every file is checked at
// set-up, but only the tasks that run hold files.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "BatchSettings.h"
#include "ComponentSupport.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

// Descriptors open in this process (the one that reads the folder included).
int OpenFileCount() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int n = 0;
  while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n;
}

// Lowers the soft limit of open files for the test's duration.
class TOpenFileLimit {
public:
  explicit TOpenFileLimit(rlim_t Limit) {
    getrlimit(RLIMIT_NOFILE, &FSaved);
    rlimit lowered = FSaved;
    lowered.rlim_cur = std::min(Limit, FSaved.rlim_max);
    Ok = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~TOpenFileLimit() { setrlimit(RLIMIT_NOFILE, &FSaved); }
  bool Ok = false;

private:
  rlimit FSaved{};
};

// The most descriptors seen open, sampled on a thread of its own.
class TOpenFileSampler {
public:
  TOpenFileSampler() : FThread([this] {
      while (!FStop) {
        Note();
        std::this_thread::sleep_for(1ms);
      }
    }) {}
  ~TOpenFileSampler() { Stop(); }
  void Note() {
    const int n = OpenFileCount();
    int most = FMost;
    while (n > most && !FMost.compare_exchange_weak(most, n)) {
    }
  }
  int Stop() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
    return FMost;
  }

private:
  std::atomic<bool> FStop{false};
  std::atomic<int> FMost{0};
  std::thread FThread;
};

TEST(LongBatchTest, TwoThousandFilesUnderALimitOf256OpenFiles) {
  constexpr int kFiles = 2000;
  constexpr int kConverted = 10;
  // A running task holds its input and its output; the libraries and the
  // component a few more at most.
  constexpr int kFewFiles = 8;
  TWatchdog watchdog(240s, "LongBatchTest");
  const std::string clip = TestClip("avi_xvid", 0.5);
  TTempDir dir;
  const std::string inputs = dir / "in";
  std::filesystem::create_directories(inputs);
  std::vector<std::string> files;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/clip%04d.avi", i);
    files.push_back(inputs + name);
    std::filesystem::create_symlink(clip, files.back());
  }
  TBatchSettings settings;
  settings.OutputFolder = dir / "out";
  std::filesystem::create_directories(settings.OutputFolder);

  TOpenFileLimit limit(256);
  ASSERT_TRUE(limit.Ok);
  TQuilloConverter c;
  LoadThrough(c);
  const int base = OpenFileCount();
  TOpenFileSampler sampler;
  TNameReservations reserved;
  int accepted = 0;
  for (const std::string& file : files) {
    const TFileSetup setup = SetUpFile(c, settings, file, &reserved);
    accepted += setup.Ok;
    if (!setup.Ok) ADD_FAILURE() << file << ": " << setup.Message << " (" << setup.Detail << ")";
    if (!setup.Ok) break;
  }
  EXPECT_EQ(accepted, kFiles);
  EXPECT_EQ(c.TaskCount(), kFiles);
  // Waiting tasks make no file, not even a hidden temporary one.
  EXPECT_TRUE(FolderEntries(settings.OutputFolder).empty());

  TEventRecorder events;
  events.Attach(c, false);
  c.Start(1);
  const bool tenEnded = events.WaitFor([](const std::vector<TEventRecord>& Events) {
    int n = 0;
    for (const TEventRecord& e : Events) n += e.Kind == TEventRecord::Terminate && e.Index >= 0 && e.Index < kConverted;
    return n == kConverted;
  });
  const int most = sampler.Stop();
  c.ClearTasks();
  ASSERT_TRUE(tenEnded);
  EXPECT_LE(most - base, kFewFiles) << "open before the set-up: " << base << ", at most: " << most;

  for (const TEventRecord& e : events.Terminations()) {
    if (e.Index < 0 || e.Index >= kConverted) continue;
    EXPECT_TRUE(e.Finished && !e.Exception) << e.Index << ": " << e.Message;
  }
  for (int i = 0; i < kConverted; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/clip%04d.mp4", i);
    TAVProbe probe;
    ASSERT_TRUE(probe.Open(settings.OutputFolder + name)) << name;
    EXPECT_EQ(probe.VideoStreamCount(), 1) << name;
    EXPECT_EQ(probe.AudioStreamCount(), 1) << name;
    TAVFileInfo info{};
    probe.GetFileInfo(info);
    EXPECT_GT(info.Duration, 400000) << name;
  }
}

}  // namespace
