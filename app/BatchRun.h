// The book-keeping of one conversion run of the window, without widgets: the
// state (Idle or Running), which row each task of the run belongs to, which
// tasks have ended, and the texts the rows and the progress line show.
// User-interface thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Status texts of a row.
extern const char* const kStatusWaiting;    // " "
extern const char* const kStatusCompleted;  // "Completed"
extern const char* const kStatusStopped;    // "Stopped"
extern const char* const kStatusFailed;     // "Failed"
extern const char* const kStatusSkipped;    // "Skipped"

// CurrentMs * 100 / TotalMs in 64 bits, truncated and clamped to 0..100;
// -1 when the total is unknown (0 or less).
int ProgressPercent(int64_t CurrentMs, int64_t TotalMs);
// "25% Completed"; with an unknown total the time converted so far instead,
// as "HH:MM:SS converted".
std::string ProgressStatus(int CurrentMs, int TotalMs);
// "Current Frame=120 Time=4 FPS=30": Time in whole seconds of output.
std::string ProgressLine(int FrameNumber, int CurrentMs, int Fps);

class TBatchRun {
public:
  enum TState { Idle, Running };

  TState State() const { return FState; }
  // Changes at every Begin and End, so that events of an earlier run that
  // arrive late can be told apart.
  uint64_t RunId() const { return FRunId; }

  // Idle -> Running, with no task yet.
  void Begin();
  // The next task of the run (index = number of tasks so far) converts Row.
  void AddTask(int Row);
  int TaskCount() const { return static_cast<int>(FRowOfTask.size()); }
  // The row of task Task; -1 when the run has no such task.
  int RowOfTask(int Task) const;
  // Marks a task as ended (finished, stopped or failed).
  void TaskEnded(int Task);
  // The row of the first task that has not ended (the one converting, since
  // tasks run one at a time in order); -1 when every task has ended.
  int CurrentRow() const;
  // Running -> Idle.
  void End();

private:
  TState FState = Idle;
  uint64_t FRunId = 0;
  std::vector<int> FRowOfTask;
  std::vector<bool> FEnded;
};
