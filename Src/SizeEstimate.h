// How large a batch's outputs will be, and whether they fit: each file's size
// from the bitrates asked for and its duration, and the free space of the
// output folder.
#pragma once

#include <cstdint>
#include <string>

// One output, as the batch set-up describes it.
struct TSizeInputs {
  int64_t DurationUs = -1;  // the source's duration; unknown (<= 0): no estimate
  bool HasVideo = true;
  bool HasAudio = true;
  int VideoBitrate = 0;     // bit/s
  int AudioBitrate = 0;     // bit/s
  double FrameRate = 30;    // output pictures a second
  int SampleRate = 44100;   // output audio, Hz
};

class TSizeEstimate {
public:
  // Expected bytes of the output: the streams' bits at their rates over the
  // duration, plus the container's index and headers. -1 when the duration is
  // unknown.
  static int64_t OutputBytes(const TSizeInputs& Inputs);
  // "640 KB", "12 MB", "1.4 GB" (1000-based, as file managers show sizes).
  static std::string Text(int64_t Bytes);
  // The space a user may still write in Folder's file system; -1 when it
  // cannot be asked.
  static int64_t FreeBytes(const std::string& Folder);
  // Whether Expected bytes clearly do not fit in Free: even 10% less than
  // expected would not.
  static bool ClearlyTooLarge(int64_t Expected, int64_t Free);
  // "12 files, about 1.4 GB, 6.2 GB free" (the free space left out when
  // unknown, -1).
  static std::string BatchLine(int Files, int64_t Expected, int64_t Free);
  // Why a batch does not start: "The files need about 1.4 GB, but only 600 MB
  // is free in /videos/out."
  static std::string TooLargeMessage(const std::string& Folder, int64_t Expected, int64_t Free);
};
