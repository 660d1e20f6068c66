// The measured size estimate: a few short samples spread through a file are
// encoded with the batch's own settings, their packets counted (key pictures,
// other pictures, sound, and what the container adds), and the figures
// extrapolated to the file's whole length. The encoder spends less than the
// bitrate on quiet or simple pictures, so this is much closer to the real
// output than the bitrates over the duration (SizeEstimate.h).
//
// TSizeSampler runs the measuring on a thread of its own, through a converter
// component of its own whose tasks run at idle priority, one file at a time;
// it can be paused (while a batch converts) and cancelled, and hands each
// figure to a callback.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BatchSettings.h"
#include "Thread.h"

class TCustomQuilloConverter;

// A stretch of the source to encode, in microseconds from its start.
struct TSampleSpan {
  int64_t StartUs = 0;
  int64_t LengthUs = 0;  // 0: to the end
};
// The stretches measured for a file of DurationUs: the whole file when it is
// short (kWholeFileUs or less), else kSampleUs-long samples spread evenly
// through it, more of them for longer files (3 up to 8).
// Each sample's first kWarmUpUs only starts the encoder's rate control, which
// spends more at its start than it keeps up: of it, only the key picture is
// counted.
constexpr int64_t kWholeFileUs = 9'000'000;
constexpr int64_t kSampleUs = 3'000'000;
constexpr int64_t kWarmUpUs = 1'000'000;
std::vector<TSampleSpan> SampleSpans(int64_t DurationUs);

// The packets of one encoded sample.
struct TSampleBytes {
  int64_t FileBytes = 0;
  int64_t KeyBytes = 0, KeyPictures = 0;      // video key pictures
  int64_t OtherBytes = 0, OtherPictures = 0;  // the other video pictures
  int64_t AudioBytes = 0, AudioPackets = 0;
  int64_t SkippedBytes = 0, SkippedPackets = 0;  // the packets of the warm-up, not counted
  double Seconds = 0;  // the length counted
};
// Counts the packets of an encoded output, those of its first SkipSeconds
// (from its first picture) apart, but for key pictures; false when it cannot
// be read.
bool ReadSampleBytes(const std::string& Path, TSampleBytes& Bytes, double SkipSeconds = 0);

// The expected size of the whole output of DurationUs from its samples: the
// pictures at the samples' rate, the key pictures at one every GroupFrames
// pictures (12 for 0; plus the extra ones the samples had beyond their first,
// at their rate) at their mean size, the other pictures at theirs, the sound
// at its rate, the container's index per packet and its headers as the
// samples had them. A single sample covering the whole file is its own
// answer. -1 without samples.
//
// MeasureOutputBytes takes the lesser of this and the bitrate bound: over a
// whole file the rate control holds the output at the bitrate. And when the
// samples as a whole already spent kRateBoundShare of the bitrate or more,
// the encoder is held by the bitrate, not by the pictures: a short sample
// then spends its key picture's excess on the pictures after it, which a
// whole file spreads over its group, so the bound is the better figure. A
// file short enough to be encoded whole keeps its own size.
constexpr double kRateBoundShare = 1.0;
int64_t ExtrapolatedBytes(const std::vector<TSampleBytes>& Samples, int64_t DurationUs, int GroupFrames);

// How a measuring is held or cancelled from another thread: set a flag under
// Lock and notify Changed.
struct TSampleControl {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Paused = false;  // Lock
  bool Cancel = false;  // Lock
};

// Encodes the samples of File with Settings through Converter (on its owner's
// thread, with no other run of it going on) into TempFolder, one after
// another, reads and removes them, and returns the expected output bytes; -1
// when the file cannot be measured or Control was cancelled.
// RateShare, when given, receives what the samples spent as a share of the
// bitrate (0 when not known).
int64_t MeasureOutputBytes(TCustomQuilloConverter& Converter, const TBatchSettings& Settings,
                           const std::string& File, const std::string& TempFolder, TSampleControl& Control,
                           double* RateShare = nullptr);

// A new folder of its own for the samples below Parent (made as needed),
// removed with everything in it when this goes; Path() is empty when it
// could not be made.
class TSampleFolder {
public:
  explicit TSampleFolder(const std::string& Parent);
  ~TSampleFolder();
  TSampleFolder(const TSampleFolder&) = delete;
  TSampleFolder& operator=(const TSampleFolder&) = delete;
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
};

class TSizeSampler {
public:
  // Called on the sampler's thread with a file's measured bytes (-1: it could
  // not be measured), for the request Generation it was measured for; the
  // handler must not wait for the thread that calls Measure or Pause.
  using TMeasured = std::function<void(uint64_t Generation, const std::string& File, int64_t Bytes)>;
  // The samples are encoded into a new folder of their own below Parent
  // (made as needed), removed again by the destructor. The samples are encoded
  // at Priority: idle, so that they never slow what the user does, unless a
  // caller (a test on a busy machine) needs them measured in bounded time.
  TSizeSampler(const std::string& Parent, TMeasured OnMeasured, TThreadPriority Priority = tpIdle);
  // Cancels what is measured, waits for the thread and removes its folder.
  ~TSizeSampler();
  TSizeSampler(const TSizeSampler&) = delete;
  TSizeSampler& operator=(const TSizeSampler&) = delete;

  // Measures Files at Settings, in order, replacing any earlier request (the
  // file in hand is cancelled). Returns the request's generation.
  uint64_t Measure(const std::vector<std::string>& Files, const TBatchSettings& Settings);
  // Drops the request in hand.
  void Cancel();
  // Holds the measuring (the sample in hand holds before its next packet) or
  // lets it go on.
  void Pause(bool On);
  // Whether a file of the request is waiting or being measured (false from
  // just before the last figure is handed over).
  bool Busy() const;

private:
  void Run();

  const TSampleFolder FTempFolder;  // made by the constructor
  const TMeasured FOnMeasured;
  const TThreadPriority FPriority;
  // FControl.Lock guards the request; FControl.Changed also signals a request
  // or the end. FControl.Cancel is set for the file in hand and cleared when
  // the thread takes the next one.
  mutable TSampleControl FControl;
  std::deque<std::string> FFiles;  // FControl.Lock: the files still to measure
  TBatchSettings FSettings;        // FControl.Lock
  uint64_t FGeneration = 0;        // FControl.Lock
  bool FQuit = false;              // FControl.Lock
  bool FInHand = false;            // FControl.Lock: a file is being measured
  std::thread FThread;             // started last, joined by the destructor
};
