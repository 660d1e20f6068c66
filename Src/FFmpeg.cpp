// The engine object: creation, option reset, preparation for a task, start,
// stop, run, termination, clean-up and destruction.
#include "FFmpeg.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "MyUtils.h"

std::mutex& CodecLock() {
  static std::mutex lock;
  return lock;
}

// ---------------------------------------------------------------------------
// Threads

namespace {

// Runs Body for Engine on the calling worker thread, registered with the
// engine's gate from start to end. The gate is held by this function, not the
// engine: a termination handler may free the engine inside Body.
template <class F>
void RunInsideGate(const std::shared_ptr<TWorkerGate>& Gate, F Body) {
  std::shared_ptr<TWorkerGate> gate = Gate;
  {
    std::lock_guard<std::mutex> guard(gate->Lock);
    gate->Workers.push_back(std::this_thread::get_id());
  }
  try {
    Body();
  } catch (...) {
  }
  std::lock_guard<std::mutex> guard(gate->Lock);
  auto& w = gate->Workers;
  w.erase(std::find(w.begin(), w.end(), std::this_thread::get_id()));
  --gate->Active;
  gate->Done.notify_all();
}

}  // namespace

void TFFmpegThread::Execute() {
  TCustomFFmpeg* engine = FEngine;
  RunInsideGate(engine->FGate, [engine] { engine->Run(); });
}

void TDoTerminateThread::Execute() {
  TCustomFFmpeg* engine = FEngine;
  RunInsideGate(engine->FGate, [engine] { engine->DoTerminate(); });
}

std::shared_ptr<TWorkerGate> TCustomFFmpeg::EnterGate() {
  std::lock_guard<std::mutex> guard(FGate->Lock);
  ++FGate->Active;
  return FGate;
}

void TCustomFFmpeg::WaitForWorkers() {
  std::unique_lock<std::mutex> lock(FGate->Lock);
  const auto self = std::this_thread::get_id();
  // Freed by a handler on its own worker thread: that thread leaves the engine
  // alone once the handler returns, so there is nothing to wait for.
  if (std::find(FGate->Workers.begin(), FGate->Workers.end(), self) != FGate->Workers.end()) return;
  // The stop request normally ends a run within a main-loop pass; wait for that
  // for about a second.
  FGate->Done.wait_for(lock, std::chrono::seconds(1), [this] { return FGate->Active == 0; });
  // A worker still inside the engine (a long library call) must not have the
  // engine freed under it: wait until it has left.
  FGate->Done.wait(lock, [this] { return FGate->Active == 0; });
}

// ---------------------------------------------------------------------------
// Creation and destruction

TCustomFFmpeg::TCustomFFmpeg() {
  FProgressInterval = 500000;
  FRunning = false;
  FStopRequested = false;
  FFinished = false;
  FTerminated = false;
  FTotalDurationMs = -1;
  FOpenEncoders.clear();
  FOpenDecoders.clear();
  ResetOptions();
}

void TCustomFFmpeg::StopAndWait() {
  Stop();
  WaitForWorkers();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  StopAndWait();
  Cleanup();
  SetLogOwner(this, 0);
  // Cleanup does nothing while the libraries are unloaded; whatever then
  // remains was made with the library allocator and cannot be released.
}

// ---------------------------------------------------------------------------
// Options

void TCustomFFmpeg::SetOwnedString(char*& Field, const char* Value) {
  FreeOwnedString(Field);
  if (Value) Field = ff::av_strdup(Value);
}

void TCustomFFmpeg::FreeOwnedString(char*& Field) {
  if (Field) ff::av_freep(&Field);
  Field = nullptr;
}

void TCustomFFmpeg::ResetOptions() {
  // Group 1
  FInputFiles.fill(nullptr);
  FInputTsOffset.fill(0);
  FInputSeekUs.fill(AV_NOPTS_VALUE);
  FInputRateEmu.fill(0);
  for (auto& row : FInputTsScale) row.fill(0.0);
  FInputFileCount = 0;
  FOutputFiles.fill(nullptr);
  FOutputFileCount = 0;
  FStreamMaps.fill(TStreamMap{});
  FStreamMapCount = 0;
  FMetaDataMaps.fill(TMetaDataMap{});
  FMetaDataMapCount = 0;

  // Group 2. Owned strings and matrices are released by Cleanup; Reset only
  // forgets pointers that Cleanup already freed (it runs first in
  // PrepareForTask), so nothing is lost here.
  FInputFormat = nullptr;
  FOutputFormat = nullptr;
  FFrameWidth = 0;
  FFrameHeight = 0;
  FFrameAspectRatio = 0;
  FFramePixFmt = -1;
  FAudioSampleFmt = -1;
  FFramePadTop = FFramePadBottom = FFramePadLeft = FFramePadRight = 0;
  FPadColor = {16, 128, 128};
  FFrameTopBand = FFrameBottomBand = FFrameLeftBand = FFrameRightBand = 0;
  FMaxFrames.fill(INT32_MAX);
  FFrameRate = AVRational{0, 0};
  FVideoQScale = 0;
  FIntraMatrix = nullptr;
  FInterMatrix = nullptr;
  FVideoRcOverride = nullptr;
  FVideoDisable = 0;
  FVideoDiscard = 0;
  FVideoCodecName = nullptr;
  FVideoCodecTag = 0;
  FSameQuality = 0;
  FDoDeinterlace = 0;
  FTopFieldFirst = -1;
  FMeThreshold = 0;
  FIntraDcPrecision = 8;
  FLoopInput = 0;
  FLoopOutput = -1;
  FMuxRate = 0;
  FEncoderPrivateOptions.clear();
  FScanOffset = false;
  FQpHist = 0;
  FVideoFilters.clear();
  FSubtitleFile.clear();
  FSubtitleStream = -1;
  FSubtitlesGivenUp = false;
  FSubtitleCharset.clear();
  FFiltersEnabled = false;
  FIntraOnly = 0;
  FAudioSampleRate = 44100;
  FAudioQScale = -99999.0f;
  FAudioDisable = 0;
  FAudioChannels = 2;
  FAudioCodecName = nullptr;
  FAudioCodecTag = 0;
  FAudioLanguage.clear();
  FSubtitleDisable = 0;
  FSubtitleCodecName = nullptr;
  FSubtitleLanguage.clear();
  FMuxPreload = 0.5f;
  FMuxMaxDelay = 0.7f;
  FRecordingTime = INT64_MAX;
  FStartTime = 0;
  FRecTimestamp = 0;
  FKeepSourceDates = false;
  FRecordSource = false;
  FRecordShape.clear();
  FHasSourceFileTime = false;
  FSourceFileTime = {};
  FInputTsOffsetOpt = 0;
  FTitle.clear();
  FAuthor.clear();
  FCopyright.clear();
  FComment.clear();
  FGenre.clear();
  FAlbum.clear();
  FYear = 0;
  FTrack = 0;
  FDoHexDump = 0;
  FDoPktDump = 0;
  FDoPsnr = 0;
  FDoPass = 0;
  FPassLogFileName.clear();
  FAudioStreamCopy = 0;
  FVideoStreamCopy = 0;
  FSubtitleStreamCopy = 0;
  FVideoSyncMethod = -1;
  FAudioSyncMethod = 0;
  FAudioDriftThreshold = 0.1f;
  FCopyTs = false;
  FShortest = 0;
  FVideoGlobalHeader = 0;
  FVStatsFileName = nullptr;
  FProgramId = 0;
  FAudioSourceStream = -1;
  FRateEmu = 0;
  FVideoChannel = 0;
  FVideoStandard = nullptr;
  FAudioVolume = 256;
  FLoudnessTarget = 0;
  FExitOnError = false;
  FUsingVHook = false;
  FVerbose = 1;
  FThreadCount = 1;
  FInputSync = 0;
  FLimitFileSize = 0;
  FPgmYuvCompatibilityHack = 0;
  FDtsDeltaThreshold = 10.0f;
  FSwsFlags = SWS_BICUBIC;
  FOptNames.clear();
  FVideoBitstreamFilters.clear();
  FAudioBitstreamFilters.clear();
  FSubtitleBitstreamFilters.clear();

  // Group 3
  FCodecOpts.fill(nullptr);
  FFormatOpts = nullptr;
  FSwsOpts = nullptr;
  FVideoSize = FAudioSize = FExtraSize = 0;
  FFramesDup = FFramesDrop = 0;
  FVStatsFile = nullptr;
  FFrameHooks = nullptr;
  FHookFrameNumber = 0;
  FHookAction = haContinue;
  FHookSchedule.clear();
  FHookScheduleIndex = 0;
  FHookScheduleCount = 0;
  FHookBitmap = nullptr;
  FHookBitmapPixelFormat = pf24bit;
  FHookRGBPixFmt = AV_PIX_FMT_BGR24;
  FRGBBuf = nullptr;
  FRGBBufSize = 0;
  FToRGBCtx = nullptr;
  FFromRGBCtx = nullptr;

  FErrorOccurred = false;
}

void TCustomFFmpeg::PrepareForTask() {
  if (!FFmpegLibrariesLoaded()) return;
  FRunning = false;
  FStopRequested = false;
  FFinished = false;
  FTerminated = false;
  FErrorMessage.clear();
  ResetSetup();
}

void TCustomFFmpeg::ResetSetup() {
  Cleanup();
  ResetOptions();
  FSetupState = ssOpen;
  FCheckOutputsOnly = false;
  FTotalDurationMs = -1;
  FLastError.clear();

  // Option contexts that collect the generic options of each media type, of
  // the formats and of the scaler until the real contexts are made.
  for (int i = 0; i < MEDIA_TYPE_COUNT; ++i) {
    FCodecOpts[i] = ff::avcodec_alloc_context3(nullptr);
    if (FCodecOpts[i]) FCodecOpts[i]->codec_type = static_cast<AVMediaType>(i);
  }
  FFormatOpts = ff::avformat_alloc_context();
  FSwsOpts = ff::sws_alloc_context();
  if (FSwsOpts) ff::av_opt_set_int(FSwsOpts, "sws_flags", FSwsFlags, 0);
}

// ---------------------------------------------------------------------------
// Logging

void TCustomFFmpeg::Log(int Level, const std::string& Msg) {
  if (!FOnLog) return;
  // The engine's events come from the run's thread only: the encoding side's
  // lines wait for it.
  if (FEncodeStage && FEncodeStage->OnStageThread()) {
    FEncodeStage->DeferLog(Level, Msg);
    return;
  }
  FOnLog(this, Level, Msg);
}

void TCustomFFmpeg::LogFmt(int Level, const char* Format, ...) {
  if (!FOnLog) return;
  char buf[2048];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(buf, sizeof buf, Format, args);
  va_end(args);
  Log(Level, buf);
}

// ---------------------------------------------------------------------------
// Start, run, stop, terminate

TFFmpegThread* TCustomFFmpeg::Start(bool Async, TThreadPriority Priority) {
  if (FRunning || FTerminated) return nullptr;
  const char* missing = nullptr;
  // A waiting engine had its files when it was set up; the run reopens them.
  if (FSetupState != ssWaiting) {
    if (FOutputFileCount <= 0)
      missing = "Must supply at least one output file";
    else if (FInputFileCount == 0)
      missing = "Must supply at least one input file";
  }
  if (missing) {
    Cleanup();
    Log(-1, missing);
    FErrorOccurred = true;
    FErrorMessage = missing;
    DoTerminate();
    return nullptr;
  }
  FRunning = true;
  FStopRequested = false;
  FFinished = false;
  FTerminated = false;
  FIOInterrupted = false;
  if (!Async) {
    Run();
    return nullptr;
  }
  auto* thread = new TFFmpegThread(this);
  thread->SetPriority(Priority);
  thread->SetFreeOnTerminate(true);
  EnterGate();
  std::lock_guard<std::mutex> guard(FThreadLock);
  FThread = thread;
  return thread;
}

void TCustomFFmpeg::Run() {
  FFinished = false;
#ifdef __GLIBC__
  // What the set-up freed (the probe's decoding, the check of the files on the
  // owner's thread) goes back to the system first: the run allocates from
  // this thread's own pool of the allocator, and would otherwise stand on
  // top of those pages (7 MB of 101 on 1080p H.264).
  malloc_trim(0);
#endif
  // Lines the codecs' own threads log belong to this thread's conversion, as
  // long as the codecs are open.
  SetLogOwner(this, CurrentThreadNumber());
  // FFMpegException and any other failure, of whatever type (an event handler
  // may throw anything), end the run as its error; a failure never passes for
  // a stop or a success, and clean-up and the termination event always follow.
  bool failed = false;
  std::string error;
  try {
    // A run started paused (its output folder gone, or its disk too full)
    // holds before it opens anything: its files are opened once it goes on.
    if (FPauseRequested) HoldWhilePaused();
    if (!FStopRequested) {
      if (FSetupState == ssWaiting) {
        FSetupState = ssOpen;
        if (!Reopen())
          throw FFMpegException(FLastError.empty() ? "The files of the task could not be opened again" : FLastError);
      }
      OpenCheckedOutputs();
      Transcode();
      // Only a finished run gives its outputs their final names.
      if (FFinished) CommitOutputFiles();
    }
  } catch (const std::exception& e) {
    if (FStopRequested && FIOInterrupted) {
      // The stop request ended a read or write: the run was stopped.
      FFinished = false;
    } else {
      failed = true;
      error = e.what();
    }
  } catch (...) {
    failed = true;
    error = "Unknown exception";
  }
  if (failed) {
    try {
      Log(-1, error);
    } catch (...) {
      // The log handler failing too must not skip the clean-up.
    }
    FErrorMessage = error;
    FErrorOccurred = true;
  }
  CloseOpenEncoders();
  CloseOpenDecoders();
  Cleanup();
  // A temporary output left on the disk is named in the run's message, also
  // when the run was stopped: the user has to remove it.
  if (const std::string left = LeftBehindNote(); !left.empty())
    FErrorMessage = FErrorMessage.empty() ? left : FErrorMessage + "\n" + left;
  SetLogOwner(this, 0);
#ifdef __GLIBC__
  // The run's memory goes back to the system now. The next task of a batch
  // starts on a new thread while this one ends, and so allocates from another
  // of the allocator's per-thread pools: without this, a long batch would
  // hold the freed pages of two conversions at once.
  malloc_trim(0);
#endif
  DoTerminate();
}

int TCustomFFmpeg::InterruptCallback(void* Engine) {
  auto* engine = static_cast<TCustomFFmpeg*>(Engine);
  if (!engine->FStopRequested) return 0;
  engine->FIOInterrupted = true;
  return 1;
}

void TCustomFFmpeg::CommitOutputFiles() {
  for (int i = 0; i < FOutputFileCount; ++i) {
    AVFormatContext* oc = FOutputFiles[i];
    if (!oc || (oc->oformat->flags & AVFMT_NOFILE)) continue;
    try {
      FOutputTargets[i].Commit(&oc->pb);
    } catch (...) {
      FFinished = false;
      throw;
    }
  }
}

std::string TCustomFFmpeg::LeftBehindNote() const {
  std::string note;
  for (const TOutputTarget& target : FOutputTargets) {
    if (target.LeftBehind().empty()) continue;
    const double size = static_cast<double>(target.LeftBehindSize());
    char amount[32];
    if (size >= 1e9)
      std::snprintf(amount, sizeof amount, "%.1f GB", size / 1e9);
    else if (size >= 1e6)
      std::snprintf(amount, sizeof amount, "%.1f MB", size / 1e6);
    else if (size >= 1e3)
      std::snprintf(amount, sizeof amount, "%.1f kB", size / 1e3);
    else
      std::snprintf(amount, sizeof amount, "%lld bytes", static_cast<long long>(target.LeftBehindSize()));
    std::string why = target.LeftBehindReason();
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    note += std::string(note.empty() ? "" : "\n") + "The unfinished output '" + target.LeftBehind() + "' (" + amount +
            ") could not be removed: " + why + ".";
  }
  return note;
}

void TCustomFFmpeg::LetGo() {
  if (FRunning || FTerminated || !FFmpegLibrariesLoaded()) return;
  Cleanup();
  FCheckOutputsOnly = false;
  FSetupState = ssWaiting;
}

bool TCustomFFmpeg::Reopen() {
  FLastError = "The engine keeps no set-up to reopen";
  return false;
}

void TCustomFFmpeg::Pause(bool On) {
  std::lock_guard<std::mutex> guard(FPauseLock);
  FPauseRequested = On;
  FPauseChanged.notify_all();
}

void TCustomFFmpeg::HoldWhilePaused() {
  const int64_t from = ff::av_gettime();
  {
    std::unique_lock<std::mutex> lock(FPauseLock);
    FPauseChanged.wait(lock, [this] { return !FPauseRequested || FStopRequested; });
  }
  const int64_t paused = ff::av_gettime() - from;
  FTimerStart += paused;
  FLastReportTime += paused;
  for (InputStreamState* ist : FInputStreams) ist->Start += paused;
}

void TCustomFFmpeg::Stop() {
  {
    // Under the pause lock, so a paused loop cannot miss it.
    std::lock_guard<std::mutex> guard(FPauseLock);
    FStopRequested = true;
    FPauseChanged.notify_all();
  }
  std::lock_guard<std::mutex> guard(FThreadLock);
  if (FThread && FThread->Suspended()) FThread->Resume();
}

void TCustomFFmpeg::StopOrTerminate() {
  if (FRunning) {
    Stop();
  } else if (!FTerminated) {
    auto* thread = new TDoTerminateThread(this);
    thread->SetPriority(tpIdle);
    thread->SetFreeOnTerminate(true);
    EnterGate();
    thread->Resume();
  }
}

void TCustomFFmpeg::DoTerminate() {
  FRunning = false;
  FTerminated = true;
  {
    std::lock_guard<std::mutex> guard(FThreadLock);
    FThread = nullptr;
  }
  // The handler may free the engine: nothing after this call touches it.
  if (FOnTerminate) {
    TEngineTerminateEvent handler = FOnTerminate;
    try {
      handler(this);
    } catch (...) {
      // Nothing is left to report it to: the run is over.
    }
  }
}

// ---------------------------------------------------------------------------
// Clean-up

void TCustomFFmpeg::CloseOpenEncoders() {
  std::lock_guard<std::mutex> guard(CodecLock());
  for (OutputStreamState* ost : FOpenEncoders) {
    if (ost->EncodingNeeded && ost->CodecCtx) {
      ff::av_freep(&ost->CodecCtx->stats_in);
      ff::avcodec_close(ost->CodecCtx);
    }
  }
  FOpenEncoders.clear();
}

void TCustomFFmpeg::CloseOpenDecoders() {
  std::lock_guard<std::mutex> guard(CodecLock());
  for (InputStreamState* ist : FOpenDecoders) {
    if (ist->DecodingNeeded && ist->CodecCtx) ff::avcodec_close(ist->CodecCtx);
  }
  FOpenDecoders.clear();
}

void TCustomFFmpeg::FreeOptionContexts() {
  for (auto& ctx : FCodecOpts)
    if (ctx) ff::avcodec_free_context(&ctx);
  if (FFormatOpts) ff::avformat_free_context(FFormatOpts);
  FFormatOpts = nullptr;
  if (FSwsOpts) ff::sws_freeContext(FSwsOpts);
  FSwsOpts = nullptr;
}

void TCustomFFmpeg::ReleaseOutputFiles() {
  for (int i = 0; i < FOutputFileCount; ++i) {
    AVFormatContext* oc = FOutputFiles[i];
    for (auto& ctx : FOutputCodecs[i])
      if (ctx) ff::avcodec_free_context(&ctx);
    FOutputCodecs[i].clear();
    FOutputStreamCopy[i].clear();
    for (auto& chain : FBitstreamFilterNames[i]) chain.clear();
    for (auto& chain : FBitstreamFilters[i]) {
      for (auto& bsf : chain) ff::av_bsf_free(&bsf);
      chain.clear();
    }
    // What a finished run did not commit goes: a temporary file is removed and
    // the final name stays as it was before the run.
    const bool ownsFile = oc && oc->oformat && !(oc->oformat->flags & AVFMT_NOFILE);
    FOutputTargets[i].Discard(ownsFile ? &oc->pb : nullptr);
    if (!oc) continue;
    ff::avformat_free_context(oc);
    FOutputFiles[i] = nullptr;
  }
  FOutputFileCount = 0;
}

void TCustomFFmpeg::ReleaseInputFiles() {
  for (int i = 0; i < FInputFileCount; ++i) {
    for (auto& ctx : FInputCodecs[i])
      if (ctx) ff::avcodec_free_context(&ctx);
    FInputCodecs[i].clear();
    if (FInputFiles[i]) ff::avformat_close_input(&FInputFiles[i]);
    FInputPipes[i].Close();
  }
  FInputFileCount = 0;
}

void TCustomFFmpeg::ReleaseHookState() {
  ReleaseFrameHooks(FFrameHooks);
  delete FHookBitmap;
  FHookBitmap = nullptr;
  if (FRGBBuf) ff::av_freep(&FRGBBuf);
  FRGBBufSize = 0;
  if (FToRGBCtx) ff::sws_freeContext(FToRGBCtx);
  FToRGBCtx = nullptr;
  if (FFromRGBCtx) ff::sws_freeContext(FFromRGBCtx);
  FFromRGBCtx = nullptr;
}

void TCustomFFmpeg::Cleanup() {
  // The run's buffers go with it: an engine that has ended or waits holds none.
  std::vector<uint8_t>().swap(FDecodedAudio);
  std::vector<uint8_t>().swap(FSilenceBuf);
  std::vector<uint8_t>().swap(FAudioOutBuf);
  if (!FFmpegLibrariesLoaded()) return;
  FreeOptionContexts();
  ReleaseOutputFiles();
  ReleaseInputFiles();
  if (FIntraMatrix) ff::av_freep(&FIntraMatrix);
  if (FInterMatrix) ff::av_freep(&FInterMatrix);
  if (FVStatsFile) std::fclose(FVStatsFile);
  FVStatsFile = nullptr;
  FreeOwnedString(FVStatsFileName);
  FOptNames.clear();
  FreeOwnedString(FVideoCodecName);
  FreeOwnedString(FAudioCodecName);
  FreeOwnedString(FSubtitleCodecName);
  FreeOwnedString(FVideoStandard);
  FreeOwnedString(FVideoRcOverride);
  FAudioLanguage.clear();
  FSubtitleLanguage.clear();
  ReleaseHookState();
}
