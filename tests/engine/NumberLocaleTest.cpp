// Numbers in option texts read the same under a locale that writes decimals
// with a comma (the window's toolkit takes the locale from the environment).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "EngineTestSupport.h"
#include "FFmpeg.h"
#include "TestSupport.h"

namespace {

class NumberLocaleTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    E.PrepareForTask();
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"})
      if (std::setlocale(LC_ALL, name)) break;
    ASSERT_STREQ(std::localeconv()->decimal_point, ",")
        << "no comma-decimal locale is installed (scripts/setup.sh generates de_DE.UTF-8)";
    // The C library itself now stops at the point.
    ASSERT_EQ(std::strtod("29.97", nullptr), 29.0);
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
  TCustomFFmpeg E;
};

TEST_F(NumberLocaleTest, FrameRatesReadTheSame) {
  const struct {
    const char* Text;
    int Num, Den;
  } cases[] = {{"29.97", 30000, 1001}, {"23.97", 24000, 1001}, {"23.976", 24000, 1001}, {"59.94", 60000, 1001},
               {"25", 25, 1},          {"12.5", 25, 2},        {"30.00", 30, 1},         {"30000/1001", 30000, 1001},
               {"ntsc", 30000, 1001}};
  for (const auto& c : cases) {
    E.SetFrameRate(c.Text);
    EXPECT_EQ(E.FFrameRate.num, c.Num) << c.Text;
    EXPECT_EQ(E.FFrameRate.den, c.Den) << c.Text;
  }
  EXPECT_EQ(FailureOf([&] { E.SetFrameRate("29,97"); }), "Incorrect frame rate");
}

TEST_F(NumberLocaleTest, OptionTextsWithDecimalsReachTheLibraries) {
  E.ApplyExtraOptions("r=29.97\nqcomp=0.25\nitsscale=0:1.5");
  EXPECT_EQ(E.FFrameRate.num, 30000);
  EXPECT_EQ(E.FFrameRate.den, 1001);
  double qcomp = 0;
  ASSERT_GE(ff::av_opt_get_double(E.FCodecOpts[AVMEDIA_TYPE_VIDEO], "qcomp", 0, &qcomp), 0);
  EXPECT_DOUBLE_EQ(qcomp, 0.25);
  EXPECT_DOUBLE_EQ(E.FInputTsScale[E.FInputFileCount][0], 1.5);
}

}  // namespace
