// What the component guarantees when tasks are freed, events throw, threads
// log, or the libraries go while conversions run.
#include <gtest/gtest.h>

#include <thread>

#include "ComponentSupport.h"
#include "MyUtils.h"
#include "QuilloConverter.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

// Holds a task inside its custom hook until opened.
class TGate {
public:
  void Wait() {
    std::unique_lock<std::mutex> l(FLock);
    ++FWaiting;
    FChanged.notify_all();
    FChanged.wait_for(l, 30s, [&] { return FOpen; });
  }
  bool WaitUntilHeld(std::chrono::milliseconds Timeout = 30s) {
    std::unique_lock<std::mutex> l(FLock);
    return FChanged.wait_for(l, Timeout, [&] { return FWaiting > 0; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FOpen = true;
    }
    FChanged.notify_all();
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = false;
  int FWaiting = 0;
};

// Logs library lines from a thread of its own until stopped.
class TLogNoise {
public:
  TLogNoise() {
    FThread = std::thread([this] {
      for (int i = 0; !FStop; ++i) {
        ff::av_log(nullptr, AV_LOG_PANIC, "noise %d", i);
        ff::av_log(nullptr, AV_LOG_PANIC, " end\n");
        if (i % 64 == 0) std::this_thread::yield();
      }
    });
  }
  ~TLogNoise() {
    FStop = true;
    FThread.join();
  }

private:
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

class SafetyTest : public ::testing::Test {
protected:
  void SetUp() override {
    LoadThrough(*C);
    Out = FreshOutputFolder();
  }
  std::string Output(int N) const { return Out + "/task" + std::to_string(N) + ".mp4"; }
  void AddHooked(int N) {
    TOutputOptions hooked;
    hooked.CustomHook = true;
    for (int i = 0; i < N; ++i) ASSERT_EQ(AddConversion(*C, TestClip("avi_xvid"), Output(i), &hooked), i);
  }
  TEventRecorder R;  // outlives the component (see ComponentTest)
  std::unique_ptr<TQuilloConverter> C = std::make_unique<TQuilloConverter>();
  std::string Out;
};

TEST_F(SafetyTest, HandlerFreesTheTasksWhileAnotherThreadLogs) {
  TWatchdog dog(120s, "HandlerFreesTheTasksWhileAnotherThreadLogs");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(AddConversion(*C, TestClip("avi_xvid"), Output(i)), i);
  std::atomic<int> terminations{0};
  std::atomic<int> lines{0};
  C->OnLog = [&](int, TLogLevel, const std::string&) { ++lines; };
  C->OnTerminate = [&](int AIndex, bool, bool, const std::string&) {
    ++terminations;
    // Frees the running task (this one) and the two that wait, on this worker
    // thread, under the component's lock; freeing closes files, which logs.
    if (AIndex == 0) C->ClearTasks();
  };
  {
    TLogNoise noise;
    C->Start(1);
    ASSERT_TRUE(C->WaitForThreads(60s));
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(terminations, 2) << "cleared tasks raise nothing; the all-done event follows the handler";
  EXPECT_EQ(C->TaskCount(), 0);
  EXPECT_GT(lines, 0);
  EXPECT_GT(FileSizeOf(Output(0)), 0);
  EXPECT_EQ(FileSizeOf(Output(1)), -1);
  EXPECT_EQ(FileSizeOf(Output(2)), -1);
}

TEST_F(SafetyTest, RemovingARunningTaskHandsItToItsThread) {
  AddHooked(2);
  TGate gate;
  std::atomic<bool> removed{false};
  std::atomic<int> hooksAfterRemoval{0};
  std::thread::id firstTaskThread;  // written by that thread's first hook call
  C->OnCustomHook = [&](int AIndex, TBitmap*, int, int64_t, bool&, bool&) {
    if (firstTaskThread == std::thread::id()) firstTaskThread = std::this_thread::get_id();
    // The other task (renumbered to 0) runs on a thread of its own.
    if (AIndex < 0 || (removed && std::this_thread::get_id() == firstTaskThread)) ++hooksAfterRemoval;
    if (!removed) gate.Wait();
  };
  R.Attach(*C, true);
  C->Start(1);
  ASSERT_TRUE(gate.WaitUntilHeld());
  // RemoveTask waits for the hook call in progress, then returns; the worker
  // still owns the task and no hook call of it starts afterwards.
  std::atomic<bool> returned{false};
  std::thread remover([&] {
    C->RemoveTask(0);
    returned = true;
    removed = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(returned) << "RemoveTask returned while a hook of the task was still running";
  const size_t before = R.Events().size();
  gate.Open();
  remover.join();
  EXPECT_EQ(C->TaskCount(), 1);
  ASSERT_TRUE(R.WaitAllDone());
  ASSERT_TRUE(C->WaitForThreads(30s));
  const auto events = R.Events();
  // Nothing more from the removed task; the other one, now index 0, ran.
  std::vector<int> ended;
  for (size_t i = before; i < events.size(); ++i)
    if (events[i].Kind == TEventRecord::Terminate) ended.push_back(events[i].Index);
  EXPECT_EQ(ended, (std::vector<int>{0, -1}));
  EXPECT_TRUE(R.Terminations().front().Finished);
  EXPECT_EQ(hooksAfterRemoval, 0);
}

TEST_F(SafetyTest, StopThenClearDuringARunRaisesNothingMore) {
  AddHooked(3);
  TGate gate;
  C->OnCustomHook = [&](int AIndex, TBitmap*, int, int64_t, bool&, bool&) {
    if (AIndex == 0) gate.Wait();
  };
  R.Attach(*C, false);
  C->Start(1);
  ASSERT_TRUE(gate.WaitUntilHeld());
  C->StopAll();  // task 0 asked to stop, tasks 1 and 2 get terminate threads
  C->ClearTasks();
  const size_t after = R.Events().size();
  gate.Open();
  ASSERT_TRUE(C->WaitForThreads(30s));
  EXPECT_EQ(R.Events().size(), after) << "an event was raised for a freed task";
  EXPECT_EQ(R.AllDoneCount(), 0);
  for (int i = 1; i < 3; ++i) EXPECT_EQ(FileSizeOf(Output(i)), -1) << i;
}

TEST_F(SafetyTest, ThrowingLogHandlerNeverReachesTheLibrary) {
  C->OnLog = [](int, TLogLevel, const std::string& AMsg) { throw std::runtime_error("handler failed: " + AMsg); };
  ff::av_log(nullptr, AV_LOG_PANIC, "a line\n");  // would terminate the program if the throw escaped
  ASSERT_EQ(AddConversion(*C, TestClip("mpeg1_ps"), Output(0)), 0);
  R.Attach(*C, false);
  C->OnLog = [](int, TLogLevel, const std::string&) { throw std::runtime_error("handler failed"); };
  C->Start(1);
  ASSERT_TRUE(R.WaitAllDone());
  const auto t = R.Terminations();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(t[0].Finished) << t[0].Message;
  EXPECT_FALSE(t[0].Exception);
}

TEST_F(SafetyTest, DestroyingTheComponentWaitsForItsWorkers) {
  AddHooked(2);
  TGate gate;
  C->OnCustomHook = [&](int AIndex, TBitmap*, int, int64_t, bool&, bool&) {
    if (AIndex == 0) gate.Wait();
  };
  R.Attach(*C, true);
  C->Start(1);
  ASSERT_TRUE(gate.WaitUntilHeld());
  const size_t before = R.Events().size();
  std::thread opener([&] {
    std::this_thread::sleep_for(200ms);
    gate.Open();
  });
  C.reset();  // stops the run, waits for the worker, frees the tasks
  opener.join();
  EXPECT_EQ(R.Terminations().size(), 0u);
  EXPECT_EQ(R.Events().size(), before);
}

TEST_F(SafetyTest, DestroyingTheComponentWaitsForTheOwnersHookHandler) {
  // The owner's handler is still running (it was let go 300 ms into the
  // destruction and takes 200 ms more) when the destructor is called: the
  // destructor may not return before the handler has, or the owner, freed
  // right after, would be used by it.
  AddHooked(1);
  TGate gate;
  std::atomic<bool> inHook{false};
  C->OnCustomHook = [&](int, TBitmap*, int, int64_t, bool&, bool&) {
    inHook = true;
    gate.Wait();
    std::this_thread::sleep_for(200ms);
    inHook = false;
  };
  C->Start(1);
  ASSERT_TRUE(gate.WaitUntilHeld());
  std::thread opener([&] {
    std::this_thread::sleep_for(300ms);
    gate.Open();
  });
  testing::internal::CaptureStderr();
  C.reset();
  const bool returnedInside = inHook;
  const std::string said = testing::internal::GetCapturedStderr();
  opener.join();
  EXPECT_FALSE(returnedInside) << "the destructor returned while the hook handler still ran";
  EXPECT_EQ(said, "") << "nothing was left behind";
}

TEST_F(SafetyTest, DestroyingTheComponentLeavesAStuckWorkerBehindAndSaysSo) {
  TWatchdog dog(120s, "DestroyingTheComponentLeavesAStuckWorkerBehindAndSaysSo");
  AddHooked(2);
  // Task 0's thread stays inside its hook, as in a system call that never
  // returns, until the component is gone.
  TGate gate;
  std::atomic<int> hookCalls{0};
  C->OnCustomHook = [&](int AIndex, TBitmap*, int, int64_t, bool&, bool&) {
    ++hookCalls;
    if (AIndex == 0) gate.Wait();
  };
  R.Attach(*C, true);
  C->Start(1);
  ASSERT_TRUE(gate.WaitUntilHeld());
  C->SetDestroyWait(300ms);
  const size_t before = R.Events().size();
  testing::internal::CaptureStderr();
  C.reset();  // returns although the worker is still inside the task
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("gave up waiting 300 ms for the conversion of '" + TestClip("avi_xvid") + "' to '" +
                      Output(0) + "'"),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find(Output(1)), std::string::npos) << "only the stuck task is named: " << said;
  EXPECT_NE(said.find("(its hook handler is still running"), std::string::npos) << said;
  const int callsAtRelease = hookCalls;
  // Released, the worker ends its task and frees it without reaching the
  // component, raising nothing; the libraries count it until then.
  gate.Open();
  TQuilloConverter other;
  EXPECT_TRUE(other.UnloadLibraries()) << other.LastError();
  EXPECT_EQ(R.Events().size(), before);
  EXPECT_EQ(hookCalls, callsAtRelease) << "no hook of a task whose component is gone";
  EXPECT_EQ(FolderEntries(Out), std::vector<std::string>{}) << "the stopped task's temporary output is gone";
  LoadThrough(other);
}

TEST_F(SafetyTest, UnloadWaitsForRunningTasks) {
  AddHooked(1);
  TGate gate;
  std::atomic<bool> inHook{false};
  C->OnCustomHook = [&](int, TBitmap*, int, int64_t, bool&, bool&) {
    inHook = true;
    gate.Wait();
    // Still library work after the hook returns; the libraries must be there.
    inHook = false;
  };
  C->Start(1);
  ASSERT_TRUE(gate.WaitUntilHeld());
  std::thread opener([&] {
    std::this_thread::sleep_for(300ms);
    gate.Open();
  });
  EXPECT_TRUE(C->UnloadLibraries()) << C->LastError();
  EXPECT_EQ(C->ThreadsInUse(), 0);
  EXPECT_FALSE(inHook);
  EXPECT_FALSE(FFmpegLibrariesLoaded());
  EXPECT_EQ(C->TaskCount(), 0);
  opener.join();
  LoadThrough(*C);
}

TEST_F(SafetyTest, ClearingTheLogTableWhileThreadsLog) {
  TWatchdog dog(60s, "ClearingTheLogTableWhileThreadsLog");
  std::atomic<int> lines{0};
  std::atomic<int> malformed{0};
  C->OnLog = [&](int, TLogLevel, const std::string& AMsg) {
    ++lines;
    // A line is "noise N end", or (after a clear dropped its start) " end".
    if (AMsg.find(" end") == std::string::npos) ++malformed;
  };
  {
    TLogNoise a, b;
    for (int i = 0; i < 2000; ++i) {
      C->ClearLogTable();
      if (i % 100 == 0) std::this_thread::sleep_for(1ms);
    }
  }
  EXPECT_GT(lines, 0);
  EXPECT_EQ(malformed, 0);
  C->ClearLogTable();
  EXPECT_EQ(ConverterInstances().LogTableNodeCount(), 0);
}

}  // namespace
