// Pictures on time: each output frame shows the source picture on screen at
// the middle of the frame, the last picture lasts its whole duration, and the
// sound keeps its offset to the pictures. The clips carry their picture
// numbers as a bar code, and a flash with a beep at the same instant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "ConvertHelper.h"
#include "MediaMaker.h"
#include "TestSupport.h"

namespace {

struct TInputCloser {
  void operator()(AVFormatContext* C) const { ff::avformat_close_input(&C); }
};
struct TCodecFree {
  void operator()(AVCodecContext* C) const { ff::avcodec_free_context(&C); }
};
struct TPacketFree {
  void operator()(AVPacket* P) const { ff::av_packet_free(&P); }
};
struct TFrameFree {
  void operator()(AVFrame* F) const { ff::av_frame_free(&F); }
};

// What a file shows and sounds, in microseconds from the file's start.
struct TTimeline {
  int64_t VideoStartUs = 0;            // the video stream's first time
  int64_t VideoEndUs = 0;              // the end of its last packet (time plus duration)
  std::vector<int64_t> Codes;          // the picture number each decoded picture shows, in display order
  std::vector<int64_t> PictureUs;      // each decoded picture's own time
  std::vector<size_t> Flashes;         // decoded pictures that start a flash
  std::vector<double> BeepUs;          // where each beep starts
};

// Decodes the first video and audio streams of Path.
TTimeline ReadTimeline(const std::string& Path) {
  TTimeline t;
  for (const AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
    AVFormatContext* raw = nullptr;
    if (ff::avformat_open_input(&raw, Path.c_str(), nullptr, nullptr) < 0) return t;
    std::unique_ptr<AVFormatContext, TInputCloser> ic(raw);
    if (ff::avformat_find_stream_info(ic.get(), nullptr) < 0) return t;
    const int64_t fileStart = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time;
    const int index = ff::av_find_best_stream(ic.get(), type, -1, -1, nullptr, 0);
    if (index < 0) continue;
    AVStream* st = ic->streams[index];
    auto us = [&](int64_t Ts) { return ff::av_rescale_q(Ts, st->time_base, AV_TIME_BASE_Q) - fileStart; };
    if (type == AVMEDIA_TYPE_VIDEO) t.VideoStartUs = st->start_time == AV_NOPTS_VALUE ? 0 : us(st->start_time);
    std::unique_ptr<AVCodecContext, TCodecFree> dec(
        ff::avcodec_alloc_context3(ff::avcodec_find_decoder(st->codecpar->codec_id)));
    if (!dec || ff::avcodec_parameters_to_context(dec.get(), st->codecpar) < 0 ||
        ff::avcodec_open2(dec.get(), dec->codec, nullptr) < 0)
      continue;
    std::unique_ptr<AVPacket, TPacketFree> pkt(ff::av_packet_alloc());
    std::unique_ptr<AVFrame, TFrameFree> frame(ff::av_frame_alloc());
    bool flash = false;
    int quiet = 0;
    bool armed = true;
    int64_t nextSampleUs = 0;
    auto take = [&] {
      while (ff::avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
        const int64_t ts = frame->best_effort_timestamp;
        if (type == AVMEDIA_TYPE_VIDEO) {
          if (IsFlashPicture(frame.get()) && !flash) t.Flashes.push_back(t.Codes.size());
          flash = IsFlashPicture(frame.get());
          t.Codes.push_back(ReadFrameCode(frame.get()));
          t.PictureUs.push_back(ts == AV_NOPTS_VALUE ? -1 : us(ts));
        } else {
          const int64_t startUs = ts == AV_NOPTS_VALUE ? nextSampleUs : us(ts);
          const int channels = frame->ch_layout.nb_channels;
          for (int i = 0; i < frame->nb_samples; ++i) {
            double v = 0;
            if (frame->format == AV_SAMPLE_FMT_FLTP)
              v = reinterpret_cast<const float*>(frame->extended_data[0])[i];
            else if (frame->format == AV_SAMPLE_FMT_S16P)
              v = reinterpret_cast<const int16_t*>(frame->extended_data[0])[i] / 32768.0;
            else if (frame->format == AV_SAMPLE_FMT_S16)
              v = reinterpret_cast<const int16_t*>(frame->data[0])[i * channels] / 32768.0;
            else if (frame->format == AV_SAMPLE_FMT_FLT)
              v = reinterpret_cast<const float*>(frame->data[0])[i * channels];
            else if (frame->format == AV_SAMPLE_FMT_S32P)
              v = reinterpret_cast<const int32_t*>(frame->extended_data[0])[i] / 2147483648.0;
            else if (frame->format == AV_SAMPLE_FMT_S32)
              v = reinterpret_cast<const int32_t*>(frame->data[0])[i * channels] / 2147483648.0;
            // A beep starts where the sound first reaches half its amplitude
            // after at least 5 ms of silence.
            quiet = std::fabs(v) < 0.02 ? quiet + 1 : 0;
            if (quiet >= frame->sample_rate / 200) armed = true;
            if (std::fabs(v) > kBeepAmplitude / 2 && armed) {
              t.BeepUs.push_back(static_cast<double>(startUs) + i * 1e6 / frame->sample_rate);
              armed = false;
            }
          }
          nextSampleUs = startUs + frame->nb_samples * int64_t{1000000} / frame->sample_rate;
        }
      }
    };
    while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
      if (type == AVMEDIA_TYPE_VIDEO && pkt->stream_index == index && pkt->pts != AV_NOPTS_VALUE)
        t.VideoEndUs = std::max(t.VideoEndUs, us(pkt->pts + pkt->duration));
      if (pkt->stream_index == index && ff::avcodec_send_packet(dec.get(), pkt.get()) >= 0) take();
      ff::av_packet_unref(pkt.get());
    }
    ff::avcodec_send_packet(dec.get(), nullptr);
    take();
  }
  return t;
}

// The beep that belongs to a flash at FlashUs: the nearest one, if any is
// within a fifth of a second.
const double* BeepNear(const TTimeline& T, double FlashUs) {
  const double* best = nullptr;
  for (const double& b : T.BeepUs)
    if (std::fabs(b - FlashUs) < 200000 && (!best || std::fabs(b - FlashUs) < std::fabs(*best - FlashUs))) best = &b;
  return best;
}

using PictureTimingTest = TConversionTest;

TEST_F(PictureTimingTest, EveryFrameShowsThePictureOnScreenAtItsMiddleAndTheSoundKeepsItsOffset) {
  struct TCase {
    const char* Name;
    const char* Preset;
    const char* VideoCodec;  // empty: the preset's
    AVRational Rate;         // {0, 1}: the preset's
    int BFrames;
    bool Packed, VariableRate, Milliseconds;
    int64_t VideoOffsetUs, AudioOffsetUs;
    bool AutoRate = false;  // the window's frame rate "Auto": the source's pictures at their own times
    const char* AudioCodec = "";  // empty: the preset's
    int SampleRate = 0;           // 0: the preset's
  };
  const TCase cases[] = {
      {"mp4_h264_bframes", "mp4", "libx264", {25, 1}, 2, false, false, false, 0, 0},
      {"avi_bframes", "avi_xvid", "", {25, 1}, 2, false, false, false, 0, 0},
      {"avi_packed_bframes", "avi_xvid", "", {25, 1}, 1, true, false, false, 0, 0},
      {"avi_2997_bframes", "avi_xvid", "", {30000, 1001}, 2, false, false, false, 0, 0},
      {"avi_2997_packed_bframes", "avi_xvid", "", {30000, 1001}, 1, true, false, false, 0, 0},
      {"avi_23976_bframes", "avi_xvid", "", {24000, 1001}, 2, false, false, false, 0, 0},
      {"avi_23976_packed_bframes", "avi_xvid", "", {24000, 1001}, 1, true, false, false, 0, 0},
      {"mkv_23976", "mkv", "", {24000, 1001}, 0, false, false, false, 0, 0},
      {"mpeg_ps_2997", "mpeg2_ps", "", {0, 1}, 2, false, false, false, 0, 0},
      {"wmv", "wmv", "", {0, 1}, 0, false, false, false, 0, 0},
      {"flv", "flv", "", {0, 1}, 0, false, false, false, 0, 0},
      {"mp4_variable_rate", "mp4", "", {30, 1}, 0, false, true, false, 0, 0},
      {"mp4_variable_rate_auto", "mp4", "", {30, 1}, 0, false, true, false, 0, 0, true},
      {"mp4_10", "mp4", "", {10, 1}, 0, false, false, false, 0, 0},
      {"mp4_24", "mp4", "", {24, 1}, 0, false, false, false, 0, 0},
      {"mkv_video_7ms_in", "mkv", "", {25, 1}, 0, false, false, true, 7000, 0},
      {"mkv_video_half_second_late", "mkv", "", {25, 1}, 0, false, false, true, 500000, 0},
      {"mp4_sound_half_second_late", "mp4", "", {25, 1}, 0, false, false, false, 0, 500000},
      // Sound in large frames (4,096 samples and more), from decoders that
      // can decode on several threads.
      {"mkv_flac_16k", "mkv", "", {25, 1}, 0, false, false, false, 0, 0, false, "flac", 16000},
      {"mkv_flac_44k", "mkv", "", {25, 1}, 0, false, false, false, 0, 0, false, "flac", 44100},
      {"mkv_flac_48k", "mkv", "", {25, 1}, 0, false, false, false, 0, 0, false, "flac", 48000},
      {"mp4_alac_48k", "mp4", "", {25, 1}, 0, false, false, false, 0, 0, false, "alac", 48000},
  };
  constexpr double kOutRate = 30;
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TClipSpec clip = ClipSpecByName(k.Preset);
    clip.Name = k.Name;
    if (*k.VideoCodec) clip.VideoCodec = k.VideoCodec;
    if (*k.AudioCodec) clip.AudioCodec = k.AudioCodec;
    if (k.SampleRate) clip.SampleRate = k.SampleRate;
    if (k.Rate.num) clip.FrameRate = k.Rate;
    clip.BFrames = k.BFrames;
    clip.PackedBFrames = k.Packed;
    clip.VariableRate = k.VariableRate;
    clip.MillisecondStamps = k.Milliseconds;
    clip.VideoOffsetUs = k.VideoOffsetUs;
    clip.AudioOffsetUs = k.AudioOffsetUs;
    clip.VideoBitRate = 800000;
    clip.DurationSeconds = 2.3;
    clip.FrameCode = true;
    clip.FlashSeconds = 2;
    const std::string in = MakeSpec(clip);
    TConversion c;
    TWindowSettings window;
    if (k.AutoRate) window.FrameRate = "Auto";
    c.OutputOptions = WindowOptions(window);
    const std::string out = Dir / (clip.Name + "-out.mp4");
    ASSERT_TRUE(Convert(in, out, c)) << c.Error;

    // Where each picture is in the source, from the file's start.
    const TTimeline source = ReadTimeline(in);
    const int64_t pictures = ClipVideoFrameCount(clip);
    ASSERT_EQ(static_cast<int64_t>(source.Codes.size()), pictures);
    auto sourceUs = [&](int64_t N) {
      return source.VideoStartUs + ClipPictureTimeUs(clip, N) - ClipPictureTimeUs(clip, 0);
    };
    // The picture on screen at T (the first one before it starts).
    auto onScreen = [&](double T) {
      int64_t n = 0;
      while (n + 1 < pictures && sourceUs(n + 1) <= T) ++n;
      return n;
    };

    const TTimeline output = ReadTimeline(out);
    // The last picture is shown until its end: the source's duration times
    // the output rate, rounded; at the source's own rate, every picture once
    // and the video ends where the source's does (to the millisecond).
    const double endUs = sourceUs(pictures);
    if (k.AutoRate)
      EXPECT_EQ(static_cast<int64_t>(output.Codes.size()), pictures);
    else
      EXPECT_NEAR(static_cast<double>(output.Codes.size()), endUs * kOutRate / 1e6, 0.51);
    EXPECT_NEAR(static_cast<double>(output.VideoEndUs), endUs, k.AutoRate ? 1000 : 1e6 / kOutRate / 2 + 1000);
    if (!output.Codes.empty())
      std::printf("%s: last picture %lld of %lld shown last, video ends at %.1f ms (source %.1f ms)\n", k.Name,
                  static_cast<long long>(output.Codes.back()) + 1, static_cast<long long>(pictures),
                  static_cast<double>(output.VideoEndUs) / 1000, endUs / 1000);
    // Each frame shows the picture on screen at its middle (at the source's
    // rate: at its own time); a picture within a millisecond of that may show
    // either way (container rounding).
    int wrong = 0;
    for (size_t f = 0; f < output.Codes.size(); ++f) {
      const double middle = (static_cast<double>(f) + 0.5) * 1e6 / kOutRate;
      const double ownUs = static_cast<double>(output.PictureUs[f]);
      const int64_t early = k.AutoRate ? onScreen(ownUs) : onScreen(middle - 1000);
      const int64_t late = k.AutoRate ? onScreen(ownUs + 1000) : onScreen(middle + 1000);
      if (output.Codes[f] != early && output.Codes[f] != late && ++wrong <= 3)
        ADD_FAILURE() << "output frame " << f << " shows picture " << output.Codes[f] << ", not " << late;
    }
    EXPECT_EQ(wrong, 0);

    // Every flash with a beep keeps its offset to it within half an output frame.
    int pairs = 0;
    for (const size_t f : output.Flashes) {
      const double flashUs = static_cast<double>(output.PictureUs[f]);
      const double* outBeep = BeepNear(output, flashUs);
      const double sourceFlashUs = sourceUs(output.Codes[f]);
      const double* sourceBeep = BeepNear(source, sourceFlashUs);
      if (!outBeep || !sourceBeep) continue;
      ++pairs;
      const double sourceOffset = sourceFlashUs - *sourceBeep, outputOffset = flashUs - *outBeep;
      std::printf("%s: flash at %.1f ms, A/V offset %+.1f ms in the source, %+.1f ms in the output\n", k.Name,
                  sourceFlashUs / 1000, sourceOffset / 1000, outputOffset / 1000);
      EXPECT_NEAR(outputOffset, sourceOffset, 1e6 / kOutRate / 2 + 1000) << "flash at " << flashUs;
    }
    EXPECT_EQ(pairs, 1);
  }
}

// At the source's own rate (frame rate "Auto" on a variable-rate MP4) a
// recording time halfway through a picture ends the video there: that
// picture is the last one and lasts until then, no longer.
TEST_F(PictureTimingTest, AtTheSourcesRateTheRecordingTimeEndsTheLastPicture) {
  TClipSpec clip = ClipSpecByName("mp4");
  clip.Name = "mp4_variable_rate_cut";
  clip.VariableRate = true;
  clip.FrameRate = {30, 1};
  clip.DurationSeconds = 1.5;
  clip.FrameCode = true;
  const std::string in = MakeSpec(clip);
  const TTimeline source = ReadTimeline(in);
  size_t last = 0;
  while (last + 2 < source.PictureUs.size() && source.PictureUs[last] < 900000) ++last;
  const int64_t endMs = (source.PictureUs[last] + source.PictureUs[last + 1]) / 2000;
  TConversion c;
  TWindowSettings window;
  window.FrameRate = "Auto";
  c.OutputOptions = WindowOptions(window);
  c.OutputOptions.emplace_back("t", std::to_string(endMs / 1000) + "." + std::to_string(1000 + endMs % 1000).substr(1));
  const std::string out = Dir / "cut.mp4";
  ASSERT_TRUE(Convert(in, out, c)) << c.Error;
  const TTimeline output = ReadTimeline(out);
  ASSERT_FALSE(output.Codes.empty());
  EXPECT_EQ(output.Codes.back(), source.Codes[last]);
  EXPECT_NEAR(static_cast<double>(output.VideoEndUs), static_cast<double>(endMs) * 1000, 1000) << "cut at " << endMs;
}

}  // namespace
