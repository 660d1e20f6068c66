// The window's batch helpers without widgets: folder trees turned into files
// to add with their tree folders and the add's summary, the size figures, and
// the clock of a paused batch.
#include <gtest/gtest.h>

#include <filesystem>

#include "BatchPause.h"
#include "BatchSize.h"
#include "FolderAdd.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(FolderAddTest, FoldersGiveTheirTreesFilesStayAndProgressCountsTheWholeAdd) {
  TTempDir dir;
  for (const char* f : {"/a/clip10.avi", "/a/clip2.mkv", "/a/2019/Summer/sea.mp4", "/a/.hidden/x.avi",
                        "/a/notes.txt", "/b/one.mov", "/single.avi"}) {
    fs::create_directories(fs::path(dir.Path() + f).parent_path());
    WriteFile(dir.Path() + f, "x");
  }
  fs::create_symlink(dir / "nowhere.avi", dir / "b/broken.avi");
  TFolderAdd add;
  std::vector<size_t> counts;
  add.OnProgress = [&](size_t Found, const std::string&) {
    counts.push_back(Found);
    return true;
  };
  add.Expand({dir / "a", dir / "single.avi", dir / "b"});
  std::vector<std::pair<std::string, std::string>> items;
  for (const TAddItem& i : add.Items()) items.emplace_back(i.Path, i.TreeFolder);
  EXPECT_EQ(items, (std::vector<std::pair<std::string, std::string>>{{dir / "a/clip2.mkv", ""},
                                                                     {dir / "a/clip10.avi", ""},
                                                                     {dir / "a/2019/Summer/sea.mp4", "2019/Summer"},
                                                                     {dir / "single.avi", ""},
                                                                     {dir / "b/one.mov", ""}}));
  EXPECT_TRUE(add.HadFolder());
  EXPECT_FALSE(add.Cancelled());
  // The second folder's count goes on from the first one's three files (and
  // the single file between them).
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts.back(), 5u);
  EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
  // The broken link is refused with the system's reason, for the Log.
  ASSERT_EQ(add.LogLines().size(), 1u);
  EXPECT_EQ(add.LogLines()[0], dir / "b/broken.avi" + ": No such file or directory");

  TFolderAdd files;
  files.Expand({dir / "single.avi", dir / "a/clip2.mkv"});
  EXPECT_FALSE(files.HadFolder());
  EXPECT_EQ(files.Items().size(), 2u);

  // Cancelled in the first folder: what was found is kept, nothing after it.
  TFolderAdd cancelled;
  cancelled.OnProgress = [](size_t Found, const std::string&) { return Found == 0; };
  cancelled.Expand({dir / "a", dir / "b"});
  EXPECT_TRUE(cancelled.Cancelled());
  EXPECT_EQ(cancelled.Items().size(), 2u);
}

TEST(FolderAddTest, SummaryCountsAddedAndRefused) {
  struct TCase {
    int Added;
    std::vector<std::string> Refused;
    bool Cancel;
    std::string Summary;
    std::vector<std::string> Listed = {};  // already in the list
  };
  TTempDir dir;
  fs::create_directories(dir / "empty");
  const std::vector<TCase> cases = {
      {12, {}, false, "12 files added."},
      {1, {"/v/x.avi"}, false, "1 file added, 1 refused: see the Log."},
      {0, {"/v/x.avi", "/v/y.avi"}, false, "0 files added, 2 refused: see the Log."},
      {0, {}, false, "No video files in " + dir / "empty" + "."},
      {3, {}, true, "Cancelled: 3 files added."},
      {0, {}, true, "Cancelled: 0 files added."},
      {2, {}, false, "2 files added, 1 already in the list: see the Log.", {"/v/a.avi"}},
      {0, {"/v/x.avi"}, false, "0 files added, 2 already in the list, 1 refused: see the Log.", {"/v/a.avi", "/v/b.avi"}},
  };
  for (const TCase& c : cases) {
    TFolderAdd add;
    add.Expand({dir / "empty"});
    for (int i = 0; i < c.Added; ++i) add.Added();
    for (const std::string& path : c.Refused) add.Refuse(path, "Cannot convert \"" + path + "\": not found.");
    for (const std::string& path : c.Listed) add.AlreadyListed(path);
    if (c.Cancel) add.Cancel();
    EXPECT_EQ(add.Summary(), c.Summary);
    EXPECT_EQ(add.AddedCount(), c.Added);
    EXPECT_EQ(add.RefusedCount(), static_cast<int>(c.Refused.size()));
    EXPECT_EQ(add.AlreadyListedCount(), static_cast<int>(c.Listed.size()));
    EXPECT_EQ(add.LogLines().size(), c.Refused.size() + c.Listed.size());
  }
  // A reason that names its file stands alone in the Log; one that does not
  // is put after the path.
  TFolderAdd add;
  add.Refuse("/v/a.avi", "Convertion of file \"/v/a.avi\" is not supported.");
  add.Refuse("/v/b.avi", "Permission denied");
  EXPECT_EQ(add.LogLines(), (std::vector<std::string>{"Convertion of file \"/v/a.avi\" is not supported.",
                                                      "/v/b.avi: Permission denied"}));
}

TEST(FolderAddTest, FilesAlreadyListedAndFoldersLeftOutAreCountedAndNamed) {
  TTempDir dir;
  for (const char* f : {"/cam/a.avi", "/cam/b.avi", "/cam/sub/c.avi", "/up.avi"}) {
    fs::create_directories(fs::path(dir.Path() + f).parent_path());
    WriteFile(dir.Path() + f, "x");
  }
  fs::create_hard_link(dir / "cam/a.avi", dir / "cam/sub/hard.avi");
  fs::create_directory_symlink("../..", dir / "cam/sub/up");
  TFolderAdd add;
  add.Expand({dir / "cam", dir / "cam/b.avi"});
  // The list holds a.avi (under another spelling of its path) and sub/c.avi;
  // b.avi comes twice in this add. The hard link is a file of its own.
  const std::vector<TAddItem> fresh =
      add.NotYetListed(add.Items(), {dir / "cam/./sub/../a.avi", dir / "cam/sub/c.avi"});
  std::vector<std::string> paths;
  for (const TAddItem& item : fresh) paths.push_back(item.Path);
  EXPECT_EQ(paths, (std::vector<std::string>{dir / "cam/b.avi", dir / "cam/sub/hard.avi"}));
  for (size_t i = 0; i < fresh.size(); ++i) add.Added();
  EXPECT_EQ(add.AlreadyListedCount(), 3);
  EXPECT_EQ(add.LeftOutCount(), 1);
  EXPECT_EQ(add.Summary(), "2 files added, 3 already in the list, 1 folder left out: see the Log.");
  EXPECT_EQ(add.LogLines(), (std::vector<std::string>{
                                dir / "cam/sub/up: a link to " + fs::canonical(dir.Path()).string() +
                                    ", outside the folder added: not followed",
                                dir / "cam/a.avi: already in the list", dir / "cam/sub/c.avi: already in the list",
                                dir / "cam/b.avi: already in the list"}));
}

TEST(BatchSizeTest, ExpectedBytesFollowTheSettingsShownNow) {
  TSizeInputs source;
  source.DurationUs = 100'000'000;  // 100 s
  source.FrameRate = 25;            // the source's rate, kept by "Auto"
  TBatchSettings s;
  s.VideoKbps = 800;
  s.AudioKbps = 128;
  s.SampleRate = 48000;
  s.FrameRate = "30";
  TSizeInputs want = source;
  want.VideoBitrate = 800'000;
  want.AudioBitrate = 128'000;
  want.SampleRate = 48000;
  want.FrameRate = 30;
  EXPECT_EQ(ExpectedBytesAt(source, s), TSizeEstimate::OutputBytes(want));
  EXPECT_NEAR(static_cast<double>(ExpectedBytesAt(source, s)), 100 * (800'000 + 128'000) / 8.0, 0.01 * 11.6e6);
  s.FrameRate = "Auto";
  want.FrameRate = 25;
  EXPECT_EQ(ExpectedBytesAt(source, s), TSizeEstimate::OutputBytes(want));
  // Twice the bitrates, about twice the size; no sound, no audio bitrate.
  s.VideoKbps = 1600;
  s.AudioKbps = 256;
  EXPECT_NEAR(static_cast<double>(ExpectedBytesAt(source, s)) / static_cast<double>(TSizeEstimate::OutputBytes(want)), 2.0, 0.01);
  source.HasAudio = false;
  EXPECT_NEAR(static_cast<double>(ExpectedBytesAt(source, s)), 100 * 1'600'000 / 8.0, 0.01 * 20e6);
  source.DurationUs = -1;
  EXPECT_EQ(ExpectedBytesAt(source, s), -1);
}

TEST(BatchSizeTest, DurationOfAKeptRowsText) {
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"00:00:00", 0},         {"00:01:30", 90'000'000}, {"01:02:03", 3723'000'000},
      {"123:00:01", 442801'000'000}, {"", -1},          {"1:30", -1},
      {"00:60:00", -1},        {"00:00:5x", -1},         {"-1:00:00", -1}, {"aa:00:00", -1}};
  for (const auto& [text, us] : cases) EXPECT_EQ(DurationUsOfText(text), us) << text;
}

TEST(BatchSizeTest, MeasuredFiguresHoldForTheirSettingsOnly) {
  TBatchSettings a, b = a, named = a;
  b.VideoKbps = 1024;
  named.OutputFolder = "/elsewhere";  // where an output goes does not change its size
  named.Overwrite = !a.Overwrite;
  const std::string keyA = TMeasuredSizes::SettingsKey(a), keyB = TMeasuredSizes::SettingsKey(b);
  EXPECT_NE(keyA, keyB);
  EXPECT_EQ(TMeasuredSizes::SettingsKey(named), keyA);
  TMeasuredSizes m;
  EXPECT_TRUE(m.SetSettings(keyA));
  EXPECT_FALSE(m.SetSettings(keyA));
  m.Set("/v/a.avi", 5000);
  m.Set("/v/bad.avi", -1);  // could not be measured: not asked again
  EXPECT_EQ(m.Bytes("/v/a.avi", keyA), 5000);
  EXPECT_EQ(m.Bytes("/v/a.avi", keyB), -1) << "another key";
  EXPECT_EQ(m.Missing({"/v/a.avi", "/v/c.avi", "/v/bad.avi", "/v/b.avi"}), (std::vector<std::string>{"/v/c.avi", "/v/b.avi"}));
  EXPECT_TRUE(m.SetSettings(keyB));
  EXPECT_EQ(m.Bytes("/v/a.avi", keyB), -1) << "forgotten with the old settings";
  EXPECT_EQ(m.Missing({"/v/a.avi"}).size(), 1u);
}

TEST(BatchSizeTest, TipsLinesAndChecks) {
  EXPECT_EQ(ExpectedSizeTip(12'300'000), "Output: about 12 MB at most");
  EXPECT_EQ(ExpectedSizeTip(12'300'000, true), "Output: about 12 MB");
  EXPECT_EQ(ExpectedSizeTip(-1), "Output size: not known (the file's length is not known)");
  struct TCase {
    std::vector<int64_t> Expected;
    int64_t Free;
    std::string Line;
    bool TooLarge;
  };
  const std::vector<TCase> cases = {
      {{}, 6'200'000'000, "", false},
      {std::vector<int64_t>(12, 120'000'000), 6'200'000'000, "12 files, about 1.4 GB, 6.2 GB free", false},
      {{1'400'000'000}, 600'000'000, "1 file, about 1.4 GB, 600 MB free", true},
      {{1'400'000'000, -1}, -1, "2 files, about 1.4 GB (1 of unknown length)", false},
      // Within 10% it may still fit: not refused.
      {{1'000'000'000}, 950'000'000, "1 file, about 1.0 GB, 950 MB free", false},
      {{-1, -1}, 10, "2 files, about 0 KB (2 of unknown length), 1 KB free", false},
  };
  for (const TCase& c : cases) {
    const TBatchFigures f = BatchFigures(c.Expected, c.Free);
    EXPECT_EQ(BatchFiguresLine(f), c.Line);
    EXPECT_EQ(BatchTooLarge(f), c.TooLarge) << c.Line;
  }
  for (auto [expected, free, short_] : std::vector<std::tuple<int64_t, int64_t, bool>>{
           {100, 99, true}, {100, 100, false}, {-1, 0, false}, {100, -1, false}, {0, 0, false}})
    EXPECT_EQ(RoomShort(expected, free), short_) << expected << " " << free;
  EXPECT_EQ(RoomShortText("/out", "clip.avi", 1'200'000'000, 600'000'000),
            "Only 600 MB is free in /out, and 'clip.avi' needs about 1.2 GB. The batch is paused: make room, then "
            "press Resume.");
}

TEST(BatchSizeTest, FreeSpaceOfAFolderNotMadeYetIsItsParentsOne) {
  TTempDir dir;
  const int64_t here = FreeBytesFor(dir.Path());
  ASSERT_GT(here, 0);
  const int64_t below = FreeBytesFor(dir / "not/made/yet/");
  // The same file system; other programs may write meanwhile.
  EXPECT_NEAR(static_cast<double>(below), static_cast<double>(here), 64e6);
  EXPECT_GT(FreeBytesFor("relative/not/made"), 0);
}

TEST(BatchPauseTest, TheClockStandsStillWhilePaused) {
  TBatchPause p;
  EXPECT_EQ(p.RunMs(1000), 1000);
  p.Pause(1000);
  p.Pause(1500);  // a second Pause keeps the first one's time
  EXPECT_TRUE(p.Paused());
  EXPECT_EQ(p.RunMs(4000), 1000);
  p.Resume(4000);
  p.Resume(9000);  // not paused: nothing
  EXPECT_FALSE(p.Paused());
  EXPECT_EQ(p.RunMs(5000), 2000);
  p.Pause(6000);
  p.Resume(6500);
  EXPECT_EQ(p.RunMs(7000), 3500);
  EXPECT_FALSE(p.StoppingAfterCurrent());
  p.StopAfterCurrent();
  p.Pause(8000);
  EXPECT_TRUE(p.StoppingAfterCurrent());
  p.Reset();
  EXPECT_FALSE(p.Paused());
  EXPECT_FALSE(p.StoppingAfterCurrent());
  EXPECT_EQ(p.RunMs(8000), 8000);
}

}  // namespace
