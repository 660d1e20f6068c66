// The reference side of the benchmark: the shortest path from the input to
// the window's default .mp4 through the same library calls the engine makes.
// Demux, decode, scale into 320x240 yuv420p (the picture fitted with square
// pixels between black bars, as the window's set-up asks), resample to fltp stereo 44100 Hz
// through an audio FIFO into encoder-sized frames, encode (MPEG-4 512 kbit/s,
// AAC-LC 80 kbit/s), mux. The decoders take the thread count they are given
// (0: every core), the encoders run on one thread, as in the engine.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BatchSettings.h"
#include "Conversions.h"
#include "MediaHeaders.h"
#include "SourcePicture.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr AVRational kFrameRate{30, 1};
constexpr int64_t kVideoBitRate = 512000;
constexpr int kSampleRate = 44100;
constexpr int kChannels = 2;
constexpr int64_t kAudioBitRate = 80000;

// One owner per library object.
struct TInputFree {
  void operator()(AVFormatContext* P) const { ff::avformat_close_input(&P); }
};
struct TOutputFree {
  void operator()(AVFormatContext* P) const {
    if (P->pb && !(P->oformat->flags & AVFMT_NOFILE)) ff::avio_closep(&P->pb);
    ff::avformat_free_context(P);
  }
};
struct TCodecFree {
  void operator()(AVCodecContext* P) const { ff::avcodec_free_context(&P); }
};
struct TFrameFree {
  void operator()(AVFrame* P) const { ff::av_frame_free(&P); }
};
struct TPacketFree {
  void operator()(AVPacket* P) const { ff::av_packet_free(&P); }
};
struct TScalerFree {
  void operator()(SwsContext* P) const { ff::sws_freeContext(P); }
};
struct TResamplerFree {
  void operator()(SwrContext* P) const { ff::swr_free(&P); }
};
struct TFifoFree {
  void operator()(AVAudioFifo* P) const { ff::av_audio_fifo_free(P); }
};

using TInputPtr = std::unique_ptr<AVFormatContext, TInputFree>;
using TOutputPtr = std::unique_ptr<AVFormatContext, TOutputFree>;
using TCodecPtr = std::unique_ptr<AVCodecContext, TCodecFree>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameFree>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketFree>;
using TScalerPtr = std::unique_ptr<SwsContext, TScalerFree>;
using TResamplerPtr = std::unique_ptr<SwrContext, TResamplerFree>;
using TFifoPtr = std::unique_ptr<AVAudioFifo, TFifoFree>;

[[noreturn]] void Throw(const std::string& What, int Code = 0) {
  std::string text = What;
  if (Code < 0) {
    char reason[AV_ERROR_MAX_STRING_SIZE] = "";
    ff::av_strerror(Code, reason, sizeof reason);
    text += std::string(": ") + reason;
  }
  throw std::runtime_error(text);
}

int Check(int Code, const char* What) {
  if (Code < 0) Throw(What, Code);
  return Code;
}

template <class T>
T* Made(T* P) {
  if (!P) Throw("out of memory", AVERROR(ENOMEM));
  return P;
}

class TDirectConversion {
public:
  explicit TDirectConversion(int DecoderThreads) : FDecoderThreads(DecoderThreads) {}
  void Run(const std::string& In, const std::string& Out);
  // Only reads and decodes the video stream: the part the decoder's threads
  // speed up, for comparison.
  void DecodeVideo(const std::string& In);

private:
  void OpenInput(const std::string& In);
  TCodecPtr OpenDecoder(int Index);
  void OpenOutput(const std::string& Out);
  AVStream* AddStream(AVCodecContext* Encoder);
  void Decode(AVCodecContext* Decoder, const AVPacket* Packet);  // without an output: decoding only
  void VideoOut(const AVFrame* Frame);
  void AudioOut(AVFrame* Frame);  // nullptr: drain the resampler
  void EncodeAudioFrame(int Samples);
  void Encode(AVCodecContext* Encoder, AVStream* Stream, const AVFrame* Frame);

  const int FDecoderThreads;
  TInputPtr FIn;
  int FVideoIndex = -1;
  int FAudioIndex = -1;
  int64_t FStartTime = 0;  // microseconds
  TCodecPtr FVideoDecoder;
  TCodecPtr FAudioDecoder;

  TOutputPtr FOut;
  TCodecPtr FVideoEncoder;
  TCodecPtr FAudioEncoder;
  AVStream* FVideoStream = nullptr;  // owned by FOut
  AVStream* FAudioStream = nullptr;

  TPacketPtr FPacket;
  TPacketPtr FEncoded;
  TFramePtr FDecoded;

  TScalerPtr FScaler;
  TFramePtr FScaled;
  TPictureFit FFit;           // the picture's area in FScaled
  int64_t FNextVideoPts = 0;  // encoder time base

  TResamplerPtr FResampler;
  TFifoPtr FFifo;
  TFramePtr FAudioFrame;
  std::vector<uint8_t> FResampled;
  int64_t FNextAudioPts = 0;  // samples
};

void TDirectConversion::OpenInput(const std::string& In) {
  AVFormatContext* ic = nullptr;
  Check(ff::avformat_open_input(&ic, In.c_str(), nullptr, nullptr), "cannot open the input");
  FIn.reset(ic);
  Check(ff::avformat_find_stream_info(ic, nullptr), "cannot read the input's streams");
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVMediaType type = ic->streams[i]->codecpar->codec_type;
    if (type == AVMEDIA_TYPE_VIDEO && FVideoIndex < 0) FVideoIndex = static_cast<int>(i);
    if (type == AVMEDIA_TYPE_AUDIO && FAudioIndex < 0) FAudioIndex = static_cast<int>(i);
  }
  if (FVideoIndex < 0 || FAudioIndex < 0) Throw("the input needs a video and an audio stream");
  if (ic->start_time != AV_NOPTS_VALUE) FStartTime = ic->start_time;
  FVideoDecoder = OpenDecoder(FVideoIndex);
  FAudioDecoder = OpenDecoder(FAudioIndex);
}

TCodecPtr TDirectConversion::OpenDecoder(int Index) {
  const AVStream* st = FIn->streams[Index];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) Throw("no decoder for an input stream");
  TCodecPtr ctx(Made(ff::avcodec_alloc_context3(codec)));
  Check(ff::avcodec_parameters_to_context(ctx.get(), st->codecpar), "cannot set up a decoder");
  ctx->pkt_timebase = st->time_base;
  ctx->thread_count = FDecoderThreads;
  ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  Check(ff::avcodec_open2(ctx.get(), codec, nullptr), "cannot open a decoder");
  return ctx;
}

AVStream* TDirectConversion::AddStream(AVCodecContext* Encoder) {
  AVStream* st = Made(ff::avformat_new_stream(FOut.get(), nullptr));
  Check(ff::avcodec_parameters_from_context(st->codecpar, Encoder), "cannot describe an output stream");
  st->time_base = Encoder->time_base;
  st->sample_aspect_ratio = Encoder->sample_aspect_ratio;
  return st;
}

void TDirectConversion::OpenOutput(const std::string& Out) {
  AVFormatContext* oc = nullptr;
  Check(ff::avformat_alloc_output_context2(&oc, nullptr, nullptr, Out.c_str()), "no muxer for the output");
  FOut.reset(oc);
  const bool globalHeader = oc->oformat->flags & AVFMT_GLOBALHEADER;

  // Video: the input's display aspect kept with square pixels.
  const AVCodec* mpeg4 = ff::avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (!mpeg4) Throw("no MPEG-4 encoder");
  FVideoEncoder.reset(Made(ff::avcodec_alloc_context3(mpeg4)));
  AVCodecContext* v = FVideoEncoder.get();
  const AVStream* vin = FIn->streams[FVideoIndex];
  const AVCodecContext* vdec = FVideoDecoder.get();
  const AVRational sar = vin->sample_aspect_ratio.num ? vin->sample_aspect_ratio : vdec->sample_aspect_ratio;
  const double aspect = static_cast<double>(vdec->width) / vdec->height * (sar.num ? av_q2d(sar) : 1.0);
  v->width = kWidth;
  v->height = kHeight;
  v->pix_fmt = AV_PIX_FMT_YUV420P;
  v->time_base = av_inv_q(kFrameRate);
  v->framerate = kFrameRate;
  v->bit_rate = kVideoBitRate;
  FFit = FitPicture(kWidth, kHeight, aspect);
  v->sample_aspect_ratio = AVRational{1, 1};
  v->thread_count = 1;
  // The same colours as the engine's output: an HD source is converted to the
  // SD matrix players use, and the output says so.
  const TColourPlan colour = PlanColour(vdec, kHeight);
  TagColour(v, colour);
  if (globalHeader) v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(ff::avcodec_open2(v, mpeg4, nullptr), "cannot open the MPEG-4 encoder");
  FVideoStream = AddStream(v);

  // Audio: plain AAC-LC.
  const AVCodec* aac = ff::avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!aac) Throw("no AAC encoder");
  FAudioEncoder.reset(Made(ff::avcodec_alloc_context3(aac)));
  AVCodecContext* a = FAudioEncoder.get();
  a->sample_fmt = AV_SAMPLE_FMT_FLTP;
  a->sample_rate = kSampleRate;
  ff::av_channel_layout_uninit(&a->ch_layout);
  ff::av_channel_layout_default(&a->ch_layout, kChannels);
  a->bit_rate = kAudioBitRate;
  a->time_base = AVRational{1, kSampleRate};
  a->profile = FF_PROFILE_AAC_LOW;
  ff::av_opt_set_int(a->priv_data, "aac_pns", 0, 0);
  ff::av_opt_set_int(a->priv_data, "aac_is", 0, 0);
  a->thread_count = 1;
  if (globalHeader) a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Check(ff::avcodec_open2(a, aac, nullptr), "cannot open the AAC encoder");
  FAudioStream = AddStream(a);

  if (!(oc->oformat->flags & AVFMT_NOFILE))
    Check(ff::avio_open(&oc->pb, Out.c_str(), AVIO_FLAG_WRITE), "cannot create the output");
  Check(ff::avformat_write_header(oc, nullptr), "cannot write the output's header");

  // The scaler and its target picture.
  FScaler.reset(Made(ff::sws_getContext(vdec->width, vdec->height, vdec->pix_fmt, FFit.Width, FFit.Height,
                                        AV_PIX_FMT_YUV420P, SWS_BICUBIC | ColourScalerFlags(colour), nullptr,
                                        nullptr, nullptr)));
  if (!ApplyColourPlan(FScaler.get(), colour)) Throw("the scaler refuses the colour conversion");
  FScaled.reset(Made(ff::av_frame_alloc()));
  FScaled->format = AV_PIX_FMT_YUV420P;
  FScaled->width = kWidth;
  FScaled->height = kHeight;
  Check(ff::av_frame_get_buffer(FScaled.get(), 0), "out of memory");

  // The FIFO and one encoder frame of audio.
  FFifo.reset(Made(ff::av_audio_fifo_alloc(a->sample_fmt, kChannels, a->frame_size > 0 ? a->frame_size : 1024)));
  FAudioFrame.reset(Made(ff::av_frame_alloc()));
  FAudioFrame->format = a->sample_fmt;
  FAudioFrame->sample_rate = a->sample_rate;
  FAudioFrame->nb_samples = a->frame_size;
  Check(ff::av_channel_layout_copy(&FAudioFrame->ch_layout, &a->ch_layout), "out of memory");
  Check(ff::av_frame_get_buffer(FAudioFrame.get(), 0), "out of memory");
}

void TDirectConversion::Encode(AVCodecContext* Encoder, AVStream* Stream, const AVFrame* Frame) {
  int r = ff::avcodec_send_frame(Encoder, Frame);
  if (r < 0 && r != AVERROR_EOF) Throw("encoding failed", r);
  AVPacket* pkt = FEncoded.get();
  for (;;) {
    r = ff::avcodec_receive_packet(Encoder, pkt);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    Check(r, "encoding failed");
    pkt->stream_index = Stream->index;
    ff::av_packet_rescale_ts(pkt, Encoder->time_base, Stream->time_base);
    // The muxer takes the packet's data, also on failure.
    Check(ff::av_interleaved_write_frame(FOut.get(), pkt), "writing failed");
  }
}

void TDirectConversion::VideoOut(const AVFrame* Frame) {
  // One output picture per input picture where the rates agree; a picture
  // more than a frame early is dropped, one late fills the gap with copies.
  const AVStream* st = FIn->streams[FVideoIndex];
  const AVCodecContext* enc = FVideoEncoder.get();
  const int64_t ts = Frame->best_effort_timestamp;
  const double position =
      ts == AV_NOPTS_VALUE
          ? static_cast<double>(FNextVideoPts)
          : (ts * av_q2d(st->time_base) - static_cast<double>(FStartTime) / AV_TIME_BASE) / av_q2d(enc->time_base);
  const double delta = position - static_cast<double>(FNextVideoPts);
  int64_t copies = 1;
  if (delta < -1.1)
    copies = 0;
  else if (delta > 1.1)
    copies = std::llround(delta);
  if (copies == 0) return;

  AVFrame* scaled = FScaled.get();
  Check(ff::av_frame_make_writable(scaled), "out of memory");
  // Black bars around the picture's area, painted with every picture as the engine pads.
  uint8_t* area[4] = {};
  for (int p = 0; p < 3; ++p) {
    const int shift = p ? 1 : 0, w = kWidth >> shift, h = kHeight >> shift, ls = scaled->linesize[p];
    const int top = FFit.PadTop >> shift, left = FFit.PadLeft >> shift;
    const int inW = FFit.Width >> shift, inH = FFit.Height >> shift;
    const uint8_t black = p ? 128 : 16;
    for (int y = 0; y < h; ++y) {
      uint8_t* row = scaled->data[p] + static_cast<ptrdiff_t>(y) * ls;
      if (y < top || y >= top + inH) {
        std::memset(row, black, static_cast<size_t>(w));
      } else {
        std::memset(row, black, static_cast<size_t>(left));
        std::memset(row + left + inW, black, static_cast<size_t>(w - left - inW));
      }
    }
    area[p] = scaled->data[p] + static_cast<ptrdiff_t>(top) * ls + left;
  }
  ff::sws_scale(FScaler.get(), Frame->data, Frame->linesize, 0, Frame->height, area, scaled->linesize);
  for (int64_t i = 0; i < copies; ++i) {
    scaled->pts = FNextVideoPts++;
    Encode(FVideoEncoder.get(), FVideoStream, scaled);
  }
}

void TDirectConversion::EncodeAudioFrame(int Samples) {
  AVFrame* frame = FAudioFrame.get();
  Check(ff::av_frame_make_writable(frame), "out of memory");
  frame->nb_samples = Samples;
  if (ff::av_audio_fifo_read(FFifo.get(), reinterpret_cast<void**>(frame->data), Samples) < Samples)
    Throw("reading the audio FIFO failed");
  frame->pts = FNextAudioPts;
  FNextAudioPts += Samples;
  Encode(FAudioEncoder.get(), FAudioStream, frame);
}

void TDirectConversion::AudioOut(AVFrame* Frame) {
  // (The resampler's set-up takes its layouts by non-const pointer.)
  AVCodecContext* enc = FAudioEncoder.get();
  if (!FResampler) {
    if (!Frame) return;
    SwrContext* swr = nullptr;
    const int r = ff::swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, &Frame->ch_layout,
                                          static_cast<AVSampleFormat>(Frame->format), Frame->sample_rate, 0, nullptr);
    FResampler.reset(swr);
    Check(r, "cannot set up the resampler");
    Check(ff::swr_init(swr), "cannot set up the resampler");
  }
  const int inSamples = Frame ? Frame->nb_samples : 0;
  const int capacity = Check(ff::swr_get_out_samples(FResampler.get(), inSamples), "resampling failed");
  if (capacity > 0) {
    const size_t planeBytes = static_cast<size_t>(capacity) * sizeof(float);
    if (FResampled.size() < planeBytes * kChannels) FResampled.resize(planeBytes * kChannels);
    uint8_t* out[kChannels];
    for (int c = 0; c < kChannels; ++c) out[c] = FResampled.data() + planeBytes * c;
    const int n = Check(ff::swr_convert(FResampler.get(), out, capacity,
                                        Frame ? const_cast<const uint8_t**>(Frame->extended_data) : nullptr, inSamples),
                        "resampling failed");
    if (n > 0 && ff::av_audio_fifo_write(FFifo.get(), reinterpret_cast<void**>(out), n) < n)
      Throw("writing the audio FIFO failed");
  }
  while (ff::av_audio_fifo_size(FFifo.get()) >= enc->frame_size) EncodeAudioFrame(enc->frame_size);
}

void TDirectConversion::Decode(AVCodecContext* Decoder, const AVPacket* Packet) {
  int r = ff::avcodec_send_packet(Decoder, Packet);
  if (r < 0 && r != AVERROR_EOF) Throw("decoding failed", r);
  AVFrame* frame = FDecoded.get();
  for (;;) {
    r = ff::avcodec_receive_frame(Decoder, frame);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    Check(r, "decoding failed");
    if (FOut) {  // else decoding only
      if (Decoder == FVideoDecoder.get())
        VideoOut(frame);
      else
        AudioOut(frame);
    }
    ff::av_frame_unref(frame);
  }
}

void TDirectConversion::DecodeVideo(const std::string& In) {
  FPacket.reset(Made(ff::av_packet_alloc()));
  FDecoded.reset(Made(ff::av_frame_alloc()));
  OpenInput(In);
  AVPacket* pkt = FPacket.get();
  while (ff::av_read_frame(FIn.get(), pkt) >= 0) {
    if (pkt->stream_index == FVideoIndex) Decode(FVideoDecoder.get(), pkt);
    ff::av_packet_unref(pkt);
  }
  Decode(FVideoDecoder.get(), nullptr);
}

void TDirectConversion::Run(const std::string& In, const std::string& Out) {
  FPacket.reset(Made(ff::av_packet_alloc()));
  FEncoded.reset(Made(ff::av_packet_alloc()));
  FDecoded.reset(Made(ff::av_frame_alloc()));
  OpenInput(In);
  OpenOutput(Out);

  AVPacket* pkt = FPacket.get();
  while (ff::av_read_frame(FIn.get(), pkt) >= 0) {
    if (pkt->stream_index == FVideoIndex)
      Decode(FVideoDecoder.get(), pkt);
    else if (pkt->stream_index == FAudioIndex)
      Decode(FAudioDecoder.get(), pkt);
    ff::av_packet_unref(pkt);
  }

  // The end: what the decoders, the resampler, the FIFO and the encoders hold.
  Decode(FVideoDecoder.get(), nullptr);
  Decode(FAudioDecoder.get(), nullptr);
  AudioOut(nullptr);
  if (const int rest = ff::av_audio_fifo_size(FFifo.get()); rest > 0) EncodeAudioFrame(rest);
  Encode(FVideoEncoder.get(), FVideoStream, nullptr);
  Encode(FAudioEncoder.get(), FAudioStream, nullptr);
  Check(ff::av_write_trailer(FOut.get()), "cannot finish the output");
}

}  // namespace

bool ConvertDirect(const std::string& In, const std::string& Out, int DecoderThreads, std::string& Error) {
  try {
    TDirectConversion conversion(DecoderThreads);
    if (Out.empty())
      conversion.DecodeVideo(In);
    else
      conversion.Run(In, Out);
  } catch (const std::exception& e) {
    Error = e.what();
    return false;
  }
  return true;
}
