// Conversions that cannot run: each fails with its message, terminates once,
// and leaves nothing open or half-written behind (AddressSanitizer checks the
// release paths).
#include <gtest/gtest.h>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

class SetupFailureTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    In = Dir / "in.avi";
    std::string error;
    ASSERT_TRUE(MakeClip(ClipSpecByName("avi_xvid"), In, &error)) << error;
  }
  TTempDir Dir;
  std::string In;
};

TEST_F(SetupFailureTest, RunsThatCannotStartReportWhy) {
  struct TCase {
    const char* Name;
    std::vector<std::pair<std::string, std::string>> Options;
    const char* Message;
  };
  const TCase cases[] = {
      {"too_many_maps", {{"map", "0:0"}, {"map", "0:1"}, {"map", "0:1"}},
       "Number of stream maps must match number of output streams"},
      {"missing_stream", {{"map", "0:5"}, {"map", "0:1"}}, "Could not find input stream #0.5"},
      {"missing_sync_stream", {{"map", "0:0:0:7"}, {"map", "0:1"}}, "Could not find sync stream #0.7"},
      {"type_mismatch", {{"map", "0:1"}, {"map", "0:0"}}, "Codec type mismatch for mapping #0.1 -> #0.0"},
      {"copy_with_volume", {{"acodec", "copy"}, {"vol", "512"}},
       "-acodec copy and -vol are incompatible (frames are not decoded)"},
      {"filters_with_crop", {{"vfilters", "hflip"}, {"croptop", "8"}},
       "Cannot enable crop options and filters at the same time."},
      {"bad_meta_map", {{"map_meta_data", "3:0"}}, "Invalid output file index 3 map_meta_data(3,0)"},
      {"encoder_refuses", {{"vcodec", "mpeg4"}, {"r", "100000"}},
       "Error while opening codec for output stream #0.0 - maybe incorrect parameters such as bit_rate, rate, "
       "width or height"},
      // A picture of more bytes than the libraries address.
      {"huge_picture", {{"vfilters", "null"}, {"s", "46342x46342"}}, "Cannot allocate temp picture, check pix fmt"},
      // This encoder would divide by zero on a picture per 65535 s.
      {"frame_rate_out_of_range", {{"vcodec", "libxvid"}, {"r", "1/65535"}},
       "Error while opening codec for output stream #0.0 - maybe incorrect parameters such as bit_rate, rate, "
       "width or height"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TConversion c;
    c.OutputOptions = k.Options;
    const std::string out = Dir / (std::string(k.Name) + ".mp4");
    TCustomFFmpeg engine;
    const bool opened_and_ran = Convert(In, out, c, &engine);
    EXPECT_FALSE(opened_and_ran);
    // Some of these are refused already when the output is opened; the rest
    // end the run with the message as its error.
    EXPECT_EQ(c.Error, k.Message);
    if (c.Terminations) {
      EXPECT_EQ(c.Terminations, 1);
      EXPECT_TRUE(c.Failed);
      EXPECT_FALSE(c.Finished);
      ASSERT_FALSE(c.Log.empty());
      EXPECT_EQ(c.Log.back(), std::make_pair(-1, std::string(k.Message)));
      EXPECT_EQ(FileSizeOf(out), -1) << "a run that wrote nothing leaves no file";
    }
  }
}

TEST_F(SetupFailureTest, WriteFailureHalfWayEndsTheRunWithTheReason) {
  TClipSpec clipSpec = ClipSpecByName("avi_xvid");
  clipSpec.DurationSeconds = 3;
  clipSpec.Noise = 20;
  const std::string in = Dir / "long.avi";
  std::string error;
  ASSERT_TRUE(MakeClip(clipSpec, in, &error)) << error;
  TConversion c;
  c.OutputOptions = {{"f", "avi"}, {"vcodec", "mpeg4"}, {"acodec", "libfaac"}};
  EXPECT_FALSE(Convert(in, "/dev/full", c));
  EXPECT_TRUE(c.Failed);
  EXPECT_EQ(c.Terminations, 1);
  EXPECT_EQ(c.Error.rfind("av_", 0), 0u) << c.Error;
  EXPECT_NE(c.Error.find("): no space left on the device"), std::string::npos) << c.Error;
}

}  // namespace
