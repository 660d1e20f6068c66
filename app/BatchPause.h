// A batch's Pause/Resume and its "Stop after this file", without widgets:
// the run's clock without the time spent paused (the batch line's elapsed
// time, the estimate of the time left and each file's rate stand still while
// paused), and whether the batch ends after the files converting now.
// User-interface thread only.
#pragma once

#include <cstdint>

class TBatchPause {
public:
  // A new batch: not paused, no time paused, not ending early.
  void Reset();
  // NowMs: the time since Convert on a clock that runs on through pauses.
  void Pause(int64_t NowMs);
  void Resume(int64_t NowMs);
  bool Paused() const { return FPaused; }
  // The batch's own time: NowMs less every pause (while paused, the time at
  // which the pause began).
  int64_t RunMs(int64_t NowMs) const;
  // The files converting now finish; no other file starts.
  void StopAfterCurrent() { FStopAfterCurrent = true; }
  bool StoppingAfterCurrent() const { return FStopAfterCurrent; }

private:
  bool FPaused = false;
  int64_t FPausedAt = 0;
  int64_t FPausedMs = 0;  // the pauses that have ended
  bool FStopAfterCurrent = false;
};
