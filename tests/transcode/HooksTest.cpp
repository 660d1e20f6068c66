// Picture processing inside a conversion: the custom hook, frame-hook
// libraries with a schedule, deinterlacing and a user filter graph.
#include <gtest/gtest.h>

#include <cstring>

#include "ConvertHelper.h"

namespace {

using HooksTest = TConversionTest;

// Mean luma of a decoded picture.
double MeanLuma(const AVFrame* F) {
  double sum = 0;
  for (int y = 0; y < F->height; ++y)
    for (int x = 0; x < F->width; ++x) sum += F->data[0][y * F->linesize[0] + x];
  return sum / (static_cast<double>(F->width) * F->height);
}

// The mean luma of the test pattern of frame Frame at 160x120.
double PatternLuma(int64_t Frame) {
  double sum = 0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 160; ++x) sum += TestPictureLuma(160, 120, Frame, x, y);
  return sum / (160.0 * 120.0);
}

TEST_F(HooksTest, CustomHookPaintsPicturesUntilItStops) {
  const std::string in = Make("avi_video_only");  // 25 fps, 160x120
  TCustomFFmpeg engine;
  int beforeCalls = 0, customCalls = 0;
  engine.FOnBeforeHook = [&](TCustomFFmpeg*, int64_t, THookAction&) { ++beforeCalls; };
  engine.FOnCustomHook = [&](TCustomFFmpeg*, TBitmap* Bitmap, int32_t Frame, int64_t, bool& Update, bool& Stop) {
    ++customCalls;
    // Odd pictures become white; the tenth stops the hook (and is still painted).
    Update = Frame % 2 == 1 || Frame == 10;
    if (Update)
      for (int y = 0; y < Bitmap->Height(); ++y) std::memset(Bitmap->ScanLine(y), 255, Bitmap->Stride());
    Stop = Frame == 10;
  };
  TConversion c;
  c.OutputOptions = {{"vcodec", "mpeg4"}, {"qscale", "2"}};
  const std::string out = Dir / "custom.avi";
  ASSERT_TRUE(Convert(in, out, c, &engine)) << c.Error;
  EXPECT_EQ(beforeCalls, 0);
  EXPECT_EQ(customCalls, 10);
  auto frames = DecodeVideo(out, 25);
  ASSERT_EQ(frames.size(), 25u);
  // Frame numbers count from 1: pictures 1, 3, ..., 9 and 10 are white.
  for (int i = 0; i < 25; ++i) {
    const bool white = i < 10 && (i % 2 == 0 || i == 9);
    SCOPED_TRACE(i);
    if (white)
      EXPECT_GT(MeanLuma(frames[i].get()), 225);
    else
      EXPECT_NEAR(MeanLuma(frames[i].get()), PatternLuma(i), 4);
  }
}

TEST_F(HooksTest, FrameHookLibraryFollowsItsSchedule) {
  const std::string in = Make("avi_video_only");
  TCustomFFmpeg engine;
  engine.PrepareForTask();
  // The test hook turns every luma byte v into v * 3 + 0 (wrapping).
  engine.AddOption("vhook", std::string(VIDLOMAT_TEST_HOOK_DIR) + "/libvidlomat_test_hook.so 0");
  engine.SetHookSchedule({{0, 200000}});  // the first 0.2 s only
  TConversion c;
  c.OutputOptions = {{"vcodec", "mpeg4"}, {"qscale", "2"}};
  const std::string out = Dir / "vhook.avi";
  ASSERT_TRUE(engine.OpenInputFile(in)) << engine.LastError();
  for (auto& [name, value] : c.OutputOptions) engine.AddOption(name, value);
  ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastError();
  engine.Start(false);
  ASSERT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
  auto frames = DecodeVideo(out, 25);
  ASSERT_EQ(frames.size(), 25u);
  for (int i = 0; i < 25; ++i) {
    SCOPED_TRACE(i);
    const double pattern = PatternLuma(i);
    const double got = MeanLuma(frames[i].get());
    if (i <= 5)  // 0, 40, ..., 200 ms
      EXPECT_GT(std::abs(got - pattern), 10);
    else
      EXPECT_NEAR(got, pattern, 4);
  }
}

TEST_F(HooksTest, DeinterlacingAndUserFiltersRunInsideTheConversion) {
  const std::string in = Make("avi_video_only");
  {
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"deinterlace", ""}, {"qscale", "2"}};
    const std::string out = Dir / "deinterlaced.avi";
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    auto frames = DecodeVideo(out, 3);
    ASSERT_EQ(frames.size(), 3u);
    // The vertical low-pass keeps the smooth pattern nearly unchanged.
    EXPECT_NEAR(MeanLuma(frames[2].get()), PatternLuma(2), 4);
  }
  {
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"vfilters", "hflip"}, {"qscale", "2"}};
    const std::string out = Dir / "mirrored.avi";
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    auto frames = DecodeVideo(out, 1);
    ASSERT_EQ(frames.size(), 1u);
    const AVFrame* f = frames[0].get();
    double error = 0;
    int n = 0;
    for (int y = 4; y < 116; y += 6)
      for (int x = 4; x < 156; x += 6) {
        error += std::abs(f->data[0][y * f->linesize[0] + x] - TestPictureLuma(160, 120, 0, 159 - x, y));
        ++n;
      }
    EXPECT_LT(error / n, 6.0);
  }
}

}  // namespace
