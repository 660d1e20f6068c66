#include "BatchRun.h"

#include <algorithm>

#include "BatchSettings.h"

const char* const kStatusWaiting = " ";
const char* const kStatusCompleted = "Completed";
const char* const kStatusStopped = "Stopped";
const char* const kStatusFailed = "Failed";
const char* const kStatusSkipped = "Skipped";

int ProgressPercent(int64_t CurrentMs, int64_t TotalMs) {
  if (TotalMs <= 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(CurrentMs * 100 / TotalMs, 0, 100));
}

std::string ProgressStatus(int CurrentMs, int TotalMs) {
  const int percent = ProgressPercent(CurrentMs, TotalMs);
  if (percent >= 0) return std::to_string(percent) + "% Completed";
  return DurationText(std::max<int64_t>(0, CurrentMs) * 1000) + " converted";
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
  FTasks.clear();
}

void TBatchRun::AddTask(int Row, int64_t DurationMs) { FTasks.push_back({Row, DurationMs}); }

int TBatchRun::RowOfTask(int Task) const {
  return Task >= 0 && Task < TaskCount() ? FTasks[static_cast<size_t>(Task)].Row : -1;
}

void TBatchRun::TaskProgress(int Task, int64_t CurrentMs, int64_t TotalMs) {
  if (Task < 0 || Task >= TaskCount()) return;
  TTask& t = FTasks[static_cast<size_t>(Task)];
  if (TotalMs > 0) t.DurationMs = TotalMs;
  t.CurrentMs = std::max<int64_t>(0, CurrentMs);
}

void TBatchRun::TaskEnded(int Task) {
  if (Task >= 0 && Task < TaskCount()) FTasks[static_cast<size_t>(Task)].Ended = true;
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
  double known = 0;
  int knownCount = 0;
  for (const TTask& t : FTasks)
    if (t.DurationMs > 0) {
      known += static_cast<double>(t.DurationMs);
      ++knownCount;
    }
  const double unknownWeight = knownCount > 0 ? known / knownCount : 1.0;
  double all = 0, done = 0;
  for (const TTask& t : FTasks) {
    p.Done += t.Ended;
    const double weight = t.DurationMs > 0 ? static_cast<double>(t.DurationMs) : unknownWeight;
    all += weight;
    if (t.Ended)
      done += weight;
    else if (t.DurationMs > 0)
      done += std::min(weight, static_cast<double>(t.CurrentMs));
  }
  const double share = all > 0 ? done / all : 0;
  p.Percent = static_cast<int>(std::clamp(share * 100, 0.0, 100.0));
  if (share > 0 && p.ElapsedMs >= 1000)
    p.LeftMs = static_cast<int64_t>(static_cast<double>(p.ElapsedMs) * (1 - share) / share + 0.5);
  return p;
}

void TBatchRun::End() {
  FState = Idle;
  ++FRunId;
}
