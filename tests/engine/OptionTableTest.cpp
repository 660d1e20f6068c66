// The option parser: text normalisation and splitting, table matching, the
// argument conversions and their messages, and option texts applied line by line.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "EngineTestSupport.h"
#include "FFmpeg.h"
#include "OptionTable.h"
#include "TestSupport.h"

namespace {

using TPairs = std::vector<std::pair<std::string, std::string>>;

TEST(OptionTextTest, LineBreaksBlanksAndFirstEqualsSign) {
  struct Case {
    std::string Text;
    TPairs Pairs;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {" \t\r\n ", {}},
      {"vcodec=mpeg4", {{"vcodec", "mpeg4"}}},
      {"\r\n  a=1\r\nb=2\n\rc=3\rd=4\ne \r\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", ""}}},
      {"a=1\r\n\r\nb=2", {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"b=64000=x", {{"b", "64000=x"}}},
      {"title = x ", {{"title ", " x"}}},
      {"=v", {{"", "v"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(opt::SplitOptionText(c.Text), c.Pairs) << c.Text;
}

TEST(OptionTextTest, NumberConversions) {
  int32_t i = 0;
  EXPECT_TRUE(opt::TryParseInt32("$FF", i));
  EXPECT_EQ(i, 255);
  EXPECT_TRUE(opt::TryParseInt32("-0x10", i));
  EXPECT_EQ(i, -16);
  EXPECT_TRUE(opt::TryParseInt32(" -2147483648", i));
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_TRUE(opt::TryParseInt32("$FFFFFFFF", i));
  EXPECT_EQ(i, -1);
  for (const char* bad : {"", "abc", "12 ", "2147483648", "1.5", "$", "0x", "$1FFFFFFFF", "+"})
    EXPECT_FALSE(opt::TryParseInt32(bad, i)) << bad;
  int64_t l = 0;
  EXPECT_TRUE(opt::TryParseInt64("9223372036854775807", l));
  EXPECT_EQ(l, INT64_MAX);
  EXPECT_FALSE(opt::TryParseInt64("9223372036854775808", l));
  EXPECT_TRUE(opt::TryParseInt64("-$8000000000000000", l));  // negating the smallest value keeps it
  EXPECT_EQ(l, INT64_MIN);
  double d = 0;
  EXPECT_TRUE(opt::TryParseReal("1.5e1", d));
  EXPECT_DOUBLE_EQ(d, 15);
  EXPECT_TRUE(opt::TryParseReal("-.5", d));
  EXPECT_DOUBLE_EQ(d, -0.5);
  for (const char* bad : {"", ".", "1,5", "inf", "nan", "0x10", "1e", "2 "}) EXPECT_FALSE(opt::TryParseReal(bad, d)) << bad;
}

class OptionTableTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    E.PrepareForTask();
    E.FOnLog = [this](TCustomFFmpeg*, int Level, const std::string& Msg) { Lines.emplace_back(Level, Msg); };
  }


  TCustomFFmpeg E;
  std::vector<std::pair<int, std::string>> Lines;
};

TEST_F(OptionTableTest, RowsSetFieldsAndCallHandlers) {
  E.ApplyExtraOptions(
      "s=352x288\ncroptop=16\nvcodec=mpeg4\nacodec=libfaac\nar=22050\nac=1\nvframes=$10\nfs=0x100000000\n"
      "adrift_threshold=0.25\nt=00:00:10\ntitle=Clip\nalang=eng\ncopyts\nmap=0.1\nmap=0.2\nvbsf=null\nvbsf=null");
  EXPECT_EQ(E.FFrameHeight, 272);
  EXPECT_STREQ(E.FVideoCodecName, "mpeg4");
  EXPECT_STREQ(E.FAudioCodecName, "libfaac");
  EXPECT_EQ(E.FAudioSampleRate, 22050);
  EXPECT_EQ(E.FAudioChannels, 1);
  EXPECT_EQ(E.FMaxFrames[0], 16);
  EXPECT_EQ(E.FLimitFileSize, 4294967296LL);
  EXPECT_FLOAT_EQ(E.FAudioDriftThreshold, 0.25f);
  EXPECT_EQ(E.FTotalDurationMs, 10000);
  EXPECT_EQ(E.FTitle, "Clip");
  EXPECT_EQ(E.FAudioLanguage, "eng");
  EXPECT_TRUE(E.FCopyTs);
  EXPECT_EQ(E.FStreamMapCount, 2);  // list-building rows add an entry each time
  EXPECT_EQ(E.FVideoBitstreamFilters.size(), 2u);
  EXPECT_TRUE(Lines.empty());  // nothing is logged for options that apply
}

TEST_F(OptionTableTest, EmptyValuesAndNonPositiveRatesLeaveFieldsAlone) {
  E.ApplyExtraOptions("title=Old\nvfilters=scale=320:240");
  E.ApplyExtraOptions("title=\nvfilters=\nar=0\nac=-1\nvcodec=");
  EXPECT_EQ(E.FTitle, "Old");
  EXPECT_EQ(E.FVideoFilters, "scale=320:240");
  EXPECT_EQ(E.FAudioSampleRate, 44100);
  EXPECT_EQ(E.FAudioChannels, 2);
  EXPECT_EQ(E.FVideoCodecName, nullptr);
}

TEST_F(OptionTableTest, RepeatedNamesTheLaterValueWins) {
  E.ApplyExtraOptions("r=25\nr=30000/1001\nqscale=2\nqscale=4.5");
  EXPECT_EQ(E.FFrameRate.num, 30000);
  EXPECT_FLOAT_EQ(E.FVideoQScale, 4.5f);
}

TEST_F(OptionTableTest, LogOnlyRowsAndTheFailingThreadsRow) {
  E.AddOption("benchmark", "");
  E.AddOption("vpre", "slow");
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0], std::make_pair(1, std::string("Do nothing: option - benchmark")));
  EXPECT_EQ(Lines[1], std::make_pair(1, std::string("Do nothing: option - vpre")));
  EXPECT_EQ(FailureOf([&] { E.AddOption("threads", "2"); }), "TODO: option - threads");
  E.FOnLog = nullptr;
  E.AddOption("h", "");  // no handler: nothing to log to, and no failure
}

TEST_F(OptionTableTest, BadValuesNameTheValue) {
  EXPECT_EQ(FailureOf([&] { E.AddOption("fs", "abc"); }), "'abc' is not a valid integer value");
  EXPECT_EQ(FailureOf([&] { E.AddOption("vframes", "2147483648"); }), "'2147483648' is not a valid integer value");
  EXPECT_EQ(FailureOf([&] { E.AddOption("ar", ""); }), "'' is not a valid integer value");
  EXPECT_EQ(FailureOf([&] { E.AddOption("muxdelay", "0,7"); }), "'0,7' is not a valid floating point value");
  EXPECT_EQ(FailureOf([&] { E.AddOption("ss", "later"); }), "Invalid duration specification for ss: later");
  EXPECT_EQ(FailureOf([&] { E.AddOption("itsoffset", "x"); }), "Invalid duration specification for itsoffset: x");
  EXPECT_EQ(FailureOf([&] { E.AddOption("timestamp", "x"); }), "Invalid date specification for timestamp: x");
  EXPECT_EQ(FailureOf([&] { E.AddOption("newvideo", ""); }), "At least one output file must be specified");
  EXPECT_EQ(FailureOf([&] { E.AddOption("newsubtitle", ""); }), "At least one output file must be specified");
}

TEST_F(OptionTableTest, UnknownNamesGoToTheLibrariesOrAreDropped) {
  E.ApplyExtraOptions("foo=1\n-vcodec=mpeg4\nVCODEC=mpeg4\ng=30\n\n=5");
  EXPECT_EQ(E.FVideoCodecName, nullptr);  // names match whole and case-sensitively
  EXPECT_EQ(E.FOptNames, std::vector<std::string>{"g"});
  int64_t g = 0;
  ASSERT_GE(ff::av_opt_get_int(E.FCodecOpts[AVMEDIA_TYPE_VIDEO], "g", 0, &g), 0);
  EXPECT_EQ(g, 30);
  EXPECT_TRUE(Lines.empty());
}

TEST_F(OptionTableTest, AValueMayHoldEqualsSigns) {
  E.AddOption("vfilters", "scale=w=2:h=2");
  EXPECT_EQ(E.FVideoFilters, "scale=w=2:h=2");
  // b=64000=x gives "b" the value "64000=x", which the libraries refuse.
  E.ApplyExtraOptions("b=64000=x");
  EXPECT_TRUE(E.FOptNames.empty());
}

TEST_F(OptionTableTest, TheFirstFailingLineEndsTheTextAndKeepsEarlierLines) {
  EXPECT_EQ(FailureOf([&] { E.ApplyExtraOptions("ar=22050\r\npass=3\r\nac=1"); }),
            "pass number can be only 1 or 2");
  EXPECT_EQ(E.FAudioSampleRate, 22050);
  EXPECT_EQ(E.FAudioChannels, 2);
}

}  // namespace
