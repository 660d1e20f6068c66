// The converter component: properties, the order in which tasks start and end,
// runs in the main thread, failures, stops, and the log path.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
#include <sched.h>
#include <sys/resource.h>
#include <thread>

#include "ComponentSupport.h"
#include "EngineIO.h"
#include "MyUtils.h"
#include "QuilloConverter.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

class ComponentTest : public ::testing::Test {
protected:
  void SetUp() override {
    LoadThrough(C);
    Out = FreshOutputFolder();
  }
  std::string Output(int N) const { return Out + "/task" + std::to_string(N) + ".mp4"; }
  // Adds N conversions of the one-second clip.
  void AddTasks(int N, const TOutputOptions* Extra = nullptr) {
    for (int i = 0; i < N; ++i) ASSERT_EQ(AddConversion(C, TestClip("avi_xvid"), Output(i), Extra), i);
  }
  static std::vector<int> Indexes(const std::vector<TEventRecord>& Events) {
    std::vector<int> v;
    for (const auto& e : Events) v.push_back(e.Index);
    return v;
  }

  // The recorder outlives the component, whose destruction waits for the
  // threads that may still be inside a handler.
  TEventRecorder R;
  TQuilloConverter C;
  std::string Out;
};

TEST(ComponentPropertiesTest, DefaultsAndTheProgressFloor) {
  TQuilloConverter c;
  EXPECT_EQ(c.GetLogLevel(), llInfo);
  EXPECT_EQ(c.GetProgressInterval(), 500);
  EXPECT_EQ(c.GetThreadPriority(), tpNormal);
  EXPECT_EQ(c.Version(), "2.2");
  for (auto [set, read] : std::vector<std::pair<int, int>>{{50, 100}, {100, 100}, {101, 101}, {-5, 100}, {2000, 2000}}) {
    c.SetProgressInterval(set);
    EXPECT_EQ(c.GetProgressInterval(), read) << set;
  }
}

TEST(ComponentPropertiesTest, LevelMapping) {
  const std::vector<std::pair<int, TLogLevel>> cases = {{-8, llQuiet}, {-1, llQuiet}, {0, llError}, {1, llInfo},
                                                        {2, llDebug},  {3, llAll},    {4, llAll},   {48, llAll}};
  for (auto [level, mapped] : cases) EXPECT_EQ(MapLogLevel(level), mapped) << level;
}

TEST_F(ComponentTest, OneThreadRunsTasksInOrderThenAllDone) {
  AddTasks(3);
  R.Attach(C, true);
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  const auto t = R.Terminations();
  EXPECT_EQ(Indexes(t), (std::vector<int>{0, 1, 2, -1}));
  for (const auto& e : t) {
    EXPECT_TRUE(e.Finished) << e.Index << " " << e.Message;
    EXPECT_FALSE(e.Exception) << e.Index;
  }
  EXPECT_TRUE(t.back().Message.empty());
  // Task k logs nothing before task k-1 has ended: one file at a time.
  const auto events = R.Events();
  std::set<int> ended;
  for (const auto& e : events) {
    if (e.Kind == TEventRecord::Terminate) {
      ended.insert(e.Index);
    } else if (e.Index > 0) {
      EXPECT_TRUE(ended.count(e.Index - 1)) << "task " << e.Index << " ran before task " << e.Index - 1 << " ended";
    }
  }
  for (int i = 0; i < 3; ++i) EXPECT_GT(FileSizeOf(Output(i)), 0) << i;
  EXPECT_FALSE(C.Running());
}

TEST_F(ComponentTest, TwoThreadsRunTwoTasksAtOnce) {
  TOutputOptions hooked;
  hooked.CustomHook = true;
  AddTasks(3, &hooked);
  std::mutex lock;
  std::condition_variable changed;
  std::set<int> entered;
  bool thirdBeforeAnEnd = false;
  R.Attach(C, false);
  C.OnCustomHook = [&](int AIndex, TBitmap*, int, int64_t, bool&, bool&) {
    std::unique_lock<std::mutex> l(lock);
    if (!entered.insert(AIndex).second) return;
    if (AIndex == 2) {
      thirdBeforeAnEnd = R.Terminations().empty();
      return;
    }
    changed.notify_all();
    // Tasks 0 and 1 wait for each other: only possible when both run.
    changed.wait_for(l, 20s, [&] { return entered.count(0) && entered.count(1); });
  };
  C.Start(2);
  ASSERT_TRUE(R.WaitAllDone());
  EXPECT_EQ(entered, (std::set<int>{0, 1, 2}));
  EXPECT_FALSE(thirdBeforeAnEnd);
  const auto t = R.Terminations();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t.back().Index, -1);
  for (size_t i = 0; i + 1 < t.size(); ++i) EXPECT_TRUE(t[i].Finished);
}

TEST_F(ComponentTest, ZeroThreadsRunInTheMainThreadFromTheLoop) {
  TEventLoop loop;
  C.SetMainThread(&loop);
  AddTasks(2);
  R.Attach(C, true);
  const auto started = std::chrono::steady_clock::now();
  C.Start(0);
  EXPECT_TRUE(R.Events().empty()) << "nothing runs inside Start";
  ASSERT_TRUE(loop.RunUntil([&] { return R.AllDoneCount() > 0; }, 60s));
  const auto events = R.Events();
  ASSERT_FALSE(events.empty());
  for (const auto& e : events) EXPECT_EQ(e.Thread, std::this_thread::get_id());
  EXPECT_GE(events.front().At - started, 90ms);
  // Task 1 starts about 100 ms after task 0's termination.
  auto t0 = std::find_if(events.begin(), events.end(),
                         [](const TEventRecord& e) { return e.Kind == TEventRecord::Terminate && e.Index == 0; });
  auto first1 = std::find_if(events.begin(), events.end(), [](const TEventRecord& e) { return e.Index == 1; });
  ASSERT_TRUE(t0 != events.end() && first1 != events.end());
  EXPECT_GT(first1 - t0, 0);
  EXPECT_GE(first1->At - t0->At, 90ms);
  EXPECT_EQ(Indexes(R.Terminations()), (std::vector<int>{0, 1, -1}));
}

TEST_F(ComponentTest, ClearInTheLastTerminationStillEndsWithAllDone) {
  AddTasks(2);
  R.Attach(C, false);
  auto record = C.OnTerminate.Get();
  // What the window does when the last file is done.
  C.OnTerminate = [&](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    (*record)(AIndex, AFinished, AException, AMessage);
    if (AIndex == 1) {
      C.StopAll();
      C.ClearTasks();
    }
  };
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  ASSERT_TRUE(C.WaitForThreads(30s));
  EXPECT_EQ(Indexes(R.Terminations()), (std::vector<int>{0, 1, -1}));
  EXPECT_FALSE(C.Running());
  EXPECT_EQ(C.TaskCount(), 0);
}

TEST_F(ComponentTest, MainThreadRunsTellTheirLibraryLinesApart) {
  TEventLoop loop;
  C.SetMainThread(&loop);
  TOutputOptions hooked;
  hooked.CustomHook = true;
  AddTasks(2, &hooked);
  R.Attach(C, true);
  std::set<int> logged;
  C.OnCustomHook = [&](int AIndex, TBitmap*, int, int64_t, bool&, bool&) {
    if (logged.insert(AIndex).second) ff::av_log(nullptr, AV_LOG_ERROR, "line of task %d\n", AIndex);
  };
  C.Start(0);
  ASSERT_TRUE(loop.RunUntil([&] { return R.AllDoneCount() > 0; }, 60s));
  std::map<std::string, int> indexOf;
  for (const auto& e : R.Events())
    if (e.Kind == TEventRecord::Log && e.Message.rfind("line of task", 0) == 0) indexOf[e.Message] = e.Index;
  EXPECT_EQ(indexOf, (std::map<std::string, int>{{"line of task 0", 0}, {"line of task 1", 1}}));
}

TEST_F(ComponentTest, FailingTaskIsFollowedByTheNext) {
  // Task 0 has no output: the engine refuses to start it.
  ASSERT_EQ(C.AddTask(TestClip("avi_xvid")), 0);
  ASSERT_EQ(AddConversion(C, TestClip("mpeg1_ps"), Output(1)), 1);
  R.Attach(C, false);
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  const auto t = R.Terminations();
  ASSERT_EQ(Indexes(t), (std::vector<int>{0, 1, -1}));
  EXPECT_FALSE(t[0].Finished);
  EXPECT_TRUE(t[0].Exception);
  EXPECT_EQ(t[0].Message, "Must supply at least one output file");
  EXPECT_TRUE(t[1].Finished);
  EXPECT_FALSE(t[1].Exception);
}

TEST_F(ComponentTest, StopAllDuringTheFirstOfThree) {
  TOutputOptions hooked;
  hooked.CustomHook = true;
  AddTasks(3, &hooked);
  R.Attach(C, false);
  std::atomic<bool> stopped{false};
  C.OnCustomHook = [&](int AIndex, TBitmap*, int, int64_t, bool&, bool&) {
    if (AIndex == 0 && !stopped.exchange(true)) C.StopAll();
  };
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  auto t = R.Terminations();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t.back().Index, -1);
  EXPECT_TRUE(t.back().Finished);
  std::map<int, TEventRecord> byIndex;
  for (const auto& e : t) byIndex[e.Index] = e;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(byIndex.count(i)) << i;
    EXPECT_FALSE(byIndex[i].Finished) << i;
    EXPECT_FALSE(byIndex[i].Exception) << i << byIndex[i].Message;
  }
  // The two that never ran end on threads of their own.
  EXPECT_NE(byIndex[1].Thread, byIndex[2].Thread);
  EXPECT_NE(byIndex[1].Thread, std::this_thread::get_id());
  C.ClearTasks();
  // Their outputs never got a byte and are gone with the tasks.
  EXPECT_EQ(FileSizeOf(Output(1)), -1);
  EXPECT_EQ(FileSizeOf(Output(2)), -1);
}

TEST_F(ComponentTest, PauseHoldsTheRunAndStopAllEndsItWhilePaused) {
  auto addTwo = [&] {
    for (int i = 0; i < 2; ++i) ASSERT_EQ(AddConversion(C, TestClip("avi_xvid", 4.0), Output(i)), i);
  };
  addTwo();
  C.SetProgressInterval(100);
  R.Attach(C, false);
  // Progress is counted here, and the pause is asked for from inside the
  // handler, on the task's own thread: the task then holds before its next
  // packet, however busy the machine is, and cannot finish meanwhile.
  std::atomic<int> progress{0};
  std::atomic<bool> pauseAtNextProgress{false};
  C.OnProgress = [&](int, int, int, int, float, float, int64_t, int) {
    ++progress;
    if (pauseAtNextProgress.exchange(false)) C.Pause(true);
  };
  // Paused before the run: its first task holds at once.
  C.Pause(true);
  C.Start(1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(progress.load(), 0);
  EXPECT_TRUE(R.Terminations().empty());
  EXPECT_TRUE(C.Running());
  // Resumed until the first progress, which holds it again.
  pauseAtNextProgress = true;
  C.Pause(false);
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (pauseAtNextProgress && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_FALSE(pauseAtNextProgress) << "no progress after the resume";
  EXPECT_TRUE(C.Paused());
  const int held = progress;
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(progress.load(), held);
  EXPECT_TRUE(R.Terminations().empty());
  // A stop while paused ends both: the running one stopped, the other never ran.
  C.StopAll();
  ASSERT_TRUE(R.WaitAllDone());
  std::map<int, TEventRecord> byIndex;
  for (const auto& e : R.Terminations()) byIndex[e.Index] = e;
  ASSERT_EQ(byIndex.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(byIndex.count(i)) << i;
    EXPECT_FALSE(byIndex[i].Finished) << i;
    EXPECT_FALSE(byIndex[i].Exception) << byIndex[i].Message;
  }
  C.ClearTasks();
  EXPECT_EQ(FileSizeOf(Output(0)), -1);

  // Paused and resumed mid-file, the batch still converts every file whole.
  C.Pause(false);
  addTwo();
  TEventRecorder again;
  again.Attach(C, false);
  C.Start(1);
  ASSERT_TRUE(again.WaitFor([](const std::vector<TEventRecord>& E) { return !E.empty(); }));
  C.Pause(true);
  std::this_thread::sleep_for(200ms);
  C.Pause(false);
  ASSERT_TRUE(again.WaitAllDone());
  for (const auto& e : again.Terminations()) EXPECT_TRUE(e.Finished) << e.Index << e.Message;
  C.OnProgress = nullptr;
  C.OnTerminate = nullptr;
  C.ClearTasks();
  for (int i = 0; i < 2; ++i) EXPECT_GT(FileSizeOf(Output(i)), 1000) << i;
}

TEST_F(ComponentTest, ABeforeStartHandlerThatPausesHoldsTheNextTaskBeforeItsFirstProgress) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(AddConversion(C, TestClip("avi_xvid", 0.5), Output(i)), i);
  C.SetProgressInterval(100);
  std::mutex lock;
  std::vector<int> asked;  // lock
  // Pauses the run before its second task, as a check of the free space would.
  C.OnBeforeStart = [&](int Index) {
    {
      std::lock_guard<std::mutex> guard(lock);
      asked.push_back(Index);
    }
    if (Index == 1) C.Pause(true);
  };
  R.Attach(C, false);
  C.Start(1);
  ASSERT_TRUE(R.WaitFor([](const std::vector<TEventRecord>& E) {
    for (const auto& e : E)
      if (e.Kind == TEventRecord::Terminate && e.Index == 0) return true;
    return false;
  }));
  // The second task is asked about on its way to start (after the first one's
  // end is told); held there, it reports nothing.
  auto askedNow = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return asked;
  };
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (askedNow().size() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(askedNow(), (std::vector<int>{0, 1}));
  EXPECT_TRUE(C.Paused());
  for (const auto& e : R.Events()) EXPECT_FALSE(e.Index == 1) << "task 1 reported while held, kind " << e.Kind;
  C.Pause(false);
  ASSERT_TRUE(R.WaitAllDone());
  C.OnBeforeStart = nullptr;
  C.OnProgress = nullptr;
  C.OnTerminate = nullptr;
  EXPECT_EQ(asked, (std::vector<int>{0, 1, 2}));
  for (const auto& e : R.Terminations()) EXPECT_TRUE(e.Index < 0 || e.Finished) << e.Index << e.Message;
}

TEST_F(ComponentTest, FinishRunningEndsTheRunAfterTheFilesConvertingNow) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(AddConversion(C, TestClip("avi_xvid", 2.0), Output(i)), i);
  R.Attach(C, false);
  // Held in its first file, so that the call comes while that file runs.
  C.Pause(true);
  C.Start(1);
  std::this_thread::sleep_for(100ms);
  C.FinishRunning();
  C.Pause(false);
  ASSERT_TRUE(R.WaitAllDone());
  // The running file converted whole; the other two never started.
  EXPECT_EQ(Indexes(R.Terminations()), (std::vector<int>{0, -1}));
  EXPECT_TRUE(R.Terminations().front().Finished);
  C.OnTerminate = nullptr;
  C.OnProgress = nullptr;
  EXPECT_FALSE(C.Running());
  EXPECT_GT(FileSizeOf(Output(0)), 1000);
  for (int i = 1; i < 3; ++i) EXPECT_EQ(FileSizeOf(Output(i)), -1) << i;
  // Between runs it does nothing; the tasks start again with the next run.
  C.FinishRunning();
  TEventRecorder again;
  again.Attach(C, false);
  C.Start(3);
  ASSERT_TRUE(again.WaitAllDone());
  EXPECT_EQ(again.Terminations().size(), 4u);
  C.OnTerminate = nullptr;
  C.OnProgress = nullptr;
  C.ClearTasks();
}

// The threads of this process now.
std::set<pid_t> ProcessThreads() {
  std::set<pid_t> tids;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
    tids.insert(static_cast<pid_t>(std::stoi(e.path().filename().string())));
  return tids;
}

TEST_F(ComponentTest, LowPriorityReachesTheCodecsOwnThreads) {
  if (getpriority(PRIO_PROCESS, 0) != 0) GTEST_SKIP() << "the tests run niced already";
  // A runtime that starts a helper thread of its own with the process's first
  // thread (the thread sanitizer does) has started it before the runs below.
  std::thread([] {}).join();
  struct TCase {
    TConvertPriority Priority;
    int Nice, Policy;
  };
  for (const TCase c : {TCase{tpLowest, 10, SCHED_BATCH}, TCase{tpNormal, 0, SCHED_OTHER}}) {
    SCOPED_TRACE(c.Nice);
    const std::set<pid_t> before = ProcessThreads();
    ASSERT_EQ(AddConversion(C, TestClip("avi_xvid", 4.0), Output(0)), 0);
    C.SetThreadPriority(c.Priority);
    C.SetProgressInterval(100);
    TEventRecorder events;
    events.Attach(C, false);
    std::mutex lock;
    std::vector<std::pair<int, int>> seen;  // nice, policy of each thread the run started
    bool looked = false;
    C.OnProgress = [&](int, int, int, int, float, float, int64_t, int) {
      std::lock_guard<std::mutex> guard(lock);
      if (std::exchange(looked, true)) return;
      for (const pid_t tid : ProcessThreads()) {
        if (before.count(tid)) continue;
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        const int policy = sched_getscheduler(tid);
        if (errno == 0 && policy >= 0) seen.emplace_back(nice, policy);
      }
    };
    C.Start(1);
    ASSERT_TRUE(events.WaitAllDone());
    C.OnProgress = nullptr;
    C.OnTerminate = nullptr;
    C.ClearTasks();
    std::lock_guard<std::mutex> guard(lock);
    // The worker, the encoding stage and the decoder's own threads.
    EXPECT_GE(seen.size(), 3u);
    for (const auto& [nice, policy] : seen) {
      EXPECT_EQ(nice, c.Nice);
      EXPECT_EQ(policy, c.Policy);
    }
  }
}

TEST_F(ComponentTest, AddTaskOfAMissingFileFails) {
  EXPECT_EQ(C.AddTask(Out + "/no-such-file.avi"), -1);
  EXPECT_FALSE(C.LastError().empty());
  EXPECT_NE(C.LastError().find("no-such-file.avi"), std::string::npos) << C.LastError();
  EXPECT_EQ(C.TaskCount(), 0);
}

TEST_F(ComponentTest, AFileThatVanishesOrChangesWhileWaitingFailsAndTheBatchGoesOn) {
  // Three copies of a clip, set up; then one vanishes, one is no video any
  // more, and the output folder of the third stays as it was.
  std::vector<std::string> inputs;
  for (int i = 0; i < 3; ++i) {
    inputs.push_back(Out + "/in" + std::to_string(i) + ".avi");
    std::filesystem::copy_file(TestClip("avi_xvid"), inputs.back());
    ASSERT_EQ(AddConversion(C, inputs.back(), Output(i)), i);
  }
  std::filesystem::remove(inputs[0]);
  WriteFile(inputs[1], "this is no video any more");
  R.Attach(C, false);
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  const auto t = R.Terminations();
  ASSERT_EQ(Indexes(t), (std::vector<int>{0, 1, 2, -1}));
  for (int i : {0, 1}) {
    EXPECT_TRUE(t[i].Exception) << i;
    EXPECT_FALSE(t[i].Finished) << i;
    // The message of a failed open, naming the file.
    EXPECT_EQ(t[i].Message.rfind(inputs[i] + ": ", 0), 0u) << t[i].Message;
    EXPECT_EQ(FileSizeOf(Output(i)), -1) << i;
  }
  EXPECT_TRUE(t[2].Finished) << t[2].Message;
  EXPECT_GT(FileSizeOf(Output(2)), 0);
}

TEST_F(ComponentTest, UnknownOutputFormatKeepsTheTask) {
  ASSERT_EQ(C.AddTask(TestClip("avi_xvid")), 0);
  TOutputOptions o;
  o.FileFormat = "nosuchformat";
  EXPECT_FALSE(C.SetOutputFile(0, Output(0), o));
  EXPECT_EQ(C.LastError(), "Unknown output format: nosuchformat");
  EXPECT_EQ(C.TaskCount(), 1);
  C.RemoveTask(0);
  EXPECT_EQ(C.TaskCount(), 0);
  EXPECT_FALSE(C.SetOutputFile(3, Output(3)));
  EXPECT_FALSE(C.LastError().empty());
}

TEST_F(ComponentTest, DeletingTheMiddleOfThreeRenumbers) {
  AddTasks(3);
  // Set-up only checks the outputs; each file is made when its task runs.
  EXPECT_TRUE(FolderEntries(Out).empty());
  C.RemoveTask(1);
  EXPECT_EQ(C.TaskCount(), 2);
  R.Attach(C, false);
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  EXPECT_EQ(Indexes(R.Terminations()), (std::vector<int>{0, 1, -1}));
  EXPECT_GT(FileSizeOf(Output(0)), 0);
  EXPECT_GT(FileSizeOf(Output(2)), 0);
  EXPECT_EQ(FileSizeOf(Output(1)), -1);
  EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"task0.mp4", "task2.mp4"}));
}

// ---------------------------------------------------------------------------
// The library log path

class LogPathTest : public ComponentTest {
protected:
  void TearDown() override { C.SetLogLevel(llInfo); }
  std::vector<std::string> Lines(const TEventRecorder& Rec, int Index) {
    std::vector<std::string> v;
    for (const auto& e : Rec.Events())
      if (e.Kind == TEventRecord::Log && e.Index == Index) v.push_back(e.Message);
    return v;
  }
};

const char* DemoName(void*) { return "demo"; }

TEST_F(LogPathTest, UnfinishedMessageWaitsForItsLineEnd) {
  R.Attach(C, true);
  static const AVClass cls = [] {
    AVClass c{};
    c.class_name = "Demo";
    c.item_name = DemoName;
    return c;
  }();
  struct {
    const AVClass* Class;
  } context{&cls};
  ff::av_log(&context, AV_LOG_PANIC, "abc");
  EXPECT_TRUE(Lines(R, -1).empty());
  ff::av_log(&context, AV_LOG_PANIC, "def\n");
  const auto lines = Lines(R, -1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, 7), "[demo @");
  EXPECT_EQ(lines[0].substr(lines[0].size() - 7), "]abcdef");
  EXPECT_EQ(R.Events().back().Level, llError);
}

TEST_F(LogPathTest, LibraryLevelsArriveAsWhatTheirNameSays) {
  R.Attach(C, true);
  struct TCase {
    TLogLevel Set;
    int LibraryLevel;
    int Arrives;  // the level it arrives with, -1: filtered out
  };
  const TCase cases[] = {
      {llInfo, AV_LOG_PANIC, llError},   {llInfo, AV_LOG_FATAL, llError},    {llInfo, AV_LOG_ERROR, llError},
      {llInfo, AV_LOG_WARNING, llInfo},  {llInfo, AV_LOG_INFO, llInfo},      {llInfo, AV_LOG_VERBOSE, -1},
      {llError, AV_LOG_ERROR, llError},  {llError, AV_LOG_WARNING, -1},      {llDebug, AV_LOG_VERBOSE, llDebug},
      {llDebug, AV_LOG_DEBUG, llDebug},  {llDebug, AV_LOG_TRACE, -1},        {llAll, AV_LOG_TRACE, llAll},
      {llQuiet, AV_LOG_PANIC, -1},
  };
  for (const TCase& c : cases) {
    C.SetLogLevel(c.Set);
    const size_t before = R.Events().size();
    ff::av_log(nullptr, c.LibraryLevel, "level %d\n", c.LibraryLevel);
    const auto events = R.Events();
    if (c.Arrives < 0) {
      EXPECT_EQ(events.size(), before) << c.Set << " " << c.LibraryLevel;
    } else {
      ASSERT_EQ(events.size(), before + 1) << c.Set << " " << c.LibraryLevel;
      EXPECT_EQ(events.back().Level, c.Arrives) << c.Set << " " << c.LibraryLevel;
    }
  }
  // The probe's note about a missing file is information.
  C.SetLogLevel(llInfo);
  TAVFileInfo info{};
  C.Probe().GetFileInfo(info);
  ASSERT_FALSE(Lines(R, -1).empty());
  EXPECT_EQ(Lines(R, -1).back(), "file not loaded.");
  EXPECT_EQ(R.Events().back().Level, llInfo);
}

TEST_F(LogPathTest, QuietLevelLetsOnlyQuietLinesThrough) {
  C.SetLogLevel(llQuiet);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_QUIET);
  EXPECT_EQ(CachedLogLevel.load(), AV_LOG_QUIET);
  R.Attach(C, true);
  ff::av_log(nullptr, AV_LOG_PANIC, "hidden\n");
  ff::av_log(nullptr, AV_LOG_QUIET, "shown\n");
  const auto lines = Lines(R, -1);
  ASSERT_EQ(lines, std::vector<std::string>{"shown"});
  EXPECT_EQ(R.Events().back().Level, llQuiet);
  C.SetLogLevel(llDebug);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
}

TEST_F(LogPathTest, TheOutputListingDescribesTheEncodedStreams) {
  AddTasks(1);
  R.Attach(C, true);
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  const std::vector<std::string> lines = Lines(R, 0);
  const auto output = std::find_if(lines.begin(), lines.end(), [](const std::string& L) {
    return L.find("Output #0, mp4") != std::string::npos;
  });
  ASSERT_NE(output, lines.end());
  EXPECT_EQ(*output, "Output #0, mp4, to '" + Output(0) + "':") << "the name the user will find, not a temporary one";
  const std::string listing = std::accumulate(output, lines.end(), std::string(), [](std::string A, const std::string& L) {
    return A + L + "\n";
  });
  EXPECT_NE(listing.find("Video: mpeg4"), std::string::npos) << listing;
  EXPECT_NE(listing.find("320x240"), std::string::npos) << listing;
  EXPECT_NE(listing.find("Audio: aac"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("Unknown"), std::string::npos) << listing;
}

TEST_F(LogPathTest, TwoComponentsSeeTheSameLibraryLine) {
  TEventRecorder otherRec;
  TQuilloConverter other;
  otherRec.Attach(other, true);
  TOutputOptions hooked;
  hooked.CustomHook = true;
  AddTasks(1, &hooked);
  R.Attach(C, true);
  std::atomic<bool> logged{false};
  C.OnCustomHook = [&](int, TBitmap*, int, int64_t, bool&, bool&) {
    if (!logged.exchange(true)) ff::av_log(nullptr, AV_LOG_PANIC, "line from the task\n");
  };
  C.Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  auto has = [](const std::vector<std::string>& V) {
    return std::find(V.begin(), V.end(), "line from the task") != V.end();
  };
  EXPECT_TRUE(has(Lines(R, 0)));
  EXPECT_FALSE(has(Lines(R, -1)));
  EXPECT_TRUE(has(Lines(otherRec, -1)));
}

TEST_F(LogPathTest, DecoderThreadLinesCarryTheirFilesIndex) {
  // Damaged pictures are reported by the decoder's own threads, which are not
  // the task's: the lines must still name the task, for each of two files
  // converted at once.
  std::vector<std::string> inputs;
  for (int i = 0; i < 2; ++i) {
    std::string bytes = ReadFile(TestClip("avi_xvid"));
    for (size_t b = bytes.size() * 3 / 10 + i; b < bytes.size() * 9 / 10; b += 97) bytes[b] = static_cast<char>(~bytes[b]);
    inputs.push_back(Out + "/damaged" + std::to_string(i) + ".avi");
    WriteFile(inputs.back(), bytes);
    ASSERT_EQ(AddConversion(C, inputs.back(), Output(i)), i);
  }
  R.Attach(C, true);
  C.Start(2);
  ASSERT_TRUE(R.WaitAllDone());
  std::map<int, int> decoderLines;  // task index -> lines of its video decoder
  for (const auto& e : R.Events())
    if (e.Kind == TEventRecord::Log && e.Message.rfind("[mpeg4 @", 0) == 0) ++decoderLines[e.Index];
  EXPECT_EQ(decoderLines.count(-1), 0u) << decoderLines[-1] << " decoder lines without a task";
  EXPECT_GT(decoderLines[0], 0);
  EXPECT_GT(decoderLines[1], 0);
}

}  // namespace
