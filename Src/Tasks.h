// The conversion task: one engine set up for one input and one output file,
// and the ordered task list that owns the tasks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "AVProbe.h"
#include "FFmpeg.h"
#include "OptionRecords.h"

// ---------------------------------------------------------------------------
// The conversion task

// Where a task stands in its component's run. Owned by the component (read
// and written under its FLock).
enum TTaskRunState {
  rsIdle,         // not started in a run
  rsScheduled,    // its start is posted to the main thread
  rsStarted,      // the engine was started; its termination is still to come
  rsTerminating,  // a terminate thread will deliver its termination
  rsDone          // its termination was delivered
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

  // Position in the component's task list; -1 when in none. Written under the
  // component's FLock; read by hook events without it, hence atomic.
  std::atomic<int> Index{-1};
  // Number of the thread that runs the task (0: none). Written before the
  // worker is resumed, read by the log path on any thread.
  std::atomic<uint32_t> ThreadId{0};
  // The records as last applied. Owner thread.
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
  // Attached to the input file once it is open; owned by the task.
  std::unique_ptr<TAVProbe> Probe;

  // Run bookkeeping of the owning component; guarded by its FLock.
  TTaskRunState FRunState = rsIdle;
  uint64_t FRunId = 0;        // the component's run this task takes part in
  uint64_t FSerial = 0;       // unique within the component; names the task in posted starts
  bool FCounted = false;      // its termination was counted in run FRunId
  bool FInStart = false;      // the component is inside the engine's Start for it
  // Removed from the list while a thread still uses it: raises no more events
  // and is freed by the thread that delivers its termination. Atomic because the
  // hook events read it without the lock.
  std::atomic<bool> FDetached{false};
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

