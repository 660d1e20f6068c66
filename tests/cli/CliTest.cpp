// vidlomat-cli: argument checks, batches of clips, refused files, output
// naming, and interruption (through the library call and through SIGINT to
// the built program).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>

#include "CliMain.h"
#include "EngineIO.h"
#include "ComponentSupport.h"
#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "TestSupport.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

TRun RunTool(const std::vector<std::string>& Args) {
  std::ostringstream out, err;
  TRun r;
  r.Status = RunCli(Args, out, err, false);
  r.Out = out.str();
  r.Err = err.str();
  // The program unloads the libraries at its end; the checks need them.
  EnsureLibrariesLoaded();
  return r;
}

// A copy of a clip under a name of the test's choosing.
std::string CopyClip(const std::string& Clip, const std::string& Path) {
  fs::create_directories(fs::path(Path).parent_path());
  fs::copy_file(Clip, Path, fs::copy_options::overwrite_existing);
  return Path;
}

TEST(CliArgumentsTest, UsageErrorsGiveTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--no-such-option", "a.avi"},
      {"-p", "8", "a.avi"},
      {"--profile", "x", "a.avi"},
      {"--size", "100x100", "a.avi"},
      {"--channels", "3", "a.avi"},
      {"--rate", "12345", "a.avi"},
      {"-r", "13", "a.avi"},
      {"-j", "0", "a.avi"},
      {"--video-kbps", "127", "a.avi"},
      {"--audio-kbps", "161", "a.avi"},
      {"--keyframe-seconds", "601", "a.avi"},
      {"--audio-track", "0", "a.avi"},
      {"--audio-lang", "und", "a.avi"},
      {"--audio-lang", "12", "a.avi"},
      {"--audio-lang"},
      {"--subtitles", "/no/such/file.srt", "a.avi"},
      {"a.avi", "-o"},
  };
  for (const auto& args : cases) {
    const TRun r = RunTool(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.Status, kExitUsage) << joined;
    EXPECT_NE(r.Err.find("vidlomat-cli: "), std::string::npos) << joined;
  }
}

TEST(CliArgumentsTest, SettingsFromOptions) {
  TCliOptions o;
  std::string error;
  ASSERT_TRUE(ParseCliArguments({"--video-kbps", "700", "-p", "0", "-r", "auto", "--rate=22050", "-s", "640x360",
                                 "--no-overwrite", "-j3", "--keyframe-seconds", "0", "--output-options", "g=12",
                                 "--skip-converted", "--low-priority", "--keep-folders", "--audio-lang=ger",
                                 "--audio-track", "2", "--no-normalize", "--",
                                 "-odd.avi"},
                                o, error))
      << error;
  // The profile gives the audio rate and mono; the explicit video rate wins.
  EXPECT_EQ(o.Settings.VideoKbps, 700);
  EXPECT_EQ(o.Settings.AudioKbps, 32);
  EXPECT_EQ(o.Settings.ChannelsEntry, 0);
  EXPECT_EQ(o.Settings.FrameRate, "Auto");
  EXPECT_EQ(o.Settings.SampleRate, 22050);
  EXPECT_EQ(o.Settings.FrameSize, "640x360");
  EXPECT_FALSE(o.Settings.Overwrite);
  EXPECT_EQ(o.Jobs, 3);
  EXPECT_TRUE(o.Settings.SkipConverted);
  EXPECT_TRUE(o.LowPriority);
  EXPECT_TRUE(o.Settings.KeepFolders);
  EXPECT_EQ(o.Settings.OutputExtraOptions, "g=12");
  EXPECT_EQ(o.Settings.KeyFrameSeconds, 0);
  EXPECT_EQ(o.Settings.AudioLanguage, "ger");
  EXPECT_EQ(o.Settings.AudioTrack, 2);
  EXPECT_FALSE(o.Settings.EvenVolume);
  EXPECT_EQ(o.Files, std::vector<std::string>{"-odd.avi"});
  // Without the options: the user's language, even loudness.
  ASSERT_TRUE(ParseCliArguments({"a.avi"}, o, error)) << error;
  EXPECT_EQ(o.Settings.AudioLanguage, "");
  EXPECT_EQ(o.Settings.AudioTrack, 0);
  EXPECT_TRUE(o.Settings.EvenVolume);
  EXPECT_TRUE(o.Settings.BurnSubtitles);
  EXPECT_FALSE(o.Settings.LanguageSubtitles);
  EXPECT_EQ(o.Settings.SubtitleFile, "");
  ASSERT_TRUE(ParseCliArguments({"--no-subtitles", "--language-subtitles", "a.avi"}, o, error)) << error;
  EXPECT_FALSE(o.Settings.BurnSubtitles);
  EXPECT_TRUE(o.Settings.LanguageSubtitles);
  // A subtitle file given turns burning on again.
  ASSERT_TRUE(ParseCliArguments({"--no-subtitles", "--subtitles", "/etc/hostname", "a.avi"}, o, error)) << error;
  EXPECT_TRUE(o.Settings.BurnSubtitles);
  EXPECT_EQ(o.Settings.SubtitleFile, "/etc/hostname");
  const TRun help = RunTool({"--help"});
  EXPECT_EQ(help.Status, kExitOk);
  EXPECT_NE(help.Out.find("Usage: vidlomat-cli"), std::string::npos);
}

class CliBatchTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    In = FreshOutputFolder();
    Out = FreshOutputFolder() + "/converted/sub";  // created by the run
  }
  std::string In, Out;
};

TEST_F(CliBatchTest, ConvertsSeveralKindsAndGoesOnPastABrokenFile) {
  const std::vector<std::string> inputs = {
      CopyClip(TestClip("avi_xvid"), In + "/first.avi"),
      CopyClip(TestClip("mpeg1_ps"), In + "/second.mpg"),
      In + "/broken.avi",
      CopyClip(TestClip("wmv"), In + "/third.wmv"),
      CopyClip(TestClip("mov_mpeg4_aac"), In + "/fourth.mov"),
  };
  WriteFile(inputs[2], "not a video at all");
  std::vector<std::string> args = {"-o", Out, "-j", "2"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  const TRun r = RunTool(args);
  EXPECT_EQ(r.Status, kExitFailed) << r.Out << r.Err;
  const std::string refused = "Convertion of file \"" + inputs[2] + "\" is not supported. (" + inputs[2] +
                              ": Unknown format)";
  EXPECT_NE(r.Err.find(refused), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("Summary: 4 converted, 0 stopped, 0 failed, 1 refused"), std::string::npos) << r.Out;
  // The listing shows the window's columns.
  EXPECT_NE(r.Out.find("first           00:00:01  AVI   first"), std::string::npos) << r.Out;
  EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"first.mp4", "fourth.mp4", "second.mp4", "third.mp4"}));
  for (const std::string& name : FolderEntries(Out)) {
    const TFileFacts f = ReadFacts(Out + "/" + name);
    ASSERT_TRUE(f.Opened) << name << f.Error;
    const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a) << name;
    EXPECT_EQ(v->Codec, "mpeg4") << name;
    EXPECT_EQ(v->Width, 320);
    EXPECT_EQ(v->Height, 240);
    EXPECT_GT(v->Packets, 20);
    EXPECT_EQ(a->Codec, "aac") << name;
    EXPECT_EQ(a->Channels, 2);
  }
}

TEST_F(CliBatchTest, NamesLikeTheWindowAndSettingsReachTheFile) {
  fs::create_directories(Out);
  WriteFile(Out + "/clip.mp4", "an older file");
  const std::string a = CopyClip(TestClip("avi_xvid"), In + "/a/clip.avi");
  const std::string b = CopyClip(TestClip("mpeg1_ps"), In + "/b/clip.mpg");
  const TRun r = RunTool({"-q", "--no-overwrite", "-p", "0", "-s", "160x120", "--rate", "22050", "-o", Out, a, b});
  ASSERT_EQ(r.Status, kExitOk) << r.Out << r.Err;
  EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"clip(1).mp4", "clip(2).mp4", "clip.mp4"}));
  EXPECT_EQ(FileSizeOf(Out + "/clip.mp4"), 13);
  const TFileFacts f = ReadFacts(Out + "/clip(1).mp4");
  ASSERT_TRUE(f.Opened);
  EXPECT_EQ(f.First(AVMEDIA_TYPE_VIDEO)->Width, 160);
  EXPECT_EQ(f.First(AVMEDIA_TYPE_AUDIO)->Channels, 1);
  EXPECT_EQ(f.First(AVMEDIA_TYPE_AUDIO)->SampleRate, 22050);
  EXPECT_EQ(r.Out.find("Input Filename"), std::string::npos) << "quiet lists nothing";

  // Overwriting: the older file goes, but two inputs of one batch still get two
  // names, and the second never takes a name that exists on disk.
  const TRun again = RunTool({"-q", "-o", Out, a, b});
  ASSERT_EQ(again.Status, kExitOk) << again.Out << again.Err;
  EXPECT_GT(FileSizeOf(Out + "/clip.mp4"), 1000);
  EXPECT_NE(again.Out.find("-> " + Out + "/clip(3).mp4"), std::string::npos) << again.Out;
}

TEST_F(CliBatchTest, NoOutputReplacesAFileOfTheBatchWhateverNameLeadsToIt) {
  // Out/box.mp4 is listed as itself, through a hard link, through a link to
  // its folder, or listed as itself with the output folder named through a
  // link; other/box.avi would be converted to box.mp4.
  const std::string other = In + "/other";
  const std::string avi = CopyClip(TestClip("avi_xvid"), other + "/box.avi");
  const std::string alias = In + "/alias";
  const struct {
    const char* Name;
    std::string Folder, Listed;
    bool AviFirst;
  } cases[] = {
      {"itself", Out, Out + "/box.mp4", false},
      {"hard link", Out, other + "/hard/box.mp4", true},
      {"linked folder", Out, other + "/linked/box.mp4", true},
      {"output folder through a link", alias, Out + "/box.mp4", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Out);
    for (const char* name : {"/hard/box.mp4", "/linked"}) fs::remove(other + name);
    fs::remove(alias);
    CopyClip(TestClip("mov_mpeg4_aac"), Out + "/box.mp4");
    fs::create_directories(other + "/hard");
    fs::create_hard_link(Out + "/box.mp4", other + "/hard/box.mp4");
    fs::create_directory_symlink(Out, other + "/linked");
    fs::create_directory_symlink(Out, alias);
    const std::string original = ReadFile(Out + "/box.mp4");
    const TRun r = c.AviFirst ? RunTool({"-q", "--overwrite", "-o", c.Folder, avi, c.Listed})
                              : RunTool({"-q", "--overwrite", "-o", c.Folder, c.Listed, avi});
    EXPECT_EQ(r.Status, kExitOk) << r.Out << r.Err;
    EXPECT_TRUE(ReadFile(Out + "/box.mp4") == original) << "the listed file was written over";
    EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"box(1).mp4", "box(2).mp4", "box.mp4"}));
    for (const char* name : {"/box(1).mp4", "/box(2).mp4"}) EXPECT_TRUE(ReadFacts(Out + name).Opened) << name;
  }
}

TEST_F(CliBatchTest, AFolderArgumentConvertsItsTreeInNaturalOrder) {
  const std::string tree = In + "/tree";
  CopyClip(TestClip("avi_xvid", 0.3), tree + "/clip10.avi");
  CopyClip(TestClip("avi_xvid", 0.3), tree + "/clip2.AVI");
  CopyClip(TestClip("mpeg1_ps", 0.3), tree + "/sub/clip1.mpg");
  CopyClip(TestClip("avi_xvid", 0.3), tree + "/.hidden.avi");
  CopyClip(TestClip("avi_xvid", 0.3), tree + "/.cache/old.avi");
  WriteFile(tree + "/notes.txt", "not a video");
  fs::create_symlink(In + "/nowhere.avi", tree + "/gone.avi");
  fs::create_directory_symlink("..", tree + "/sub/loop");
  const std::string single = CopyClip(TestClip("avi_xvid", 0.3), In + "/single.avi");
  const TRun r = RunTool({"-o", Out, single, tree + "/"});
  EXPECT_EQ(r.Status, kExitFailed) << r.Out << r.Err;  // the broken link is refused
  EXPECT_NE(r.Err.find(tree + "/gone.avi: No such file or directory"), std::string::npos) << r.Err;
  EXPECT_NE(r.Out.find("Summary: 4 converted, 0 stopped, 0 failed, 1 refused"), std::string::npos) << r.Out;
  EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"clip1.mp4", "clip10.mp4", "clip2.mp4", "single.mp4"}));
  // Arguments in their order, a tree folder by folder in natural name order.
  const size_t s1 = r.Out.find("converted  " + single), c2 = r.Out.find("converted  " + tree + "/clip2.AVI"),
               c10 = r.Out.find("converted  " + tree + "/clip10.avi"),
               c1 = r.Out.find("converted  " + tree + "/sub/clip1.mpg");
  ASSERT_NE(c1, std::string::npos) << r.Out;
  EXPECT_TRUE(s1 < c2 && c2 < c10 && c10 < c1) << r.Out;

  // A folder without videos says so and converts nothing.
  fs::create_directories(In + "/empty");
  const TRun none = RunTool({"-o", Out + "2", In + "/empty"});
  EXPECT_NE(none.Err.find("no video files in " + In + "/empty"), std::string::npos) << none.Err;
  EXPECT_NE(none.Out.find("Summary: 0 converted"), std::string::npos) << none.Out;
}

TEST_F(CliBatchTest, SkipConvertedAndDatesKept) {
  const std::string a = CopyClip(TestClip("avi_xvid", 0.3), In + "/a.avi");
  const std::string b = CopyClip(TestClip("avi_xvid", 0.3), In + "/b.avi");
  const timespec when[2] = {{1262304000, 500}, {1262304000, 500}};  // 2010-01-01
  ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), when, 0), 0);
  ASSERT_EQ(RunTool({"-q", "-o", Out, a}).Status, kExitOk);
  EXPECT_EQ(ReadFacts(Out + "/a.mp4").CreationTime, "2010-01-01T00:00:00.000000Z");
  EXPECT_EQ(fs::last_write_time(Out + "/a.mp4"), fs::last_write_time(a));
  const TRun r = RunTool({"--skip-converted", "-o", Out, a, b});
  EXPECT_EQ(r.Status, kExitOk) << r.Out << r.Err;
  EXPECT_NE(r.Out.find("Summary: 1 converted, 0 stopped, 0 failed, 0 refused, 1 skipped"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  skipped    " + a + " -> " + Out + "/a.mp4 (already converted)"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  AVI   a (already converted)\n"), std::string::npos) << r.Out;
  EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"a.mp4", "b.mp4"}));
  // Other settings: a.mp4 is not what they make, and is made again (once).
  for (const int skipped : {0, 1}) {
    const TRun larger = RunTool({"--skip-converted", "-s", "640x360", "-p", "7", "-o", Out, a});
    EXPECT_EQ(larger.Status, kExitOk) << larger.Out << larger.Err;
    EXPECT_NE(larger.Out.find("Summary: " + std::to_string(1 - skipped) + " converted, 0 stopped, 0 failed, 0 refused, " +
                              std::to_string(skipped) + " skipped"),
              std::string::npos)
        << larger.Out;
  }
  EXPECT_EQ(ReadFacts(Out + "/a.mp4").First(AVMEDIA_TYPE_VIDEO)->Width, 640);
}

TEST_F(CliBatchTest, ABatchThatClearlyDoesNotFitIsRefusedBeforeItStarts) {
  const std::string small = CopyClip(TestClip("avi_xvid", 0.3), In + "/small.avi");
  const TRun fits = RunTool({"-o", Out, small});
  EXPECT_EQ(fits.Status, kExitOk) << fits.Err;
  EXPECT_NE(fits.Out.find("1 file, about "), std::string::npos) << fits.Out;
  EXPECT_NE(fits.Out.find(" free\n"), std::string::npos) << fits.Out;
  // A file that says it lasts a hundred thousand hours (its first picture that
  // far from time zero): terabytes at any setting.
  TClipSpec hugeClip = ClipSpecByName("mp4");
  hugeClip.DurationSeconds = 0.3;
  hugeClip.StartTimeUs = int64_t{100000} * 3600 * 1000000;
  const std::string huge = In + "/huge.mp4";
  ASSERT_TRUE(MakeClip(hugeClip, huge, nullptr));
  const TRun r = RunTool({"-o", Out + "/big", small, huge});
  EXPECT_EQ(r.Status, kExitFailed) << r.Out << r.Err;
  EXPECT_NE(r.Err.find("vidlomat-cli: The files need about "), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(" is free in " + Out + "/big. Nothing was converted."), std::string::npos) << r.Err;
  EXPECT_EQ(FolderEntries(Out + "/big"), std::vector<std::string>{});
  // The bound did not fit, so the files were measured before refusing.
  EXPECT_NE(r.Out.find("Measuring the output sizes on samples of the files...\n"), std::string::npos) << r.Out;
  EXPECT_EQ(fits.Out.find("Measuring"), std::string::npos) << fits.Out;
}

// The room check with the free space and the measured sizes given: the bound
// alone decides when it fits; otherwise the measured total does, a file that
// cannot be measured counting at its bound.
TEST(CliBatchRoomTest, MeasuresOnlyWhenTheBoundDoesNotFitAndRefusesOnlyWhatStillDoesNot) {
  struct TCase {
    const char* Name;
    std::vector<int64_t> Bounds;
    int64_t Free;
    std::vector<int64_t> Measured;  // per file; -1: cannot be measured
    bool Fits, WasMeasured;
    int64_t Bytes;
    std::vector<size_t> Asked;  // the files measured
  };
  const std::vector<TCase> cases = {
      {"bound fits", {100, 200}, 1000, {1, 1}, true, false, 300, {}},
      {"bound within the 10% margin", {500, 600}, 1000, {1, 1}, true, false, 1100, {}},
      {"free space unknown", {5000}, -1, {1}, true, false, 5000, {}},
      {"bound too large, measured fits", {1000, 2000}, 1000, {200, 300}, true, true, 500, {0, 1}},
      {"measured within the 10% margin", {1000, 2000}, 1000, {500, 550}, true, true, 1050, {0, 1}},
      {"measured too large", {1000, 2000}, 1000, {600, 700}, false, true, 1300, {0, 1}},
      {"unmeasured keeps its bound", {2000, 2000}, 1000, {-1, 100}, false, true, 2100, {0, 1}},
      {"unknown bound not measured", {0, 3000}, 1000, {999, 200}, true, true, 200, {1}},
  };
  for (const TCase& c : cases) {
    std::vector<size_t> asked;
    const TBatchRoom room = CheckBatchRoom(c.Bounds, c.Free, [&](size_t Index) {
      asked.push_back(Index);
      return c.Measured.at(Index);
    });
    EXPECT_EQ(room.Fits, c.Fits) << c.Name;
    EXPECT_EQ(room.Measured, c.WasMeasured) << c.Name;
    EXPECT_EQ(room.Bytes, c.Bytes) << c.Name;
    EXPECT_EQ(asked, c.Asked) << c.Name;
  }
}

TEST_F(CliBatchTest, KeepFoldersWritesEachFileAtItsPlaceInTheTree) {
  const std::string tree = In + "/Camera";
  CopyClip(TestClip("avi_xvid", 0.3), tree + "/top.avi");
  CopyClip(TestClip("avi_xvid", 0.3), tree + "/2019/Summer/clip.avi");
  CopyClip(TestClip("avi_xvid", 0.3), tree + "/2020/clip.avi");
  const std::string loose = CopyClip(TestClip("avi_xvid", 0.3), In + "/loose.avi");
  const TRun r = RunTool({"-q", "--keep-folders", "-o", Out, tree, loose});
  ASSERT_EQ(r.Status, kExitOk) << r.Out << r.Err;
  EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"2019", "2020", "loose.mp4", "top.mp4"}));
  EXPECT_GT(FileSizeOf(Out + "/2019/Summer/clip.mp4"), 1000);
  EXPECT_GT(FileSizeOf(Out + "/2020/clip.mp4"), 1000);
  // Without it, one folder: the second clip takes a numbered name.
  const TRun flat = RunTool({"-q", "--no-overwrite", "-o", Out + "/flat", tree});
  ASSERT_EQ(flat.Status, kExitOk) << flat.Err;
  EXPECT_EQ(FolderEntries(Out + "/flat"), (std::vector<std::string>{"clip(1).mp4", "clip.mp4", "top.mp4"}));
}

// Whether a conversion into Folder has begun: its hidden temporary output
// exists. A small clip's first bytes reach the file only when the muxer's
// buffer fills, which may be at its very end, so bytes are no sign of a run
// still in progress.
bool TemporaryOutputExists(const std::string& Folder) {
  for (const std::string& name : FolderEntries(Folder))
    if (TOutputTarget::IsTemporaryName(name)) return true;
  return false;
}

// Waits until a conversion into Folder has begun (at most 60 s).
void WaitForConversionStart(const std::string& Folder, const std::atomic<bool>& Done) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!Done && !TemporaryOutputExists(Folder) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
}

// Older outputs of the later files of a batch, which an interrupted run must keep.
std::vector<std::string> OlderOutputs(const std::string& Folder) {
  fs::create_directories(Folder);
  WriteFile(Folder + "/long1.mp4", "older 1");
  WriteFile(Folder + "/long2.mp4", "older 2");
  return {"long1.mp4", "long2.mp4"};
}

TEST_F(CliBatchTest, InterruptDuringTheFirstFileKeepsOlderOutputsAndLeavesNoPartialFiles) {
  std::vector<std::string> args = {"-o", Out};
  for (int i = 0; i < 3; ++i) args.push_back(CopyClip(TestClip("avi_xvid", 6.0), In + "/long" + std::to_string(i) + ".avi"));
  const auto older = OlderOutputs(Out);
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    WaitForConversionStart(Out, done);
    RequestCliInterrupt();
  });
  const TRun r = RunTool(args);
  done = true;
  interrupter.join();
  EXPECT_EQ(r.Status, kExitInterrupted) << r.Out << r.Err;
  EXPECT_NE(r.Out.find("stopped"), std::string::npos) << r.Out;
  EXPECT_EQ(FolderEntries(Out), older);
  EXPECT_EQ(ReadFile(Out + "/long1.mp4"), "older 1");
  EXPECT_EQ(ReadFile(Out + "/long2.mp4"), "older 2");
}

// Of a film with an English and a German track, the options pick the track
// (the listing's Type names it); loudness left alone gives the very file the
// engine writes with its levelling turned off, byte for byte, and the
// default levelling changes it.
TEST_F(CliBatchTest, SoundOptionsReachTheFiles) {
  TClipSpec film = ClipSpecByName("mkv");
  film.AudioCodec = "aac";
  film.SampleRate = 48000;
  film.AudioTracks = {{"eng", false, 2, 440}, {"ger", false, 2, 1000}};
  const std::string mkv = In + "/film.mkv";
  std::string error;
  ASSERT_TRUE(MakeClip(film, mkv, &error)) << error;
  TEnvironmentScope env({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "en_US.UTF-8"}});
  const struct {
    std::vector<std::string> Args;
    const char* Type;
  } tracks[] = {
      {{}, "MKV \xC2\xB7 en stereo"},
      {{"--audio-lang", "de"}, "MKV \xC2\xB7 de stereo"},
      {{"--audio-lang=deu"}, "MKV \xC2\xB7 de stereo"},
      {{"--audio-track", "2"}, "MKV \xC2\xB7 de stereo"},
      {{"--audio-lang", "ger", "--audio-track", "1"}, "MKV \xC2\xB7 en stereo"},
      {{"--audio-track", "3"}, "MKV \xC2\xB7 en stereo"},
  };
  for (const auto& k : tracks) {
    std::vector<std::string> args = k.Args;
    SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
    args.insert(args.end(), {"--no-normalize", "-o", Out, mkv});
    const TRun r = RunTool(args);
    ASSERT_EQ(r.Status, kExitOk) << r.Out << r.Err;
    EXPECT_NE(r.Out.find(std::string("  ") + k.Type + "  film\n"), std::string::npos) << r.Out;
  }
  {
    // A language code no one knows: a warning, then the user's language.
    TEnvironmentScope german({{"LANG", "de_DE.UTF-8"}, {"LC_ALL", nullptr}});
    const TRun r = RunTool({"--audio-lang", "xx", "--no-normalize", "-o", Out, mkv});
    ASSERT_EQ(r.Status, kExitOk) << r.Out << r.Err;
    EXPECT_NE(r.Out.find("  MKV \xC2\xB7 de stereo  film\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Err.find("warning: --audio-lang \"xx\" is not a known language code"), std::string::npos) << r.Err;
  }

  const std::string clip = CopyClip(TestClip("avi_xvid"), In + "/clip.avi");
  const struct {
    const char* Folder;
    std::vector<std::string> Args;
  } levels[] = {{"as_is", {"--no-normalize"}}, {"engine_off", {"--output-options", "loudness=0"}}, {"even", {}}};
  for (const auto& k : levels) {
    std::vector<std::string> args = k.Args;
    args.insert(args.end(), {"-q", "-o", Out + "/" + k.Folder, clip});
    const TRun r = RunTool(args);
    ASSERT_EQ(r.Status, kExitOk) << k.Folder << r.Out << r.Err;
  }
  // The sound is compared (each output's record of its settings differs).
  auto sound = [&](const char* Folder) {
    int channels = 0, rate = 0;
    return DecodeAudio(Out + "/" + Folder + "/clip.mp4", channels, rate);
  };
  const std::vector<int16_t> asIs = sound("as_is");
  ASSERT_GT(asIs.size(), 1000u);
  EXPECT_TRUE(asIs == sound("engine_off")) << "--no-normalize differs from the engine's levelling off";
  EXPECT_FALSE(asIs == sound("even")) << "the default levelling left the sound as it was";
  EXPECT_NE(RunTool({"--help"}).Out.find("--no-normalize"), std::string::npos);
}

// A dark film with a subtitle file beside it: burned in by default, not with
// --no-subtitles; --subtitles burns a file of another name. The listing's
// Type says so, and the text is bright pixels on the dark picture.
TEST_F(CliBatchTest, SubtitleOptionsReachTheFiles) {
  TClipSpec dark = ClipSpecByName("mkv");
  dark.FlatLuma = 24;
  dark.AudioCodec.clear();
  const std::string film = In + "/film.mkv", plain = In + "/plain/film.mkv";
  std::string error;
  ASSERT_TRUE(MakeClip(dark, film, &error)) << error;
  fs::create_directories(In + "/plain");
  fs::copy_file(film, plain);
  const std::string cue = "1\n00:00:00,000 --> 00:00:09,000\nHello Agnes\n";
  WriteFile(In + "/film.srt", cue);
  WriteFile(In + "/other.srt", cue);
  const struct {
    std::vector<std::string> Args;
    std::string File;
    bool Burned;
  } cases[] = {
      {{}, film, true},
      {{"--no-subtitles"}, film, false},
      {{}, plain, false},
      {{"--subtitles", In + "/other.srt"}, plain, true},
  };
  for (const auto& k : cases) {
    std::vector<std::string> args = k.Args;
    SCOPED_TRACE(k.File + (args.empty() ? "" : " " + args[0]));
    args.insert(args.end(), {"-o", Out, k.File});
    const TRun r = RunTool(args);
    ASSERT_EQ(r.Status, kExitOk) << r.Out << r.Err;
    EXPECT_NE(r.Out.find(k.Burned ? "  MKV + subtitles  film\n" : "  MKV   film\n"), std::string::npos) << r.Out;
    const std::vector<TFramePtr> pictures = DecodeVideo(Out + "/film.mp4", 10);
    ASSERT_EQ(pictures.size(), 10u);
    const AVFrame* f = pictures[9].get();
    int bright = 0;
    for (int y = 0; y < f->height; ++y)
      for (int x = 0; x < f->width; ++x) bright += f->data[0][static_cast<ptrdiff_t>(y) * f->linesize[0] + x] > 150;
    EXPECT_EQ(bright > 100, k.Burned) << bright << " bright pixels";
  }
}

// A subtitle file beside a film that holds nothing to burn in (empty, blank,
// garbage, text without a cue) is one line on standard error at the normal
// level, naming the file and the reason; the film is converted without it,
// and the listing's Type does not promise subtitles.
TEST_F(CliBatchTest, AnUnusableSubtitleFileIsOneLineOnStandardError) {
  TClipSpec clip = ClipSpecByName("mkv");
  clip.DurationSeconds = 0.4;
  clip.AudioCodec.clear();
  const std::string film = In + "/film.mkv", srt = In + "/film.srt";
  std::string error;
  ASSERT_TRUE(MakeClip(clip, film, &error)) << error;
  const struct {
    const char* Name;
    std::string Text, Reason;
  } cases[] = {
      {"empty", "", "the file is empty"},
      {"blank", "\xEF\xBB\xBF \r\n\r\n", "the file is empty"},
      {"garbage", std::string("\x00\x01\xff garbage \x02\x7f\x80", 16), "not a subtitle file the libraries know"},
      {"text without a cue", "1\nHello Agnes\nand more words\n", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.Name);
    WriteFile(srt, k.Text);
    const TRun r = RunTool({"-o", Out, "--overwrite", film});
    ASSERT_EQ(r.Status, kExitOk) << r.Out << r.Err;
    const std::string line = "Subtitles \"" + srt + "\" cannot be read (" + k.Reason;
    EXPECT_NE(r.Err.find(line), std::string::npos) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    EXPECT_NE(r.Out.find("  MKV   film\n"), std::string::npos) << r.Out;
    EXPECT_TRUE(fs::exists(Out + "/film.mp4"));
  }
}

TEST_F(CliBatchTest, VersionAndOutputOptionsThatReplaceSettings) {
  const TRun v = RunTool({"--version"});
  EXPECT_EQ(v.Status, kExitOk);
  EXPECT_EQ(v.Out, "vidlomat-cli (Vidlomat) 3.1\n");
  EXPECT_NE(RunTool({"--help"}).Out.find("vcodec, acodec, b, ab, ar, ac, s and r"), std::string::npos);

  const std::string clip = CopyClip(TestClip("avi_xvid"), In + "/clip.avi");
  const TRun bad = RunTool({"-o", Out, "--output-options", "vcodec=nosuchcodec", clip});
  EXPECT_EQ(bad.Status, kExitFailed);
  EXPECT_NE(bad.Err.find("Unknown encoder 'nosuchcodec'"), std::string::npos) << bad.Err;
  // A size and a frame rate given as output options win over --size and --fps.
  const TRun ok = RunTool({"-o", Out, "-s", "320x240", "-r", "30", "--output-options", "s=160x120\nr=15", clip});
  ASSERT_EQ(ok.Status, kExitOk) << ok.Err;
  const TFileFacts facts = ReadFacts(Out + "/clip.mp4");
  ASSERT_TRUE(facts.Opened) << facts.Error;
  const TStreamFacts* video = facts.First(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(video);
  EXPECT_EQ(video->Width, 160);
  EXPECT_EQ(video->Height, 120);
}

TEST_F(CliBatchTest, AConversionErrorGoesToStandardErrorOnce) {
  const std::string clip = CopyClip(TestClip("avi_xvid"), In + "/clip.avi");
  // A lower quantiser bound above the upper one: the file is set up, and its
  // conversion fails when the encoder opens.
  const TRun r = RunTool({"-o", Out, "--output-options", "qmin=40", clip});
  EXPECT_EQ(r.Status, kExitFailed) << r.Out << r.Err;
  const size_t at = r.Err.find("clip.avi: failed: ");
  ASSERT_NE(at, std::string::npos) << r.Err;
  const std::string reason = r.Err.substr(at + 18, r.Err.find('\n', at) - at - 18);
  ASSERT_FALSE(reason.empty());
  EXPECT_EQ(r.Err.find(reason, at + 18 + reason.size()), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find(reason), at + 18) << r.Err;
  EXPECT_EQ(r.Out.find(reason), std::string::npos) << r.Out;
  EXPECT_EQ(FolderEntries(Out), std::vector<std::string>{});
}

TEST_F(CliBatchTest, WhatHappenedToAFileIsSaidInWords) {
  const std::string clip = CopyClip(TestClip("avi_xvid"), In + "/videos/clip.avi");
  TClipSpec recipe = ClipSpecByName("mp4_faststart");
  recipe.DurationSeconds = 10;
  const std::string trunc = In + "/trunc.mp4";
  std::string error;
  ASSERT_TRUE(MakeClip(recipe, trunc, &error)) << error;
  fs::resize_file(trunc, fs::file_size(trunc) / 5);

  const TRun r = RunTool({"-o", Out, In + "/gone.avi", clip, trunc});
  EXPECT_EQ(r.Status, kExitFailed) << r.Out << r.Err;
  EXPECT_NE(r.Err.find("Cannot convert \"" + In + "/gone.avi\": not found."), std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find("not supported"), std::string::npos) << r.Err;
  // A source cut short converts, and says so on standard error.
  const size_t shorter = r.Err.find("trunc.mp4: converted, but shorter: 0:00:0");
  ASSERT_NE(shorter, std::string::npos) << r.Err;
  EXPECT_EQ(r.Err.find(" of 0:00:10: the input ends before its header says\n", shorter),
            shorter + std::string("trunc.mp4: converted, but shorter: 0:00:00").size())
      << r.Err;
  EXPECT_NE(r.Out.find("Summary: 2 converted, 0 stopped, 0 failed, 1 refused"), std::string::npos) << r.Out;
  EXPECT_EQ(FolderEntries(Out), (std::vector<std::string>{"clip.mp4", "trunc.mp4"}));

  // An output the user's own options cut short is not told as shorter.
  const std::string three = CopyClip(TestClip("avi_xvid", 3.0), In + "/three.avi");
  const TRun cut = RunTool({"-o", Out, "--output-options", "t=0.5", three});
  EXPECT_EQ(cut.Status, 0) << cut.Out << cut.Err;
  EXPECT_EQ(cut.Err.find("shorter"), std::string::npos) << cut.Err;
  EXPECT_LT(ReadFacts(Out + "/three.mp4").DurationUs, 1000000);

  // An output folder that cannot be used stops the run before anything.
  WriteFile(In + "/file", "a file");
  const TRun blocked = RunTool({"-o", In + "/file/out", clip});
  EXPECT_EQ(blocked.Status, kExitFailed);
  EXPECT_EQ(blocked.Err,
            "vidlomat-cli: the output folder \"" + In + "/file/out\" cannot be used: " + In + "/file is not a folder\n");
  EXPECT_EQ(blocked.Out, "");
}

// The built program, run as a user would.
int Spawn(const std::vector<std::string>& Args, pid_t& Pid) {
  std::vector<char*> argv;
  std::string program = VIDLOMAT_CLI_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copy = Args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int rc = posix_spawn(&Pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

int WaitExit(pid_t Pid) {
  int status = 0;
  waitpid(Pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

TEST_F(CliBatchTest, TheProgressShowsARateOnlyOnceThereIsOne) {
  // A noisy clip takes several progress events to convert; the engine's own
  // rate reads 0 for the first second of each file.
  TClipSpec recipe = ClipSpecByName("avi_xvid");
  recipe.DurationSeconds = 8;
  recipe.Noise = 20;
  const std::string clip = In + "/noisy.avi";
  std::string error;
  ASSERT_TRUE(MakeClip(recipe, clip, &error)) << error;
  const TRun r = RunTool({"-o", Out, clip});
  ASSERT_EQ(r.Status, kExitOk) << r.Out << r.Err;
  std::istringstream lines(r.Out);
  int progress = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("noisy.avi: ", 0) != 0 || line.find('%') == std::string::npos) continue;
    ++progress;
    // "noisy.avi: 56%, 212 fps, 0:00:01 left" or, before there is a rate, "noisy.avi: 3%".
    const size_t fps = line.find(" fps");
    if (fps == std::string::npos) continue;
    const size_t start = line.rfind(", ", fps);
    ASSERT_NE(start, std::string::npos) << line;
    EXPECT_GT(std::stoi(line.substr(start + 2, fps - start - 2)), 0) << line;
  }
  EXPECT_GT(progress, 0) << r.Out;
}

TEST_F(CliBatchTest, ProgramExitStatusesAndSigint) {
  pid_t pid = 0;
  ASSERT_EQ(Spawn({"--size", "1x1", "x.avi"}, pid), 0);
  EXPECT_EQ(WaitExit(pid), kExitUsage);

  const std::string clip = CopyClip(TestClip("avi_xvid"), In + "/small.avi");
  ASSERT_EQ(Spawn({"-o", Out, clip}, pid), 0);
  EXPECT_EQ(WaitExit(pid), kExitOk);
  EXPECT_GT(FileSizeOf(Out + "/small.mp4"), 0);

  // SIGINT, SIGTERM and SIGHUP stop the run; a second signal ends it at once.
  // Either way the older outputs stay and no temporary file is left.
  struct TCase {
    int Signal;
    bool Twice;
  };
  int n = 0;
  for (const TCase& k : {TCase{SIGINT, false}, TCase{SIGTERM, false}, TCase{SIGHUP, false}, TCase{SIGINT, true}}) {
    SCOPED_TRACE(std::to_string(k.Signal) + (k.Twice ? " twice" : ""));
    const std::string folder = Out + "/int" + std::to_string(n++);
    const auto older = OlderOutputs(folder);
    std::vector<std::string> args = {"-o", folder};
    for (int i = 0; i < 3; ++i)
      args.push_back(CopyClip(TestClip("avi_xvid", 6.0), In + "/long" + std::to_string(i) + ".avi"));
    ASSERT_EQ(Spawn(args, pid), 0);
    std::atomic<bool> never{false};
    WaitForConversionStart(folder, never);
    kill(pid, k.Signal);
    if (k.Twice) kill(pid, k.Signal);
    EXPECT_EQ(WaitExit(pid), kExitInterrupted);
    EXPECT_EQ(FolderEntries(folder), older);
    EXPECT_EQ(ReadFile(folder + "/long1.mp4"), "older 1");
  }
}

TEST_F(CliBatchTest, AHangUpIgnoredAtStartLeavesTheRunAlone) {
  // Started as under nohup: SIGHUP ignored, which the program inherits.
  struct sigaction ignore = {}, before = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
  const std::string clip = CopyClip(TestClip("avi_xvid", 6.0), In + "/long.avi");
  pid_t pid = 0;
  const int spawned = Spawn({"-o", Out, clip}, pid);
  sigaction(SIGHUP, &before, nullptr);
  ASSERT_EQ(spawned, 0);
  std::atomic<bool> never{false};
  WaitForConversionStart(Out, never);
  kill(pid, SIGHUP);
  EXPECT_EQ(WaitExit(pid), kExitOk) << "the hang-up stopped the run";
  EXPECT_TRUE(ReadFacts(Out + "/long.mp4").Opened);
  // The other interrupts still stop it.
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
  const int again = Spawn({"-o", Out + "/2", clip}, pid);
  sigaction(SIGHUP, &before, nullptr);
  ASSERT_EQ(again, 0);
  WaitForConversionStart(Out + "/2", never);
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), kExitInterrupted);
}

TEST_F(CliBatchTest, CtrlZStopsTheJobAndContinueFinishesIt) {
  const std::string clip = CopyClip(TestClip("avi_xvid", 6.0), In + "/long.avi");
  pid_t pid = 0;
  ASSERT_EQ(Spawn({"-o", Out, clip}, pid), 0);
  std::atomic<bool> never{false};
  WaitForConversionStart(Out, never);
  ASSERT_EQ(kill(pid, SIGTSTP), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(status)) << "the shell sees the job stopped";
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  EXPECT_EQ(WaitExit(pid), kExitOk);
  const TFileFacts f = ReadFacts(Out + "/long.mp4");
  ASSERT_TRUE(f.Opened);
  EXPECT_NEAR(static_cast<double>(f.DurationUs), 6e6, 2e5);
  for (const std::string& name : FolderEntries(Out)) EXPECT_FALSE(TOutputTarget::IsTemporaryName(name)) << name;
}

}  // namespace
