// The book-keeping of one conversion run of the window, without widgets: the
// state (Idle or Running), which row each task of the run belongs to, which
// tasks have ended, how far each one is, and the texts the rows and the
// progress lines show.
// User-interface thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a row's Status says, kept as data in the row; its text is drawn from it.
enum class TRowState { Listed, Waiting, Converting, Completed, Stopped, Failed, Skipped };
struct TRowStatus {
  TRowState State = TRowState::Listed;
  // Converting: the share done, 0..99 (a file that has not ended never reads
  // 100); -1 when the file's length is not known or it runs past the length
  // its header gave, and then ConvertedMs (output written so far) is shown.
  int Percent = -1;
  int64_t ConvertedMs = 0;
  bool operator==(const TRowStatus&) const = default;
};
// "" (listed), " " (waiting), "25% Completed", "00:01:30 converted",
// "Completed", "Stopped", "Failed", "Skipped".
std::string StatusText(const TRowStatus& Status);

// CurrentMs * 100 / TotalMs in 64 bits, truncated and clamped to 0..100;
// -1 when the total is unknown (0 or less).
int ProgressPercent(int64_t CurrentMs, int64_t TotalMs);
// A converting row after a progress event: the percentage of TotalMs done,
// at most 99; the time converted when the total is unknown or exceeded.
TRowStatus ProgressStatus(int64_t CurrentMs, int64_t TotalMs);
// "Current Frame=120 Time=4 FPS=30": Time in whole seconds of output.
std::string ProgressLine(int FrameNumber, int CurrentMs, int Fps);

// Where the whole batch stands: files ended out of the run's files, the share
// of the work done, and the time since Convert with an estimate of the rest.
struct TBatchProgress {
  int Done = 0;
  int Total = 0;
  int Percent = 0;       // 0..100
  int64_t ElapsedMs = 0;
  int64_t LeftMs = -1;   // -1 while there is nothing to estimate from yet
};
// "1 of 3 files done, 00:00:12 elapsed, about 00:00:30 left" (the end reads
// "estimating time left" while the estimate is unknown).
std::string BatchProgressLine(const TBatchProgress& Progress);

class TBatchRun {
public:
  enum TState { Idle, Running };

  TState State() const { return FState; }
  // Changes at every Begin and End, so that events of an earlier run that
  // arrive late can be told apart.
  uint64_t RunId() const { return FRunId; }

  // Idle -> Running, with no task yet; Parallel files convert at the same time.
  void Begin(int Parallel = 1);
  int Parallel() const { return FParallel; }
  // The next task of the run (index = number of tasks so far) converts Row,
  // whose input lasts DurationMs (0 or less: unknown).
  void AddTask(int Row, int64_t DurationMs = -1);
  int TaskCount() const { return static_cast<int>(FTasks.size()); }
  // The row of task Task; -1 when the run has no such task.
  int RowOfTask(int Task) const;
  // The component starts converting, NowMs after Convert: the first Parallel
  // tasks begin.
  void Started(int64_t NowMs);
  // A progress event of a task: CurrentMs converted out of TotalMs (a known
  // total also fills in a duration that the set-up could not tell).
  void TaskProgress(int Task, int64_t CurrentMs, int64_t TotalMs);
  // Marks a task as ended (finished, stopped or failed), NowMs after Convert;
  // the next waiting task begins then.
  void TaskEnded(int Task, int64_t NowMs = 0);
  // The frames per second of a task that has converted FrameNumber frames by
  // NowMs: measured since it began, so known from its first event on; -1
  // when it has not begun or no time has passed.
  int MeasuredFps(int Task, int FrameNumber, int64_t NowMs) const;
  // The rows of the tasks converting now: tasks start in order, so these are
  // the first Parallel tasks that have not ended.
  std::vector<int> CurrentRows() const;
  // Whether the task converting Row has ended (false when no task has Row).
  bool RowEnded(int Row) const;
  // The batch ElapsedMs after Convert. Each file weighs its duration; a file
  // of unknown duration weighs the mean of the known ones (1 when none is
  // known, so that files are counted) and counts only once it has ended. The
  // time left is the elapsed time scaled by the share still to do, i.e. the
  // rate measured so far; it is unknown during the first second.
  TBatchProgress Progress(int64_t ElapsedMs) const;
  // Running -> Idle.
  void End();

private:
  TState FState = Idle;
  uint64_t FRunId = 0;
  int FParallel = 1;
  struct TTask {
    int Row;
    int64_t DurationMs;  // 0 or less: unknown
    int64_t CurrentMs = 0;
    int64_t BeganMs = -1;  // -1: waiting
    bool Ended = false;
  };
  // Gives the waiting tasks that now have a free place their start time.
  void BeginWaiting(int64_t NowMs);
  bool FStarted = false;
  std::vector<TTask> FTasks;
};
