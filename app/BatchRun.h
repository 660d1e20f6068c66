// The book-keeping of one conversion run of the window, without widgets: the
// state (Idle or Running), which row each task of the run belongs to, which
// tasks have ended and how, how far each one is, which rows a Stop marks
// "Stopped", and the texts the rows, the progress lines and the boxes show.
// User-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What a row's Status says, kept as data in the row; its text is drawn from it.
// AlreadyConverted: skipped at Convert, its output converted from it before.
// NotFound: a row of the list kept from the last start whose file is gone.
enum class TRowState { Listed, Waiting, Converting, Completed, Stopped, Failed, Skipped, AlreadyConverted,
                       NotFound };
struct TRowStatus {
  TRowState State = TRowState::Listed;
  // Converting: the share done, 0..99 (a file that has not ended never reads
  // 100); -1 when the file's length is not known or it runs past the length
  // its header gave, and then ConvertedMs (output written so far) is shown.
  int Percent = -1;
  int64_t ConvertedMs = 0;
  // Completed: more than zero when the output came out clearly shorter than
  // the ExpectedMs its input's header gave; ConvertedMs is then its length.
  int64_t ExpectedMs = 0;
  bool operator==(const TRowStatus&) const = default;
};
// "" (listed), " " (waiting), "25% Completed", "00:01:30 converted",
// "Completed", "Completed (shorter: 0:00:03 of 0:00:10)", "Stopped",
// "Failed", "Skipped", "Skipped (already converted)", "not found".
std::string StatusText(const TRowStatus& Status);

// CurrentMs * 100 / TotalMs in 64 bits, truncated and clamped to 0..100;
// -1 when the total is unknown (0 or less).
int ProgressPercent(int64_t CurrentMs, int64_t TotalMs);
// A converting row after a progress event: the percentage of TotalMs done,
// at most 99; the time converted when the total is unknown or exceeded.
TRowStatus ProgressStatus(int64_t CurrentMs, int64_t TotalMs);
// "Current Frame=120 Time=4 FPS=30": Time in whole seconds of output.
std::string ProgressLine(int FrameNumber, int CurrentMs, int Fps);

// The failure box's text for a file whose conversion ended with the engine's
// Message, in words and naming the file: "Could not write 'clip.mp4' in
// /media/x: no space left on the device." for a failure of writing the output
// (OutputPath), else "Could not convert 'clip.avi': <reason>." (InputPath).
std::string FailureText(const std::string& Message, const std::string& InputPath, const std::string& OutputPath);
// A file the finish message names: how its row ended (Failed, Stopped,
// Skipped, or Completed but shorter) and its reason, a sentence that names
// the file.
struct TFinishEntry {
  TRowState State;
  std::string Reason;
};
// The finish message: "File conversion process finished.", and when some of
// the batch's Files did not simply complete, how many of each kind ("1 of 5
// files failed, 2 skipped:") and their reasons, one per line, at most ten,
// then "and N more: see the Log.".
std::string FinishText(const std::vector<TFinishEntry>& Entries, int Files);
// How many entries there are of each kind, in the finish message's order
// (failed, stopped, skipped, came out shorter), the kinds with none left out:
// (count, words) pairs.
std::vector<std::pair<int, std::string>> FinishCounts(const std::vector<TFinishEntry>& Entries);
// The entries' reasons as the finish message lists them after its counts:
// ":\n", then one a line, at most ten, then "and N more: see the Log.".
std::string FinishReasons(const std::vector<TFinishEntry>& Entries);
// The box of an output folder that cannot be used (Problem from
// OutputFolderProblem): it names the folder and the reason, and says that
// the listed files stay.
std::string OutputFolderText(const std::string& Folder, const std::string& Problem);

// Whether a converted file's Duration cell, drawn from its header's HeaderMs
// (0 or less: the header told none), is corrected to RealMs, the length the
// conversion found (0 or less: unknown): when the header told none, or more
// than a second off (a header of 0:00:10 on a file of 6:40).
bool DurationNeedsCorrection(int64_t RealMs, int64_t HeaderMs);

// The question before a batch when Converted rows already read "Completed":
// "5 files are already converted. Convert them again?" ("1 file is ... it").
std::string ConvertAgainText(int Converted);

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

// How a task ended: it ran to its end, an error ended it, or a stop did
// (also before it ran).
enum class TTaskEnd { Finished, Failed, Stopped };

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
  // whose input lasts DurationMs (0 or less: unknown), into OutputPath.
  void AddTask(int Row, int64_t DurationMs = -1, const std::string& OutputPath = {});
  int TaskCount() const { return static_cast<int>(FTasks.size()); }
  // The row of task Task; -1 when the run has no such task.
  int RowOfTask(int Task) const;
  // The component starts converting, NowMs after Convert: the first Parallel
  // tasks begin.
  void Started(int64_t NowMs);
  // A progress event of a task: CurrentMs converted out of TotalMs (a known
  // total also fills in a duration that the set-up could not tell).
  void TaskProgress(int Task, int64_t CurrentMs, int64_t TotalMs);
  // Marks a task as ended (stopped), NowMs after Convert; the next waiting
  // task begins then.
  void TaskEnded(int Task, int64_t NowMs = 0);
  // The frames per second of a task that has converted FrameNumber frames by
  // NowMs, known from its first event with pictures on; -1 when it has not
  // begun, no time has passed or no picture is converted yet. The clock
  // starts when the task began, or at its last event without pictures (the
  // loudness pass before the conversion), so that time is not counted.
  int MeasuredFps(int Task, int FrameNumber, int64_t NowMs);
  // The output file of task Task; empty when unknown.
  std::string OutputOfTask(int Task) const;
  // The length of task Task's input as its header gave it at Convert; 0 or
  // less when unknown.
  int64_t HeaderDurationOfTask(int Task) const;
  // The length of task Task's input as its header (or the engine) gave it;
  // 0 or less when unknown.
  int64_t DurationOfTask(int Task) const;
  // The end of a task, NowMs after Convert: Finished (ran to its end), Failed,
  // or Stopped (also ended by a stop before it ran). Returns the state its row
  // shows now; none when the row keeps what it shows, which is the case of a
  // task that was not converting when Stop was pressed.
  std::optional<TRowState> TaskEnded(int Task, TTaskEnd How, int64_t NowMs = 0);
  // The rows of the tasks converting now: tasks start in order, so these are
  // the first Parallel tasks that have not ended.
  std::vector<int> CurrentRows() const;
  // Whether the task converting Row has ended (false when no task has Row).
  bool RowEnded(int Row) const;
  // Whether a task of the run converts Row.
  bool HasRow(int Row) const;
  // Tasks that ended with Failed.
  int FailedCount() const;

  // Stop was pressed while RunningTasks ran (as the component said when it
  // stopped them). The ends that arrive from now on are the stop's, and the
  // all-done event no longer ends the batch with its message.
  void BeginStop(const std::vector<int>& RunningTasks);
  bool Stopping() const { return FStopping; }
  // Once the stop's events are applied: the rows that read "Stopped", i.e. of
  // every task that was converting (running, or with progress shown) and did
  // not end otherwise. A file that finished just before the stop keeps
  // "Completed"; a waiting one stays waiting.
  std::vector<int> StoppedRows() const;

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
  bool FStopping = false;
  struct TTask {
    int Row;
    int64_t DurationMs;  // 0 or less: unknown
    std::string OutputPath;
    int64_t HeaderMs = -1;  // DurationMs as the set-up gave it
    int64_t CurrentMs = 0;
    int64_t BeganMs = -1;  // -1: waiting
    int64_t RateFromMs = -1;  // the last event without pictures; -1: none
    bool Ended = false;
    TTaskEnd How = TTaskEnd::Stopped;  // when Ended
    bool Converting = false;  // a progress event came, or it ran when Stop was pressed
  };
  // Gives the waiting tasks that now have a free place their start time.
  void BeginWaiting(int64_t NowMs);
  bool FStarted = false;
  std::vector<TTask> FTasks;
};
