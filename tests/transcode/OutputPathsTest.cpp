// Packets on their way out: several outputs of one input stream, bitstream
// filters that refuse a packet, and what the filters hold at the end of input.
#include <gtest/gtest.h>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "TestSupport.h"

namespace {

class OutputPathsTest : public TConversionTest {
protected:
  bool LoggedPart(const std::vector<std::pair<int, std::string>>& Log, const std::string& Part) {
    for (const auto& [level, text] : Log)
      if (text.find(Part) != std::string::npos) return true;
    return false;
  }
};

TEST_F(OutputPathsTest, OneInputStreamFeedsACopyAndAReEncode) {
  TClipSpec recipe = ClipSpecByName("avi_xvid");
  const std::string in = MakeSpec(recipe);
  const int64_t inputPackets = ReadFacts(in).First(AVMEDIA_TYPE_VIDEO)->Packets;
  // Either order of the two outputs: the copy must not depend on being first.
  for (bool copyFirst : {true, false}) {
    TCustomFFmpeg e;
    e.PrepareForTask();
    std::vector<std::pair<int, std::string>> log;
    e.FOnLog = [&](TCustomFFmpeg*, int Level, const std::string& Msg) { log.emplace_back(Level, Msg); };
    ASSERT_TRUE(e.OpenInputFile(in)) << e.LastError();
    const std::string copied = Dir / "copied.avi", encoded = Dir / "encoded.mp4";
    auto addCopy = [&] {
      e.AddOption("vcodec", "copy");
      e.AddOption("an", "");
      ASSERT_TRUE(e.OpenOutputFile(copied)) << e.LastError();
    };
    auto addEncode = [&] {
      e.AddOption("vcodec", "mpeg4");
      e.AddOption("an", "");
      ASSERT_TRUE(e.OpenOutputFile(encoded)) << e.LastError();
    };
    if (copyFirst) {
      addCopy();
      addEncode();
    } else {
      addEncode();
      addCopy();
    }
    e.Start(false);
    ASSERT_TRUE(e.Finished()) << e.ErrorMessage();
    EXPECT_EQ(ReadFacts(copied).First(AVMEDIA_TYPE_VIDEO)->Packets, inputPackets) << copyFirst;
    EXPECT_EQ(PacketPayloads(copied, AVMEDIA_TYPE_VIDEO), PacketPayloads(in, AVMEDIA_TYPE_VIDEO)) << copyFirst;
    EXPECT_EQ(ReadFacts(encoded).First(AVMEDIA_TYPE_VIDEO)->Packets, inputPackets) << copyFirst;
  }
}

TEST_F(OutputPathsTest, APacketAFilterRefusesIsWrittenOnUnfiltered) {
  const std::string in = Make("avi_xvid");
  const int64_t inputPackets = ReadFacts(in).First(AVMEDIA_TYPE_VIDEO)->Packets;
  // The noise filter garbles every byte, so the next filter, which parses
  // MPEG-2 video, refuses every packet.
  TConversion c;
  c.OutputOptions = {{"vcodec", "mpeg2video"}, {"an", ""}, {"vbsf", "noise=amount=1"}, {"vbsf", "trace_headers"}};
  const std::string out = Dir / "refused.avi";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  EXPECT_TRUE(c.Finished);
  EXPECT_TRUE(LoggedPart(c.Log, "trace_headers failed for stream 0, codec mpeg2video"));
  const TFileFacts f = ReadFacts(out);
  ASSERT_TRUE(f.First(AVMEDIA_TYPE_VIDEO));
  EXPECT_EQ(f.First(AVMEDIA_TYPE_VIDEO)->Packets, inputPackets);
}

TEST_F(OutputPathsTest, TheEndOfInputEmptiesTheFiltersAndTheResampler) {
  // "reverse" gives its pictures only at the end of input.
  const TClipSpec video = ClipSpecByName("avi_xvid");
  const std::string videoIn = MakeSpec(video);
  TConversion reversed;
  reversed.OutputOptions = {{"vcodec", "mpeg4"}, {"an", ""}, {"vfilters", "reverse"}};
  ASSERT_TRUE(Convert(videoIn, Dir / "reversed.avi", reversed)) << reversed.Error;
  EXPECT_EQ(ReadFacts(Dir / "reversed.avi").First(AVMEDIA_TYPE_VIDEO)->Packets, ClipVideoFrameCount(video));

  // 16-bit mono at 22050 Hz: every sample counts.
  const TClipSpec audio = ClipSpecByName("avi_msmpeg4v3");
  const std::string audioIn = MakeSpec(audio);
  const int64_t samples = ClipAudioSampleCount(audio);
  struct TCase {
    const char* Name;
    std::vector<std::pair<std::string, std::string>> Options;
    int64_t Expected;
  };
  const TCase cases[] = {
      // The resampler's filter holds the last samples of a rate change.
      {"halved", {{"ar", "11025"}}, samples / 2},
      // The bitstream filter holds the last, short chunk.
      {"rechunked", {{"absf", "pcm_rechunk=nb_out_samples=1000:pad=0"}}, samples},
  };
  for (const TCase& c : cases) {
    TConversion conversion;
    conversion.OutputOptions = {{"vn", ""}, {"acodec", "pcm_s16le"}};
    conversion.OutputOptions.insert(conversion.OutputOptions.end(), c.Options.begin(), c.Options.end());
    const std::string out = Dir / (std::string(c.Name) + ".wav");
    ASSERT_TRUE(Convert(audioIn, out, conversion)) << c.Name << ": " << conversion.Error;
    int channels = 0, rate = 0;
    const auto pcm = DecodeAudio(out, channels, rate);
    ASSERT_EQ(channels, 1) << c.Name;
    EXPECT_NEAR(static_cast<double>(pcm.size()), static_cast<double>(c.Expected), 1.0) << c.Name;
  }
}

}  // namespace
