// The sound of a batch's outputs: which audio track of several is converted
// (the user's language, the default flag, the most channels, the user's pick),
// and even loudness (every output at -16 LUFS, its true peak at most -1 dBTP,
// read back from the AAC output with the libraries' ebur128 filter).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>

#include "BatchSettings.h"
#include "Loudness.h"
#include "ComponentSupport.h"
#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "TestSupport.h"

namespace {

TEST(AudioTrackTest, LanguageCodesNameOneLanguage) {
  const std::pair<const char*, const char*> normal[] = {
      {"de", "deu"},  {"deu", "deu"}, {"ger", "deu"}, {"GER", "deu"}, {"fre", "fra"}, {"fr", "fra"},
      {"en-US", "eng"}, {"pt_BR", "por"}, {"chi", "zho"}, {"iw", "heb"}, {"und", ""},  {"", ""},
      {"zxx", ""},    {"tlh", "tlh"}, {"XX", "xx"}};
  for (auto [code, want] : normal) EXPECT_EQ(NormalLanguage(code), want) << code;
  const std::pair<const char*, const char*> brief[] = {{"ger", "de"}, {"deu", "de"}, {"eng", "en"}, {"tlh", "tlh"}, {"und", ""}};
  for (auto [code, want] : brief) EXPECT_EQ(ShortLanguage(code), want) << code;
}

TEST(AudioTrackTest, UserLanguagesComeFromTheEnvironmentInOrder) {
  struct TCase {
    const char *Language, *LcAll, *LcMessages, *Lang;
    std::vector<std::string> Want;
  };
  const TCase cases[] = {
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", {"deu"}},
      {nullptr, nullptr, "fr_FR.UTF-8", "de_DE.UTF-8", {"fra"}},
      {nullptr, "it_IT", "fr_FR", "de_DE", {"ita"}},
      {"", "", "", "en_GB.UTF-8@euro", {"eng"}},
      // LANGUAGE lists several, then the locale's own follows.
      {"nl:de", nullptr, nullptr, "en_US.UTF-8", {"nld", "deu", "eng"}},
      {"de:ger:de_AT", nullptr, nullptr, "de_CH", {"deu"}},
      {nullptr, nullptr, nullptr, "C.UTF-8", {}},
      {nullptr, "POSIX", nullptr, "de_DE", {}},
      {nullptr, nullptr, nullptr, nullptr, {}},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(UserLanguagesFrom(c.Language, c.LcAll, c.LcMessages, c.Lang), c.Want)
        << (c.Language ? c.Language : "-") << " " << (c.Lang ? c.Lang : "-");
}

TEST(AudioTrackTest, ChoiceFollowsLanguageThenDefaultThenChannels) {
  auto track = [](const char* Language, bool Default, int Channels) {
    TAudioTrack t;
    t.Language = NormalLanguage(Language);
    t.Default = Default;
    t.Channels = Channels;
    return t;
  };
  struct TCase {
    std::vector<TAudioTrack> Tracks;
    std::vector<std::string> Languages;
    int Want;
  };
  const TCase cases[] = {
      {{track("en", false, 2), track("ger", false, 2)}, {"deu"}, 1},
      {{track("en", true, 2), track("ger", false, 2)}, {"deu"}, 1},
      {{track("en", false, 2), track("ger", true, 2)}, {"fra"}, 1},
      {{track("en", false, 2), track("ger", false, 6)}, {"fra"}, 1},
      {{track("en", false, 6), track("ger", false, 6)}, {}, 0},
      {{track("en", false, 2), track("ger", false, 2)}, {}, 0},
      // The first preferred language that any track has.
      {{track("en", false, 2), track("fr", false, 2), track("de", false, 2)}, {"nld", "fra", "deu"}, 1},
      // Of two tracks in the language, the first.
      {{track("de", false, 2), track("de", true, 6)}, {"deu"}, 0},
      {{track("", false, 2), track("", true, 2)}, {"deu"}, 1},
      {{track("de", false, 2)}, {"eng"}, 0},
      {{}, {"deu"}, -1},
      // Of several tracks flagged default, the one with the most channels.
      {{track("en", true, 1), track("en", true, 2)}, {"fra"}, 1},
      {{track("", true, 2), track("", false, 6), track("", true, 6), track("", true, 2)}, {}, 2},
  };
  int row = 0;
  for (const TCase& c : cases) EXPECT_EQ(ChooseAudioTrack(c.Tracks, c.Languages), c.Want) << "case " << row++;

  // The settings: a track number within the file's count wins; else the
  // language given, else the environment's.
  const std::vector<TAudioTrack> tracks = {track("en", true, 2), track("de", false, 2), track("fr", false, 6)};
  TBatchSettings s;
  s.AudioLanguage = "ger";
  EXPECT_EQ(ChosenAudioTrack(s, tracks), 1);
  s.AudioTrack = 3;
  EXPECT_EQ(ChosenAudioTrack(s, tracks), 2);
  s.AudioTrack = 4;
  EXPECT_EQ(ChosenAudioTrack(s, tracks), 1);
  s = TBatchSettings{};
  TEnvironmentScope env({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "fr_FR.UTF-8"}});
  EXPECT_EQ(ChosenAudioTrack(s, tracks), 2);
  // A language no one knows, or one no track has, gives way to the user's.
  for (const char* asked : {"xx", "x1", "ita"}) {
    s.AudioLanguage = asked;
    EXPECT_EQ(ChosenAudioTrack(s, tracks), 2) << asked;
  }
  const std::pair<const char*, bool> known[] = {{"de", true},   {"ger", true}, {"tlh", true}, {"xx", false},
                                                {"qq", false},  {"", false},   {"und", false}, {"e1g", false}};
  for (auto [code, want] : known) EXPECT_EQ(KnownLanguage(code), want) << code;
}

// Level in dBFS of the tone of Hz in one channel of interleaved samples: one
// DFT bin over half a second from a quarter second in.
double ToneDbfs(const std::vector<float>& S, int Channels, int Channel, double Hz, int Rate) {
  const size_t from = static_cast<size_t>(Rate / 4), count = static_cast<size_t>(Rate / 2);
  double re = 0, im = 0;
  for (size_t i = 0; i < count && (from + i) * Channels < S.size(); ++i) {
    const double x = S[(from + i) * static_cast<size_t>(Channels) + static_cast<size_t>(Channel)];
    const double phase = 2 * std::numbers::pi * Hz * static_cast<double>(i) / Rate;
    re += x * std::cos(phase);
    im -= x * std::sin(phase);
  }
  return 20 * std::log10(std::max(2 * std::hypot(re, im) / static_cast<double>(count), 1e-12));
}

// A Matroska film with two audio tracks, told apart by their tones.
TClipSpec TwoTrackFilm(const std::string& Name, std::vector<TClipSpec::TAudioTrack> Tracks) {
  TClipSpec s = ClipSpecByName("mkv");
  s.Name = Name;
  s.AudioCodec = "aac";
  s.SampleRate = 48000;
  s.AudioTracks = std::move(Tracks);
  s.MuxerOptions = {{"default_mode", "passthrough"}};
  return s;
}

// Converts each file with the batch's per-file set-up and returns the rows.
std::vector<TFileSetup> ConvertBatch(const TBatchSettings& Settings, const std::vector<std::string>& Files) {
  TQuilloConverter c;
  LoadThrough(c);
  TEventRecorder r;
  r.Attach(c, false);
  std::vector<TFileSetup> rows;
  TNameReservations reserved;
  for (const std::string& f : Files) rows.push_back(SetUpFile(c, Settings, f, &reserved));
  c.Start(1);
  EXPECT_TRUE(r.WaitAllDone());
  for (const TEventRecord& t : r.Terminations())
    if (t.Index >= 0) {
      EXPECT_TRUE(t.Finished) << t.Message;
    }
  return rows;
}

TEST(AudioTrackTest, TheTrackInTheUsersLanguageIsConverted) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  using T = TClipSpec::TAudioTrack;
  // English at 440 Hz, German at 1000 Hz (first channel; the second twice that).
  const T english{"eng", false, 2, 440}, german{"ger", false, 2, 1000};
  T englishDefault = english, germanDefault = german, german51 = german;
  englishDefault.Default = true;
  germanDefault.Default = true;
  german51.Channels = 6;
  struct TCase {
    TClipSpec Clip;
    std::string Lang;         // LANG of the environment
    std::string AudioLanguage;  // the setting; empty: the environment's
    int AudioTrack;
    double WantHz;
    std::string WantType;
  };
  const TCase cases[] = {
      {TwoTrackFilm("en_de", {english, german}), "de_DE.UTF-8", "", 0, 1000, "MKV \xC2\xB7 de stereo"},
      {TwoTrackFilm("en_de", {english, german}), "en_US.UTF-8", "", 0, 440, "MKV \xC2\xB7 en stereo"},
      {TwoTrackFilm("en_de", {english, german}), "en_US.UTF-8", "deu", 0, 1000, "MKV \xC2\xB7 de stereo"},
      {TwoTrackFilm("en_de", {english, german}), "en_US.UTF-8", "de", 2, 1000, "MKV \xC2\xB7 de stereo"},
      {TwoTrackFilm("en_de", {english, german}), "de_DE.UTF-8", "", 1, 440, "MKV \xC2\xB7 en stereo"},
      {TwoTrackFilm("en_de_default", {english, germanDefault}), "fr_FR.UTF-8", "", 0, 1000, "MKV \xC2\xB7 de stereo"},
      {TwoTrackFilm("en_default_de", {englishDefault, german}), "fr_FR.UTF-8", "", 0, 440, "MKV \xC2\xB7 en stereo"},
      {TwoTrackFilm("en_default_de", {englishDefault, german}), "de_AT.UTF-8", "", 0, 1000, "MKV \xC2\xB7 de stereo"},
      {TwoTrackFilm("en_de51", {english, german51}), "C", "", 0, 1000, "MKV \xC2\xB7 de 5.1"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Clip.Name + " LANG=" + k.Lang + " setting " + k.AudioLanguage + " track " +
                 std::to_string(k.AudioTrack));
    const std::string in = dir / (k.Clip.Name + ".mkv");
    std::string error;
    ASSERT_TRUE(MakeClip(k.Clip, in, &error)) << error;
    TEnvironmentScope env({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", k.Lang.c_str()}});
    TBatchSettings s;
    s.OutputFolder = dir.Path();
    s.AudioLanguage = k.AudioLanguage;
    s.AudioTrack = k.AudioTrack;
    const std::vector<TFileSetup> rows = ConvertBatch(s, {in});
    ASSERT_TRUE(rows[0].Ok) << rows[0].Message;
    EXPECT_EQ(rows[0].Type, k.WantType);
    int channels = 0, rate = 0;
    const std::vector<float> out = DecodeAudioFloat(rows[0].OutputPath, channels, rate);
    ASSERT_EQ(channels, 2);
    // The track's tone is there (at whatever level the even loudness gave
    // it), the other track's is not.
    const double other = k.WantHz == 440 ? 1000 : 440;
    const double level = ToneDbfs(out, channels, 0, k.WantHz, rate);
    EXPECT_GT(level, -30);
    EXPECT_LT(ToneDbfs(out, channels, 0, other, rate), level - 40);
  }
}

// One audio track: the Type column and the conversion stay as they were.
TEST(AudioTrackTest, AFileWithOneTrackKeepsItsType) {
  TQuilloConverter c;
  LoadThrough(c);
  TBatchSettings s;
  s.OutputFolder = FreshOutputFolder();
  const TFileSetup row = SetUpFile(c, s, TestClip("mkv"));
  ASSERT_TRUE(row.Ok) << row.Message;
  EXPECT_EQ(row.Type, "MKV");
  EXPECT_EQ(row.AudioTracks.size(), 1u);
  EXPECT_EQ(row.AudioChoice, 0);
}

// The loudness of a file's first audio stream, decoded.
TLoudness LoudnessOf(const std::string& Path) {
  int channels = 0, rate = 0;
  const std::vector<float> s = DecodeAudioFloat(Path, channels, rate);
  TLoudness none;
  if (channels <= 0 || s.empty()) return none;
  AVChannelLayout layout{};
  ff::av_channel_layout_default(&layout, channels);
  TLoudnessMeter meter;
  std::string error;
  const bool open = meter.Open(AV_SAMPLE_FMT_FLT, rate, layout, error);
  EXPECT_TRUE(open) << error;
  if (!open) return none;
  const uint8_t* data[1] = {reinterpret_cast<const uint8_t*>(s.data())};
  EXPECT_TRUE(meter.Add(data, static_cast<int>(s.size() / static_cast<size_t>(channels))));
  return meter.Finish();
}

// The meter against the calibration of the loudness measure: a 997 Hz sine at
// 0 dBFS in one channel reads -3.01 LUFS; channels add up; the true peak of
// a sine is its amplitude.
TEST(LoudnessTest, TheMeterReadsTheCalibrationTone) {
  EnsureLibrariesLoaded();
  struct TCase {
    int Channels;
    int Sounding;  // channels carrying the tone (the first ones)
    double Dbfs, WantLufs;
  };
  const TCase cases[] = {{1, 1, -20, -23.01}, {2, 2, -20, -20.0}, {2, 1, -6, -9.01}, {2, 2, -40, -40.0}, {1, 1, -80, -HUGE_VAL}};
  for (const TCase& k : cases) {
    SCOPED_TRACE(std::to_string(k.Sounding) + " of " + std::to_string(k.Channels) + " channels at " +
                 std::to_string(k.Dbfs) + " dBFS");
    const int rate = 48000;
    std::vector<float> s(static_cast<size_t>(rate * 3 * k.Channels));
    const double a = std::pow(10.0, k.Dbfs / 20);
    for (int i = 0; i < rate * 3; ++i)
      for (int c = 0; c < k.Sounding; ++c)
        s[static_cast<size_t>(i * k.Channels + c)] = static_cast<float>(a * std::sin(2 * std::numbers::pi * 997.0 * i / rate));
    AVChannelLayout layout{};
    ff::av_channel_layout_default(&layout, k.Channels);
    TLoudnessMeter meter;
    std::string error;
    ASSERT_TRUE(meter.Open(AV_SAMPLE_FMT_FLT, rate, layout, error)) << error;
    const uint8_t* data[1] = {reinterpret_cast<const uint8_t*>(s.data())};
    ASSERT_TRUE(meter.Add(data, rate * 3));
    const TLoudness l = meter.Finish();
    if (k.WantLufs == -HUGE_VAL) {
      EXPECT_EQ(l.Integrated, -HUGE_VAL);
    } else {
      EXPECT_NEAR(l.Integrated, k.WantLufs, 0.1);
      EXPECT_NEAR(l.TruePeak, k.Dbfs, 0.2);
    }
  }
}

// A tone clip (WAV, 48 kHz) whose loudness is Lufs: its level is found by
// measuring a first version.
TClipSpec ToneAtLoudness(const TTempDir& Dir, int Channels, double Lufs) {
  TClipSpec s = ToneClipSpec(Channels, -20);
  s.DurationSeconds = 3;
  const std::string probe = Dir / "level_probe.wav";
  std::string error;
  EXPECT_TRUE(MakeClip(s, probe, &error)) << error;
  const double measured = LoudnessOf(probe).Integrated;
  s.ToneAmplitude *= std::pow(10.0, (Lufs - measured) / 20);
  s.Name = "tone" + std::to_string(Channels) + "ch_" + std::to_string(std::lround(-Lufs)) + "LUFS";
  return s;
}

bool HasLine(const std::vector<std::string>& Lines, const std::string& Part) {
  for (const std::string& l : Lines)
    if (l.find(Part) != std::string::npos) return true;
  return false;
}

// Quiet and loud tones, stereo and 5.1, and a quiet film with loud moments:
// with even loudness each output is at -16 LUFS with its true peak at most
// -1 dBTP; without, each keeps its loudness. The log names the loudness
// measured and what was done.
TEST(LoudnessTest, EveryOutputComesOutAtTheSameLoudness) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  // A quiet film with a clap every two seconds: its peaks do not allow the gain.
  TClipSpec claps = ToneClipSpec(2, -30);
  claps.Name = "quiet_with_claps";
  claps.DurationSeconds = 8;
  claps.BurstEverySeconds = 2;
  claps.BurstSeconds = 0.002;
  struct TCase {
    TClipSpec Clip;
    const char* Action;  // the log's word for what the levelling did
  };
  const TCase cases[] = {
      {ToneAtLoudness(dir, 2, -40), "raised by"},
      {ToneAtLoudness(dir, 2, -3), "lowered by"},
      // (Its stereo mix is 10 dB quieter: within the most gain.)
      {ToneAtLoudness(dir, 6, -36), "raised by"},
      {ToneAtLoudness(dir, 6, -3), "lowered by"},
      {claps, "with its peaks held at"},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Clip.Name);
    const std::string in = dir / (k.Clip.Name + ".wav");
    std::string error;
    ASSERT_TRUE(MakeClip(k.Clip, in, &error)) << error;
    const TLoudness source = LoudnessOf(in);
    for (bool even : {true, false}) {
      SCOPED_TRACE(even ? "even loudness" : "as it is");
      TBatchSettings s;
      s.OutputFolder = dir.Path();
      s.EvenVolume = even;
      TQuilloConverter c;
      LoadThrough(c);
      TEventRecorder r;
      r.Attach(c, true);
      const TFileSetup row = SetUpFile(c, s, in);
      ASSERT_TRUE(row.Ok) << row.Message;
      c.Start(1);
      ASSERT_TRUE(r.WaitAllDone());
      std::vector<std::string> lines;
      for (const TEventRecord& e : r.Events())
        if (e.Kind == TEventRecord::Log && e.Message.rfind("Stream #", 0) == 0) lines.push_back(e.Message);
      const TLoudness out = LoudnessOf(row.OutputPath);
      std::printf("%-18s source %6.1f LUFS %6.1f dBTP -> %s %6.1f LUFS %6.1f dBTP\n", k.Clip.Name.c_str(),
                  source.Integrated, source.TruePeak, even ? "even " : "as is", out.Integrated, out.TruePeak);
      if (even) {
        EXPECT_NEAR(out.Integrated, kEvenLoudnessLufs, 0.5);
        EXPECT_LE(out.TruePeak, kEvenTruePeakDbtp);
        EXPECT_TRUE(HasLine(lines, "loudness")) << "no line names the loudness";
        EXPECT_TRUE(HasLine(lines, k.Action)) << "expected a line with " << k.Action;
      } else {
        // Stereo keeps its loudness; 5.1 loses what its downmix takes.
        if (k.Clip.Channels == 2) {
          EXPECT_NEAR(out.Integrated, source.Integrated, 0.5);
        }
        EXPECT_FALSE(HasLine(lines, "LUFS"));
      }
    }
  }
}

// Converts In with Settings and gives the output's loudness and the lines
// the conversion logged about its sound ("Stream #...").
TLoudness ConvertAndMeasure(const TBatchSettings& Settings, const std::string& In, std::vector<std::string>& Lines) {
  TQuilloConverter c;
  LoadThrough(c);
  TEventRecorder r;
  r.Attach(c, true);
  const TFileSetup row = SetUpFile(c, Settings, In);
  EXPECT_TRUE(row.Ok) << row.Message;
  if (!row.Ok) return {};
  c.Start(1);
  EXPECT_TRUE(r.WaitAllDone());
  for (const TEventRecord& e : r.Events())
    if (e.Kind == TEventRecord::Log && e.Message.rfind("Stream #", 0) == 0) Lines.push_back(e.Message);
  return LoudnessOf(row.OutputPath);
}

// The measuring pass reads what the conversion converts: the part the
// input's and the output's start and length options give (a size sample is
// such a part), the track's channels as the conversion takes them (a layout
// the resampler refuses as the default one). Each output is at -16 LUFS with
// its true peak at most -1 dBTP.
TEST(LoudnessTest, TheMeasuringPassReadsWhatIsConverted) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  // 12 s of tone that changes its level at 6 s.
  auto changing = [](const std::string& Name, double Before, double After) {
    TClipSpec s = ToneClipSpec(2, Before);
    s.Name = Name;
    s.DurationSeconds = 12;
    s.LoudFromSeconds = 6;
    s.LoudAmplitude = std::pow(10.0, After / 20);
    return s;
  };
  TClipSpec frontCentre = ToneClipSpec(2, -30);
  frontCentre.Name = "front_left_and_centre";
  frontCentre.DurationSeconds = 4;
  frontCentre.ChannelMask = AV_CH_FRONT_LEFT | AV_CH_FRONT_CENTER;
  struct TCase {
    TClipSpec Clip;
    const char *Input, *Output;  // the extra options
  };
  const TCase cases[] = {
      {changing("quiet_then_loud", -50, -6), "ss=6", "t=3"},
      {changing("loud_then_quiet", -6, -40), "ss=6", "t=3"},
      {changing("quiet_then_loud_sample", -50, -6), "ss=7", "t=3"},
      {changing("quiet_then_loud_output_start", -50, -6), "", "ss=6\nt=3"},
      {frontCentre, "", ""},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Clip.Name);
    const std::string in = dir / (k.Clip.Name + ".wav");
    std::string error;
    ASSERT_TRUE(MakeClip(k.Clip, in, &error)) << error;
    TBatchSettings s;
    s.OutputFolder = dir.Path();
    s.InputExtraOptions = k.Input;
    s.OutputExtraOptions = k.Output;
    std::vector<std::string> lines;
    const TLoudness out = ConvertAndMeasure(s, in, lines);
    std::printf("%-30s -> %6.1f LUFS %6.1f dBTP\n", k.Clip.Name.c_str(), out.Integrated, out.TruePeak);
    EXPECT_NEAR(out.Integrated, kEvenLoudnessLufs, 1.5);
    EXPECT_LE(out.TruePeak, kEvenTruePeakDbtp);
    EXPECT_TRUE(HasLine(lines, "loudness")) << "no line names the loudness";
    EXPECT_FALSE(HasLine(lines, "not measured")) << "the measuring pass refused the file";
  }
}

// What the listener hears is levelled: sound the encoder drops at a low
// bitrate (highs above its band limit) is not counted. Read back from the
// encoded file at the lowest, the usual and the best profile (mono, stereo,
// stereo), and in mono at the usual bitrate.
TEST(LoudnessTest, TheEncodedOutputIsLevelledAtEveryProfile) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec highs = ToneClipSpec(2, -20);
  highs.Name = "tone_440_and_15k";
  highs.HighToneHz = 15000;
  TClipSpec noise = ToneClipSpec(2, -20);
  noise.Name = "noise_above_6k";
  noise.HighNoise = true;
  struct TSetting {
    const char* Name;
    int Profile;
    int Channels;  // -1: the profile's
  };
  const TSetting settings[] = {{"profile 0", 0, -1}, {"profile 3", 3, -1}, {"profile 7", 7, -1}, {"profile 3 mono", 3, 0}};
  for (TClipSpec clip : {highs, noise}) {
    clip.DurationSeconds = 4;
    const std::string in = dir / (clip.Name + ".wav");
    std::string error;
    ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
    for (const TSetting& k : settings) {
      SCOPED_TRACE(clip.Name + " at " + k.Name);
      TBatchSettings s;
      ApplyProfile(s, k.Profile);
      if (k.Channels >= 0) s.ChannelsEntry = k.Channels;
      s.OutputFolder = dir / (clip.Name + std::to_string(k.Profile) + std::to_string(k.Channels));
      std::filesystem::create_directories(s.OutputFolder);
      std::vector<std::string> lines;
      const TLoudness out = ConvertAndMeasure(s, in, lines);
      std::printf("%-18s %-15s -> %6.1f LUFS %6.1f dBTP\n", clip.Name.c_str(), k.Name, out.Integrated, out.TruePeak);
      EXPECT_NEAR(out.Integrated, kEvenLoudnessLufs, 1.5);
      EXPECT_LE(out.TruePeak, kEvenTruePeakDbtp);
    }
  }
}

// A file whose peaks do not allow the gain gets one gain all through, and a
// limiter holds its peaks: after 10 s of near silence, the tone between the
// claps keeps one level to the end (the dynamic levelling moved it by
// several dB while it found its way).
TEST(LoudnessTest, AFileGetsOneGain) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec claps = ToneClipSpec(2, -75);
  claps.Name = "silence_then_tone_with_claps";
  claps.DurationSeconds = 22;
  claps.LoudFromSeconds = 10;
  claps.LoudAmplitude = std::pow(10.0, -30.0 / 20);
  claps.BurstEverySeconds = 2;
  claps.BurstSeconds = 0.002;
  const std::string in = dir / "claps.wav";
  std::string error;
  ASSERT_TRUE(MakeClip(claps, in, &error)) << error;
  TBatchSettings s;
  s.OutputFolder = dir.Path();
  std::vector<std::string> lines;
  const TLoudness out = ConvertAndMeasure(s, in, lines);
  EXPECT_NEAR(out.Integrated, kEvenLoudnessLufs, 1.0);
  EXPECT_LE(out.TruePeak, kEvenTruePeakDbtp);
  EXPECT_TRUE(HasLine(lines, "with its peaks held at")) << "the peaks did not need the limiter";
  int channels = 0, rate = 0;
  const std::vector<float> samples = DecodeAudioFloat(dir / "claps.mp4", channels, rate);
  ASSERT_GT(rate, 0);
  // The tone's level in the half second before each clap (and before the end).
  std::vector<double> levels;
  for (int second = 11; second < 22; second += 2) {
    const size_t from = static_cast<size_t>((second + 0.25) * rate - rate / 4.0) * static_cast<size_t>(channels);
    ASSERT_LT(from + static_cast<size_t>(rate) * static_cast<size_t>(channels), samples.size());
    const std::vector<float> part(samples.begin() + static_cast<std::ptrdiff_t>(from), samples.end());
    levels.push_back(ToneDbfs(part, channels, 0, TestToneFrequency(0), rate));
  }
  const auto [low, high] = std::minmax_element(levels.begin(), levels.end());
  for (double l : levels) std::printf("%.2f ", l);
  std::printf("dBFS\n");
  EXPECT_LT(*high - *low, 0.5) << "the gain moved within the file";
}

// Hiss and far too quiet recordings are raised by at most kMostGainDb, and
// the Log says so. A clip shorter than the measure's 400 ms is measured as
// played over and over.
TEST(LoudnessTest, TheGainHasACeiling) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  struct TCase {
    double SourceLufs, WantLufs;
    bool Capped;
    double Seconds = 3;
  };
  // A clip of 0.3 s is levelled too.
  const TCase cases[] = {{-64, -34, true}, {-69, -39, true}, {-44, -16, false}, {-44, -16, false, 0.3}};
  for (const TCase& k : cases) {
    TClipSpec clip = ToneAtLoudness(dir, 2, k.SourceLufs);
    clip.DurationSeconds = k.Seconds;
    clip.Name += "_" + std::to_string(std::lround(k.Seconds * 10));
    SCOPED_TRACE(clip.Name);
    const std::string in = dir / (clip.Name + ".wav");
    std::string error;
    ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
    TBatchSettings s;
    s.OutputFolder = dir.Path();
    std::vector<std::string> lines;
    const TLoudness out = ConvertAndMeasure(s, in, lines);
    std::printf("%-18s -> %6.1f LUFS %6.1f dBTP\n", clip.Name.c_str(), out.Integrated, out.TruePeak);
    EXPECT_NEAR(out.Integrated, k.WantLufs, 1.0);
    EXPECT_EQ(HasLine(lines, "raised by no more than 30 dB"), k.Capped);
  }
}

// The measuring pass is the start of the progress: the figures rise from
// the first event of the measuring pass to the end of the conversion and
// never go back.
TEST(LoudnessTest, ProgressCoversBothPasses) {
  EnsureLibrariesLoaded();
  TTempDir dir;
  TClipSpec clip = ClipSpecByName("mkv");
  clip.DurationSeconds = 4;
  const std::string in = dir / "film.mkv";
  std::string error;
  ASSERT_TRUE(MakeClip(clip, in, &error)) << error;
  TCustomFFmpeg engine;
  std::vector<std::pair<int, int>> progress;  // frame, current
  int total = 0;
  engine.FOnProgress = [&](TCustomFFmpeg*, int Frame, int, int Current, float, float, int64_t, int Total) {
    progress.emplace_back(Frame, Current);
    total = Total;
  };
  engine.FProgressInterval = 0;
  TConversion c;
  c.OutputOptions = WindowDefaults();
  c.OutputOptions.emplace_back("loudness", "-16");
  ASSERT_TRUE(Convert(in, dir / "film.mp4", c, &engine)) << c.Error;
  ASSERT_GT(total, 3500);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front().first, 0) << "the measuring pass reports first";
  EXPECT_LE(progress.front().second, total * kMeasuringShare + 1);
  // The measuring pass's figures rise within its share; the conversion's
  // start where it ended.
  int measured = 0, converted = 0, lastMeasured = 0;
  for (const auto& [frame, current] : progress) {
    if (frame == 0 && converted == 0) {
      EXPECT_GE(current, lastMeasured);
      EXPECT_LE(current, total * kMeasuringShare + 1);
      lastMeasured = current;
      ++measured;
    } else {
      EXPECT_GE(current, lastMeasured) << "the conversion's progress starts after the measuring pass";
      ++converted;
    }
  }
  // The measurement is the first half of the share (a trial of the dynamic
  // levelling, the second half, is not needed here).
  EXPECT_GT(lastMeasured, total * kMeasuringShare / 4) << "the measuring pass moves the progress";
  EXPECT_GT(measured, 1);
  EXPECT_GT(converted, 1);
  EXPECT_GE(progress.back().second, total * 0.95);
}

}  // namespace
