// The transcoding engine: one object holds everything one conversion needs:
// the opened files, the option state, the per-stream records of a run, the
// statistics and the run state. Several engines may run at once on worker
// threads; the only state they share is the media library itself.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Bitmap.h"
#include "EncodeStage.h"
#include "EngineIO.h"
#include "FrameHook.h"
#include "MediaLibraries.h"
#include "PictureSubtitles.h"
#include "SourcePicture.h"
#include "SubtitleScript.h"
#include "Thread.h"

// ---------------------------------------------------------------------------
// Exceptions

// The common base of the program's own exceptions.
class Exception : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Raised inside the engine for a failure that ends a conversion.
class FFMpegException : public Exception {
public:
  using Exception::Exception;
};

// An assertion of the engine that failed (the tag handlers): the message has the
// form "<text> (FFmpeg, line <n>)".
class EAssertionFailed : public Exception {
public:
  using Exception::Exception;
};

// ---------------------------------------------------------------------------
// Limits of one engine

constexpr int MAX_FILES = 20;
constexpr int MAX_STREAMS = 20;
constexpr int MAX_STREAM_MAPS = MAX_FILES * MAX_STREAMS;
constexpr int MAX_META_DATA_MAPS = 20;
// Media types as the per-type tables index them (0 video, 1 audio, 2 data, 3 subtitle).
constexpr int MEDIA_TYPE_COUNT = 5;

// A table of at most N elements that takes memory only for the elements up to
// the highest one written: an engine that converts one file with one video and
// one audio stream (or that only waits for its turn) keeps none of the room for
// 400 stream maps or 20 x 20 filter chains. An element never written reads as
// a value-initialised T; iteration covers the elements made so far.
template <class T, size_t N>
class TGrowingArray {
public:
  T& operator[](size_t I) {
    if (I >= FItems.size()) FItems.resize(std::min(I + 1, N));
    return FItems.at(I);
  }
  const T& operator[](size_t I) const {
    static const T kNone{};
    return I < FItems.size() ? FItems[I] : kNone;
  }
  // Every element reads as Value afterwards (only T{} keeps no memory).
  void fill(const T& Value) {
    if (Value == T{}) {
      std::vector<T>().swap(FItems);
    } else {
      FItems.assign(N, Value);
    }
  }
  typename std::vector<T>::iterator begin() { return FItems.begin(); }
  typename std::vector<T>::iterator end() { return FItems.end(); }
  typename std::vector<T>::const_iterator begin() const { return FItems.begin(); }
  typename std::vector<T>::const_iterator end() const { return FItems.end(); }
  static constexpr size_t size() { return N; }

private:
  std::vector<T> FItems;
};

// ---------------------------------------------------------------------------
// Per-run records (built by the transcode set-up, used by the loop and paths)

struct TStreamMap {
  int FileIndex;
  int StreamIndex;
  int SyncFileIndex;
  int SyncStreamIndex;
  bool operator==(const TStreamMap&) const = default;
};

struct TMetaDataMap {
  int OutFile;
  int InFile;
};

struct InputFileState {
  int EofReached;
  int FirstStreamIndex;  // index of the file's first stream in the flat stream table
  int NbStreams;
};

struct InputStreamState {
  int FileIndex;
  int StreamIndex;
  AVStream* Stream;
  AVCodecContext* CodecCtx;  // the decoder context the engine keeps for this stream
  int Discard;
  int DecodingNeeded;
  int64_t Start;
  uint32_t FrameCount;
  int64_t NextPts;
  int64_t Pts;
  int IsStart;
  AVFilterContext* OutputVideoFilter;
  AVFilterContext* InputVideoFilter;
  // The graph's second source when picture subtitles are burned in: the
  // subtitle pictures for its overlay, one with each picture (owned by the
  // graph; the run's thread).
  AVFilterContext* SubtitleVideoFilter;
  AVFilterGraph* FilterGraph;
  AVFrame* FilterPicRef;
  // Today's decoding state: the decoded frame, and for audio the converter to
  // interleaved 16-bit samples at the decoder's rate, channel count and layout
  // (the form the audio path works on).
  AVFrame* DecodedFrame;
  SwrContext* ToS16;
  int ToS16Format;
  int ToS16Channels;
  int ToS16Rate;
  uint64_t ToS16Layout;
  int DecChannels;      // channel count and rate of the 16-bit samples handed on
  int DecRate;
  uint64_t DecLayout;   // their channel mask; 0: the default order for DecChannels
  // The centre and surround mix levels (gains) for a stereo mix that the
  // decoder reported with the last frame; negative: the stream signals none.
  double DecCentreMix;
  double DecSurroundMix;
  int RateEmu;          // the input asked for rate emulation
  int64_t RateEmuOrigin;  // first timestamp seen under rate emulation
  float Quality;        // quality of the last decoded picture
  int StartSeen;        // a timestamped packet of the stream was read
  int64_t StartShift;   // microseconds added to the stream's timestamps to align its start
  // The last packet's decoding time (microseconds) of a decoded video stream,
  // once PacketDtsSeen. Pts follows the pictures, which a decoder gives back
  // some packets later (more of them with more threads); the main loop looks
  // for timestamp discontinuities against this packet clock instead.
  int PacketDtsSeen;
  int64_t PacketDtsUs;
  // Video, decoding side: the turn the stream's display matrix asks for and
  // the HDR transfer to tone-map from (set up once), and the filter graph
  // that turns, deinterlaces and tone-maps its pictures before any output
  // sees them.
  TPictureTurn Turn;
  THdrTransfer Hdr;
  // The outputs turn their small pictures after scaling instead (set up
  // once): nothing looks at the pictures before (no hooks, no user filters)
  // and every output of the stream can.
  int TurnAfterScaling;
  // The outputs tone-map their small pictures after scaling instead (set up
  // once): an HDR source made smaller for every output, nothing looking at
  // its pictures before.
  int ToneMapAfterScaling;
  TPicturePreparation Preparation;
  // Video, decoding side (the run's thread). Decoded video whose first packet
  // carries no presentation time ahead of its decoding time
  // (TimedByDecodeOrder: AVI keeps only the decoding order) has its pictures
  // timed by the packet that let the decoder give each back: with reordered
  // pictures that packet comes a frame or more after the picture's own.
  // FirstDtsUs is the stream's first decoding time (once FirstDtsSeen), the
  // time of its first picture; ReorderDelayUs, known once ReorderDelayKnown,
  // is how far the first picture came later than that, taken off every picture.
  int FirstDtsSeen;
  int64_t FirstDtsUs;
  int TimedByDecodeOrder;
  int ReorderDelayKnown;
  int64_t ReorderDelayUs;
  // How long the last decoded picture lasts (microseconds): its duration, or
  // the stream's frame interval when it has none; 0 when neither is known.
  int64_t PictureDurationUs;
};

class TLevelStage;
struct TLoudness;

struct OutputStreamState {
  int FileIndex;
  int StreamIndex;
  int SourceIndex;
  AVStream* Stream;
  AVCodecContext* CodecCtx;  // the encoder context the engine keeps for this stream
  int EncodingNeeded;
  int FrameNumber;
  InputStreamState* SyncInput;
  int64_t SyncOpts;
  double SyncShift;        // frames added to the input position to step over timestamp discontinuities
  int VideoResample;
  AVFrame* PictTmp;
  SwsContext* ImgResampleCtx;
  // A change of matrix on a picture made smaller: ImgResampleCtx scales in
  // the source's matrix into ColourTmp (the output's size and format), then
  // ColourCtx converts the small picture's matrix. Decoding side.
  SwsContext* ColourCtx;
  AVFrame* ColourTmp;
  // The turn this output does on its scaled picture (none: the pictures come
  // turned): the scaler makes TurnTmp, the picture as stored at the output's
  // size, which is turned into place. Decoding side.
  TPictureTurn Turn;
  AVFrame* TurnTmp;
  // The HDR transfer this output tone-maps its scaled picture from (None:
  // the pictures come tone-mapped, or are SDR): the scaler makes ToneMapTmp,
  // the picture in the source's colours at the output's size (4:4:4, 16
  // bits), and ToneMapStep takes it to SDR BT.709. Decoding side.
  THdrTransfer ToneMap;
  AVFrame* ToneMapTmp;
  std::unique_ptr<TToneMapStep> ToneMapStep;
  // Burned-in subtitles on the small picture, when no user filters make a
  // graph of the pictures: buffer (the picture area's size, the encoder's
  // format) → subtitles filter or overlay → sink, run on each scaled picture
  // in place before the bars (owned here, the decoding side; freed with the
  // per-run tables). SubtitlePictures is the overlay's second source for
  // subtitles of pictures; SubtitleCount numbers the pictures given to it.
  AVFilterGraph* SubtitleGraph;
  AVFilterContext* SubtitleIn;
  AVFilterContext* SubtitleOut;
  AVFilterContext* SubtitlePictures;
  int64_t SubtitleCount;
  int ResampleHeight;
  // Size and format of the decoded pictures the scaler (or, with filters, the
  // filter graph) was made for; a picture that differs rebuilds them.
  int DecodedWidth;
  int DecodedHeight;
  int DecodedPixFmt;
  // The scaler's colour conversion, decided at set-up (decoding side).
  TColourPlan Colour;
  int VideoCrop;
  int TopBand;
  int LeftBand;
  int VideoPad;
  int PadTop;
  int PadBottom;
  int PadLeft;
  int PadRight;
  int AudioResample;
  SwrContext* Resample;
  int ResampleChannels;    // channel count and rate of the decoded audio Resample was made for
  int ResampleRate;
  uint64_t ResampleLayout;  // and its channel mask and mix levels (InputStreamState's Dec* fields)
  double ResampleCentreMix;
  double ResampleSurroundMix;
  AVAudioFifo* Fifo;
  FILE* LogFile;
  // Today's encoding state. With an encoding side on a thread of its own
  // (FEncodeStage), the fields marked "encoding side" belong to that thread
  // while it runs; the others to the run's thread.
  AVFrame* EncFrame;       // frame prepared for the encoder (audio: one encoder frame)
  AVPacket* EncPacket;     // encoding side: packet received from the encoder
  AVPacket* OutPacket;     // packet prepared for writing (copies, subtitles)
  // Pictures and sound frames made for the encoder that it (or the queue to
  // it) may still hold: the next one is made in one of them once it is free,
  // so none is copied and none allocated per frame.
  std::vector<AVFrame*> SpareFrames;
  int64_t EndPts;          // encoding side: running end time of what was written, stream time base
  int64_t AudioEndPts;     // end of the samples handed to the audio encoder, encoder time base
  float LastQuality;       // encoding side: quality of the last encoded picture (lambda units)
  int LastPictType;        // encoding side: its picture type
  uint64_t LastError[4];   // encoding side: its squared errors (PSNR)
  // Encoding side: the time and duration (encoder time-base units) of each
  // picture handed to the encoder whose packet has not come out yet; the
  // packet lasts as long as its picture.
  std::deque<std::pair<int64_t, int64_t>> PictureTicks;
  // The encoding side's figures above as the run's thread may read them while
  // that side runs: copied after each of its steps, under the stage's lock.
  struct TEncoderFigures {
    int64_t EndPts;
    float LastQuality;
    uint64_t LastError[4];
  } FiguresCopy;
  // Constant-rate video sync (decoding side: the run's thread). Output frame
  // k shows the picture on screen at the middle of its display interval,
  // k + 1/2 in encoder time-base units. SyncOpts counts the output frames
  // decided (those whose middle lies before the latest picture's time, and at
  // the end those before the last picture's end), SyncHandedOn the frames
  // handed to the encoding side. SyncPictures are the pictures that may
  // still be shown (references, in arrival order), with their time and end
  // in encoder time-base units, the quality they ask for and the frames that
  // showed them so far.
  struct TSyncPicture {
    AVFrame* Frame;
    double Position;
    double End;
    float Quality;
    int64_t Shown;
  };
  int64_t SyncHandedOn;
  std::vector<TSyncPicture> SyncPictures;
  // Audio (engine thread): the output reached the recording time; what came
  // before went out, nothing more is taken.
  int RecordingEnded;
  // Even loudness (engine thread): levels the sound on its way into Fifo;
  // owned, released with the per-run tables. nullptr: the sound as it is.
  TLevelStage* Level;
};

// ---------------------------------------------------------------------------
// Events (called on the thread that runs the engine, only when assigned)

class TCustomFFmpeg;

using TEngineLogEvent = std::function<void(TCustomFFmpeg* Sender, int Level, const std::string& Msg)>;
using TEngineProgressEvent =
    std::function<void(TCustomFFmpeg* Sender, int FrameNumber, int FPS, int CurrentDurationMs,
                       float Quality, float BitRate, int64_t CurrentSize, int TotalOutputDurationMs)>;
using TEngineTerminateEvent = std::function<void(TCustomFFmpeg* Sender)>;
using TEngineBeforeHookEvent =
    std::function<void(TCustomFFmpeg* Sender, int64_t Pts, THookAction& Action)>;
using TEngineCustomHookEvent =
    std::function<void(TCustomFFmpeg* Sender, TBitmap* Bitmap, int32_t FrameNumber, int64_t Pts,
                       bool& Update, bool& StopHook)>;

// The process-wide lock around every codec open and close and every stream probe.
std::mutex& CodecLock();

// The threads a video decoder of Width x Height pictures in Format gets on a
// machine of Cores cores: Count 0 lets the libraries choose (every core), Type
// the library's frame and slice threading flags.
struct TDecoderThreads {
  int Count;
  int Type;
};
TDecoderThreads DecoderThreadsFor(int Cores, AVPixelFormat Format, int Width, int Height);

// ---------------------------------------------------------------------------
// Worker threads

// Runs Run of its engine.
class TFFmpegThread : public TThread {
public:
  explicit TFFmpegThread(TCustomFFmpeg* Engine) : FEngine(Engine) {}

protected:
  void Execute() override;

private:
  TCustomFFmpeg* FEngine;
};

// Delivers the termination of an engine that never ran, from a thread of its own.
class TDoTerminateThread : public TThread {
public:
  explicit TDoTerminateThread(TCustomFFmpeg* Engine) : FEngine(Engine) {}

protected:
  void Execute() override;

private:
  TCustomFFmpeg* FEngine;
};

// Tracks the threads that still use an engine, so the engine is never freed
// under them. Shared with the threads, so it outlives an engine that a handler
// frees from the worker thread itself.
struct TWorkerGate {
  std::mutex Lock;
  std::condition_variable Done;
  int Active = 0;                       // guarded by Lock
  std::vector<std::thread::id> Workers;  // guarded by Lock: threads now inside the engine
};

// ---------------------------------------------------------------------------
// The engine

class TCustomFFmpeg {
public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();  // Destroy
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // Life cycle -------------------------------------------------------------
  void ResetOptions();
  void PrepareForTask();
  TFFmpegThread* Start(bool Async, TThreadPriority Priority = tpNormal);
  virtual void Run();
  void Stop();
  void StopOrTerminate();
  virtual void DoTerminate();
  void Cleanup();
  // Requests a stop and waits until no thread uses the engine any more (about a
  // second, longer only while a worker is still inside the engine). The
  // destructor calls it; a subclass whose run uses its own members calls it
  // first in its own destructor.
  void StopAndWait();

  // Input and output (built by the file routines) -------------------------
  bool OpenInputFile(const std::string& FileName);
  // The decoder context every reading of an input stream makes: Decoder with
  // the stream's parameters Par and time base, logging for this engine, with
  // the engine's decoder threads (sound on one thread: a decoder with frame
  // threads hands each sound frame back only after as many more packets as
  // it has threads less one, and the audio path times the samples by the
  // packets). Null when it cannot be made.
  AVCodecContext* NewDecoderContext(const AVCodec* Decoder, const AVCodecParameters* Par, AVRational TimeBase);
  // Builds an output file with its streams. The file itself is created here,
  // unless FCheckOutputsOnly is set: then it is only checked that it could be
  // created, and the run creates it when it starts.
  bool OpenOutputFile(const std::string& FileName);

  // Set-up that checks, then lets go ----------------------------------------
  // A caller that sets up many engines before the first one runs need not keep
  // them open: it sets an engine up as usual (with FCheckOutputsOnly, so that no
  // output file is made yet), then LetGo frees every file, codec and library
  // context the set-up opened. Start accepts the waiting engine; its run first
  // opens everything again in the same way (Reopen), and a failure there (a
  // file that changed or vanished meanwhile) is the run's error.
  void LetGo();
  bool Waiting() const { return FSetupState == ssWaiting; }

  // Run-state queries --------------------------------------------------------
  bool Running() const { return FRunning; }
  bool StopRequested() const { return FStopRequested; }
  // Pause holds the run's main loop before its next packet (from any thread,
  // also before Start: the run then holds at its first packet) until
  // Pause(false) or a stop. While it holds, nothing is read, decoded or
  // written, no progress is reported, and the run's clocks (its frames per
  // second, rate emulation) leave the paused time out.
  void Pause(bool On);
  bool Paused() const { return FPauseRequested; }
  bool Finished() const { return FFinished; }
  bool Terminated() const { return FTerminated; }
  bool ErrorOccurred() const { return FErrorOccurred; }
  std::string ErrorMessage() const { return FErrorMessage; }
  std::string LastError() const { return FLastError; }
  int TotalDurationMs() const { return FTotalDurationMs; }
  int InputFileCount() const { return FInputFileCount; }
  int OutputFileCount() const { return FOutputFileCount; }
  AVFormatContext* InputFile(int Index) const { return FInputFiles[Index]; }
  AVFormatContext* OutputFile(int Index) const { return FOutputFiles[Index]; }

  // Logging through FOnLog, when assigned.
  void Log(int Level, const std::string& Msg);
  void LogFmt(int Level, const char* Format, ...) __attribute__((format(printf, 3, 4)));

  // Events -------------------------------------------------------------------
  // Assigned by the owner before Start; afterwards read by the running thread.
  TEngineLogEvent FOnLog;
  TEngineProgressEvent FOnProgress;
  TEngineTerminateEvent FOnTerminate;
  TEngineBeforeHookEvent FOnBeforeHook;
  TEngineCustomHookEvent FOnCustomHook;

  // Minimum time between two progress events, microseconds. Set by the owner
  // before Start.
  int64_t FProgressInterval = 500000;

  // Threads of each decoder: 0 lets the libraries choose (one per core and
  // one more, frame and slice threading), 1 decodes on the run's own thread.
  // Decoded pictures are the same either way. Set by the owner before
  // OpenInputFile.
  int FDecoderThreadCount = 0;

  // 1: encoding and writing run on a thread of their own, beside the run's
  // thread that reads, decodes, keeps the pictures in step and scales (the
  // two meet in a queue of a few frames); 0: the run's thread does it all.
  // The file is the same byte for byte either way. Runs whose main loop
  // decides on what was written so far (a recording time, a file size limit,
  // several inputs read by output time, a video statistics file) keep one
  // thread. Not a user setting; set by the owner before Start.
  int FEncoderThread = 1;

  // 1: an HDR source made smaller is tone-mapped by each output on its small
  // picture, after scaling, when nothing looks at the pictures before (no
  // hooks, user's filters or cropping), for about a fifth of the processor
  // time; 0: its pictures are tone-mapped at their full size before anything
  // else sees them. The tone curve is not a straight line, so the two agree
  // within 2 levels only where the picture is even: at sharp edges, in fine
  // detail and grain the small picture's tone mapping differs by more (luma
  // PSNR 30-48 dB between the two), so full size stays the default. Not a
  // user setting (the benchmark's --hdr form compares the two); set by the
  // owner before Start.
  int FToneMapAtOutputSize = 0;

  // Each file of the engine declares its methods in its own section below, so
  // that work on one concern does not collide with another.

  // --- Option handlers (OptionHandlers.cpp) ---------------------------------
  // Each handler checks and converts one option value and stores it; a rejected
  // value raises FFMpegException (the tag handlers: EAssertionFailed).
  void SetFormat(const std::string& Name);
  void SetInputFormat(const std::string& Name);
  void SetOutputFormat(const std::string& Name);
  // Routes a name the engine does not know into the libraries' option system
  // (codec, format, scaler option contexts); false when nobody took it.
  bool SetGenericOption(const std::string& Name, const std::string& Value);
  bool SetGenericOptionInt(const std::string& Name, int Value);
  // Copies every collected generic option whose flags contain all bits of Flags
  // from OptCtx (an option context of PrepareForTask) onto Ctx (an AVClass object).
  void ApplyGenericOptions(void* Ctx, void* OptCtx, int Flags);
  // Sets FEncoderPrivateOptions on the encoder of Ctx where it has them.
  void ApplyEncoderPrivateOptions(AVCodecContext* Ctx);
  bool SetBitrate(const std::string& Name, const std::string& Value);
  void SetFrameRate(const std::string& Text);
  void SetFrameSize(const std::string& Text);
  void SetAspectRatio(const std::string& Text);
  void SetPixelFormat(const std::string& Name);
  void SetSampleFormat(const std::string& Name);
  void SetCropTop(int Size);
  void SetCropBottom(int Size);
  void SetCropLeft(int Size);
  void SetCropRight(int Size);
  void SetPadTop(int Size);
  void SetPadBottom(int Size);
  void SetPadLeft(int Size);
  void SetPadRight(int Size);
  // Colour: red in bits 0-7, green 8-15, blue 16-23.
  void SetPadColor(int Color);
  void SetVideoQScale(float Q);
  void SetVideoCodec(const std::string& Name);
  void SetAudioCodec(const std::string& Name);
  void SetSubtitleCodec(const std::string& Name);
  void SetVideoTag(const std::string& Text);
  void SetAudioTag(const std::string& Text);
  void SetVerbose(int Level);
  void SetPass(int Pass);
  void SetIntraMatrix(const std::string& Text);
  void SetInterMatrix(const std::string& Text);
  // Microseconds (a date counts from 1970).
  int64_t ParseTime(const std::string& OptionName, const std::string& Text, bool IsDuration);
  void SetRecordingTime(const std::string& Text);
  void SetDurationMs(int Ms);
  void SetStartTime(const std::string& Text);
  void SetInputTsOffset(const std::string& Text);
  void SetRecTimestamp(const std::string& Text);
  void SetKeepSourceDates(bool On) { FKeepSourceDates = On; }
  void SetRecordSource(bool On, std::string Shape = {}) {
    FRecordSource = On;
    FRecordShape = std::move(Shape);
  }
  // The first input's creation time in seconds since 1970 UTC (FKeepSourceDates),
  // and its file's modification time into FSourceFileTime; 0 when it has none.
  int64_t SourceCreationTime();
  void SetInputTsScale(const std::string& Text);
  void AddStreamMap(const std::string& Text);
  void AddMetaDataMap(const std::string& Text);
  // "auto" takes the norm from the frame rate or the inputs, else PAL when
  // PalWhenUnknown, else NTSC.
  void SetTarget(const std::string& Text, bool PalWhenUnknown = false);
  void SetVStatsFile(const std::string& FileName);
  void SetDefaultVStatsFile(bool On);
  void AddVideoHook(const std::string& Text);
  // Option "absf", "vbsf" or "sbsf": the first letter picks the chain.
  void AddBitstreamFilter(const std::string& OptionName, const std::string& Text);
  // Codec lookup by name; "libfaac" answers with the native AAC codec ("aac").
  // On failure FLastError holds the reason. Codec (optional) receives the codec.
  bool FindCodec(const std::string& Name, AVMediaType Type, bool Encoder, AVCodecID& CodecId,
                 const AVCodec** Codec = nullptr);
  // Plain setters (the component's record fields).
  void SetStartTimeUs(int64_t Value);
  void SetProgramId(int Value);
  void SetSampleRate(int Value);
  void SetChannels(int Value);
  void SetAudioVolume(int Value);
  // -70 to -5 LUFS; 0 turns the levelling off; other values are ignored.
  void SetLoudnessTarget(double Value);
  void SetAudioSyncMethod(int Value);
  void SetVideoSyncMethod(int Value);
  void SetMuxMaxDelay(float Value);
  void SetMuxPreload(float Value);
  void SetTitle(const std::string& Value);
  void SetAuthor(const std::string& Value);
  void SetCopyright(const std::string& Value);
  void SetComment(const std::string& Value);
  void SetGenre(const std::string& Value);
  void SetAlbum(const std::string& Value);
  void SetYear(int Value);
  void SetTrack(int Value);
  void SetVideoChannel(int Value);
  void SetVideoStandard(const std::string& Value);
  void SetVideoFilters(const std::string& Value);
  void SetMeThreshold(int Value);
  void SetTopFieldFirst(int Value);
  void SetRcOverride(const std::string& Value);
  // The vhook texts split into words; the words stay allocated while a hook
  // may use them (released once no hook is left, or with the engine).
  std::list<std::unique_ptr<char[]>> FHookArgTexts;

  // --- Option table and parser (OptionTable.cpp) ----------------------------
  // Applies one option (a name without its leading "-"): a row of the option
  // table, or else the libraries' option system (unknown names are dropped).
  // Raises on a bad value.
  void AddOption(const std::string& Name, const std::string& Value);
  // Splits an option text into name=value lines and applies them in order; the
  // first failing line ends the call with its exception (earlier lines stay).
  void ApplyExtraOptions(const std::string& Text);

  // --- Frame hooks and custom hooks (FrameHook.cpp) -------------------------
  // Copies the ranges, resets the schedule index, sorts by Stop ascending.
  void SetHookSchedule(const std::vector<HookRange>& Ranges);
  // The before-hook decision of one picture (Pts in microseconds): counts the
  // picture, asks FOnBeforeHook or the schedule, and answers whether the frame
  // hooks run on it (no custom hook, hooks in use, action haContinue).
  bool HookDecision(int64_t Pts);
  // The custom hook on a working picture: a BGR24 bitmap copy goes to
  // FOnCustomHook and, when the handler leaves Update set, comes back.
  void CustomHook(uint8_t* const Data[4], const int Linesize[4], int Width, int Height, int PixFmt,
                  int64_t Pts);
  void CustomHook(AVFrame* Frame, int64_t Pts);
  // The whole hook step of a picture: HookDecision, then the custom hook when
  // one is assigned, else the frame hooks when the decision allows them.
  void RunPictureHooks(uint8_t* const Data[4], const int Linesize[4], int Width, int Height, int PixFmt,
                       int64_t Pts);
  static TBitmap* CreateHookBitmap(int Width, int Height, TPixelFormat PixelFormat);

  // --- Input files (InputFile.cpp) ------------------------------------------
  // Each of the three flags is set to 1 when some opened input holds a stream of
  // that kind.
  void CheckInputStreamTypes(int& HasVideo, int& HasAudio, int& HasSubtitle);
  // Clears the selections that apply to one input only (formats, codec names,
  // channel, rate emulation).
  void ResetInputSelections();

  // --- Output files and streams (OutputFile.cpp) ----------------------------
  // The stream builders add one stream of their kind to oc, the output file
  // FileIndex (registered or about to be); they raise FFMpegException.
  void NewVideoStream(AVFormatContext* oc, int FileIndex);
  void NewAudioStream(AVFormatContext* oc, int FileIndex);
  void NewSubtitleStream(AVFormatContext* oc, int FileIndex);
  // newvideo, newaudio, newsubtitle: one more stream for the last output file.
  void AddVideoStreamToLast();
  void AddAudioStreamToLast();
  void AddSubtitleStreamToLast();
  // "start,end,q/..." entries; raises "error parsing rc_override".
  static std::vector<RcOverride> ParseRcOverride(const std::string& Text);
  // The single path of every packet to an output file: through the stream's
  // bitstream filters, then the interleaving writer. Takes the packet's data.
  // A packet without data or side data ends the stream: the filters give up
  // what they hold.
  void WriteFrame(AVFormatContext* OutputFile, AVPacket* Packet, std::vector<AVBSFContext*>& Chain,
                  AVCodecContext* Encoder);

  // --- Transcode set-up, main loop, audio, video, report ---------------------
  // Set-up (TranscodeSetup.cpp): its steps in order.
  void TranscodeSetup();
  void MakeInputStreams();   // the input stream records
  void MakeOutputStreams();  // the stream maps checked, the output stream records
  void ChooseSources();      // each output stream's source and sync stream
  // Output stream K: copied or encoded, its encoder's settings, filters or
  // scaler, two-pass statistics.
  void SetUpOutputStream(int K);
  void ChooseStepsAfterScaling();  // turn and tone-map after scaling where every output can
  void ListStreams();              // the outputs' listing and the stream mapping in the log
  void OpenCodecs();               // encoders, decoders, then subtitle encoders
  void OpenEncoder(OutputStreamState* Ost);
  void ResetInputClocks();
  void CopyMappedMetadata();
  void WriteHeaders();  // and the SDP of RTP outputs
  void MakeBitstreamFilters();
  bool ValidInputStream(int File, int Stream) const;
  void TranscodeLoop();  // MainLoop.cpp: the loop and the end of the run
  int FindProgramStream(AVMediaType CodecType);
  // Raises, naming the stream, when a stream to be decoded has no decoder, or
  // no known picture size and format (video) or sample format, rate and
  // channel count (audio).
  void RefuseUndecodableStream(const InputStreamState* Ist);
  int ConfigureVideoFilters(InputStreamState* Ist, OutputStreamState* Ost);
  // The subtitles filter for pictures PictureHeight lines high in a frame of
  // FrameHeight lines, in Graph; nullptr (said in the log) when the subtitles
  // cannot be read.
  AVFilterContext* SubtitleFilter(AVFilterGraph* Graph, int FrameHeight, int PictureWidth, int PictureHeight);
  // Gives the subtitle file up, said in the log, when it holds nothing to
  // burn in; else notes its character set.
  void CheckSubtitleFile();
  bool BurnsSubtitles() const { return (!FSubtitleFile.empty() || FSubtitleStream >= 0) && !FSubtitlesGivenUp; }
  // Picture subtitles (PictureSubtitles.cpp, the run's thread). Set-up step
  // after ChooseSources: a chosen subtitle track of pictures (DVD, PGS, DVB)
  // gets its decoder and is read with the video's file; a text track or file
  // stays with the subtitles filter.
  void ChoosePictureSubtitles();
  // The overlay that lays the subtitle pictures over Ist's pictures of
  // Width x Height in Graph, with their source; nullptr (said in the log)
  // when the graph cannot take it.
  AVFilterContext* SubtitleOverlay(AVFilterGraph* Graph, InputStreamState* Ist, int Width, int Height,
                                   AVColorSpace Matrix, AVFilterContext** Pictures);
  // The output's subtitle step (SubtitleGraph), for the direct path.
  void MakeSubtitleStep(InputStreamState* Ist, OutputStreamState* Ost);
  // Gives up the output's subtitle step, saying why.
  void DropSubtitleStep(OutputStreamState* Ost, const std::string& Why);
  // The subtitles of Picture's time laid on its scaled picture area, in place.
  void BurnSubtitlesInto(OutputStreamState* Ost, const AVFrame* Picture, uint8_t* const Area[4], const int Lines[4]);
  // Whether the direct path burns subtitles in with a step of its own.
  bool SubtitlesAfterScaling() const { return !FFiltersEnabled && BurnsSubtitles(); }
  // A packet of the subtitle track, read from input file FileIndex.
  void DecodePictureSubtitle(int FileIndex, AVPacket* Packet);
  std::unique_ptr<TPictureSubtitles> FPictureSubtitles;  // while a run burns a track of pictures in
  // The text subtitles a run burns in, read at its set-up (a file's, or the
  // input's track over the stretch converted) and written for the subtitles
  // filter of each graph; the run's thread.
  std::unique_ptr<TSubtitleScript> FSubtitleScript;
  void ReadSubtitleScript();
  int FPictureSubtitleStream = -1;  // the track's input stream record, -1: none
  int FPictureSubtitleVideo = -1;   // the video's input stream record, whose clock the track follows
  bool FPictureSubtitleFault = false;  // a packet could not be read (said once)
  // Decides whether pictures of this size and format need scaling to the
  // encoder's size and format, and makes the scaler and the temporary picture
  // (raises FFMpegException). Called at set-up and when the decoded pictures
  // change size or format mid-stream.
  void PrepareVideoScaler(OutputStreamState* Ost, int Width, int Height, int PixFmt);
  void ReleaseTranscodeTables();
  void AddOpenEncoder(OutputStreamState* Ost) { FOpenEncoders.push_front(Ost); }
  void AddOpenDecoder(InputStreamState* Ist) { FOpenDecoders.push_front(Ist); }
  void RemoveOpenEncoder(OutputStreamState* Ost);
  void RemoveOpenDecoder(InputStreamState* Ist);
  // Main loop (MainLoop.cpp): its steps.
  int NextInputFile(double& OptsMin);
  void ShiftPacketTimes(int FileIndex, InputStreamState* Ist, AVPacket* Pkt);
  // The input file's offset and scale applied to a packet of stream St just
  // read from it: every reading of input FileIndex (the conversion's and the
  // measuring pass's) puts its packets on the same time line with this.
  void OffsetPacketTimes(int FileIndex, const AVStream* St, AVPacket* Pkt) const;
  void FlushOutputs();
  int WriteTrailers();
  void CloseRunCodecs();
  int OutputPacket(InputStreamState* Ist, int IstIndex, AVPacket* Packet);
  // Resamples InSamples interleaved 16-bit samples (Buf null: what the
  // resampler still holds) into the stream's FIFO; the samples written, or < 0.
  int ConvertIntoFifo(OutputStreamState* Ost, const uint8_t* Buf, int InSamples);
  // Takes the stereo mix levels a decoder reports with Frame (AC-3 does) into
  // Ist, or marks them as not signalled.
  static void NoteMixLevels(InputStreamState* Ist, const AVFrame* Frame);
  // Makes the resampler from the decoded audio Ist hands on to the encoder's
  // format; a stereo mix takes the stream's mix levels and never exceeds full
  // scale. Logs what a downmix applied.
  void CreateResampler(OutputStreamState* Ost, const InputStreamState* Ist, int DecChannels, int DecRate);
  // The converter every reading of a source makes for the sound it hands to
  // an encoder (Enc's rate and layout, in OutFormat): from InFormat at InRate,
  // InChannels channels of the mask InMask (0: the default order), with the
  // stereo mix at the given centre and surround levels (negative: the usual
  // ones). A layout the library refuses is taken as the default layout for
  // the channel count; Refused then names both. The library's result.
  int OpenSoundConverter(SwrContext*& Swr, const AVCodecContext* Enc, AVSampleFormat OutFormat,
                         AVSampleFormat InFormat, int InRate, int InChannels, uint64_t InMask, double Centre,
                         double Surround, std::string* Refused = nullptr, uint64_t* UsedMask = nullptr) const;
  // Encodes Samples samples from the stream's FIFO and writes the packets.
  void EncodeAudioFrame(OutputStreamState* Ost, int Samples);
  // Encodes whole encoder frames of the FIFO (all of it for encoders of any frame size).
  void EncodeQueuedFrames(OutputStreamState* Ost);
  // Writes Packet to every stream-copy output of input stream IstIndex;
  // PacketTimeUs stands in for a missing dts.
  void CopyPacket(InputStreamState* Ist, int IstIndex, const AVPacket* Packet, int64_t PacketTimeUs);
  // A decoded picture goes through the turn and deinterlacing when it needs
  // them, then on to ShowDecodedVideo.
  void HandleDecodedVideo(InputStreamState* Ist, int IstIndex, AVFrame* Frame);
  void ShowDecodedVideo(InputStreamState* Ist, int IstIndex, AVFrame* Frame);
  // Hands on every picture the turn and deinterlacing have ready; AtEnd: after
  // the last decoded picture, everything they hold.
  void DrainPreparedVideo(InputStreamState* Ist, int IstIndex, bool AtEnd);
  // Hands a picture to every re-encoding output of input stream IstIndex.
  void FeedVideoOutputs(InputStreamState* Ist, int IstIndex, AVFrame* Picture);
  // Takes every picture the filter graph of the stream has ready.
  void DrainVideoFilter(InputStreamState* Ist, int IstIndex);
  void HandleDecodedAudio(InputStreamState* Ist, int IstIndex, AVFrame* Frame);
  void EmulateRate(InputStreamState* Ist);
  // Moves the timestamps of a stream that starts far from the file's start so
  // that it starts with the others (decided at its first timestamped packet).
  void AlignStreamStart(InputStreamState* Ist, AVPacket* Packet);
  // Writes an encoded or copied packet of Ost through its filters and the
  // interleaving writer, keeping the stream's running end time.
  void WriteStreamPacket(OutputStreamState* Ost, AVPacket* Packet);
  // Sends Frame (nullptr: drain) to the encoder of Ost and writes what comes
  // out; returns the bytes of the last packet written, or a negative library
  // error.
  int EncodeAndWrite(OutputStreamState* Ost, AVFrame* Frame);
  // Its two halves. EncodePackets sends Frame and hands each packet the
  // encoder gives to Take, stamped for the output stream (Take may keep its
  // reference); returns 0 or the library's error. WriteEncodedPacket takes
  // the packet's figures (quality, errors, byte counts, pass log) and writes it.
  int EncodePackets(OutputStreamState* Ost, AVFrame* Frame, const std::function<void(AVPacket*)>& Take);
  void WriteEncodedPacket(OutputStreamState* Ost, AVPacket* Packet);
  // Encoding side (EncodeSide.cpp). The run's thread hands over: a new
  // reference to Frame (nullptr ends the encoder's input) to the encoder of
  // Ost, or Packet (its reference moves, Packet is left empty) to be written,
  // its bytes counted as CountAs (0 video, 1 audio, -1 none). On one thread
  // this is done at once, and SubmitFrame returns the bytes written (else 0).
  int SubmitFrame(OutputStreamState* Ost, AVFrame* Frame);
  void SubmitPacket(OutputStreamState* Ost, AVPacket* Packet, int CountAs);
  // Encodes or writes one item; raises what ends the run.
  int ExecuteEncodeItem(TEncodeItem& Item);
  // An encoder's result R (negative: its error) for the stream of Ost:
  // raises what ends the run, logs what does not.
  void EncoderResult(OutputStreamState* Ost, int R, bool Draining);
  // Starts the encoding side's thread when this run may have one.
  void StartEncodeStage();
  // Waits for the encoding side to finish what it was given and ends it;
  // raises its failure.
  void FinishEncodeStage();
  // Ends the encoding side after its item in hand (a failure of the run's thread).
  void AbandonEncodeStage();
  // Raises the encoding side's failure and logs the lines it left.
  void CheckEncodeStage();
  // The encoding side's figures of a stream and the first output's size, as
  // the run's thread may read them now: while a stage runs, the copies made
  // after its last step.
  OutputStreamState::TEncoderFigures EncoderFiguresOf(const OutputStreamState* Ost);
  int64_t StageOutputFileSize();
  // The bytes the first output holds so far.
  int64_t OutputFileSize();
  // Current (a frame made for the encoder), writable: when the encoder still
  // holds it, a free spare of the same shape (or a new one) takes its place.
  AVFrame* WritableFrame(OutputStreamState* Ost, AVFrame*& Current);
  // Audio path (AudioPath.cpp)
  void DoAudioOut(OutputStreamState* Ost, int Size, uint8_t* Buf, InputStreamState* Ist);
  void FlushAudioFifo(OutputStreamState* Ost);
  // The timestamp of the next Samples samples handed to the audio encoder
  // (encoder time base): SyncOpts, but never before the end of those before.
  int64_t NextAudioPts(OutputStreamState* Ost, int Samples);
  // Video path (VideoPath.cpp)
  void PreProcessVideoFrame(InputStreamState* Ist, AVFrame*& Picture);
  void DoVideoOut(OutputStreamState* Ost, int& FrameSize, AVFrame* InPicture, InputStreamState* Ist);
  void DoSubtitleOut(OutputStreamState* Ost, int64_t Pts, AVSubtitle* Subtitle, InputStreamState* Ist);
  double SyncInputTime(OutputStreamState* Ost, int64_t StartTime) const;
  // Crops, scales and pads Picture and encodes it Count times, as the output
  // frames numbered from Ost->SyncHandedOn on.
  // Each frame lasts Ticks encoder time-base units.
  void WriteVideoPicture(OutputStreamState* Ost, AVFrame* Picture, float Quality, int64_t Count, int& FrameSize,
                         int64_t Ticks = 1);
  // Encodes the decided output frames whose picture is known; AtEnd: all of
  // them (no picture follows).
  void WriteDecidedFrames(OutputStreamState* Ost, bool AtEnd, int& FrameSize);
  // Encodes the output frames still waiting for their picture (end of input).
  void FlushVideoSync(OutputStreamState* Ost);
  // Decides the output frames up to Frames (a count), within the recording
  // time and the frame limit; never takes back frames decided before.
  void DecideSyncFrames(OutputStreamState* Ost, int64_t Frames);
  // Counts a picture that leaves the sync: dropped when no frame showed it,
  // duplicated when several did.
  void ForgetSyncPicture(const OutputStreamState::TSyncPicture& Picture);
  // Even loudness (Loudness.cpp): before the main loop, each re-encoded
  // audio output's source is measured in a pass of its own and the output
  // gets its level stage; the audio path queues its samples through it.
  void PrepareEvenLoudness();
  // Measures the source of Ost as the audio path converts it (through
  // Through first, when given); its progress runs from From to To of the
  // measuring share. False when the source cannot be read again or on a stop.
  // Why is set when false and no stop was requested.
  bool MeasureSourceLoudness(OutputStreamState* Ost, TLoudness& Result, std::string& Why,
                             TLevelStage* Through = nullptr, double From = 0, double To = 1);
  void QueueSamples(OutputStreamState* Ost, uint8_t** Data, int N);
  // Samples waiting for the encoder: in the queue and in the level stage.
  int64_t QueuedSamples(const OutputStreamState* Ost) const;
  void FinishLevelling(OutputStreamState* Ost);
  // The part of the progress the measuring pass took (0: none).
  double FLevelShare = 0;
  // Report (Report.cpp)
  void PrintReport(bool IsLast);
  void WriteVideoStats(OutputStreamState* Ost, int FrameSize);

  // Per-run tables: built by the set-up, released by ReleaseTranscodeTables.
  // Owned by the thread that runs the engine.
  std::vector<InputFileState> FFileTable;
  std::vector<InputStreamState*> FInputStreams;
  std::vector<OutputStreamState*> FOutputStreams;
  int64_t FLastReportTime = 0;
  // Holds the run's thread while it is paused (FPauseRequested) and moves the
  // run's clocks past the paused time.
  void HoldWhilePaused();
  // Buffers of the run's thread, kept per engine so that engines converting at
  // the same time never share them.
  std::vector<uint8_t> FDecodedAudio;  // decoded audio as interleaved 16-bit samples
  std::vector<uint8_t> FSilenceBuf;    // silence put in front of a late chunk
  std::vector<uint8_t> FAudioOutBuf;   // converted samples on their way to the FIFO
  std::array<int, 52> FQpHistogram{};  // quantiser histogram of the report
  AVFrame* FHookFrame = nullptr;       // the working copy of a pre-processed picture
  // The encoding side's thread while a run has one (made and ended by the
  // run's thread).
  std::unique_ptr<TEncodeStage> FEncodeStage;
  int64_t FStageOutputFileSize = 0;  // guarded by the stage's lock: the first output's size after its last step

protected:
  // The conversion itself: set-up, main loop and end (raises FFMpegException).
  virtual void Transcode();
  // Opens again, with the same settings, what LetGo let go: false, with the
  // reason in FLastError, when that fails. The engine keeps no record of how
  // it was set up, so it has nothing to reopen; a subclass that keeps one (the
  // component's task) replays it here.
  virtual bool Reopen();
  // Frees the files, codecs and option contexts and starts the option state
  // afresh (defaults, new option contexts), leaving the run state alone.
  void ResetSetup();
  // Creates the output files that the set-up only checked (raises on failure).
  void OpenCheckedOutputs();
  bool OpenOutputTarget(int Index, const std::string& FileName, std::string& Error);

  // Owned strings are copies made with the library allocator (nullptr = not set).
  static void SetOwnedString(char*& Field, const char* Value);
  static void FreeOwnedString(char*& Field);

  void CloseOpenEncoders();
  void CloseOpenDecoders();
  void FreeOptionContexts();
  void ReleaseOutputFiles();
  void ReleaseInputFiles();
  void ReleaseHookState();
  // Gives every output of a finished run its final name (raises on failure).
  void CommitOutputFiles();
  // "The unfinished output '<name>' (30.0 MB) could not be removed: <why>."
  // for each temporary output the run could not remove; empty when none.
  std::string LeftBehindNote() const;
  // The interrupt callback of every I/O context of the engine: a stop request
  // ends a blocked read or write.
  static int InterruptCallback(void* Engine);
  AVCodecContext* AddOutputStream(AVFormatContext* oc, int FileIndex, const AVCodec* Codec, AVStream*& Stream);
  void TakeBitstreamFilters(int FileIndex, int StreamIndex, std::vector<std::string>& Chain);

public:
  // ==========================================================================
  // Fields. Unless a comment says otherwise, a field belongs to the thread that
  // currently drives the engine: the owner's thread until Start, then the
  // worker (or the caller of a synchronous Start) until termination.
  // ==========================================================================

  // Group 1: files and maps
  std::array<AVFormatContext*, MAX_FILES> FInputFiles{};
  std::array<int64_t, MAX_FILES> FInputTsOffset{};
  // Where each input was sought to when it was opened (its start time plus
  // the input's start option), microseconds; AV_NOPTS_VALUE: not sought.
  std::array<int64_t, MAX_FILES> FInputSeekUs{};
  std::array<TGrowingArray<double, MAX_STREAMS>, MAX_FILES> FInputTsScale{};
  int FInputFileCount = 0;
  std::array<AVFormatContext*, MAX_FILES> FOutputFiles{};
  int FOutputFileCount = 0;
  TGrowingArray<TStreamMap, MAX_STREAM_MAPS> FStreamMaps;
  int FStreamMapCount = 0;
  std::array<TMetaDataMap, MAX_META_DATA_MAPS> FMetaDataMaps{};
  int FMetaDataMapCount = 0;
  // Decoder context per stream of each input file, and encoder context per
  // stream of each output file (today's streams carry only parameters). Owned
  // by the engine from opening until Cleanup.
  std::array<std::vector<AVCodecContext*>, MAX_FILES> FInputCodecs;
  std::array<std::vector<AVCodecContext*>, MAX_FILES> FOutputCodecs;
  // Per output file and stream: 1 when the stream is copied, not encoded.
  std::array<std::vector<int>, MAX_FILES> FOutputStreamCopy;
  // Per input file: rate emulation asked for when it was opened.
  std::array<int, MAX_FILES> FInputRateEmu{};
  // Per input file: the reader of a pipe or FIFO (unused for other inputs).
  std::array<TPipeInput, MAX_FILES> FInputPipes;
  // When set, the next OpenInputFile reads through this context instead of
  // opening the file (bytes held in memory); the caller frees it after Cleanup.
  AVIOContext* FInputIO = nullptr;
  // Per output file: where its bytes go until the run commits them.
  std::array<TOutputTarget, MAX_FILES> FOutputTargets;

  // Group 2: option state
  const AVInputFormat* FInputFormat = nullptr;
  const AVOutputFormat* FOutputFormat = nullptr;
  int FFrameWidth = 0;
  int FFrameHeight = 0;
  float FFrameAspectRatio = 0;
  int FFramePixFmt = -1;
  int FAudioSampleFmt = -1;
  int FFramePadTop = 0;
  int FFramePadBottom = 0;
  int FFramePadLeft = 0;
  int FFramePadRight = 0;
  std::array<int, 3> FPadColor{16, 128, 128};
  int FFrameTopBand = 0;
  int FFrameBottomBand = 0;
  int FFrameLeftBand = 0;
  int FFrameRightBand = 0;
  std::array<int, 4> FMaxFrames{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
  AVRational FFrameRate{0, 0};
  float FVideoQScale = 0;
  uint16_t* FIntraMatrix = nullptr;  // 64 entries, library allocator
  uint16_t* FInterMatrix = nullptr;  // 64 entries, library allocator
  char* FVideoRcOverride = nullptr;
  int FVideoDisable = 0;
  int FVideoDiscard = 0;
  char* FVideoCodecName = nullptr;
  int FVideoCodecTag = 0;
  int FSameQuality = 0;
  int FDoDeinterlace = 0;
  int FTopFieldFirst = -1;
  int FMeThreshold = 0;
  int FIntraDcPrecision = 8;
  int FLoopInput = 0;
  int FLoopOutput = -1;
  // Generic options of the older libraries that are private options of
  // today's MPEG muxers and MPEG-2 encoder: set on the muxer, the encoder.
  int64_t FMuxRate = 0;      // bit/s; 0: the muxer's own choice
  bool FScanOffset = false;  // room for the SVCD scan offset user data
  // Option lines no generic context knows, in the order given: many encoder
  // options of the older libraries (lmin, mpeg_quant, ...) are private options
  // of today's encoders. Each encoder that has the name takes the value.
  std::vector<std::pair<std::string, std::string>> FEncoderPrivateOptions;
  int FQpHist = 0;
  std::string FVideoFilters;
  // Subtitles burned into the pictures (the libraries' subtitles filter, at
  // the end of the video filters, so at the picture's size within the bars):
  // the text of FSubtitleFile, or the FSubtitleStream-th subtitle stream (from
  // 0) of that file or, with no file, of the input. A file that cannot be
  // read is said once in the log and the run goes on without it
  // (FSubtitlesGivenUp). Set up on the owner's thread, read on the run's.
  std::string FSubtitleFile;
  int FSubtitleStream = -1;
  bool FSubtitlesGivenUp = false;
  // The character set of FSubtitleFile's text when the libraries cannot read
  // it as it is (SubtitleCharacterSet); set and read on the run's thread.
  std::string FSubtitleCharset;
  bool FFiltersEnabled = false;
  int FIntraOnly = 0;
  int FAudioSampleRate = 44100;
  float FAudioQScale = -99999.0f;
  int FAudioDisable = 0;
  int FAudioChannels = 2;
  char* FAudioCodecName = nullptr;
  int FAudioCodecTag = 0;
  std::string FAudioLanguage;
  int FSubtitleDisable = 0;
  char* FSubtitleCodecName = nullptr;
  std::string FSubtitleLanguage;
  float FMuxPreload = 0.5f;
  float FMuxMaxDelay = 0.7f;
  int64_t FRecordingTime = INT64_MAX;
  int64_t FStartTime = 0;
  int64_t FRecTimestamp = 0;
  // Keep the source's dates: the output's creation time (container and
  // streams) is the first input's own, its container's or a stream's
  // creation_time, else its file's modification time; a local output file
  // takes the input file's modification time. Set by OpenOutputFile.
  bool FKeepSourceDates = false;
  // Record the first input's name, size and modification time in the output's
  // metadata (SourceRecord.h), so that a later batch can tell it converted.
  bool FRecordSource = false;
  std::string FRecordShape;  // with FRecordSource: the settings that shaped the output
  bool FHasSourceFileTime = false;
  timespec FSourceFileTime{};
  int64_t FInputTsOffsetOpt = 0;
  std::string FTitle, FAuthor, FCopyright, FComment, FGenre, FAlbum;
  int FYear = 0;
  int FTrack = 0;
  int FDoHexDump = 0;
  int FDoPktDump = 0;
  int FDoPsnr = 0;
  int FDoPass = 0;
  std::string FPassLogFileName;
  int FAudioStreamCopy = 0;
  int FVideoStreamCopy = 0;
  int FSubtitleStreamCopy = 0;
  int FVideoSyncMethod = -1;
  int FAudioSyncMethod = 0;
  float FAudioDriftThreshold = 0.1f;
  bool FCopyTs = false;
  int FShortest = 0;
  int FVideoGlobalHeader = 0;
  char* FVStatsFileName = nullptr;
  int FProgramId = 0;
  // The audio stream (its index in the first input file) that audio outputs
  // take when no stream maps are given; -1: the first free audio stream.
  int FAudioSourceStream = -1;
  int FRateEmu = 0;
  int FVideoChannel = 0;
  char* FVideoStandard = nullptr;
  int FAudioVolume = 256;
  // The loudness (LUFS, -70 to -5) every re-encoded audio output is levelled
  // to; 0: the sound keeps its level.
  double FLoudnessTarget = 0;
  bool FExitOnError = false;
  bool FUsingVHook = false;
  int FVerbose = 1;
  int FThreadCount = 1;
  int FInputSync = 0;
  int64_t FLimitFileSize = 0;
  int FPgmYuvCompatibilityHack = 0;
  float FDtsDeltaThreshold = 10.0f;
  int FSwsFlags = SWS_BICUBIC;
  std::vector<std::string> FOptNames;
  // Bitstream filter chains of -vbsf/-absf/-sbsf: filter names with their
  // argument text ("name" or "name=args"), applied in order.
  std::vector<std::string> FVideoBitstreamFilters;
  std::vector<std::string> FAudioBitstreamFilters;
  std::vector<std::string> FSubtitleBitstreamFilters;

  // Group 3: library option contexts and transcode state
  std::array<AVCodecContext*, MEDIA_TYPE_COUNT> FCodecOpts{};
  AVFormatContext* FFormatOpts = nullptr;
  SwsContext* FSwsOpts = nullptr;
  // Per output file and stream: the bitstream filter chain asked for when the
  // stream was made, and the filter contexts made from it at set-up.
  std::array<TGrowingArray<std::vector<std::string>, MAX_STREAMS>, MAX_FILES> FBitstreamFilterNames;
  std::array<TGrowingArray<std::vector<AVBSFContext*>, MAX_STREAMS>, MAX_FILES> FBitstreamFilters;
  // Bytes encoded or copied: the encoding side's while it runs on its own thread.
  int64_t FVideoSize = 0;
  int64_t FAudioSize = 0;
  int64_t FExtraSize = 0;
  int FFramesDup = 0;
  int FFramesDrop = 0;
  int64_t FTimerStart = 0;
  FILE* FVStatsFile = nullptr;
  std::list<OutputStreamState*> FOpenEncoders;
  std::list<InputStreamState*> FOpenDecoders;
  // Hook state
  FrameHookEntry* FFrameHooks = nullptr;
  int32_t FHookFrameNumber = 0;
  THookAction FHookAction = haContinue;
  std::vector<HookRange> FHookSchedule;
  int32_t FHookScheduleIndex = 0;
  int32_t FHookScheduleCount = 0;
  TBitmap* FHookBitmap = nullptr;
  TPixelFormat FHookBitmapPixelFormat = pf24bit;
  int FHookRGBPixFmt = AV_PIX_FMT_BGR24;
  uint8_t* FRGBBuf = nullptr;
  int FRGBBufSize = 0;
  SwsContext* FToRGBCtx = nullptr;
  SwsContext* FFromRGBCtx = nullptr;

  // Group 4: run state
  // The states of an engine set up for one task, and the fields that hold them:
  //   set up   FSetupState ssOpen: the set-up calls opened the input and built
  //            the output (created, or only checked with FCheckOutputsOnly);
  //   waiting  FSetupState ssWaiting (after LetGo): no file, codec or library
  //            context is held, only the option state needed to reopen;
  //   running  FRunning: Start was accepted; a waiting engine reopens first;
  //   ended    FTerminated (how: FFinished, FErrorOccurred, FErrorMessage).
  // FSetupState and FCheckOutputsOnly belong to the owner's thread until Start,
  // then to the running thread.
  enum TSetupState { ssOpen, ssWaiting };
  TSetupState FSetupState = ssOpen;
  bool FCheckOutputsOnly = false;
  // FThread: written by Start (owner thread) and DoTerminate (worker); read by
  // Stop and Destroy on the owner thread. Guarded by FThreadLock.
  TFFmpegThread* FThread = nullptr;
  std::mutex FThreadLock;
  // The run flags cross threads (Stop sets FStopRequested while the worker polls
  // it; the owner reads the others after termination): atomics.
  std::atomic<bool> FRunning{false};
  std::atomic<bool> FStopRequested{false};
  // Pause: the flag is read by the loop once per pass without the lock; the
  // paused loop waits on FPauseChanged under FPauseLock, which Pause and Stop
  // notify after setting their flag under it.
  std::atomic<bool> FPauseRequested{false};
  std::mutex FPauseLock;
  std::condition_variable FPauseChanged;
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FErrorOccurred{false};
  // Set by the interrupt callback when a stop request ended an I/O call, so
  // the failure that follows counts as the stop it is.
  std::atomic<bool> FIOInterrupted{false};
  // Written by the running thread before DoTerminate; read by others after the
  // termination event.
  std::string FErrorMessage;
  int FTotalDurationMs = -1;
  std::string FLastError;  // owner thread during set-up; running thread during a run

private:
  std::shared_ptr<TWorkerGate> FGate = std::make_shared<TWorkerGate>();
  friend class TFFmpegThread;
  friend class TDoTerminateThread;
  // Registers a thread that will use this engine; it signs off through the gate.
  std::shared_ptr<TWorkerGate> EnterGate();
  void WaitForWorkers();
};
