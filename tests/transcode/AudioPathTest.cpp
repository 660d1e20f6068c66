// The audio side of a conversion and the window's settings: every setting
// list entry, bit rates, the audio sync methods, channel conversion, sample
// based encoders, and engines converting at the same time.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <numbers>
#include <sstream>
#include <thread>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

using AudioPathTest = TConversionTest;

double Rms(const std::vector<int16_t>& S, size_t From, size_t To) {
  double sum = 0;
  To = std::min(To, S.size());
  if (From >= To) return 0;
  for (size_t i = From; i < To; ++i) sum += static_cast<double>(S[i]) * S[i];
  return std::sqrt(sum / static_cast<double>(To - From));
}

bool Logged(const TConversion& C, const std::string& Prefix) {
  for (const auto& [level, text] : C.Log)
    if (text.rfind(Prefix, 0) == 0) return true;
  return false;
}

// Each entry of the window's setting lists converts at least once.
TEST_F(AudioPathTest, EverySettingListEntryConverts) {
  const char* sizes[] = {"160x120", "320x180", "320x240", "480x480", "640x272", "640x360", "720x306", "720x320"};
  const char* rates[] = {"Auto", "8", "10", "12", "15", "20", "23.97", "24", "25", "29.97", "30", "60"};
  const int sampleRates[] = {8000, 16000, 22050, 32000, 44100, 48000};
  const int videoKbps[] = {128, 1500, 512, 900};
  const int audioKbps[] = {32, 160, 80, 112};
  TClipSpec clipSpec = ClipSpecByName("avi_xvid");
  clipSpec.DurationSeconds = 0.5;
  const std::string in = MakeSpec(clipSpec);
  for (int i = 0; i < 12; ++i) {
    TWindowSettings w;
    w.Size = sizes[i % 8];
    w.FrameRate = rates[i];
    w.Channels = i % 2 + 1;
    w.SampleRate = sampleRates[i % 6];
    w.VideoKbps = videoKbps[i % 4];
    w.AudioKbps = audioKbps[i % 4];
    SCOPED_TRACE(w.Size + " " + w.FrameRate + " " + std::to_string(w.Channels) + " " + std::to_string(w.SampleRate));
    TConversion c;
    c.OutputOptions = WindowOptions(w);
    c.StampNow = true;  // the window's timestamp 0: now
    const std::string out = Dir / ("setting" + std::to_string(i) + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    TFileFacts f = ReadFacts(out);
    const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
    const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_EQ(std::to_string(v->Width) + "x" + std::to_string(v->Height), w.Size);
    // The synchronisation lets the output run up to 1.1 of its frames ahead
    // of the input before it drops, and repeats only beyond that.
    const double fps = w.FrameRate == "Auto" ? 25.0 : std::stod(w.FrameRate);
    EXPECT_NEAR(static_cast<double>(v->Packets), 0.5 * fps, std::max(2.5, fps / 25.0 + 0.5));
    EXPECT_EQ(a->Channels, w.Channels);
    EXPECT_EQ(a->SampleRate, w.SampleRate);
    EXPECT_FALSE(f.CreationTime.empty());
  }
}

TEST_F(AudioPathTest, BitRatesStayNearTheRequest) {
  TClipSpec clipSpec = ClipSpecByName("avi_xvid");
  clipSpec.DurationSeconds = 10.0;
  clipSpec.Width = 320;
  clipSpec.Height = 240;
  clipSpec.VideoBitRate = 3000000;
  clipSpec.Noise = 4;
  const std::string in = MakeSpec(clipSpec);
  TConversion c;
  c.OutputOptions = WindowDefaults();
  const std::string out = Dir / "rates.mp4";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  TFileFacts f = ReadFacts(out);
  const TStreamFacts* v = f.First(AVMEDIA_TYPE_VIDEO);
  const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  const double videoKbps = static_cast<double>(v->Bytes) * 8 / 10.0 / 1000;
  const double audioKbps = static_cast<double>(a->Bytes) * 8 / 10.0 / 1000;
  RecordProperty("video_kbps", std::to_string(videoKbps));
  RecordProperty("audio_kbps", std::to_string(audioKbps));
  EXPECT_NEAR(videoKbps, 512, 512 * 0.15);
  EXPECT_NEAR(audioKbps, 80, 80 * 0.15);
}

// Converts a video-only and an audio-only input, the audio shifted by
// AudioOffset, with the given output options.
bool ConvertTwoInputs(const std::string& Video, const std::string& Audio, const std::string& AudioOffset,
                      const std::vector<std::pair<std::string, std::string>>& InputOptions,
                      const std::vector<std::pair<std::string, std::string>>& Options, const std::string& Out,
                      TConversion& C) {
  TInput audio{Audio, {{"itsoffset", AudioOffset}}};
  audio.Options.insert(audio.Options.end(), InputOptions.begin(), InputOptions.end());
  C.OutputOptions = Options;
  return ConvertInputs({{Video, {}}, audio}, Out, C);
}

TEST_F(AudioPathTest, SyncMethodsHandleLateAudio) {
  TClipSpec video = ClipSpecByName("avi_video_only");
  video.DurationSeconds = 2.0;
  TClipSpec audio = ClipSpecByName("wma_audio_only");
  audio.Name = "tone";
  audio.Extension = ".wav";
  audio.FormatName = "wav";
  audio.AudioCodec = "pcm_s16le";
  audio.DurationSeconds = 1.5;
  const std::string v = MakeSpec(video), a = MakeSpec(audio);
  const std::vector<std::pair<std::string, std::string>> common = {
      {"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"ar", "44100"}, {"ac", "2"}, {"v", "3"}};

  // Without sync the audio simply starts where its input starts.
  TConversion off;
  auto options = common;
  ASSERT_TRUE(ConvertTwoInputs(v, a, "0.5", {}, options, Dir / "off.mp4", off)) << off.Error;
  EXPECT_FALSE(Logged(off, "adding")) << "no samples are added without sync";
  EXPECT_FALSE(Logged(off, "discarding"));
  TFileFacts f = ReadFacts(Dir / "off.mp4");
  ASSERT_TRUE(f.First(AVMEDIA_TYPE_AUDIO));
  EXPECT_NEAR(static_cast<double>(f.First(AVMEDIA_TYPE_AUDIO)->FirstPts), 500000, 60000);

  // With sync 1, silence fills the first half second.
  TConversion on;
  options.push_back({"async", "1"});
  ASSERT_TRUE(ConvertTwoInputs(v, a, "0.5", {}, options, Dir / "on.mp4", on)) << on.Error;
  EXPECT_TRUE(Logged(on, "adding 22050 audio samples of silence")) << "expected silence to be inserted";
  int channels = 0, rate = 0;
  const auto samples = DecodeAudio(Dir / "on.mp4", channels, rate);
  ASSERT_EQ(channels, 2);
  ASSERT_EQ(rate, 44100);
  f = ReadFacts(Dir / "on.mp4");
  EXPECT_NEAR(static_cast<double>(f.First(AVMEDIA_TYPE_AUDIO)->FirstPts), 0, 30000);
  // The encoder's own delay is at most 2048 samples; leave that aside.
  EXPECT_LT(Rms(samples, 2 * 2048, 2 * 20000), 50.0);
  EXPECT_GT(Rms(samples, 2 * 25000, 2 * 60000), 1000.0);
}

TEST_F(AudioPathTest, SyncDiscardsAudioBeforeTheStartAndCompensatesDrift) {
  TClipSpec clipSpec = ClipSpecByName("avi_xvid");
  clipSpec.DurationSeconds = 1.0;
  const std::string in = MakeSpec(clipSpec);
  // Starting at 0.3 s cuts into a decoded chunk: its head is discarded.
  TConversion cut;
  cut.InputOptions = {{"ss", "0.3"}};
  cut.OutputOptions = {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"async", "1"}, {"v", "3"}};
  ASSERT_TRUE(Convert(in, Dir / "cut.mp4", cut)) << cut.Error;
  EXPECT_TRUE(Logged(cut, "discarding ")) << "expected the head of the first chunk to be dropped";
  TFileFacts f = ReadFacts(Dir / "cut.mp4");
  ASSERT_TRUE(f.First(AVMEDIA_TYPE_AUDIO));
  const TStreamFacts* a = f.First(AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(static_cast<double>(a->EndUs - a->FirstPts), 700000, 100000);

  // Timestamps stretched by 0.2 %: a small drift that method 100 compensates
  // through the resampler and method 1 leaves alone.
  TClipSpec video = ClipSpecByName("avi_video_only");
  video.DurationSeconds = 4.0;
  TClipSpec audio = ClipSpecByName("wma_audio_only");
  audio.Name = "long_tone";
  audio.Extension = ".wav";
  audio.FormatName = "wav";
  audio.AudioCodec = "pcm_s16le";
  audio.DurationSeconds = 4.0;
  const std::string v = MakeSpec(video), w = MakeSpec(audio);
  for (const char* method : {"1", "100"}) {
    SCOPED_TRACE(method);
    TConversion c;
    ASSERT_TRUE(ConvertTwoInputs(v, w, "0", {{"itsscale", "0:1.002"}},
                                 {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"async", method}, {"v", "3"}},
                                 Dir / (std::string("drift") + method + ".mp4"), c))
        << c.Error;
    EXPECT_EQ(Logged(c, "compensating audio timestamp drift:"), std::string(method) == "100");
    EXPECT_FALSE(Logged(c, "discarding "));
  }
}

TEST_F(AudioPathTest, MonoBecomesStereoAndSampleEncodersGetOnePacketPerChunk) {
  // Mono 8 kHz AAC to stereo 48 kHz: both channels carry the tone.
  {
    const std::string in = MakeSpec(ClipSpecByName("mp4_audio_only_8k"));
    TConversion c;
    c.OutputOptions = {{"acodec", "libfaac"}, {"ac", "2"}, {"ar", "48000"}};
    ASSERT_TRUE(Convert(in, Dir / "stereo.mp4", c)) << c.Error;
    int channels = 0, rate = 0;
    const auto s = DecodeAudio(Dir / "stereo.mp4", channels, rate);
    ASSERT_EQ(channels, 2);
    EXPECT_EQ(rate, 48000);
    std::vector<int16_t> left, right;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
      left.push_back(s[i]);
      right.push_back(s[i + 1]);
    }
    EXPECT_GT(Rms(left, 4096, 40000), 1000.0);
    EXPECT_NEAR(Rms(left, 4096, 40000), Rms(right, 4096, 40000), 50.0);
  }
  // A PCM encoder writes one packet for every decoded chunk.
  {
    const std::string in = MakeSpec(ClipSpecByName("avi_msmpeg4v3"));  // PCM audio
    TConversion c;
    c.OutputOptions = {{"vn", ""}, {"acodec", "pcm_s16le"}};
    ASSERT_TRUE(Convert(in, Dir / "pcm.avi", c)) << c.Error;
    EXPECT_EQ(ReadFacts(Dir / "pcm.avi").First(AVMEDIA_TYPE_AUDIO)->Packets,
              ReadFacts(in).First(AVMEDIA_TYPE_AUDIO)->Packets);
  }
}

TEST_F(AudioPathTest, VolumeScalesAndClipsEverySample) {
  // PCM in, PCM out: every sample is the input's times vol / 256, clipped,
  // also for volumes whose products leave 32 bits.
  const std::string in = MakeSpec(ClipSpecByName("avi_msmpeg4v3"));
  int channels = 0, rate = 0;
  const auto source = DecodeAudio(in, channels, rate);
  ASSERT_FALSE(source.empty());
  for (const int volume : {512, 200000, 1000000}) {
    SCOPED_TRACE(volume);
    TConversion c;
    c.OutputOptions = {{"vn", ""}, {"acodec", "pcm_s16le"}, {"vol", std::to_string(volume)}};
    const std::string out = Dir / ("vol" + std::to_string(volume) + ".wav");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    const auto scaled = DecodeAudio(out, channels, rate);
    ASSERT_EQ(scaled.size(), source.size());
    size_t wrong = 0;
    for (size_t i = 0; i < source.size(); ++i)
      if (scaled[i] != clip<int64_t>((int64_t{source[i]} * volume + 128) >> 8, -32768, 32767)) ++wrong;
    EXPECT_EQ(wrong, 0u);
  }
}

// Level in dBFS (the sine's peak against full scale) of the tone of Frequency
// Hz in one channel of interleaved samples: one DFT bin over Count samples
// from From, a window that holds whole periods of every test tone.
double ToneDbfs(const std::vector<float>& S, int Channels, int Channel, double Frequency, int Rate, size_t From,
                size_t Count) {
  double re = 0, im = 0;
  for (size_t i = 0; i < Count; ++i) {
    const double x = S[(From + i) * static_cast<size_t>(Channels) + static_cast<size_t>(Channel)];
    const double phase = 2 * std::numbers::pi * Frequency * static_cast<double>(i) / Rate;
    re += x * std::cos(phase);
    im -= x * std::sin(phase);
  }
  return 20 * std::log10(std::max(2 * std::hypot(re, im) / static_cast<double>(Count), 1e-12));
}

double Gain(double Db) { return std::pow(10.0, Db / 20.0); }

// A tone at SourceDb taken into a channel with gain G: there at the level the
// gain gives it or, for G = 0, at least 40 dB below the source.
void ExpectThroughGain(double LevelDb, double SourceDb, double G, double ToleranceDb) {
  if (G > 0)
    EXPECT_NEAR(LevelDb, SourceDb + 20 * std::log10(G), ToleranceDb);
  else
    EXPECT_LT(LevelDb, SourceDb - 40);
}

// The clip with every channel's sine peaking at the same moments, the loudest
// a mix of them can get.
TClipSpec InPhase(TClipSpec S) {
  S.Name += "_in_phase";
  S.TonePhase = std::numbers::pi / 2;
  return S;
}

// Mono, stereo and 5.1 tones (every channel its own frequency) converted to
// stereo, and stereo to mono: each input channel's tone must reach each
// output channel at the level the mix gives it, and no sample beyond full
// scale. 5.1 takes the centre and surround levels (the stream's, or -3 dB),
// drops the LFE and is scaled by 1 / (1 + centre + surround), the most a mix
// of full-scale channels can add up to; stereo to mono by 1 / 2. Measured as
// float samples: as 32-bit float PCM, what the encoder would be given, or
// decoded from the window's AAC output.
TEST_F(AudioPathTest, DownmixKeepsEachToneAtItsLevelAndBelowFullScale) {
  const double off = -std::numeric_limits<double>::infinity();
  struct TCase {
    TClipSpec Source;
    bool Window;         // the window's job (AAC, 44.1 kHz, stereo) instead of float PCM
    int OutChannels;
    double CentreDb;     // the centre and surround mix levels the output must show
    double SurroundDb;
    const char* LogLine;  // the log's downmix line; nullptr: none
    double ToleranceDb;
  };
  const char* usual = "5.1 downmixed with the usual mix levels";
  const char* signalled = "5.1 downmixed with the stream's mix levels";
  const TCase cases[] = {
      {ToneClipSpec(1, -20), false, 2, 0, 0, nullptr, 0.1},
      {ToneClipSpec(2, -20), false, 2, 0, 0, nullptr, 0.1},
      {ToneClipSpec(2, -20), false, 1, 0, 0, "2.0 downmixed with the usual mix levels", 0.1},
      {ToneClipSpec(6, -20), false, 2, -3, -3, usual, 0.1},
      {InPhase(ToneClipSpec(6, -6)), false, 2, -3, -3, usual, 0.1},
      {InPhase(ToneClipSpec(6, -6)), true, 2, -3, -3, usual, 0.5},
      {Ac3MixLevelClipSpec(Gain(-4.5), Gain(-6), -6), false, 2, -4.5, -6, signalled, 0.3},
      {Ac3MixLevelClipSpec(Gain(-6), 0, -20), false, 2, -6, off, signalled, 0.3},
  };
  int row = 0;
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Source.Name + (k.Window ? " through the window's job" : " to float PCM"));
    const std::string in = MakeSpec(k.Source);
    TConversion c;
    c.OutputOptions = k.Window ? WindowDefaults()
                               : std::vector<std::pair<std::string, std::string>>{
                                     {"acodec", "pcm_f32le"}, {"ac", std::to_string(k.OutChannels)}, {"ar", "48000"}};
    const std::string out = Dir / ("downmix" + std::to_string(row++) + (k.Window ? ".mp4" : ".wav"));
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    int channels = 0, rate = 0;
    const auto s = DecodeAudioFloat(out, channels, rate);
    ASSERT_EQ(channels, k.OutChannels);
    ASSERT_GE(s.size(), static_cast<size_t>(channels * rate * 3 / 4));

    // The gain of each input channel in each output channel.
    std::vector<std::vector<double>> gains;
    if (k.Source.Channels == 1) {
      gains = {{Gain(-3), Gain(-3)}};
    } else if (k.Source.Channels == 2) {
      gains = k.OutChannels == 1 ? std::vector<std::vector<double>>{{0.5}, {0.5}}
                                 : std::vector<std::vector<double>>{{1, 0}, {0, 1}};
    } else {
      const double centre = Gain(k.CentreDb), surround = Gain(k.SurroundDb), norm = 1 + centre + surround;
      // FL FR FC LFE and the two surrounds.
      gains = {{1 / norm, 0}, {0, 1 / norm}, {centre / norm, centre / norm}, {0, 0}, {surround / norm, 0},
               {0, surround / norm}};
    }
    const double sourceDb = 20 * std::log10(k.Source.ToneAmplitude);
    for (int ch = 0; ch < k.Source.Channels; ++ch) {
      const double f = TestToneFrequency(ch);
      for (int o = 0; o < channels; ++o) {
        SCOPED_TRACE("input channel " + std::to_string(ch) + " in output channel " + std::to_string(o));
        ExpectThroughGain(ToneDbfs(s, channels, o, f, rate, rate / 4, rate / 2), sourceDb, gains[ch][o],
                          k.ToleranceDb);
      }
    }
    float peak = 0;
    for (float v : s) peak = std::max(peak, std::fabs(v));
    EXPECT_LT(peak, 1.0f);
    if (k.LogLine)
      EXPECT_TRUE(Logged(c, k.LogLine)) << "expected the line " << k.LogLine;
    else
      for (const auto& [level, text] : c.Log) EXPECT_EQ(text.find("downmixed"), std::string::npos) << text;
  }
}

// Two channels on speakers the resampler will not mix into stereo (only one
// front channel, or none): each is taken as stereo, left and right, instead of
// failing the conversion, and the log says so. Through the window's job; the
// float one goes through the decoder's sample conversion first.
TEST_F(AudioPathTest, TwoChannelLayoutsTheResamplerRefusesAreTakenAsStereo) {
  struct TCase {
    uint64_t Mask;
    const char* Codec;
    const char* LogLine;
  };
  const TCase cases[] = {
      {AV_CH_FRONT_LEFT | AV_CH_FRONT_CENTER, "pcm_s16le", "channel layout 2 channels (FL+FC) refused, converted as stereo"},
      {AV_CH_FRONT_LEFT | AV_CH_LOW_FREQUENCY, "pcm_s16le",
       "channel layout 2 channels (FL+LFE) refused, converted as stereo"},
      {AV_CH_BACK_LEFT | AV_CH_BACK_RIGHT, "pcm_s16le", "channel layout 2 channels (BL+BR) refused, converted as stereo"},
      {AV_CH_FRONT_LEFT | AV_CH_FRONT_CENTER, "pcm_f32le", "channel layout 2 channels (FL+FC) refused, converted as stereo"},
  };
  int row = 0;
  for (const TCase& k : cases) {
    TClipSpec clip = ToneClipSpec(2, -20);
    clip.Name = "layout" + std::to_string(row++) + "_" + k.Codec;
    clip.AudioCodec = k.Codec;
    clip.ChannelMask = k.Mask;
    SCOPED_TRACE(k.LogLine);
    const std::string in = MakeSpec(clip);
    TConversion c;
    c.OutputOptions = WindowDefaults();
    const std::string out = Dir / (clip.Name + ".mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;
    int channels = 0, rate = 0;
    const auto s = DecodeAudioFloat(out, channels, rate);
    ASSERT_EQ(channels, 2);
    ASSERT_GE(s.size(), static_cast<size_t>(channels * rate * 3 / 4));
    for (int ch = 0; ch < 2; ++ch)
      for (int o = 0; o < 2; ++o) {
        const double level = ToneDbfs(s, channels, o, TestToneFrequency(ch), rate, rate / 4, rate / 2);
        std::printf("%s: tone of channel %d in output channel %d at %.2f dBFS\n", clip.Name.c_str(), ch, o, level);
        SCOPED_TRACE("input channel " + std::to_string(ch) + " in output channel " + std::to_string(o));
        ExpectThroughGain(level, -20, ch == o ? 1 : 0, 0.5);
      }
    bool logged = false;
    for (const auto& [level, text] : c.Log) logged = logged || text.find(k.LogLine) != std::string::npos;
    EXPECT_TRUE(logged) << "expected a line with " << k.LogLine;
  }
}

std::string ReadAll(const std::string& Path) {
  std::ifstream f(Path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Two AC-3 recordings joined, the first signalling -3 dB for the centre and
// the surrounds, the second -6 dB and no surrounds: each second of the stereo
// mix follows the levels of its own frames.
TEST_F(AudioPathTest, MixLevelsChangingMidStreamApplyFromTheirFrames) {
  const std::string joined = Dir / "joined.ac3";
  std::ofstream(joined, std::ios::binary) << ReadAll(MakeSpec(Ac3MixLevelClipSpec(Gain(-3), Gain(-3), -20)))
                                          << ReadAll(MakeSpec(Ac3MixLevelClipSpec(Gain(-6), 0, -20)));
  TConversion c;
  c.OutputOptions = {{"acodec", "pcm_f32le"}, {"ac", "2"}, {"ar", "48000"}};
  ASSERT_TRUE(Convert(joined, Dir / "joined.wav", c)) << c.Error;
  int channels = 0, rate = 0;
  const auto s = DecodeAudioFloat(Dir / "joined.wav", channels, rate);
  ASSERT_EQ(channels, 2);
  ASSERT_GE(s.size(), static_cast<size_t>(2 * rate * 7 / 4));
  struct {
    size_t From;
    double Centre, Surround;
  } parts[] = {{static_cast<size_t>(rate / 4), Gain(-3), Gain(-3)}, {static_cast<size_t>(rate * 5 / 4), Gain(-6), 0}};
  for (const auto& p : parts) {
    SCOPED_TRACE("from sample " + std::to_string(p.From));
    const double norm = 1 + p.Centre + p.Surround;
    auto level = [&](int Channel) { return ToneDbfs(s, 2, 0, TestToneFrequency(Channel), rate, p.From, rate / 2); };
    ExpectThroughGain(level(0), -20, 1 / norm, 0.3);
    ExpectThroughGain(level(2), -20, p.Centre / norm, 0.3);
    ExpectThroughGain(level(4), -20, p.Surround / norm, 0.3);
  }
}

TEST_F(AudioPathTest, EnginesConvertingAtTheSameTimeGiveTheSameFiles) {
  const std::string a = MakeSpec(ClipSpecByName("avi_xvid"));
  const std::string b = MakeSpec(ClipSpecByName("wmv"));
  auto run = [&](const std::string& In, const std::string& Out) {
    TConversion c;
    c.OutputOptions = WindowDefaults();
    EXPECT_TRUE(Convert(In, Out, c)) << c.Error;
  };
  run(a, Dir / "a1.mp4");
  run(b, Dir / "b1.mp4");
  std::thread ta([&] { run(a, Dir / "a2.mp4"); });
  std::thread tb([&] { run(b, Dir / "b2.mp4"); });
  ta.join();
  tb.join();
  EXPECT_EQ(ReadAll(Dir / "a1.mp4"), ReadAll(Dir / "a2.mp4"));
  EXPECT_EQ(ReadAll(Dir / "b1.mp4"), ReadAll(Dir / "b2.mp4"));
  EXPECT_GT(ReadAll(Dir / "a1.mp4").size(), 1000u);
}

}  // namespace
