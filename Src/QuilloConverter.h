// The converter component: loads the media libraries, keeps an ordered list
// of conversion tasks, starts them on worker threads (or one after another in
// the main thread), stops them, and turns the engines' callbacks into five
// events that carry the task's index.
//
// Threads and locks:
// - The owner's thread (the "main thread") calls every method.
// - OnLog, OnProgress and OnTerminate run on the thread of the task (a worker,
//   the main thread for runs in the main thread, or a terminate thread), one at
//   a time per component: FLock is held while each is raised. FLock is
//   re-entrant, so a handler may call StopAll, RemoveTask or ClearTasks.
// - OnBeforeHook and OnCustomHook run on the task's thread without FLock.
// - A handler that updates a user interface must hand the update over without
//   waiting for it: the user-interface thread may be waiting for FLock.
// - Library log lines are dispatched without the instance-list lock held, so
//   logging while FLock is held never deadlocks.
// - A task that a thread still uses is never freed under it: removing or
//   clearing it hands it to that thread, which frees it after its termination;
//   a removed task raises no more events. RemoveTask and ClearTasks wait until a
//   hook call of a removed task that runs on another thread has returned (not
//   when called from a locked event handler).
// - ClearTasks inside a termination handler still lets the all-done event
//   (index -1) follow that handler.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "MainThread.h"
#include "LogPath.h"
#include "Tasks.h"

enum TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };

using TConvertPriority = TThreadPriority;  // tpIdle, tpLowest, tpLower, tpNormal

using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent = std::function<void(int AIndex, TBitmap* ABitmap, int AFrameNumber, int64_t APTS,
                                            bool& AUpdate, bool& AStopHook)>;
using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
using TProgressEvent =
    std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                       float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
using TTerminateEvent =
    std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMessage)>;

// The level of the component for an engine or library level: below 0 llQuiet,
// 0..3 the level + 1, above llAll.
TLogLevel MapLogLevel(int Level);

// An event property: assign a callable (or nullptr) from any thread. An event
// whose assignment takes the component's lock (OnLog, OnProgress, OnTerminate)
// is never running on another thread once the assignment has returned.
template <class Signature>
class TEvent {
public:
  explicit TEvent(std::recursive_mutex* AssignLock = nullptr) : FAssignLock(AssignLock) {}
  TEvent(const TEvent&) = delete;

  template <class F>
  TEvent& operator=(F&& Callable) {
    std::function<Signature> f(std::forward<F>(Callable));
    Set(f ? std::make_shared<const std::function<Signature>>(std::move(f)) : nullptr);
    return *this;
  }
  TEvent& operator=(std::nullptr_t) {
    Set(nullptr);
    return *this;
  }
  explicit operator bool() const { return Get() != nullptr; }
  // The current handler (null when none), safe to call after the lock is gone.
  std::shared_ptr<const std::function<Signature>> Get() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FHandler;
  }

private:
  void Set(std::shared_ptr<const std::function<Signature>> Handler) {
    std::unique_lock<std::recursive_mutex> assign;
    if (FAssignLock) assign = std::unique_lock<std::recursive_mutex>(*FAssignLock);
    {
      std::lock_guard<std::mutex> guard(FLock);
      FHandler.swap(Handler);
    }
    // The old handler goes here, outside the small lock.
  }
  std::recursive_mutex* FAssignLock;
  mutable std::mutex FLock;  // guards FHandler
  std::shared_ptr<const std::function<Signature>> FHandler;
};

class TCustomQuilloConverter {
public:
  // MainThread runs the starts of runs in the main thread (Start with 0
  // threads); it must outlive the component. Without one, such a run uses one
  // worker thread instead.
  explicit TCustomQuilloConverter(IMainThread* MainThread = nullptr);
  // Stops what runs, waits (at most DestroyWait) for the threads that still
  // use a task, and with them for a hook handler still running, frees the
  // tasks. A task whose thread is still inside it after the wait (stuck in a
  // blocking system call, or in a hook handler) is left to that thread, which
  // frees it when it ends; each one left is named on standard error, saying
  // when its hook handler is still running. Call it on the owner's thread,
  // not from one of the component's events.
  virtual ~TCustomQuilloConverter();
  TCustomQuilloConverter(const TCustomQuilloConverter&) = delete;
  TCustomQuilloConverter& operator=(const TCustomQuilloConverter&) = delete;

  // Properties -----------------------------------------------------------
  std::string GetAbout() const { return FAbout; }
  void SetAbout(const std::string& Value) { FAbout = Value; }
  TLogLevel GetLogLevel() const { return FLogLevel; }
  void SetLogLevel(TLogLevel Value);
  int GetProgressInterval() const { return FProgressInterval; }
  void SetProgressInterval(int Value);  // milliseconds; 100 or less is stored as 100
  TConvertPriority GetThreadPriority() const { return FThreadPriority; }
  void SetThreadPriority(TConvertPriority Value) { FThreadPriority = Value; }
  std::string Version() const { return "2.2"; }
  // How long the destructor waits for threads still using a task (10 s).
  std::chrono::milliseconds GetDestroyWait() const { return FDestroyWait; }
  void SetDestroyWait(std::chrono::milliseconds Value) { FDestroyWait = Value; }
  IMainThread* GetMainThread() const { return FMainThread; }
  void SetMainThread(IMainThread* Value) { FMainThread = Value; }

  // Events -----------------------------------------------------------------
  TEvent<void(int, int64_t, THookAction&)> OnBeforeHook;
  TEvent<void(int, TBitmap*, int, int64_t, bool&, bool&)> OnCustomHook;
  TEvent<void(int, TLogLevel, const std::string&)> OnLog{&FLock};
  TEvent<void(int, int, int, int, float, float, int64_t, int)> OnProgress{&FLock};
  TEvent<void(int, bool, bool, const std::string&)> OnTerminate{&FLock};
  // Raised with FLock held just before a task of a run is handed its settings
  // and started, on the thread that starts it (the caller of Start, the thread
  // of the task that ended before it, or the main thread). A handler that calls
  // Pause(true) makes the task start paused: it holds before its first packet
  // and reports no progress until Pause(false). The handler must not wait, nor
  // add, remove or clear tasks.
  TEvent<void(int)> OnBeforeStart{&FLock};

  // Methods ------------------------------------------------------------------
  bool LoadLibraries(const std::string& Folder, bool Versioned);
  // Stops this component's running tasks and waits (at most about ten seconds)
  // until no task of any component still runs library code; then frees this
  // component's tasks and unloads the libraries. False, with LastError, when
  // a task is still running after the wait (the libraries stay loaded).
  bool UnloadLibraries();
  int AddTask(const std::string& FileName);
  int AddTask(const std::string& FileName, const TInputOptions& Options);
  bool SetOutputFile(int TaskIndex, const std::string& FileName);
  bool SetOutputFile(int TaskIndex, const std::string& FileName, const TOutputOptions& Options);
  void RemoveTask(int TaskIndex);
  void ClearTasks();
  void Start(int ThreadCount);
  // Running, when given, receives the indexes of the tasks that were running
  // when the stop reached them (in the same hold of the lock, so no task can
  // start or end in between).
  void StopAll(std::vector<int>* Running = nullptr);
  // Pauses or resumes a run on worker threads: each running task holds before
  // its next packet (files and codecs stay open, nothing is lost, its clocks
  // stop), and a task that starts while paused holds at its first packet.
  // StopAll works while paused. The pause lasts until Pause(false), also from
  // one run to the next (a run started while paused holds at once).
  void Pause(bool On);
  bool Paused() const;
  // Lets the tasks that run now (or whose start is on its way) end as they
  // would, and starts no more: the run ends with its all-done event once they
  // have (at once when none runs). The tasks that never started raise nothing.
  void FinishRunning();
  std::string LastError() const { return FLastError; }
  TAVProbe& Probe() { return *FProbe; }
  void ClearLogTable();

  // Number of tasks in the list.
  int TaskCount() const;
  // Whether a run is going on (started and its all-done event not yet raised).
  bool Running() const;
  // Number of threads (workers and terminate threads) that still use one of
  // this component's tasks, removed ones included.
  int ThreadsInUse() const;
  // Waits until ThreadsInUse() is 0 or Timeout passed; true when it is 0.
  bool WaitForThreads(std::chrono::milliseconds Timeout);

  // A library log line of thread ThreadId (see DispatchLog).
  void DispatchLibraryLine(uint32_t ThreadId, int Level, const std::string& Line);

protected:
  // The engines' callbacks, with the engine as first argument.
  virtual void DoBeforeHook(TCustomFFmpeg* Engine, int64_t Pts, THookAction& Action);
  virtual void DoCustomHook(TCustomFFmpeg* Engine, TBitmap* Bitmap, int32_t FrameNumber, int64_t Pts,
                            bool& Update, bool& StopHook);
  virtual void DoLog(TCustomFFmpeg* Engine, int Level, const std::string& Msg);
  virtual void DoProgress(TCustomFFmpeg* Engine, int FrameNumber, int FPS, int CurrentDurationMs, float Quality,
                          float BitRate, int64_t CurrentSize, int TotalOutputDurationMs);
  virtual void DoTerminate(TCustomFFmpeg* Engine);

private:
  // All under FLock.
  void StartNext();
  void StartOne();
  void StartTask(int I);
  // Hands the component's settings to a task about to run; false (its end
  // already delivered) when it cannot run.
  bool BeginTaskRun(TFFmpeg* t);
  void StartTimerElapsed(uint64_t Serial, uint64_t RunId);
  void TaskEnded(TFFmpeg* Task, bool Finished, bool Error, const std::string& Message);
  void EndOnItsWay(uint64_t RunId);
  void CheckRunEnd();
  void EndRun();
  void RaiseAllDone();
  bool IsPending(int I) const;
  // Takes a task out of the list and closes its hook gate; returns it when it
  // may be freed now, or keeps it (stopped, detached) for whoever still uses it.
  TFFmpeg* Detach(int I);
  void DeleteOrphan(TFFmpeg* Task);
  void ThreadEntered();
  void ThreadLeft();
  // Waits until no hook call of a removed task runs on another thread. Not
  // under FLock, and not from inside a locked event (a hook handler may be
  // waiting for FLock).
  static void WaitForHooks(const std::vector<std::shared_ptr<THookGate>>& Gates);
  template <class Raise>
  static void RaiseHook(TCustomFFmpeg* Engine, Raise&& Call);
  void WireEvents(TFFmpeg* Task);
  // The end of a task that the destructor left to its thread: that thread
  // frees it (nothing touches the task after its termination handler).
  static void LeftTaskEnded(TFFmpeg* Task);

  // What the tasks' callbacks reach the component through. The destructor
  // cuts it (Cut) once it has left tasks to their threads, so that a late
  // callback of such a task never reaches a component that is gone.
  struct TLink {
    explicit TLink(TCustomQuilloConverter* AOwner) : Owner(AOwner) {}
    // Calls Call(owner) unless the link is cut; false when cut. Callbacks may
    // nest (a handler that frees tasks makes them log).
    template <class F>
    bool Use(F&& Call) {
      TCustomQuilloConverter* owner;
      {
        std::lock_guard<std::mutex> guard(Lock);
        if (!Owner) return false;
        owner = Owner;
        ++Inside;
      }
      struct TLeave {
        TLink& L;
        ~TLeave() {
          {
            std::lock_guard<std::mutex> guard(L.Lock);
            --L.Inside;
          }
          L.Left.notify_all();
        }
      } leave{*this};
      Call(owner);
      return true;
    }
    // No callback enters any more; waits for those inside to return.
    void Cut() {
      std::unique_lock<std::mutex> guard(Lock);
      Owner = nullptr;
      Left.wait(guard, [this] { return Inside == 0; });
    }
    std::mutex Lock;
    std::condition_variable Left;   // signalled when a callback leaves
    TCustomQuilloConverter* Owner;  // Lock; null once cut
    int Inside = 0;                 // Lock: callbacks inside the component
  };
  const std::shared_ptr<TLink> FLink = std::make_shared<TLink>(this);

  IMainThread* FMainThread;            // owner thread
  std::chrono::milliseconds FDestroyWait{10000};  // owner thread
  std::string FAbout;                  // owner thread
  std::atomic<TLogLevel> FLogLevel{llInfo};
  std::atomic<int> FProgressInterval{500};
  std::atomic<TConvertPriority> FThreadPriority{tpNormal};
  std::string FLastError;              // owner thread
  std::unique_ptr<TAVProbe> FProbe;    // owner thread

  // Re-entrant: event delivery, start bookkeeping, the task list. Taken after
  // the instance registry's lock is released (see LogPath.h), never before it.
  mutable std::recursive_mutex FLock;
  std::condition_variable_any FThreadsDone;  // signalled (under FLock) when FThreadsInUse drops
  TFFmpegList FTasks;                  // FLock
  std::vector<TFFmpeg*> FOrphans;      // FLock: removed tasks still in use (owned)

  // The run, all under FLock. A run is the tasks that one Start starts (or that
  // a StopAll ends without their ever running); FRunId numbers it, and each task
  // records the run it takes part in, so that the end of a task of an earlier
  // run is never counted in this one.
  //   idle -> running: Start with tasks; StopAll with tasks that never ran
  //   running -> idle: nothing pending and nothing on its way: the all-done event
  //   running -> idle: ClearTasks, destruction: no all-done event, except that a
  //     ClearTasks inside a termination handler leaves it to follow that handler
  bool FRunActive = false;
  bool FPaused = false;                // the tasks of the run hold (Pause)
  uint64_t FRunId = 0;
  int FThreadCount = 0;                // the argument of the last Start
  int FNextIndex = -1;                 // running: the index of the next task to start
  int FPendingCount = 0;               // running: tasks from FNextIndex on still to start (0 after StopAll)
  int FOnItsWay = 0;                   // running: tasks of the run scheduled, starting, running or terminating
  bool FAllDoneOwed = false;           // a ClearTasks inside a termination handler ended the run
  int FEndsBeingDelivered = 0;         // termination handlers running (on the thread holding FLock)
  int FEventDepth = 0;                 // locked event handlers running (on the thread holding FLock)
  bool FStarting = false;              // inside StartNext: a start asked for meanwhile is deferred
  int FDeferredStarts = 0;             // starts asked for while FStarting
  int FThreadsInUse = 0;               // tasks in tsRunning or tsTerminating, orphans included
  uint64_t FNextSerial = 1;
  bool FDestroying = false;            // no event is raised any more
  // Tells posted starts whether the component still exists (main thread only).
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// Publishes everything; no behaviour of its own.
class TQuilloConverter : public TCustomQuilloConverter {
public:
  using TCustomQuilloConverter::TCustomQuilloConverter;
};
