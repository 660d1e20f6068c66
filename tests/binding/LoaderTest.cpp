// Loading the media libraries from a folder: success, the failure messages,
// the all-or-nothing rule and the version check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "MediaLibraries.h"
#include "TestSupport.h"

namespace {

TLibraryUnit* const AllUnits[] = {&AVUtilUnit,  &SwResampleUnit, &SwScaleUnit,
                                  &AVCodecUnit, &AVFormatUnit,   &AVFilterUnit};

class LoaderTest : public ::testing::Test {
protected:
  void TearDown() override { UnloadFFmpegLibraries(); }

  static void ExpectNothingLoaded() {
    EXPECT_FALSE(FFmpegLibrariesLoaded());
    for (TLibraryUnit* unit : AllUnits) {
      EXPECT_EQ(unit->Handle, nullptr) << unit->BaseName;
      EXPECT_FALSE(unit->Resolved) << unit->BaseName;
    }
    EXPECT_EQ(ff::avcodec_open2, nullptr);
    EXPECT_EQ(ff::av_malloc, nullptr);
  }

  // A folder holding links to the real libraries, except those listed in Skip;
  // Replace maps one file name to another file.
  static void LinkLibraries(const TTempDir& Dir, const std::string& Skip,
                            const std::string& ReplaceName = "", const std::string& ReplaceWith = "") {
    for (TLibraryUnit* unit : AllUnits) {
      const std::string name = unit->LibraryFileName();
      if (name == Skip) continue;
      const std::string target = name == ReplaceName ? ReplaceWith : LibAVFolder() + "/" + name;
      ASSERT_EQ(symlink(target.c_str(), (Dir / name).c_str()), 0) << name;
    }
  }
};

TEST_F(LoaderTest, LoadsEveryLibraryFromLibAVAndChecksTheirVersions) {
  ASSERT_TRUE(LoadFFmpegLibraries(LibAVFolder(), true)) << FFmpegLibrariesError();
  EXPECT_TRUE(FFmpegLibrariesLoaded());
  EXPECT_EQ(FFmpegLibrariesError(), "");
  EXPECT_TRUE(AVUtilLoaded() && SwResampleLoaded() && SwScaleLoaded() && AVCodecLoaded() &&
              AVFormatLoaded() && AVFilterLoaded());
  EXPECT_EQ(AVCodecUnit.LibraryFileName(), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
  EXPECT_EQ(static_cast<int>(ff::avcodec_version() >> 16), LIBAVCODEC_VERSION_MAJOR);
  EXPECT_EQ(static_cast<int>(ff::avformat_version() >> 16), LIBAVFORMAT_VERSION_MAJOR);
  EXPECT_EQ(CachedLogLevel.load(), ff::av_log_get_level());

  // A second load after success touches nothing.
  void* handle = AVCodecUnit.Handle;
  auto open = ff::avcodec_open2;
  EXPECT_TRUE(LoadFFmpegLibraries("/nonexistent", false));
  EXPECT_EQ(AVCodecUnit.Handle, handle);
  EXPECT_EQ(ff::avcodec_open2, open);

  // The libraries really work through the bound pointers.
  EXPECT_NE(ff::avcodec_find_encoder_by_name("mpeg4"), nullptr);
  EXPECT_NE(ff::av_guess_format("mp4", nullptr, nullptr), nullptr);

  auto infos = LoadedLibraryInfo(LibAVFolder());
  ASSERT_EQ(infos.size(), 6u);
  EXPECT_EQ(infos[0].FileName, "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR));

  UnloadFFmpegLibraries();
  ExpectNothingLoaded();
}

TEST_F(LoaderTest, PlainNamesAndTheSystemSearchBothWork) {
  ASSERT_TRUE(LoadFFmpegLibraries(LibAVFolder(), false)) << FFmpegLibrariesError();
  EXPECT_EQ(AVFilterUnit.LibraryFileName(), "libavfilter.so");
  UnloadFFmpegLibraries();
  // An empty folder asks the system search for the (versioned) names.
  ASSERT_TRUE(LoadFFmpegLibraries("", true)) << FFmpegLibrariesError();
  EXPECT_TRUE(AVFilterLoaded());
}

TEST_F(LoaderTest, MissingFolderNamesTheFirstLibraryAndLoadsNothing) {
  EXPECT_FALSE(LoadFFmpegLibraries("/nonexistent/LibAV", true));
  const std::string expected = "Load libraray libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR) + " error: ";
  EXPECT_EQ(FFmpegLibrariesError().rfind(expected, 0), 0u) << FFmpegLibrariesError();
  EXPECT_NE(FFmpegLibrariesError().find("No such file"), std::string::npos) << FFmpegLibrariesError();
  ExpectNothingLoaded();
}

TEST_F(LoaderTest, MissingLibraryFreesTheOthersAgain) {
  TTempDir dir;
  const std::string avformat = AVFormatUnit.LibraryFileName();
  LinkLibraries(dir, avformat);
  AVFilterUnit.LastError.clear();
  EXPECT_FALSE(LoadFFmpegLibraries(dir.Path(), true));
  const std::string error = FFmpegLibrariesError();
  EXPECT_EQ(error.rfind("Load libraray " + avformat + " error: ", 0), 0u) << error;
  EXPECT_NE(error.find(dir / avformat), std::string::npos) << error;
  ExpectNothingLoaded();
  // avfilter comes after avformat and was never tried.
  EXPECT_EQ(AVFilterUnit.LastError, "");

  // Once the file is there the same folder loads.
  ASSERT_EQ(symlink((LibAVFolder() + "/" + avformat).c_str(), (dir / avformat).c_str()), 0);
  EXPECT_TRUE(LoadFFmpegLibraries(dir.Path(), true)) << FFmpegLibrariesError();
}

TEST_F(LoaderTest, LibraryLackingAnExportFailsWithTheFunctionMessage) {
  TTempDir dir;
  const std::string name = VIDLOMAT_TEST_SWRESAMPLE_FILE;
  LinkLibraries(dir, "", name, std::string(VIDLOMAT_TEST_FAKE_LIBS) + "/missing/" + name);
  EXPECT_FALSE(LoadFFmpegLibraries(dir.Path(), true));
  const std::string error = FFmpegLibrariesError();
  EXPECT_EQ(error.rfind("Load function swr_convert@" + name + " error: ", 0), 0u) << error;
  EXPECT_NE(error.find("undefined symbol: swr_convert"), std::string::npos) << error;
  ExpectNothingLoaded();
}

TEST_F(LoaderTest, LibraryOfAnotherMajorVersionIsRefusedWithBothVersions) {
  TTempDir dir;
  const std::string name = VIDLOMAT_TEST_SWRESAMPLE_FILE;
  LinkLibraries(dir, "", name, std::string(VIDLOMAT_TEST_FAKE_LIBS) + "/wrongversion/" + name);
  EXPECT_FALSE(LoadFFmpegLibraries(dir.Path(), true));
  const std::string error = FFmpegLibrariesError();
  EXPECT_NE(error.find(name), std::string::npos) << error;
  EXPECT_NE(error.find("version " + std::to_string(VIDLOMAT_TEST_WRONG_MAJOR)), std::string::npos) << error;
  EXPECT_NE(error.find("version " + std::to_string(LIBSWRESAMPLE_VERSION_MAJOR)), std::string::npos) << error;
  ExpectNothingLoaded();
}

TEST_F(LoaderTest, UnitLoaderRetriesTheWholeListAfterAFailedResolve) {
  TTempDir dir;
  const std::string name = VIDLOMAT_TEST_SWRESAMPLE_FILE;
  ASSERT_EQ(symlink((std::string(VIDLOMAT_TEST_FAKE_LIBS) + "/missing/" + name).c_str(), (dir / name).c_str()), 0);
  std::string error;
  EXPECT_FALSE(LoadSwResample(error, dir.Path(), true));
  EXPECT_NE(SwResampleUnit.Handle, nullptr);  // the handle stays; the flag does not
  EXPECT_FALSE(SwResampleLoaded());
  EXPECT_EQ(error, SwResampleUnit.LastError);
  EXPECT_FALSE(LoadSwResample(error, dir.Path(), true));  // tries the list again, same result
  EXPECT_EQ(error.rfind("Load function swr_convert@", 0), 0u) << error;
  UnloadSwResample();
  EXPECT_EQ(SwResampleUnit.Handle, nullptr);
}

}  // namespace
