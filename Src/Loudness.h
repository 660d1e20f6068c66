// Even loudness: measuring a stream's sound (EBU R128 integrated loudness and
// true peak, through the libraries' ebur128 filter) and levelling it (a
// linear gain, with a peak limiter where the peaks do not allow the whole
// gain; the libraries' loudnorm filter for a stream that could not be
// measured first). Each object belongs to the thread that uses it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "MediaHeaders.h"

// The loudness a stream should come out at, and the highest true peak it may
// reach, measured on the encoded output. Lossy coding lifts the peaks: a
// linear gain alone is taken when it keeps them at kLinearPeakDbtp or below;
// else a limiter holds the samples at kLimiterPeakDbtp, as the sharp peaks that need it
// are lifted most (a clap by 1.5 dB at 80 kbit/s).
constexpr double kEvenLoudnessLufs = -16.0;
constexpr double kEvenTruePeakDbtp = -1.0;
constexpr double kLinearPeakDbtp = -1.5;
constexpr double kLimiterPeakDbtp = -3.0;
// The most a stream is raised: hiss or a far too quiet recording raised by
// 50 dB only makes the noise loud.
constexpr double kMostGainDb = 30.0;
// Quieter than this counts as silence (the measurement's absolute gate).
constexpr double kSilenceLufs = -70.0;
// The part of a conversion's progress that its measuring pass takes: reading
// and decoding the sound alone is about twenty times as fast as converting.
constexpr double kMeasuringShare = 0.05;

// The highest frequency the encoder of Enc keeps (0: all it can carry). The
// native AAC encoder drops the bands above a limit it works out from the
// bitrate per channel (13 kHz at 80 kbit/s stereo, 9.5 kHz at 32 kbit/s
// mono), so sound in those bands is not heard in its output.
int EncoderBandLimitHz(const AVCodecContext* Enc);

struct TLoudness {
  double Integrated = -HUGE_VAL;  // LUFS; -HUGE_VAL when nothing was heard
  double TruePeak = -HUGE_VAL;    // dBTP
};

// A small audio filter graph: source → the filters of Chain → sink, on one
// thread.
class TAudioGraph {
public:
  TAudioGraph() = default;
  ~TAudioGraph();
  TAudioGraph(const TAudioGraph&) = delete;
  TAudioGraph& operator=(const TAudioGraph&) = delete;
  // Samples of Format, Rate and Layout go in. False with the reason in Error.
  bool Open(AVSampleFormat Format, int Rate, const AVChannelLayout& Layout, const std::string& Chain,
            std::string& Error);
  // Takes N samples (one pointer per plane, or one for interleaved samples);
  // nullptr: the end of the samples.
  bool Send(const uint8_t* const* Data, int N);
  // The next frame the graph gives (Frame is unreferenced first); false when
  // it has none ready or at its end.
  bool Receive(AVFrame* Frame);
  // Samples sent and not yet received.
  int64_t Held() const { return FSent - FReceived; }

private:
  AVFilterGraph* FGraph = nullptr;
  AVFilterContext* FSource = nullptr;
  AVFilterContext* FSink = nullptr;
  AVFrame* FIn = nullptr;
  AVSampleFormat FFormat = AV_SAMPLE_FMT_NONE;
  int FRate = 0;
  AVChannelLayout FLayout{};
  int64_t FSent = 0;
  int64_t FReceived = 0;
};

// Measures the sound given to it.
class TLoudnessMeter {
public:
  TLoudnessMeter() = default;
  ~TLoudnessMeter();
  TLoudnessMeter(const TLoudnessMeter&) = delete;
  TLoudnessMeter& operator=(const TLoudnessMeter&) = delete;
  // BandLimitHz > 0: what lies above that frequency is not measured.
  bool Open(AVSampleFormat Format, int Rate, const AVChannelLayout& Layout, std::string& Error, int BandLimitHz = 0);
  bool Add(const uint8_t* const* Data, int N);
  // Ends the measurement and gives its result.
  TLoudness Finish();

private:
  void Read();
  TAudioGraph FGraph;
  AVFrame* FOut = nullptr;
  TLoudness FResult;
  // The measure needs 400 ms of sound: a shorter stream is measured as it
  // sounds played over and over, from the samples kept here (one buffer a
  // plane) while fewer than that came.
  AVSampleFormat FFormat = AV_SAMPLE_FMT_NONE;
  int FChannels = 0;
  int64_t FShortest = 0;  // samples in 400 ms
  int64_t FCount = 0;     // samples measured
  std::vector<std::vector<uint8_t>> FFirst;
};

// A look-ahead peak limiter on planar float samples: no sample leaves above
// the ceiling. The gain falls smoothly over the 5 ms before a peak (so the
// samples are held that long) and comes back over about a fifth of a second;
// where no peak is near, the samples pass as they are.
class TPeakLimiter {
public:
  TPeakLimiter(double CeilingDbfs, int Rate, int Channels);
  // Takes N samples (one pointer a channel) and appends the samples ready,
  // as many as come in once the first Latency() are held, to Out (one
  // vector a channel). Null Data: the end; what is held comes out.
  void Process(const float* const* Data, int N, std::vector<std::vector<float>>& Out);
  int Latency() const { return FLookahead; }
  // Samples whose gain was lowered, and the lowest gain (dB).
  int64_t Lowered() const { return FLowered; }
  double LowestGainDb() const { return 20 * std::log10(FLowest); }

private:
  void Take(const float* Frame, std::vector<std::vector<float>>& Out);
  float FCeiling;
  int FLookahead;
  int FChannels;
  double FRelease;
  std::vector<float> FDelay;        // the held samples, FLookahead + 1 frames in a ring
  std::vector<double> FRequired;    // each held frame's gain that keeps it at the ceiling, in a ring
  // The frames still in the look-ahead whose required gain no later one
  // undercuts (frame number, gain): the first is the lowest.
  std::deque<std::pair<int64_t, double>> FLowestAhead;
  std::vector<double> FWindowMin;   // the lowest required gain from each frame on, over the look-ahead, in a ring
  double FWindowSum = 0;            // of the last FLookahead of FWindowMin
  int64_t FIn = 0;                  // frames taken
  double FGain = 1;
  int64_t FLowered = 0;
  double FLowest = 1;
};

// Levels a stream's sound on its way to the encoder's queue, in the encoder's
// sample format, rate and layout.
class TLevelStage {
public:
  // A linear gain of GainDb.
  explicit TLevelStage(double GainDb) : FGain(std::pow(10.0, GainDb / 20.0)) {}
  // The loudnorm filter's dynamic levelling to TargetLufs with the true peak
  // at most PeakDbtp. False with the reason in Error.
  bool OpenDynamic(double TargetLufs, double PeakDbtp, AVSampleFormat Format, int Rate, const AVChannelLayout& Layout,
                   std::string& Error);
  ~TLevelStage();
  TLevelStage(const TLevelStage&) = delete;
  TLevelStage& operator=(const TLevelStage&) = delete;
  // Levels N samples of Data and writes what is ready into Fifo. False when the queue cannot grow.
  bool Process(const uint8_t* const* Data, int N, AVAudioFifo* Fifo, AVSampleFormat Format, int Channels);
  // The end of the sound: what the filter still holds goes into Fifo.
  bool Finish(AVAudioFifo* Fifo);
  // Samples taken and not yet written into the queue.
  int64_t Held() const { return FDynamic ? FGraph.Held() : FLimiter ? std::min<int64_t>(FLimited, FLimiter->Latency()) : 0; }
  bool Dynamic() const { return FDynamic; }
  // The linear gain's peaks held at CeilingDbfs by a limiter (planar float
  // samples only: the AAC encoder's).
  void Limit(double CeilingDbfs, int Rate, int Channels);
  const TPeakLimiter* Limiter() const { return FLimiter.get(); }

private:
  bool Drain(AVAudioFifo* Fifo);
  bool WriteLimited(AVAudioFifo* Fifo);
  std::unique_ptr<TPeakLimiter> FLimiter;
  int64_t FLimited = 0;  // samples given to the limiter
  std::vector<std::vector<float>> FLimiterOut;
  double FGain = 1.0;
  bool FDynamic = false;
  TAudioGraph FGraph;
  AVFrame* FOut = nullptr;
  std::vector<uint8_t> FCopy;  // the samples with the gain on them
};
