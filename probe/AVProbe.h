// TAVProbe: opens a media file (or takes over a container the engine opened)
// and reports its start time, duration, bit rate, tags and stream counts.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct AVFormatContext;

// Raised by CheckLibraries when a media library the probe needs is not loaded.
class EAVProbeError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What GetFileInfo reports. Times in microseconds, except Timestamp; the texts are
// zero-terminated and cut to fit (at a character boundary of UTF-8 text).
struct TAVFileInfo {
  int64_t StartTime;   // first timestamp; AV_NOPTS_VALUE when the container does not know it
  int64_t Duration;    // AV_NOPTS_VALUE when the container does not know it
  int32_t BitRate;     // total bit rate in bit/s, 0 when unknown
  int64_t Timestamp;   // creation time, seconds since 1970 (the engine's "timestamp" unit); 0 when not tagged
  char Title[512];
  char Author[512];    // the "artist" tag, else "author"
  char Copyright[512];
  char Comment[512];
  char Album[512];
  int32_t Year;        // leading number of the "date" (else "year") tag; 0 when not tagged
  int32_t Track;       // leading number of the "track" tag ("3/12" gives 3); 0 when not tagged
  char Genre[32];
};

// Threads: a probe is used by one thread at a time (the converter's probe on
// the user-interface thread, a task's probe on the thread building the task);
// every field below belongs to that thread.
class TAVProbe {
public:
  TAVProbe();   // closed: no context, every count and index -1
  ~TAVProbe();  // Close
  TAVProbe(const TAVProbe&) = delete;
  TAVProbe& operator=(const TAVProbe&) = delete;

  // Raises EAVProbeError "LibAVCodec not loaded.", "LibAVFormat not loaded.",
  // "LibAVUtil not loaded." or "LibSwScale not loaded." for the first of the
  // four libraries (in that order) that is not loaded.
  void CheckLibraries() const;

  // Opens FileName, with the input format FormatName when it is not empty
  // (else the libraries detect it), and reads its stream information. False on
  // failure, with the reason in LastError() and the probe closed. An
  // EAVProbeError of CheckLibraries leaves the probe unchanged.
  bool Open(const std::string& FileName, const std::string& FormatName = "");
  // Takes over a context opened by someone else; the probe never closes it.
  void Attach(AVFormatContext* Context);
  // Closes an own context, lets go of an attached one; LastError stays.
  void Close();

  // Fills Info from the open container; on a closed probe every number is -1,
  // every text empty, and "file not loaded.\n" goes to the library log.
  void GetFileInfo(TAVFileInfo& Info) const;
  // Recounts the streams of the context (all -1 without one).
  void UpdateStreamInfo();

  AVFormatContext* FormatContext() const { return FFormatContext; }
  bool OwnsContext() const { return FOwnsContext; }
  const std::string& LastError() const { return FLastError; }
  const std::string& FormatName() const { return FFormatName; }
  int32_t StreamCount() const { return FStreamCount; }
  int32_t ProgramCount() const { return FProgramCount; }
  int32_t AudioStreamCount() const { return FAudioStreamCount; }
  int32_t VideoStreamCount() const { return FVideoStreamCount; }
  int32_t SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int32_t FirstAudioStream() const { return FFirstAudioStream; }
  int32_t FirstVideoStream() const { return FFirstVideoStream; }
  int32_t FirstSubtitleStream() const { return FFirstSubtitleStream; }

private:
  AVFormatContext* FFormatContext = nullptr;  // the probed container, null when closed
  bool FOwnsContext = false;                  // opened here (and so closed here)
  std::string FLastError;                     // text of the last failed Open
  std::string FFormatName;                    // forced format of the last successful Open
  int32_t FStreamCount = -1;
  int32_t FProgramCount = -1;
  int32_t FAudioStreamCount = -1;
  int32_t FVideoStreamCount = -1;
  int32_t FSubtitleStreamCount = -1;
  int32_t FFirstAudioStream = -1;
  int32_t FFirstVideoStream = -1;
  int32_t FFirstSubtitleStream = -1;
};
