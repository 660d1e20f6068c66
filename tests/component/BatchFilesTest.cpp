// Whole files through the batch set-up and the component, as the window and
// vidlomat-cli convert them: the outputs keep their sources' dates and
// record their sources, and a batch skips what it converted already.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

#include "BatchSettings.h"
#include "ComponentSupport.h"
#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "SizeEstimate.h"
#include "SourceRecord.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

// Sets up every file and converts the batch on one worker; the rows as set up.
std::vector<TFileSetup> ConvertBatch(const TBatchSettings& Settings, const std::vector<std::string>& Files) {
  TQuilloConverter converter;
  LoadThrough(converter);
  TEventRecorder events;
  events.Attach(converter, false);
  TNameReservations reserved;
  std::vector<TFileSetup> rows;
  bool anyTask = false;
  for (const std::string& f : Files) {
    rows.push_back(SetUpFile(converter, Settings, f, &reserved));
    anyTask = anyTask || rows.back().Ok;
  }
  if (anyTask) {
    converter.Start(1);
    EXPECT_TRUE(events.WaitAllDone());
    for (const TEventRecord& t : events.Terminations())
      EXPECT_TRUE(t.Index < 0 || t.Finished) << t.Message;
  }
  converter.ClearTasks();
  return rows;
}

timespec ModificationTime(const std::string& Path) {
  struct stat st {};
  EXPECT_EQ(stat(Path.c_str(), &st), 0) << Path;
  return st.st_mtim;
}

void SetModificationTime(const std::string& Path, time_t Seconds, long Nanoseconds) {
  const timespec times[2] = {{Seconds, Nanoseconds}, {Seconds, Nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path.c_str(), times, 0), 0) << Path;
}

// The creation_time of the container and of every stream of a file.
std::vector<std::string> CreationTimes(const std::string& Path) {
  std::vector<std::string> times;
  AVFormatContext* ic = nullptr;
  if (ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr) < 0) return times;
  auto get = [](const AVDictionary* M) {
    const AVDictionaryEntry* e = ff::av_dict_get(M, "creation_time", nullptr, 0);
    return std::string(e ? e->value : "(none)");
  };
  times.push_back(get(ic->metadata));
  for (unsigned i = 0; i < ic->nb_streams; ++i) times.push_back(get(ic->streams[i]->metadata));
  ff::avformat_close_input(&ic);
  return times;
}

TEST(BatchFilesTest, OutputsKeepTheirSourcesDates) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  // A camera's clip dated inside, and a clip with no date but its file's.
  TClipSpec dated = ClipSpecByName("mov_mpeg4_aac");
  dated.DurationSeconds = 0.4;
  dated.Tags = {{"creation_time", "2019-06-01T12:34:56.000000Z"}};
  const std::string datedPath = dir / "dated.mov";
  ASSERT_TRUE(MakeClip(dated, datedPath, nullptr));
  SetModificationTime(datedPath, 1600000000, 0);  // 2020-09-13: not the date inside
  const std::string plainPath = dir / "plain.avi";
  fs::copy_file(TestClip("avi_xvid", 0.4), plainPath);
  SetModificationTime(plainPath, 1420113845, 123456789);  // 2015-01-01T12:04:05.123456789Z

  TBatchSettings settings;
  settings.OutputFolder = dir / "out";
  fs::create_directories(settings.OutputFolder);
  const std::vector<TFileSetup> rows = ConvertBatch(settings, {datedPath, plainPath});
  ASSERT_TRUE(rows[0].Ok && rows[1].Ok);

  struct TCase {
    std::string Output;
    std::string Created;
    timespec Modified;
  };
  const TCase cases[] = {
      {rows[0].OutputPath, "2019-06-01T12:34:56.000000Z", {1600000000, 0}},
      {rows[1].OutputPath, "2015-01-01T12:04:05.000000Z", {1420113845, 123456789}},
  };
  for (const TCase& c : cases) {
    const std::vector<std::string> times = CreationTimes(c.Output);
    ASSERT_EQ(times.size(), 3u) << c.Output;  // the container, video, audio
    for (const std::string& t : times) EXPECT_EQ(t, c.Created) << c.Output;
    const timespec m = ModificationTime(c.Output);
    EXPECT_EQ(m.tv_sec, c.Modified.tv_sec) << c.Output;
    EXPECT_EQ(m.tv_nsec, c.Modified.tv_nsec) << c.Output;
  }
}

TEST(BatchFilesTest, SkipsOnlyWhatWasConvertedFromTheSameSource) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  // A Latin-1 name and a "%" in a name round-trip through the record.
  const std::string a = dir / "in/caf\xe9 100%.avi", b = dir / "in/b.avi", c = dir / "in/c.avi";
  fs::create_directories(dir / "in");
  for (const std::string& f : {a, b, c}) fs::copy_file(TestClip("avi_xvid", 0.3), f);
  TBatchSettings settings;
  settings.OutputFolder = dir / "out";
  settings.Overwrite = false;
  fs::create_directories(settings.OutputFolder);
  // c's name is held by a foreign file: its output is c(1).mp4.
  WriteFile(settings.OutputFolder + "/c.mp4", "someone else's");
  const std::vector<TFileSetup> first = ConvertBatch(settings, {a, b, c});
  ASSERT_TRUE(first[0].Ok && first[1].Ok && first[2].Ok);
  EXPECT_EQ(first[2].OutputName, "c(1)");
  EXPECT_EQ(RecordedSourceOf(first[0].OutputPath), SourceRecordOf(a, OutputShapeText(settings)));
  EXPECT_NE(SourceRecordOf(a).find("from caf\xe9 100%25.avi ("), std::string::npos) << SourceRecordOf(a);
  // What an output written before the settings were recorded holds is not it.
  EXPECT_NE(RecordedSourceOf(first[0].OutputPath), SourceRecordOf(a));

  // b changes (a later modification time); a and c are as they were.
  const timespec later[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, b.c_str(), later, 0), 0);
  settings.SkipConverted = true;
  const std::vector<TFileSetup> again = ConvertBatch(settings, {a, b, c});
  EXPECT_TRUE(again[0].Skipped && !again[0].Ok);
  EXPECT_EQ(again[0].Message, "Skipped (already converted)");
  EXPECT_EQ(again[0].OutputPath, first[0].OutputPath);
  EXPECT_FALSE(again[1].Skipped);
  EXPECT_TRUE(again[1].Ok);
  EXPECT_EQ(again[1].OutputName, "b(1)") << "not overwriting: the older output stays";
  EXPECT_TRUE(again[2].Skipped);
  EXPECT_EQ(again[2].OutputName, "c(1)");

  // Other settings: the output there is not the one asked for.
  TBatchSettings larger = settings;
  larger.FrameSize = "640x360";
  ApplyProfile(larger, 7);
  {
    TQuilloConverter converter;
    LoadThrough(converter);
    const TFileSetup redo = SetUpFile(converter, larger, a);
    EXPECT_FALSE(redo.Skipped);
    EXPECT_TRUE(redo.Ok);
    EXPECT_EQ(redo.OutputName, "caf\xe9 100%(1)") << "not overwriting: the 320x240 output stays";
    converter.ClearTasks();
  }

  // The same name and size from another folder with another date is another source.
  const std::string other = dir / "elsewhere/b.avi";
  fs::create_directories(dir / "elsewhere");
  fs::copy_file(b, other);
  const timespec older[2] = {{1500000000, 0}, {1500000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), older, 0), 0);
  TQuilloConverter converter;
  LoadThrough(converter);
  const TFileSetup otherRow = SetUpFile(converter, settings, other);
  EXPECT_FALSE(otherRow.Skipped);
  EXPECT_TRUE(otherRow.Ok);
  converter.ClearTasks();
  // Without the setting nothing is skipped.
  settings.SkipConverted = false;
  const TFileSetup plain = SetUpFile(converter, settings, a);
  EXPECT_FALSE(plain.Skipped);
  EXPECT_TRUE(plain.Ok);
  converter.ClearTasks();
}

TEST(BatchFilesTest, EverySettingThatShapesTheOutputIsInItsRecord) {
  TBatchSettings base;
  EXPECT_EQ(OutputShapeText(base), "320x240, 30 fps, video 512 kbit/s, audio 80 kbit/s 44100 Hz stereo, key frame "
                                   "every 10 s, levelled, own subtitles");
  const std::vector<std::pair<const char*, std::function<void(TBatchSettings&)>>> changes = {
      {"size", [](TBatchSettings& S) { S.FrameSize = "640x360"; }},
      {"rate", [](TBatchSettings& S) { S.FrameRate = "Auto"; }},
      {"video bitrate", [](TBatchSettings& S) { S.VideoKbps = 768; }},
      {"audio bitrate", [](TBatchSettings& S) { S.AudioKbps = 128; }},
      {"sample rate", [](TBatchSettings& S) { S.SampleRate = 48000; }},
      {"channels", [](TBatchSettings& S) { S.ChannelsEntry = 0; }},
      {"key frames", [](TBatchSettings& S) { S.KeyFrameSeconds = 2; }},
      {"levelling", [](TBatchSettings& S) { S.EvenVolume = false; }},
      {"no subtitles", [](TBatchSettings& S) { S.BurnSubtitles = false; }},
      {"subtitle file", [](TBatchSettings& S) { S.SubtitleFile = "/s/all.srt"; }},
      {"language subtitles", [](TBatchSettings& S) { S.LanguageSubtitles = true; }},
      {"audio track", [](TBatchSettings& S) { S.AudioTrack = 2; }},
      {"audio language", [](TBatchSettings& S) { S.AudioLanguage = "de"; }},
      {"a cut", [](TBatchSettings& S) { S.InputExtraOptions = "ss=00:01:00\n"; }},
      {"a length", [](TBatchSettings& S) { S.OutputExtraOptions = "t=30\n"; }},
  };
  std::set<std::string> seen = {OutputShapeText(base)};
  for (const auto& [what, change] : changes) {
    TBatchSettings s = base;
    change(s);
    EXPECT_TRUE(seen.insert(OutputShapeText(s)).second) << what << ": " << OutputShapeText(s);
  }
  // Where the output goes and how it is named do not shape it.
  TBatchSettings placed = base;
  placed.OutputFolder = "/elsewhere";
  placed.Overwrite = false;
  placed.KeepFolders = true;
  placed.SkipConverted = true;
  EXPECT_EQ(OutputShapeText(placed), OutputShapeText(base));
}

TEST(SizeEstimateTest, TextsAndTheFitRule) {
  const std::pair<int64_t, const char*> texts[] = {{0, "0 KB"},          {1, "1 KB"},         {640000, "640 KB"},
                                                   {12400000, "12 MB"},  {1440000000, "1.4 GB"},
                                                   {6249999999, "6.2 GB"}, {2700000000000, "2.7 TB"}};
  for (auto [bytes, text] : texts) EXPECT_EQ(TSizeEstimate::Text(bytes), text) << bytes;
  EXPECT_EQ(TSizeEstimate::BatchLine(12, 1440000000, 6200000000), "12 files, about 1.4 GB, 6.2 GB free");
  EXPECT_EQ(TSizeEstimate::BatchLine(1, 640000, -1), "1 file, about 640 KB");
  EXPECT_EQ(TSizeEstimate::TooLargeMessage("/v/out", 1440000000, 600000000),
            "The files need about 1.4 GB, but only 600 MB is free in /v/out.");
  // Clearly: even 10% less would not fit; unknown figures never refuse.
  EXPECT_TRUE(TSizeEstimate::ClearlyTooLarge(1000, 899));
  EXPECT_FALSE(TSizeEstimate::ClearlyTooLarge(1000, 900));
  EXPECT_FALSE(TSizeEstimate::ClearlyTooLarge(-1, 0));
  EXPECT_FALSE(TSizeEstimate::ClearlyTooLarge(1000, -1));
  // 60 s at 512 + 80 kbit/s: the bits, 8 bytes of index a packet, the headers.
  TSizeInputs in;
  in.DurationUs = 60000000;
  in.VideoBitrate = 512000;
  in.AudioBitrate = 80000;
  EXPECT_EQ(TSizeEstimate::OutputBytes(in), 4440000 + 4096 + 14400 + 20672);
  in.HasAudio = false;
  EXPECT_EQ(TSizeEstimate::OutputBytes(in), 3840000 + 4096 + 14400);
  in.DurationUs = -1;
  EXPECT_EQ(TSizeEstimate::OutputBytes(in), -1);
  EXPECT_GT(TSizeEstimate::FreeBytes("/tmp"), 0);
  EXPECT_EQ(TSizeEstimate::FreeBytes("/no/such/folder"), -1);
}

// The set-up's expected sizes against the outputs of several kinds of input,
// at the lowest, the default and the highest profile.
TEST(SizeEstimateTest, ExpectedSizesOfRealOutputs) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  const char* kinds[] = {"avi_xvid", "mpeg1_ps", "wmv", "mov_mpeg4_aac", "flv", "rm_rv10", "avi_video_only"};
  for (const int profile : {3, 0, 7}) {
    TBatchSettings settings;
    ApplyProfile(settings, profile);
    settings.OutputFolder = dir / ("out" + std::to_string(profile));
    fs::create_directories(settings.OutputFolder);
    std::vector<std::string> inputs;
    for (const char* kind : kinds) inputs.push_back(TestClip(kind, 8.0));
    const std::vector<TFileSetup> rows = ConvertBatch(settings, inputs);
    for (const TFileSetup& row : rows) {
      ASSERT_TRUE(row.Ok) << row.FileName << row.Message;
      const int64_t real = FileSizeOf(row.OutputPath);
      const double ratio = static_cast<double>(real) / static_cast<double>(row.ExpectedBytes);
      std::printf("profile %d  %-16s expected %9lld  real %9lld  real/expected %.3f\n", profile,
                  BaseNameOf(row.FileName).c_str(), static_cast<long long>(row.ExpectedBytes),
                  static_cast<long long>(real), ratio);
      // The test clips (a box moving over a plain picture) need fewer bits
      // than the higher profiles offer, and the encoder does not spend what
      // it does not need: there the estimate is an upper bound. The lowest
      // profile's rate is used in full, as by ordinary films.
      if (profile == 0)
        EXPECT_NEAR(ratio, 1.0, 0.10) << row.FileName << " at profile " << profile;
      else
        EXPECT_LE(ratio, 1.10) << row.FileName << " at profile " << profile;
    }
  }
}

}  // namespace
