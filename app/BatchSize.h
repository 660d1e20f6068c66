// The size figures of the window: each row's expected output at the settings
// shown now, the batch line's total against the output folder's free space,
// and the checks before a batch and before each file. No widgets.
//
// A row's figure is the measured estimate (SizeSampler.h: samples of the file
// encoded with the batch's settings) once it has come, shown as "about";
// until then the bitrates over the duration, an upper bound that the encoder
// reaches on busy pictures only, shown as "at most".
#pragma once

#include <cstdint>
#include <map>
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

// The Output Filename cell's tooltip: "Output: about 12 MB" for a measured
// figure, "Output: about 12 MB at most" for the bound ("Output size: not
// known (the file's length is not known)" for -1).
std::string ExpectedSizeTip(int64_t Bytes, bool Measured = false);

// The measured figures of the listed files at one set of settings (the
// user-interface thread's).
class TMeasuredSizes {
public:
  // What of the settings changes an output's size, as one text.
  static std::string SettingsKey(const TBatchSettings& Settings);
  // The settings now in force: the figures of other settings are forgotten.
  // True when the key changed.
  bool SetSettings(const std::string& Key);
  const std::string& Key() const { return FKey; }
  // The measured bytes of File at Key (-1 when not measured, it could not be,
  // or Key is not the settings in force).
  int64_t Bytes(const std::string& File, const std::string& Key) const;
  // A figure has come (-1: the file could not be measured; it is not asked again).
  void Set(const std::string& File, int64_t Bytes);
  // Of Files, those with no figure yet, in order.
  std::vector<std::string> Missing(const std::vector<std::string>& Files) const;

private:
  std::string FKey;
  std::map<std::string, int64_t> FBytes;
};

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
