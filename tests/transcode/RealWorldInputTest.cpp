// Files as other muxers write them: DVD program streams, streams whose picture
// size or audio layout changes mid-stream, and timestamps that start late or
// jump. Each converts completely with the window's settings, to an output
// whose pictures, sound and duration follow the input.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "TestSupport.h"

namespace {

using RealWorldInputTest = TConversionTest;

std::string ReadBytes(const std::string& Path) {
  std::ifstream f(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Share of the energy of Samples (every Step-th value from First) at Hz.
double ToneShare(const std::vector<int16_t>& Samples, size_t First, size_t Step, size_t Count, double Hz, int Rate) {
  double re = 0, im = 0, energy = 0;
  for (size_t i = 0; i < Count && First + i * Step < Samples.size(); ++i) {
    const double v = Samples[First + i * Step];
    re += v * std::cos(2 * M_PI * Hz * static_cast<double>(i) / Rate);
    im += v * std::sin(2 * M_PI * Hz * static_cast<double>(i) / Rate);
    energy += v * v;
  }
  return energy > 0 ? 2 * (re * re + im * im) / (static_cast<double>(Count) * energy) : 0;
}

// The share of a decoded picture's luma samples that lie near the test
// pattern's gradient, which does not depend on the picture's size (the moving
// box covers a sixteenth of the picture).
double GradientShare(const AVFrame* F) {
  int near = 0, n = 0;
  for (int y = 2; y < F->height - 2; y += 4)
    for (int x = 2; x < F->width - 2; x += 4) {
      const double expected = 16 + x * 128.0 / (F->width - 1) + y * 64.0 / (F->height - 1);
      near += std::abs(F->data[0][y * F->linesize[0] + x] - expected) < 20 ? 1 : 0;
      ++n;
    }
  return static_cast<double>(near) / n;
}

TEST_F(RealWorldInputTest, ADvdProgramStreamConvertsCompletely) {
  // Navigation packets, MPEG-2 video, AC-3 5.1, a start time of about 0.5 s,
  // and audio timestamps only on some packets.
  TClipSpec recipe = ClipSpecByName("mpeg2_dvd_ac3_51");
  recipe.DurationSeconds = 8;
  const std::string in = MakeSpec(recipe);
  TConversion c;
  c.OutputOptions = WindowDefaults();
  const std::string out = Dir / "dvd.mp4";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  const TFileFacts f = ReadFacts(out);
  const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
  const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_NEAR(static_cast<double>(v->Packets), 8 * 30, 2);
  EXPECT_NEAR(static_cast<double>(a->EndUs), 8e6, 150000);
  EXPECT_NEAR(static_cast<double>(f.DurationUs), 8e6, 150000);
}

TEST_F(RealWorldInputTest, PictureSizeAndAudioLayoutChangesMidStreamKeepTheOutput) {
  // Two program streams one after the other, as a broadcast recording has
  // them: 176x144 with AC-3 5.1, then 160x120 with AC-3 stereo at 44.1 kHz.
  TClipSpec first = ClipSpecByName("mpeg2_dvd_ac3_51");
  first.Name = "first";
  first.FormatName = "mpeg";
  TClipSpec second = first;
  second.Name = "second";
  second.Width = 160;
  second.Height = 120;
  second.Channels = 2;
  second.SampleRate = 44100;
  // The muxer delays the first clip's timestamps by 0.54 s: the second goes on
  // from where the first ends.
  second.StartTimeUs = 1540000;
  const std::string joined = Dir / "joined.mpg";
  WriteFile(joined, ReadBytes(MakeSpec(first)) + ReadBytes(MakeSpec(second)));

  for (const bool filters : {false, true}) {
    SCOPED_TRACE(filters ? "through the filter graph" : "through the scaler");
    TConversion c;
    c.OutputOptions = WindowDefaults();
    if (filters) c.OutputOptions.push_back({"vfilters", "null"});
    const std::string out = Dir / (filters ? "filters.mp4" : "scaler.mp4");
    ASSERT_TRUE(Convert(joined, out, c)) << c.Error;

    const auto pictures = DecodeVideo(out, 1000);
    EXPECT_NEAR(static_cast<double>(pictures.size()), 2 * 30, 3);
    for (size_t i = 0; i < pictures.size(); i += 5) {
      SCOPED_TRACE("picture " + std::to_string(i));
      EXPECT_EQ(pictures[i]->width, 320);
      EXPECT_EQ(pictures[i]->height, 240);
      EXPECT_GT(GradientShare(pictures[i].get()), 0.88);
    }

    // The left channel carries the first channel's 440 Hz tone in both halves
    // (mixed with the centre and surround channels in the first).
    int channels = 0, rate = 0;
    const auto sound = DecodeAudio(out, channels, rate);
    ASSERT_EQ(channels, 2);
    EXPECT_NEAR(static_cast<double>(sound.size()) / 2 / rate, 2.0, 0.15);
    EXPECT_GT(ToneShare(sound, 2 * 8192, 2, 16384, 440, rate), 0.3) << "first half";
    EXPECT_GT(ToneShare(sound, 2 * 60000, 2, 16384, 440, rate), 0.3) << "second half";
  }
}

TEST_F(RealWorldInputTest, TimestampsFromOtherMuxersGiveABoundedOutputOfTheRightLength) {
  struct TCase {
    const char* Name;
    const char* Preset;
    int64_t VideoOffsetUs;
    int JumpFrame;
    int64_t JumpUs;
    double Seconds;  // what a player plays
  };
  const TCase cases[] = {
      // The video stamped 1000 hours after the audio.
      {"video_1000h_late", "wmv", int64_t{3600} * 1000 * 1000000, -1, 0, 2.0},
      // One picture stamped a minute ahead.
      {"picture_60s_ahead", "mp4", 0, 30, 60000000, 2.0},
      {"picture_60s_ahead_mkv", "mkv", 0, 30, 60000000, 2.0},
      // Video starting half a second after the audio: played from the audio's start.
      {"video_half_second_late", "mkv", 500000, -1, 0, 2.5},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TClipSpec recipe = ClipSpecByName(k.Preset);
    recipe.Name = k.Name;
    recipe.DurationSeconds = 2;
    recipe.VideoOffsetUs = k.VideoOffsetUs;
    recipe.JumpFrame = k.JumpFrame;
    recipe.JumpUs = k.JumpUs;
    const std::string in = MakeSpec(recipe);
    TConversion c;
    c.OutputOptions = WindowDefaults();
    const std::string out = Dir / (std::string(k.Name) + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    const TFileFacts f = ReadFacts(out);
    const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_NEAR(static_cast<double>(v->EndUs), k.Seconds * 1e6, 150000);
    EXPECT_NEAR(static_cast<double>(f.DurationUs), k.Seconds * 1e6, 150000);
    EXPECT_LT(a->EndUs, static_cast<int64_t>(k.Seconds * 1e6) + 150000);
  }
}

}  // namespace
