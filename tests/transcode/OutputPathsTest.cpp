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
  TClipSpec spec = ClipSpecByName("avi_xvid");
  const std::string in = MakeSpec(spec);
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

}  // namespace
