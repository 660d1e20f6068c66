// The records through which a caller describes one input and one output of a
// conversion task, and the text parsing they need: fixed text fields, local
// date-times, hook ranges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FrameHook.h"

// A colour value: red in bits 0-7, green 8-15, blue 16-23.
using TColor = int32_t;

// ---------------------------------------------------------------------------
// Option records

// Describes one input; the defaults mean "not given".
struct TInputOptions {
  std::string FileName;
  std::string FileFormat;
  int32_t StartTimeMs = -1;
  int32_t ProgramId = -1;
  std::string ExtraOptions;  // name=value lines for the engine's option parser
};

// Describes one output; the defaults mean "not given" and leave the engine's
// own defaults in place.
struct TOutputOptions {
  std::string FileName;
  std::string FileExt;
  std::string FileFormat;
  int32_t PacketSize = -1;
  int32_t MuxRate = -1;
  float MuxDelay = -1.0f;    // seconds
  float MuxPreload = -1.0f;  // seconds
  std::string AudioCodec;
  bool AudioDisable = false;
  int32_t AudioVolume = -1;  // 256 = unchanged
  int32_t AudioChannels = -1;
  int32_t AudioSampleRate = -1;  // Hz
  int32_t AudioBitrate = -1;     // bit/s
  int32_t AudioBitrateTolerance = -1;
  std::string AudioLanguage;
  int32_t AudioSyncMethod = 0;
  std::string AudioTag;  // four characters
  std::string VideoCodec;
  bool VideoDisable = false;
  std::string FrameRate;
  std::string FrameSize;  // "WxH" or a size name
  std::string AspectRatio;
  int32_t CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int32_t PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;
  TColor PadColor = 0;  // black
  int32_t GopSize = -1;
  int32_t VideoBitrate = -1;  // bit/s
  int32_t MaxRate = -1;
  int32_t MinRate = -1;
  int32_t BitrateTolerance = -1;
  int32_t BufSize = -1;
  int32_t VideoSyncMethod = -1;
  std::string VideoTag;  // four characters
  std::string VideoFilters;
  bool SubtitleDisable = false;
  std::string SubtitleLanguage;
  bool CopyTs = false;
  int32_t RecordingTimeMs = -1;
  // Local date-time as days since 1899-12-30: 0 = now, > 0 this moment, < 0 not applied.
  double Timestamp = -1.0;
  // The output takes the source's dates: its creation time (Timestamp only
  // when the source has none) and, for a local file, its modification time.
  bool KeepSourceDates = false;
  // The output records its source's name, size and modification time, and
  // RecordShape: what shaped the output (OutputShapeText), so that a later
  // batch with other settings does not take it for converted.
  bool RecordSource = false;
  std::string RecordShape;
  int32_t Year = -1;
  int32_t Track = -1;
  char Title[512] = {};
  char Author[512] = {};
  char Copyright[512] = {};
  char Comment[512] = {};
  char Album[512] = {};
  char Genre[32] = {};
  int32_t TargetType = 0;   // 0 none, 1 vcd, 2 svcd, 3 dvd
  int32_t TargetNorm = 0;   // 0 auto, 1 pal, 2 ntsc
  int32_t DefaultNorm = 1;  // 1 pal, else ntsc
  bool CustomHook = false;
  bool BeforeHook = false;
  std::string HookRanges;  // "start-end, start-end" in milliseconds
  std::string ExtraOptions;
};

// Copies Text into a fixed text field, cut to fit, always zero-terminated.
template <size_t N>
void AssignText(char (&Field)[N], const std::string& Text) {
  const size_t n = Text.size() < N - 1 ? Text.size() : N - 1;
  Text.copy(Field, n);
  Field[n] = '\0';
  for (size_t i = n + 1; i < N; ++i) Field[i] = '\0';
}

// The text of a fixed field up to its first zero character.
template <size_t N>
std::string TextOf(const char (&Field)[N]) {
  size_t n = 0;
  while (n < N && Field[n]) ++n;
  return std::string(Field, n);
}

// Seconds since 1970-01-01 UTC of a local date-time given as days since
// 1899-12-30, with the time zone's offset in force at that moment.
int64_t LocalDateTimeToUnix(double DateTime);
// The current local date-time as days since 1899-12-30.
double NowAsDateTime();

// "100-200, 50-60" in milliseconds -> ranges in microseconds; a range is kept
// when End >= Start and End >= 0; a part that is not a number counts as -1.
std::vector<HookRange> ParseHookRangeText(const std::string& Text);
