// Tasks: option records, hook ranges, the task list, the pending log table and
// the formatting of library log lines.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ostream>
#include <ctime>

#include "LogPath.h"
#include "Tasks.h"
#include "TestSupport.h"

namespace {

// ---------------------------------------------------------------------------
// Hook ranges

struct THookCase {
  const char* Text;
  std::vector<HookRange> Expected;  // after the engine's sort by end
};

// Shown by ctest and in failures: the text itself.
void PrintTo(const THookCase& Case, std::ostream* Os) { *Os << '"' << Case.Text << '"'; }

// A test name made of the text: digits and letters kept, "-" as "to", the
// rest as "_"; the index keeps names apart.
std::string HookCaseName(const ::testing::TestParamInfo<THookCase>& Info) {
  std::string name = "Case" + std::to_string(Info.index) + "_";
  for (const char* p = Info.param.Text; *p; ++p) {
    if (std::isalnum(static_cast<unsigned char>(*p)))
      name += *p;
    else if (*p == '-')
      name += "to";
    else if (name.back() != '_')
      name += '_';
  }
  return name;
}

class HookRangesTest : public ::testing::TestWithParam<THookCase> {};

TEST_P(HookRangesTest, ParsesIntoTheSchedule) {
  EnsureLibrariesLoaded();
  TFFmpeg task;
  task.ParseHookRanges(GetParam().Text);
  const auto& expected = GetParam().Expected;
  ASSERT_EQ(task.FHookScheduleCount, static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(task.FHookSchedule[i].Start, expected[i].Start) << i;
    EXPECT_EQ(task.FHookSchedule[i].Stop, expected[i].Stop) << i;
  }
  EXPECT_EQ(task.FHookScheduleIndex, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HookRangesTest,
    ::testing::Values(THookCase{"100-200, 50-60, 30-10", {{50000, 60000}, {100000, 200000}}},
                      THookCase{"x-5", {{-1000, 5000}}},
                      THookCase{"  7 - 9 ,", {{7000, 9000}}},
                      THookCase{"", {}},
                      THookCase{"100", {}},             // no end: -1 is before the start
                      THookCase{"5-x", {}},             // end not a number
                      THookCase{",,", {}},
                      THookCase{"0-0", {{0, 0}}},
                      THookCase{"99999999999999999-1", {{-1000, 1000}}}),  // start too large: not a number
    HookCaseName);

// ---------------------------------------------------------------------------
// Option records

class OptionRecordTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    Task.PrepareForTask();
  }
  int64_t CodecOption(int Type, const char* Name) {
    int64_t v = 0;
    EXPECT_GE(ff::av_opt_get_int(Task.FCodecOpts[Type], Name, 0, &v), 0) << Name;
    return v;
  }
  TFFmpeg Task;
};

TEST_F(OptionRecordTest, ExtraOptionsWithCrLfAndBlanksApplyLineByLine) {
  TInputOptions in;
  in.ExtraOptions = " \r\n  title=First\r\nauthor=Someone\r\n  ";
  in.StartTimeMs = 1500;
  in.ProgramId = 3;
  Task.ApplyInputOptions(in);
  EXPECT_EQ(Task.FTitle, "First");
  EXPECT_EQ(Task.FAuthor, "Someone");
  EXPECT_EQ(Task.FStartTime, 1500000);
  EXPECT_EQ(Task.FProgramId, 3);
  EXPECT_EQ(Task.InputOptions.ProgramId, 3);
}

TEST_F(OptionRecordTest, NotGivenInputValuesKeepTheEngineDefaults) {
  TInputOptions in;  // StartTimeMs -1, ProgramId -1
  Task.ApplyInputOptions(in);
  EXPECT_EQ(Task.FStartTime, 0);
  EXPECT_EQ(Task.FProgramId, 0);
}

TEST_F(OptionRecordTest, WindowOutputRecordReachesTheEngine) {
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.AudioCodec = "libfaac";
  o.AudioChannels = 1;
  o.AudioBitrate = 96000;
  o.VideoBitrate = 640000;
  o.FrameSize = "320x240";
  o.FrameRate = "29.97";
  o.AudioSampleRate = 22050;
  o.GopSize = 12;
  o.RecordingTimeMs = 2500;
  o.Year = 2009;
  AssignText(o.Title, "A title");
  Task.ApplyOutputOptions(o);
  EXPECT_STREQ(Task.FVideoCodecName, "mpeg4");
  EXPECT_STREQ(Task.FAudioCodecName, "libfaac");
  EXPECT_EQ(Task.FAudioChannels, 1);
  EXPECT_EQ(Task.FAudioSampleRate, 22050);
  EXPECT_EQ(Task.FFrameWidth, 320);
  EXPECT_EQ(Task.FFrameHeight, 240);
  EXPECT_EQ(Task.FFrameRate.num * 1000 / Task.FFrameRate.den, 29970);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_AUDIO, "b"), 96000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "b"), 640000);
  EXPECT_EQ(CodecOption(AVMEDIA_TYPE_VIDEO, "g"), 12);
  EXPECT_EQ(Task.FRecordingTime, 2500000);
  EXPECT_EQ(Task.FTotalDurationMs, 2500);
  EXPECT_EQ(Task.FYear, 2009);
  EXPECT_EQ(Task.FTitle, "A title");
}

TEST_F(OptionRecordTest, DefaultRecordDoesNotUndoExtraOptions) {
  TOutputOptions o;
  o.ExtraOptions = "async=1\nvsync=0\nalang=eng\ncopyts=";
  Task.ApplyOutputOptions(o);
  EXPECT_EQ(Task.FAudioSyncMethod, 1);
  EXPECT_EQ(Task.FVideoSyncMethod, 0);
  EXPECT_EQ(Task.FAudioLanguage, "eng");
  EXPECT_TRUE(Task.FCopyTs);
}

TEST(OptionRecordTargetTest, AutoNormFallsBackOnTheDefaultNorm) {
  EnsureLibrariesLoaded();
  struct TCase {
    int DefaultNorm;
    AVRational Rate;
    int Height;
  };
  // 15 fps and no input: "auto" finds no norm and takes the record's default.
  for (const TCase& c : {TCase{1, {25, 1}, 288}, TCase{2, {30000, 1001}, 240}, TCase{0, {30000, 1001}, 240}}) {
    TFFmpeg task;
    task.PrepareForTask();
    TOutputOptions o;
    o.FrameRate = "15";
    o.TargetType = 1;
    o.DefaultNorm = c.DefaultNorm;
    task.ApplyOutputOptions(o);
    EXPECT_EQ(task.FFrameRate.num, c.Rate.num) << c.DefaultNorm;
    EXPECT_EQ(task.FFrameRate.den, c.Rate.den) << c.DefaultNorm;
    EXPECT_EQ(task.FFrameWidth, 352) << c.DefaultNorm;
    EXPECT_EQ(task.FFrameHeight, c.Height) << c.DefaultNorm;
  }
}

TEST_F(OptionRecordTest, BadValueRaisesAndKeepsEarlierFields) {
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.FrameSize = "wide";
  EXPECT_THROW(Task.ApplyOutputOptions(o), Exception);
  EXPECT_STREQ(Task.FVideoCodecName, "mpeg4");
}

TEST_F(OptionRecordTest, HookChoiceFollowsTheFlags) {
  bool custom = false, before = false;
  auto beforeHandler = [&](TCustomFFmpeg*, int64_t, THookAction&) { before = true; };
  auto customHandler = [&](TCustomFFmpeg*, TBitmap*, int32_t, int64_t, bool&, bool&) { custom = true; };
  TOutputOptions o;
  o.CustomHook = true;
  o.BeforeHook = true;
  o.HookRanges = "0-10";
  Task.ApplyOutputOptions(o, beforeHandler, customHandler);
  EXPECT_TRUE(static_cast<bool>(Task.FOnCustomHook));
  EXPECT_FALSE(static_cast<bool>(Task.FOnBeforeHook));
  EXPECT_EQ(Task.FHookScheduleCount, 0);

  TFFmpeg second;
  second.PrepareForTask();
  o.CustomHook = false;
  second.ApplyOutputOptions(o, beforeHandler, customHandler);
  EXPECT_TRUE(static_cast<bool>(second.FOnBeforeHook));
  EXPECT_EQ(second.FHookScheduleCount, 0);

  TFFmpeg third;
  third.PrepareForTask();
  o.BeforeHook = false;
  third.ApplyOutputOptions(o, beforeHandler, customHandler);
  EXPECT_FALSE(static_cast<bool>(third.FOnBeforeHook));
  EXPECT_EQ(third.FHookScheduleCount, 1);
}

// ---------------------------------------------------------------------------
// Date-times

class ZoneTest : public ::testing::Test {
protected:
  void UseZone(const char* Zone) {
    setenv("TZ", Zone, 1);
    tzset();
  }
  void TearDown() override {
    if (FOld.empty())
      unsetenv("TZ");
    else
      setenv("TZ", FOld.c_str(), 1);
    tzset();
  }
  void SetUp() override {
    const char* old = std::getenv("TZ");
    FOld = old ? old : "";
  }
  std::string FOld;
};

TEST_F(ZoneTest, LocalDateTimeUsesTheOffsetInForce) {
  UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
  // 2009-01-15 12:00 local (winter, UTC+1) and 2009-07-15 12:00 (summer, UTC+2).
  EXPECT_EQ(LocalDateTimeToUnix(39828.5), 1232017200);
  EXPECT_EQ(LocalDateTimeToUnix(40009.5), 1247652000);
  UseZone("UTC0");
  EXPECT_EQ(LocalDateTimeToUnix(25569.5), 43200);
}

TEST_F(ZoneTest, TimestampZeroMeansNow) {
  EnsureLibrariesLoaded();
  TFFmpeg task;
  task.PrepareForTask();
  TOutputOptions o;
  o.Timestamp = 0;
  const int64_t before = std::time(nullptr);
  task.ApplyOutputOptions(o);
  EXPECT_GE(task.FRecTimestamp, before - 1);
  EXPECT_LE(task.FRecTimestamp, std::time(nullptr) + 1);
  TFFmpeg untouched;
  untouched.PrepareForTask();
  o.Timestamp = -1;
  untouched.ApplyOutputOptions(o);
  EXPECT_EQ(untouched.FRecTimestamp, 0);
}

// ---------------------------------------------------------------------------
// Task list

TEST(TaskListTest, DeleteRenumbersAndFindByThreadId) {
  TFFmpegList list;
  TFFmpeg* a = new TFFmpeg;
  TFFmpeg* b = new TFFmpeg;
  TFFmpeg* c = new TFFmpeg;
  EXPECT_EQ(list.Add(a), 0);
  EXPECT_EQ(list.Add(b), 1);
  EXPECT_EQ(list.Add(c), 2);
  b->ThreadId = 7;
  c->ThreadId = 7;
  EXPECT_EQ(list.FindByThreadId(7), b);
  list.Delete(1);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0], a);
  EXPECT_EQ(list[1], c);
  EXPECT_EQ(a->Index, 0);
  EXPECT_EQ(c->Index, 1);
  EXPECT_EQ(list.FindByThreadId(7), c);
  EXPECT_EQ(list.FindByThreadId(8), nullptr);
  EXPECT_EQ(list.Items(5), nullptr);
}

TEST(LogListTest, FirstNodeReusedOthersLinkedAfterIt) {
  TLogList table;
  TLogList::TNode* first = table.FindOrAdd(5);
  first->Pending = "x";
  TLogList::TNode* second = table.FindOrAdd(6);
  TLogList::TNode* third = table.FindOrAdd(7);
  EXPECT_NE(first, second);
  EXPECT_EQ(table.FindOrAdd(5), first);
  EXPECT_EQ(table.FindOrAdd(6), second);
  EXPECT_EQ(table.FindOrAdd(7), third);
  EXPECT_EQ(table.NodeCount(), 3);
  table.Clear();
  EXPECT_EQ(table.NodeCount(), 0);
  TLogList::TNode* again = table.FindOrAdd(9);
  EXPECT_EQ(again, first);  // the first node is part of the table
  EXPECT_TRUE(again->Pending.empty());
}

// ---------------------------------------------------------------------------
// Log line formatting

std::string Format(const void* Context, const std::string& Pending, const char* Fmt, ...) {
  va_list args;
  va_start(args, Fmt);
  std::string s = FormatLogText(Context, Pending, Fmt, args);
  va_end(args);
  return s;
}

const char* ItemName(void*) { return "demo"; }

TEST(LogFormatTest, PrefixOnlyWhenNothingIsPending) {
  static const AVClass cls = [] {
    AVClass c{};
    c.class_name = "Demo";
    c.item_name = ItemName;
    return c;
  }();
  struct {
    const AVClass* Class;
  } context{&cls};
  char address[32];
  std::snprintf(address, sizeof address, "%08" PRIXPTR, reinterpret_cast<uintptr_t>(&cls));
  EXPECT_EQ(Format(&context, "", "value %d\n", 5), std::string("[demo @ ") + address + "]value 5\n");
  EXPECT_EQ(Format(&context, "abc", "def\n"), "abcdef\n");
  EXPECT_EQ(Format(nullptr, "", "plain %s", "text"), "plain text");
}

TEST(LogFormatTest, OverLongMessageIsCutAtACharacterAndEndsItsLine) {
  // Two-byte characters across the limit: the cut never splits one.
  std::string longText;
  while (longText.size() < 5000) longText += "\xC3\xA9";
  const std::string line = Format(nullptr, "x", "%s\n", longText.c_str());
  ASSERT_LE(line.size(), static_cast<size_t>(LOG_LINE_SIZE - 1));
  EXPECT_GT(line.size(), static_cast<size_t>(LOG_LINE_SIZE - 4));
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.substr(0, 3), "x\xC3\xA9");
  const std::string body = line.substr(1, line.size() - 2);
  EXPECT_EQ(body.size() % 2, 0u) << "a character was split";

  // Without a line end, a cut message still ends its line.
  const std::string noEnd = Format(nullptr, "", "%s", longText.c_str());
  EXPECT_EQ(noEnd.back(), '\n');
  EXPECT_EQ(noEnd.find('\n'), noEnd.size() - 1);
}

}  // namespace
