// Subtitles burned into the pictures: which subtitle file or embedded track a
// file gets, and the text read back as bright pixels in the lower third of a
// flat dark output picture, inside the picture and never on its bars.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "BatchSettings.h"
#include "ComponentSupport.h"
#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "PictureSubtitles.h"
#include "SubtitleScript.h"
#include "Subtitles.h"
#include "TestSupport.h"

namespace {

TEST(SubtitleChoiceTest, TheFileBesideTheVideoInTheUsersLanguageFirst) {
  struct TCase {
    std::vector<std::string> Files;  // beside film.mkv
    std::vector<std::string> Languages;
    std::string Want;
  };
  const TCase cases[] = {
      {{"film.srt"}, {"deu"}, "film.srt"},
      {{"film.SRT"}, {}, "film.SRT"},
      {{"film.vtt", "film.ass"}, {}, "film.ass"},
      {{"film.srt", "film.de.srt", "film.en.srt"}, {"deu"}, "film.de.srt"},
      {{"film.srt", "film.ger.srt", "film.en.srt"}, {"fra", "deu"}, "film.ger.srt"},
      {{"film.srt", "film.en.srt"}, {"deu"}, "film.srt"},
      {{"film.fr.srt", "film.en.srt"}, {"deu"}, "film.en.srt"},
      {{"film.de.ass", "film.de.srt"}, {"deu"}, "film.de.srt"},
      // Other names, other kinds, and a folder of the name are not subtitles.
      {{"film2.srt", "film.txt", "other.srt", "film.part.one.srt", "film.sub"}, {"deu"}, ""},
      {{"filmsrt", ".srt", "film.srt.bak"}, {}, ""},
  };
  for (const TCase& k : cases) {
    TTempDir dir;
    for (const std::string& f : k.Files) WriteFile(dir / f, "1\n00:00:00,000 --> 00:00:01,000\nHello\n");
    std::filesystem::create_directory(dir / "film.de.vtt");
    EXPECT_EQ(SubtitleFileBeside(dir / "film.mkv", k.Languages), k.Want.empty() ? "" : dir / k.Want)
        << k.Files[0] << " ...";
  }
}

TEST(SubtitleChoiceTest, AnEmbeddedTrackWhenForcedOrInTheUsersLanguageWhenAsked) {
  EnsureLibrariesLoaded();
  using T = TClipSpec::TSubtitleTrack;
  struct TCase {
    std::vector<T> Tracks;
    bool ByLanguage;
    int Want;
  };
  const TCase cases[] = {
      {{{"eng", false, "a"}, {"ger", true, "b"}}, false, 1},
      {{{"eng", true, "a"}, {"ger", false, "b"}}, true, 0},
      {{{"eng", false, "a"}, {"ger", false, "b"}}, false, -1},
      {{{"eng", false, "a"}, {"ger", false, "b"}}, true, 1},
      {{{"eng", false, "a"}, {"fre", false, "b"}}, true, -1},
      {{}, true, -1},
      // Tracks of pictures count as text tracks do.
      {{{"eng", false, "a"}, {"ger", true, "", TClipSpec::TPicture::Dvd}}, false, 1},
      {{{"eng", false, "", TClipSpec::TPicture::Dvd}, {"ger", false, "", TClipSpec::TPicture::Pgs}}, true, 1},
  };
  TTempDir dir;
  int row = 0;
  for (const TCase& k : cases) {
    TClipSpec clip = ClipSpecByName("mkv");
    clip.DurationSeconds = 0.2;
    clip.SubtitleTracks = k.Tracks;
    const std::string path = dir / ("tracks" + std::to_string(row) + ".mkv");
    std::string error;
    ASSERT_TRUE(MakeClip(clip, path, &error)) << error;
    AVFormatContext* ic = nullptr;
    ASSERT_GE(ff::avformat_open_input(&ic, path.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(ff::avformat_find_stream_info(ic, nullptr), 0);
    EXPECT_EQ(SubtitleTrackToBurn(ic, {"deu"}, k.ByLanguage), k.Want) << "case " << row;
    ff::avformat_close_input(&ic);
    ++row;
  }
}

// What the burned-in text leaves in an output picture.
struct TTextMarks {
  int InLowerThird = 0;  // bright pixels in the lower third of the picture area
  int OnBars = 0;        // bright pixels on the black bars
  int Elsewhere = 0;     // bright pixels above the lower third
  int Rows = 0;          // from the first to the last row with a bright pixel
};

TTextMarks MarksOf(const AVFrame* F, int PadTop, int PadBottom) {
  TTextMarks m;
  const int top = PadTop, bottom = F->height - PadBottom;
  const int lowerThird = top + (bottom - top) * 2 / 3;
  int first = -1, last = -1;
  for (int y = 0; y < F->height; ++y)
    for (int x = 0; x < F->width; ++x) {
      if (F->data[0][static_cast<ptrdiff_t>(y) * F->linesize[0] + x] < 150) continue;
      if (y < top || y >= bottom)
        ++m.OnBars;
      else if (y >= lowerThird)
        ++m.InLowerThird;
      else
        ++m.Elsewhere;
      if (first < 0) first = y;
      last = y;
    }
  m.Rows = first < 0 ? 0 : last - first + 1;
  return m;
}

// Sets In up with Settings and converts it through a component of its own;
// every task must finish. Warned: the Log had a line starting with Warning.
struct TConverted {
  TFileSetup Setup;
  bool Done = false;
  bool Warned = false;
};

TConverted ConvertOne(const TBatchSettings& Settings, const std::string& In, const std::string& Warning = "") {
  TQuilloConverter c;
  LoadThrough(c);
  TEventRecorder r;
  r.Attach(c, true);
  TConverted out{SetUpFile(c, Settings, In)};
  if (!out.Setup.Ok) return out;
  // What the set-up leaves out is said once, before the conversion.
  out.Warned = !Warning.empty() && out.Setup.Warning.find(Warning) == 0;
  c.Start(1);
  out.Done = r.WaitAllDone();
  for (const TEventRecord& e : r.Events()) {
    if (e.Kind == TEventRecord::Terminate && e.Index >= 0) {
      EXPECT_TRUE(e.Finished) << e.Message;
    }
    if (!Warning.empty() && e.Kind == TEventRecord::Log && e.Message.find(Warning) == 0) {
      EXPECT_FALSE(out.Warned) << "said twice: " << e.Message;
      out.Warned = true;
    }
  }
  return out;
}

// A flat dark 16:9 film (letterboxed into 320x240: 30 lines of bars above and
// below) with subtitles beside it or inside it: with subtitles burned in, the
// text shows in the lower third, at least 16 lines high, never on the bars;
// without, the picture stays dark. A broken subtitle file is said once, at
// the set-up, and the film is converted without it.
TEST(SubtitleBurnTest, TheTextShowsInTheLowerThirdOfThePicture) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec flat = ClipSpecByName("mkv");
  flat.Width = 320;
  flat.Height = 180;
  flat.DurationSeconds = 1;
  flat.FlatLuma = 24;
  flat.AudioCodec.clear();
  const std::string srt = "1\n00:00:00,000 --> 00:00:05,000\nHello Agnes\n";
  struct TCase {
    const char* Name;
    std::vector<TClipSpec::TSubtitleTrack> Tracks;
    std::string Beside;    // film.srt's content; empty: none
    bool Burn, ByLanguage;
    bool WantText, WantWarning;
  };
  const TCase cases[] = {
      {"srt beside", {}, srt, true, false, true, false},
      {"srt beside, burning off", {}, srt, false, false, false, false},
      {"broken srt beside", {}, std::string("\x00\x01\xff garbage \x02", 14), true, false, false, true},
      {"forced track", {{"eng", false, "Not this one"}, {"ger", true, "Hello Agnes"}}, "", true, false, true, false},
      {"forced track, burning off", {{"ger", true, "Hello Agnes"}}, "", false, false, false, false},
      {"track in the language, not asked", {{"ger", false, "Hello Agnes"}}, "", true, false, false, false},
      {"track in the language, asked", {{"ger", false, "Hello Agnes"}}, "", true, true, true, false},
  };
  TEnvironmentScope env({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "de_DE.UTF-8"}});
  int row = 0;
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    const std::string folder = dir / ("case" + std::to_string(row++));
    std::filesystem::create_directories(folder);
    TClipSpec clip = flat;
    clip.SubtitleTracks = k.Tracks;
    const std::string in = folder + "/film.mkv";
    std::string error;
    ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
    if (!k.Beside.empty()) WriteFile(folder + "/film.srt", k.Beside);
    TBatchSettings s;
    s.OutputFolder = folder;
    s.BurnSubtitles = k.Burn;
    s.LanguageSubtitles = k.ByLanguage;
    const TConverted run = ConvertOne(s, in, "Subtitles \"" + folder + "/film.srt\" cannot be read");
    const TFileSetup& setup = run.Setup;
    ASSERT_TRUE(setup.Ok) << setup.Message;
    ASSERT_TRUE(run.Done);
    EXPECT_EQ(setup.Type, k.WantText ? "MKV + subtitles" : "MKV");
    EXPECT_EQ(run.Warned, k.WantWarning);
    const std::vector<TFramePtr> pictures = DecodeVideo(setup.OutputPath, 15);
    ASSERT_GE(pictures.size(), 10u);
    const AVFrame* f = pictures[10].get();
    ASSERT_EQ(f->height, 240);
    const TTextMarks m = MarksOf(f, 30, 30);
    EXPECT_EQ(m.OnBars, 0);
    EXPECT_EQ(m.Elsewhere, 0);
    if (k.WantText) {
      EXPECT_GT(m.InLowerThird, 150);
      EXPECT_GE(m.Rows, 16);
    } else {
      EXPECT_EQ(m.InLowerThird, 0);
    }
  }
}

// UTF-16 of the text Latin (ASCII and Latin-1 letters, as one byte each), with
// its byte order mark.
std::string Utf16(const std::string& Latin, bool BigEndian) {
  std::string out = BigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char c : Latin) {
    const char pair[2] = {BigEndian ? '\0' : c, BigEndian ? c : '\0'};
    out.append(pair, 2);
  }
  return out;
}

// A .srt in each common encoding beside a flat dark film: UTF-8 with and
// without its mark and UTF-16 with its mark as they are, Latin-1 and
// Windows-1252 in the locale's legacy character set; each is burned in
// (bright pixels in the lower third) without a word in the log.
TEST(SubtitleBurnTest, AFileInAnyCommonEncodingIsBurnedIn) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec flat = ClipSpecByName("mkv");
  flat.Width = 320;
  flat.Height = 180;
  flat.DurationSeconds = 1;
  flat.FlatLuma = 24;
  flat.AudioCodec.clear();
  const std::string cue = "1\n00:00:00,000 --> 00:00:05,000\n";
  struct TCase {
    const char* Name;
    std::string File;
  };
  const TCase cases[] = {
      {"UTF-8", cue + "Gr\xC3\xBC\xC3\x9F\x65 Agnes\n"},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + cue + "Gr\xC3\xBC\xC3\x9F\x65 Agnes\n"},
      {"UTF-16 LE with its mark", Utf16(cue + "Gr\xFC\xDF\x65 Agnes\n", false)},
      {"UTF-16 BE with its mark", Utf16(cue + "Gr\xFC\xDF\x65 Agnes\n", true)},
      {"Latin-1", cue + "Gr\xFC\xDF\x65 Agnes\n"},
      {"Windows-1252", cue + "\x84Gr\xFC\xDF\x65\x93 Agnes \x80\n"},
  };
  TEnvironmentScope env({{"LC_ALL", nullptr}, {"LC_CTYPE", nullptr}, {"LANG", "de_DE.UTF-8"}});
  int row = 0;
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    const std::string folder = dir / ("case" + std::to_string(row++));
    std::filesystem::create_directories(folder);
    const std::string in = folder + "/film.mkv";
    std::string error;
    ASSERT_TRUE(MakeClip(flat, in, &error)) << error;
    WriteFile(folder + "/film.srt", k.File);
    TBatchSettings s;
    s.OutputFolder = folder;
    const TConverted run = ConvertOne(s, in, "Subtitles");
    ASSERT_TRUE(run.Setup.Ok) << run.Setup.Message;
    ASSERT_TRUE(run.Done);
    EXPECT_FALSE(run.Warned);
    const std::vector<TFramePtr> pictures = DecodeVideo(run.Setup.OutputPath, 15);
    ASSERT_GE(pictures.size(), 10u);
    const TTextMarks m = MarksOf(pictures[10].get(), 30, 30);
    EXPECT_GT(m.InLowerThird, 150);
    EXPECT_EQ(m.Elsewhere + m.OnBars, 0);
  }
}

// Which character set a subtitle file's text is read in: none (as it is)
// for UTF-8 and UTF-16 with its mark, else the locale's legacy one.
TEST(SubtitleCharacterSetTest, UnicodeAsItIsElseTheLocalesLegacyCharacterSet) {
  struct TCase {
    std::string Text, Locale, Want;
  };
  const TCase cases[] = {
      {"Gr\xC3\xBC\xC3\x9F\x65", "ru_RU.UTF-8", ""},
      {"\xEF\xBB\xBFHallo", "", ""},
      {std::string("\xFF\xFEH\0i\0", 6), "de_DE.UTF-8", ""},
      {std::string("\xFE\xFF\0H\0i", 6), "de_DE.UTF-8", ""},
      {"Gr\xFC\xDF\x65", "de_DE.UTF-8", "CP1252"},
      {"Gr\xFC\xDF\x65", "", "CP1252"},
      {"Gr\xFC\xDF\x65", "C", "CP1252"},
      {"\xCF\xF0\xE8\xE2\xE5\xF2", "ru_RU.UTF-8", "CP1251"},
      {"\xCF\xF0\xE8\xE2\xE5\xF2", "ru_RU.KOI8-R", "KOI8-R"},
      {"Za\xBF\xF3\xB3\xE6", "pl_PL.UTF-8@euro", "CP1250"},
      {"x\xE9", "sr_RS.UTF-8@latin", "CP1250"},
      {"x\xE9", "sr_RS.UTF-8", "CP1251"},
      {"x\xE9", "zh_TW.UTF-8", "BIG5"},
      {"x\xE9", "zh_CN.UTF-8", "GB18030"},
      {"x\xE9", "ja_JP.UTF-8", "CP932"},
      // Overlong forms, surrogates and a cut sequence are not UTF-8.
      {"\xC0\xAF", "de_DE.UTF-8", "CP1252"},
      {"\xED\xA0\x80", "de_DE.UTF-8", "CP1252"},
      {"ab\xE2\x82", "de_DE.UTF-8", "CP1252"},
  };
  for (const TCase& k : cases)
    EXPECT_EQ(SubtitleCharacterSet(k.Text, k.Locale), k.Want) << k.Text << " in " << k.Locale;
}

// A film converted from 2.5 s for 2 s, with a cue from 3 s to 4 s beside it
// or in its track: the cue shows from 0.5 s to 1.5 s of the output, on the
// pictures' clock, and not before or after.
TEST(SubtitleBurnTest, ACueShowsAtItsTimeInAStretchConverted) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec flat = ClipSpecByName("mkv");
  flat.Width = 320;
  flat.Height = 180;
  flat.FrameRate = {25, 1};
  flat.DurationSeconds = 6;
  flat.FlatLuma = 24;
  flat.AudioCodec.clear();
  TEnvironmentScope env({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "de_DE.UTF-8"}});
  int row = 0;
  for (const bool beside : {true, false}) {
    SCOPED_TRACE(beside ? "srt beside" : "forced track");
    const std::string folder = dir / ("case" + std::to_string(row++));
    std::filesystem::create_directories(folder);
    TClipSpec clip = flat;
    if (!beside) clip.SubtitleTracks = {{"ger", true, "Hello Agnes", TClipSpec::TPicture::None, 3, 4}};
    const std::string in = folder + "/film.mkv";
    std::string error;
    ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
    if (beside) WriteFile(folder + "/film.srt", "1\n00:00:03,000 --> 00:00:04,000\nHello Agnes\n");
    TBatchSettings s;
    s.OutputFolder = folder;
    s.FrameRate = "Auto";
    s.InputExtraOptions = "ss=2.5";
    s.OutputExtraOptions = "t=2";
    const TConverted run = ConvertOne(s, in);
    ASSERT_TRUE(run.Setup.Ok) << run.Setup.Message;
    ASSERT_TRUE(run.Done);
    const std::vector<TFramePtr> pictures = DecodeVideo(run.Setup.OutputPath, 60);
    ASSERT_GE(pictures.size(), 45u);
    for (size_t i = 0; i < pictures.size(); ++i) {
      const double t = static_cast<double>(i) / 25;
      if (std::abs(t - 0.5) < 0.1 || std::abs(t - 1.5) < 0.1) continue;  // a picture at either end may go either way
      EXPECT_EQ(MarksOf(pictures[i].get(), 30, 30).InLowerThird > 100, t > 0.5 && t < 1.5) << "picture " << i;
    }
  }
}

// A cue of 500 characters beside a flat dark film, or in its track: at the
// normal size it wraps to nine lines and its first runs off the top of the
// picture; it is written smaller (or cut short), so the text stays clear of
// the picture's top sixth and of its bars.
TEST(SubtitleBurnTest, AVeryLongCueStaysInsideThePicture) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec flat = ClipSpecByName("mkv");
  flat.Width = 320;
  flat.Height = 180;
  flat.DurationSeconds = 1;
  flat.FlatLuma = 24;
  flat.AudioCodec.clear();
  std::string words;
  while (words.size() < 500) words += "Agnes walks down the long road to town. ";
  words.resize(500);
  const std::string cue = "1\n00:00:00,000 --> 00:00:05,000\n" + words + "\n";
  struct TCase {
    const char* Name;
    bool Beside;
  };
  TEnvironmentScope env({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "de_DE.UTF-8"}});
  int row = 0;
  for (const TCase k : {TCase{"srt beside", true}, TCase{"forced track", false}}) {
    SCOPED_TRACE(k.Name);
    const std::string folder = dir / ("case" + std::to_string(row++));
    std::filesystem::create_directories(folder);
    TClipSpec clip = flat;
    if (!k.Beside) clip.SubtitleTracks = {{"ger", true, words}};
    const std::string in = folder + "/film.mkv";
    std::string error;
    ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
    if (k.Beside) WriteFile(folder + "/film.srt", cue);
    TBatchSettings s;
    s.OutputFolder = folder;
    const TConverted run = ConvertOne(s, in);
    ASSERT_TRUE(run.Setup.Ok) << run.Setup.Message;
    ASSERT_TRUE(run.Done);
    const std::vector<TFramePtr> pictures = DecodeVideo(run.Setup.OutputPath, 15);
    ASSERT_GE(pictures.size(), 10u);
    const AVFrame* f = pictures[10].get();
    int first = -1, bright = 0;
    for (int y = 0; y < f->height; ++y)
      for (int x = 0; x < f->width; ++x)
        if (f->data[0][static_cast<ptrdiff_t>(y) * f->linesize[0] + x] >= 150) {
          ++bright;
          if (first < 0) first = y;
        }
    EXPECT_GT(bright, 300) << "the text is shown";
    // The picture is rows 30 to 209.
    EXPECT_GE(first, 30 + 30) << "the text reaches up to row " << first;
    EXPECT_EQ(MarksOf(f, 30, 30).OnBars, 0);
  }
}

// How a cue of plain text is fitted: at the normal size while it takes
// four lines or fewer; smaller, as much as needed, when longer; cut short
// (ending in an ellipsis) at the smallest size.
TEST(SubtitleScriptTest, ALongCueIsWrittenSmallerOrCutShort) {
  TSubtitleScript::TLayout layout;
  layout.Width = 320;
  layout.Height = 180;
  layout.FontSize = 35;  // 22 lines of a 240-line frame, on the 288-line stage over 180 picture lines
  const std::string line(40, 'x');
  struct TCase {
    std::string Text;
    double MinSize, MaxSize;
    bool Cut;
  };
  const TCase cases[] = {
      {"Hello Agnes", 35, 35, false},
      {line + "\\N" + line, 35, 35, false},
      {std::string(60, 'x'), 35, 35, false},
      {"{\\i1}" + std::string(60, 'x') + "{\\i0}", 35, 35, false},
      {std::string(500, 'x'), 14, 34, false},
      // CJK characters are twice as wide: 50 take five lines.
      {std::string(50, 'x'), 35, 35, false},
      {[] {
         std::string kana;
         for (int i = 0; i < 50; ++i) kana += "\xE3\x81\x82";
         return kana;
       }(),
       14, 34, false},
      {std::string(5000, 'x'), 14, 14, true},
      {line + "\\N" + line + "\\N" + line, 14, 34, false},
  };
  for (const TCase& k : cases) {
    const auto [size, text] = TSubtitleScript::Fit(k.Text, layout);
    EXPECT_GE(size, k.MinSize) << k.Text.size() << " characters";
    EXPECT_LE(size, k.MaxSize) << k.Text.size() << " characters";
    EXPECT_EQ(text.ends_with("\xE2\x80\xA6"), k.Cut) << k.Text.size() << " characters";
    if (!k.Cut) {
      EXPECT_EQ(text, k.Text);
    }
  }
}

// The bytes this process has read through the system so far.
int64_t BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

// A film of 70 MB (raw pictures) with a forced text track, of which 2 s are
// converted: its subtitles come from the stretch converted, not from a
// second read of the whole file, so burning them in reads little more than
// the same conversion without them.
TEST(SubtitleBurnTest, AnEmbeddedTrackIsNotReadFromTheWholeFile) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec big = ClipSpecByName("mkv");
  big.VideoCodec = "rawvideo";
  big.VideoTag.clear();
  big.PixelFormat = "yuv420p";
  big.Width = 640;
  big.Height = 480;
  big.FrameRate = {5, 1};
  big.DurationSeconds = 30;
  big.FlatLuma = 24;
  big.AudioCodec.clear();
  big.SubtitleTracks = {{"ger", true, "Hello Agnes"}};
  const std::string in = dir / "film.mkv";
  std::string error;
  ASSERT_TRUE(MakeClip(big, in, &error)) << error;
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(in));
  ASSERT_GT(size, 50'000'000);
  int64_t read[2] = {};
  for (const bool burn : {false, true}) {
    SCOPED_TRACE(burn ? "burned in" : "not burned in");
    TBatchSettings s;
    s.OutputFolder = dir / (burn ? "burned" : "plain");
    std::filesystem::create_directories(s.OutputFolder);
    s.OutputExtraOptions = "t=2";
    s.BurnSubtitles = burn;
    const int64_t before = BytesReadSoFar();
    ASSERT_GE(before, 0);
    const TConverted run = ConvertOne(s, in);
    read[burn] = BytesReadSoFar() - before;
    ASSERT_TRUE(run.Setup.Ok) << run.Setup.Message;
    ASSERT_TRUE(run.Done);
    EXPECT_EQ(run.Setup.Type, burn ? "MKV + subtitles" : "MKV");
    const std::vector<TFramePtr> pictures = DecodeVideo(run.Setup.OutputPath, 15);
    ASSERT_GE(pictures.size(), 6u);
    EXPECT_EQ(MarksOf(pictures[5].get(), 0, 0).InLowerThird > 100, burn);
  }
  RecordProperty("BytesReadWithout", std::to_string(read[0]));
  RecordProperty("BytesReadWith", std::to_string(read[1]));
  EXPECT_LT(read[1] - read[0], size / 4) << read[1] << " bytes read with the subtitles, " << read[0]
                                         << " without, of " << size;
}

// A phone film shown turned (stored 320x180, shown upright 180x320, so
// fitted into 320x240 between bars left and right) with a .srt beside it:
// the text is laid on the turned picture, upright in its lower third and
// within its columns, as the output turns the small picture itself.
TEST(SubtitleBurnTest, ATurnedFilmGetsItsTextUprightInItsLowerThird) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec phone = ClipSpecByName("mp4");
  phone.Width = 320;
  phone.Height = 180;
  phone.DurationSeconds = 1;
  phone.FlatLuma = 24;
  phone.AudioCodec.clear();
  phone.DisplayMatrix = true;
  phone.DisplayTurn = 90;
  const std::string in = dir / "film.mp4";
  std::string error;
  ASSERT_TRUE(MakeClip(phone, in, &error)) << error;
  WriteFile(dir / "film.srt", "1\n00:00:00,000 --> 00:00:05,000\nHello\n");
  TBatchSettings s;
  s.OutputFolder = dir.Path();
  const TConverted run = ConvertOne(s, in);
  const TFileSetup& setup = run.Setup;
  ASSERT_TRUE(setup.Ok) << setup.Message;
  ASSERT_TRUE(run.Done);
  EXPECT_EQ(setup.Type, "MP4 + subtitles");
  const std::vector<TFramePtr> pictures = DecodeVideo(setup.OutputPath, 15);
  ASSERT_GE(pictures.size(), 10u);
  const AVFrame* f = pictures[10].get();
  ASSERT_EQ(f->width, 320);
  ASSERT_EQ(f->height, 240);
  // The picture is 135 columns wide in the middle (x 92-227).
  int inside = 0, outside = 0;
  for (int y = 0; y < f->height; ++y)
    for (int x = 0; x < f->width; ++x)
      if (f->data[0][static_cast<ptrdiff_t>(y) * f->linesize[0] + x] >= 150)
        ++(y >= 160 && x >= 92 && x < 228 ? inside : outside);
  EXPECT_GT(inside, 40);
  EXPECT_EQ(outside, 0);
}

// When a subtitle of pictures shows: from its start display time to its end
// display time, else for its packet's duration, else until the next; one
// screen at a time (a subtitle ends the one before it, also one whose packet
// came first); one without pictures only clears the screen.
TEST(PictureSubtitleTimingTest, EachSubtitleShowsUntilItsEndOrTheNext) {
  EnsureLibrariesLoaded();
  constexpr uint32_t kOpen = UINT32_MAX;
  struct TSub {
    int64_t AtMs;
    uint32_t StartMs, EndMs;
    int64_t DurationMs;
    uint32_t Colour;  // of the whole canvas; 0: no pictures
  };
  constexpr uint32_t kWhite = 0xFFFFFFFF, kGrey = 0xFF808080;
  struct TCase {
    const char* Name;
    std::vector<TSub> Subs;
    std::vector<std::pair<int64_t, uint32_t>> Want;  // time (ms), colour shown (0: none)
  };
  const TCase cases[] = {
      {"end display time", {{0, 0, 800, 0, kWhite}}, {{0, kWhite}, {790, kWhite}, {810, 0}}},
      {"start display time", {{0, 200, 900, 0, kWhite}}, {{100, 0}, {300, kWhite}, {910, 0}}},
      {"packet duration", {{0, 0, 0, 500, kWhite}}, {{400, kWhite}, {600, 0}}},
      {"until cleared", {{0, 0, kOpen, 0, kWhite}, {1000, 0, kOpen, 0, 0}}, {{900, kWhite}, {1100, 0}}},
      {"replaced", {{0, 0, kOpen, 0, kWhite}, {500, 0, 2000, 0, kGrey}}, {{400, kWhite}, {600, kGrey}, {2600, 0}}},
      {"read out of order", {{1000, 0, 1000, 0, kGrey}, {0, 0, 5000, 0, kWhite}}, {{500, kWhite}, {1500, kGrey}, {2500, 0}}},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TPictureSubtitles subtitles(nullptr, 64, 64);
    subtitles.SetPictureSize(32, 32, AVCOL_SPC_BT709);
    for (const TSub& sub : k.Subs) {
      std::vector<uint8_t> indices(64 * 64, 0);
      uint32_t palette[1] = {sub.Colour};
      AVSubtitleRect rect{};
      rect.type = SUBTITLE_BITMAP;
      rect.w = rect.h = 64;
      rect.nb_colors = 1;
      rect.data[0] = indices.data();
      rect.linesize[0] = 64;
      rect.data[1] = reinterpret_cast<uint8_t*>(palette);
      AVSubtitleRect* rects[1] = {&rect};
      AVSubtitle s{};
      s.start_display_time = sub.StartMs;
      s.end_display_time = sub.EndMs;
      s.num_rects = sub.Colour ? 1 : 0;
      s.rects = rects;
      subtitles.Add(s, sub.AtMs * 1000, sub.DurationMs * 1000);
    }
    for (const auto& [ms, colour] : k.Want) {
      const AVFrame* f = subtitles.PictureAt(ms * 1000);
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(f->format, AV_PIX_FMT_YUVA420P);
      ASSERT_EQ(f->width, 32);
      const int alpha = f->data[3][16 * f->linesize[3] + 16], luma = f->data[0][16 * f->linesize[0] + 16];
      if (!colour) {
        EXPECT_EQ(alpha, 0) << "at " << ms << " ms";
      } else {
        EXPECT_EQ(alpha, 255) << "at " << ms << " ms";
        EXPECT_NEAR(luma, colour == kWhite ? 235 : 126, 3) << "at " << ms << " ms";
      }
    }
  }
}

// A flat dark 16:9 film of 640x360 (letterboxed into 320x240 as a 320x180
// picture between 30-line bars) with a track of pictures whose white block
// is shown from 0.6 s to 1.4 s: burned in, the block shows, scaled with the
// picture, exactly while its cue lasts, and never on the bars; without
// burning, or from a track that cannot be read (a line in the log), the
// picture stays dark and the film converts all the same.
TEST(SubtitleBurnTest, APictureTrackShowsWhileItsCueLastsInsideThePicture) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec flat = ClipSpecByName("mkv");
  flat.Width = 640;
  flat.Height = 360;
  flat.FrameRate = {25, 1};
  flat.DurationSeconds = 2;
  flat.FlatLuma = 24;
  flat.AudioCodec.clear();
  using P = TClipSpec::TPicture;
  struct TCase {
    const char* Name;
    P Picture;
    bool Forced, Broken, Burn, ByLanguage;
    bool WantBlock, WantWarning;
    // Filters of the user's own (the picture then fills the frame, 240
    // lines for 360, without bars): the subtitles go into their graph.
    bool UserFilters = false;
  };
  const TCase cases[] = {
      {"DVD, forced", P::Dvd, true, false, true, false, true, false},
      {"PGS, forced", P::Pgs, true, false, true, false, true, false},
      {"DVD, burning off", P::Dvd, true, false, false, false, false, false},
      {"DVD in the language, not asked", P::Dvd, false, false, true, false, false, false},
      {"PGS in the language, asked", P::Pgs, false, false, true, true, true, false},
      {"broken PGS", P::Pgs, true, true, true, false, false, true},
      {"broken DVD", P::Dvd, true, true, true, false, false, false},
      {"PGS, forced, with the user's filters", P::Pgs, true, false, true, false, true, false, true},
  };
  TEnvironmentScope env({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "de_DE.UTF-8"}});
  int row = 0;
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    const std::string folder = dir / ("case" + std::to_string(row++));
    std::filesystem::create_directories(folder);
    TClipSpec clip = flat;
    TClipSpec::TSubtitleTrack track{"ger", k.Forced, "", k.Picture, 0.6, 1.4, k.Broken};
    clip.SubtitleTracks = {track};
    const std::string in = folder + "/film.mkv";
    std::string error;
    ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
    TBatchSettings s;
    s.OutputFolder = folder;
    s.BurnSubtitles = k.Burn;
    s.LanguageSubtitles = k.ByLanguage;
    s.FrameRate = "Auto";
    if (k.UserFilters) s.OutputExtraOptions = "vfilters=null";
    const TConverted run = ConvertOne(s, in, "A subtitle of \"" + in + "\" at 0:00:00 cannot be read");
    const TFileSetup& setup = run.Setup;
    ASSERT_TRUE(setup.Ok) << setup.Message;
    ASSERT_TRUE(run.Done);
    const bool chosen = k.Burn && (k.Forced || k.ByLanguage);
    EXPECT_EQ(setup.Type, chosen ? "MKV + subtitles" : "MKV");
    EXPECT_EQ(run.Warned, k.WantWarning);
    const std::vector<TFramePtr> pictures = DecodeVideo(setup.OutputPath, 60);
    ASSERT_EQ(pictures.size(), 50u);
    for (size_t i = 0; i < pictures.size(); ++i) {
      const AVFrame* f = pictures[i].get();
      ASSERT_EQ(f->height, 240);
      const double t = static_cast<double>(i) / 25;
      if (std::abs(t - 0.6) < 0.05 || std::abs(t - 1.4) < 0.05) continue;  // a picture at either end may go either way
      int bright = 0, onBars = 0, minX = f->width, maxX = -1, minY = f->height, maxY = -1;
      for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x) {
          if (f->data[0][static_cast<ptrdiff_t>(y) * f->linesize[0] + x] < 150) continue;
          ++bright;
          if (y < 30 || y >= 210) ++onBars;
          minX = std::min(minX, x);
          maxX = std::max(maxX, x);
          minY = std::min(minY, y);
          maxY = std::max(maxY, y);
        }
      EXPECT_EQ(onBars, 0) << "picture " << i;
      if (k.WantBlock && t > 0.6 && t < 1.4) {
        // The block of the 640x360 canvas (x 160-480, y 225-270, with its
        // black edge) at the picture's size, below the upper bar.
        const double top = k.UserFilters ? 0 : 30, scale = k.UserFilters ? 240.0 / 360 : 0.5;
        const int blockTop = static_cast<int>(top + 225 * scale), blockBottom = static_cast<int>(top + 270 * scale);
        EXPECT_GT(bright, 140 * 16) << "picture " << i;
        EXPECT_GE(minX, 80) << "picture " << i;
        EXPECT_LE(minX, 84) << "picture " << i;
        EXPECT_GE(maxX, 235) << "picture " << i;
        EXPECT_LE(maxX, 240) << "picture " << i;
        EXPECT_GE(minY, blockTop) << "picture " << i;
        EXPECT_LE(minY, blockTop + 4) << "picture " << i;
        EXPECT_GE(maxY, blockBottom - 4) << "picture " << i;
        EXPECT_LE(maxY, blockBottom) << "picture " << i;
      } else {
        EXPECT_EQ(bright, 0) << "picture " << i;
      }
    }
  }
}

}  // namespace
