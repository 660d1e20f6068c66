// What a source's pictures need before they are scaled: the turn of a display
// matrix, the colour conversion to the output's matrix, deinterlacing.
#include <gtest/gtest.h>

#include <cmath>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "TestSupport.h"

namespace {

using SourcePictureTest = TConversionTest;

bool Logged(const TConversion& C, const std::string& Text) {
  for (const auto& [level, line] : C.Log)
    if (line.find(Text) != std::string::npos) return true;
  return false;
}

// A short video-only clip of a preset, W x H, at a rate that keeps its
// pictures close to as drawn.
TClipSpec ShortClip(const char* Preset, const std::string& Name, int W, int H, int64_t BitRate) {
  TClipSpec clip = ClipSpecByName(Preset);
  clip.Name = Name;
  clip.Width = W;
  clip.Height = H;
  clip.DurationSeconds = 0.12;
  clip.AudioCodec.clear();
  clip.VideoBitRate = BitRate;
  return clip;
}

// The largest difference between two 4:2:0 pictures of A's size, sample by sample.
int WorstDifference(const AVFrame* A, const AVFrame* B) {
  int worst = 0;
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < (p ? A->height / 2 : A->height); ++y)
      for (int x = 0; x < (p ? A->width / 2 : A->width); ++x)
        worst = std::max(worst, std::abs(A->data[p][static_cast<ptrdiff_t>(y) * A->linesize[p] + x] -
                                         B->data[p][static_cast<ptrdiff_t>(y) * B->linesize[p] + x]));
  return worst;
}

// How many samples of two 4:2:0 pictures of A's size differ by more than Levels.
int SamplesApart(const AVFrame* A, const AVFrame* B, int Levels) {
  int count = 0;
  for (int p = 0; p < 3; ++p)
    for (int y = 0; y < (p ? A->height / 2 : A->height); ++y)
      for (int x = 0; x < (p ? A->width / 2 : A->width); ++x)
        count += std::abs(A->data[p][static_cast<ptrdiff_t>(y) * A->linesize[p] + x] -
                          B->data[p][static_cast<ptrdiff_t>(y) * B->linesize[p] + x]) > Levels;
  return count;
}

int LumaAt(const AVFrame* F, int X, int Y) { return F->data[0][static_cast<ptrdiff_t>(Y) * F->linesize[0] + X]; }

// The stored pixel that a shown picture holds at (U, V): the stored W x H
// picture is turned clockwise, then mirrored left-right.
std::pair<int, int> StoredPixel(int U, int V, int W, int H, int Degrees, bool Mirror) {
  const bool quarter = Degrees % 180 != 0;
  if (Mirror) U = (quarter ? H : W) - 1 - U;
  switch (Degrees) {
    case 90: return {V, H - 1 - U};
    case 180: return {W - 1 - U, H - 1 - V};
    case 270: return {W - 1 - V, U};
    default: return {U, V};
  }
}

TEST_F(SourcePictureTest, DisplayMatrixTurnsThePictureBeforeScaling) {
  struct TCase {
    int Degrees;
    bool Mirror;
    const char* Size;  // empty: the source's
    int Width, Height;  // coded output size
    const char* Logged;
  };
  // A 320x180 (16:9) picture; the window's 320x240 keeps the shown aspect
  // through the sample aspect ratio.
  const TCase cases[] = {
      {90, false, "320x240", 320, 240, "rotated 90\u00b0"},
      {270, false, "320x240", 320, 240, "rotated 270\u00b0"},
      {180, false, "320x240", 320, 240, "rotated 180\u00b0"},
      {90, true, "320x240", 320, 240, "rotated 90\u00b0 and mirrored"},
      {180, true, "320x240", 320, 240, "rotated 180\u00b0 and mirrored"},
      {270, true, "320x240", 320, 240, "rotated 270\u00b0 and mirrored"},
      {0, true, "320x240", 320, 240, "mirrored"},
      {90, false, "", 180, 320, "rotated 90\u00b0"},
  };
  constexpr int kW = 320, kH = 180;
  int n = 0;
  for (const TCase& k : cases) {
    TClipSpec clip = ShortClip("mp4", "turn" + std::to_string(n++), kW, kH, 4000000);
    SCOPED_TRACE(clip.Name + " " + k.Logged);
    clip.DisplayMatrix = true;
    clip.DisplayTurn = k.Degrees;
    clip.DisplayMirror = k.Mirror;
    const std::string in = MakeSpec(clip);
    TConversion c;
    c.OutputOptions = {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""}};
    if (*k.Size) c.OutputOptions.emplace_back("s", k.Size);
    const std::string out = Dir / (clip.Name + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    EXPECT_TRUE(Logged(c, k.Logged));
    const auto frames = DecodeVideo(out, 1);
    ASSERT_EQ(frames.size(), 1u);
    const AVFrame* f = frames[0].get();
    ASSERT_EQ(f->width, k.Width);
    ASSERT_EQ(f->height, k.Height);
    // The shown aspect is the turned picture's.
    const bool quarter = k.Degrees % 180 != 0;
    const int shownW = quarter ? kH : kW, shownH = quarter ? kW : kH;
    const double sar = f->sample_aspect_ratio.num ? av_q2d(f->sample_aspect_ratio) : 1.0;
    EXPECT_NEAR(f->width * sar / f->height, static_cast<double>(shownW) / shownH, 0.01);
    // Every pixel shows the stored pixel the turn puts there.
    double error = 0;
    int count = 0;
    for (int y = 2; y < f->height - 2; y += 3)
      for (int x = 2; x < f->width - 2; x += 3) {
        const int u = x * shownW / f->width, v = y * shownH / f->height;
        const auto [sx, sy] = StoredPixel(u, v, kW, kH, k.Degrees, k.Mirror);
        error += std::abs(LumaAt(f, x, y) - TestPictureLuma(kW, kH, 0, sx, sy));
        ++count;
      }
    EXPECT_LT(error / count, 6.0);
  }
}

TEST_F(SourcePictureTest, ColourBarsComeOutAsAPlayerShowsThem) {
  struct TCase {
    const char* Name;
    int Width, Height;
    AVColorSpace Matrix;  // the source's values and tag
    AVColorRange Range;
    bool Untagged;        // the values are written without a tag
    const char* Logged;   // empty: no colour line
    AVColorSpace OutputTag;
    const char* Filters = "";  // the user's video filters
  };
  const TCase cases[] = {
      {"bt709", 1280, 720, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, false, "colour BT.709 \u2192 BT.601",
       AVCOL_SPC_SMPTE170M},
      {"bt709_full", 1280, 720, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, false,
       "colour BT.709 full range \u2192 BT.601 limited range", AVCOL_SPC_SMPTE170M},
      {"untagged_hd", 1280, 720, AVCOL_SPC_BT709, AVCOL_RANGE_UNSPECIFIED, true, "colour BT.709 \u2192 BT.601",
       AVCOL_SPC_SMPTE170M},
      // A wide film is HD by its width.
      {"untagged_wide", 1280, 536, AVCOL_SPC_BT709, AVCOL_RANGE_UNSPECIFIED, true, "colour BT.709 \u2192 BT.601",
       AVCOL_SPC_SMPTE170M},
      {"bt601", 640, 360, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG, false, "", AVCOL_SPC_SMPTE170M},
      {"untagged_sd", 640, 360, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_UNSPECIFIED, true, "", AVCOL_SPC_UNSPECIFIED},
      {"bt709_filters", 1280, 720, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, false, "colour BT.709 \u2192 BT.601",
       AVCOL_SPC_SMPTE170M, "null"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TClipSpec clip = ShortClip("mp4", std::string("bars_") + k.Name, k.Width, k.Height, 20000000);
    clip.VideoCodec = "libx264";
    clip.ColourBars = true;
    clip.ColourMatrix = k.Matrix;
    clip.ColourRange = k.Range;
    clip.ColourUntagged = k.Untagged;
    const std::string in = MakeSpec(clip);
    TConversion c;
    c.OutputOptions = WindowDefaults();
    c.OutputOptions.emplace_back("an", "");
    if (*k.Filters) c.OutputOptions.emplace_back("vfilters", k.Filters);
    const std::string out = Dir / (clip.Name + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    if (*k.Logged)
      EXPECT_TRUE(Logged(c, k.Logged));
    else
      EXPECT_FALSE(Logged(c, "colour"));
    const auto frames = DecodeVideo(out, 1);
    ASSERT_EQ(frames.size(), 1u);
    const AVFrame* f = frames[0].get();
    EXPECT_EQ(f->colorspace, k.OutputTag);
    if (k.OutputTag != AVCOL_SPC_UNSPECIFIED) {
      EXPECT_EQ(f->color_primaries, AVCOL_PRI_SMPTE170M);
      EXPECT_EQ(f->color_trc, AVCOL_TRC_SMPTE170M);
      EXPECT_EQ(f->color_range, AVCOL_RANGE_MPEG);
    }
    // A player shows the SD output with BT.601, limited range.
    const int bars = ColourBarCount();
    for (int bar = 0; bar < bars; ++bar) {
      const int x = (2 * bar + 1) * f->width / (2 * bars), y = f->height / 2;
      const TYuv yuv{static_cast<double>(LumaAt(f, x, y)),
                     static_cast<double>(f->data[1][static_cast<ptrdiff_t>(y / 2) * f->linesize[1] + x / 2]),
                     static_cast<double>(f->data[2][static_cast<ptrdiff_t>(y / 2) * f->linesize[2] + x / 2])};
      const TRgb shown = RgbFromYuv(yuv, AVCOL_SPC_SMPTE170M, false), asked = ColourBarRgb(bar);
      EXPECT_NEAR(shown.R, asked.R, 6) << "bar " << bar;
      EXPECT_NEAR(shown.G, asked.G, 6) << "bar " << bar;
      EXPECT_NEAR(shown.B, asked.B, 6) << "bar " << bar;
    }
  }
}

using TCodecContextPtr = std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)>;
TCodecContextPtr NewCodecContext() {
  return {ff::avcodec_alloc_context3(nullptr), [](AVCodecContext* C) { ff::avcodec_free_context(&C); }};
}

// Each matrix a source may be tagged with: the name the log gives it on its
// way to an SD output, the scale filter's name for it, and the description
// an HD output (which keeps the matrix) is tagged with.
TEST_F(SourcePictureTest, EachMatrixIsNamedAndTaggedAsItself) {
  struct TCase {
    AVColorSpace Matrix;
    const char* Logged;  // to an SD output
    const char* Filter;  // the scale filter's name of the source's matrix
    AVColorSpace Tag;    // of an HD output
    AVColorPrimaries Primaries;
    AVColorTransferCharacteristic Transfer;
  } const cases[] = {
      {AVCOL_SPC_BT709, "colour BT.709 \u2192 BT.601", "bt709", AVCOL_SPC_BT709, AVCOL_PRI_BT709, AVCOL_TRC_BT709},
      {AVCOL_SPC_FCC, "colour FCC \u2192 BT.601", "fcc", AVCOL_SPC_SMPTE170M, AVCOL_PRI_SMPTE170M,
       AVCOL_TRC_SMPTE170M},
      {AVCOL_SPC_BT470BG, "", "bt601", AVCOL_SPC_SMPTE170M, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M},
      {AVCOL_SPC_SMPTE170M, "", "bt601", AVCOL_SPC_SMPTE170M, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M},
      {AVCOL_SPC_SMPTE240M, "colour SMPTE 240M \u2192 BT.601", "smpte240m", AVCOL_SPC_SMPTE240M,
       AVCOL_PRI_SMPTE240M, AVCOL_TRC_SMPTE240M},
      {AVCOL_SPC_BT2020_NCL, "colour BT.2020 \u2192 BT.601", "bt2020", AVCOL_SPC_BT2020_NCL, AVCOL_PRI_BT2020,
       AVCOL_TRC_BT709},
      {AVCOL_SPC_BT2020_CL, "colour BT.2020 \u2192 BT.601", "bt2020", AVCOL_SPC_BT2020_CL, AVCOL_PRI_BT2020,
       AVCOL_TRC_BT709},
      // Untagged HD is BT.709, and an HD output of it stays untagged.
      {AVCOL_SPC_UNSPECIFIED, "colour BT.709 \u2192 BT.601", "bt709", AVCOL_SPC_UNSPECIFIED,
       AVCOL_PRI_UNSPECIFIED, AVCOL_TRC_UNSPECIFIED},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE("matrix " + std::to_string(k.Matrix));
    const TCodecContextPtr dec = NewCodecContext();
    ASSERT_NE(dec, nullptr);
    dec->pix_fmt = AV_PIX_FMT_YUV420P;
    dec->width = 1920;
    dec->height = 1080;
    dec->colorspace = k.Matrix;
    dec->color_range = AVCOL_RANGE_MPEG;
    const TColourPlan sd = PlanColour(dec.get(), 240);
    EXPECT_EQ(ColourPlanText(sd), k.Logged);
    if (sd.Convert) {
      const std::string options = ColourScaleFilterOptions(sd);
      EXPECT_EQ(options.rfind(std::string(":in_color_matrix=") + k.Filter + ":out_color_matrix=bt601", 0), 0u)
          << options;
    }
    const TColourPlan hd = PlanColour(dec.get(), 720);
    EXPECT_FALSE(hd.Convert);
    const TCodecContextPtr enc = NewCodecContext();
    ASSERT_NE(enc, nullptr);
    TagColour(enc.get(), hd);
    EXPECT_EQ(enc->colorspace, k.Tag);
    EXPECT_EQ(enc->color_primaries, k.Primaries);
    EXPECT_EQ(enc->color_trc, k.Transfer);
    EXPECT_EQ(enc->color_range, k.Tag == AVCOL_SPC_UNSPECIFIED ? AVCOL_RANGE_UNSPECIFIED : AVCOL_RANGE_MPEG);
  }
}

// HDR bars (10-bit HEVC, BT.2020, HLG or PQ) shown as a player shows the
// SD output (BT.601, limited range): each bar keeps its hue, the channels
// that are off stay dark and those that are on stay bright.
TEST_F(SourcePictureTest, HdrBarsAreToneMappedToSdrAndKeepTheirHue) {
  struct TCase {
    const char* Name;
    AVColorTransferCharacteristic Transfer;
    const char* Logged;
  };
  const TCase cases[] = {{"hlg", AVCOL_TRC_ARIB_STD_B67, "Stream #0.0: HDR (HLG) tone-mapped to SDR"},
                         {"pq", AVCOL_TRC_SMPTE2084, "Stream #0.0: HDR (PQ) tone-mapped to SDR"}};
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TClipSpec clip = ShortClip("mp4", std::string("hdr_") + k.Name, 640, 360, 8000000);
    clip.VideoCodec = "libx265";
    clip.VideoTag = "hvc1";
    clip.PixelFormat = "yuv420p10le";
    clip.VideoEncoderOptions = {{"preset", "ultrafast"}, {"x265-params", "log-level=error"}};
    clip.ColourBars = true;
    clip.ColourTransfer = k.Transfer;
    const std::string in = MakeSpec(clip);
    const auto source = DecodeVideo(in, 1);
    ASSERT_EQ(source.size(), 1u);
    ASSERT_EQ(source[0]->format, AV_PIX_FMT_YUV420P10LE);
    ASSERT_EQ(source[0]->color_trc, k.Transfer);
    TConversion c;
    c.OutputOptions = WindowDefaults();
    c.OutputOptions.emplace_back("an", "");
    const std::string out = Dir / (clip.Name + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    EXPECT_TRUE(Logged(c, k.Logged));
    const auto frames = DecodeVideo(out, 100);
    ASSERT_FALSE(frames.empty());
    for (const AVFrame* f : {frames.front().get(), frames.back().get()}) {
      // Tagged as the SDR picture it is.
      EXPECT_EQ(f->colorspace, AVCOL_SPC_SMPTE170M);
      EXPECT_EQ(f->color_trc, AVCOL_TRC_SMPTE170M);
      const int bars = ColourBarCount();
      for (int bar = 0; bar < bars; ++bar) {
        const int x = (2 * bar + 1) * f->width / (2 * bars), y = f->height / 2;
        const TYuv yuv{static_cast<double>(LumaAt(f, x, y)),
                       static_cast<double>(f->data[1][static_cast<ptrdiff_t>(y / 2) * f->linesize[1] + x / 2]),
                       static_cast<double>(f->data[2][static_cast<ptrdiff_t>(y / 2) * f->linesize[2] + x / 2])};
        const TRgb shown = RgbFromYuv(yuv, AVCOL_SPC_SMPTE170M, false), asked = ColourBarRgb(bar);
        const double channels[3][2] = {{shown.R, asked.R}, {shown.G, asked.G}, {shown.B, asked.B}};
        for (const auto& [value, on] : channels) {
          if (on > 0)
            EXPECT_GE(value, 150) << "bar " << bar << " shown as " << shown.R << ", " << shown.G << ", " << shown.B;
          else
            EXPECT_LE(value, 64) << "bar " << bar << " shown as " << shown.R << ", " << shown.G << ", " << shown.B;
        }
      }
    }
  }
}

// An HDR picture made smaller can be scaled in its own colours and
// tone-mapped at the output's size (FToneMapAtOutputSize) instead of
// tone-mapped at full size and scaled after. The tone curve is not a straight
// line, so the two agree where the picture is even: inside each bar every
// sample stays within 2 levels, to an SD output (whose matrix changes after)
// and to an HD one, for HLG and PQ. (Where bright and dark meet, at the
// bars' edges and in fine detail or grain, the two differ by more: the
// benchmark's --hdr form gives the figure.) The two ways round differently
// at the edges, so some sample differs: the small way ran.
TEST_F(SourcePictureTest, HdrToneMappedAtTheOutputSizeAgreesWhereThePictureIsEven) {
  struct TCase {
    const char* Name;
    AVColorTransferCharacteristic Transfer;
    int Width, Height;
    const char* Size;  // of the output
  } const cases[] = {{"hlg", AVCOL_TRC_ARIB_STD_B67, 1280, 720, "320x240"},
                     {"pq", AVCOL_TRC_SMPTE2084, 1280, 720, "320x240"},
                     {"hlg_hd", AVCOL_TRC_ARIB_STD_B67, 1920, 1080, "1280x720"}};
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TClipSpec clip = ShortClip("mp4", std::string("small_hdr_") + k.Name, k.Width, k.Height, 20000000);
    clip.DurationSeconds = 0.07;
    clip.VideoCodec = "libx265";
    clip.VideoTag = "hvc1";
    clip.PixelFormat = "yuv420p10le";
    clip.VideoEncoderOptions = {{"preset", "ultrafast"}, {"x265-params", "log-level=error"}};
    clip.ColourBars = true;
    clip.ColourTransfer = k.Transfer;
    const std::string in = MakeSpec(clip);
    std::vector<TFramePtr> got[2];
    for (const int small : {0, 1}) {
      TCustomFFmpeg engine;
      engine.FToneMapAtOutputSize = small;
      TConversion c;
      c.OutputOptions = {{"s", k.Size}, {"vcodec", "rawvideo"}, {"pix_fmt", "yuv420p"}, {"an", ""}};
      const std::string out = Dir / (clip.Name + std::to_string(small) + ".avi");
      ASSERT_TRUE(Convert(in, out, c, &engine)) << c.Error;
      EXPECT_TRUE(Logged(c, "tone-mapped to SDR"));
      got[small] = DecodeVideo(out, 1);
      ASSERT_EQ(got[small].size(), 1u);
      ASSERT_EQ(got[small][0]->format, AV_PIX_FMT_YUV420P);
    }
    const AVFrame* full = got[0][0].get();
    const AVFrame* small = got[1][0].get();
    ASSERT_EQ(small->width, full->width);
    ASSERT_EQ(small->height, full->height);
    // The middle half of each bar, in every plane.
    const int bars = ColourBarCount();
    int worst = 0;
    for (int p = 0; p < 3; ++p) {
      const int w = p ? small->width / 2 : small->width, h = p ? small->height / 2 : small->height;
      for (int bar = 0; bar < bars; ++bar)
        for (int y = 0; y < h; ++y)
          for (int x = (4 * bar + 1) * w / (4 * bars); x < (4 * bar + 3) * w / (4 * bars); ++x)
            worst = std::max(worst, std::abs(small->data[p][static_cast<ptrdiff_t>(y) * small->linesize[p] + x] -
                                             full->data[p][static_cast<ptrdiff_t>(y) * full->linesize[p] + x]));
    }
    EXPECT_LE(worst, 2);
    EXPECT_GT(SamplesApart(small, full, 0), 0);
  }
}

// A change of matrix on a picture made smaller: scaled in the source's matrix,
// then converted at the output's size. Every sample stays within 2 levels of
// one scaler doing both (exact rounding, full chroma), on colour bars (also
// full range) and on a grainy moving picture as cameras give.
TEST_F(SourcePictureTest, ColoursConvertedAtTheOutputSizeStayWithinTwoLevels) {
  struct TCase {
    const char* Name;
    bool Bars;
    AVColorRange Range;
    int Noise;
  } const cases[] = {{"bars", true, AVCOL_RANGE_MPEG, 0},
                     {"bars_full", true, AVCOL_RANGE_JPEG, 0},
                     {"camera", false, AVCOL_RANGE_MPEG, 8}};
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TClipSpec clip = ShortClip("mp4", std::string("small_colour_") + k.Name, 1920, 1080, 20000000);
    clip.VideoCodec = "libx264";
    clip.ColourBars = k.Bars;
    clip.Noise = k.Noise;
    clip.ColourMatrix = AVCOL_SPC_BT709;
    clip.ColourRange = k.Range;
    const std::string in = MakeSpec(clip);
    TConversion c;
    c.OutputOptions = {{"s", "320x240"}, {"vcodec", "rawvideo"}, {"an", ""}};
    const std::string out = Dir / (clip.Name + ".avi");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    EXPECT_TRUE(Logged(c, "colour BT.709"));
    const auto got = DecodeVideo(out, 1), source = DecodeVideo(in, 1);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(source.size(), 1u);
    const AVFrame* f = got[0].get();
    const AVFrame* s = source[0].get();
    ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
    ASSERT_EQ(f->width, 320);
    ASSERT_EQ(f->height, 240);
    // One scaler doing size and colours at once.
    SwsContext* one = ff::sws_getContext(s->width, s->height, static_cast<AVPixelFormat>(s->format), 320, 240,
                                         AV_PIX_FMT_YUV420P, SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                         nullptr, nullptr, nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_GE(ff::sws_setColorspaceDetails(one, ff::sws_getCoefficients(SWS_CS_ITU709),
                                           k.Range == AVCOL_RANGE_JPEG ? 1 : 0, ff::sws_getCoefficients(SWS_CS_ITU601),
                                           0, 0, 1 << 16, 1 << 16),
              0);
    TFramePtr want(ff::av_frame_alloc());
    want->format = AV_PIX_FMT_YUV420P;
    want->width = 320;
    want->height = 240;
    ASSERT_GE(ff::av_frame_get_buffer(want.get(), 0), 0);
    ff::sws_scale(one, s->data, s->linesize, 0, s->height, want->data, want->linesize);
    ff::sws_freeContext(one);
    EXPECT_LE(WorstDifference(f, want.get()), 2);
  }
}

// A phone clip shown turned, made smaller: scaled as stored and the small
// picture turned gives every sample within 2 levels of the large picture
// turned and then scaled. With a change of matrix (BT.709 source) the two
// small steps' roundings may add up to 3 levels in a few samples.
TEST_F(SourcePictureTest, TurningAfterScalingStaysWithinTwoLevels) {
  struct TCase {
    int Degrees;
    bool Mirror;
    AVColorSpace Matrix;
    int Worst;
  } const cases[] = {{90, false, AVCOL_SPC_SMPTE170M, 2},
                     {270, true, AVCOL_SPC_SMPTE170M, 2},
                     {180, false, AVCOL_SPC_SMPTE170M, 2},
                     {90, false, AVCOL_SPC_BT709, 3}};
  constexpr int kW = 1280, kH = 720;
  int n = 0;
  for (const TCase& k : cases) {
    TClipSpec clip = ShortClip("mp4", "late_turn" + std::to_string(n++), kW, kH, 20000000);
    SCOPED_TRACE(clip.Name);
    clip.VideoCodec = "libx264";
    clip.Noise = 8;
    clip.DisplayMatrix = true;
    clip.DisplayTurn = k.Degrees;
    clip.DisplayMirror = k.Mirror;
    clip.ColourMatrix = k.Matrix;
    clip.ColourRange = AVCOL_RANGE_MPEG;
    const std::string in = MakeSpec(clip);
    TConversion c;
    c.OutputOptions = {{"s", "320x240"}, {"vcodec", "rawvideo"}, {"an", ""}};
    const std::string out = Dir / (clip.Name + ".avi");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    const auto got = DecodeVideo(out, 1), source = DecodeVideo(in, 1);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(source.size(), 1u);
    const AVFrame* f = got[0].get();
    const AVFrame* s = source[0].get();
    ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
    ASSERT_EQ(s->format, AV_PIX_FMT_YUV420P);
    // The large picture turned, then scaled (and its colours converted) by one scaler.
    const bool quarter = k.Degrees % 180 != 0;
    const int tw = quarter ? kH : kW, th = quarter ? kW : kH;
    TFramePtr turned(ff::av_frame_alloc());
    turned->format = AV_PIX_FMT_YUV420P;
    turned->width = tw;
    turned->height = th;
    ASSERT_GE(ff::av_frame_get_buffer(turned.get(), 0), 0);
    for (int p = 0; p < 3; ++p) {
      const int shift = p ? 1 : 0;
      for (int v = 0; v < th >> shift; ++v)
        for (int u = 0; u < tw >> shift; ++u) {
          const auto [x, y] = StoredPixel(u, v, kW >> shift, kH >> shift, k.Degrees, k.Mirror);
          turned->data[p][static_cast<ptrdiff_t>(v) * turned->linesize[p] + u] =
              s->data[p][static_cast<ptrdiff_t>(y) * s->linesize[p] + x];
        }
    }
    const bool convert = k.Matrix == AVCOL_SPC_BT709;
    SwsContext* one = ff::sws_getContext(tw, th, AV_PIX_FMT_YUV420P, 320, 240, AV_PIX_FMT_YUV420P,
                                         SWS_BICUBIC | (convert ? SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : 0),
                                         nullptr, nullptr, nullptr);
    ASSERT_NE(one, nullptr);
    if (convert) {
      ASSERT_GE(ff::sws_setColorspaceDetails(one, ff::sws_getCoefficients(SWS_CS_ITU709), 0,
                                             ff::sws_getCoefficients(SWS_CS_ITU601), 0, 0, 1 << 16, 1 << 16),
                0);
    }
    TFramePtr want(ff::av_frame_alloc());
    want->format = AV_PIX_FMT_YUV420P;
    want->width = 320;
    want->height = 240;
    ASSERT_GE(ff::av_frame_get_buffer(want.get(), 0), 0);
    ff::sws_scale(one, turned->data, turned->linesize, 0, th, want->data, want->linesize);
    ff::sws_freeContext(one);
    EXPECT_LE(WorstDifference(f, want.get()), k.Worst);
    EXPECT_LT(SamplesApart(f, want.get(), 2), 320 * 240 / 1000) << "more than 0.1% of the samples beyond 2 levels";
  }
}

// The comb of a picture: how much neighbouring lines differ, against lines
// two apart (the same field). Fields that show different times make the
// first large; a picture of one time has neighbours closer than lines two
// apart.
double CombMeasure(const AVFrame* F) {
  double neighbours = 0, apart = 0;
  for (int y = 0; y + 2 < F->height; ++y)
    for (int x = 0; x < F->width; ++x) {
      neighbours += std::abs(LumaAt(F, x, y) - LumaAt(F, x, y + 1));
      apart += std::abs(LumaAt(F, x, y) - LumaAt(F, x, y + 2));
    }
  return neighbours / std::max(apart, 1.0);
}

TEST_F(SourcePictureTest, InterlacedPicturesAreDeinterlacedBeforeScaling) {
  struct TCase {
    int Width, Height;
    const char* Size;
  };
  // Scaled down to the window's size, and kept at the source's.
  const TCase cases[] = {{640, 480, "320x240"}, {320, 240, "320x240"}};
  for (const TCase& k : cases) {
    double comb[2] = {0, 0};  // progressive, interlaced
    std::vector<TFramePtr> shown[2];
    for (const bool interlaced : {false, true}) {
      TClipSpec clip = ShortClip("mpeg2_ps", (interlaced ? "interlaced" : "progressive") + std::to_string(k.Height),
                                 k.Width, k.Height, 8000000);
      SCOPED_TRACE(clip.Name);
      clip.FrameRate = {25, 1};
      clip.DurationSeconds = 0.4;
      clip.Motion = 4;  // 24 pixels a picture, 12 between the fields
      clip.Interlaced = interlaced;
      const std::string in = MakeSpec(clip);
      const auto source = DecodeVideo(in, 1);
      ASSERT_EQ(source.size(), 1u);
      EXPECT_EQ(source[0]->interlaced_frame, interlaced ? 1 : 0);
      TConversion c;
      c.OutputOptions = WindowDefaults();
      c.OutputOptions.emplace_back("r", "25");
      c.OutputOptions.emplace_back("an", "");
      const std::string out = Dir / (clip.Name + ".mp4");
      ASSERT_TRUE(Convert(in, out, c)) << c.Error;
      EXPECT_EQ(Logged(c, "deinterlaced"), interlaced);
      const auto frames = DecodeVideo(out, 100);
      // One picture per frame.
      EXPECT_EQ(static_cast<int64_t>(frames.size()), ClipVideoFrameCount(clip));
      double sum = 0;
      for (const auto& f : frames) sum += CombMeasure(f.get());
      comb[interlaced] = sum / std::max<size_t>(frames.size(), 1);
      shown[interlaced] = DecodeVideo(out, 100);
    }
    EXPECT_NEAR(comb[1], comb[0], 0.15 * comb[0]);
    // Scaled down, the fields blend into a ghost instead of a comb: the
    // deinterlaced picture is the progressive one's, the second field's time
    // is not mixed in.
    ASSERT_EQ(shown[0].size(), shown[1].size());
    double difference = 0;
    for (size_t i = 0; i < shown[0].size(); ++i)
      difference += LumaDifference(shown[0][i].get(), 0, 0, shown[1][i].get(), 0, 0, 320, 240);
    EXPECT_LT(difference / static_cast<double>(std::max<size_t>(shown[0].size(), 1)), 1.0);
  }
}

// The turning graph refuses every picture (as one whose filter fails would):
// it is given up after the first refusal, said once, and every picture goes
// on as decoded.
int RefusePicture(AVFilterContext*, AVFrame*, int) { return AVERROR(EINVAL); }

TEST_F(SourcePictureTest, AGraphThatRefusesPicturesIsGivenUpAndSaidOnce) {
  TClipSpec clip = ShortClip("mp4", "refused_turn", 320, 180, 4000000);
  clip.DisplayMatrix = true;
  clip.DisplayTurn = 90;
  clip.DurationSeconds = 0.4;
  const std::string in = MakeSpec(clip);
  TConversion c;
  c.OutputOptions = {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""}};
  const std::string out = Dir / "refused_turn.mp4";
  // A hook that looks at the pictures (and leaves them) has them turned
  // before it, by the graph.
  TCustomFFmpeg engine;
  engine.FOnCustomHook = [](TCustomFFmpeg*, TBitmap*, int32_t, int64_t, bool& Update, bool&) { Update = false; };
  const auto kept = ff::av_buffersrc_add_frame_flags;
  ff::av_buffersrc_add_frame_flags = RefusePicture;
  const bool converted = Convert(in, out, c, &engine);
  ff::av_buffersrc_add_frame_flags = kept;
  ASSERT_TRUE(converted) << c.Error;
  int said = 0;
  for (const auto& [level, line] : c.Log)
    if (line.find("cannot be turned, deinterlaced or tone-mapped") != std::string::npos) {
      ++said;
      EXPECT_EQ(level, 0);
    }
  EXPECT_EQ(said, 1);
  // Every picture is there, as stored (not turned) in the turned picture's size.
  const auto frames = DecodeVideo(out, 100);
  ASSERT_EQ(static_cast<int64_t>(frames.size()), ClipVideoFrameCount(clip));
  const AVFrame* f = frames[0].get();
  ASSERT_EQ(f->width, 180);
  ASSERT_EQ(f->height, 320);
  double error = 0;
  int count = 0;
  for (int y = 2; y < f->height - 2; y += 3)
    for (int x = 2; x < f->width - 2; x += 3, ++count)
      error += std::abs(LumaAt(f, x, y) - TestPictureLuma(320, 180, 0, x * 320 / 180, y * 180 / 320));
  EXPECT_LT(error / count, 6.0);
}

// Progressive, unturned SD pictures take the path they always took: a
// display matrix that does not turn changes nothing, byte for byte, and the
// log names nothing done to them.
TEST_F(SourcePictureTest, ProgressiveUnturnedSdSourcesPassUntouched) {
  std::string outputs[2];
  for (const bool identity : {false, true}) {
    TClipSpec clip = ClipSpecByName("mp4");
    clip.Name = identity ? "identity_matrix" : "no_matrix";
    clip.DisplayMatrix = identity;
    const std::string in = MakeSpec(clip);
    TConversion c;
    c.OutputOptions = WindowDefaults();
    const std::string out = Dir / (clip.Name + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    for (const char* line : {"rotated", "mirrored", "deinterlaced", "colour"}) EXPECT_FALSE(Logged(c, line)) << line;
    outputs[identity] = ReadFile(out);
  }
  EXPECT_FALSE(outputs[0].empty());
  EXPECT_TRUE(outputs[0] == outputs[1]);
}

}  // namespace
