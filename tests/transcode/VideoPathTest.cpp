// The video side of a conversion: stream copy, crop/scale/pad geometry and
// pixels, frame-rate synchronisation, limits, stop requests, two passes,
// statistics files and the progress event.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

using VideoPathTest = TConversionTest;

TEST_F(VideoPathTest, StreamCopyKeepsEveryPacketBitIdentical) {
  const std::string in = Make("avi_video_only");
  TConversion c;
  c.OutputOptions = {{"vcodec", "copy"}, {"an", ""}};
  const std::string out = Dir / "copy.mp4";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  const auto source = PacketPayloads(in, AVMEDIA_TYPE_VIDEO);
  const auto copied = PacketPayloads(out, AVMEDIA_TYPE_VIDEO);
  ASSERT_FALSE(source.empty());
  EXPECT_EQ(copied, source);
  TFileFacts f = ReadFacts(out);
  ASSERT_TRUE(f.First(AVMEDIA_TYPE_VIDEO));
  EXPECT_TRUE(f.First(AVMEDIA_TYPE_VIDEO)->FirstIsKey);
  EXPECT_EQ(f.First(AVMEDIA_TYPE_VIDEO)->Width, 160);
  EXPECT_FALSE(f.First(AVMEDIA_TYPE_AUDIO));
}

TEST_F(VideoPathTest, EveryPictureLastsOneFrameAtTheOutputRate) {
  // Inputs with different time bases, down to a single picture: each output
  // packet lasts 1/30 s, so the frame rate and the duration are exact.
  for (const char* preset : {"avi_video_only", "mp4", "mkv"}) {
    for (const double seconds : {0.04, 0.4}) {
      SCOPED_TRACE(std::string(preset) + " " + std::to_string(seconds));
      TClipSpec recipe = ClipSpecByName(preset);
      recipe.DurationSeconds = seconds;
      recipe.Name += std::to_string(static_cast<int>(seconds * 100));
      const std::string in = MakeSpec(recipe);
      TConversion c;
      c.OutputOptions = WindowDefaults();
      const std::string out = Dir / (recipe.Name + ".mp4");
      ASSERT_TRUE(Convert(in, out, c)) << c.Error;
      const TFileFacts f = ReadFacts(out);
      const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
      ASSERT_TRUE(v);
      EXPECT_NEAR(static_cast<double>(v->Packets), seconds * 30, 1.0);
      EXPECT_EQ(v->FrameRate.num, 30);
      EXPECT_EQ(v->FrameRate.den, 1);
      EXPECT_NEAR(static_cast<double>(v->EndUs - v->FirstPts), v->Packets * 1e6 / 30, 1000.0);
    }
  }
}

TEST_F(VideoPathTest, ScaleAndPadGiveTheRequestedGeometryAndBorderColour) {
  const std::string in = Make("avi_video_only");  // 160x120
  struct TCase {
    const char* Name;
    std::vector<std::pair<std::string, std::string>> Options;
    int Width, Height;           // coded size
    int Top, Bottom, Left, Right;  // padding
    int BorderY;                 // luma of the border
  };
  const TCase cases[] = {
      {"scale_and_pad", {{"s", "320x208"}, {"padtop", "16"}, {"padbottom", "16"}}, 320, 240, 16, 16, 0, 0, 16},
      {"pad_only_white", {{"padleft", "16"}, {"padright", "16"}, {"padcolor", "0xFFFFFF"}}, 192, 120, 0, 0, 16, 16, 255},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TConversion c;
    c.OutputOptions = k.Options;
    c.OutputOptions.push_back({"vcodec", "mpeg4"});
    c.OutputOptions.push_back({"qscale", "2"});
    const std::string out = Dir / (std::string(k.Name) + ".avi");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    auto frames = DecodeVideo(out, 3);
    ASSERT_FALSE(frames.empty());
    const AVFrame* f = frames.back().get();
    EXPECT_EQ(f->width, k.Width);
    EXPECT_EQ(f->height, k.Height);
    auto luma = [&](int X, int Y) { return static_cast<int>(f->data[0][Y * f->linesize[0] + X]); };
    if (k.Top) {
      EXPECT_NEAR(luma(k.Width / 2, 4), k.BorderY, 6);
      EXPECT_NEAR(luma(k.Width / 2, k.Height - 4), k.BorderY, 6);
    }
    if (k.Left) {
      EXPECT_NEAR(luma(4, k.Height / 2), k.BorderY, 6);
      EXPECT_NEAR(luma(k.Width - 4, k.Height / 2), k.BorderY, 6);
    }
    // Inside the padding the picture is the source's, scaled.
    const int innerW = k.Width - k.Left - k.Right, innerH = k.Height - k.Top - k.Bottom;
    double error = 0;
    int n = 0;
    for (int y = 8; y < innerH - 8; y += 7)
      for (int x = 8; x < innerW - 8; x += 7) {
        const int sx = x * 160 / innerW, sy = y * 120 / innerH;
        error += std::abs(luma(k.Left + x, k.Top + y) - TestPictureLuma(160, 120, 2, sx, sy));
        ++n;
      }
    EXPECT_LT(error / n, 12.0);
  }
}

TEST_F(VideoPathTest, CropTakesTheInnerArea) {
  // Planar 4:2:0 and packed 4:2:2 (two bytes a pixel, chroma shared by pairs).
  TClipSpec packed = ClipSpecByName("avi_video_only");  // 160x120
  packed.Name = "yuyv422";
  packed.VideoCodec = "rawvideo";
  packed.PixelFormat = "yuyv422";
  for (const TClipSpec& recipe : {ClipSpecByName("avi_video_only"), packed}) {
    SCOPED_TRACE(recipe.Name);
    const std::string in = MakeSpec(recipe);
    TConversion c;
    c.OutputOptions = {{"croptop", "16"}, {"cropleft", "32"}, {"s", "128x104"}, {"vcodec", "mpeg4"}, {"qscale", "2"}};
    const std::string out = Dir / ("crop-" + recipe.Name + ".avi");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    auto frames = DecodeVideo(out, 1);
    ASSERT_EQ(frames.size(), 1u);
    const AVFrame* f = frames[0].get();
    EXPECT_EQ(f->width, 128);
    EXPECT_EQ(f->height, 104);
    double error = 0;
    int n = 0;
    for (int y = 4; y < 100; y += 5)
      for (int x = 4; x < 124; x += 5) {
        error += std::abs(f->data[0][y * f->linesize[0] + x] - TestPictureLuma(160, 120, 0, x + 32, y + 16));
        ++n;
      }
    EXPECT_LT(error / n, 8.0);
  }
}

TEST_F(VideoPathTest, FrameRateConversionDuplicatesAndDrops) {
  struct TCase {
    AVRational In;
    const char* Out;
    int Frames;        // output pictures for 2 s
    int Dup, Drop;     // expected counters, +-1
  };
  const TCase cases[] = {{{25, 1}, "30", 60, 10, 0}, {{30, 1}, "10", 20, 0, 40}};
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Out);
    TClipSpec clipSpec = ClipSpecByName("avi_video_only");
    clipSpec.Name = std::string("rate") + k.Out;
    clipSpec.FrameRate = k.In;
    clipSpec.DurationSeconds = 2.0;
    const std::string in = MakeSpec(clipSpec);
    TCustomFFmpeg engine;
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"r", k.Out}};
    const std::string out = Dir / (clipSpec.Name + ".mp4");
    ASSERT_TRUE(Convert(in, out, c, &engine)) << c.Error;
    EXPECT_NEAR(engine.FFramesDup, k.Dup, 1);
    EXPECT_NEAR(engine.FFramesDrop, k.Drop, 1);
    TFileFacts f = ReadFacts(out);
    ASSERT_TRUE(f.First(AVMEDIA_TYPE_VIDEO));
    EXPECT_NEAR(static_cast<double>(f.First(AVMEDIA_TYPE_VIDEO)->Packets), k.Frames, 2);
  }
}

// Every output frame shows the input picture on screen at the middle of its
// display interval, and the last picture lasts its whole duration: the output
// has the input's duration times the output rate frames. The moving box tells
// which input picture an output frame shows.
TEST_F(VideoPathTest, FrameRateConversionKeepsEveryPictureAtItsTime) {
  struct TCase {
    AVRational In;
    const char* Out;
    double OutRate;
    double Seconds;
  };
  const TCase cases[] = {{{10, 1}, "30", 30, 2.0},
                         {{24, 1}, "30", 30, 1.5},
                         {{24000, 1001}, "30", 30, 1.5},
                         {{30, 1}, "10", 10, 1.2}};
  for (const TCase& k : cases) {
    const double inRate = av_q2d(k.In);
    SCOPED_TRACE(std::to_string(inRate) + " -> " + k.Out);
    TClipSpec clipSpec = ClipSpecByName("avi_video_only");
    clipSpec.Name = "time" + std::to_string(k.In.num) + "_" + k.Out;
    clipSpec.FrameRate = k.In;
    clipSpec.DurationSeconds = k.Seconds;
    const std::string in = MakeSpec(clipSpec);
    const int64_t pictures = ClipVideoFrameCount(clipSpec);
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"r", k.Out}};
    const std::string out = Dir / (clipSpec.Name + ".avi");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    const auto frames = DecodeVideo(out, 1000);
    ASSERT_EQ(static_cast<int64_t>(frames.size()), std::llround(pictures * k.OutRate / inRate));
    for (size_t i = 0; i < frames.size(); ++i) {
      const AVFrame* f = frames[i].get();
      int64_t shown = -1;
      double best = 1e9;
      for (int64_t n = 0; n < pictures; ++n) {
        double error = 0;
        int count = 0;
        for (int y = 1; y < f->height; y += 4)
          for (int x = 1; x < f->width; x += 4) {
            error += std::abs(f->data[0][y * f->linesize[0] + x] - TestPictureLuma(160, 120, n, x, y));
            ++count;
          }
        if (error / count < best) {
          best = error / count;
          shown = n;
        }
      }
      const int64_t expected =
          std::min<int64_t>(pictures - 1, static_cast<int64_t>(std::floor((i + 0.5) / k.OutRate * inRate + 1e-6)));
      EXPECT_EQ(shown, expected) << "output frame " << i;
      EXPECT_LT(best, 4.0) << "output frame " << i;
    }
  }
}

TEST_F(VideoPathTest, FrameAndTimeLimits) {
  TClipSpec clipSpec = ClipSpecByName("avi_xvid");
  clipSpec.DurationSeconds = 2.0;
  const std::string in = MakeSpec(clipSpec);
  {
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"vframes", "10"}};
    const std::string out = Dir / "vframes.mp4";
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    EXPECT_TRUE(c.Finished);
    TFileFacts f = ReadFacts(out);
    ASSERT_TRUE(f.First(AVMEDIA_TYPE_VIDEO));
    EXPECT_EQ(f.First(AVMEDIA_TYPE_VIDEO)->Packets, 10);
  }
  {
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"t", "0.5"}};
    const std::string out = Dir / "t.mp4";
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    TFileFacts f = ReadFacts(out);
    const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    // The loop ends once every stream has reached 0.5 s: the video may run a
    // picture further while the audio catches up.
    EXPECT_NEAR(static_cast<double>(v->Packets), 0.5 * 25, 2.0);
    EXPECT_NEAR(static_cast<double>(a->EndUs - a->FirstPts), 500000, 100000);
  }
}

TEST_F(VideoPathTest, StopRequestEndsTheRunAndKeepsTheOlderOutput) {
  TClipSpec clipSpec = ClipSpecByName("avi_xvid");
  clipSpec.DurationSeconds = 6.0;
  const std::string in = MakeSpec(clipSpec);
  TCustomFFmpeg engine;
  engine.FProgressInterval = 0;
  int lastFrame = 0;
  engine.FOnProgress = [&](TCustomFFmpeg* E, int Frame, int, int, float, float, int64_t, int) {
    lastFrame = Frame;
    if (Frame >= 20) E->Stop();
  };
  TConversion c;
  c.OutputOptions = WindowDefaults();
  const std::string out = Dir / "stopped.mp4";
  WriteFile(out, "an older conversion");
  ASSERT_TRUE(Convert(in, out, c, &engine)) << c.Error;
  EXPECT_FALSE(c.Finished);
  EXPECT_FALSE(c.Failed) << c.Error;
  EXPECT_EQ(c.Terminations, 1);
  EXPECT_GE(lastFrame, 20);
  EXPECT_LT(lastFrame, 6 * 30 / 2);
  // A stopped conversion is not saved: the older file stays, and nothing of
  // the stopped one is left beside it.
  EXPECT_EQ(ReadFile(out), "an older conversion");
  EXPECT_EQ(FolderEntries(Dir.Path()), (std::vector<std::string>{"avi_xvid.avi", "stopped.mp4"}));
}

TEST_F(VideoPathTest, TwoPassEncodingWritesAndReadsItsStatistics) {
  const std::string in = Make("avi_video_only");
  const std::string log = Dir / "stats";
  for (const char* pass : {"1", "2"}) {
    SCOPED_TRACE(pass);
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"b", "200000"}, {"pass", pass}, {"passlogfile", log}};
    const std::string out = Dir / (std::string("pass") + pass + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    EXPECT_TRUE(c.Finished);
    EXPECT_GT(FileSizeOf(log + "-0.log"), 0);
    EXPECT_GT(ReadFacts(out).First(AVMEDIA_TYPE_VIDEO)->Packets, 20);
  }
  // Pass 2 without the statistics of pass 1 fails with the file's name.
  TConversion c;
  c.OutputOptions = {{"vcodec", "mpeg4"}, {"pass", "2"}, {"passlogfile", Dir / "missing"}};
  EXPECT_FALSE(Convert(in, Dir / "nopass.mp4", c));
  EXPECT_EQ(c.Error, "creat open fail: " + Dir / "missing" + "-0.log");
}

TEST_F(VideoPathTest, VideoStatisticsHaveOneLinePerEncodedFrame) {
  const std::string in = Make("avi_video_only");
  const std::string stats = Dir / "vstats.log";
  TConversion c;
  c.OutputOptions = {{"vcodec", "mpeg4"}, {"vstats_file", stats}};
  const std::string out = Dir / "vstats.mp4";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  std::ifstream file(stats);
  std::string line;
  int lines = 0;
  while (std::getline(file, line)) {
    ++lines;
    EXPECT_EQ(line.rfind("frame= ", 0), 0u) << line;
    EXPECT_NE(line.find(" f_size= "), std::string::npos) << line;
    EXPECT_NE(line.find(" type= "), std::string::npos) << line;
  }
  EXPECT_EQ(lines, ReadFacts(out).First(AVMEDIA_TYPE_VIDEO)->Packets);
}

TEST_F(VideoPathTest, ProgressEventCarriesTheRunsFiguresAndKeepsItsInterval) {
  const std::string in = Make("avi_xvid");
  struct TEvent {
    int Frame, Fps, TimeMs;
    float Quality, BitRate;
    int64_t Size;
    int Total;
  };
  for (int64_t interval : {int64_t{0}, int64_t{3600} * 1000000}) {
    SCOPED_TRACE(interval);
    std::vector<TEvent> events;
    TCustomFFmpeg engine;
    engine.FProgressInterval = interval;
    engine.FOnProgress = [&](TCustomFFmpeg*, int Frame, int Fps, int TimeMs, float Q, float Rate, int64_t Size,
                             int Total) { events.push_back({Frame, Fps, TimeMs, Q, Rate, Size, Total}); };
    TConversion c;
    c.OutputOptions = WindowDefaults();
    const std::string out = Dir / "progress.mp4";
    ASSERT_TRUE(Convert(in, out, c, &engine)) << c.Error;
    ASSERT_FALSE(events.empty());
    if (interval > 0) {
      EXPECT_EQ(events.size(), 1u);  // only the final report
    } else {
      EXPECT_GT(events.size(), 5u);
    }
    for (size_t i = 1; i < events.size(); ++i) EXPECT_GE(events[i].Frame, events[i - 1].Frame);
    const TEvent& last = events.back();
    EXPECT_EQ(last.Frame, ReadFacts(out).First(AVMEDIA_TYPE_VIDEO)->Packets);
    EXPECT_NEAR(last.TimeMs, 1000, 60);
    EXPECT_EQ(last.Size, FileSizeOf(out));
    EXPECT_GT(last.Quality, 0.0f);
    EXPECT_GT(last.BitRate, 0.0f);
    EXPECT_NEAR(last.Total, 1000, 60);  // the input's duration
  }
}

}  // namespace

namespace {

TEST_F(VideoPathTest, StreamCopyStartsAtAKeyFrame) {
  // Starting the output at 0.3 s lands inside the first group of pictures:
  // the copy waits for the next key frame instead of writing pictures that
  // cannot be decoded.
  const std::string in = Make("avi_video_only");
  TConversion c;
  c.OutputOptions = {{"vcodec", "copy"}, {"ss", "0.3"}};
  const std::string out = Dir / "copy_from_key.avi";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  const auto source = PacketPayloads(in, AVMEDIA_TYPE_VIDEO);
  const auto copied = PacketPayloads(out, AVMEDIA_TYPE_VIDEO);
  TFileFacts f = ReadFacts(out);
  ASSERT_TRUE(f.First(AVMEDIA_TYPE_VIDEO));
  EXPECT_TRUE(f.First(AVMEDIA_TYPE_VIDEO)->FirstIsKey);
  ASSERT_FALSE(copied.empty());
  EXPECT_LT(copied.size(), source.size() - 7);  // at least the pictures before 0.3 s are gone
  // What was copied is the source's tail, byte for byte.
  EXPECT_TRUE(std::equal(copied.rbegin(), copied.rend(), source.rbegin()));
}

}  // namespace

namespace {

// Inputs whose pictures are stored out of display order (B-frames, as most
// DivX/Xvid and MPEG-2 files have) come out in display order, one each, every
// picture at its own time: AVI carries no presentation times, and its first
// picture still comes first, not one frame late (the reordering delay); in
// the program stream the video starts 0.3 frames after the audio, less than
// half a frame.
TEST_F(VideoPathTest, ReorderedInputsComeOutInDisplayOrder) {
  for (const char* preset : {"avi_xvid", "mp4", "mpeg2_ps"}) {
    SCOPED_TRACE(preset);
    TClipSpec clipSpec = ClipSpecByName(preset);
    clipSpec.Name = std::string(preset) + "_bframes";
    clipSpec.BFrames = 2;
    clipSpec.VideoBitRate = 2000000;
    const std::string in = MakeSpec(clipSpec);
    const auto source = DecodeVideo(in, 1000);
    ASSERT_TRUE(std::any_of(source.begin(), source.end(),
                            [](const TFramePtr& F) { return F->pict_type == AV_PICTURE_TYPE_B; }))
        << "the input must hold B-frames";
    const double fps = av_q2d(clipSpec.FrameRate);
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""}};
    const std::string out = Dir / (clipSpec.Name + ".avi");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    auto frames = DecodeVideo(out, 1000);
    ASSERT_NEAR(static_cast<double>(frames.size()), clipSpec.DurationSeconds * fps, 1.0);
    for (size_t i = 0; i < frames.size(); ++i) {
      const AVFrame* f = frames[i].get();
      double error = 0;
      int n = 0;
      for (int y = 2; y < f->height - 2; y += 3)
        for (int x = 2; x < f->width - 2; x += 3) {
          error += std::abs(f->data[0][y * f->linesize[0] + x] -
                            TestPictureLuma(clipSpec.Width, clipSpec.Height, static_cast<int64_t>(i), x, y));
          ++n;
        }
      EXPECT_LT(error / n, 6.0) << "picture " << i;
    }
  }
}

// Decoders run on several threads (frame and slice threads); the pictures
// they give, their order, their times and the ones held back until the end
// are the same as on one thread, so the output is the same byte for byte:
// with pictures stored out of order, and with a recording time that ends the
// run while the decoder still holds pictures. Four threads are asked for too,
// so a one-core machine still tests them.
TEST_F(VideoPathTest, DecoderThreadsGiveTheSameOutputAsOneThread) {
  struct TCase {
    const char* Preset;
    const char* Codec;  // empty: the preset's
    const char* Time;   // the recording time; empty: none
  };
  const TCase cases[] = {{"mp4", "libx264", ""},
                         {"mp4", "libx264", "0.5"},
                         {"avi_xvid", "", ""},
                         {"mpeg2_ps", "", ""}};
  int n = 0;
  for (const TCase& k : cases) {
    TClipSpec clipSpec = ClipSpecByName(k.Preset);
    clipSpec.Name = std::string(k.Preset) + "_threads" + std::to_string(n++);
    SCOPED_TRACE(clipSpec.Name);
    if (*k.Codec) clipSpec.VideoCodec = k.Codec;
    clipSpec.BFrames = 2;
    clipSpec.Noise = 6;
    clipSpec.Width = 320;
    clipSpec.Height = 240;
    clipSpec.VideoBitRate = 1000000;
    const std::string in = MakeSpec(clipSpec);
    std::string first;
    for (const int threads : {1, 0, 4}) {
      SCOPED_TRACE(threads);
      TCustomFFmpeg engine;
      engine.FDecoderThreadCount = threads;
      TConversion c;
      c.OutputOptions = {{"vcodec", "mpeg4"}, {"b", "400000"}, {"s", "160x120"},
                         {"r", std::to_string(clipSpec.FrameRate.num) + "/" + std::to_string(clipSpec.FrameRate.den)},
                         {"acodec", "libfaac"}};
      if (*k.Time) c.OutputOptions.emplace_back("t", k.Time);
      const std::string out = Dir / (clipSpec.Name + "-" + std::to_string(threads) + ".mp4");
      ASSERT_TRUE(Convert(in, out, c, &engine)) << c.Error;
      const TFileFacts f = ReadFacts(out);
      const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
      ASSERT_TRUE(v);
      const double seconds = *k.Time ? std::atof(k.Time) : clipSpec.DurationSeconds;
      EXPECT_NEAR(static_cast<double>(v->Packets), seconds * av_q2d(clipSpec.FrameRate), 0.5);
      std::ifstream file(out, std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
      if (threads == 1)
        first = bytes;
      else
        EXPECT_TRUE(bytes == first) << "the output differs from the one-thread output";
    }
  }
}

// Frame threads keep a picture each: a decoder gets no more of them than
// 8 MiB of its pictures per core; where not even two fit, slice threads share
// the cores. Small pictures keep the libraries' count (0).
TEST_F(VideoPathTest, DecoderThreadsFollowTheCoresWithinTheirMemory) {
  constexpr int kBoth = FF_THREAD_FRAME | FF_THREAD_SLICE;
  struct TCase {
    int Cores;
    AVPixelFormat Format;
    int Width, Height;
    int Count, Type;
  } const cases[] = {
      {2, AV_PIX_FMT_YUV420P, 320, 240, 0, kBoth},          {8, AV_PIX_FMT_YUV420P, 320, 240, 0, kBoth},
      {2, AV_PIX_FMT_YUV420P, 1920, 1080, 0, kBoth},        {8, AV_PIX_FMT_YUV420P, 1920, 1080, 0, kBoth},
      {2, AV_PIX_FMT_YUV420P10LE, 1920, 1080, 2, kBoth},    {8, AV_PIX_FMT_YUV420P10LE, 1920, 1080, 0, kBoth},
      {2, AV_PIX_FMT_YUV420P, 3840, 2160, 2, FF_THREAD_SLICE}, {8, AV_PIX_FMT_YUV420P, 3840, 2160, 5, kBoth},
      {2, AV_PIX_FMT_YUV420P10LE, 3840, 2160, 2, FF_THREAD_SLICE},
      {8, AV_PIX_FMT_YUV420P10LE, 3840, 2160, 2, kBoth},    {1, AV_PIX_FMT_YUV420P, 3840, 2160, 1, FF_THREAD_SLICE},
  };
  for (const TCase& k : cases) {
    const TDecoderThreads t = DecoderThreadsFor(k.Cores, k.Format, k.Width, k.Height);
    EXPECT_EQ(t.Count, k.Count) << k.Cores << " cores, " << k.Width << "x" << k.Height << " " << k.Format;
    EXPECT_EQ(t.Type, k.Type) << k.Cores << " cores, " << k.Width << "x" << k.Height << " " << k.Format;
  }
  // The engine asks that of the decoder, for this machine's cores.
  for (const int width : {320, 3840}) {
    TClipSpec spec = ClipSpecByName("avi_video_only");
    spec.Name = "threads" + std::to_string(width);
    spec.Width = width;
    spec.Height = width * 9 / 16;
    spec.DurationSeconds = 0.2;
    const std::string in = MakeSpec(spec);
    TCustomFFmpeg engine;
    engine.PrepareForTask();
    ASSERT_TRUE(engine.OpenInputFile(in)) << engine.LastError();
    ASSERT_FALSE(engine.FInputCodecs[0].empty());
    const AVCodecContext* dec = engine.FInputCodecs[0][0];
    const TDecoderThreads t = DecoderThreadsFor(ff::av_cpu_count(), dec->pix_fmt, dec->width, dec->height);
    EXPECT_EQ(dec->thread_count, t.Count) << width;
    EXPECT_EQ(dec->thread_type, t.Type) << width;
  }
}

}  // namespace
