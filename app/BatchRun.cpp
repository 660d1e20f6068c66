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

void TBatchRun::Begin() {
  FState = Running;
  ++FRunId;
  FRowOfTask.clear();
  FEnded.clear();
}

void TBatchRun::AddTask(int Row) {
  FRowOfTask.push_back(Row);
  FEnded.push_back(false);
}

int TBatchRun::RowOfTask(int Task) const {
  return Task >= 0 && Task < TaskCount() ? FRowOfTask[static_cast<size_t>(Task)] : -1;
}

void TBatchRun::TaskEnded(int Task) {
  if (Task >= 0 && Task < TaskCount()) FEnded[static_cast<size_t>(Task)] = true;
}

int TBatchRun::CurrentRow() const {
  for (size_t i = 0; i < FEnded.size(); ++i)
    if (!FEnded[i]) return FRowOfTask[i];
  return -1;
}

void TBatchRun::End() {
  FState = Idle;
  ++FRunId;
}
