#include "BatchPause.h"

#include <algorithm>

void TBatchPause::Reset() { *this = TBatchPause(); }

void TBatchPause::Pause(int64_t NowMs) {
  if (FPaused) return;
  FPaused = true;
  FPausedAt = NowMs;
}

void TBatchPause::Resume(int64_t NowMs) {
  if (!FPaused) return;
  FPaused = false;
  FPausedMs += std::max<int64_t>(0, NowMs - FPausedAt);
}

int64_t TBatchPause::RunMs(int64_t NowMs) const {
  return std::max<int64_t>(0, (FPaused ? FPausedAt : NowMs) - FPausedMs);
}
