// Conversion tasks, the task list, the pending log table and the library log
// callback.
#include "Tasks.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "MyUtils.h"
#include "QuilloConverter.h"

// ---------------------------------------------------------------------------
// Date-time and hook ranges

namespace {

constexpr double kUnixEpochAsDateTime = 25569.0;  // 1970-01-01 in days since 1899-12-30

std::string TrimBlanks(const std::string& S) {
  size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

// A whole decimal integer of milliseconds as microseconds; -1000 (that is, -1
// millisecond) for a text that is not such a number or does not fit.
int64_t MillisecondsTextToUs(const std::string& Text) {
  const std::string t = TrimBlanks(Text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i >= t.size()) return -1000;
  int64_t v = 0;
  constexpr int64_t kLimit = INT64_MAX / 1000;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return -1000;
    const int d = t[i] - '0';
    if (v > (kLimit - d) / 10) return -1000;
    v = v * 10 + d;
  }
  return (negative ? -v : v) * 1000;
}

}  // namespace

int64_t LocalDateTimeToUnix(double DateTime) {
  // Local seconds since 1970 as if the local clock were UTC.
  const auto local = static_cast<int64_t>(std::nearbyint((DateTime - kUnixEpochAsDateTime) * 86400.0));
  // The offset in force at that local moment: guess with the offset at the
  // same reading of UTC, then correct once (enough across a change of offset).
  time_t probe = static_cast<time_t>(local);
  tm parts{};
  localtime_r(&probe, &parts);
  probe = static_cast<time_t>(local - parts.tm_gmtoff);
  localtime_r(&probe, &parts);
  return local - parts.tm_gmtoff;
}

double NowAsDateTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  const double localSeconds =
      static_cast<double>(now.tv_sec + parts.tm_gmtoff) + static_cast<double>(now.tv_nsec) / 1e9;
  return localSeconds / 86400.0 + kUnixEpochAsDateTime;
}

std::vector<HookRange> ParseHookRangeText(const std::string& Text) {
  std::string rest = TrimBlanks(Text);
  std::vector<HookRange> ranges;
  ranges.reserve(static_cast<size_t>(std::count(rest.begin(), rest.end(), ',')) + 1);
  while (!rest.empty()) {
    std::string part;
    ExtractToken(rest, ",", true, part);
    part = TrimBlanks(part);
    // Without a "-" the whole part is the start and the end is empty.
    std::string start;
    ExtractToken(part, "-", true, start);
    HookRange r{MillisecondsTextToUs(start), MillisecondsTextToUs(part)};
    if (r.Stop >= r.Start && r.Stop >= 0) ranges.push_back(r);
  }
  return ranges;
}

// ---------------------------------------------------------------------------
// TFFmpeg

TFFmpeg::TFFmpeg() {
  Index = -1;
  ThreadId = 0;
  ResetInputOptions();
  ResetOutputOptions();
  Probe = std::make_unique<TAVProbe>();
}

TFFmpeg::~TFFmpeg() {
  // The run uses this object's members (its events reach the component through
  // it): no thread may be inside before they go.
  StopAndWait();
  Probe.reset();
}

void TFFmpeg::ResetInputOptions() { InputOptions = TInputOptions{}; }

void TFFmpeg::ResetOutputOptions() { OutputOptions = TOutputOptions{}; }

void TFFmpeg::ApplyInputOptions(const TInputOptions& Options) {
  InputOptions = Options;
  const TInputOptions& o = InputOptions;
  ApplyExtraOptions(o.ExtraOptions);
  if (!o.FileFormat.empty()) SetInputFormat(o.FileFormat);
  SetStartTimeUs(static_cast<int64_t>(o.StartTimeMs) * 1000);
  SetProgramId(o.ProgramId);
}

void TFFmpeg::ApplyOutputOptions(const TOutputOptions& Options, TEngineBeforeHookEvent BeforeHook,
                                 TEngineCustomHookEvent CustomHook) {
  OutputOptions = Options;
  const TOutputOptions& o = OutputOptions;
  ApplyExtraOptions(o.ExtraOptions);

  if (!o.FileFormat.empty()) SetOutputFormat(o.FileFormat);
  if (o.PacketSize > 0) SetGenericOptionInt("packetsize", o.PacketSize);
  if (o.MuxRate > 0) SetGenericOptionInt("muxrate", o.MuxRate);
  if (o.MuxDelay > 0) SetMuxMaxDelay(o.MuxDelay);
  if (o.MuxPreload > 0) SetMuxPreload(o.MuxPreload);

  if (!o.AudioCodec.empty()) SetAudioCodec(o.AudioCodec);
  if (o.AudioDisable) FAudioDisable = 1;
  if (o.AudioVolume >= 0) SetAudioVolume(o.AudioVolume);
  if (o.AudioChannels > 0) SetChannels(o.AudioChannels);
  if (o.AudioSampleRate > 0) SetSampleRate(o.AudioSampleRate);
  if (o.AudioBitrate > 0) SetGenericOptionInt("ab", o.AudioBitrate);
  if (o.AudioBitrateTolerance > 0) SetGenericOptionInt("abt", o.AudioBitrateTolerance);
  // The fields below that hold their "not given" value are left alone, so
  // that an extra option that set the same thing is not overwritten by a
  // default nobody asked for.
  if (!o.AudioLanguage.empty()) FAudioLanguage = o.AudioLanguage;
  if (o.AudioSyncMethod != 0) SetAudioSyncMethod(o.AudioSyncMethod);
  if (!o.AudioTag.empty()) SetAudioTag(o.AudioTag);

  if (!o.VideoCodec.empty()) SetVideoCodec(o.VideoCodec);
  if (o.VideoDisable) FVideoDisable = 1;
  if (!o.FrameRate.empty()) SetFrameRate(o.FrameRate);
  if (!o.FrameSize.empty()) SetFrameSize(o.FrameSize);
  if (!o.AspectRatio.empty()) SetAspectRatio(o.AspectRatio);
  if (o.CropTop >= 0) SetCropTop(o.CropTop);
  if (o.CropBottom >= 0) SetCropBottom(o.CropBottom);
  if (o.CropLeft >= 0) SetCropLeft(o.CropLeft);
  if (o.CropRight >= 0) SetCropRight(o.CropRight);
  if (o.PadTop >= 0) SetPadTop(o.PadTop);
  if (o.PadBottom >= 0) SetPadBottom(o.PadBottom);
  if (o.PadLeft >= 0) SetPadLeft(o.PadLeft);
  if (o.PadRight >= 0) SetPadRight(o.PadRight);
  // There are no system colours here: the value is taken as RGB.
  if (o.PadColor != 0) SetPadColor(o.PadColor & 0xFFFFFF);
  // The group-of-pictures option is called "g" by today's libraries.
  if (o.GopSize > 0) SetGenericOptionInt("g", o.GopSize);
  if (o.VideoBitrate > 0) SetGenericOptionInt("vb", o.VideoBitrate);
  if (o.MaxRate > 0) SetGenericOptionInt("maxrate", o.MaxRate);
  if (o.MinRate > 0) SetGenericOptionInt("minrate", o.MinRate);
  if (o.BitrateTolerance > 0) SetGenericOptionInt("bt", o.BitrateTolerance);
  if (o.BufSize > 0) SetGenericOptionInt("bufsize", o.BufSize);
  if (o.VideoSyncMethod != -1) SetVideoSyncMethod(o.VideoSyncMethod);
  if (!o.VideoTag.empty()) SetVideoTag(o.VideoTag);
  if (!o.VideoFilters.empty()) SetVideoFilters(o.VideoFilters);

  if (o.SubtitleDisable) FSubtitleDisable = 1;
  if (!o.SubtitleLanguage.empty()) FSubtitleLanguage = o.SubtitleLanguage;
  if (o.CopyTs) FCopyTs = true;
  SetDurationMs(o.RecordingTimeMs);
  if (o.Timestamp == 0)
    FRecTimestamp = LocalDateTimeToUnix(NowAsDateTime());
  else if (o.Timestamp > 0)
    FRecTimestamp = LocalDateTimeToUnix(o.Timestamp);
  if (o.Year > 0) SetYear(o.Year);
  if (o.Track > 0) SetTrack(o.Track);
  SetTitle(TextOf(o.Title));
  SetAuthor(TextOf(o.Author));
  SetCopyright(TextOf(o.Copyright));
  SetComment(TextOf(o.Comment));
  SetAlbum(TextOf(o.Album));
  SetGenre(TextOf(o.Genre));

  if (o.TargetType >= 1 && o.TargetType <= 3) {
    static const char* const kTypes[] = {"vcd", "svcd", "dvd"};
    const char* norm = o.TargetNorm == 1 ? "pal" : (o.TargetNorm == 2 ? "ntsc" : "auto");
    const std::string type = kTypes[o.TargetType - 1];
    SetTarget(std::string(norm) == "auto" ? type : std::string(norm) + "-" + type);
  }

  if (o.CustomHook)
    FOnCustomHook = std::move(CustomHook);
  else if (o.BeforeHook)
    FOnBeforeHook = std::move(BeforeHook);
  else
    ParseHookRanges(o.HookRanges);
}

void TFFmpeg::ParseHookRanges(const std::string& Text) { SetHookSchedule(ParseHookRangeText(Text)); }

// ---------------------------------------------------------------------------
// TFFmpegList

TFFmpegList::~TFFmpegList() { Clear(); }

int TFFmpegList::Add(TFFmpeg* Task) {
  FItems.push_back(Task);
  const int index = Count() - 1;
  Task->Index = index;
  return index;
}

TFFmpeg* TFFmpegList::Items(int I) const {
  if (I < 0 || I >= Count()) return nullptr;
  return FItems[static_cast<size_t>(I)];
}

void TFFmpegList::Renumber(size_t From) {
  for (size_t i = From; i < FItems.size(); ++i) FItems[i]->Index = static_cast<int>(i);
}

TFFmpeg* TFFmpegList::Extract(int I) {
  if (I < 0 || I >= Count()) return nullptr;
  TFFmpeg* task = FItems[static_cast<size_t>(I)];
  FItems.erase(FItems.begin() + I);
  task->Index = -1;
  Renumber(static_cast<size_t>(I));
  return task;
}

void TFFmpegList::Delete(int I) { delete Extract(I); }

void TFFmpegList::Clear() {
  for (TFFmpeg* task : FItems) delete task;
  FItems.clear();
}

TFFmpeg* TFFmpegList::FindByThreadId(uint32_t Id) const {
  for (TFFmpeg* task : FItems)
    if (task->ThreadId == Id) return task;
  return nullptr;
}

int TFFmpegList::IndexOf(const TFFmpeg* Task) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i] == Task) return static_cast<int>(i);
  return -1;
}

// ---------------------------------------------------------------------------
// TLogList

TLogList::~TLogList() { Clear(); }

TLogList::TNode* TLogList::FindOrAdd(uint32_t ThreadId) {
  if (FFirst.ThreadId == 0 || FFirst.ThreadId == ThreadId) {
    FFirst.ThreadId = ThreadId;
    return &FFirst;
  }
  for (TNode* n = FFirst.Next; n; n = n->Next)
    if (n->ThreadId == ThreadId) return n;
  auto* node = new TNode;
  node->ThreadId = ThreadId;
  node->Next = FFirst.Next;
  FFirst.Next = node;
  return node;
}

void TLogList::Clear() {
  FFirst.ThreadId = 0;
  FFirst.Pending.clear();
  TNode* n = FFirst.Next;
  FFirst.Next = nullptr;
  while (n) {
    TNode* next = n->Next;
    delete n;
    n = next;
  }
}

int TLogList::NodeCount() const {
  int count = FFirst.ThreadId != 0 ? 1 : 0;
  for (const TNode* n = FFirst.Next; n; n = n->Next) ++count;
  return count;
}

// ---------------------------------------------------------------------------
// ConverterInstances

TConverterInstances& ConverterInstances() {
  // Never destroyed: threads that log during process exit may still use it.
  static TConverterInstances* instances = new TConverterInstances;
  return *instances;
}

void ClearLogTableOfInstances() { ConverterInstances().ClearLogTable(); }

void TConverterInstances::Add(TCustomQuilloConverter* Component) {
  std::lock_guard<std::mutex> guard(FLock);
  FComponents.push_back(Component);
}

void TConverterInstances::Remove(TCustomQuilloConverter* Component) {
  std::unique_lock<std::mutex> lock(FLock);
  // Out of the list first, so that no new dispatch picks it up; then wait for
  // the dispatches already running to it.
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), Component), FComponents.end());
  FIdle.wait(lock, [&] { return !Busy(Component); });
}

void TConverterInstances::EnterDispatch(TCustomQuilloConverter* Component) {
  for (auto& [c, n] : FBusy)
    if (c == Component) {
      ++n;
      return;
    }
  FBusy.emplace_back(Component, 1);
}

void TConverterInstances::LeaveDispatch(TCustomQuilloConverter* Component) {
  for (size_t i = 0; i < FBusy.size(); ++i)
    if (FBusy[i].first == Component && --FBusy[i].second == 0) {
      FBusy.erase(FBusy.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
}

bool TConverterInstances::Busy(TCustomQuilloConverter* Component) const {
  for (const auto& entry : FBusy)
    if (entry.first == Component) return true;
  return false;
}

int TConverterInstances::Count() const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<int>(FComponents.size());
}

std::vector<TCustomQuilloConverter*> TConverterInstances::Snapshot() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FComponents;
}

void TConverterInstances::ClearLogTable() {
  std::lock_guard<std::mutex> guard(FLock);
  FLogTable.Clear();
}

int TConverterInstances::LogTableNodeCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLogTable.NodeCount();
}

// ---------------------------------------------------------------------------
// The library log path

namespace {

// Length of the UTF-8 sequence that Lead starts (1 for anything else).
size_t Utf8SequenceLength(unsigned char Lead) {
  if (Lead >= 0xF0 && Lead < 0xF8) return 4;
  if (Lead >= 0xE0) return Lead < 0xF0 ? 3 : 1;
  if (Lead >= 0xC0) return 2;
  return 1;
}

// Shortens Text[From, Len) so that it does not end inside a UTF-8 sequence.
size_t CutAtCharacter(const char* Text, size_t From, size_t Len) {
  if (Len <= From) return Len;
  size_t i = Len - 1;
  while (i > From && (static_cast<unsigned char>(Text[i]) & 0xC0) == 0x80) --i;
  const auto lead = static_cast<unsigned char>(Text[i]);
  if ((lead & 0xC0) == 0x80) return Len;  // no lead byte at all: not UTF-8, keep as is
  return i + Utf8SequenceLength(lead) > Len ? i : Len;
}

}  // namespace

std::string FormatLogText(const void* Context, const std::string& Pending, const char* Format, va_list Args) {
  char buf[LOG_LINE_SIZE];
  std::memset(buf, 0, sizeof buf);
  size_t used = 0;
  const AVClass* cls = Context ? *static_cast<const AVClass* const*>(Context) : nullptr;
  if (cls && Pending.empty()) {
    const char* name = cls->item_name ? cls->item_name(const_cast<void*>(Context)) : cls->class_name;
    const int n = std::snprintf(buf, sizeof buf, "[%s @ %08" PRIXPTR "]", name ? name : "",
                                reinterpret_cast<uintptr_t>(cls));
    used = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buf - 1);
  } else if (!Pending.empty()) {
    used = std::min(Pending.size(), sizeof buf - 1);
    std::memcpy(buf, Pending.data(), used);
  }
  const size_t room = sizeof buf - used;
  va_list args;
  va_copy(args, Args);
  const int n = Format ? std::vsnprintf(buf + used, room, Format, args) : 0;
  va_end(args);
  size_t len = used + (n < 0 ? 0 : std::min(static_cast<size_t>(n), room - 1));
  len = strnlen(buf, len);  // the text ends at its first zero byte
  if (n >= 0 && static_cast<size_t>(n) >= room) {
    // Too long for one line: keep what fits, whole characters only, and end
    // the line there; the rest of the message is dropped.
    len = CutAtCharacter(buf, 0, std::min(len, sizeof buf - 2));
    if (len == 0 || buf[len - 1] != '\n') buf[len++] = '\n';
  }
  return std::string(buf, len);
}

void LogCallback(void* Context, int Level, const char* Format, va_list Args) {
  if (CachedLogLevel.load(std::memory_order_relaxed) < Level) return;
  TConverterInstances& instances = ConverterInstances();
  const uint32_t tid = CurrentThreadNumber();
  std::vector<std::string> lines;
  std::vector<TCustomQuilloConverter*> targets;
  {
    std::lock_guard<std::mutex> guard(instances.FLock);
    TLogList::TNode* node = instances.FLogTable.FindOrAdd(tid);
    std::string text = FormatLogText(Context, node->Pending, Format, Args);
    size_t start = 0;
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
      lines.emplace_back(text, start, lf - start);
      start = lf + 1;
    }
    node->Pending.assign(text, start, std::string::npos);
    if (!lines.empty()) {
      targets = instances.FComponents;
      for (TCustomQuilloConverter* c : targets) instances.EnterDispatch(c);
    }
  }
  if (targets.empty()) return;
  // Dispatched without the instance lock: a component's handlers run under its
  // FLock, and a thread holding an FLock may log at any time.
  for (const std::string& line : lines)
    for (TCustomQuilloConverter* c : targets) {
      try {
        DispatchLog(c, tid, Level, line);
      } catch (...) {
        // Nothing may unwind into the library that called us.
      }
    }
  {
    std::lock_guard<std::mutex> guard(instances.FLock);
    for (TCustomQuilloConverter* c : targets) instances.LeaveDispatch(c);
  }
  instances.FIdle.notify_all();
}

void DispatchLog(TCustomQuilloConverter* Component, uint32_t ThreadId, int Level, const std::string& Line) {
  Component->DispatchLibraryLine(ThreadId, Level, Line);
}
