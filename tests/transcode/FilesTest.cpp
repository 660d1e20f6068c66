// Opening input and output files: inherited stream properties, the failure
// wordings, the output streams and their encoder settings.
#include <gtest/gtest.h>

#include <fstream>
#include <tuple>
#include <utility>
#include <vector>

#include "AVProbe.h"
#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "OpenErrors.h"
#include "TestSupport.h"

namespace {

class FilesTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    E.PrepareForTask();
  }
  std::string Make(const std::string& Preset) {
    const TClipSpec& clipSpec = ClipSpecByName(Preset);
    const std::string path = Dir / (clipSpec.Name + clipSpec.Extension);
    std::string error;
    EXPECT_TRUE(MakeClip(clipSpec, path, &error)) << error;
    return path;
  }
  TTempDir Dir;
  TCustomFFmpeg E;
};

TEST_F(FilesTest, EveryTestClipOpensAndHandsOnItsProperties) {
  for (const TClipSpec& clipSpec : StandardClipSpecs()) {
    SCOPED_TRACE(clipSpec.Name);
    const std::string path = Dir / (clipSpec.Name + clipSpec.Extension);
    std::string error;
    ASSERT_TRUE(MakeClip(clipSpec, path, &error)) << error;
    TCustomFFmpeg e;
    e.PrepareForTask();
    ASSERT_TRUE(e.OpenInputFile(path)) << e.LastError();
    ASSERT_EQ(e.InputFileCount(), 1);
    AVFormatContext* ic = e.InputFile(0);
    int video = 0, audio = 0;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      video += ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
      audio += ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    }
    EXPECT_EQ(video, clipSpec.VideoCodec.empty() ? 0 : 1);
    EXPECT_EQ(audio, clipSpec.AudioCodec.empty() ? 0 : clipSpec.AudioStreams);
    if (!clipSpec.VideoCodec.empty()) {
      EXPECT_EQ(e.FFrameWidth, clipSpec.Width);
      EXPECT_EQ(e.FFrameHeight, clipSpec.Height);
      EXPECT_NEAR(av_q2d(e.FFrameRate), av_q2d(clipSpec.FrameRate), 0.01);
      EXPECT_NE(e.FFramePixFmt, -1);
    }
    if (!clipSpec.AudioCodec.empty()) {
      EXPECT_EQ(e.FAudioSampleRate, clipSpec.SampleRate);
      EXPECT_EQ(e.FAudioChannels, clipSpec.Channels);
    }
    const int64_t expected = ClipExpectedDurationUs(clipSpec);
    if (expected == AV_NOPTS_VALUE) {
      EXPECT_EQ(e.TotalDurationMs(), -1);
    } else {
      EXPECT_NEAR(e.TotalDurationMs() * 1000.0, static_cast<double>(expected),
                  static_cast<double>(ClipDurationToleranceUs(clipSpec)) + 1000);
    }
    // The per-input selections are gone after the open.
    EXPECT_EQ(e.FVideoCodecName, nullptr);
    EXPECT_EQ(e.FInputFormat, nullptr);
  }
}

TEST_F(FilesTest, InputFailuresUseTheOpenErrorWordings) {
  const std::string good = Make("mp4");
  std::ifstream src(good, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(src)), std::istreambuf_iterator<char>());
  WriteFile(Dir / "empty.avi", "");
  std::string noise(20000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919u + 13u) >> 3);
  WriteFile(Dir / "random.avi", noise);
  WriteFile(Dir / "text.mpg", "This is not a video file.\nJust some words.\n");
  WriteFile(Dir / "truncated.mp4", bytes.substr(0, bytes.size() / 2));
  struct TCase {
    std::string File;
    std::string Message;
  };
  const TCase cases[] = {
      {Dir / "missing.avi", FormatOpenError(Dir / "missing.avi", AVERROR(ENOENT))},
      {Dir / "empty.avi", FormatOpenError(Dir / "empty.avi", AVERROR_INVALIDDATA)},
      {Dir / "random.avi", FormatOpenError(Dir / "random.avi", AVERROR_INVALIDDATA)},
      {Dir / "text.mpg", FormatOpenError(Dir / "text.mpg", AVERROR_INVALIDDATA)},
      {Dir / "truncated.mp4", FormatOpenError(Dir / "truncated.mp4", AVERROR_INVALIDDATA)},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.File);
    TCustomFFmpeg e;
    e.PrepareForTask();
    e.AddOption("vcodec", "mpeg4");
    EXPECT_FALSE(e.OpenInputFile(k.File));
    EXPECT_EQ(e.LastError(), k.Message);
    EXPECT_EQ(e.InputFileCount(), 0);
    EXPECT_EQ(e.FVideoCodecName, nullptr);  // reset on failure too
  }
  EXPECT_EQ(FormatOpenError("x", AVERROR(ENOENT)), "x: no such file or directory");
  EXPECT_EQ(FormatOpenError("x", AVERROR_INVALIDDATA), "x: Unknown format");

  // A decoder of the wrong kind is refused with the lookup's message.
  E.AddOption("vcodec", "mp2");
  EXPECT_FALSE(E.OpenInputFile(good));
  EXPECT_EQ(E.LastError(), "Invalid decoder type 'mp2'");
}

TEST_F(FilesTest, OffsetsAndDurationsOverSeveralInputs) {
  TClipSpec longer = ClipSpecByName("mkv_start_2s");  // starts at 2 s
  longer.DurationSeconds = 2.0;
  const std::string a = Make("avi_xvid");
  const std::string b = Dir / "b.mkv";
  std::string error;
  ASSERT_TRUE(MakeClip(longer, b, &error)) << error;
  E.AddOption("ss", "0.5");
  ASSERT_TRUE(E.OpenInputFile(b)) << E.LastError();
  // The start time is the file's own start plus the option, for this input only.
  EXPECT_EQ(E.FInputTsOffset[0], -(E.InputFile(0)->start_time + 500000));
  EXPECT_NEAR(static_cast<double>(E.FInputTsOffset[0]), -2500000, 50000);
  EXPECT_EQ(E.FStartTime, 0);
  ASSERT_TRUE(E.OpenInputFile(a)) << E.LastError();
  EXPECT_EQ(E.FInputTsOffset[1], 0);
  EXPECT_NEAR(E.TotalDurationMs(), 4000, 60);  // the longest input decides
}

TEST_F(FilesTest, TimestampOptionReadsBackThroughTheProbe) {
  // Whole seconds, and a fraction that rounds up into the next day.
  for (const char* stamp : {"2009-05-01T12:00:00Z", "1999-12-31T23:59:59.6Z"}) {
    TCustomFFmpeg engine;
    TConversion c;
    c.OutputOptions = {{"timestamp", stamp}};
    engine.PrepareForTask();
    const std::string out = Dir / "stamped.mp4";
    ASSERT_TRUE(Convert(Make("avi_xvid"), out, c, &engine)) << c.Error;
    ASSERT_NE(engine.FRecTimestamp, 0) << stamp;
    TAVProbe probe;
    ASSERT_TRUE(probe.Open(out)) << probe.LastError();
    TAVFileInfo info{};
    probe.GetFileInfo(info);
    EXPECT_EQ(info.Timestamp, engine.FRecTimestamp) << stamp;
  }
}

TEST_F(FilesTest, OutputStreamsFollowTheOptionState) {
  const std::string av = Make("avi_xvid");
  const std::string audioOnly = Make("wma_audio_only");

  // An unknown extension and no format: refused, nothing registered.
  ASSERT_TRUE(E.OpenInputFile(av));
  EXPECT_FALSE(E.OpenOutputFile(Dir / "out.unknownext"));
  EXPECT_EQ(E.LastError(), "Unable to find a suitable output format for '" + Dir / "out.unknownext" + "'");
  EXPECT_EQ(E.OutputFileCount(), 0);

  // .mp4 chosen by name; size with padding; audio quality left unset.
  E.AddOption("s", "320x240");
  E.AddOption("padtop", "8");
  E.AddOption("padbottom", "8");
  E.AddOption("vcodec", "mpeg4");
  E.AddOption("acodec", "libfaac");
  E.AddOption("alang", "eng");
  // The window's order: the audio bit rate first, then the video one.
  E.AddOption("ab", "80000");
  E.AddOption("b", "512000");
  // Encoder options of the older libraries that today's encoders keep as
  // their own; a name no encoder knows is dropped.
  const std::vector<std::pair<std::string, std::string>> own = {
      {"mpeg_quant", "1"}, {"lmin", "300"}, {"aac_pns", "0"}, {"no_such_option", "3"}};
  for (const auto& [name, value] : own) E.AddOption(name, value);
  ASSERT_TRUE(E.OpenOutputFile(Dir / "first.mp4")) << E.LastError();
  AVFormatContext* oc = E.OutputFile(0);
  EXPECT_STREQ(oc->oformat->name, "mp4");
  ASSERT_EQ(oc->nb_streams, 2u);
  AVCodecContext* v = E.FOutputCodecs[0][0];
  AVCodecContext* a = E.FOutputCodecs[0][1];
  EXPECT_EQ(v->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(v->width, 320);
  EXPECT_EQ(v->height, 256);
  EXPECT_EQ(a->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(a->profile, FF_PROFILE_AAC_LOW);
  EXPECT_EQ(v->bit_rate, 512000);
  EXPECT_EQ(a->bit_rate, 80000);
  EXPECT_FALSE(a->flags & AV_CODEC_FLAG_QSCALE);
  const std::vector<std::tuple<AVCodecContext*, const char*, int64_t>> reached = {
      {v, "mpeg_quant", 1}, {v, "lmin", 300}, {a, "aac_pns", 0}};
  for (const auto& [ctx, name, expected] : reached) {
    int64_t value = -1;
    ASSERT_GE(ff::av_opt_get_int(ctx->priv_data, name, 0, &value), 0) << name;
    EXPECT_EQ(value, expected) << name;
  }
  AVDictionaryEntry* lang = ff::av_dict_get(oc->streams[1]->metadata, "language", nullptr, 0);
  ASSERT_TRUE(lang);
  EXPECT_STREQ(lang->value, "eng");

  // A second output does not inherit codec names or languages, but keeps the size.
  E.AddOption("aq", "0");
  ASSERT_TRUE(E.OpenOutputFile(Dir / "second.avi")) << E.LastError();
  AVCodecContext* v2 = E.FOutputCodecs[1][0];
  AVCodecContext* a2 = E.FOutputCodecs[1][1];
  EXPECT_NE(v2->codec_id, AV_CODEC_ID_NONE);
  EXPECT_EQ(v2->codec_id, ff::av_guess_codec(E.OutputFile(1)->oformat, nullptr, E.OutputFile(1)->url, nullptr,
                                             AVMEDIA_TYPE_VIDEO));
  EXPECT_EQ(v2->height, 256);
  EXPECT_TRUE(a2->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(a2->global_quality, 0);
  EXPECT_FALSE(ff::av_dict_get(E.OutputFile(1)->streams[1]->metadata, "language", nullptr, 0));

  // An audio-only input gives no video stream, even with a video codec named.
  TCustomFFmpeg e;
  e.PrepareForTask();
  ASSERT_TRUE(e.OpenInputFile(audioOnly));
  e.AddOption("vcodec", "mpeg4");
  ASSERT_TRUE(e.OpenOutputFile(Dir / "audio.mp4")) << e.LastError();
  ASSERT_EQ(e.OutputFile(0)->nb_streams, 1u);
  EXPECT_EQ(e.FOutputCodecs[0][0]->codec_type, AVMEDIA_TYPE_AUDIO);
}

TEST_F(FilesTest, CopiedVideoTakesItsAspectFromTheOptionState) {
  // No input: no frame size is known, so the aspect comes from the 4:3 rule.
  E.FFrameAspectRatio = 16.0f / 9.0f;
  E.AddOption("vcodec", "copy");
  E.AddOption("an", "");
  ASSERT_TRUE(E.OpenOutputFile(Dir / "copy.mp4")) << E.LastError();
  ASSERT_EQ(E.OutputFile(0)->nb_streams, 1u);
  EXPECT_EQ(E.FOutputStreamCopy[0][0], 1);
  const AVRational sar = E.OutputFile(0)->streams[0]->sample_aspect_ratio;
  EXPECT_EQ(sar.num, 4);  // 16/9 * 3/4 = 4/3
  EXPECT_EQ(sar.den, 3);
}

TEST_F(FilesTest, RateControlOverrides) {
  const auto entries = TCustomFFmpeg::ParseRcOverride("0,100,-50/101,200,5");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].start_frame, 0);
  EXPECT_EQ(entries[0].end_frame, 100);
  EXPECT_EQ(entries[0].qscale, 0);
  EXPECT_FLOAT_EQ(entries[0].quality_factor, 0.5f);
  EXPECT_EQ(entries[1].start_frame, 101);
  EXPECT_EQ(entries[1].end_frame, 200);
  EXPECT_EQ(entries[1].qscale, 5);
  EXPECT_FLOAT_EQ(entries[1].quality_factor, 1.0f);
  EXPECT_THROW(TCustomFFmpeg::ParseRcOverride("0,100"), FFMpegException);
  try {
    TCustomFFmpeg::ParseRcOverride("0,100");
  } catch (const FFMpegException& e) {
    EXPECT_STREQ(e.what(), "error parsing rc_override");
  }
  // Through the output file: the encoder context gets the table.
  E.AddOption("vcodec", "mpeg4");
  E.AddOption("rc_override", "0,10,4");
  ASSERT_TRUE(E.OpenOutputFile(Dir / "rc.mp4")) << E.LastError();
  AVCodecContext* v = E.FOutputCodecs[0][0];
  ASSERT_EQ(v->rc_override_count, 1);
  EXPECT_EQ(v->rc_override[0].qscale, 4);
  // A broken one is reported as the stream builder's failure.
  TCustomFFmpeg e;
  e.PrepareForTask();
  e.AddOption("vcodec", "mpeg4");
  e.AddOption("rc_override", "7");
  EXPECT_FALSE(e.OpenOutputFile(Dir / "rc2.mp4"));
  EXPECT_EQ(e.LastError(), "new_video_stream fail: error parsing rc_override");
}

TEST_F(FilesTest, OutOfRangeQualityAndMuxTimesAreHeldToTheirRange) {
  // Found by fuzzing the options: these products overflowed the integers they
  // are stored in.
  struct TCase {
    const char* Name;
    const char* Value;
    int AudioQuality;  // expected global quality of the audio encoder
    int MaxDelay;      // expected muxer delay, microseconds
  };
  const TCase cases[] = {
      {"aq", "99999999999", INT32_MAX, 699999},
      {"aq", "-99998", -99998 * 118, 699999},
      {"muxdelay", "99999999999", 0, INT32_MAX},
      {"muxdelay", "-1e30", 0, INT32_MIN},
      {"muxpreload", "1e30", 0, 699999},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(std::string(k.Name) + "=" + k.Value);
    TCustomFFmpeg e;
    e.PrepareForTask();
    e.AddOption("acodec", "libfaac");
    e.AddOption(k.Name, k.Value);
    ASSERT_TRUE(e.OpenOutputFile(Dir / "huge.mp4")) << e.LastError();
    EXPECT_EQ(e.OutputFile(0)->max_delay, k.MaxDelay);
    EXPECT_EQ(e.FOutputCodecs[0][1]->global_quality, k.AudioQuality);
  }
}

TEST_F(FilesTest, HugePictureSizesAreUsedOrRefusedWithoutOverflow) {
  struct TCase {
    const char* Size;
    const char* PadLeft;  // nullptr: none
    int Width;            // the encoder's width; 0: the output is refused
  };
  const TCase cases[] = {
      {"799999953x240", nullptr, 799999953},
      {"2147483646x2", "2", 0},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Size);
    TCustomFFmpeg e;
    e.PrepareForTask();
    e.AddOption("vcodec", "mpeg4");
    try {
      e.AddOption("s", k.Size);
    } catch (const FFMpegException&) {
      // An odd size is refused but kept, as designed.
    }
    if (k.PadLeft) e.AddOption("padleft", k.PadLeft);
    if (k.Width) {
      ASSERT_TRUE(e.OpenOutputFile(Dir / "huge.mp4")) << e.LastError();
      EXPECT_EQ(e.FOutputCodecs[0][0]->width, k.Width);
    } else {
      EXPECT_FALSE(e.OpenOutputFile(Dir / "huge.mp4"));
      EXPECT_EQ(e.LastError(), "new_video_stream fail: Incorrect frame size");
    }
  }
}

TEST_F(FilesTest, AnOutputThatCannotBeOpenedIsCountedAndRemovedByCleanup) {
  E.AddOption("vcodec", "mpeg4");
  const std::string path = Dir / "no-such-folder/out.mp4";
  EXPECT_FALSE(E.OpenOutputFile(path));
  EXPECT_EQ(E.LastError(), "Could not open '" + path + "'");
  EXPECT_EQ(E.OutputFileCount(), 1);
  E.Cleanup();
  EXPECT_EQ(E.OutputFileCount(), 0);

  // The feed format of the older generation is gone: asking for it fails.
  TCustomFFmpeg e;
  e.PrepareForTask();
  EXPECT_THROW(e.AddOption("f", "ffm"), FFMpegException);
}

}  // namespace
