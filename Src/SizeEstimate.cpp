#include "SizeEstimate.h"

#include <sys/statvfs.h>

#include <cmath>
#include <cstdio>

namespace {
// What an MP4 spends besides the streams' bits: about 8 bytes of index per
// packet (size, time, chunk and key-frame tables) and a few kilobytes of
// headers. AAC frames are 1024 samples.
constexpr double kIndexBytesPerPacket = 8;
constexpr double kHeaderBytes = 4096;
constexpr double kAacFrameSamples = 1024;
}  // namespace

int64_t TSizeEstimate::OutputBytes(const TSizeInputs& Inputs) {
  if (Inputs.DurationUs <= 0) return -1;
  const double seconds = static_cast<double>(Inputs.DurationUs) / 1e6;
  double bytes = kHeaderBytes;
  if (Inputs.HasVideo) {
    bytes += seconds * Inputs.VideoBitrate / 8.0;
    bytes += seconds * (Inputs.FrameRate > 0 ? Inputs.FrameRate : 30) * kIndexBytesPerPacket;
  }
  if (Inputs.HasAudio) {
    bytes += seconds * Inputs.AudioBitrate / 8.0;
    bytes += seconds * Inputs.SampleRate / kAacFrameSamples * kIndexBytesPerPacket;
  }
  return static_cast<int64_t>(std::llround(bytes));
}

std::string TSizeEstimate::Text(int64_t Bytes) {
  char text[32];
  const double b = static_cast<double>(Bytes < 0 ? 0 : Bytes);
  if (b >= 1e12)
    std::snprintf(text, sizeof text, "%.1f TB", b / 1e12);
  else if (b >= 1e9)
    std::snprintf(text, sizeof text, "%.1f GB", b / 1e9);
  else if (b >= 1e6)
    std::snprintf(text, sizeof text, "%.0f MB", b / 1e6);
  else
    std::snprintf(text, sizeof text, "%.0f KB", std::ceil(b / 1e3));
  return text;
}

int64_t TSizeEstimate::FreeBytes(const std::string& Folder) {
  struct statvfs fs {};
  if (statvfs(Folder.empty() ? "." : Folder.c_str(), &fs) != 0) return -1;
  return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

bool TSizeEstimate::ClearlyTooLarge(int64_t Expected, int64_t Free) {
  if (Expected <= 0 || Free < 0) return false;
  return static_cast<double>(Expected) * 0.9 > static_cast<double>(Free);
}

std::string TSizeEstimate::BatchLine(int Files, int64_t Expected, int64_t Free) {
  std::string line = std::to_string(Files) + (Files == 1 ? " file, about " : " files, about ") + Text(Expected);
  if (Free >= 0) line += ", " + Text(Free) + " free";
  return line;
}

std::string TSizeEstimate::TooLargeMessage(const std::string& Folder, int64_t Expected, int64_t Free) {
  return "The files need about " + Text(Expected) + ", but only " + Text(Free) + " is free in " + Folder + ".";
}
