// Packets on their way out: several outputs of one input stream, bitstream
// filters that refuse a packet, and what the filters hold at the end of input.
#include <gtest/gtest.h>

#include <fstream>

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

TEST_F(OutputPathsTest, OneInputStreamFeedsTwoFilteredReEncodes) {
  const std::string in = Make("avi_xvid");
  const int64_t inputPackets = ReadFacts(in).First(AVMEDIA_TYPE_VIDEO)->Packets;
  TCustomFFmpeg e;
  e.PrepareForTask();
  ASSERT_TRUE(e.OpenInputFile(in)) << e.LastError();
  const std::string first = Dir / "first.mp4", second = Dir / "second.mp4";
  for (const std::string& out : {first, second}) {
    e.AddOption("vcodec", "mpeg4");
    e.AddOption("an", "");
    e.AddOption("vfilters", "hflip");
    ASSERT_TRUE(e.OpenOutputFile(out)) << e.LastError();
  }
  e.Start(false);
  ASSERT_TRUE(e.Finished()) << e.ErrorMessage();
  for (const std::string& out : {first, second})
    EXPECT_EQ(ReadFacts(out).First(AVMEDIA_TYPE_VIDEO)->Packets, inputPackets) << out;
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

TEST_F(OutputPathsTest, MpegMuxRateAndScanOffsetReachTheMuxerAndTheEncoder) {
  const std::string in = Make("avi_xvid");
  // An MPEG-1 pack header carries the mux rate in units of 50 bytes per second.
  struct TCase {
    const char* Name;
    std::vector<std::pair<std::string, std::string>> Options;
    int MuxRateField;
  };
  const TCase cases[] = {{"option", {{"muxrate", "2000000"}}, 5000}, {"vcd", {{"target", "vcd"}}, 3528}};
  for (const TCase& c : cases) {
    TConversion conversion;
    conversion.OutputOptions = c.Options;
    const std::string out = Dir / (std::string(c.Name) + ".mpg");
    ASSERT_TRUE(Convert(in, out, conversion)) << c.Name << ": " << conversion.Error;
    std::ifstream file(out, std::ios::binary);
    unsigned char head[12] = {};
    ASSERT_TRUE(file.read(reinterpret_cast<char*>(head), sizeof head)) << c.Name;
    ASSERT_EQ(head[3], 0xBA) << c.Name;  // pack start code
    ASSERT_EQ(head[4] >> 4, 0x2) << c.Name;  // MPEG-1 pack
    EXPECT_EQ((head[9] & 0x7F) << 15 | head[10] << 7 | head[11] >> 1, c.MuxRateField) << c.Name;
  }

  // An SVCD's pictures carry room for the scan offsets in their user data.
  TConversion svcd;
  svcd.OutputOptions = {{"target", "svcd"}};
  const std::string out = Dir / "svcd.mpg";
  ASSERT_TRUE(Convert(in, out, svcd)) << svcd.Error;
  const std::string scanOffset("\x00\x00\x01\xB2\x10\x0E", 6);
  int marked = 0;
  const auto pictures = PacketPayloads(out, AVMEDIA_TYPE_VIDEO);
  for (const std::string& p : pictures) marked += p.find(scanOffset) != std::string::npos;
  EXPECT_GT(marked, 0);
  EXPECT_EQ(marked, static_cast<int>(pictures.size()));
}

TEST_F(OutputPathsTest, LoopInputRepeatsAShortImageSequence) {
  TClipSpec images;
  images.Name = "images";
  images.FormatName = "image2";
  images.Extension = ".jpg";
  images.VideoCodec = "mjpeg";
  images.Width = 64;
  images.Height = 48;
  images.DurationSeconds = 0.12;  // three pictures at 25 fps
  std::string error;
  ASSERT_TRUE(MakeClip(images, Dir / "img%03d.jpg", &error)) << error;
  for (bool loop : {false, true}) {
    TConversion c;
    c.InputOptions = {{"f", "image2"}};
    if (loop) c.InputOptions.emplace_back("loop_input", "");
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"t", "1"}};
    const std::string out = Dir / (loop ? "looped.avi" : "once.avi");
    ASSERT_TRUE(Convert(Dir / "img%03d.jpg", out, c)) << c.Error;
    EXPECT_EQ(ReadFacts(out).First(AVMEDIA_TYPE_VIDEO)->Packets, loop ? 25 : 3) << loop;
  }
}

TEST_F(OutputPathsTest, TextSubtitlesAreReEncodedWithTheirDisplayTimes) {
  const std::string srt = Dir / "track.srt";
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,500\nFirst line\n\n"
                        "2\n00:00:02,000 --> 00:00:03,250\nSecond line\n";
  const std::string ass = Dir / "track.ass";
  std::ofstream(ass)
      << "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\n\n[V4+ Styles]\n"
         "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
         "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
         "MarginL, MarginR, MarginV, Encoding\n"
         "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\n\n"
         "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
         "Dialogue: 0,0:00:00.50,0:00:01.50,Default,,0,0,0,,First line\n"
         "Dialogue: 0,0:00:02.00,0:00:03.25,Default,,0,0,0,,Second line\n";
  // Matroska has a subtitle codec of its own; MP4 takes the one asked for.
  struct TCase {
    std::string In, Out, Codec;
    bool Named;
  };
  const TCase cases[] = {{srt, "srt.mkv", "ass", false},
                         {srt, "srt.mp4", "mov_text", true},
                         {ass, "ass.mkv", "ass", false},
                         {ass, "ass.mp4", "mov_text", true}};
  for (const TCase& c : cases) {
    TConversion conversion;
    if (c.Named) conversion.OutputOptions = {{"scodec", c.Codec}};
    const std::string out = Dir / c.Out;
    ASSERT_TRUE(Convert(c.In, out, conversion)) << c.Out << ": " << conversion.Error;
    const TFileFacts facts = ReadFacts(out);
    const TStreamFacts* sub = facts.First(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_TRUE(sub) << c.Out;
    EXPECT_EQ(sub->Codec, c.Codec) << c.Out;
    // MP4 fills the gaps between subtitles with empty samples: only the
    // packets that carry text count.
    std::vector<TTimedPayload> shown;
    for (TTimedPayload& p : TimedPayloads(out, AVMEDIA_TYPE_SUBTITLE))
      if (p.Bytes.find("line") != std::string::npos) shown.push_back(p);
    ASSERT_EQ(shown.size(), 2u) << c.Out;
    EXPECT_NE(shown[0].Bytes.find("First line"), std::string::npos) << c.Out;
    EXPECT_NE(shown[1].Bytes.find("Second line"), std::string::npos) << c.Out;
    EXPECT_EQ(shown[0].StartUs, 500000) << c.Out;
    EXPECT_EQ(shown[0].DurationUs, 1000000) << c.Out;
    EXPECT_EQ(shown[1].StartUs, 2000000) << c.Out;
    EXPECT_EQ(shown[1].DurationUs, 1250000) << c.Out;
  }
}

}  // namespace
