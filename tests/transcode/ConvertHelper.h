// End-to-end helpers: convert a file through the engine with given option
// lines, and read back what the output holds.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FFmpeg.h"
#include "MediaMaker.h"
#include "TestSupport.h"

struct TStreamFacts {
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::string Codec;
  int Width = 0, Height = 0;
  AVRational FrameRate{0, 1};
  int SampleRate = 0, Channels = 0;
  int Profile = 0;
  int64_t Packets = 0;
  int64_t Bytes = 0;
  int64_t FirstPts = AV_NOPTS_VALUE;  // microseconds
  int64_t EndUs = 0;                   // end of the last packet, microseconds
  bool FirstIsKey = false;
  bool HasBFrames = false;
};

struct TFileFacts {
  bool Opened = false;
  std::string Error;
  int64_t DurationUs = AV_NOPTS_VALUE;
  std::string CreationTime;  // the creation_time tag, when written
  std::vector<TStreamFacts> Streams;
  const TStreamFacts* First(AVMediaType Type) const;
};

// A decoded picture, freed with the library allocator.
struct TFrameDeleter {
  void operator()(AVFrame* F) const;
};
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;

// Decodes up to MaxFrames pictures of the first video stream of Path.
std::vector<TFramePtr> DecodeVideo(const std::string& Path, int MaxFrames);

// Decodes the first audio stream of Path into interleaved 16-bit samples;
// Channels and Rate receive its layout.
std::vector<int16_t> DecodeAudio(const std::string& Path, int& Channels, int& Rate);
// The same as floats, full scale 1.0, unclipped: a float stream's samples
// beyond full scale keep their values.
std::vector<float> DecodeAudioFloat(const std::string& Path, int& Channels, int& Rate);
// Level in dBFS of the tone of Hz in one channel of interleaved samples: one
// DFT bin over half a second from a quarter second in.
double ToneLevelDbfs(const std::vector<float>& Samples, int Channels, int Channel, double Hz, int Rate);

// Mean absolute difference of the luma of two pictures over a rectangle.
double LumaDifference(const AVFrame* A, int AX, int AY, const AVFrame* B, int BX, int BY, int W, int H);

// Every packet of the first stream of the given type, in file order, with its
// time and duration in microseconds.
struct TTimedPayload {
  int64_t StartUs;
  int64_t DurationUs;
  std::string Bytes;
};
std::vector<TTimedPayload> TimedPayloads(const std::string& Path, AVMediaType Type);

// Every packet's bytes of the first stream of the given type, in file order.
std::vector<std::string> PacketPayloads(const std::string& Path, AVMediaType Type);

// Opens Path and counts its packets per stream.
TFileFacts ReadFacts(const std::string& Path);

struct TConversion {
  std::vector<std::pair<std::string, std::string>> InputOptions;
  std::vector<std::pair<std::string, std::string>> OutputOptions;
  std::vector<std::pair<int, std::string>> Log;
  int Terminations = 0;
  bool Finished = false;
  bool Failed = false;
  std::string Error;
  int Progresses = 0;
  // Stamp the output with the current time, as the window's timestamp 0 asks.
  bool StampNow = false;
};

// One input of a conversion with the options given before it is opened.
struct TInput {
  std::string Path;
  std::vector<std::pair<std::string, std::string>> Options;
};

// Runs one conversion synchronously: for each input its options and
// OpenInputFile, then the output options, OpenOutputFile, Start. Engine (when
// given) is used instead of a fresh one, so a test can set events or fields
// first.
bool ConvertInputs(const std::vector<TInput>& Inputs, const std::string& Out, TConversion& C,
                   TCustomFFmpeg* Engine = nullptr);
// The same with one input and C.InputOptions.
bool Convert(const std::string& In, const std::string& Out, TConversion& C, TCustomFFmpeg* Engine = nullptr);

// The window's output settings for one file.
struct TWindowSettings {
  std::string Size = "320x240";
  std::string FrameRate = "30";  // "Auto": none handed on
  int Channels = 2;
  int VideoKbps = 512;
  int AudioKbps = 80;
  int SampleRate = 44100;
};

// The option set the window's per-file set-up hands to the engine, in its
// order: codecs "mpeg4" and "libfaac", channels, the two bit rates x 1000, the
// frame size text, the frame-rate text (none for "Auto"), the sample rate.
std::vector<std::pair<std::string, std::string>> WindowOptions(const TWindowSettings& Settings);

// The window's default settings: mpeg4 at 512 kbit/s, 320x240, 30 fps, AAC
// stereo at 80 kbit/s and 44100 Hz.
std::vector<std::pair<std::string, std::string>> WindowDefaults();

// A test with the libraries loaded, a temporary folder and clip makers.
class TConversionTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureLibrariesLoaded(); }
  // Writes the clip into the folder (named after it) and returns its path.
  std::string MakeSpec(const TClipSpec& ClipSpec) {
    const std::string path = Dir / (ClipSpec.Name + ClipSpec.Extension);
    std::string error;
    EXPECT_TRUE(MakeClip(ClipSpec, path, &error)) << error;
    return path;
  }
  std::string Make(const std::string& Preset) { return MakeSpec(ClipSpecByName(Preset)); }
  TTempDir Dir;
};
