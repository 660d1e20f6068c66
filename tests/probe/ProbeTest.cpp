// The media probe: stream counts and first indexes, the failures of Open, the
// attached context that the probe never closes, the file information and the
// durations of every kind of test clip.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MediaLibraries.h"
#include "MediaMaker.h"
#include "OpenErrors.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"
#include "TestSupport.h"

namespace {

class ProbeTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    SetLibraryLogLevel(AV_LOG_FATAL);
  }

  std::string Make(const std::string& Preset) { return Make(ClipSpecByName(Preset)); }
  std::string Make(const TClipSpec& ClipSpec) {
    const std::string path = FDir / (ClipSpec.Name + ClipSpec.Extension);
    std::string error;
    EXPECT_TRUE(MakeClip(ClipSpec, path, &error)) << error;
    return path;
  }

  static void ExpectClosed(const TAVProbe& P) {
    EXPECT_EQ(P.FormatContext(), nullptr);
    EXPECT_FALSE(P.OwnsContext());
    EXPECT_EQ(P.FormatName(), "");
    for (int32_t v : {P.StreamCount(), P.ProgramCount(), P.AudioStreamCount(), P.VideoStreamCount(),
                      P.SubtitleStreamCount(), P.FirstAudioStream(), P.FirstVideoStream(), P.FirstSubtitleStream()})
      EXPECT_EQ(v, -1);
  }

  TTempDir FDir;
};

TEST_F(ProbeTest, ANewProbeIsClosed) {
  TAVProbe probe;
  ExpectClosed(probe);
  EXPECT_EQ(probe.LastError(), "");
}

// Streams of each kind are counted and the first of each kind found; streams
// of other kinds (the DVD navigation stream) count only in the total.
TEST_F(ProbeTest, CountsStreamsAndFindsTheFirstOfEachKind) {
  struct TCase {
    const char* Preset;
    int Streams, Video, Audio, FirstVideo, FirstAudio;
  };
  const TCase cases[] = {
      {"mkv_two_audio", 3, 1, 2, 0, 1},
      {"mpeg2_dvd_ac3_51", 3, 1, 1, 1, 2},
      {"swf", 2, 1, 1, 1, 0},
      {"mp4_audio_only_8k", 1, 0, 1, -1, 0},
      {"avi_video_only", 1, 1, 0, 0, -1},
  };
  TAVProbe probe;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Preset);
    ASSERT_TRUE(probe.Open(Make(c.Preset))) << probe.LastError();
    EXPECT_TRUE(probe.OwnsContext());
    EXPECT_EQ(probe.StreamCount(), c.Streams);
    EXPECT_EQ(probe.ProgramCount(), 0);
    EXPECT_EQ(probe.VideoStreamCount(), c.Video);
    EXPECT_EQ(probe.AudioStreamCount(), c.Audio);
    EXPECT_EQ(probe.SubtitleStreamCount(), 0);
    EXPECT_EQ(probe.FirstVideoStream(), c.FirstVideo);
    EXPECT_EQ(probe.FirstAudioStream(), c.FirstAudio);
    EXPECT_EQ(probe.FirstSubtitleStream(), -1);
  }
  probe.Close();
  ExpectClosed(probe);
}

// Writes Size pseudo-random bytes (a fixed sequence, so runs repeat).
std::string RandomBytes(size_t Size) {
  std::string s(Size, '\0');
  uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string Truncated(const std::string& Path, double Fraction, const std::string& NewPath) {
  std::filesystem::copy_file(Path, NewPath);
  std::filesystem::resize_file(NewPath, static_cast<uintmax_t>(std::filesystem::file_size(Path) * Fraction));
  return NewPath;
}

// Every failed Open leaves the probe closed with the reason in LastError, and
// replaces what an earlier Open had open.
TEST_F(ProbeTest, OpenFailuresGiveTheReasonAndLeaveTheProbeClosed) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "This is a plain text file and no video at all.\n";
  WriteFile(FDir / "empty.avi", "");
  WriteFile(FDir / "random.avi", RandomBytes(100000));
  WriteFile(FDir / "text.mpg", text);
  const std::string mp4 = Make("mp4");
  const std::string mkv = Make("mkv");
  const std::string good = Make("avi_xvid");
  const std::string missing = FDir / "no such file.avi";
  const std::string unknownFormat = FDir / "never looked at.avi";
  const std::string io = "I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";

  struct TCase {
    std::string What, File, Format, Error;
  };
  const std::vector<TCase> cases = {
      {"missing file", missing, "", missing + ": no such file or directory"},
      {"unknown forced format", unknownFormat, "no_such_format", "Unknown input format: no_such_format"},
      {"empty file", FDir / "empty.avi", "", FDir / "empty.avi: Unknown format"},
      {"random bytes", FDir / "random.avi", "", FDir / "random.avi: Unknown format"},
      {"text named .mpg", FDir / "text.mpg", "", FDir / "text.mpg: Unknown format"},
      {"mp4 without its index", Truncated(mp4, 0.5, FDir / "half.mp4"), "", FDir / "half.mp4: Unknown format"},
      {"mkv cut inside its headers", Truncated(mkv, 0.02, FDir / "cut.mkv"), "", FDir / "cut.mkv: " + io},
      {"forced format that finds no streams", good, "mpegts", good + ": could not find codec parameters"},
  };
  TAVProbe probe;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    ASSERT_TRUE(probe.Open(good)) << probe.LastError();
    EXPECT_FALSE(probe.Open(c.File, c.Format));
    EXPECT_EQ(probe.LastError(), c.Error);
    ExpectClosed(probe);
    // Close keeps the reason.
    probe.Close();
    EXPECT_EQ(probe.LastError(), c.Error);
  }
  EXPECT_FALSE(std::filesystem::exists(unknownFormat));
}

TEST_F(ProbeTest, AForcedFormatIsRememberedUntilClose) {
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(Make("avi_xvid"), "avi")) << probe.LastError();
  EXPECT_EQ(probe.FormatName(), "avi");
  EXPECT_EQ(probe.StreamCount(), 2);
  probe.Close();
  EXPECT_EQ(probe.FormatName(), "");
}

// A truncated file whose headers are whole still opens.
TEST_F(ProbeTest, AFileCutAfterItsHeadersStillOpens) {
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(Truncated(Make("mpeg1_ps"), 0.5, FDir / "half.mpeg"))) << probe.LastError();
  EXPECT_EQ(probe.VideoStreamCount(), 1);
  TAVFileInfo info;
  probe.GetFileInfo(info);
  EXPECT_GT(info.Duration, 0);
  EXPECT_LT(info.Duration, 1000000);
}

struct TInputCloser {
  void operator()(AVFormatContext* C) const { ff::avformat_close_input(&C); }
};

// An attached context stays its owner's: Close, a later Open and the
// destructor let go of it without closing it.
TEST_F(ProbeTest, AnAttachedContextIsNeverClosedByTheProbe) {
  const std::string path = Make("mkv_two_audio");
  AVFormatContext* raw = nullptr;
  ASSERT_GE(ff::avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
  std::unique_ptr<AVFormatContext, TInputCloser> owner(raw);
  ASSERT_GE(ff::avformat_find_stream_info(raw, nullptr), 0);

  AVPacket* packet = ff::av_packet_alloc();
  auto readOne = [&] {
    const int r = ff::av_read_frame(raw, packet);
    ff::av_packet_unref(packet);
    return r;
  };
  {
    TAVProbe probe;
    probe.Attach(raw);
    EXPECT_EQ(probe.FormatContext(), raw);
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.StreamCount(), 3);
    EXPECT_EQ(probe.FirstAudioStream(), 1);
    probe.Close();
    ExpectClosed(probe);
    EXPECT_GE(readOne(), 0);

    probe.Attach(raw);
    ASSERT_TRUE(probe.Open(Make("wmv"))) << probe.LastError();
    EXPECT_TRUE(probe.OwnsContext());
    EXPECT_GE(readOne(), 0);

    probe.Attach(raw);
  }  // destroyed while attached
  EXPECT_GE(readOne(), 0);
  ff::av_packet_free(&packet);
}

TEST_F(ProbeTest, AttachingNothingLeavesTheProbeClosed) {
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(Make("mp4")));
  probe.Attach(nullptr);
  ExpectClosed(probe);
}

std::vector<std::string> LoggedLines;
void CaptureLog(void* Avcl, int Level, const char* Fmt, va_list Args) {
  char line[1024];
  vsnprintf(line, sizeof line, Fmt, Args);
  LoggedLines.push_back(std::to_string(Level) + (Avcl ? " ctx " : " ") + line);
}

TEST_F(ProbeTest, FileInfoOfAClosedProbeIsEmptyAndLogged) {
  TAVProbe probe;
  TAVFileInfo info;
  std::memset(&info, 'x', sizeof info);
  LoggedLines.clear();
  ff::av_log_set_callback(CaptureLog);
  probe.GetFileInfo(info);
  ff::av_log_set_callback(ff::av_log_default_callback);

  EXPECT_EQ(LoggedLines, std::vector<std::string>{std::to_string(AV_LOG_INFO) + " file not loaded.\n"});
  EXPECT_EQ(info.StartTime, -1);
  EXPECT_EQ(info.Duration, -1);
  EXPECT_EQ(info.BitRate, -1);
  EXPECT_EQ(info.Timestamp, -1);
  EXPECT_EQ(info.Year, -1);
  EXPECT_EQ(info.Track, -1);
  for (const char* block : {info.Title, info.Author, info.Copyright, info.Comment, info.Album})
    EXPECT_EQ(std::string(block, 512), std::string(512, '\0'));
  EXPECT_EQ(std::string(info.Genre, 32), std::string(32, '\0'));
}

TEST_F(ProbeTest, FileInfoCarriesTheContainerTags) {
  TClipSpec clipSpec = ClipSpecByName("mkv");
  const std::string longTitle = std::string(509, 'T') + "\xC3\xA9\xC3\xA9";  // 513 bytes; é is 2 bytes
  clipSpec.Tags = {{"title", longTitle},
               {"artist", "Ann Artist"},
               {"copyright", "(c) 2009 Nobody"},
               {"comment", "made for the probe test"},
               {"album", "Test Album"},
               {"date", "2009-05-01"},
               {"track", "3/12"},
               {"genre", "An Extremely Long Genre Name Over 32 Bytes"},
               {"creation_time", "2009-05-01T12:00:00.000000Z"}};
  TAVProbe probe;
  ASSERT_TRUE(probe.Open(Make(clipSpec))) << probe.LastError();
  TAVFileInfo info;
  probe.GetFileInfo(info);
  // Cut before the character that would not fit whole.
  EXPECT_EQ(std::string(info.Title), longTitle.substr(0, 511));
  EXPECT_EQ(std::string(info.Author), "Ann Artist");
  EXPECT_EQ(std::string(info.Copyright), "(c) 2009 Nobody");
  EXPECT_EQ(std::string(info.Comment), "made for the probe test");
  EXPECT_EQ(std::string(info.Album), "Test Album");
  EXPECT_EQ(info.Year, 2009);
  EXPECT_EQ(info.Track, 3);
  EXPECT_EQ(std::string(info.Genre), "An Extremely Long Genre Name Ov");
  EXPECT_EQ(info.Timestamp, 1241179200LL);
  EXPECT_GT(info.BitRate, 0);

  // Without tags the numbers are 0 and the texts empty.
  ASSERT_TRUE(probe.Open(Make("mp4")));
  probe.GetFileInfo(info);
  EXPECT_EQ(info.Year, 0);
  EXPECT_EQ(info.Track, 0);
  EXPECT_EQ(info.Timestamp, 0);
  EXPECT_EQ(std::string(info.Title), "");
}

// The probe's duration and start time are the container's, unknown ones
// included, for every kind of test clip.
TEST_F(ProbeTest, DurationOfEveryPresetMatchesTheClip) {
  for (const TClipSpec& clipSpec : StandardClipSpecs()) {
    SCOPED_TRACE(clipSpec.Name);
    TAVProbe probe;
    ASSERT_TRUE(probe.Open(Make(clipSpec))) << probe.LastError();
    TAVFileInfo info;
    probe.GetFileInfo(info);
    const int64_t expected = ClipExpectedDurationUs(clipSpec);
    if (expected == AV_NOPTS_VALUE) {
      EXPECT_EQ(info.Duration, AV_NOPTS_VALUE);
    } else {
      EXPECT_NEAR(static_cast<double>(info.Duration), static_cast<double>(expected),
                  static_cast<double>(ClipDurationToleranceUs(clipSpec)));
    }
    EXPECT_EQ(info.StartTime, probe.FormatContext()->start_time);
    EXPECT_EQ(probe.VideoStreamCount(), clipSpec.VideoCodec.empty() ? 0 : 1);
    EXPECT_EQ(probe.AudioStreamCount(), clipSpec.AudioCodec.empty() ? 0 : clipSpec.AudioStreams);
  }
}

// Libraries that are not loaded are named in a fixed order; Open raises the
// error and leaves the probe as it was.
TEST(ProbeLibraries, CheckLibrariesNamesTheFirstMissingLibrary) {
  UnloadFFmpegLibraries();
  const std::string folder = LibAVFolder();
  std::string err;
  struct TCase {
    std::vector<bool (*)(std::string&)> Load;
    const char* Message;
  };
  auto util = [](std::string& E) { return LoadAVUtil(E, LibAVFolder(), true); };
  auto resample = [](std::string& E) { return LoadSwResample(E, LibAVFolder(), true); };
  auto scale = [](std::string& E) { return LoadSwScale(E, LibAVFolder(), true); };
  auto codec = [](std::string& E) { return LoadAVCodec(E, LibAVFolder(), true, true); };
  auto format = [](std::string& E) { return LoadAVFormat(E, LibAVFolder(), true, true); };
  const TCase cases[] = {
      {{}, "LibAVCodec not loaded."},
      {{util, resample, scale, codec}, "LibAVFormat not loaded."},
      {{resample, scale, codec, format}, "LibAVUtil not loaded."},
      {{util, resample, codec, format}, "LibSwScale not loaded."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    for (auto load : c.Load) ASSERT_TRUE(load(err)) << err;
    TAVProbe probe;
    try {
      probe.CheckLibraries();
      ADD_FAILURE() << "no exception";
    } catch (const EAVProbeError& e) {
      EXPECT_STREQ(e.what(), c.Message);
    }
    EXPECT_THROW(probe.Open("/nonexistent.avi"), EAVProbeError);
    EXPECT_THROW(probe.Attach(nullptr), EAVProbeError);
    EXPECT_EQ(probe.LastError(), "");
    UnloadFFmpegLibraries();
  }
  ASSERT_TRUE(LoadFFmpegLibraries(folder, true)) << FFmpegLibrariesError();
  TAVProbe probe;
  EXPECT_NO_THROW(probe.CheckLibraries());
}

}  // namespace
