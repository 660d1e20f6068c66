// The batch settings: profiles, the Duration text, output naming and the
// per-file set-up.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <filesystem>

#include "BatchSettings.h"
#include "ComponentSupport.h"
#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

TEST(BatchSettingsTest, ProfilesReadTheirValuesFromTheText) {
  struct TCase {
    int Entry, Video, Audio, Channels;
  };
  const TCase cases[] = {{0, 128, 32, 0},  {1, 256, 48, 0},  {2, 384, 64, 0},  {3, 512, 80, 1},
                         {4, 640, 96, 1},  {5, 768, 112, 1}, {6, 900, 128, 1}, {7, 1500, 160, 1}};
  ASSERT_EQ(ProfileTexts().size(), 8u);
  for (const TCase& c : cases) {
    TBatchSettings s;
    s.FrameRate = "Auto";
    s.FrameSize = "640x360";
    ApplyProfile(s, c.Entry);
    EXPECT_EQ(s.VideoKbps, c.Video) << c.Entry;
    EXPECT_EQ(s.AudioKbps, c.Audio) << c.Entry;
    EXPECT_EQ(s.ChannelsEntry, c.Channels) << c.Entry;
    EXPECT_EQ(s.FrameRate, "Auto");
    EXPECT_EQ(s.FrameSize, "640x360");
  }
}

TEST(BatchSettingsTest, DurationText) {
  const std::pair<int64_t, const char*> cases[] = {{754000000, "00:12:34"},  {37230000000, "10:20:30"},
                                                   {59900000, "00:00:59"},   {3600000000, "01:00:00"},
                                                   {360000000000, "100:00:00"}, {0, "00:00:00"},
                                                   {AV_NOPTS_VALUE, ""},     {-5, ""}};
  for (auto [us, text] : cases) EXPECT_EQ(DurationText(us), text) << us;
}

TEST(BatchSettingsTest, NamesOfTheRow) {
  EXPECT_EQ(BaseNameOf("/v/clip.avi"), "clip");
  EXPECT_EQ(TypeOf("/v/clip.avi"), "AVI");
  EXPECT_EQ(BaseNameOf("/v.d/clip.tar.rmvb"), "clip.tar");
  EXPECT_EQ(TypeOf("/v.d/clip.tar.rmvb"), "RMVB");
  EXPECT_EQ(TypeOf("/v.d/noext"), "");
  EXPECT_EQ(FolderWithSlash("out"), "out/");
  EXPECT_EQ(FolderWithSlash("out/"), "out/");
}

TEST(BatchSettingsTest, FreeNumberedNameWhenNotOverwriting) {
  TTempDir dir;
  EXPECT_EQ(ChooseOutputName(dir.Path(), "clip", false), "clip");
  WriteFile(dir / "clip.mp4", "old");
  EXPECT_EQ(ChooseOutputName(dir.Path(), "clip", false), "clip(1)");
  EXPECT_EQ(ChooseOutputName(dir.Path(), "clip", true), "clip");
  WriteFile(dir / "clip(1).mp4", "old");
  EXPECT_EQ(ChooseOutputName(dir.Path() + "/", "clip", false), "clip(2)");
  // Names given to earlier files of the batch are taken even when overwriting.
  TNameReservations reserved;
  reserved.Reserve(dir / "clip.mp4");
  reserved.Reserve(dir / "clip(2).mp4");
  EXPECT_EQ(ChooseOutputName(dir.Path(), "clip", true, &reserved), "clip(3)");
  // The input itself is never written over.
  EXPECT_EQ(ChooseOutputName(dir.Path(), "clip", true, nullptr, dir / "clip.mp4"), "clip(2)");
}

TEST(BatchSettingsTest, OnAFolderThatFoldsCaseNamesThatDifferInCaseAreOneOutput) {
  // A/Clip.avi and B/clip.mkv into one folder, with Overwrite on: on a FAT
  // stick the second must not take the first one's output.
  TTempDir dir;
  for (const bool folds : {false, true}) {
    SCOPED_TRACE(folds ? "folding" : "not folding");
    std::vector<std::string> asked;
    TNameReservations reserved;
    reserved.FoldsCase = [&](const std::string& Folder) {
      asked.push_back(Folder);
      return folds && Folder == dir.Path();
    };
    reserved.Reserve(dir / ChooseOutputName(dir.Path(), "Clip", true, &reserved) + ".mp4");
    EXPECT_EQ(ChooseOutputName(dir.Path(), "clip", true, &reserved), folds ? "clip(1)" : "clip");
    EXPECT_EQ(ChooseOutputName(dir.Path(), "CLIP", true, &reserved), folds ? "CLIP(1)" : "CLIP");
    // Another folder tells names apart as before.
    EXPECT_EQ(ChooseOutputName(dir / "sub", "clip", true, &reserved), "clip");
    EXPECT_TRUE(reserved.IsReserved(dir / "Clip.mp4"));
    EXPECT_EQ(reserved.IsReserved(dir / "cLiP.mp4"), folds);
    EXPECT_FALSE(reserved.IsReserved(dir / "sub/Clip.mp4"));
    // Each folder is asked once.
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, (std::vector<std::string>{dir.Path(), dir / "sub"}));
  }
  // The test's own folder tells case apart, and telling it leaves nothing behind.
  EXPECT_FALSE(FolderFoldsCase(dir.Path()));
  EXPECT_FALSE(FolderFoldsCase(dir / "not/made/yet"));
  EXPECT_TRUE(FolderEntries(dir.Path()).empty());
}

TEST(BatchSettingsTest, NoOutputNameLeadsToAnInputOfTheBatch) {
  // out/ holds box.mp4; other/ holds box.avi, a hard link "hard.mp4" to
  // out/box.mp4 and a link "linked" to the folder out/; "alias" is a second
  // name of out/ through which the outputs may be named too. Later out/ also
  // holds box(1).mp4.
  TTempDir dir;
  const std::string out = dir / "out", other = dir / "other";
  std::filesystem::create_directories(out);
  std::filesystem::create_directories(other);
  WriteFile(out + "/box.mp4", "listed");
  WriteFile(other + "/box.avi", "listed too");
  std::filesystem::create_hard_link(out + "/box.mp4", other + "/hard.mp4");
  std::filesystem::create_directory_symlink(out, other + "/linked");
  std::filesystem::create_directory_symlink(out, dir / "alias");
  struct TCase {
    bool WithNumbered;  // out/box(1).mp4 exists
    std::vector<std::string> Sources;
    std::string Folder;
    bool Overwrite;
    const char* Expected;
  } cases[] = {
      {false, {other + "/box.avi"}, out, true, "box"},
      {false, {other + "/box.avi", out + "/box.mp4"}, out, true, "box(1)"},
      {false, {out + "/box.mp4", other + "/box.avi"}, out, false, "box(1)"},
      {false, {other + "/hard.mp4"}, out, true, "box(1)"},
      {false, {other + "/linked/box.mp4"}, out, true, "box(1)"},
      {false, {out + "/box.mp4"}, dir / "alias", true, "box(1)"},
      {false, {dir / "gone.mp4"}, out, true, "box"},
      {true, {out + "/box(1).mp4"}, out, true, "box"},
      {true, {out + "/box(1).mp4"}, out, false, "box(2)"},
      {true, {out + "/box.mp4", out + "/box(1).mp4"}, out, true, "box(2)"},
  };
  for (const TCase& c : cases) {
    if (c.WithNumbered) WriteFile(out + "/box(1).mp4", "listed as well");
    TNameReservations reserved;
    reserved.AddSources(c.Sources);
    std::string trace = c.Folder + (c.Overwrite ? " overwrite:" : ":");
    for (const std::string& s : c.Sources) trace += " " + s;
    EXPECT_EQ(ChooseOutputName(c.Folder, "box", c.Overwrite, &reserved), c.Expected) << trace;
  }
  EXPECT_EQ(ReadFile(out + "/box.mp4"), "listed");
}

TEST(BatchSettingsTest, OutputRecordOfTheWindow) {
  TBatchSettings s;
  TOutputOptions o;
  FillOutputOptions(s, "/o/clip.mp4", o);
  EXPECT_EQ(o.VideoCodec, "mpeg4");
  EXPECT_EQ(o.AudioCodec, "libfaac");
  EXPECT_EQ(o.AudioChannels, 2);
  EXPECT_EQ(o.AudioBitrate, 80000);
  EXPECT_EQ(o.VideoBitrate, 512000);
  EXPECT_EQ(o.BitrateTolerance, 1024000) << "two seconds of the video";
  EXPECT_EQ(o.FrameSize, "320x240");
  EXPECT_EQ(o.FrameRate, "30");
  EXPECT_EQ(o.AudioSampleRate, 44100);
  EXPECT_EQ(o.Timestamp, 0);
  EXPECT_TRUE(o.KeepSourceDates);
  EXPECT_EQ(o.FileExt, ".mp4");
  EXPECT_EQ(o.FileName, "/o/clip.mp4");
  s.FrameRate = "Auto";
  s.ChannelsEntry = 0;
  FillOutputOptions(s, "x.mp4", o);
  EXPECT_TRUE(o.FrameRate.empty());
  EXPECT_EQ(o.AudioChannels, 1);
  s.FrameRate = "23.97";
  FillOutputOptions(s, "x.mp4", o);
  EXPECT_EQ(o.FrameRate, "23.97");
  // Extra options that name one of these settings take its place; others leave them.
  s.OutputExtraOptions = "vcodec=libx264\nb=300k\n-ab=64k\nar=22050\nac=1\ns=640x360\nr=25\nacodec=aac\nqmin=3";
  FillOutputOptions(s, "x.mp4", o);
  EXPECT_TRUE(o.VideoCodec.empty() && o.AudioCodec.empty() && o.FrameSize.empty() && o.FrameRate.empty());
  EXPECT_EQ(std::vector<int>({o.VideoBitrate, o.BitrateTolerance, o.AudioBitrate, o.AudioSampleRate, o.AudioChannels}),
            std::vector<int>({-1, -1, -1, -1, -1}));
  // Ten seconds of the chosen 23.97 fps and the encoder's choices for such a
  // long group come first; the user's lines follow.
  EXPECT_EQ(o.ExtraOptions, "g=240\nqmin=1\ni_qfactor=-0.5\nsubcmp=2\nloudness=-16\n" + s.OutputExtraOptions);
  s.EvenVolume = false;
  FillOutputOptions(s, "x.mp4", o);
  EXPECT_EQ(o.ExtraOptions, "g=240\nqmin=1\ni_qfactor=-0.5\nsubcmp=2\n" + s.OutputExtraOptions);
  s.EvenVolume = true;
  s.OutputExtraOptions = "qmin=3\nbt=64k";
  FillOutputOptions(s, "x.mp4", o);
  EXPECT_EQ(o.VideoCodec, "mpeg4");
  EXPECT_EQ(o.VideoBitrate, 512000);
  EXPECT_EQ(o.BitrateTolerance, -1);
  EXPECT_EQ(o.AudioChannels, 1);
}

// The picture's area and bars for a shown aspect; extra options that shape
// the picture themselves keep the engine's own behaviour.
TEST(BatchSettingsTest, FitKeepsTheShownAspectInEvenSizes) {
  struct TCase {
    const char* Size;
    double Aspect;
    const char* Picture;
    int Top, Bottom, Left, Right;
  };
  const TCase cases[] = {
      {"320x240", 16.0 / 9, "320x180", 30, 30, 0, 0},   {"320x240", 9.0 / 16, "136x240", 0, 0, 92, 92},
      {"640x360", 9.0 / 16, "202x360", 0, 0, 218, 220}, {"320x240", 1.5, "320x214", 12, 14, 0, 0},
      {"320x240", 4.0 / 3, "320x240", 0, 0, 0, 0},      {"640x360", 16.0 / 9, "640x360", 0, 0, 0, 0},
      {"160x120", 2.39, "160x66", 26, 28, 0, 0},        {"320x240", 0.01, "2x240", 0, 0, 158, 160},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(std::string(k.Size) + " " + std::to_string(k.Aspect));
    TBatchSettings s;
    s.FrameSize = k.Size;
    TOutputOptions o;
    FillOutputOptions(s, "x.mp4", o, 0, k.Aspect);
    EXPECT_EQ(o.FrameSize, k.Picture);
    // Pads of 0 are not given.
    EXPECT_EQ(std::vector<int>({o.PadTop, o.PadBottom, o.PadLeft, o.PadRight}),
              std::vector<int>({k.Top ? k.Top : -1, k.Bottom ? k.Bottom : -1, k.Left ? k.Left : -1,
                                k.Right ? k.Right : -1}));
    EXPECT_EQ(o.AspectRatio, std::string(k.Size).replace(std::string(k.Size).find('x'), 1, ":"));
  }
  // Unknown aspect, or the user's own shape: nothing is fitted.
  for (const char* extra : {"", "aspect=16:9", "padtop=8", "croptop=8", "vfilters=null", "s=320x180"}) {
    TBatchSettings s;
    s.OutputExtraOptions = extra;
    TOutputOptions o;
    FillOutputOptions(s, "x.mp4", o, 0, *extra ? 16.0 / 9 : 0);
    EXPECT_TRUE(o.AspectRatio.empty()) << extra;
    EXPECT_EQ(o.PadTop, -1) << extra;
    EXPECT_EQ(o.FrameSize, *extra == 's' ? "" : "320x240") << extra;
  }
}

TEST(BatchSettingsTest, GroupOfPicturesCoversTheKeyFrameDistance) {
  struct TCase {
    const char* Rate;
    int Seconds;
    double InputRate;  // 0: unknown
    int Gop;
  };
  const TCase cases[] = {{"30", 10, 0, 300},     {"23.97", 10, 25, 240}, {"Auto", 10, 23.976, 240},
                         {"Auto", 2, 0, 50},     {"Auto", 10, 1000, 1200}, {"30", 0, 25, 0},
                         {"8", 600, 0, 4800},    {"30", 601, 0, 18000},    {"Auto", -4, 25, 0}};
  for (const TCase& k : cases) {
    TBatchSettings s;
    s.FrameRate = k.Rate;
    s.KeyFrameSeconds = k.Seconds;
    EXPECT_EQ(GroupOfPictures(s, k.InputRate), k.Gop) << k.Rate << " " << k.Seconds << " " << k.InputRate;
  }
  // The group goes first, so the settings' own lines may override it; without
  // a group the encoder keeps its own choices too.
  TBatchSettings s;
  s.EvenVolume = false;
  s.OutputExtraOptions = "g=7\nmbd=2";
  TOutputOptions o;
  FillOutputOptions(s, "x.mp4", o);
  EXPECT_EQ(o.ExtraOptions, "g=300\nqmin=1\ni_qfactor=-0.5\nsubcmp=2\ng=7\nmbd=2");
  s.KeyFrameSeconds = 0;
  FillOutputOptions(s, "x.mp4", o);
  EXPECT_EQ(o.ExtraOptions, "g=7\nmbd=2");
}

// With "Auto" the group follows the input's own rate: one second at 25 fps
// puts a key frame every 25 frames.
TEST(BatchSettingsTest, KeyFramesFollowTheInputRateWhenTheRateIsAuto) {
  TEventRecorder r;
  TQuilloConverter c;
  LoadThrough(c);
  TBatchSettings s;
  s.OutputFolder = FreshOutputFolder();
  s.FrameRate = "Auto";
  s.KeyFrameSeconds = 1;
  const TFileSetup f = SetUpFile(c, s, TestClip("avi_xvid", 3.0));
  ASSERT_TRUE(f.Ok) << f.Message;
  r.Attach(c, false);
  c.Start(1);
  ASSERT_TRUE(r.WaitAllDone());
  AVFormatContext* ic = nullptr;
  ASSERT_GE(ff::avformat_open_input(&ic, f.OutputPath.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(ff::avformat_find_stream_info(ic, nullptr), 0);
  const int video = ff::av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  std::vector<int> keys;
  int frame = 0;
  AVPacket* pkt = ff::av_packet_alloc();
  while (ff::av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == video) {
      if (pkt->flags & AV_PKT_FLAG_KEY) keys.push_back(frame);
      ++frame;
    }
    ff::av_packet_unref(pkt);
  }
  ff::av_packet_free(&pkt);
  ff::avformat_close_input(&ic);
  EXPECT_EQ(frame, 75);
  EXPECT_EQ(keys, (std::vector<int>{0, 25, 50}));
}

// Players of this kind ignore the pixel aspect: the picture is fitted into
// the chosen frame with square pixels, centred, with black bars (letterbox
// for a 16:9 source in 4:3, pillarbox for a portrait phone clip), its size
// even. Measured from the pixels: the bars are black, and the area between
// them shows the source picture at its own shape.
TEST(BatchSettingsTest, PicturesFitTheFrameWithSquarePixels) {
  struct TCase {
    int Turn;          // the display matrix: 90 shows the 640x360 picture upright (360x640)
    const char* Size;  // the chosen frame
    int AreaW, AreaH;  // the picture's area within it
  };
  const TCase cases[] = {{0, "320x240", 320, 180}, {0, "640x360", 640, 360}, {90, "320x240", 136, 240},
                         {90, "640x360", 202, 360}};
  constexpr int kW = 640, kH = 360;
  for (const TCase& k : cases) {
    TEventRecorder r;
    TQuilloConverter c;
    LoadThrough(c);
    SCOPED_TRACE(std::to_string(k.Turn) + " " + k.Size);
    TClipSpec clip = ClipSpecByName("mp4");
    clip.Name = "shape" + std::to_string(k.Turn);
    clip.Width = kW;
    clip.Height = kH;
    clip.DurationSeconds = 0.2;
    clip.VideoBitRate = 4000000;
    clip.DisplayMatrix = k.Turn != 0;
    clip.DisplayTurn = k.Turn;
    const std::string folder = FreshOutputFolder();
    const std::string in = folder + "/" + clip.Name + ".mp4";
    std::string error;
    ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
    TBatchSettings s;
    s.OutputFolder = folder;
    s.FrameSize = k.Size;
    s.VideoKbps = kMaxVideoKbps;
    const TFileSetup f = SetUpFile(c, s, in);
    ASSERT_TRUE(f.Ok) << f.Message;
    r.Attach(c, false);
    c.Start(1);
    ASSERT_TRUE(r.WaitAllDone());
    const auto frames = DecodeVideo(f.OutputPath, 1);
    ASSERT_EQ(frames.size(), 1u);
    const AVFrame* out = frames[0].get();
    const int frameW = out->width, frameH = out->height;
    EXPECT_EQ(std::to_string(frameW) + "x" + std::to_string(frameH), k.Size);
    EXPECT_EQ(out->sample_aspect_ratio.num, out->sample_aspect_ratio.den);
    const int left = ((frameW - k.AreaW) / 2) & ~1, top = ((frameH - k.AreaH) / 2) & ~1;
    auto luma = [&](int X, int Y) { return out->data[0][static_cast<ptrdiff_t>(Y) * out->linesize[0] + X]; };
    // The bars: black, every pixel (up to the encoder's ringing where a
    // block straddles the picture's edge).
    int brightest = 0, bars = 0;
    for (int y = 0; y < frameH; ++y)
      for (int x = 0; x < frameW; ++x)
        if (x < left || x >= left + k.AreaW || y < top || y >= top + k.AreaH) {
          brightest = std::max<int>(brightest, luma(x, y));
          ++bars;
        }
    EXPECT_EQ(bars, frameW * frameH - k.AreaW * k.AreaH);
    EXPECT_LE(brightest, 24);
    // The area: the shown picture (turned as its matrix says), scaled alike
    // both ways.
    const int shownW = k.Turn ? kH : kW, shownH = k.Turn ? kW : kH;
    double difference = 0;
    int count = 0;
    for (int y = 2; y < k.AreaH - 2; y += 3)
      for (int x = 2; x < k.AreaW - 2; x += 3, ++count) {
        const int u = x * shownW / k.AreaW, v = y * shownH / k.AreaH;
        // Turned 90 degrees clockwise: shown (u, v) is stored (v, H - 1 - u).
        const int sx = k.Turn ? v : u, sy = k.Turn ? kH - 1 - u : v;
        difference += std::abs(luma(left + x, top + y) - TestPictureLuma(kW, kH, 0, sx, sy));
      }
    EXPECT_LT(difference / count, 6.0);
  }
}

TEST(BatchSettingsTest, PerFileSetUp) {
  TQuilloConverter c;
  LoadThrough(c);
  TBatchSettings s;
  s.OutputFolder = FreshOutputFolder();
  s.Overwrite = false;
  TNameReservations reserved;
  const std::string clip = TestClip("avi_xvid");
  TFileSetup a = SetUpFile(c, s, clip, &reserved);
  ASSERT_TRUE(a.Ok) << a.Message;
  EXPECT_EQ(a.Base, BaseNameOf(clip));
  EXPECT_EQ(a.Type, "AVI");
  EXPECT_EQ(a.Duration, "00:00:01");
  EXPECT_EQ(a.OutputName, a.Base);
  EXPECT_EQ(a.OutputPath, s.OutputFolder + "/" + a.Base + ".mp4");
  TFileSetup b = SetUpFile(c, s, clip, &reserved);
  ASSERT_TRUE(b.Ok);
  EXPECT_EQ(b.OutputName, a.Base + "(1)");
  EXPECT_EQ(c.TaskCount(), 2);
  // Set-up writes nothing (the outputs are made when their tasks run), and
  // the naming looks at the final names only: outside this batch the first
  // name is still free.
  EXPECT_TRUE(FolderEntries(s.OutputFolder).empty());
  EXPECT_EQ(ChooseOutputName(s.OutputFolder, a.Base, false), a.Base);

  const std::string broken = s.OutputFolder + "/broken.avi";
  WriteFile(broken, "this is no video");
  TFileSetup bad = SetUpFile(c, s, broken, &reserved);
  EXPECT_FALSE(bad.Ok);
  EXPECT_EQ(bad.Message, "Convertion of file \"" + broken + "\" is not supported.");
  EXPECT_EQ(c.TaskCount(), 2);

  s.OutputFolder = "/proc/no-such-folder";
  TFileSetup noFolder = SetUpFile(c, s, clip, &reserved);
  EXPECT_FALSE(noFolder.Ok);
  EXPECT_EQ(noFolder.Message.rfind("Cannot convert: ", 0), 0u) << noFolder.Message;
  EXPECT_GT(noFolder.Message.size(), std::string("Cannot convert: ").size());
  EXPECT_EQ(c.TaskCount(), 2);
  c.ClearTasks();
  EXPECT_EQ(FolderEntries(FolderWithSlash(a.OutputPath.substr(0, a.OutputPath.rfind('/')))),
            std::vector<std::string>{"broken.avi"});
}

TEST(BatchSettingsTest, AnInputThatCannotBeReadSaysWhyInWords) {
  TTempDir dir;
  const std::string clip = dir / "clip.avi";
  std::filesystem::copy_file(TestClip("avi_xvid"), clip);
  std::filesystem::create_directories(dir / "folder.avi");
  WriteFile(dir / "notes.txt", "text");
  const struct {
    std::string Path, Problem;
  } cases[] = {
      {clip, ""},
      {dir / "gone.avi", "not found"},
      {dir / "notes.txt/clip.avi", "not found"},
      {dir / "folder.avi", "is a folder"},
      {"http://example.invalid/clip.avi", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(InputFileProblem(c.Path), c.Problem) << c.Path;
  {
    TUnreadableFile locked(clip);
    EXPECT_EQ(InputFileProblem(clip), "permission denied");
  }

  // The set-up's refusal says it; a file the libraries cannot read keeps
  // their wording (PerFileSetUp).
  TQuilloConverter c;
  LoadThrough(c);
  TBatchSettings s;
  s.OutputFolder = dir.Path();
  for (const char* name : {"gone.avi", "folder.avi"}) {
    const TFileSetup f = SetUpFile(c, s, dir / name);
    EXPECT_FALSE(f.Ok);
    EXPECT_EQ(f.Message, "Cannot convert \"" + (dir / name) + "\": " + InputFileProblem(dir / name) + ".");
  }
  EXPECT_EQ(c.TaskCount(), 0);
}

TEST(BatchSettingsTest, AnOutputFolderThatCannotBeUsedSaysWhyInWords) {
  TTempDir dir;
  const std::string media = dir / "media";
  std::filesystem::create_directories(media + "/user/OTHER");
  std::filesystem::create_directories(dir / "mnt/data");
  WriteFile(dir / "mnt/data/film.avi", "a file");
  WriteFile(media + "/user/OTHER/old.mp4", "a plugged-in drive's file");
  std::filesystem::create_directories(dir / "locked");
  WriteFile(dir / "file", "a file");
  const std::vector<std::string> bases = {media, dir / "mnt"};
  const struct {
    std::string Folder, Problem;
  } cases[] = {
      {dir.Path(), ""},
      {dir / "new/deeper/", ""},
      {dir / "file", dir / "file is not a folder"},
      {dir / "file/out/", dir / "file is not a folder"},
      // A drive that is not plugged in: only folders (mount points) where
      // its folder would be.
      {media + "/STICK/videos", "not mounted"},
      {media + "/user/STICK/videos/", "not mounted"},
      {dir / "mnt/empty", "not mounted"},
      // A folder of the system disk below a mount folder is made as usual.
      {dir / "mnt/data/new", ""},
      {media + "/user/OTHER/new", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(OutputFolderProblem(c.Folder, bases), c.Problem) << c.Folder;
  EXPECT_EQ(OutputFolderProblem(media + "/STICK", {}), "") << "not below a mount folder";

  TReadOnlyFolder locked(dir / "locked");
  if (!locked.Ok()) GTEST_SKIP() << "cannot make a folder read-only here";
  EXPECT_EQ(OutputFolderProblem(dir / "locked", bases), "permission denied");
  EXPECT_EQ(OutputFolderProblem(dir / "locked/new", bases), "permission denied");

  // A file is checked as an input only while the folder cannot take it.
  TQuilloConverter c;
  LoadThrough(c);
  TBatchSettings s;
  s.OutputFolder = dir / "file/out";
  const TFileSetup f = SetUpFile(c, s, TestClip("avi_xvid"), nullptr, "", false);
  EXPECT_TRUE(f.Ok) << f.Message;
  EXPECT_EQ(f.OutputPath, dir / "file/out/" + f.Base + ".mp4");
  EXPECT_FALSE(SetUpFile(c, s, TestClip("avi_xvid")).Ok);
  EXPECT_EQ(c.TaskCount(), 1);
}

TEST(BatchSettingsTest, AnOutputIsShorterWhenMoreThanTwoSecondsAndATenthAreMissing) {
  const struct {
    int64_t OutputMs, HeaderMs;
    bool Shorter;
    const char* Text;
  } cases[] = {
      {400, 10000, true, "shorter: 0:00:00 of 0:00:10"},
      {7999, 10000, true, "shorter: 0:00:07 of 0:00:10"},
      {8000, 10000, false, "shorter: 0:00:08 of 0:00:10"},   // 2 s missing: not more
      {0, 2000, false, "shorter: 0:00:00 of 0:00:02"},       // all of it, but only 2 s
      {90000, 100000, false, "shorter: 0:01:30 of 0:01:40"}, // a tenth: not more
      {89000, 100000, true, "shorter: 0:01:29 of 0:01:40"},
      {12000, 10000, false, "shorter: 0:00:12 of 0:00:10"},  // longer
      {0, -1, false, "shorter: 0:00:00 of 0:00:00"},         // no header length
      {3599000, 7322000, true, "shorter: 0:59:59 of 2:02:02"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClearlyShorter(c.OutputMs, c.HeaderMs), c.Shorter) << c.OutputMs << " of " << c.HeaderMs;
    EXPECT_EQ(ShorterText(c.OutputMs, c.HeaderMs), c.Text);
  }
  EXPECT_EQ(MediaDurationUs("/no/such/file.mp4"), -1);
  EXPECT_NEAR(static_cast<double>(MediaDurationUs(TestClip("avi_xvid", 3.0))), 3e6, 2e5);
}

}  // namespace
