#include "QuilloConverter.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "MediaLibraries.h"

namespace {

// Threads that use a task of any component (workers, terminate threads and
// main-thread runs), so that the libraries are not unloaded under them.
std::mutex AllThreadsLock;
std::condition_variable AllThreadsDone;
int AllThreadsInUse = 0;  // guarded by AllThreadsLock

constexpr const char* kAlreadyRun = "The task has already run";
constexpr const char* kStillConfiguring = "The task was still being given its output when its turn came";
constexpr const char* kNotLoaded = "The media libraries are not loaded";
constexpr const char* kStillRunning = "The media libraries are still used by a running conversion";

}  // namespace

TLogLevel MapLogLevel(int Level) {
  if (Level < 0) return llQuiet;
  if (Level > 3) return llAll;
  return static_cast<TLogLevel>(Level + 1);
}

// ---------------------------------------------------------------------------
// Creation and destruction

TCustomQuilloConverter::TCustomQuilloConverter(IMainThread* MainThread)
    : FMainThread(MainThread), FProbe(std::make_unique<TAVProbe>()) {
  ConverterInstances().Add(this);
}

namespace {
bool InUse(const TFFmpeg* Task);
void CountThreadInUse(int Delta);
}  // namespace

TCustomQuilloConverter::~TCustomQuilloConverter() {
  // No library line reaches the component once this returns.
  ConverterInstances().Remove(this);
  std::vector<TFFmpeg*> doomed;
  {
    std::unique_lock<std::recursive_mutex> lock(FLock);
    FDestroying = true;  // from here on no event is raised
    EndRun();
    for (int i = 0; i < FTasks.Count(); ++i) {
      TFFmpeg* t = FTasks[i];
      {
        std::lock_guard<std::mutex> gate(t->FHookGate->Lock);
        t->FHookGate->Closed = true;
      }
      if (t->FState == tsRunning) t->Stop();
    }
    for (TFFmpeg* t : FOrphans) t->Stop();
    // The threads still deliver their terminations (without events); only then
    // may their tasks go. A hook call runs on its task's thread, so this also
    // waits for a hook handler of the owner still running (the gates closed
    // above start no new one). A thread stuck in a blocking call must not keep
    // the program alive: after the wait its task is left to it.
    const bool allDone = FThreadsDone.wait_for(lock, FDestroyWait, [this] { return FThreadsInUse == 0; });
    std::vector<TFFmpeg*> all;
    while (FTasks.Count() > 0) all.push_back(FTasks.Extract(0));
    all.insert(all.end(), FOrphans.begin(), FOrphans.end());
    FOrphans.clear();
    for (TFFmpeg* t : all) {
      if (allDone || !InUse(t)) {
        doomed.push_back(t);
        continue;
      }
      t->FLeftBehind = true;
      bool inHook = false;
      {
        std::lock_guard<std::mutex> gate(t->FHookGate->Lock);
        inHook = t->FHookGate->Running > 0;
      }
      // A hook handler still running uses its owner: the owner has to know.
      std::fprintf(stderr, "vidlomat: gave up waiting %lld ms for the conversion of '%s' to '%s' (%s); it is left to end on its own\n",
                   static_cast<long long>(FDestroyWait.count()), t->FInputName.c_str(), t->FOutputName.c_str(),
                   inHook ? "its hook handler is still running, and what the handler uses must outlive it"
                          : "its thread is still inside it");
    }
  }
  // Callbacks inside the component return at once now; no later one reaches it.
  FLink->Cut();
  *FAlive = false;
  for (TFFmpeg* t : doomed) delete t;
}

void TCustomQuilloConverter::LeftTaskEnded(TFFmpeg* Task) {
  // Freed before the thread stops counting: the libraries stay loaded until then.
  delete Task;
  CountThreadInUse(-1);
}

// ---------------------------------------------------------------------------
// Properties

void TCustomQuilloConverter::SetLogLevel(TLogLevel Value) {
  FLogLevel = Value;
  if (FFmpegLibrariesLoaded()) SetLibraryLogLevel(LibraryLogLevel(static_cast<int>(Value) - 1));
}

void TCustomQuilloConverter::SetProgressInterval(int Value) { FProgressInterval = std::max(Value, 100); }

// ---------------------------------------------------------------------------
// Libraries

bool TCustomQuilloConverter::LoadLibraries(const std::string& Folder, bool Versioned) {
  if (!LoadFFmpegLibraries(Folder, Versioned)) {
    FLastError = FFmpegLibrariesError();
    return false;
  }
  ff::av_log_set_callback(LogCallback);
  SetLibraryLogLevel(LibraryLogLevel(static_cast<int>(FLogLevel.load()) - 1));
  return true;
}

bool TCustomQuilloConverter::UnloadLibraries() {
  if (!FFmpegLibrariesLoaded()) return true;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FPendingCount = 0;
    for (int i = 0; i < FTasks.Count(); ++i)
      if (FTasks[i]->FState == tsRunning) FTasks[i]->Stop();
    for (TFFmpeg* t : FOrphans) t->Stop();
  }
  {
    std::unique_lock<std::mutex> lock(AllThreadsLock);
    if (!AllThreadsDone.wait_for(lock, std::chrono::seconds(10), [] { return AllThreadsInUse == 0; })) {
      FLastError = kStillRunning;
      return false;
    }
  }
  // Tasks and the probe hold library objects that only the loaded libraries
  // can release.
  ClearTasks();
  FProbe->Close();
  UnloadFFmpegLibraries();
  return true;
}

// ---------------------------------------------------------------------------
// Tasks

void TCustomQuilloConverter::WireEvents(TFFmpeg* Task) {
  Task->FOnProgress = [link = FLink](TCustomFFmpeg* E, int Frame, int Fps, int Cur, float Q, float B, int64_t Size,
                                     int Total) {
    link->Use([&](TCustomQuilloConverter* C) { C->DoProgress(E, Frame, Fps, Cur, Q, B, Size, Total); });
  };
  Task->FOnTerminate = [link = FLink](TCustomFFmpeg* E) {
    if (!link->Use([&](TCustomQuilloConverter* C) { C->DoTerminate(E); })) LeftTaskEnded(static_cast<TFFmpeg*>(E));
  };
}

int TCustomQuilloConverter::AddTask(const std::string& FileName) {
  TInputOptions none;
  return AddTask(FileName, none);
}

int TCustomQuilloConverter::AddTask(const std::string& FileName, const TInputOptions& Options) {
  if (!FFmpegLibrariesLoaded()) {
    FLastError = kNotLoaded;
    return -1;
  }
  auto task = std::make_unique<TFFmpeg>();
  task->FOnLog = [link = FLink](TCustomFFmpeg* E, int Level, const std::string& Msg) {
    link->Use([&](TCustomQuilloConverter* C) { C->DoLog(E, Level, Msg); });
  };
  try {
    task->PrepareForTask();
    task->SetVerbose(static_cast<int>(FLogLevel.load()) - 1);
    TInputOptions options = Options;
    if (options.FileName.empty()) options.FileName = FileName;
    task->ApplyInputOptions(options);
    if (!task->OpenInputFile(FileName)) {
      task->FOnLog = nullptr;
      FLastError = task->LastError();
      return -1;
    }
    task->Probe->Attach(task->InputFile(0));
    task->FInputName = FileName;
    WireEvents(task.get());
  } catch (const std::exception& e) {
    task->FOnLog = nullptr;
    FLastError = e.what();
    return -1;
  }
  std::lock_guard<std::recursive_mutex> guard(FLock);
  task->FSerial = FNextSerial++;
  return FTasks.Add(task.release());
}

bool TCustomQuilloConverter::SetOutputFile(int TaskIndex, const std::string& FileName) {
  return SetOutputFile(TaskIndex, FileName, TOutputOptions{});
}

bool TCustomQuilloConverter::SetOutputFile(int TaskIndex, const std::string& FileName,
                                           const TOutputOptions& Options) {
  TFFmpeg* task = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    task = FTasks.Items(TaskIndex);
    if (!task) {
      FLastError = "Invalid task index " + std::to_string(TaskIndex);
      return false;
    }
    if (task->FState != tsIdle || task->Running() || task->Terminated() || IsPending(TaskIndex)) {
      FLastError = "Task " + std::to_string(TaskIndex) + " has already been started";
      return false;
    }
    // In use while the owner works on it without the lock.
    task->FState = tsConfiguring;
  }
  bool ok = false;
  try {
    TOutputOptions options = Options;
    if (options.FileName.empty()) options.FileName = FileName;
    // A hook handler may take long: the link is held only to fetch it.
    task->ApplyOutputOptions(
        options,
        [link = FLink](TCustomFFmpeg* E, int64_t Pts, THookAction& Action) {
          std::shared_ptr<const std::function<void(int, int64_t, THookAction&)>> handler;
          link->Use([&](TCustomQuilloConverter* C) { handler = C->OnBeforeHook.Get(); });
          if (handler) RaiseHook(E, [&](int Index) { (*handler)(Index, Pts, Action); });
        },
        [link = FLink](TCustomFFmpeg* E, TBitmap* Bitmap, int32_t Frame, int64_t Pts, bool& Update,
                       bool& StopHook) {
          std::shared_ptr<const std::function<void(int, TBitmap*, int, int64_t, bool&, bool&)>> handler;
          link->Use([&](TCustomQuilloConverter* C) { handler = C->OnCustomHook.Get(); });
          if (handler) RaiseHook(E, [&](int Index) { (*handler)(Index, Bitmap, Frame, Pts, Update, StopHook); });
        });
    // Checked now, created when the task runs: a waiting task makes no file.
    task->FCheckOutputsOnly = true;
    ok = task->OpenOutputFile(FileName);
    task->FCheckOutputsOnly = false;
    if (ok) {
      // Checked and given its output, the task lets its files, codecs and
      // library contexts go until its turn comes, so that a batch of any
      // length holds no more of them than the tasks running.
      task->FOutputName = FileName;
      task->Probe->Close();
      task->LetGo();
    } else {
      FLastError = task->LastError();
    }
  } catch (const std::exception& e) {
    task->FCheckOutputsOnly = false;
    FLastError = e.what();
    ok = false;
  }
  std::lock_guard<std::recursive_mutex> guard(FLock);
  task->FState = tsIdle;
  // Removed by another thread meanwhile: nobody else will free it.
  if (task->FDetached) DeleteOrphan(task);
  return ok;
}

namespace {
bool InUse(const TFFmpeg* Task) {
  switch (Task->FState) {
    case tsConfiguring:
    case tsStarting:
    case tsRunning:
    case tsTerminating: return true;
    default: return false;
  }
}
}  // namespace

bool TCustomQuilloConverter::IsPending(int I) const {
  return FRunActive && I >= FNextIndex && I < FNextIndex + FPendingCount;
}

TFFmpeg* TCustomQuilloConverter::Detach(int I) {
  TFFmpeg* t = FTasks.Items(I);
  if (!t) return nullptr;
  // Keep the run in step with the shorter list.
  if (IsPending(I))
    --FPendingCount;
  else if (FRunActive && I < FNextIndex)
    --FNextIndex;
  {
    std::lock_guard<std::mutex> gate(t->FHookGate->Lock);
    t->FHookGate->Closed = true;
  }
  FTasks.Extract(I);
  if (t->FState == tsScheduled) {
    // Its posted start will find nothing: its place in the run ends now.
    t->FState = tsIdle;
    EndOnItsWay(t->FRunId);
  }
  if (InUse(t)) {
    t->FDetached = true;
    t->Stop();
    FOrphans.push_back(t);
    return nullptr;
  }
  return t;
}

void TCustomQuilloConverter::DeleteOrphan(TFFmpeg* Task) {
  FOrphans.erase(std::remove(FOrphans.begin(), FOrphans.end(), Task), FOrphans.end());
  delete Task;
}

void TCustomQuilloConverter::WaitForHooks(const std::vector<std::shared_ptr<THookGate>>& Gates) {
  const auto self = std::this_thread::get_id();
  for (const auto& gate : Gates) {
    std::unique_lock<std::mutex> lock(gate->Lock);
    // A hook handler that removes its own task does not wait for itself.
    gate->Idle.wait(lock, [&] { return gate->Running == 0 || gate->Thread == self; });
  }
}

void TCustomQuilloConverter::RemoveTask(int TaskIndex) {
  TFFmpeg* victim = nullptr;
  std::vector<std::shared_ptr<THookGate>> gates;
  bool wait = false;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    TFFmpeg* t = FTasks.Items(TaskIndex);
    if (!t) return;
    gates.push_back(t->FHookGate);
    victim = Detach(TaskIndex);
    wait = FEventDepth == 0;
  }
  if (wait) WaitForHooks(gates);
  delete victim;
}

void TCustomQuilloConverter::ClearTasks() {
  std::vector<TFFmpeg*> victims;
  std::vector<std::shared_ptr<THookGate>> gates;
  bool wait = false;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    // Cleared inside a termination handler (the window does so after the last
    // file), the run still ends with the all-done event, right after that
    // handler. Otherwise whatever of the run still terminates raises nothing.
    if (FRunActive && FEndsBeingDelivered > 0) FAllDoneOwed = true;
    EndRun();
    FThreadCount = 0;
    while (FTasks.Count() > 0) {
      gates.push_back(FTasks[FTasks.Count() - 1]->FHookGate);
      if (TFFmpeg* t = Detach(FTasks.Count() - 1)) victims.push_back(t);
    }
    wait = FEventDepth == 0;
  }
  FLastError.clear();
  if (wait) WaitForHooks(gates);
  // In list order, outside the lock (freeing closes files, which may log).
  for (auto it = victims.rbegin(); it != victims.rend(); ++it) delete *it;
}

int TCustomQuilloConverter::TaskCount() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FTasks.Count();
}

bool TCustomQuilloConverter::Running() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FRunActive;
}

int TCustomQuilloConverter::ThreadsInUse() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FThreadsInUse;
}

bool TCustomQuilloConverter::WaitForThreads(std::chrono::milliseconds Timeout) {
  std::unique_lock<std::recursive_mutex> lock(FLock);
  return FThreadsDone.wait_for(lock, Timeout, [this] { return FThreadsInUse == 0; });
}

void TCustomQuilloConverter::ClearLogTable() { ClearLogTableOfInstances(); }

// ---------------------------------------------------------------------------
// Threads in use

namespace {
void CountThreadInUse(int Delta) {
  {
    std::lock_guard<std::mutex> guard(AllThreadsLock);
    AllThreadsInUse += Delta;
  }
  if (Delta < 0) AllThreadsDone.notify_all();
}
}  // namespace

void TCustomQuilloConverter::ThreadEntered() {
  ++FThreadsInUse;
  CountThreadInUse(1);
}

void TCustomQuilloConverter::ThreadLeft() {
  --FThreadsInUse;
  FThreadsDone.notify_all();
  CountThreadInUse(-1);
}

// ---------------------------------------------------------------------------
// Starting

void TCustomQuilloConverter::EndRun() {
  ++FRunId;
  FRunActive = false;
  FPendingCount = 0;
  FOnItsWay = 0;
}

void TCustomQuilloConverter::Start(int ThreadCount) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  // A run still going on keeps its tasks: a second run cannot join it.
  if (FRunActive) return;
  ClearLogTable();
  ++FRunId;
  // A new run started inside the handler that cleared the last one takes the
  // place of that run's all-done event.
  FAllDoneOwed = false;
  FNextIndex = 0;
  FThreadCount = ThreadCount;
  FPendingCount = FTasks.Count();
  FOnItsWay = 0;
  if (FPendingCount == 0) return;
  FRunActive = true;
  int n = ThreadCount;
  while (FPendingCount > 0) {
    StartNext();
    if (--n <= 0) break;
  }
}

void TCustomQuilloConverter::StartNext() {
  // A start that ends at once (a refused task) asks for the next one from
  // inside StartTask: count it and start it from this loop instead of
  // recursing once per task.
  if (FStarting) {
    ++FDeferredStarts;
    return;
  }
  FStarting = true;
  int wanted = 1;
  while (wanted > 0 && FPendingCount > 0) {
    --wanted;
    StartOne();
    wanted += FDeferredStarts;
    FDeferredStarts = 0;
  }
  FDeferredStarts = 0;
  FStarting = false;
  if (FPendingCount <= 0) CheckRunEnd();
}

void TCustomQuilloConverter::StartOne() {
  if (FPendingCount <= 0) return;
  --FPendingCount;
  const int i = FNextIndex++;
  TFFmpeg* t = FTasks.Items(i);
  if (!t) return;
  t->FRunId = FRunId;
  ++FOnItsWay;
  if (FThreadCount <= 0 && FMainThread && t->FState == tsIdle) {
    // Started from the main thread's loop, never from inside the caller of
    // Start or from inside the previous task's termination.
    t->FState = tsScheduled;
    FMainThread->Post(100, [this, alive = FAlive, serial = t->FSerial, run = FRunId] {
      if (*alive) StartTimerElapsed(serial, run);
    });
  } else {
    StartTask(i);
  }
}

bool TCustomQuilloConverter::BeginTaskRun(TFFmpeg* t) {
  if (t->FState == tsConfiguring) {
    // The owner is still giving it its output: it cannot run now.
    TaskEnded(t, false, true, kStillConfiguring);
    return false;
  }
  if (auto handler = OnBeforeStart.Get(); handler && !FDestroying) {
    ++FEventDepth;
    struct TLeave {
      int& Depth;
      ~TLeave() { --Depth; }
    } leave{FEventDepth};
    (*handler)(t->Index);
  }
  t->FProgressInterval = static_cast<int64_t>(FProgressInterval.load()) * 1000;
  t->SetVerbose(static_cast<int>(FLogLevel.load()) - 1);
  t->Pause(FPaused);
  if (t->Running() || t->Terminated()) {
    // The engine cannot run twice and would stay silent: end it here so the
    // run goes on.
    t->FState = tsDone;
    TaskEnded(t, false, true, kAlreadyRun);
    return false;
  }
  return true;
}

void TCustomQuilloConverter::StartTask(int I) {
  TFFmpeg* t = FTasks.Items(I);
  if (!t) return;
  if (!BeginTaskRun(t)) return;
  t->FState = tsStarting;
  TFFmpegThread* thread = t->Start(true, FThreadPriority);
  if (thread) {
    t->FState = tsRunning;
    ThreadEntered();
    // Written before the worker runs, so its first log line finds the task.
    t->ThreadId = thread->ThreadID();
    thread->Resume();
  } else {
    // Refused: the termination has been delivered already, inside Start.
    t->ThreadId = 0;
    t->FState = tsDone;
    if (t->FDetached) DeleteOrphan(t);
  }
}

void TCustomQuilloConverter::StartTimerElapsed(uint64_t Serial, uint64_t RunId) {
  TFFmpeg* t = nullptr;
  TConvertPriority priority = FThreadPriority;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (FDestroying || RunId != FRunId) return;
    for (int i = 0; i < FTasks.Count() && !t; ++i)
      if (FTasks[i]->FSerial == Serial) t = FTasks[i];
    // Removed or stopped meanwhile: that already ended its place in the run.
    if (!t || t->FState != tsScheduled) return;
    if (!BeginTaskRun(t)) return;
    t->FState = tsRunning;
    ThreadEntered();
    // The main thread runs one task after another: a new number for each run,
    // so that its library lines are told apart from an earlier task's.
    t->ThreadId = RenumberCurrentThread();
  }
  // The whole conversion runs here, without the lock (the codec's own threads
  // may log while it runs). The task may be gone when this returns.
  t->Start(false, priority);
}

// ---------------------------------------------------------------------------
// Stopping

void TCustomQuilloConverter::Pause(bool On) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FPaused = On;
  for (int i = 0; i < FTasks.Count(); ++i) FTasks[i]->Pause(On);
}

void TCustomQuilloConverter::FinishRunning() {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (!FRunActive) return;
  FPendingCount = 0;
  CheckRunEnd();
}

bool TCustomQuilloConverter::Paused() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FPaused;
}

void TCustomQuilloConverter::StopAll(std::vector<int>* Running) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FPendingCount = 0;
  if (Running) Running->clear();
  for (int i = 0; i < FTasks.Count(); ++i) {
    TFFmpeg* t = FTasks[i];
    switch (t->FState) {
      case tsRunning:
        t->Stop();
        if (Running) Running->push_back(i);
        break;
      case tsIdle:
      case tsScheduled:
        if (t->Running() || t->Terminated()) break;
        if (!FRunActive) {
          // Terminations of tasks that never ran make a run of their own,
          // ended by the all-done event.
          EndRun();
          FRunActive = true;
          FAllDoneOwed = false;
          FNextIndex = FTasks.Count();
        }
        if (t->FState == tsIdle || t->FRunId != FRunId) {
          t->FRunId = FRunId;
          ++FOnItsWay;
        }
        t->FState = tsTerminating;
        ThreadEntered();
        t->StopOrTerminate();
        break;
      default:
        break;
    }
  }
  for (TFFmpeg* t : FOrphans)
    if (t->FState == tsRunning) t->Stop();
}

// ---------------------------------------------------------------------------
// Termination and the end of a run

void TCustomQuilloConverter::DoTerminate(TCustomFFmpeg* Engine) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (!Engine) {
    if (!FDestroying) RaiseAllDone();
    return;
  }
  auto* t = static_cast<TFFmpeg*>(Engine);
  if (t->FLeftBehind) {
    // Its end came after the destructor's wait but before the link was cut.
    LeftTaskEnded(t);
    return;
  }
  // tsStarting: a refused start, still inside StartTask, which ends it there.
  if (t->FState == tsRunning || t->FState == tsTerminating) {
    t->FState = tsDone;
    ThreadLeft();
  }
  if (FDestroying) return;
  TaskEnded(t, t->Finished(), t->ErrorOccurred(), t->ErrorMessage());
}

void TCustomQuilloConverter::TaskEnded(TFFmpeg* Task, bool Finished, bool Error, const std::string& Message) {
  const uint64_t run = Task->FRunId;
  if (Task->FDetached) {
    // Removed while in use: no event; whoever ends its use frees it.
    if (!InUse(Task)) DeleteOrphan(Task);
  } else if (auto handler = OnTerminate.Get()) {
    ++FEndsBeingDelivered;
    ++FEventDepth;
    try {
      (*handler)(Task->Index, Finished, Error, Message);
    } catch (...) {
      // A handler's failure must not stop the run or reach the engine's thread.
    }
    --FEventDepth;
    --FEndsBeingDelivered;
    // The handler may have freed the task: it is not touched any more.
  }
  if (FAllDoneOwed && FEndsBeingDelivered == 0) {
    FAllDoneOwed = false;
    RaiseAllDone();
    return;
  }
  EndOnItsWay(run);
}

void TCustomQuilloConverter::EndOnItsWay(uint64_t RunId) {
  if (!FRunActive || RunId != FRunId) return;
  if (FOnItsWay > 0) --FOnItsWay;
  if (FPendingCount > 0)
    StartNext();
  else
    CheckRunEnd();
}

void TCustomQuilloConverter::CheckRunEnd() {
  if (FRunActive && FPendingCount <= 0 && FOnItsWay == 0) RaiseAllDone();
}

void TCustomQuilloConverter::RaiseAllDone() {
  FRunActive = false;
  if (auto handler = OnTerminate.Get()) {
    ++FEventDepth;
    try {
      (*handler)(-1, true, false, std::string());
    } catch (...) {
    }
    --FEventDepth;
  }
  ClearLogTable();
}

// ---------------------------------------------------------------------------
// Events

void TCustomQuilloConverter::DoLog(TCustomFFmpeg* Engine, int Level, const std::string& Msg) {
  if (!OnLog) return;
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (FDestroying) return;
  int index = -1;
  if (Engine) {
    auto* t = static_cast<TFFmpeg*>(Engine);
    if (t->FDetached) return;
    index = t->Index;
  }
  if (auto handler = OnLog.Get()) {
    ++FEventDepth;
    try {
      (*handler)(index, MapLogLevel(Level), Msg);
    } catch (...) {
      // A log handler cannot end a conversion, and nothing may unwind into
      // the library that logged.
    }
    --FEventDepth;
  }
}

void TCustomQuilloConverter::DispatchLibraryLine(uint32_t ThreadId, int Level, const std::string& Line) {
  if (!OnLog) return;
  std::lock_guard<std::recursive_mutex> guard(FLock);
  DoLog(FTasks.FindByThreadId(ThreadId), Level, Line);
}

void TCustomQuilloConverter::DoProgress(TCustomFFmpeg* Engine, int FrameNumber, int FPS, int CurrentDurationMs,
                                        float Quality, float BitRate, int64_t CurrentSize,
                                        int TotalOutputDurationMs) {
  if (!OnProgress) return;
  std::lock_guard<std::recursive_mutex> guard(FLock);
  auto* t = static_cast<TFFmpeg*>(Engine);
  if (FDestroying || t->FDetached) return;
  if (auto handler = OnProgress.Get()) {
    ++FEventDepth;
    struct TLeave {
      int& Depth;
      ~TLeave() { --Depth; }
    } leave{FEventDepth};
    (*handler)(t->Index, FrameNumber, FPS, CurrentDurationMs, Quality, BitRate, CurrentSize,
               TotalOutputDurationMs);
  }
}

template <class Raise>
void TCustomQuilloConverter::RaiseHook(TCustomFFmpeg* Engine, Raise&& Call) {
  // Runs on the task's own thread, which keeps the task alive meanwhile.
  THookGate& gate = *static_cast<TFFmpeg*>(Engine)->FHookGate;
  int index = -1;
  {
    std::lock_guard<std::mutex> guard(gate.Lock);
    // Removed: nothing more from this task. The index is read under the gate,
    // so it is never the -1 of a task that has just left the list.
    if (gate.Closed) return;
    index = static_cast<TFFmpeg*>(Engine)->Index;
    ++gate.Running;
    gate.Thread = std::this_thread::get_id();
  }
  struct TLeave {
    THookGate& Gate;
    ~TLeave() {
      {
        std::lock_guard<std::mutex> guard(Gate.Lock);
        --Gate.Running;
      }
      Gate.Idle.notify_all();
    }
  } leave{gate};
  Call(index);
}

void TCustomQuilloConverter::DoBeforeHook(TCustomFFmpeg* Engine, int64_t Pts, THookAction& Action) {
  auto handler = OnBeforeHook.Get();
  if (!handler) return;
  RaiseHook(Engine, [&](int Index) { (*handler)(Index, Pts, Action); });
}

void TCustomQuilloConverter::DoCustomHook(TCustomFFmpeg* Engine, TBitmap* Bitmap, int32_t FrameNumber, int64_t Pts,
                                          bool& Update, bool& StopHook) {
  auto handler = OnCustomHook.Get();
  if (!handler) return;
  RaiseHook(Engine, [&](int Index) { (*handler)(Index, Bitmap, FrameNumber, Pts, Update, StopHook); });
}
