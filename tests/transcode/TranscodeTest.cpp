// End-to-end conversions through the engine, checked by re-opening the output.
#include <gtest/gtest.h>

#include <cmath>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

class TranscodeTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureLibrariesLoaded(); }

  std::string Make(const std::string& Preset, TClipSpec* ClipSpec = nullptr) {
    TClipSpec clipSpec = ClipSpecByName(Preset);
    if (ClipSpec) *ClipSpec = clipSpec;
    const std::string path = Dir / (Preset + clipSpec.Extension);
    std::string error;
    EXPECT_TRUE(MakeClip(clipSpec, path, &error)) << error;
    return path;
  }
  std::string MakeSpec(const TClipSpec& ClipSpec) {
    const std::string path = Dir / (ClipSpec.Name + ClipSpec.Extension);
    std::string error;
    EXPECT_TRUE(MakeClip(ClipSpec, path, &error)) << error;
    return path;
  }

  TTempDir Dir;
};

TEST_F(TranscodeTest, WindowDefaultsGivePortableMp4) {
  TClipSpec clipSpec;
  const std::string in = Make("avi_xvid", &clipSpec);
  TConversion c;
  c.OutputOptions = WindowDefaults();
  const std::string out = Dir / "out.mp4";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  EXPECT_TRUE(c.Finished);
  EXPECT_EQ(c.Terminations, 1);
  TFileFacts f = ReadFacts(out);
  ASSERT_TRUE(f.Opened);
  const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
  const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->Codec, "mpeg4");
  EXPECT_EQ(v->Width, 320);
  EXPECT_EQ(v->Height, 240);
  EXPECT_TRUE(v->FirstIsKey);
  EXPECT_FALSE(v->HasBFrames);
  EXPECT_NEAR(static_cast<double>(v->Packets), clipSpec.DurationSeconds * 30, 1.0);
  // The video is what the players take, and the libraries' own decoder reads
  // every picture without error.
  EXPECT_EQ(v->Profile, FF_PROFILE_MPEG4_SIMPLE);
  const auto pictures = DecodeVideo(out, 1000);
  EXPECT_EQ(static_cast<int64_t>(pictures.size()), v->Packets);
  for (const TFramePtr& p : pictures) EXPECT_EQ(p->decode_error_flags, 0);
  EXPECT_EQ(a->Codec, "aac");
  EXPECT_EQ(a->Profile, FF_PROFILE_AAC_LOW);
  EXPECT_EQ(a->SampleRate, 44100);
  EXPECT_EQ(a->Channels, 2);
}

}  // namespace

namespace {

// Every kind of input converts with the window's defaults into a portable MP4.
class EveryInputTest : public ::testing::TestWithParam<TClipSpec> {
protected:
  void SetUp() override { EnsureLibrariesLoaded(); }
  TTempDir Dir;
};

TEST_P(EveryInputTest, ConvertsWithWindowDefaults) {
  const TClipSpec& clipSpec = GetParam();
  const std::string in = Dir / (clipSpec.Name + clipSpec.Extension);
  std::string error;
  ASSERT_TRUE(MakeClip(clipSpec, in, &error)) << error;
  TConversion c;
  c.OutputOptions = WindowDefaults();
  const std::string out = Dir / "out.mp4";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  EXPECT_TRUE(c.Finished);
  TFileFacts f = ReadFacts(out);
  ASSERT_TRUE(f.Opened) << f.Error;
  const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
  const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
  if (!clipSpec.VideoCodec.empty()) {
    ASSERT_TRUE(v);
    EXPECT_EQ(v->Codec, "mpeg4");
    EXPECT_EQ(v->Width, 320);
    EXPECT_EQ(v->Height, 240);
    EXPECT_TRUE(v->FirstIsKey);
    EXPECT_FALSE(v->HasBFrames);
    // The output's video runs from the input's start to the end of its last
    // picture, at 30 frames a second. Some containers start the video a few
    // frames after the sound (ASF behind its sound's encoder delay).
    const TFileFacts source = ReadFacts(in);
    int64_t start = INT64_MAX;
    for (const TStreamFacts& s : source.Streams)
      if (s.FirstPts != AV_NOPTS_VALUE) start = std::min(start, s.FirstPts);
    const double videoStart = static_cast<double>(source.First(AVMEDIA_TYPE_VIDEO)->FirstPts - start) / 1e6;
    const double seconds = videoStart + static_cast<double>(ClipVideoFrameCount(clipSpec)) / av_q2d(clipSpec.FrameRate);
    EXPECT_NEAR(static_cast<double>(v->Packets), seconds * 30, 1.0) << clipSpec.Name;
  } else {
    EXPECT_FALSE(v);
  }
  if (!clipSpec.AudioCodec.empty()) {
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Codec, "aac");
    EXPECT_EQ(a->Profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(a->SampleRate, 44100);
    EXPECT_EQ(a->Channels, 2);
    // The source's own length (its encoder's delay and padding included) within
    // one AAC frame plus the AAC encoder's delay.
    EXPECT_NEAR(static_cast<double>(a->EndUs - a->FirstPts), clipSpec.DurationSeconds * 1e6,
                static_cast<double>(ClipDurationToleranceUs(clipSpec)) + 1e6 * 2048 / 44100.0)
        << clipSpec.Name;
  } else {
    EXPECT_FALSE(a);
  }
}

INSTANTIATE_TEST_SUITE_P(Presets, EveryInputTest, ::testing::ValuesIn(StandardClipSpecs()),
                         [](const ::testing::TestParamInfo<TClipSpec>& Info) { return Info.param.Name; });

}  // namespace
