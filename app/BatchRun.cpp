#include "BatchRun.h"

#include <algorithm>

#include "BatchSettings.h"

std::string StatusText(const TRowStatus& Status) {
  switch (Status.State) {
    case TRowState::Listed: return "";
    case TRowState::Waiting: return " ";
    case TRowState::Converting:
      if (Status.Percent >= 0) return std::to_string(Status.Percent) + "% Completed";
      return DurationText(std::max<int64_t>(0, Status.ConvertedMs) * 1000) + " converted";
    case TRowState::Completed: return "Completed";
    case TRowState::Stopped: return "Stopped";
    case TRowState::Failed: return "Failed";
    case TRowState::Skipped: return "Skipped";
  }
  return "";
}

int ProgressPercent(int64_t CurrentMs, int64_t TotalMs) {
  if (TotalMs <= 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(CurrentMs * 100 / TotalMs, 0, 100));
}

TRowStatus ProgressStatus(int64_t CurrentMs, int64_t TotalMs) {
  TRowStatus s{TRowState::Converting, -1, std::max<int64_t>(0, CurrentMs)};
  // Past its total the file is longer than its header said (a cut-and-joined
  // recording): how much is left is not known.
  if (CurrentMs <= TotalMs) s.Percent = std::min(99, ProgressPercent(CurrentMs, TotalMs));
  return s;
}

std::string ProgressLine(int FrameNumber, int CurrentMs, int Fps) {
  return "Current Frame=" + std::to_string(FrameNumber) + " Time=" + std::to_string(CurrentMs / 1000) +
         " FPS=" + std::to_string(Fps);
}

std::string BatchProgressLine(const TBatchProgress& Progress) {
  const auto hms = [](int64_t Ms) { return DurationText(std::max<int64_t>(0, Ms) * 1000); };
  std::string line = std::to_string(Progress.Done) + " of " + std::to_string(Progress.Total) + " files done, " +
                     hms(Progress.ElapsedMs) + " elapsed, ";
  line += Progress.LeftMs < 0 ? "estimating time left" : "about " + hms(Progress.LeftMs) + " left";
  return line;
}

void TBatchRun::Begin(int Parallel) {
  FState = Running;
  ++FRunId;
  FParallel = std::max(1, Parallel);
  FStarted = false;
  FTasks.clear();
}

void TBatchRun::AddTask(int Row, int64_t DurationMs) { FTasks.push_back({Row, DurationMs}); }

int TBatchRun::RowOfTask(int Task) const {
  return Task >= 0 && Task < TaskCount() ? FTasks[static_cast<size_t>(Task)].Row : -1;
}

void TBatchRun::TaskProgress(int Task, int64_t CurrentMs, int64_t TotalMs) {
  if (Task < 0 || Task >= TaskCount()) return;
  TTask& t = FTasks[static_cast<size_t>(Task)];
  // The engine's own total can know better than the probe at the set-up
  // (the streams read, not only the header): the larger one counts.
  if (TotalMs > t.DurationMs) t.DurationMs = TotalMs;
  t.CurrentMs = std::max<int64_t>(0, CurrentMs);
}

void TBatchRun::Started(int64_t NowMs) {
  FStarted = true;
  BeginWaiting(NowMs);
}

void TBatchRun::TaskEnded(int Task, int64_t NowMs) {
  if (Task < 0 || Task >= TaskCount()) return;
  FTasks[static_cast<size_t>(Task)].Ended = true;
  BeginWaiting(NowMs);
}

void TBatchRun::BeginWaiting(int64_t NowMs) {
  if (!FStarted) return;
  // The component converts Parallel tasks at a time, in order.
  int running = 0;
  for (TTask& t : FTasks) {
    if (t.Ended) continue;
    if (running == FParallel) break;
    if (t.BeganMs < 0) t.BeganMs = NowMs;
    ++running;
  }
}

int TBatchRun::MeasuredFps(int Task, int FrameNumber, int64_t NowMs) const {
  if (Task < 0 || Task >= TaskCount()) return -1;
  const int64_t took = NowMs - FTasks[static_cast<size_t>(Task)].BeganMs;
  if (FTasks[static_cast<size_t>(Task)].BeganMs < 0 || took <= 0) return -1;
  return static_cast<int>(std::max<int64_t>(0, FrameNumber) * 1000 / took);
}

std::vector<int> TBatchRun::CurrentRows() const {
  std::vector<int> rows;
  for (const TTask& t : FTasks) {
    if (static_cast<int>(rows.size()) == FParallel) break;
    if (!t.Ended) rows.push_back(t.Row);
  }
  return rows;
}

bool TBatchRun::RowEnded(int Row) const {
  return std::any_of(FTasks.begin(), FTasks.end(), [Row](const TTask& t) { return t.Row == Row && t.Ended; });
}

TBatchProgress TBatchRun::Progress(int64_t ElapsedMs) const {
  TBatchProgress p;
  p.Total = TaskCount();
  p.ElapsedMs = std::max<int64_t>(0, ElapsedMs);
  // A file converting past its known length is longer than its header said:
  // it weighs what it has converted so far, and nothing is estimated until
  // it ends.
  auto overrun = [](const TTask& t) { return !t.Ended && t.DurationMs > 0 && t.CurrentMs > t.DurationMs; };
  double known = 0;
  int knownCount = 0;
  for (const TTask& t : FTasks)
    if (t.DurationMs > 0) {
      known += static_cast<double>(std::max(t.DurationMs, t.CurrentMs));
      ++knownCount;
    }
  const double unknownWeight = knownCount > 0 ? known / knownCount : 1.0;
  double all = 0, done = 0;
  bool unknownEnd = false;
  for (const TTask& t : FTasks) {
    p.Done += t.Ended;
    unknownEnd = unknownEnd || overrun(t);
    const double weight = t.DurationMs > 0 ? static_cast<double>(std::max(t.DurationMs, t.CurrentMs)) : unknownWeight;
    all += weight;
    if (t.Ended)
      done += weight;
    else if (t.DurationMs > 0)
      done += std::min(weight, static_cast<double>(t.CurrentMs));
  }
  const double share = all > 0 ? done / all : 0;
  // Full only when every file has ended.
  p.Percent = static_cast<int>(std::clamp(share * 100, 0.0, p.Done == p.Total ? 100.0 : 99.0));
  if (share > 0 && p.ElapsedMs >= 1000 && !unknownEnd)
    p.LeftMs = static_cast<int64_t>(static_cast<double>(p.ElapsedMs) * (1 - share) / share + 0.5);
  return p;
}

void TBatchRun::End() {
  FState = Idle;
  ++FRunId;
}
