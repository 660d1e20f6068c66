// The engine's life cycle: start without files, stop, pause, terminate, run
// failures, destruction during a run, and the clean-up of output files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ConvertHelper.h"
#include "FFmpeg.h"
#include "MyUtils.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

// Records the engine's events and lets a test wait for the termination.
struct TEventLog {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::pair<int, std::string>> Lines;
  int Terminations = 0;
  std::thread::id TerminateThread;

  void Attach(TCustomFFmpeg& E) {
    E.FOnLog = [this](TCustomFFmpeg*, int Level, const std::string& Msg) {
      std::lock_guard<std::mutex> g(Lock);
      Lines.emplace_back(Level, Msg);
    };
    E.FOnTerminate = [this](TCustomFFmpeg*) {
      std::lock_guard<std::mutex> g(Lock);
      ++Terminations;
      TerminateThread = std::this_thread::get_id();
      Changed.notify_all();
    };
  }
  bool WaitForTerminations(int Count, std::chrono::milliseconds Limit = 5000ms) {
    std::unique_lock<std::mutex> l(Lock);
    return Changed.wait_for(l, Limit, [&] { return Terminations >= Count; });
  }
  int TerminationCount() {
    std::lock_guard<std::mutex> g(Lock);
    return Terminations;
  }
};

// An engine whose conversion is replaced by a controllable stand-in.
class TScriptedEngine : public TCustomFFmpeg {
public:
  enum TMode { mUntilStopped, mIgnoreStop, mThrow, mThrowStd, mThrowOther };
  TMode Mode = mUntilStopped;
  std::chrono::milliseconds IgnoreFor{0};
  std::atomic<bool> InTranscode{false};
  std::atomic<bool>* FinishedFlag = nullptr;  // set when Transcode returns
  // The run uses this class's members: stop it before they go.
  ~TScriptedEngine() override { StopAndWait(); }

protected:
  void Transcode() override {
    InTranscode = true;
    switch (Mode) {
      case mUntilStopped:
        while (!FStopRequested) std::this_thread::sleep_for(2ms);
        break;
      case mIgnoreStop:
        std::this_thread::sleep_for(IgnoreFor);
        break;
      case mThrow:
        throw FFMpegException("Could not open codec");
      case mThrowStd:
        throw std::bad_alloc();
      case mThrowOther:
        throw 42;  // an event handler may throw anything
    }
    FFinished = !FStopRequested;
    if (FinishedFlag) *FinishedFlag = true;
  }
};

// Gives the engine an output opened as the component opens it (Path, with
// Bytes written so far) and, with WithInput, an input context.
void FakeFiles(TCustomFFmpeg& E, const std::string& Path, const std::string& Bytes, bool WithInput) {
  ASSERT_TRUE(E.OpenOutputFile(Path)) << E.LastError();
  AVFormatContext* oc = E.OutputFile(0);
  if (!Bytes.empty()) ff::avio_write(oc->pb, reinterpret_cast<const unsigned char*>(Bytes.data()), static_cast<int>(Bytes.size()));
  if (WithInput) {
    E.FInputFiles[0] = ff::avformat_alloc_context();
    E.FInputFileCount = 1;
  }
}

class EngineLifecycleTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureLibrariesLoaded(); }
};

TEST_F(EngineLifecycleTest, StartWithoutFilesFailsAndTerminatesOnce) {
  TCustomFFmpeg engine;
  engine.PrepareForTask();
  TEventLog events;
  events.Attach(engine);
  EXPECT_EQ(engine.Start(true), nullptr);
  EXPECT_EQ(events.TerminationCount(), 1);
  ASSERT_EQ(events.Lines.size(), 1u);
  EXPECT_EQ(events.Lines[0], std::make_pair(-1, std::string("Must supply at least one output file")));
  EXPECT_TRUE(engine.ErrorOccurred());
  EXPECT_EQ(engine.ErrorMessage(), "Must supply at least one output file");
  EXPECT_FALSE(engine.Finished());
  EXPECT_TRUE(engine.Terminated());
  EXPECT_FALSE(engine.Running());

  // A terminated engine cannot be started again, nor terminated a second time.
  EXPECT_EQ(engine.Start(true), nullptr);
  engine.StopOrTerminate();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events.TerminationCount(), 1);
}

TEST_F(EngineLifecycleTest, StartWithAnOutputButNoInputFailsAndReleasesTheOutput) {
  TTempDir dir;
  TCustomFFmpeg engine;
  engine.PrepareForTask();
  TEventLog events;
  events.Attach(engine);
  FakeFiles(engine, dir / "out.mp4", "", false);
  EXPECT_EQ(engine.Start(false), nullptr);
  EXPECT_EQ(events.TerminationCount(), 1);
  ASSERT_FALSE(events.Lines.empty());
  EXPECT_EQ(events.Lines.back(), std::make_pair(-1, std::string("Must supply at least one input file")));
  EXPECT_EQ(engine.OutputFileCount(), 0);
  EXPECT_EQ(FileSizeOf(dir / "out.mp4"), -1);  // the empty output was removed
}

TEST_F(EngineLifecycleTest, StopOrTerminateOfANeverStartedEngineTerminatesOnceFromItsOwnThread) {
  TCustomFFmpeg engine;
  engine.PrepareForTask();
  TEventLog events;
  events.Attach(engine);
  engine.StopOrTerminate();
  ASSERT_TRUE(events.WaitForTerminations(1));
  EXPECT_NE(events.TerminateThread, std::this_thread::get_id());
  EXPECT_FALSE(engine.Finished());
  EXPECT_FALSE(engine.ErrorOccurred());
  engine.StopOrTerminate();  // already terminated: nothing more
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events.TerminationCount(), 1);
}

TEST_F(EngineLifecycleTest, AsynchronousRunStopsOnRequest) {
  TTempDir dir;
  TScriptedEngine engine;
  engine.PrepareForTask();
  TEventLog events;
  events.Attach(engine);
  FakeFiles(engine, dir / "out.mp4", "data", true);
  TFFmpegThread* thread = engine.Start(true, tpLower);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->Suspended());
  EXPECT_TRUE(engine.Running());
  EXPECT_EQ(engine.Start(true), nullptr);  // already running
  thread->Resume();
  while (!engine.InTranscode) std::this_thread::sleep_for(1ms);
  engine.Stop();
  ASSERT_TRUE(events.WaitForTerminations(1));
  EXPECT_NE(events.TerminateThread, std::this_thread::get_id());
  EXPECT_FALSE(engine.Finished());
  EXPECT_FALSE(engine.ErrorOccurred());
  EXPECT_TRUE(engine.Terminated());
  EXPECT_EQ(engine.InputFileCount(), 0);
  // A stopped run leaves nothing under the final name, and no temporary file.
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{});
}

TEST_F(EngineLifecycleTest, RunFailuresBecomeTheRunsErrorAndStillTerminate) {
  for (auto mode : {TScriptedEngine::mThrow, TScriptedEngine::mThrowStd, TScriptedEngine::mThrowOther}) {
    TTempDir dir;
    TScriptedEngine engine;
    engine.PrepareForTask();
    engine.Mode = mode;
    TEventLog events;
    events.Attach(engine);
    if (mode == TScriptedEngine::mThrowOther) {
      // The log handler fails on the error line as well; the clean-up still runs.
      auto log = engine.FOnLog;
      engine.FOnLog = [log](TCustomFFmpeg* Sender, int Level, const std::string& Msg) {
        log(Sender, Level, Msg);
        if (Level < 0) throw "log handler failed";
      };
    }
    FakeFiles(engine, dir / "out.mp4", "", true);
    EXPECT_EQ(engine.Start(false), nullptr);  // synchronous: runs in this thread
    EXPECT_EQ(events.TerminationCount(), 1);
    EXPECT_EQ(events.TerminateThread, std::this_thread::get_id());
    EXPECT_TRUE(engine.ErrorOccurred());
    EXPECT_FALSE(engine.Finished());
    ASSERT_FALSE(events.Lines.empty());
    EXPECT_EQ(events.Lines.back().first, -1);
    EXPECT_EQ(events.Lines.back().second, engine.ErrorMessage());
    if (mode == TScriptedEngine::mThrow) {
      EXPECT_EQ(engine.ErrorMessage(), "Could not open codec");
    }
    if (mode == TScriptedEngine::mThrowOther) {
      EXPECT_EQ(engine.ErrorMessage(), "Unknown exception");
    }
    EXPECT_EQ(FileSizeOf(dir / "out.mp4"), -1);  // still empty after the failure: removed
  }
}

TEST_F(EngineLifecycleTest, RunToTheEndIsFinished) {
  TTempDir dir;
  TScriptedEngine engine;
  engine.PrepareForTask();
  engine.Mode = TScriptedEngine::mIgnoreStop;
  TEventLog events;
  events.Attach(engine);
  FakeFiles(engine, dir / "out.mp4", "x", true);
  engine.Start(false);
  EXPECT_TRUE(engine.Finished());
  EXPECT_FALSE(engine.ErrorOccurred());
  EXPECT_EQ(events.TerminationCount(), 1);
  // Only a finished run gives the output its name.
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"out.mp4"});
  EXPECT_EQ(ReadFile(dir / "out.mp4"), "x");
}

TEST_F(EngineLifecycleTest, DestroyDuringARunStopsItAndWaitsForTheWorker) {
  TTempDir dir;
  // A run that honours the stop request ends well inside the bounded wait.
  {
    auto* engine = new TScriptedEngine;
    engine->PrepareForTask();
    TEventLog events;
    events.Attach(*engine);
    FakeFiles(*engine, dir / "a.mp4", "x", true);
    engine->Start(true)->Resume();
    while (!engine->InTranscode) std::this_thread::sleep_for(1ms);
    const auto t0 = std::chrono::steady_clock::now();
    delete engine;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
    EXPECT_EQ(events.TerminationCount(), 1);
  }
  // A worker that is still inside the engine after the bounded wait is waited
  // for: the engine is never freed under it.
  {
    std::atomic<bool> returned{false};
    auto* engine = new TScriptedEngine;
    engine->PrepareForTask();
    engine->Mode = TScriptedEngine::mIgnoreStop;
    engine->IgnoreFor = 1300ms;
    engine->FinishedFlag = &returned;
    TEventLog events;
    events.Attach(*engine);
    FakeFiles(*engine, dir / "b.mp4", "x", true);
    engine->Start(true)->Resume();
    while (!engine->InTranscode) std::this_thread::sleep_for(1ms);
    delete engine;
    EXPECT_TRUE(returned);
    EXPECT_EQ(events.TerminationCount(), 1);
  }
}

TEST_F(EngineLifecycleTest, TerminationHandlerMayFreeTheEngineOnItsWorkerThread) {
  TTempDir dir;
  auto* engine = new TScriptedEngine;
  engine->PrepareForTask();
  FakeFiles(*engine, dir / "out.mp4", "x", true);
  std::mutex lock;
  std::condition_variable cv;
  bool freed = false;
  engine->FOnTerminate = [&](TCustomFFmpeg* Sender) {
    delete Sender;
    std::lock_guard<std::mutex> g(lock);
    freed = true;
    cv.notify_all();
  };
  engine->Start(true)->Resume();
  engine->Stop();
  std::unique_lock<std::mutex> l(lock);
  EXPECT_TRUE(cv.wait_for(l, 5s, [&] { return freed; }));
}

TEST_F(EngineLifecycleTest, AnExistingOutputSurvivesEveryEndButSuccess) {
  enum TEnd { eCleanupOnly, eNoInput, eStopped, eFailed, eDestroyedRunning, eFinished };
  for (TEnd end : {eCleanupOnly, eNoInput, eStopped, eFailed, eDestroyedRunning, eFinished}) {
    SCOPED_TRACE(static_cast<int>(end));
    TTempDir dir;
    const std::string out = dir / "out.mp4";
    WriteFile(out, "the older version");
    auto* engine = new TScriptedEngine;
    engine->PrepareForTask();
    engine->Mode = end == eFailed ? TScriptedEngine::mThrow
                   : end == eFinished ? TScriptedEngine::mIgnoreStop
                                      : TScriptedEngine::mUntilStopped;
    FakeFiles(*engine, out, "new bytes", end != eNoInput);
    // While the run is set up the old file is untouched, and the new bytes
    // go to one hidden file beside it.
    EXPECT_EQ(ReadFile(out), "the older version");
    const auto during = FolderEntries(dir.Path());
    ASSERT_EQ(during.size(), 2u);
    EXPECT_TRUE(TOutputTarget::IsTemporaryName(during[0])) << during[0];
    switch (end) {
      case eCleanupOnly: engine->Cleanup(); break;
      case eNoInput:
      case eFailed:
      case eFinished: engine->Start(false); break;
      case eStopped:
      case eDestroyedRunning:
        engine->Start(true)->Resume();
        while (!engine->InTranscode) std::this_thread::sleep_for(1ms);
        if (end == eStopped) {
          engine->Stop();
          while (!engine->Terminated()) std::this_thread::sleep_for(1ms);
        }
        break;
    }
    EXPECT_EQ(engine->Finished(), end == eFinished);
    delete engine;
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"out.mp4"});
    EXPECT_EQ(ReadFile(out), end == eFinished ? "new bytes" : "the older version");
  }
}

TEST_F(EngineLifecycleTest, ANameThatAppearsDuringTheRunIsNeverReplaced) {
  TTempDir dir;
  const std::string out = dir / "out.mp4";
  TScriptedEngine engine;
  engine.PrepareForTask();
  engine.Mode = TScriptedEngine::mIgnoreStop;
  TEventLog events;
  events.Attach(engine);
  FakeFiles(engine, out, "new bytes", true);
  // Another program takes the name while the conversion runs.
  WriteFile(out, "someone else's file");
  engine.Start(false);
  EXPECT_FALSE(engine.Finished());
  EXPECT_TRUE(engine.ErrorOccurred());
  EXPECT_EQ(engine.ErrorMessage(), "Could not save '" + out + "': a file of that name appeared during the conversion");
  EXPECT_EQ(ReadFile(out), "someone else's file");
  EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"out.mp4"});
}

TEST_F(EngineLifecycleTest, LeftoversOfAKilledProcessGoWithTheNextOutputIntoTheFolder) {
  TTempDir dir;
  // What a killed process left, and files that only look alike.
  WriteFile(dir / ".clip.mp4.4242-1.vidlomat-part", "half a file");
  WriteFile(dir / ".clip.mp4", "a user's hidden file");
  WriteFile(dir / "clip.mp4.vidlomat-part", "not hidden");
  // A conversion still being written into the folder by a live engine.
  TScriptedEngine live;
  live.PrepareForTask();
  live.Mode = TScriptedEngine::mIgnoreStop;
  FakeFiles(live, dir / "live.mp4", "live bytes", true);

  TCustomFFmpeg next;
  next.PrepareForTask();
  ASSERT_TRUE(next.OpenOutputFile(dir / "next.mp4")) << next.LastError();
  int temporaries = 0;
  for (const std::string& name : FolderEntries(dir.Path())) {
    EXPECT_NE(name, ".clip.mp4.4242-1.vidlomat-part");
    temporaries += TOutputTarget::IsTemporaryName(name);
  }
  EXPECT_EQ(temporaries, 2) << "the live engine's file and the new one";
  live.Start(false);
  EXPECT_TRUE(live.Finished()) << live.ErrorMessage();
  EXPECT_EQ(ReadFile(dir / "live.mp4"), "live bytes");
  next.Cleanup();
  EXPECT_EQ(FolderEntries(dir.Path()), (std::vector<std::string>{".clip.mp4", "clip.mp4.vidlomat-part", "live.mp4"}));
}

TEST_F(EngineLifecycleTest, AnOutputOfAnUnpreparedEngineIsRefused) {
  TTempDir dir;
  TCustomFFmpeg engine;
  EXPECT_FALSE(engine.OpenOutputFile(dir / "out.mp4"));
  EXPECT_EQ(engine.LastError(), "The engine is not prepared for a task");
  EXPECT_EQ(engine.OutputFileCount(), 0);
}

TEST_F(EngineLifecycleTest, PrepareForTaskResetsTheOptionStateAndMakesOptionContexts) {
  TCustomFFmpeg engine;
  engine.FAudioSampleRate = 8000;
  engine.FVerbose = 2;
  engine.FPadColor = {1, 2, 3};
  engine.FRecordingTime = 5;
  engine.FFrameRate = {25, 1};
  engine.FErrorOccurred = true;
  engine.PrepareForTask();
  EXPECT_EQ(engine.FAudioSampleRate, 44100);
  EXPECT_EQ(engine.FVerbose, 1);
  EXPECT_EQ(engine.FPadColor, (std::array<int, 3>{16, 128, 128}));
  EXPECT_EQ(engine.FRecordingTime, INT64_MAX);
  EXPECT_EQ(engine.FFrameRate.num, 0);
  EXPECT_EQ(engine.FFrameRate.den, 0);
  EXPECT_EQ(engine.FAudioQScale, -99999.0f);
  EXPECT_EQ(engine.FMaxFrames[1], INT32_MAX);
  EXPECT_FALSE(engine.ErrorOccurred());
  EXPECT_EQ(engine.TotalDurationMs(), -1);
  for (int i = 0; i < MEDIA_TYPE_COUNT; ++i) {
    ASSERT_NE(engine.FCodecOpts[i], nullptr);
    EXPECT_EQ(engine.FCodecOpts[i]->codec_type, static_cast<AVMediaType>(i));
  }
  ASSERT_NE(engine.FFormatOpts, nullptr);
  ASSERT_NE(engine.FSwsOpts, nullptr);
  int64_t flags = 0;
  ASSERT_GE(ff::av_opt_get_int(engine.FSwsOpts, "sws_flags", 0, &flags), 0);
  EXPECT_EQ(flags, SWS_BICUBIC);
  // A second preparation releases the first contexts (AddressSanitizer checks).
  engine.PrepareForTask();
}

// The thread class itself.
class TProbeThread : public TThread {
public:
  std::atomic<int> Nice{-100};
  std::atomic<uint32_t> SeenNumber{0};
  std::atomic<bool>* Deleted = nullptr;
  ~TProbeThread() override {
    if (Deleted) *Deleted = true;
  }

protected:
  void Execute() override {
    errno = 0;
    Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    SeenNumber = CurrentThreadNumber();
  }
};

// A real conversion on a worker, paused before its first packet, resumed,
// paused again mid-file, then either stopped while paused or resumed to the
// end: nothing moves while it holds, and the file it ends with lost nothing.
TEST_F(EngineLifecycleTest, PauseHoldsTheRunUntilResumeOrStop) {
  TTempDir dir;
  TClipSpec clip = ClipSpecByName("avi_xvid");
  clip.DurationSeconds = 4;
  const std::string in = dir / "in.avi";
  ASSERT_TRUE(MakeClip(clip, in, nullptr));
  for (const bool stopWhilePaused : {true, false}) {
    const std::string out = dir / (stopWhilePaused ? "stopped.mp4" : "resumed.mp4");
    TCustomFFmpeg engine;
    engine.PrepareForTask();
    TEventLog events;
    events.Attach(engine);
    std::atomic<int> progresses{0}, lastFrame{0};
    engine.FOnProgress = [&](TCustomFFmpeg*, int Frame, int, int, float, float, int64_t, int) {
      ++progresses;
      lastFrame = Frame;
    };
    ASSERT_TRUE(engine.OpenInputFile(in)) << engine.LastError();
    for (auto& [name, value] : WindowDefaults()) engine.AddOption(name, value);
    ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastError();
    engine.FProgressInterval = 1000;  // a report at nearly every packet
    engine.Pause(true);
    engine.Start(true)->Resume();
    // Held at the first packet.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(progresses, 0);
    EXPECT_TRUE(engine.Running());
    EXPECT_EQ(events.TerminationCount(), 0);
    // On, then held again mid-file: a pass already begun may still report.
    engine.Pause(false);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (progresses < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    engine.Pause(true);
    EXPECT_TRUE(engine.Paused());
    std::this_thread::sleep_for(100ms);
    const int heldAt = progresses, heldFrame = lastFrame;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(progresses, heldAt);
    EXPECT_EQ(lastFrame, heldFrame);
    EXPECT_LT(heldFrame, ClipVideoFrameCount(clip) * 30 / 25) << "held before its end";
    EXPECT_EQ(events.TerminationCount(), 0);
    if (stopWhilePaused)
      engine.Stop();
    else
      engine.Pause(false);
    ASSERT_TRUE(events.WaitForTerminations(1, 30000ms));
    EXPECT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
    EXPECT_EQ(engine.Finished(), !stopWhilePaused);
    if (stopWhilePaused) {
      EXPECT_EQ(FileSizeOf(out), -1) << "a stopped run leaves no output";
    } else {
      // Every second of the clip, at the output's 30 frames a second.
      const TFileFacts facts = ReadFacts(out);
      ASSERT_TRUE(facts.Opened);
      EXPECT_NEAR(static_cast<double>(facts.First(AVMEDIA_TYPE_VIDEO)->Packets), 120.0, 2.0);
      EXPECT_NEAR(static_cast<double>(facts.DurationUs), 4e6, 1e5);
    }
  }
}

TEST(ThreadTest, StartGatePriorityNumbersAndSelfDeletion) {
  TProbeThread a, b;
  EXPECT_NE(a.ThreadID(), 0u);
  EXPECT_NE(a.ThreadID(), b.ThreadID());
  EXPECT_TRUE(a.Suspended());
  a.SetPriority(tpLower);
  a.Resume();
  a.WaitFor();
  EXPECT_FALSE(a.Suspended());
  EXPECT_EQ(a.Nice, 5);
  EXPECT_EQ(a.SeenNumber, a.ThreadID());
  EXPECT_EQ(b.SeenNumber, 0u);  // never resumed: never ran (its destructor cancels it)

  std::atomic<bool> deleted{false};
  auto* c = new TProbeThread;
  c->Deleted = &deleted;
  c->SetFreeOnTerminate(true);
  c->Resume();
  for (int i = 0; i < 500 && !deleted; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_TRUE(deleted);
}

}  // namespace
