#include "BatchSize.h"

#include <charconv>

int64_t ExpectedBytesAt(TSizeInputs Source, const TBatchSettings& Settings) {
  Source.VideoBitrate = Settings.VideoKbps * 1000;
  Source.AudioBitrate = Settings.AudioKbps * 1000;
  Source.SampleRate = Settings.SampleRate;
  // "Auto" keeps the source's rate as the set-up found it.
  if (Settings.FrameRate != "Auto") {
    double rate = 0;
    const char* end = Settings.FrameRate.data() + Settings.FrameRate.size();
    if (std::from_chars(Settings.FrameRate.data(), end, rate).ec == std::errc() && rate > 0) Source.FrameRate = rate;
  }
  return TSizeEstimate::OutputBytes(Source);
}

int64_t DurationUsOfText(const std::string& Text) {
  const size_t first = Text.find(':'), second = Text.rfind(':');
  if (first == std::string::npos || second == first || second + 3 != Text.size() || first + 3 != second) return -1;
  int64_t h = 0, m = 0, s = 0;
  auto number = [](const std::string& Part, int64_t& Value) {
    return !Part.empty() && std::from_chars(Part.data(), Part.data() + Part.size(), Value).ptr == Part.data() + Part.size();
  };
  if (!number(Text.substr(0, first), h) || !number(Text.substr(first + 1, 2), m) ||
      !number(Text.substr(second + 1, 2), s) || m > 59 || s > 59 || h < 0 || m < 0 || s < 0)
    return -1;
  return ((h * 60 + m) * 60 + s) * 1'000'000;
}

std::string ExpectedSizeTip(int64_t Bytes, bool Measured) {
  if (Bytes < 0) return "Output size: not known (the file's length is not known)";
  return "Output: about " + TSizeEstimate::Text(Bytes) + (Measured ? "" : " at most");
}

std::string TMeasuredSizes::SettingsKey(const TBatchSettings& S) {
  // Fields that neither name nor place an output; a line each, the free texts last.
  return std::to_string(S.VideoKbps) + "\n" + std::to_string(S.AudioKbps) + "\n" + std::to_string(S.ChannelsEntry) +
         "\n" + S.FrameSize + "\n" + S.FrameRate + "\n" + std::to_string(S.SampleRate) + "\n" +
         std::to_string(S.KeyFrameSeconds) + "\n" + std::to_string(S.AudioTrack) + "\n" + S.AudioLanguage + "\n" +
         (S.BurnSubtitles ? "1" : "0") + (S.LanguageSubtitles ? "1" : "0") + (S.EvenVolume ? "1" : "0") + "\n" + S.SubtitleFile + "\n" +
         S.InputExtraOptions + "\n" + S.OutputExtraOptions;
}

bool TMeasuredSizes::SetSettings(const std::string& Key) {
  if (Key == FKey) return false;
  FKey = Key;
  FBytes.clear();
  return true;
}

int64_t TMeasuredSizes::Bytes(const std::string& File, const std::string& Key) const {
  if (Key != FKey) return -1;
  const auto found = FBytes.find(File);
  return found == FBytes.end() ? -1 : found->second;
}

void TMeasuredSizes::Set(const std::string& File, int64_t Bytes) { FBytes[File] = Bytes; }

std::vector<std::string> TMeasuredSizes::Missing(const std::vector<std::string>& Files) const {
  std::vector<std::string> missing;
  for (const std::string& file : Files)
    if (!FBytes.count(file)) missing.push_back(file);
  return missing;
}

int64_t FreeBytesFor(const std::string& Folder) {
  std::string folder = Folder.empty() ? "." : Folder;
  for (;;) {
    const int64_t free = TSizeEstimate::FreeBytes(folder);
    if (free >= 0) return free;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return TSizeEstimate::FreeBytes(".");
    if (folder == "/") return -1;
    folder = slash == 0 ? "/" : folder.substr(0, slash);
  }
}

TBatchFigures BatchFigures(const std::vector<int64_t>& Expected, int64_t Free) {
  TBatchFigures f;
  f.Free = Free;
  for (int64_t bytes : Expected) {
    ++f.Files;
    if (bytes < 0)
      ++f.UnknownFiles;
    else
      f.Expected += bytes;
  }
  return f;
}

std::string BatchFiguresLine(const TBatchFigures& Figures) {
  if (Figures.Files == 0) return {};
  std::string line = TSizeEstimate::BatchLine(Figures.Files, Figures.Expected, -1);
  if (Figures.UnknownFiles > 0) line += " (" + std::to_string(Figures.UnknownFiles) + " of unknown length)";
  if (Figures.Free >= 0) line += ", " + TSizeEstimate::Text(Figures.Free) + " free";
  return line;
}

bool BatchTooLarge(const TBatchFigures& Figures) {
  return TSizeEstimate::ClearlyTooLarge(Figures.Expected, Figures.Free);
}

bool RoomShort(int64_t Expected, int64_t Free) { return Expected > 0 && Free >= 0 && Free < Expected; }

std::string RoomShortText(const std::string& Folder, const std::string& FileName, int64_t Expected, int64_t Free) {
  return "Only " + TSizeEstimate::Text(Free) + " is free in " + Folder + ", and '" + FileName + "' needs about " +
         TSizeEstimate::Text(Expected) + ". The batch is paused: make room, then press Resume.";
}
