// Folder trees as a batch's input: natural name order folder by folder,
// hidden names and other extensions left out, links followed without loops,
// refusals with their reason, cancelling from the progress callback.
#include <gtest/gtest.h>
#include <unistd.h>

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
  // already listed, a link to a file outside, a broken link that looks like a
  // video and one that does not.
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
      {"/2020/x.flv", "2020"},
  };
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(r.Cancelled);
  EXPECT_FALSE(r.RootUnreadable);
  ASSERT_EQ(r.Refused.size(), 1u);
  EXPECT_EQ(r.Refused[0].Path, root + "/gone.avi");
  EXPECT_EQ(r.Refused[0].Reason, "No such file or directory");
  EXPECT_EQ(progressFolders,
            (std::vector<std::string>{"", "/9", "/10", "/2019", "/2019/Summer", "/2019/Winter", "/2020"}));
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
