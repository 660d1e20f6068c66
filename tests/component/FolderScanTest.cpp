// Folder trees as a batch's input: natural name order folder by folder,
// hidden names and other extensions left out, every name of a file taken,
// no linked folder followed out of the tree,
// refusals with their reason, cancelling from the progress callback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "FolderScan.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(FolderScanTest, NaturalNameOrder) {
  // Each pair in order; the reverse must not be.
  const std::vector<std::pair<std::string, std::string>> ordered = {
      {"clip2", "clip10"},         {"clip9.avi", "clip10.avi"}, {"Clip1", "clip2"},
      {"a", "B"},                  {"2019", "2020"},            {"x1y2", "x1y10"},
      {"clip", "clip1"},           {"clip2", "clip02"},         {"IMG_0009", "IMG_0010"},
      {"99999999999999999999", "100000000000000000000"},        {"ABC", "abc"},
      {"file 1", "file1"},         {"1", "a"},
  };
  for (const auto& [a, b] : ordered) {
    EXPECT_TRUE(NaturalLess(a, b)) << a << " < " << b;
    EXPECT_FALSE(NaturalLess(b, a)) << b << " < " << a;
  }
  EXPECT_FALSE(NaturalLess("same", "same"));
}

TEST(FolderScanTest, TreeFolderByFolder) {
  TTempDir dir;
  const std::string root = dir / "Camera";
  for (const char* d : {"", "/2019", "/2019/Summer", "/2019/Winter", "/2020", "/.thumbs", "/10", "/9"})
    fs::create_directories(root + d);
  for (const char* f : {"/clip10.avi", "/clip2.AVI", "/clip1.mp4", "/notes.txt", "/.hidden.avi", "/noext",
                        "/.thumbs/t.avi", "/2019/Summer/b.mkv", "/2019/Summer/a.MOV", "/2019/Winter/w.mpg",
                        "/2019/top.wmv", "/2020/x.flv", "/10/ten.ts", "/9/nine.vob", "/2019/look.avi.txt"})
    WriteFile(root + f, "x");
  // A loop back to the root, a second link to a folder, a link to a file
  // already listed (a file of its own), a link to a file outside, a broken
  // link that looks like a video and one that does not.
  fs::create_directory_symlink("..", root + "/2020/up");
  fs::create_directory_symlink(root + "/2019/Summer", root + "/2020/again");
  fs::create_symlink(root + "/clip1.mp4", root + "/2020/same.mp4");
  WriteFile(dir / "outside.m2ts", "x");
  fs::create_symlink(dir / "outside.m2ts", root + "/2020/linked.m2ts");
  fs::create_symlink(dir / "gone.avi", root + "/gone.avi");
  fs::create_symlink(dir / "gone.txt", root + "/gone.txt");

  std::vector<std::string> progressFolders;
  TFolderScan scan;
  scan.OnProgress = [&](size_t, const std::string& Folder) {
    progressFolders.push_back(Folder.substr(root.size()));
    return true;
  };
  const TFolderScanResult r = scan.Scan(root + "/");
  std::vector<std::pair<std::string, std::string>> got;
  for (const TScannedFile& f : r.Files) got.push_back({f.Path.substr(root.size()), f.Folder});
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"/clip1.mp4", ""},
      {"/clip2.AVI", ""},
      {"/clip10.avi", ""},
      {"/9/nine.vob", "9"},
      {"/10/ten.ts", "10"},
      {"/2019/top.wmv", "2019"},
      {"/2019/Summer/a.MOV", "2019/Summer"},
      {"/2019/Summer/b.mkv", "2019/Summer"},
      {"/2019/Winter/w.mpg", "2019/Winter"},
      {"/2020/linked.m2ts", "2020"},
      {"/2020/same.mp4", "2020"},
      {"/2020/x.flv", "2020"},
  };
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(r.Cancelled);
  EXPECT_FALSE(r.RootUnreadable);
  ASSERT_EQ(r.Refused.size(), 1u);
  EXPECT_EQ(r.Refused[0].Path, root + "/gone.avi");
  EXPECT_EQ(r.Refused[0].Reason, "No such file or directory");
  // Both linked folders lead into the tree, whose files are all there.
  EXPECT_TRUE(r.LeftOut.empty());
  EXPECT_EQ(progressFolders,
            (std::vector<std::string>{"", "/9", "/10", "/2019", "/2019/Summer", "/2019/Winter", "/2020"}));
}

TEST(FolderScanTest, EveryNameOfAFileIsTakenAndNoLinkLeadsOutOfTheTree) {
  // clips/ holds 2 clips, each with 3 hard links and a link to it; weird/
  // links up to its parent, to the folder above that and to a folder beside.
  TTempDir dir;
  const std::string root = dir / "clips";
  fs::create_directories(root + "/weird");
  fs::create_directories(dir / "beside");
  WriteFile(dir / "beside/other.avi", "x");
  WriteFile(dir / "top.avi", "x");
  for (const char* clip : {"a", "b"}) {
    WriteFile(root + "/" + clip + ".avi", "x");
    for (int i = 1; i <= 3; ++i)
      fs::create_hard_link(root + "/" + clip + ".avi", root + "/weird/" + clip + std::to_string(i) + ".avi");
    fs::create_symlink(root + "/" + clip + ".avi", root + "/weird/" + clip + "-link.avi");
  }
  fs::create_directory_symlink("..", root + "/weird/loop");
  fs::create_directory_symlink(dir / "beside", root + "/weird/beside");
  fs::create_directory_symlink("../..", root + "/weird/above");

  const TFolderScanResult r = TFolderScan().Scan(root);
  std::vector<std::string> got;
  for (const TScannedFile& f : r.Files) got.push_back(f.Path.substr(root.size()));
  EXPECT_EQ(got, (std::vector<std::string>{"/a.avi", "/b.avi", "/weird/a-link.avi", "/weird/a1.avi", "/weird/a2.avi",
                                           "/weird/a3.avi", "/weird/b-link.avi", "/weird/b1.avi", "/weird/b2.avi",
                                           "/weird/b3.avi"}));
  EXPECT_TRUE(r.Refused.empty());
  // "loop" leads back to the root: its files are all found anyway. The two
  // links out of the tree are named, with where they lead.
  std::vector<std::pair<std::string, std::string>> leftOut;
  for (const TScanRefusal& f : r.LeftOut) leftOut.push_back({f.Path.substr(root.size()), f.Reason});
  std::sort(leftOut.begin(), leftOut.end());
  const std::string real = fs::canonical(dir.Path()).string();
  EXPECT_EQ(leftOut, (std::vector<std::pair<std::string, std::string>>{
                         {"/weird/above", "a link to " + real + ", outside the folder added: not followed"},
                         {"/weird/beside", "a link to " + real + "/beside, outside the folder added: not followed"}}));

  // Added from the folder below: the link up to clips/ leads out of it.
  const TFolderScanResult below = TFolderScan().Scan(root + "/weird");
  EXPECT_EQ(below.Files.size(), 8u);
  ASSERT_EQ(below.LeftOut.size(), 3u);
}

TEST(FolderScanTest, CancelAndUnreadableRoots) {
  TTempDir dir;
  for (const char* f : {"/a/1.avi", "/a/b/2.avi", "/a/c/3.avi"}) {
    fs::create_directories(fs::path(dir / f).parent_path());
    WriteFile(dir.Path() + f, "x");
  }
  TFolderScan scan;
  int calls = 0;
  scan.OnProgress = [&](size_t Found, const std::string&) {
    ++calls;
    return Found < 2;  // cancel once the second file is in
  };
  const TFolderScanResult r = scan.Scan(dir / "a");
  EXPECT_TRUE(r.Cancelled);
  EXPECT_EQ(calls, 2);
  ASSERT_EQ(r.Files.size(), 2u);
  EXPECT_EQ(r.Files[1].Path, dir / "a/b/2.avi");

  // A missing root, and a file given as the root.
  for (const std::string& root : {dir / "missing", dir / "a/1.avi"}) {
    const TFolderScanResult bad = TFolderScan().Scan(root);
    EXPECT_TRUE(bad.RootUnreadable) << root;
    EXPECT_TRUE(bad.Files.empty()) << root;
    ASSERT_EQ(bad.Refused.size(), 1u) << root;
    EXPECT_EQ(bad.Refused[0].Path, root);
  }
  EXPECT_EQ(TFolderScan().Scan(dir / "missing").Refused[0].Reason, "No such file or directory");
  EXPECT_EQ(TFolderScan().Scan(dir / "a/1.avi").Refused[0].Reason, "Not a directory");

  // Only the extensions asked for.
  const TFolderScanResult onlyMkv = TFolderScan({"mkv"}).Scan(dir / "a");
  EXPECT_TRUE(onlyMkv.Files.empty());
}

}  // namespace
