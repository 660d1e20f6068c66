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

  std::string Make(const std::string& Preset, TClipSpec* Spec = nullptr) {
    TClipSpec spec = ClipSpecByName(Preset);
    if (Spec) *Spec = spec;
    const std::string path = Dir / (Preset + spec.Extension);
    std::string error;
    EXPECT_TRUE(MakeClip(spec, path, &error)) << error;
    return path;
  }
  std::string MakeSpec(const TClipSpec& Spec) {
    const std::string path = Dir / (Spec.Name + Spec.Extension);
    std::string error;
    EXPECT_TRUE(MakeClip(Spec, path, &error)) << error;
    return path;
  }

  TTempDir Dir;
};

TEST_F(TranscodeTest, WindowDefaultsGivePortableMp4) {
  TClipSpec spec;
  const std::string in = Make("avi_xvid", &spec);
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
  EXPECT_NEAR(static_cast<double>(v->Packets), spec.DurationSeconds * 30, 1.0);
  EXPECT_EQ(a->Codec, "aac");
  EXPECT_EQ(a->Profile, FF_PROFILE_AAC_LOW);
  EXPECT_EQ(a->SampleRate, 44100);
  EXPECT_EQ(a->Channels, 2);
}

}  // namespace
