// The audio output path: channel count, rate and sample format conversion,
// keeping audio in step with the input timestamps (silence, discarding, drift
// compensation), and cutting the result into encoder frames.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>

#include "FFmpeg.h"
#include "MyUtils.h"

namespace {

constexpr int kMaxSilenceBytes = 131072;

// The level of the centre and of each surround in a stereo mix when the
// stream signals none: -3 dB.
constexpr double kUsualMixLevel = std::numbers::sqrt2 / 2;

constexpr uint64_t kSurroundChannels =
    AV_CH_BACK_LEFT | AV_CH_BACK_RIGHT | AV_CH_BACK_CENTER | AV_CH_SIDE_LEFT | AV_CH_SIDE_RIGHT;
constexpr uint64_t kLfeChannels = AV_CH_LOW_FREQUENCY | AV_CH_LOW_FREQUENCY_2;

// A layout as speakers are counted: full-range channels, a dot, LFE channels
// ("5.1", "2.0"); a layout without a channel mask by its channel count.
std::string SpeakerCount(uint64_t Mask, int Channels) {
  if (!Mask) return std::to_string(Channels) + " channels";
  const int lfe = std::popcount(Mask & kLfeChannels);
  return std::to_string(Channels - lfe) + "." + std::to_string(lfe);
}

}  // namespace

void TCustomFFmpeg::NoteMixLevels(InputStreamState* Ist, const AVFrame* Frame) {
  const AVFrameSideData* side = ff::av_frame_get_side_data(Frame, AV_FRAME_DATA_DOWNMIX_INFO);
  const auto* info = side && side->size >= static_cast<int>(sizeof(AVDownmixInfo))
                         ? reinterpret_cast<const AVDownmixInfo*>(side->data)
                         : nullptr;
  Ist->DecCentreMix = info ? info->center_mix_level : -1;
  Ist->DecSurroundMix = info ? info->surround_mix_level : -1;
}

int TCustomFFmpeg::OpenSoundConverter(SwrContext*& Swr, const AVCodecContext* Enc, AVSampleFormat OutFormat,
                                      AVSampleFormat InFormat, int InRate, int InChannels, uint64_t InMask,
                                      double Centre, double Surround, std::string* Refused, uint64_t* UsedMask) const {
  // Fewer output channels: the centre and the surrounds join the front at the
  // stream's levels or the usual ones, the LFE is left out, and each output
  // channel's gains are scaled to add up to at most 1, so that no mix of
  // channels within full scale can pass it (without that, a float encoder is
  // given a loud 5.1 mix up to 7.7 dB over full scale).
  const bool signalled = Centre >= 0 && Surround >= 0;
  const double centre = signalled ? Centre : kUsualMixLevel;
  const double surround = signalled ? Surround : kUsualMixLevel;
  auto make = [&](AVChannelLayout& In) {
    int r = ff::swr_alloc_set_opts2(&Swr, const_cast<AVChannelLayout*>(&Enc->ch_layout), OutFormat, Enc->sample_rate, &In, InFormat, InRate, 0,
                                    nullptr);
    if (r >= 0 && (r = ff::av_opt_set_double(Swr, "center_mix_level", centre, 0)) >= 0 &&
        (r = ff::av_opt_set_double(Swr, "surround_mix_level", surround, 0)) >= 0 &&
        (r = ff::av_opt_set_double(Swr, "lfe_mix_level", 0, 0)) >= 0 &&
        (r = ff::av_opt_set_double(Swr, "rematrix_maxval", 1, 0)) >= 0)
      r = ff::swr_init(Swr);
    if (r < 0 && Swr) ff::swr_free(&Swr);
    return r;
  };
  // The resampler divides by the sample size: unknown formats never reach it.
  const bool usable = SamplesUsable(OutFormat, Enc->sample_rate, Enc->ch_layout.nb_channels) &&
                      SamplesUsable(InFormat, InRate, InChannels);
  AVChannelLayout inLayout{}, fallback{};
  if (InMask)
    ff::av_channel_layout_from_mask(&inLayout, InMask);
  else
    ff::av_channel_layout_default(&inLayout, InChannels);
  ff::av_channel_layout_default(&fallback, InChannels);
  // A layout of another channel count, or one the resampler refuses (two
  // channels with a single front speaker, or none), is taken as the default
  // layout for the channel count: the channels keep their sound, on the
  // default speakers, instead of failing the conversion.
  const bool fits = inLayout.nb_channels == InChannels;
  int r = !usable ? AVERROR(EINVAL) : fits ? make(inLayout) : -1;
  uint64_t used = inLayout.order == AV_CHANNEL_ORDER_NATIVE ? inLayout.u.mask : 0;
  if (usable && r < 0 && ff::av_channel_layout_compare(&inLayout, &fallback) != 0 && make(fallback) >= 0) {
    r = 0;
    char from[128] = "", to[128] = "";
    ff::av_channel_layout_describe(&inLayout, from, sizeof from);
    ff::av_channel_layout_describe(&fallback, to, sizeof to);
    if (Refused) *Refused = std::string("channel layout ") + from + " refused, converted as " + to;
    used = fallback.order == AV_CHANNEL_ORDER_NATIVE ? fallback.u.mask : 0;
  }
  ff::av_channel_layout_uninit(&inLayout);
  ff::av_channel_layout_uninit(&fallback);
  if (UsedMask) *UsedMask = used;
  return r;
}

void TCustomFFmpeg::CreateResampler(OutputStreamState* Ost, const InputStreamState* Ist, int DecChannels, int DecRate) {
  AVCodecContext* enc = Ost->CodecCtx;
  const int encChannels = enc->ch_layout.nb_channels;
  const int rate = enc->sample_rate;
  const bool signalled = Ist->DecCentreMix >= 0 && Ist->DecSurroundMix >= 0;
  std::string refused;
  uint64_t inMask = 0;
  const int r = OpenSoundConverter(Ost->Resample, enc, enc->sample_fmt, AV_SAMPLE_FMT_S16, DecRate, DecChannels,
                                   Ist->DecLayout, Ist->DecCentreMix, Ist->DecSurroundMix, &refused, &inMask);
  if (r >= 0 && !refused.empty() && FVerbose >= 0 && FOnLog)
    LogFmt(1, "Stream #%d.%d -> #%d.%d: %s", Ist->FileIndex, Ist->StreamIndex, Ost->FileIndex, Ost->StreamIndex,
           refused.c_str());
  if (r < 0) {
    char text[256];
    if (Ost->AudioResample || DecRate != rate)
      std::snprintf(text, sizeof text, "Can not resample %d channels @ %d Hz to %d channels @ %d Hz", DecChannels,
                    DecRate, encChannels, rate);
    else
      std::snprintf(text, sizeof text, "Cannot convert %s sample format to %s sample format",
                    ff::av_get_sample_fmt_name(AV_SAMPLE_FMT_S16),
                    ff::av_get_sample_fmt_name(enc->sample_fmt) ? ff::av_get_sample_fmt_name(enc->sample_fmt)
                                                                : "unknown");
    throw FFMpegException(text);
  }
  Ost->ResampleChannels = DecChannels;
  Ost->ResampleRate = DecRate;
  Ost->ResampleLayout = Ist->DecLayout;
  Ost->ResampleCentreMix = Ist->DecCentreMix;
  Ost->ResampleSurroundMix = Ist->DecSurroundMix;
  if (DecChannels > encChannels && FVerbose >= 0 && FOnLog) {
    // The stream's levels count only where the input has a centre or surrounds.
    const bool levelsUsed = signalled && (inMask & (AV_CH_FRONT_CENTER | kSurroundChannels));
    LogFmt(1, levelsUsed ? "%s downmixed with the stream's mix levels" : "%s downmixed with the usual mix levels",
           SpeakerCount(inMask, DecChannels).c_str());
  }
}

void TCustomFFmpeg::DoAudioOut(OutputStreamState* Ost, int Size, uint8_t* Buf, InputStreamState* Ist) {
  if (Ost->RecordingEnded) return;
  AVCodecContext* enc = Ost->CodecCtx;
  const int encChannels = enc->ch_layout.nb_channels;
  const int rate = enc->sample_rate;
  const int decChannels = Ist->DecChannels > 0 ? Ist->DecChannels : 1;
  const int decRate = Ist->DecRate > 0 ? Ist->DecRate : rate;
  const int inFrameBytes = 2 * decChannels;  // interleaved 16-bit input

  if (encChannels != decChannels) Ost->AudioResample = 1;
  const bool convert = Ost->AudioResample || enc->sample_fmt != AV_SAMPLE_FMT_S16 || decRate != rate;
  if (Ost->Resample &&
      (Ost->ResampleChannels != decChannels || Ost->ResampleRate != decRate || Ost->ResampleLayout != Ist->DecLayout ||
       Ost->ResampleCentreMix != Ist->DecCentreMix || Ost->ResampleSurroundMix != Ist->DecSurroundMix)) {
    // The decoded audio changed its layout, rate or mix levels mid-stream
    // (AC-3 switching between 5.1 and 2.0): what the converter still holds
    // goes out as it was made, then a converter for the new audio is made.
    while (ConvertIntoFifo(Ost, nullptr, 0) > 0) {
    }
    ff::swr_free(&Ost->Resample);
  }
  if (convert && !Ost->Resample) CreateResampler(Ost, Ist, decChannels, decRate);

  // Synchronisation, in samples per channel at the encoder's rate.
  const int64_t queued = QueuedSamples(Ost);
  if (FAudioSyncMethod != 0) {
    const double delta =
        SyncInputTime(Ost, FStartTime) * rate - static_cast<double>(Ost->SyncOpts) - static_cast<double>(queued);
    const double idelta = delta * decRate / rate;
    int64_t byteDelta = static_cast<int64_t>(std::trunc(idelta)) * inFrameBytes;
    if (std::fabs(delta) > 50) {
      if (Ist->IsStart || std::fabs(delta) > rate * static_cast<double>(FAudioDriftThreshold)) {
        if (byteDelta < 0) {
          byteDelta = std::max<int64_t>(byteDelta, -Size);
          Size += static_cast<int>(byteDelta);
          Buf -= byteDelta;
          if (FOnLog && FVerbose > 2) LogFmt(1, "discarding %d audio samples", static_cast<int>(std::trunc(-delta)));
          if (Size == 0) return;
          Ist->IsStart = 0;
        } else {
          if (Size + byteDelta <= kMaxSilenceBytes) {
            Ist->IsStart = 0;
          } else {
            // Whole sample frames only, so the channels keep their order.
            byteDelta = std::max<int64_t>(kMaxSilenceBytes - Size, 0);
            byteDelta -= byteDelta % inFrameBytes;
          }
          FSilenceBuf.resize(static_cast<size_t>(Size + byteDelta));
          std::memset(FSilenceBuf.data(), 0, static_cast<size_t>(byteDelta));
          std::memcpy(FSilenceBuf.data() + byteDelta, Buf, static_cast<size_t>(Size));
          Buf = FSilenceBuf.data();
          Size += static_cast<int>(byteDelta);
          if (FOnLog && FVerbose > 2)
            LogFmt(1, "adding %d audio samples of silence", static_cast<int>(std::trunc(delta)));
        }
      } else if (FAudioSyncMethod > 1) {
        const int comp = clip(static_cast<int>(std::trunc(delta)), -FAudioSyncMethod, FAudioSyncMethod);
        if (!Ost->AudioResample || !Ost->Resample) throw Exception("Assertion failure");
        if (FOnLog && FVerbose > 2) {
          char text[256];
          std::snprintf(text, sizeof text, "compensating audio timestamp drift:%f compensation:%d in:%d", delta,
                        comp, rate);
          Log(1, text);
        }
        ff::swr_set_compensation(Ost->Resample, comp, rate);
      }
    }
  } else {
    Ost->SyncOpts = static_cast<int64_t>(std::nearbyint(SyncInputTime(Ost, FStartTime) * rate)) - queued;
  }

  // Nothing beyond the recording time: the loop stops reading only once every
  // output reached it, and the pictures a decoder still holds keep the video
  // behind for a few more packets. The samples up to it go out at once, so
  // this output counts as complete.
  bool last = false;
  if (FRecordingTime != INT64_MAX) {
    const double room = static_cast<double>(FRecordingTime) / 1000000.0 * rate - static_cast<double>(Ost->SyncOpts) -
                        static_cast<double>(QueuedSamples(Ost));
    const int64_t roomBytes = std::max<int64_t>(0, static_cast<int64_t>(std::ceil(room * decRate / rate))) * inFrameBytes;
    if (Size >= roomBytes) {
      Size = static_cast<int>(roomBytes);
      last = true;
    }
  }

  // Convert and queue.
  const int inSamples = Size / inFrameBytes;
  if (convert) {
    if (ConvertIntoFifo(Ost, Buf, inSamples) < 0) {
      if (FExitOnError) throw FFMpegException("av_audio_convert() failed");
      Log(0, "av_audio_convert() failed");
      return;
    }
  } else if (inSamples > 0) {
    uint8_t* in[1] = {Buf};
    QueueSamples(Ost, in, inSamples);
  }

  EncodeQueuedFrames(Ost);
  if (last) {
    FlushAudioFifo(Ost);
    Ost->RecordingEnded = 1;
  }
}

void TCustomFFmpeg::EncodeQueuedFrames(OutputStreamState* Ost) {
  const int frameSize = Ost->CodecCtx->frame_size;
  if (frameSize > 1) {
    while (ff::av_audio_fifo_size(Ost->Fifo) >= frameSize) EncodeAudioFrame(Ost, frameSize);
  } else {
    const int samples = ff::av_audio_fifo_size(Ost->Fifo);
    if (samples > 0) EncodeAudioFrame(Ost, samples);
  }
}

int TCustomFFmpeg::ConvertIntoFifo(OutputStreamState* Ost, const uint8_t* Buf, int InSamples) {
  AVCodecContext* enc = Ost->CodecCtx;
  const int encChannels = enc->ch_layout.nb_channels;
  const int capacity = ff::swr_get_out_samples(Ost->Resample, InSamples) + 32;
  const int bytesPerSample = ff::av_get_bytes_per_sample(enc->sample_fmt);
  const bool planar = ff::av_sample_fmt_is_planar(enc->sample_fmt);
  const int planes = planar ? encChannels : 1;
  const size_t planeBytes = static_cast<size_t>(capacity) * bytesPerSample * (planar ? 1 : encChannels);
  if (FAudioOutBuf.size() < planeBytes * planes) FAudioOutBuf.resize(planeBytes * planes);
  std::vector<uint8_t*> out(static_cast<size_t>(planes));
  for (int p = 0; p < planes; ++p) out[p] = FAudioOutBuf.data() + planeBytes * p;
  const uint8_t* in[1] = {Buf};
  const int n = ff::swr_convert(Ost->Resample, out.data(), capacity, Buf ? in : nullptr, Buf ? InSamples : 0);
  QueueSamples(Ost, out.data(), n);
  return n;
}

void TCustomFFmpeg::EncodeAudioFrame(OutputStreamState* Ost, int Samples) {
  AVCodecContext* enc = Ost->CodecCtx;
  AVFrame* frame = Ost->EncFrame;
  if (frame->nb_samples != Samples || !frame->data[0]) {
    ff::av_frame_unref(frame);
    frame->nb_samples = Samples;
    frame->format = enc->sample_fmt;
    frame->sample_rate = enc->sample_rate;
    if (ff::av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 || ff::av_frame_get_buffer(frame, 0) < 0)
      throw FFMpegException("av_malloc fail");
  } else {
    // The encoder (or the queue to it) may still hold the last frame.
    frame = WritableFrame(Ost, Ost->EncFrame);
  }
  ff::av_audio_fifo_read(Ost->Fifo, reinterpret_cast<void**>(frame->data), Samples);
  frame->pts = NextAudioPts(Ost, Samples);
  SubmitFrame(Ost, frame);
  Ost->SyncOpts += Samples;
}

int64_t TCustomFFmpeg::NextAudioPts(OutputStreamState* Ost, int Samples) {
  // SyncOpts follows the input's timestamps, which jitter where a container
  // stamps only some packets (program streams): it may fall behind the samples
  // already handed on. The encoder's input never goes back in time, else the
  // muxer refuses the packets.
  int64_t pts = Ost->SyncOpts;
  if (Ost->AudioEndPts != AV_NOPTS_VALUE && pts < Ost->AudioEndPts) pts = Ost->AudioEndPts;
  Ost->AudioEndPts = pts + Samples;
  return pts;
}

void TCustomFFmpeg::FlushAudioFifo(OutputStreamState* Ost) {
  AVCodecContext* enc = Ost->CodecCtx;
  if (!Ost->Fifo || !enc->codec) return;
  // The resampler holds the last samples of a rate change (its filter's
  // delay): they go into the FIFO first, and whole frames of them out.
  if (Ost->Resample) {
    while (ConvertIntoFifo(Ost, nullptr, 0) > 0) {
    }
    EncodeQueuedFrames(Ost);
  }
  // The level stage gives what its filter still holds.
  if (Ost->Level) {
    FinishLevelling(Ost);
    EncodeQueuedFrames(Ost);
  }
  const int remaining = ff::av_audio_fifo_size(Ost->Fifo);
  if (remaining <= 0) return;
  if (!(enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE))) return;
  EncodeAudioFrame(Ost, remaining);
}
