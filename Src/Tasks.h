// The conversion task: one engine set up for one input and one output file,
// and the ordered task list that owns the tasks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "AVProbe.h"
#include "FFmpeg.h"
#include "OptionRecords.h"

// ---------------------------------------------------------------------------
// The conversion task

// Where a task stands in its component's runs. Owned by the component: read
// and written under its FLock. Whether the task holds its files (set up) or
// has let them go until its turn (waiting), and whether it runs or has ended,
// is the engine's state (FSetupState, FRunning, FTerminated in FFmpeg.h).
//   tsIdle -> tsConfiguring -> tsIdle   SetOutputFile applies the output without the lock
//   tsIdle -> tsScheduled               its start is posted to the main thread (Start(0))
//   tsScheduled -> tsIdle               removed or its run cleared before the start came
//   tsIdle -> tsStarting                the component is inside the engine's Start(async)
//   tsStarting -> tsRunning             a worker was made (its end is still to come)
//   tsScheduled -> tsRunning            the run goes on in the main thread
//   tsStarting -> tsDone                the engine refused; its end was delivered inside Start
//   tsIdle, tsScheduled -> tsTerminating  StopAll: a terminate thread will deliver its end
//   tsRunning, tsTerminating -> tsDone  its end was delivered
// In use (a thread or the owner works with it, so it may not be freed):
// tsConfiguring, tsStarting, tsRunning, tsTerminating.
enum TTaskState { tsIdle, tsConfiguring, tsScheduled, tsStarting, tsRunning, tsTerminating, tsDone };

// Lets a task's hook events through until the task is removed. Shared, so that
// the remover can wait on it for a hook call still running after the task
// itself has gone.
struct THookGate {
  std::mutex Lock;
  std::condition_variable Idle;  // signalled when a hook call ends
  bool Closed = false;           // Lock: the task was removed; no hook call starts any more
  int Running = 0;               // Lock: hook calls in progress (0 or 1: one thread runs a task)
  std::thread::id Thread;        // Lock: the thread of the hook call in progress
};

class TFFmpeg : public TCustomFFmpeg {
public:
  TFFmpeg();
  ~TFFmpeg() override;

  void ResetInputOptions();
  void ResetOutputOptions();
  // Copies the record and hands its fields to the engine: extra options,
  // format, start time, program.
  void ApplyInputOptions(const TInputOptions& Options);
  // Copies the record and hands its fields to the engine: extra options, the
  // fields from FileFormat to Genre, the target preset, then the hook choice
  // (custom hook, else before hook, else the hook ranges). The two handlers
  // are what the hook flags point the engine at.
  void ApplyOutputOptions(const TOutputOptions& Options, TEngineBeforeHookEvent BeforeHook = {},
                          TEngineCustomHookEvent CustomHook = {});
  // Parses Text into the engine's hook schedule.
  void ParseHookRanges(const std::string& Text);
  // The files the component opened for the task; Reopen opens them again.
  // Owner thread until the run starts.
  std::string FInputName;
  std::string FOutputName;

  // Position in the component's task list; -1 when in none. Written under the
  // component's FLock; read by hook events without it, hence atomic.
  std::atomic<int> Index{-1};
  // Number of the thread that runs the task (0: none). Written before the
  // worker is resumed, read by the log path on any thread.
  std::atomic<uint32_t> ThreadId{0};
  // The records as last applied. Owner thread (read by the run's Reopen).
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
  // Attached to the input file once it is open; owned by the task.
  std::unique_ptr<TAVProbe> Probe;

  // Run bookkeeping of the owning component; guarded by its FLock.
  TTaskState FState = tsIdle;
  uint64_t FRunId = 0;   // the component's run this task takes part in
  uint64_t FSerial = 0;  // unique within the component; names the task in posted starts
  // Removed from the list while in use: raises no more events and is freed by
  // whoever ends its use (the thread that delivers its termination).
  bool FDetached = false;
  // Left to its thread by a component destroyed while the thread was still
  // inside it: that thread frees it at its termination. Written under the
  // component's FLock before the component clears its link.
  bool FLeftBehind = false;
  // Closed when the task leaves the list. Set at creation, never replaced.
  const std::shared_ptr<THookGate> FHookGate = std::make_shared<THookGate>();

protected:
  // A waiting task's set-up, replayed: the same records and handlers reach a
  // fresh option state, and the same input and output are opened.
  bool Reopen() override;

private:
  void HandInputToEngine();
  void HandOutputToEngine(TEngineBeforeHookEvent BeforeHook, TEngineCustomHookEvent CustomHook);
  // The local date-time that an output record's Timestamp of 0 ("now") stood
  // for when the record was applied, so that a reopened task dates its output
  // as the first set-up did.
  double FAppliedNow = 0;
};

// The ordered task list; owns its tasks. Not locked itself: the owning
// component guards it with its FLock.
class TFFmpegList {
public:
  TFFmpegList() = default;
  ~TFFmpegList();
  TFFmpegList(const TFFmpegList&) = delete;
  TFFmpegList& operator=(const TFFmpegList&) = delete;

  int Add(TFFmpeg* Task);  // takes ownership; returns the index
  TFFmpeg* Items(int I) const;
  TFFmpeg* operator[](int I) const { return Items(I); }
  int Count() const { return static_cast<int>(FItems.size()); }
  void Delete(int I);
  // Removes the task at I without freeing it; the caller owns it then.
  TFFmpeg* Extract(int I);
  void Clear();
  TFFmpeg* FindByThreadId(uint32_t Id) const;
  int IndexOf(const TFFmpeg* Task) const;

private:
  void Renumber(size_t From);
  std::vector<TFFmpeg*> FItems;
};

// The thread classes TFFmpegThread and TDoTerminateThread are the engine's
// (FFmpeg.h).

