#include "ConvertHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <numbers>

const TStreamFacts* TFileFacts::First(AVMediaType Type) const {
  for (const auto& s : Streams)
    if (s.Type == Type) return &s;
  return nullptr;
}

TFileFacts ReadFacts(const std::string& Path) {
  TFileFacts facts;
  AVFormatContext* ic = nullptr;
  int r = ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr);
  if (r < 0) {
    facts.Error = "open failed";
    return facts;
  }
  if (ff::avformat_find_stream_info(ic, nullptr) < 0) facts.Error = "no stream info";
  facts.Opened = true;
  facts.DurationUs = ic->duration;
  if (AVDictionaryEntry* e = ff::av_dict_get(ic->metadata, "creation_time", nullptr, 0)) facts.CreationTime = e->value;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    TStreamFacts s;
    s.Type = par->codec_type;
    s.Codec = ff::avcodec_get_name(par->codec_id);
    s.Width = par->width;
    s.Height = par->height;
    s.FrameRate = ic->streams[i]->avg_frame_rate;
    s.SampleRate = par->sample_rate;
    s.Channels = par->ch_layout.nb_channels;
    s.Profile = par->profile;
    facts.Streams.push_back(s);
  }
  AVPacket* pkt = ff::av_packet_alloc();
  while (ff::av_read_frame(ic, pkt) >= 0) {
    TStreamFacts& s = facts.Streams[pkt->stream_index];
    const AVRational tb = ic->streams[pkt->stream_index]->time_base;
    if (s.Packets == 0) s.FirstIsKey = pkt->flags & AV_PKT_FLAG_KEY;
    ++s.Packets;
    s.Bytes += pkt->size;
    if (pkt->pts != AV_NOPTS_VALUE) {
      const int64_t pts = ff::av_rescale_q(pkt->pts, tb, AV_TIME_BASE_Q);
      if (s.FirstPts == AV_NOPTS_VALUE || pts < s.FirstPts) s.FirstPts = pts;
      const int64_t end = ff::av_rescale_q(pkt->pts + pkt->duration, tb, AV_TIME_BASE_Q);
      if (end > s.EndUs) s.EndUs = end;
      if (pkt->dts != AV_NOPTS_VALUE && pkt->dts != pkt->pts) s.HasBFrames = true;
    }
    ff::av_packet_unref(pkt);
  }
  ff::av_packet_free(&pkt);
  ff::avformat_close_input(&ic);
  return facts;
}

bool Convert(const std::string& In, const std::string& Out, TConversion& C, TCustomFFmpeg* Engine) {
  return ConvertInputs({{In, C.InputOptions}}, Out, C, Engine);
}

bool ConvertInputs(const std::vector<TInput>& Inputs, const std::string& Out, TConversion& C,
                   TCustomFFmpeg* Engine) {
  TCustomFFmpeg local;
  TCustomFFmpeg& e = Engine ? *Engine : local;
  e.PrepareForTask();
  e.FOnLog = [&C](TCustomFFmpeg*, int Level, const std::string& Msg) { C.Log.emplace_back(Level, Msg); };
  e.FOnTerminate = [&C](TCustomFFmpeg*) { ++C.Terminations; };
  if (!e.FOnProgress)
    e.FOnProgress = [&C](TCustomFFmpeg*, int, int, int, float, float, int64_t, int) { ++C.Progresses; };
  try {
    for (const TInput& input : Inputs) {
      for (auto& [name, value] : input.Options) e.AddOption(name, value);
      if (!e.OpenInputFile(input.Path)) {
        C.Error = e.LastError();
        return false;
      }
    }
    for (auto& [name, value] : C.OutputOptions) e.AddOption(name, value);
    if (C.StampNow) e.FRecTimestamp = static_cast<int64_t>(std::time(nullptr));
    if (!e.OpenOutputFile(Out)) {
      C.Error = e.LastError();
      return false;
    }
  } catch (const std::exception& ex) {
    C.Error = ex.what();
    return false;
  }
  e.Start(false);
  C.Finished = e.Finished();
  C.Failed = e.ErrorOccurred();
  if (C.Failed) C.Error = e.ErrorMessage();
  return !C.Failed;
}

std::vector<std::pair<std::string, std::string>> WindowOptions(const TWindowSettings& Settings) {
  std::vector<std::pair<std::string, std::string>> o = {
      {"vcodec", "mpeg4"},
      {"acodec", "libfaac"},
      {"ac", std::to_string(Settings.Channels)},
      {"ab", std::to_string(Settings.AudioKbps * 1000)},
      {"b", std::to_string(Settings.VideoKbps * 1000)},
      {"s", Settings.Size}};
  if (Settings.FrameRate != "Auto") o.push_back({"r", Settings.FrameRate});
  o.push_back({"ar", std::to_string(Settings.SampleRate)});
  return o;
}

std::vector<std::pair<std::string, std::string>> WindowDefaults() { return WindowOptions(TWindowSettings{}); }

void TFrameDeleter::operator()(AVFrame* F) const { ff::av_frame_free(&F); }

namespace {

// Opens Path and the decoder of its first stream of Type.
struct TDecoder {
  AVFormatContext* Format = nullptr;
  AVCodecContext* Codec = nullptr;
  int Stream = -1;
  explicit TDecoder(const std::string& Path, AVMediaType Type) {
    if (ff::avformat_open_input(&Format, Path.c_str(), nullptr, nullptr) < 0) return;
    if (ff::avformat_find_stream_info(Format, nullptr) < 0) return;
    Stream = ff::av_find_best_stream(Format, Type, -1, -1, nullptr, 0);
    if (Stream < 0) return;
    const AVCodecParameters* par = Format->streams[Stream]->codecpar;
    const AVCodec* codec = ff::avcodec_find_decoder(par->codec_id);
    Codec = ff::avcodec_alloc_context3(codec);
    ff::avcodec_parameters_to_context(Codec, par);
    if (ff::avcodec_open2(Codec, codec, nullptr) < 0) ff::avcodec_free_context(&Codec);
  }
  ~TDecoder() {
    if (Codec) ff::avcodec_free_context(&Codec);
    if (Format) ff::avformat_close_input(&Format);
  }
  // Calls OnFrame for every decoded frame until it returns false.
  template <class F>
  void Run(F OnFrame) {
    if (!Codec) return;
    AVPacket* pkt = ff::av_packet_alloc();
    AVFrame* frame = ff::av_frame_alloc();
    bool more = true;
    auto drain = [&] {
      while (more && ff::avcodec_receive_frame(Codec, frame) >= 0) {
        more = OnFrame(frame);
        ff::av_frame_unref(frame);
      }
    };
    while (more && ff::av_read_frame(Format, pkt) >= 0) {
      if (pkt->stream_index == Stream) {
        ff::avcodec_send_packet(Codec, pkt);
        drain();
      }
      ff::av_packet_unref(pkt);
    }
    if (more) {
      ff::avcodec_send_packet(Codec, nullptr);
      drain();
    }
    ff::av_frame_free(&frame);
    ff::av_packet_free(&pkt);
  }
};

}  // namespace

std::vector<TFramePtr> DecodeVideo(const std::string& Path, int MaxFrames) {
  std::vector<TFramePtr> frames;
  TDecoder d(Path, AVMEDIA_TYPE_VIDEO);
  d.Run([&](AVFrame* F) {
    frames.emplace_back(ff::av_frame_clone(F));
    return static_cast<int>(frames.size()) < MaxFrames;
  });
  return frames;
}

namespace {

// Decodes the first audio stream of Path into interleaved samples of Format
// (the element type T), in the stream's own channel order.
template <class T>
std::vector<T> DecodeInterleaved(const std::string& Path, AVSampleFormat Format, int& Channels, int& Rate) {
  std::vector<T> samples;
  TDecoder d(Path, AVMEDIA_TYPE_AUDIO);
  Channels = d.Codec ? d.Codec->ch_layout.nb_channels : 0;
  Rate = d.Codec ? d.Codec->sample_rate : 0;
  SwrContext* swr = nullptr;
  d.Run([&](AVFrame* F) {
    if (!swr) {
      AVChannelLayout layout{};
      ff::av_channel_layout_default(&layout, F->ch_layout.nb_channels);
      ff::swr_alloc_set_opts2(&swr, &layout, Format, F->sample_rate, &F->ch_layout,
                              static_cast<AVSampleFormat>(F->format), F->sample_rate, 0, nullptr);
      ff::swr_init(swr);
      ff::av_channel_layout_uninit(&layout);
    }
    const size_t at = samples.size();
    samples.resize(at + static_cast<size_t>(F->nb_samples) * Channels);
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(samples.data() + at)};
    const int n = ff::swr_convert(swr, out, F->nb_samples, const_cast<const uint8_t**>(F->extended_data), F->nb_samples);
    samples.resize(at + static_cast<size_t>(std::max(n, 0)) * Channels);
    return true;
  });
  if (swr) ff::swr_free(&swr);
  return samples;
}

}  // namespace

std::vector<int16_t> DecodeAudio(const std::string& Path, int& Channels, int& Rate) {
  return DecodeInterleaved<int16_t>(Path, AV_SAMPLE_FMT_S16, Channels, Rate);
}

double ToneLevelDbfs(const std::vector<float>& Samples, int Channels, int Channel, double Hz, int Rate) {
  const size_t from = static_cast<size_t>(Rate / 4), count = static_cast<size_t>(Rate / 2);
  const size_t step = static_cast<size_t>(Channels);
  double re = 0, im = 0;
  for (size_t i = 0; i < count && (from + i) * step + static_cast<size_t>(Channel) < Samples.size(); ++i) {
    const double x = Samples[(from + i) * step + static_cast<size_t>(Channel)];
    const double phase = 2 * std::numbers::pi * Hz * static_cast<double>(i) / Rate;
    re += x * std::cos(phase);
    im -= x * std::sin(phase);
  }
  return 20 * std::log10(std::max(2 * std::hypot(re, im) / static_cast<double>(count), 1e-12));
}

std::vector<float> DecodeAudioFloat(const std::string& Path, int& Channels, int& Rate) {
  return DecodeInterleaved<float>(Path, AV_SAMPLE_FMT_FLT, Channels, Rate);
}

double LumaDifference(const AVFrame* A, int AX, int AY, const AVFrame* B, int BX, int BY, int W, int H) {
  double sum = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      sum += std::abs(A->data[0][(AY + y) * A->linesize[0] + AX + x] - B->data[0][(BY + y) * B->linesize[0] + BX + x]);
  return sum / (static_cast<double>(W) * H);
}

std::vector<TTimedPayload> TimedPayloads(const std::string& Path, AVMediaType Type) {
  std::vector<TTimedPayload> payloads;
  AVFormatContext* ic = nullptr;
  if (ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr) < 0) return payloads;
  ff::avformat_find_stream_info(ic, nullptr);
  const int stream = ff::av_find_best_stream(ic, Type, -1, -1, nullptr, 0);
  AVPacket* pkt = ff::av_packet_alloc();
  while (stream >= 0 && ff::av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == stream) {
      const AVRational tb = ic->streams[stream]->time_base;
      payloads.push_back({pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ff::av_rescale_q(pkt->pts, tb, AV_TIME_BASE_Q),
                          ff::av_rescale_q(pkt->duration, tb, AV_TIME_BASE_Q),
                          std::string(reinterpret_cast<const char*>(pkt->data), pkt->size)});
    }
    ff::av_packet_unref(pkt);
  }
  ff::av_packet_free(&pkt);
  ff::avformat_close_input(&ic);
  return payloads;
}

std::vector<std::string> PacketPayloads(const std::string& Path, AVMediaType Type) {
  std::vector<std::string> bytes;
  for (TTimedPayload& p : TimedPayloads(Path, Type)) bytes.push_back(std::move(p.Bytes));
  return bytes;
}
