// The engine's option handlers: checks, conversions, messages, the route into
// the libraries' option system, target presets and codec lookup.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "FFmpeg.h"
#include "TestSupport.h"

namespace {

class OptionHandlersTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    E.PrepareForTask();
    E.FOnLog = [this](TCustomFFmpeg*, int Level, const std::string& Msg) { Lines.emplace_back(Level, Msg); };
  }

  bool Logged(int Level, const std::string& Msg) const {
    for (const auto& l : Lines)
      if (l.first == Level && l.second == Msg) return true;
    return false;
  }


  int64_t CodecInt(int Type, const char* Name) {
    int64_t v = -1;
    EXPECT_GE(ff::av_opt_get_int(E.FCodecOpts[Type], Name, 0, &v), 0) << Name;
    return v;
  }

  TCustomFFmpeg E;
  std::vector<std::pair<int, std::string>> Lines;
};

const char* const kVerticalRange =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";
const char* const kHorizontalRange =
    "Horizontal crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

TEST_F(OptionHandlersTest, CropsAreCheckedAgainstTheFrameSizeAndShrinkIt) {
  E.SetFrameSize("352x288");
  E.SetCropTop(16);
  EXPECT_EQ(E.FFrameHeight, 272);
  EXPECT_EQ(E.FFrameTopBand, 16);
  E.SetCropLeft(8);
  E.SetCropRight(-4);  // negative: side not set
  EXPECT_EQ(E.FFrameWidth, 344);
  EXPECT_EQ(E.FFrameLeftBand, 8);
  EXPECT_EQ(E.FFrameRightBand, 0);

  struct Case {
    void (TCustomFFmpeg::*Setter)(int);
    int Size;
    std::string Message;
  };
  const std::vector<Case> cases = {
      {&TCustomFFmpeg::SetCropTop, 15, "Top crop size must be a multiple of 2"},
      {&TCustomFFmpeg::SetCropBottom, 3, "Bottom crop size must be a multiple of 2"},
      {&TCustomFFmpeg::SetCropLeft, 1, "Left crop size must be a multiple of 2"},
      {&TCustomFFmpeg::SetCropRight, 7, "Right crop size must be a multiple of 2"},
      {&TCustomFFmpeg::SetCropBottom, 272, kVerticalRange},
      {&TCustomFFmpeg::SetCropRight, 344, kHorizontalRange},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureOf([&] { (E.*c.Setter)(c.Size); }), c.Message) << c.Size;
  }
  EXPECT_EQ(E.FFrameHeight, 272);
  EXPECT_EQ(E.FFrameWidth, 344);
}

TEST_F(OptionHandlersTest, CropWithoutFrameSizeFailsEvenForZero) {
  EXPECT_EQ(FailureOf([&] { E.SetCropTop(0); }), kVerticalRange);
  EXPECT_EQ(FailureOf([&] { E.SetCropLeft(0); }), kHorizontalRange);
  EXPECT_EQ(FailureOf([&] { E.SetCropTop(-2); }), "");
}

TEST_F(OptionHandlersTest, PadsIgnoreNegativeAndRefuseOddSizes) {
  E.SetPadTop(-2);
  EXPECT_EQ(E.FFramePadTop, 0);
  E.SetPadTop(4);
  E.SetPadBottom(6);
  E.SetPadLeft(8);
  E.SetPadRight(10);
  EXPECT_EQ(E.FFramePadTop, 4);
  EXPECT_EQ(E.FFramePadBottom, 6);
  EXPECT_EQ(E.FFramePadLeft, 8);
  EXPECT_EQ(E.FFramePadRight, 10);
  EXPECT_EQ(FailureOf([&] { E.SetPadTop(3); }), "Top pad size must be a multiple of 2");
  EXPECT_EQ(FailureOf([&] { E.SetPadBottom(5); }), "Bottom pad size must be a multiple of 2");
  EXPECT_EQ(FailureOf([&] { E.SetPadLeft(1); }), "Left pad size must be a multiple of 2");
  EXPECT_EQ(FailureOf([&] { E.SetPadRight(9); }), "Right pad size must be a multiple of 2");
  EXPECT_EQ(E.FFramePadTop, 4);
}

TEST_F(OptionHandlersTest, PadColoursBecomeYuv) {
  struct Case {
    int Color;
    std::array<int, 3> Yuv;
  };
  const std::vector<Case> cases = {
      {0x000000, {0, 128, 128}},
      {0xFFFFFF, {255, 128, 128}},
      {0x0000FF, {76, 85, 255}},   // red (red in the low byte)
      {0x00FF00, {150, 43, 21}},   // green
      {0xFF0000, {29, 255, 107}},  // blue
  };
  for (const auto& c : cases) {
    E.SetPadColor(c.Color);
    EXPECT_EQ(E.FPadColor, c.Yuv) << std::hex << c.Color;
  }
}

TEST_F(OptionHandlersTest, AspectRatios) {
  E.SetAspectRatio("16:9");
  EXPECT_FLOAT_EQ(E.FFrameAspectRatio, 16.0f / 9.0f);
  E.SetAspectRatio("1.5");
  EXPECT_FLOAT_EQ(E.FFrameAspectRatio, 1.5f);
  E.SetAspectRatio("-4:3");  // negative values are stored
  EXPECT_FLOAT_EQ(E.FFrameAspectRatio, -4.0f / 3.0f);
  E.SetAspectRatio("");
  EXPECT_FLOAT_EQ(E.FFrameAspectRatio, -4.0f / 3.0f);
  for (const char* bad : {"16:0", "16:-9", "abc", "0", "x:9", "16:9x"})
    EXPECT_EQ(FailureOf([&] { E.SetAspectRatio(bad); }), "Incorrect aspect ratio specification.") << bad;
}

TEST_F(OptionHandlersTest, FrameSizeAndRate) {
  E.SetFrameSize("vga");
  EXPECT_EQ(E.FFrameWidth, 640);
  EXPECT_EQ(E.FFrameHeight, 480);
  EXPECT_EQ(FailureOf([&] { E.SetFrameSize("axb"); }), "Incorrect frame size");
  EXPECT_EQ(FailureOf([&] { E.SetFrameSize("351x288"); }), "Frame size must be a multiple of 2");
  EXPECT_EQ(E.FFrameWidth, 351);  // the odd value stays

  E.SetFrameRate("30000/1001");
  EXPECT_EQ(E.FFrameRate.num, 30000);
  EXPECT_EQ(E.FFrameRate.den, 1001);
  EXPECT_EQ(FailureOf([&] { E.SetFrameRate("fast"); }), "Incorrect frame rate");
  EXPECT_EQ(FailureOf([&] { E.SetFrameRate("-25"); }), "Incorrect frame rate");
  EXPECT_EQ(E.FFrameRate.num, 30000);
}

TEST_F(OptionHandlersTest, QScaleBoundsPassesAndItsScale) {
  for (float bad : {0.0f, -1.0f, 255.5f, 256.0f})
    EXPECT_EQ(FailureOf([&] { E.SetVideoQScale(bad); }), "qscale must be > 0.0 and <= 255") << bad;
  E.SetVideoQScale(255);
  EXPECT_FLOAT_EQ(E.FVideoQScale, 255);
  E.SetVideoQScale(0.5f);
  EXPECT_FLOAT_EQ(E.FVideoQScale, 0.5f);

  EXPECT_EQ(FailureOf([&] { E.SetPass(3); }), "pass number can be only 1 or 2");
  EXPECT_EQ(FailureOf([&] { E.SetPass(0); }), "pass number can be only 1 or 2");
  E.SetPass(2);
  EXPECT_EQ(E.FDoPass, 2);

  E.SetInputTsScale("1:2.5");
  EXPECT_DOUBLE_EQ(E.FInputTsScale[0][1], 2.5);
  E.FInputFileCount = 3;  // the scale belongs to the file opened next
  E.SetInputTsScale("0x2=0.5");
  EXPECT_DOUBLE_EQ(E.FInputTsScale[3][2], 0.5);
  EXPECT_EQ(FailureOf([&] { E.SetInputTsScale("20:1"); }), "stream index over MAX_STREAMS(20)");
  EXPECT_EQ(FailureOf([&] { E.SetInputTsScale("-1:1"); }), "stream index over MAX_STREAMS(20)");
  E.FInputFileCount = 0;
}

TEST_F(OptionHandlersTest, ItsScaleRefusesAnInputFileBeyondTheTable) {
  E.FInputFileCount = MAX_FILES;
  EXPECT_NE(FailureOf([&] { E.SetInputTsScale("1:2"); }), "");
  E.FInputFileCount = 0;
}

TEST_F(OptionHandlersTest, StreamMapsTakeAnySeparator) {
  E.AddStreamMap("0.1");
  E.AddStreamMap("0:1:2:3");
  E.AddStreamMap("1x2/3,4");
  E.AddStreamMap("0x1.010");  // hexadecimal and octal
  ASSERT_EQ(E.FStreamMapCount, 4);
  auto same = [](const TStreamMap& m, std::array<int, 4> v) {
    return m.FileIndex == v[0] && m.StreamIndex == v[1] && m.SyncFileIndex == v[2] && m.SyncStreamIndex == v[3];
  };
  EXPECT_TRUE(same(E.FStreamMaps[0], {0, 1, 0, 1}));
  EXPECT_TRUE(same(E.FStreamMaps[1], {0, 1, 2, 3}));
  EXPECT_TRUE(same(E.FStreamMaps[2], {1, 2, 3, 4}));
  EXPECT_TRUE(same(E.FStreamMaps[3], {1, 8, 1, 8}));

  E.AddMetaDataMap("1:0");
  ASSERT_EQ(E.FMetaDataMapCount, 1);
  EXPECT_EQ(E.FMetaDataMaps[0].OutFile, 1);
  EXPECT_EQ(E.FMetaDataMaps[0].InFile, 0);
}

TEST_F(OptionHandlersTest, MapTablesRefuseEntriesBeyondTheirSize) {
  for (int i = 0; i < MAX_STREAM_MAPS; ++i) E.AddStreamMap("0.0");
  EXPECT_EQ(FailureOf([&] { E.AddStreamMap("0.1"); }),
            "Too many stream maps: at most 400 -map entries are allowed");
  EXPECT_EQ(E.FStreamMapCount, MAX_STREAM_MAPS);
  for (int i = 0; i < MAX_META_DATA_MAPS; ++i) E.AddMetaDataMap("0:0");
  EXPECT_EQ(FailureOf([&] { E.AddMetaDataMap("0:0"); }),
            "Too many metadata maps: at most 20 -map_meta_data entries are allowed");
  EXPECT_EQ(E.FMetaDataMapCount, MAX_META_DATA_MAPS);
}

std::string Numbers(int Count) {
  std::string s;
  for (int i = 0; i < Count; ++i) s += (i ? ", " : "") + std::to_string(i + 1);
  return s;
}

TEST_F(OptionHandlersTest, Matrices) {
  E.SetIntraMatrix(Numbers(64));
  ASSERT_NE(E.FIntraMatrix, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(E.FIntraMatrix[i], i + 1);
  E.SetInterMatrix("$10," + Numbers(63));
  ASSERT_NE(E.FInterMatrix, nullptr);
  EXPECT_EQ(E.FInterMatrix[0], 16);
  EXPECT_EQ(E.FInterMatrix[63], 63);

  const std::string short63 = Numbers(63);
  EXPECT_EQ(FailureOf([&] { E.SetIntraMatrix(short63); }),
            "Syntax error in matrix \"" + short63 + "\" at coeff 62");
  // Encoders divide by each coefficient: 0, unreadable and oversized ones are
  // refused, and the matrix set before stays.
  for (const std::string& bad : {"0," + Numbers(63), Numbers(10) + ",x," + Numbers(53), Numbers(63) + ",256",
                                 Numbers(5) + ",-3," + Numbers(58)}) {
    const int at = bad[0] == '0' ? 0 : bad.find('x') != std::string::npos ? 10 : bad.find('-') != std::string::npos ? 5 : 63;
    EXPECT_EQ(FailureOf([&] { E.SetInterMatrix(bad); }),
              "Invalid coefficient in matrix \"" + bad + "\" at coeff " + std::to_string(at) +
                  ": it must lie between 1 and 255");
    EXPECT_EQ(E.FInterMatrix[0], 16);
  }
}

TEST_F(OptionHandlersTest, CodecNamesAndCopy) {
  E.SetVideoCodec("mpeg4");
  E.SetVideoCodec("copy");
  EXPECT_EQ(E.FVideoStreamCopy, 1);
  EXPECT_EQ(E.FVideoCodecName, nullptr);
  E.SetVideoCodec("mpeg4");
  ASSERT_NE(E.FVideoCodecName, nullptr);
  EXPECT_STREQ(E.FVideoCodecName, "mpeg4");
  EXPECT_EQ(E.FVideoStreamCopy, 1);
  E.SetVideoCodec("");
  EXPECT_STREQ(E.FVideoCodecName, "mpeg4");

  E.SetAudioCodec("copy");
  EXPECT_EQ(E.FAudioStreamCopy, 1);
  E.SetSubtitleCodec("mov_text");
  EXPECT_STREQ(E.FSubtitleCodecName, "mov_text");
  EXPECT_EQ(E.FSubtitleStreamCopy, 0);
}

TEST_F(OptionHandlersTest, TagsAreFourCharacters) {
  E.SetVideoTag("XVID");
  EXPECT_EQ(E.FVideoCodecTag, 'X' | ('V' << 8) | ('I' << 16) | ('D' << 24));
  E.SetAudioTag("");
  EXPECT_EQ(E.FAudioCodecTag, 0);
  try {
    E.SetAudioTag("mp4");
    FAIL() << "no assertion failure";
  } catch (const EAssertionFailed& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("audio tag parameter must be 4 chars (FFmpeg, line "))
        << e.what();
  }
  EXPECT_THROW(E.SetVideoTag("DIVX5"), EAssertionFailed);
  EXPECT_EQ(E.FVideoCodecTag, 'X' | ('V' << 8) | ('I' << 16) | ('D' << 24));
}

TEST_F(OptionHandlersTest, Times) {
  E.SetRecordingTime("00:40:00");
  EXPECT_EQ(E.FRecordingTime, 2400000000LL);
  EXPECT_EQ(E.FTotalDurationMs, 2400000);
  E.SetStartTime("1.5");
  EXPECT_EQ(E.FStartTime, 1500000);
  E.SetInputTsOffset("-2");
  EXPECT_EQ(E.FInputTsOffsetOpt, -2000000);
  E.SetRecTimestamp("1970-01-02 00:00:00Z");
  EXPECT_EQ(E.FRecTimestamp, 86400);
  E.SetDurationMs(0);
  EXPECT_EQ(E.FTotalDurationMs, 2400000);
  EXPECT_EQ(FailureOf([&] { E.SetRecordingTime("soon"); }), "Invalid duration specification for t: soon");
  EXPECT_EQ(FailureOf([&] { E.SetRecTimestamp("yesterday"); }),
            "Invalid date specification for timestamp: yesterday");
}

TEST_F(OptionHandlersTest, GenericOptionsReachTheOptionContexts) {
  EXPECT_TRUE(E.SetGenericOption("g", "12"));
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 12);
  EXPECT_TRUE(E.SetGenericOption("ab", "96000"));  // the audio context's own "ab" (the bitrate)
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 96000);
  EXPECT_TRUE(E.SetGenericOption("packetsize", "2048"));
  EXPECT_EQ(E.FFormatOpts->packet_size, 2048u);
  EXPECT_TRUE(E.SetGenericOption("sws_flags", "bilinear"));
  int64_t flags = 0;
  ASSERT_GE(ff::av_opt_get_int(E.FSwsOpts, "sws_flags", 0, &flags), 0);
  EXPECT_EQ(flags, SWS_BILINEAR);
  EXPECT_TRUE(E.SetGenericOptionInt("cutoff", 15000));  // audio only
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "cutoff"), 15000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "cutoff"), 0);

  EXPECT_FALSE(E.SetGenericOption("foo", "1"));
  EXPECT_FALSE(E.SetGenericOption("g", " "));
  EXPECT_FALSE(E.SetGenericOption("g", "twelve"));
  EXPECT_EQ(E.FOptNames, (std::vector<std::string>{"g", "ab", "packetsize", "sws_flags", "cutoff"}));

  const int64_t audioQmin = CodecInt(AVMEDIA_TYPE_AUDIO, "qmin");
  EXPECT_TRUE(E.SetGenericOption("vqmin", "3"));  // prefix route: "qmin" of the video context
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "qmin"), 3);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "qmin"), audioQmin);
  EXPECT_EQ(E.FOptNames.back(), "qmin");

  EXPECT_TRUE(E.SetGenericOption("debug", "pict"));
  EXPECT_EQ(E.FVerbose, 2);
  EXPECT_EQ(CachedLogLevel.load(), AV_LOG_DEBUG);
  SetLibraryLogLevel(AV_LOG_INFO);
}

TEST_F(OptionHandlersTest, ApplyGenericOptionsCopiesByMediaType) {
  ASSERT_TRUE(E.SetGenericOption("g", "7"));
  ASSERT_TRUE(E.SetGenericOption("ab", "64000"));
  ASSERT_TRUE(E.SetGenericOption("cutoff", "12000"));
  AVCodecContext* video = ff::avcodec_alloc_context3(nullptr);
  AVCodecContext* audio = ff::avcodec_alloc_context3(nullptr);
  E.ApplyGenericOptions(video, E.FCodecOpts[AVMEDIA_TYPE_VIDEO], AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  E.ApplyGenericOptions(audio, E.FCodecOpts[AVMEDIA_TYPE_AUDIO], AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(video->gop_size, 7);
  EXPECT_EQ(video->cutoff, 0);  // an audio option stays off the video context
  EXPECT_EQ(audio->bit_rate, 64000);
  EXPECT_EQ(audio->cutoff, 12000);
  ff::avcodec_free_context(&video);
  ff::avcodec_free_context(&audio);
}

TEST_F(OptionHandlersTest, BitrateWarning) {
  EXPECT_TRUE(E.SetBitrate("b", "64"));
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 64);
  EXPECT_TRUE(Logged(1, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s"));
  Lines.clear();
  EXPECT_TRUE(E.SetBitrate("ab", "128000"));
  EXPECT_TRUE(E.SetBitrate("vb", "800000"));
  EXPECT_TRUE(Lines.empty());
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 800000);
  EXPECT_FALSE(E.SetBitrate("b", ""));
}

TEST_F(OptionHandlersTest, PixelAndSampleFormats) {
  E.SetPixelFormat("yuv422p");
  EXPECT_EQ(E.FFramePixFmt, AV_PIX_FMT_YUV422P);
  E.SetPixelFormat("list");
  EXPECT_EQ(E.FFramePixFmt, AV_PIX_FMT_YUV422P);
  ASSERT_GT(Lines.size(), 40u);
  EXPECT_TRUE(Lines[0].second.starts_with("name")) << Lines[0].second;
  EXPECT_TRUE(Lines[1].second.starts_with("yuv420p")) << Lines[1].second;
  E.SetPixelFormat("nonsense");
  EXPECT_EQ(E.FFramePixFmt, AV_PIX_FMT_NONE);
  E.SetSampleFormat("s16");
  EXPECT_EQ(E.FAudioSampleFmt, AV_SAMPLE_FMT_S16);
  Lines.clear();
  E.SetSampleFormat("list");
  EXPECT_EQ(Lines.size(), static_cast<size_t>(AV_SAMPLE_FMT_NB + 1));
}

TEST_F(OptionHandlersTest, TargetPalDvd) {
  E.SetTarget(" pal-dvd ");
  EXPECT_EQ(E.FFrameWidth, 720);
  EXPECT_EQ(E.FFrameHeight, 576);
  EXPECT_EQ(E.FFrameRate.num, 25);
  EXPECT_EQ(E.FFrameRate.den, 1);
  EXPECT_STREQ(E.FVideoCodecName, "mpeg2video");
  EXPECT_STREQ(E.FAudioCodecName, "ac3");
  ASSERT_NE(E.FOutputFormat, nullptr);
  EXPECT_STREQ(E.FOutputFormat->name, "dvd");
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_AUDIO, "b"), 448000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "b"), 6000000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "g"), 15);  // the preset's "gop"
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "maxrate"), 9000000);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "bufsize"), 1835008);
  EXPECT_EQ(E.FFormatOpts->packet_size, 2048u);
  EXPECT_EQ(E.FAudioSampleRate, 48000);
  EXPECT_FLOAT_EQ(E.FFrameAspectRatio, 16.0f / 9.0f);
  EXPECT_TRUE(Logged(1, "Assuming 16:9 for aspect ratio"));
}

TEST_F(OptionHandlersTest, TargetAutoNormNeedsAFrameRate) {
  EXPECT_EQ(FailureOf([&] { E.SetTarget("vcd"); }), "frame_rate is invalid.");
  E.SetFrameRate("25");
  E.SetAspectRatio("4:3");
  E.SetTarget("vcd");
  EXPECT_TRUE(Logged(1, "Assuming PAL for target."));
  EXPECT_FALSE(Logged(1, "Assuming 4:3 for aspect ratio"));
  EXPECT_EQ(E.FFrameHeight, 288);
  EXPECT_EQ(CodecInt(AVMEDIA_TYPE_VIDEO, "minrate"), 1150000);
  EXPECT_FLOAT_EQ(E.FMuxPreload, 0.44f);
  E.SetFrameRate("10");  // no match, no input file: NTSC
  E.SetTarget("vcd");
  EXPECT_TRUE(Logged(1, "Assuming NTSC for target."));
  EXPECT_EQ(E.FFrameHeight, 240);
}

TEST_F(OptionHandlersTest, TargetDvNormsAndUnknownTypes) {
  E.SetTarget("ntsc-dv");
  EXPECT_EQ(E.FFramePixFmt, AV_PIX_FMT_YUV411P);
  EXPECT_EQ(E.FFrameRate.num, 30000);
  EXPECT_EQ(E.FFrameHeight, 480);
  E.SetTarget("film-dv50");
  EXPECT_EQ(E.FFramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(E.FFrameRate.num, 24000);

  TCustomFFmpeg fresh;
  fresh.PrepareForTask();
  EXPECT_EQ(FailureOf([&] { fresh.SetTarget("pal-laserdisc"); }), "Unknown target type");
  EXPECT_EQ(fresh.FFrameWidth, 0);
  EXPECT_EQ(fresh.FOutputFormat, nullptr);
  EXPECT_EQ(fresh.FFrameRate.den, 0);
}

TEST_F(OptionHandlersTest, FindCodec) {
  AVCodecID id = AV_CODEC_ID_PROBE;
  const AVCodec* codec = nullptr;
  EXPECT_TRUE(E.FindCodec("mpeg4", AVMEDIA_TYPE_VIDEO, true, id, &codec));
  EXPECT_EQ(id, AV_CODEC_ID_MPEG4);
  EXPECT_TRUE(E.FindCodec("libfaac", AVMEDIA_TYPE_AUDIO, true, id, &codec));
  EXPECT_EQ(id, AV_CODEC_ID_AAC);
  ASSERT_NE(codec, nullptr);
  EXPECT_STREQ(codec->name, "aac");
  EXPECT_TRUE(E.FindCodec("", AVMEDIA_TYPE_AUDIO, true, id));
  EXPECT_EQ(id, AV_CODEC_ID_NONE);

  EXPECT_FALSE(E.FindCodec("mpeg4", AVMEDIA_TYPE_AUDIO, true, id));
  EXPECT_EQ(E.LastError(), "Invalid encoder type 'mpeg4'");
  EXPECT_FALSE(E.FindCodec("nosuchcodec", AVMEDIA_TYPE_VIDEO, false, id));
  EXPECT_EQ(E.LastError(), "Unknown decoder 'nosuchcodec'");
}

TEST_F(OptionHandlersTest, FormatsVerbosityAndBitstreamFilters) {
  E.SetFormat("mp4");
  EXPECT_NE(E.FOutputFormat, nullptr);
  EXPECT_EQ(FailureOf([&] { E.SetFormat("nosuchformat"); }), "Unknown input or output format: nosuchformat");
  EXPECT_EQ(FailureOf([&] { E.SetInputFormat("ipod"); }), "Unknown input format: ipod");
  EXPECT_EQ(FailureOf([&] { E.SetOutputFormat("nope"); }), "Unknown output format: nope");
  E.SetFormat("pgmyuv");
  EXPECT_EQ(E.FPgmYuvCompatibilityHack, 1);
  EXPECT_TRUE(Logged(1, "pgmyuv format is deprecated, use image2"));

  E.SetVerbose(0);
  EXPECT_EQ(E.FVerbose, 0);
  EXPECT_EQ(CachedLogLevel.load(), AV_LOG_ERROR);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_ERROR);
  SetLibraryLogLevel(AV_LOG_INFO);

  E.AddBitstreamFilter("vbsf", "h264_mp4toannexb");
  E.AddBitstreamFilter("absf", "aac_adtstoasc=x");
  E.AddBitstreamFilter("sbsf", "=null");
  E.AddBitstreamFilter("sbsf", "null");
  EXPECT_EQ(E.FVideoBitstreamFilters, std::vector<std::string>{"h264_mp4toannexb"});
  EXPECT_EQ(E.FAudioBitstreamFilters, std::vector<std::string>{"aac_adtstoasc=x"});
  EXPECT_EQ(E.FSubtitleBitstreamFilters, std::vector<std::string>{"null"});
  EXPECT_EQ(FailureOf([&] { E.AddBitstreamFilter("vbsf", "nosuch=1"); }), "Unknown bitstream filter nosuch=1");
}

TEST_F(OptionHandlersTest, VStatsFileNames) {
  E.SetVStatsFile("/tmp/stats.log");
  EXPECT_STREQ(E.FVStatsFileName, "/tmp/stats.log");
  E.SetDefaultVStatsFile(true);
  ASSERT_NE(E.FVStatsFileName, nullptr);
  const std::string name = E.FVStatsFileName;
  const std::string prefix = ExecutableFolder() + "/vstats_";
  ASSERT_TRUE(name.starts_with(prefix)) << name;
  const std::string stamp = name.substr(prefix.size());
  EXPECT_EQ(stamp.size(), 10u) << name;  // hhnnss.log
  EXPECT_TRUE(stamp.ends_with(".log"));
}

}  // namespace
