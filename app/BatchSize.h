// The size figures of the window: each row's expected output at the settings
// shown now, the batch line's total against the output folder's free space,
// and the checks before a batch and before each file. No widgets.
//
// The estimate is the bitrates asked for over the file's duration: the
// encoder reaches them on busy pictures, and stays below them on quiet or
// simple ones (measured from 0.12 to 0.55 of the estimate at the higher
// profiles), so the figures are an upper bound and are shown as one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BatchSettings.h"
#include "SizeEstimate.h"

// Source: the estimate's inputs as the set-up found them (duration, streams,
// the source's frame rate); the bitrates and rates are taken from Settings.
// -1 when the duration is unknown.
int64_t ExpectedBytesAt(TSizeInputs Source, const TBatchSettings& Settings);

// The duration of a Duration cell ("01:02:03", hours may be longer) in
// microseconds, for a row brought back from the kept list; -1 when it is
// not such a text.
int64_t DurationUsOfText(const std::string& Text);

// The Output Filename cell's tooltip: "Output: about 12 MB at most" ("Output
// size: not known (the file's length is not known)" for -1).
std::string ExpectedSizeTip(int64_t Bytes);

// The free space of Folder's file system, asked of its nearest folder that
// exists (the output folder is made only at Convert); -1 when unknown.
int64_t FreeBytesFor(const std::string& Folder);

struct TBatchFigures {
  int Files = 0;          // the files counted
  int UnknownFiles = 0;   // of them, those whose length is not known
  int64_t Expected = 0;   // the sum of the known estimates
  int64_t Free = -1;
};
TBatchFigures BatchFigures(const std::vector<int64_t>& Expected, int64_t Free);
// "12 files, about 1.4 GB, 6.2 GB free", with " (2 of unknown length)" after
// the size when some are unknown; empty when no file is counted.
std::string BatchFiguresLine(const TBatchFigures& Figures);
// Whether Convert refuses the batch: it clearly does not fit.
bool BatchTooLarge(const TBatchFigures& Figures);

// Before a file: whether the free space is below its expected size (neither
// unknown).
bool RoomShort(int64_t Expected, int64_t Free);
// The message of the pause that RoomShort makes: "Only 600 MB is free in
// /out, and 'clip.avi' needs about 1.2 GB. The batch is paused: make room,
// then press Resume."
std::string RoomShortText(const std::string& Folder, const std::string& FileName, int64_t Expected, int64_t Free);
