// The small media helpers: rationals, clipping, PSNR, token splitting, file sizes.
#include <gtest/gtest.h>

#include <cmath>

#include "MediaLibraries.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

class HelpersTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureLibrariesLoaded(); }
  void TearDown() override { UnloadFFmpegLibraries(); }
};

bool SameQ(AVRational a, int num, int den) { return a.num == num && a.den == den; }

TEST_F(HelpersTest, RationalArithmetic) {
  EXPECT_TRUE(SameQ(d2q(4.0 / 3.0, 255), 4, 3));
  EXPECT_TRUE(SameQ(d2q(1.0, 255), 1, 1));
  EXPECT_TRUE(SameQ(d2q(0.0, 255), 0, 1));
  EXPECT_TRUE(SameQ(d2q(16.0 / 9.0, 255), 16, 9));
  EXPECT_TRUE(SameQ(d2q(29.97, 100000), 2997, 100));
  EXPECT_TRUE(SameQ(d2q(-0.5, 255), -1, 2));
  // A value that cannot be written with small terms comes out as the nearest one.
  AVRational pi = d2q(M_PI, 255);
  EXPECT_LE(pi.den, 255);
  EXPECT_LE(pi.num, 255);
  EXPECT_NEAR(q2d(pi), M_PI, 1e-3);
  EXPECT_NE(pi.den, 1);

  EXPECT_EQ(cmp_q({1, 2}, {2, 4}), 0);
  EXPECT_EQ(cmp_q({1, 3}, {1, 2}), -1);
  EXPECT_EQ(cmp_q({1, 2}, {1, 3}), 1);
  // Products beyond 32 bits must not overflow.
  EXPECT_EQ(cmp_q({2000000000, 1999999999}, {1999999999, 1999999998}), -1);

  EXPECT_TRUE(SameQ(sub_q({1, 2}, {1, 3}), 1, 6));
  EXPECT_TRUE(SameQ(sub_q({30000, 1001}, {30, 1}), -30, 1001));
  EXPECT_TRUE(SameQ(sub_q({1, 2}, {2, 4}), 0, 1));

  EXPECT_DOUBLE_EQ(q2d({30000, 1001}), 30000.0 / 1001.0);

  // As the library's av_d2q: no number, and numbers beyond 32-bit terms.
  EXPECT_TRUE(SameQ(d2q(std::nan(""), 255), 0, 0));
  EXPECT_TRUE(SameQ(d2q(INFINITY, 255), 1, 0));
  EXPECT_TRUE(SameQ(d2q(-1e300, 255), -1, 0));
  EXPECT_TRUE(SameQ(d2q(1e10, 255), 1, 0));
  EXPECT_TRUE(SameQ(d2q(2147483647.0, INT32_MAX), INT32_MAX, 1));
}

TEST_F(HelpersTest, ClipPsnrAndPacketRelease) {
  EXPECT_EQ(clip(5, 0, 3), 3);
  EXPECT_EQ(clip(-5, 0, 3), 0);
  EXPECT_EQ(clip(2, 0, 3), 2);
  EXPECT_EQ(clip<int64_t>(INT64_MIN, -32768, 32767), -32768);
  EXPECT_DOUBLE_EQ(Psnr(1.0), 0.0);
  EXPECT_NEAR(Psnr(0.01), 20.0, 1e-12);

  AVPacket* pkt = ff::av_packet_alloc();
  ASSERT_EQ(ff::av_new_packet(pkt, 1000), 0);
  free_packet(pkt);  // the data reference is released (AddressSanitizer sees a leak otherwise)
  EXPECT_EQ(pkt->data, nullptr);
  EXPECT_EQ(pkt->size, 0);
  free_packet(nullptr);
  ff::av_packet_free(&pkt);
}

TEST_F(HelpersTest, PicturesAndSamplesThatTheLibrariesCanTake) {
  EXPECT_TRUE(PictureUsable(AV_PIX_FMT_YUV420P, 176, 144));
  EXPECT_TRUE(PictureUsable(AV_PIX_FMT_YUYV422, 1, 1));
  EXPECT_FALSE(PictureUsable(AV_PIX_FMT_NONE, 176, 144));
  EXPECT_FALSE(PictureUsable(AV_PIX_FMT_NB, 176, 144));
  EXPECT_FALSE(PictureUsable(AV_PIX_FMT_YUV420P, 0, 144));
  EXPECT_FALSE(PictureUsable(AV_PIX_FMT_YUV420P, 176, -2));
  EXPECT_FALSE(PictureUsable(AV_PIX_FMT_YUV420P, 1 << 30, 1 << 30));

  EXPECT_TRUE(SamplesUsable(AV_SAMPLE_FMT_FLTP, 48000, 6));
  EXPECT_FALSE(SamplesUsable(AV_SAMPLE_FMT_NONE, 48000, 2));
  EXPECT_FALSE(SamplesUsable(AV_SAMPLE_FMT_NB, 48000, 2));
  EXPECT_FALSE(SamplesUsable(AV_SAMPLE_FMT_S16, 0, 2));
  EXPECT_FALSE(SamplesUsable(AV_SAMPLE_FMT_S16, 44100, 0));
}

TEST(ExtractTokenTest, SplitsAtTheFirstDelimiter) {
  std::string s = "a,b", head;
  ExtractToken(s, ",", true, head);
  EXPECT_EQ(head, "a");
  EXPECT_EQ(s, "b");
  ExtractToken(s, ",", true, head);
  EXPECT_EQ(head, "b");
  EXPECT_EQ(s, "");

  s = "a";
  ExtractToken(s, ",", false, head);
  EXPECT_EQ(head, "a");
  EXPECT_EQ(s, "a");

  s = ",x";
  ExtractToken(s, ",", true, head);
  EXPECT_EQ(head, "");
  EXPECT_EQ(s, "x");

  // A whole list, as the callers split it.
  s = "0-1000,5000-6000,";
  std::vector<std::string> parts;
  while (!s.empty()) {
    ExtractToken(s, ",", true, head);
    parts.push_back(head);
  }
  EXPECT_EQ(parts, (std::vector<std::string>{"0-1000", "5000-6000"}));

  s = "line one\nline two";
  ExtractToken(s, "\n", true, head);
  EXPECT_EQ(head, "line one");
  EXPECT_EQ(s, "line two");
}

TEST(FileSizeOfTest, MissingEmptyAndFilledFiles) {
  TTempDir dir;
  EXPECT_EQ(FileSizeOf(dir / "missing.mp4"), -1);
  WriteFile(dir / "empty.mp4", "");
  EXPECT_EQ(FileSizeOf(dir / "empty.mp4"), 0);
  WriteFile(dir / "some.mp4", std::string(12345, 'x'));
  EXPECT_EQ(FileSizeOf(dir / "some.mp4"), 12345);
  EXPECT_EQ(FileSizeOf(dir.Path()), -1);  // a folder is not a file
  EXPECT_EQ(FileSizeOf(""), -1);
}

}  // namespace
