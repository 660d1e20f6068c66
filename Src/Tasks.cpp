// The conversion task and the task list.
#include "Tasks.h"

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
  HandInputToEngine();
}

void TFFmpeg::HandInputToEngine() {
  const TInputOptions& o = InputOptions;
  ApplyExtraOptions(o.ExtraOptions);
  if (!o.FileFormat.empty()) SetInputFormat(o.FileFormat);
  SetStartTimeUs(static_cast<int64_t>(o.StartTimeMs) * 1000);
  SetProgramId(o.ProgramId);
}

void TFFmpeg::ApplyOutputOptions(const TOutputOptions& Options, TEngineBeforeHookEvent BeforeHook,
                                 TEngineCustomHookEvent CustomHook) {
  OutputOptions = Options;
  FAppliedNow = NowAsDateTime();
  HandOutputToEngine(std::move(BeforeHook), std::move(CustomHook));
}

void TFFmpeg::HandOutputToEngine(TEngineBeforeHookEvent BeforeHook, TEngineCustomHookEvent CustomHook) {
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
    FRecTimestamp = LocalDateTimeToUnix(FAppliedNow);
  else if (o.Timestamp > 0)
    FRecTimestamp = LocalDateTimeToUnix(o.Timestamp);
  if (o.KeepSourceDates) SetKeepSourceDates(true);
  if (o.RecordSource) SetRecordSource(true, o.RecordShape);
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
    SetTarget(std::string(norm) == "auto" ? type : std::string(norm) + "-" + type, o.DefaultNorm == 1);
  }

  if (o.CustomHook)
    FOnCustomHook = std::move(CustomHook);
  else if (o.BeforeHook)
    FOnBeforeHook = std::move(BeforeHook);
  else
    ParseHookRanges(o.HookRanges);
}

void TFFmpeg::ParseHookRanges(const std::string& Text) { SetHookSchedule(ParseHookRangeText(Text)); }

bool TFFmpeg::Reopen() {
  const int verbose = FVerbose;
  TEngineBeforeHookEvent beforeHook = FOnBeforeHook;
  TEngineCustomHookEvent customHook = FOnCustomHook;
  ResetSetup();
  FVerbose = verbose;
  HandInputToEngine();
  if (!OpenInputFile(FInputName)) return false;
  HandOutputToEngine(std::move(beforeHook), std::move(customHook));
  return OpenOutputFile(FOutputName);
}

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
