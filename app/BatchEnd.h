// What the message at the end of a batch says, without widgets: how the
// batch ended (it ran through, Stop, "Stop after this file") and what became
// of its files, counted, with the reasons of the ones that did not simply
// convert.
#pragma once

#include <string>
#include <vector>

#include "BatchRun.h"

enum class TBatchEnd { Finished, Stopped, StoppedAfterCurrent };

struct TBatchCounts {
  int Files = 0;             // the batch's rows (a row converted before and kept out is not one)
  int Converted = 0;         // of them, "Completed"
  int AlreadyConverted = 0;  // skipped: converted before, and Skip converted files is on
  int NotStarted = 0;        // left waiting when the batch ended early
};

// A batch that ran through with nothing converted before or left waiting
// says FinishText's words (also when every file failed or was refused). Any
// other end says how it ended and counts:
// "File conversion stopped. 1 of 5 files converted, 1 stopped, 3 not
// started:", "File conversion process finished after the files being
// converted. 1 of 688 files converted, 687 not started.", "File conversion
// process finished. Nothing was converted (3 files already converted).",
// with Entries' reasons below as FinishText lists them.
std::string EndText(TBatchEnd End, const TBatchCounts& Counts, const std::vector<TFinishEntry>& Entries);
