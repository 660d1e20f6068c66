// Conversion tasks: one engine set up for one input and one output file, the
// option records through which a caller describes them, the task list, and the
// path that carries the media libraries' own log output to the right task.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "FFmpeg.h"

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

// ---------------------------------------------------------------------------
// The conversion task

// Where a task stands in its component's run. Owned by the component (read
// and written under its FLock).
enum TTaskRunState {
  rsIdle,         // not started in a run
  rsScheduled,    // its start is posted to the main thread
  rsStarted,      // the engine was started; its termination is still to come
  rsTerminating,  // a terminate thread will deliver its termination
  rsDone          // its termination was delivered
};

class TFFmpeg : public TCustomFFmpeg {
public:
  TFFmpeg();
  ~TFFmpeg() override;

  void ResetInputOptions();
  void ResetOutputOptions();
  // Copies the record and hands its fields to the engine: extra options,
  // format, start time, program.
  void ApplyInputOptions(const TInputOptions& Options);
  // Copies the record and hands its fields to the engine: extra options, the
  // fields from FileFormat to Genre, the target preset, then the hook choice
  // (custom hook, else before hook, else the hook ranges). The two handlers
  // are what the hook flags point the engine at.
  void ApplyOutputOptions(const TOutputOptions& Options, TEngineBeforeHookEvent BeforeHook = {},
                          TEngineCustomHookEvent CustomHook = {});
  // Parses Text into the engine's hook schedule.
  void ParseHookRanges(const std::string& Text);

  // Position in the component's task list; -1 when in none. Written under the
  // component's FLock; read by hook events without it, hence atomic.
  std::atomic<int> Index{-1};
  // Number of the thread that runs the task (0: none). Written before the
  // worker is resumed, read by the log path on any thread.
  std::atomic<uint32_t> ThreadId{0};
  // The records as last applied. Owner thread.
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;
  // Attached to the input file once it is open; owned by the task.
  std::unique_ptr<TAVProbe> Probe;

  // Run bookkeeping of the owning component; guarded by its FLock.
  TTaskRunState FRunState = rsIdle;
  uint64_t FRunId = 0;        // the component's run this task takes part in
  uint64_t FSerial = 0;       // unique within the component; names the task in posted starts
  bool FCounted = false;      // its termination was counted in run FRunId
  bool FInStart = false;      // the component is inside the engine's Start for it
  // Removed from the list while a thread still uses it: raises no more events
  // and is freed by the thread that delivers its termination. Atomic because the
  // hook events read it without the lock.
  std::atomic<bool> FDetached{false};
};

// The ordered task list; owns its tasks. Not locked itself: the owning
// component guards it with its FLock.
class TFFmpegList {
public:
  TFFmpegList() = default;
  ~TFFmpegList();
  TFFmpegList(const TFFmpegList&) = delete;
  TFFmpegList& operator=(const TFFmpegList&) = delete;

  int Add(TFFmpeg* Task);  // takes ownership; returns the index
  TFFmpeg* Items(int I) const;
  TFFmpeg* operator[](int I) const { return Items(I); }
  int Count() const { return static_cast<int>(FItems.size()); }
  void Delete(int I);
  // Removes the task at I without freeing it; the caller owns it then.
  TFFmpeg* Extract(int I);
  void Clear();
  TFFmpeg* FindByThreadId(uint32_t Id) const;
  int IndexOf(const TFFmpeg* Task) const;

private:
  void Renumber(size_t From);
  std::vector<TFFmpeg*> FItems;
};

// ---------------------------------------------------------------------------
// Threads: TFFmpegThread and TDoTerminateThread are the engine's (FFmpeg.h).

// ---------------------------------------------------------------------------
// Pending log text per thread

class TLogList {
public:
  struct TNode {
    uint32_t ThreadId = 0;  // 0 = free
    std::string Pending;
    TNode* Next = nullptr;
  };

  TLogList() = default;
  ~TLogList();
  TLogList(const TLogList&) = delete;
  TLogList& operator=(const TLogList&) = delete;

  // Not locked: LogTable is used under the ConverterInstances lock.
  TNode* FindOrAdd(uint32_t ThreadId);
  void Clear();
  int NodeCount() const;

private:
  TNode FFirst;
};

class TCustomQuilloConverter;

// The live converter components and the pending log table, behind one lock.
// The library log callback holds the lock only while it reads the list and the
// table; it dispatches after releasing it, so a thread that holds a component's
// FLock may log (and so take this lock) without any risk of deadlock.
class TConverterInstances {
public:
  void Add(TCustomQuilloConverter* Component);
  // Removes the component and waits until no log dispatch to it is running.
  void Remove(TCustomQuilloConverter* Component);
  int Count() const;
  // Every live component (a copy taken under the lock).
  std::vector<TCustomQuilloConverter*> Snapshot() const;
  void ClearLogTable();
  int LogTableNodeCount() const;

private:
  friend void LogCallback(void* Context, int Level, const char* Format, va_list Args);
  mutable std::mutex FLock;
  std::condition_variable FIdle;                   // signalled when a dispatch ends
  std::vector<TCustomQuilloConverter*> FComponents;  // guarded by FLock
  // Log dispatches now running, per component (absent: none). Guarded by FLock.
  std::vector<std::pair<TCustomQuilloConverter*, int>> FBusy;
  TLogList FLogTable;  // guarded by FLock
  void EnterDispatch(TCustomQuilloConverter* Component);  // FLock held
  void LeaveDispatch(TCustomQuilloConverter* Component);  // FLock held
  bool Busy(TCustomQuilloConverter* Component) const;     // FLock held
};

TConverterInstances& ConverterInstances();
// The table of unfinished log lines per thread (inside ConverterInstances).
void ClearLogTableOfInstances();

// Size of one formatted library log line, prefix and pending text included.
constexpr int LOG_LINE_SIZE = 2048;

// The library log callback (installed with av_log_set_callback).
void LogCallback(void* Context, int Level, const char* Format, va_list Args);

// Hands one library log line of thread ThreadId to Component.
void DispatchLog(TCustomQuilloConverter* Component, uint32_t ThreadId, int Level, const std::string& Line);

// Formats one library message into Buffer (LOG_LINE_SIZE bytes) behind the
// prefix or the pending text, bounded to the room left. A message that does
// not fit is cut at a character boundary and ends its line. Returns the text.
std::string FormatLogText(const void* Context, const std::string& Pending, const char* Format, va_list Args);
