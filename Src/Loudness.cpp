// Even loudness: the audio filter graphs that measure and level a stream's
// sound, and the engine's measuring pass, which reads an output's source
// stream once before the conversion, alone (no picture is decoded), through
// the same channel and rate conversion the audio path makes.
#include "Loudness.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "FFmpeg.h"

namespace {

// The layout as the filters' options name it.
std::string LayoutText(const AVChannelLayout& Layout) {
  char text[128] = "";
  if (Layout.order == AV_CHANNEL_ORDER_NATIVE && ff::av_channel_layout_describe(&Layout, text, sizeof text) > 0)
    return text;
  return "";
}

template <class T>
void Scale(uint8_t* Plane, int Count, double Gain, double Low, double High) {
  T* v = reinterpret_cast<T*>(Plane);
  for (int i = 0; i < Count; ++i) {
    const double x = static_cast<double>(v[i]) * Gain;
    if constexpr (std::is_floating_point_v<T>)
      v[i] = static_cast<T>(x);
    else
      v[i] = static_cast<T>(std::clamp(std::nearbyint(x), Low, High));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TAudioGraph

TAudioGraph::~TAudioGraph() {
  ff::avfilter_graph_free(&FGraph);
  ff::av_frame_free(&FIn);
  ff::av_channel_layout_uninit(&FLayout);
}

bool TAudioGraph::Open(AVSampleFormat Format, int Rate, const AVChannelLayout& Layout, const std::string& Chain,
                       std::string& Error) {
  const char* formatName = ff::av_get_sample_fmt_name(Format);
  FGraph = ff::avfilter_graph_alloc();
  FIn = ff::av_frame_alloc();
  if (!FGraph || !FIn || !formatName || Rate <= 0 || Layout.nb_channels <= 0) {
    Error = "cannot set up the sound filters";
    return false;
  }
  FGraph->nb_threads = 1;
  FFormat = Format;
  FRate = Rate;
  if (ff::av_channel_layout_copy(&FLayout, &Layout) < 0) {
    Error = "cannot set up the sound filters";
    return false;
  }
  const std::string layout = LayoutText(Layout);
  char args[256];
  if (layout.empty())
    std::snprintf(args, sizeof args, "time_base=1/%d:sample_rate=%d:sample_fmt=%s:channels=%d", Rate, Rate, formatName,
                  Layout.nb_channels);
  else
    std::snprintf(args, sizeof args, "time_base=1/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", Rate, Rate,
                  formatName, layout.c_str());
  int r = ff::avfilter_graph_create_filter(&FSource, ff::avfilter_get_by_name("abuffer"), "in", args, nullptr, FGraph);
  if (r >= 0)
    r = ff::avfilter_graph_create_filter(&FSink, ff::avfilter_get_by_name("abuffersink"), "out", nullptr, nullptr,
                                         FGraph);
  if (r >= 0) {
    AVFilterInOut* outputs = ff::avfilter_inout_alloc();
    AVFilterInOut* inputs = ff::avfilter_inout_alloc();
    if (outputs && inputs) {
      outputs->name = ff::av_strdup("in");
      outputs->filter_ctx = FSource;
      inputs->name = ff::av_strdup("out");
      inputs->filter_ctx = FSink;
      r = ff::avfilter_graph_parse_ptr(FGraph, Chain.c_str(), &inputs, &outputs, nullptr);
    } else {
      r = AVERROR(ENOMEM);
    }
    ff::avfilter_inout_free(&inputs);
    ff::avfilter_inout_free(&outputs);
  }
  if (r >= 0) r = ff::avfilter_graph_config(FGraph, nullptr);
  if (r < 0) {
    char reason[AV_ERROR_MAX_STRING_SIZE] = "";
    ff::av_strerror(r, reason, sizeof reason);
    Error = "cannot set up the sound filters \"" + Chain + "\": " + reason;
    return false;
  }
  return true;
}

bool TAudioGraph::Send(const uint8_t* const* Data, int N) {
  if (!Data) return ff::av_buffersrc_add_frame_flags(FSource, nullptr, 0) >= 0;
  if (N <= 0) return true;
  FIn->nb_samples = N;
  FIn->format = FFormat;
  FIn->sample_rate = FRate;
  if (ff::av_channel_layout_copy(&FIn->ch_layout, &FLayout) < 0 || ff::av_frame_get_buffer(FIn, 0) < 0) {
    ff::av_frame_unref(FIn);
    return false;
  }
  ff::av_samples_copy(FIn->extended_data, const_cast<uint8_t* const*>(Data), 0, 0, N, FLayout.nb_channels, FFormat);
  FIn->pts = FSent;
  FSent += N;
  const int r = ff::av_buffersrc_add_frame_flags(FSource, FIn, 0);
  ff::av_frame_unref(FIn);
  return r >= 0;
}

bool TAudioGraph::Receive(AVFrame* Frame) {
  ff::av_frame_unref(Frame);
  if (ff::av_buffersink_get_frame(FSink, Frame) < 0) return false;
  FReceived += Frame->nb_samples;
  return true;
}

// ---------------------------------------------------------------------------
// TLoudnessMeter

TLoudnessMeter::~TLoudnessMeter() { ff::av_frame_free(&FOut); }

int EncoderBandLimitHz(const AVCodecContext* Enc) {
  if (!Enc || !Enc->codec || std::strcmp(Enc->codec->name, "aac") != 0 || Enc->sample_rate <= 0) return 0;
  const int64_t half = Enc->sample_rate / 2;
  int64_t limit = Enc->cutoff;
  if (limit <= 0) {
    // The encoder's own rule (its psychoacoustic model's bandwidth); at a
    // fixed quality it keeps everything.
    if ((Enc->flags & AV_CODEC_FLAG_QSCALE) || Enc->bit_rate <= 0) return 0;
    const int64_t perChannel = Enc->bit_rate / std::max(1, Enc->ch_layout.nb_channels);
    limit = std::min({std::max(perChannel / 5, perChannel * 15 / 32 - 5500), 3000 + perChannel / 4,
                      12000 + perChannel / 16, int64_t{22000}, half});
  }
  return limit > 0 && limit < half ? static_cast<int>(limit) : 0;
}

bool TLoudnessMeter::Open(AVSampleFormat Format, int Rate, const AVChannelLayout& Layout, std::string& Error,
                          int BandLimitHz) {
  FOut = ff::av_frame_alloc();
  if (!FOut) {
    Error = "out of memory";
    return false;
  }
  FFormat = Format;
  FChannels = Layout.nb_channels;
  FShortest = Rate * int64_t{4} / 10;
  FFirst.assign(static_cast<size_t>(ff::av_sample_fmt_is_planar(Format) ? FChannels : 1), {});
  // The figures come with the frames (every 100 ms), the peaks as gains.
  std::string chain = "ebur128=peak=true:metadata=1";
  if (BandLimitHz > 0 && BandLimitHz < Rate / 2) {
    // A steep cut (a linear-phase filter 20 ms long: about 100 Hz wide)
    // just above the limit.
    char cut[160];
    std::snprintf(cut, sizeof cut, "firequalizer=delay=0.01:gain_entry='entry(0,0);entry(%d,0);entry(%d,-120)',",
                  BandLimitHz, BandLimitHz + 100);
    chain = cut + chain;
  }
  return FGraph.Open(Format, Rate, Layout, chain, Error);
}

void TLoudnessMeter::Read() {
  while (FGraph.Receive(FOut)) {
    if (const AVDictionaryEntry* e = ff::av_dict_get(FOut->metadata, "lavfi.r128.I", nullptr, 0))
      FResult.Integrated = std::strtod(e->value, nullptr);
    if (const AVDictionaryEntry* e = ff::av_dict_get(FOut->metadata, "lavfi.r128.true_peak", nullptr, 0)) {
      const double peak = std::strtod(e->value, nullptr);
      FResult.TruePeak = peak > 0 ? 20 * std::log10(peak) : -HUGE_VAL;
    }
  }
  ff::av_frame_unref(FOut);
}

bool TLoudnessMeter::Add(const uint8_t* const* Data, int N) {
  if (N <= 0) return true;
  if (FCount < FShortest) {
    const bool planar = ff::av_sample_fmt_is_planar(FFormat);
    const size_t bytes = static_cast<size_t>(N) * static_cast<size_t>(ff::av_get_bytes_per_sample(FFormat)) *
                         static_cast<size_t>(planar ? 1 : FChannels);
    for (size_t p = 0; p < FFirst.size(); ++p) FFirst[p].insert(FFirst[p].end(), Data[p], Data[p] + bytes);
  }
  FCount += N;
  if (!FGraph.Send(Data, N)) return false;
  Read();
  return true;
}

TLoudness TLoudnessMeter::Finish() {
  if (FCount > 0 && FCount < FShortest) {
    // Played over and over until the measure has its 400 ms.
    std::vector<const uint8_t*> planes(FFirst.size());
    for (size_t p = 0; p < FFirst.size(); ++p) planes[p] = FFirst[p].data();
    const int64_t n = FCount;
    for (int64_t sent = n; sent < FShortest + n; sent += n)
      if (!FGraph.Send(planes.data(), static_cast<int>(n))) break;
    Read();
  }
  FGraph.Send(nullptr, 0);
  Read();
  // The gate leaves nothing of silence: the filter then names -70 LUFS.
  if (FResult.Integrated <= kSilenceLufs) FResult.Integrated = -HUGE_VAL;
  return FResult;
}

// ---------------------------------------------------------------------------
// TPeakLimiter

TPeakLimiter::TPeakLimiter(double CeilingDbfs, int Rate, int Channels)
    : FCeiling(static_cast<float>(std::pow(10.0, CeilingDbfs / 20))),
      FLookahead(std::max(1, Rate / 200)),
      FChannels(std::max(1, Channels)),
      FRelease(1 - std::exp(-1.0 / (0.05 * std::max(1, Rate)))) {
  FDelay.assign(static_cast<size_t>(FLookahead + 1) * static_cast<size_t>(FChannels), 0.0f);
  FRequired.assign(static_cast<size_t>(FLookahead + 1), 1.0);
  FWindowMin.assign(static_cast<size_t>(FLookahead), 1.0);
  FWindowSum = FLookahead;
}

void TPeakLimiter::Take(const float* Frame, std::vector<std::vector<float>>& Out) {
  const int64_t k = FIn++;
  float peak = 0;
  for (int c = 0; c < FChannels; ++c) peak = std::max(peak, std::fabs(Frame[c]));
  const double required = peak > FCeiling ? static_cast<double>(FCeiling) / peak : 1.0;
  while (!FLowestAhead.empty() && FLowestAhead.back().second >= required) FLowestAhead.pop_back();
  FLowestAhead.emplace_back(k, required);
  const size_t ring = static_cast<size_t>(FLookahead + 1);
  std::copy(Frame, Frame + FChannels, FDelay.begin() + static_cast<std::ptrdiff_t>((k % ring) * FChannels));
  FRequired[static_cast<size_t>(k) % ring] = required;
  if (k < FLookahead) return;
  // Frame j leaves now: the lowest gain any frame up to the look-ahead
  // after it requires, averaged over the look-ahead before it, so that the
  // gain is down at each peak, got there smoothly, and comes back slowly.
  const int64_t j = k - FLookahead;
  while (FLowestAhead.front().first < j) FLowestAhead.pop_front();
  const double lowest = FLowestAhead.front().second;
  const size_t slot = static_cast<size_t>(j % FLookahead);
  FWindowSum += lowest - FWindowMin[slot];
  FWindowMin[slot] = lowest;
  const double smooth = std::min(1.0, FWindowSum / FLookahead);
  FGain = smooth < FGain ? smooth : FGain + (smooth - FGain) * FRelease;
  const double gain = std::min(FGain, FRequired[static_cast<size_t>(j) % ring]);
  if (gain < 1 - 1e-6) {
    ++FLowered;
    FLowest = std::min(FLowest, gain);
  }
  const float* held = &FDelay[(static_cast<size_t>(j) % ring) * static_cast<size_t>(FChannels)];
  for (int c = 0; c < FChannels; ++c) Out[static_cast<size_t>(c)].push_back(static_cast<float>(held[c] * gain));
}

void TPeakLimiter::Process(const float* const* Data, int N, std::vector<std::vector<float>>& Out) {
  Out.resize(static_cast<size_t>(FChannels));
  std::vector<float> frame(static_cast<size_t>(FChannels), 0.0f);
  if (!Data) {
    // The end: silence pushes the held samples out.
    const int64_t held = std::min<int64_t>(FIn, FLookahead);
    for (int64_t i = 0; i < held; ++i) Take(frame.data(), Out);
    return;
  }
  for (int i = 0; i < N; ++i) {
    for (int c = 0; c < FChannels; ++c) frame[static_cast<size_t>(c)] = Data[c][i];
    Take(frame.data(), Out);
  }
}

// ---------------------------------------------------------------------------
// TLevelStage

TLevelStage::~TLevelStage() { ff::av_frame_free(&FOut); }

bool TLevelStage::OpenDynamic(double TargetLufs, double PeakDbtp, AVSampleFormat Format, int Rate,
                              const AVChannelLayout& Layout, std::string& Error) {
  FDynamic = true;
  FOut = ff::av_frame_alloc();
  const char* formatName = ff::av_get_sample_fmt_name(Format);
  const std::string layout = LayoutText(Layout);
  if (!FOut || !formatName) {
    Error = "out of memory";
    return false;
  }
  // The filter works at 192 kHz: the rate, format and layout go back to the
  // encoder's. A loudness range of 11 LU keeps most of a film's dynamics.
  char chain[512];
  std::snprintf(chain, sizeof chain, "loudnorm=I=%.1f:TP=%.1f:LRA=11,aresample=%d,aformat=sample_fmts=%s%s%s",
                TargetLufs, PeakDbtp, Rate, formatName, layout.empty() ? "" : ":channel_layouts=", layout.c_str());
  return FGraph.Open(Format, Rate, Layout, chain, Error);
}

bool TLevelStage::Drain(AVAudioFifo* Fifo) {
  while (FGraph.Receive(FOut)) {
    if (ff::av_audio_fifo_write(Fifo, reinterpret_cast<void**>(FOut->extended_data), FOut->nb_samples) <
        FOut->nb_samples) {
      ff::av_frame_unref(FOut);
      return false;
    }
  }
  ff::av_frame_unref(FOut);
  return true;
}

void TLevelStage::Limit(double CeilingDbfs, int Rate, int Channels) {
  FLimiter = std::make_unique<TPeakLimiter>(CeilingDbfs, Rate, Channels);
}

bool TLevelStage::WriteLimited(AVAudioFifo* Fifo) {
  if (FLimiterOut.empty() || FLimiterOut[0].empty()) return true;
  const int n = static_cast<int>(FLimiterOut[0].size());
  std::vector<void*> planes(FLimiterOut.size());
  for (size_t p = 0; p < planes.size(); ++p) planes[p] = FLimiterOut[p].data();
  const bool ok = ff::av_audio_fifo_write(Fifo, planes.data(), n) >= n;
  for (auto& plane : FLimiterOut) plane.clear();
  return ok;
}

bool TLevelStage::Process(const uint8_t* const* Data, int N, AVAudioFifo* Fifo, AVSampleFormat Format, int Channels) {
  if (N <= 0) return true;
  if (FDynamic) return FGraph.Send(Data, N) && Drain(Fifo);
  if (FLimiter && Format != AV_SAMPLE_FMT_FLTP) FLimiter.reset();
  // The gain goes on a copy: the samples may be the decoder's, which other
  // outputs of the same stream take too.
  const bool planar = ff::av_sample_fmt_is_planar(Format);
  const int planes = planar ? Channels : 1;
  const int count = planar ? N : N * Channels;
  const size_t planeBytes = static_cast<size_t>(count) * static_cast<size_t>(ff::av_get_bytes_per_sample(Format));
  if (FCopy.size() < planeBytes * planes) FCopy.resize(planeBytes * planes);
  std::vector<uint8_t*> copy(static_cast<size_t>(planes));
  for (int p = 0; p < planes; ++p) {
    copy[p] = FCopy.data() + planeBytes * p;
    std::memcpy(copy[p], Data[p], planeBytes);
    switch (ff::av_get_packed_sample_fmt(Format)) {
      case AV_SAMPLE_FMT_FLT: Scale<float>(copy[p], count, FGain, 0, 0); break;
      case AV_SAMPLE_FMT_DBL: Scale<double>(copy[p], count, FGain, 0, 0); break;
      case AV_SAMPLE_FMT_S16: Scale<int16_t>(copy[p], count, FGain, -32768, 32767); break;
      case AV_SAMPLE_FMT_S32: Scale<int32_t>(copy[p], count, FGain, -2147483648.0, 2147483647.0); break;
      default: break;  // 8-bit samples keep their level
    }
  }
  if (FLimiter) {
    FLimited += N;
    FLimiter->Process(reinterpret_cast<const float* const*>(copy.data()), N, FLimiterOut);
    return WriteLimited(Fifo);
  }
  return ff::av_audio_fifo_write(Fifo, reinterpret_cast<void**>(copy.data()), N) >= N;
}

bool TLevelStage::Finish(AVAudioFifo* Fifo) {
  if (FLimiter) {
    FLimiter->Process(nullptr, 0, FLimiterOut);
    FLimited = 0;
    return WriteLimited(Fifo);
  }
  if (!FDynamic) return true;
  return FGraph.Send(nullptr, 0) && Drain(Fifo);
}

// ---------------------------------------------------------------------------
// The engine's side

namespace {

struct TFormatCloser {
  void operator()(AVFormatContext* C) const { ff::avformat_close_input(&C); }
};
struct TFrameFree {
  void operator()(AVFrame* F) const { ff::av_frame_free(&F); }
};
struct TPacketFree {
  void operator()(AVPacket* P) const { ff::av_packet_free(&P); }
};
struct TSwrFree {
  void operator()(SwrContext* S) const { ff::swr_free(&S); }
};

}  // namespace

bool TCustomFFmpeg::MeasureSourceLoudness(OutputStreamState* Ost, TLoudness& Result, std::string& Why,
                                          TLevelStage* Through, double From, double To) {
  const InputStreamState* ist = FInputStreams[Ost->SourceIndex];
  const AVFormatContext* main = FInputFiles[ist->FileIndex];
  Why = "the input cannot be read twice";
  // Only a file can be read a second time.
  struct stat st{};
  if (!main->url || stat(main->url, &st) != 0 || !S_ISREG(st.st_mode)) return false;

  // The input is read as the conversion reads it: the same demuxer, the
  // same place it was sought to, the same track, the same decoder, the same
  // time line (its offset and scale), the same sound converter.
  AVFormatContext* opened = ff::avformat_alloc_context();
  if (!opened) return false;
  opened->interrupt_callback.callback = &TCustomFFmpeg::InterruptCallback;
  opened->interrupt_callback.opaque = this;
  if (ff::avformat_open_input(&opened, main->url, main->iformat, nullptr) < 0) return false;
  std::unique_ptr<AVFormatContext, TFormatCloser> input(opened);
  const int index = ist->StreamIndex;
  if (index >= static_cast<int>(input->nb_streams)) {
    // Streams that only a look into the file finds (program streams).
    std::lock_guard<std::mutex> guard(CodecLock());
    if (ff::avformat_find_stream_info(input.get(), nullptr) < 0 || index >= static_cast<int>(input->nb_streams))
      return false;
  }
  for (unsigned i = 0; i < input->nb_streams; ++i)
    input->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  const AVStream* stream = input->streams[index];
  const int64_t seekUs = FInputSeekUs[ist->FileIndex];
  if (seekUs != AV_NOPTS_VALUE) ff::av_seek_frame(input.get(), -1, seekUs, AVSEEK_FLAG_BACKWARD);

  Why = "its sound cannot be decoded";
  AVCodecContext* dec = NewDecoderContext(ist->CodecCtx->codec, ist->Stream->codecpar, stream->time_base);
  if (!dec) return false;
  struct TDecoderFree {
    AVCodecContext*& Dec;
    ~TDecoderFree() {
      std::lock_guard<std::mutex> guard(CodecLock());
      ff::avcodec_free_context(&Dec);
    }
  } freeDecoder{dec};
  {
    std::lock_guard<std::mutex> guard(CodecLock());
    if (ff::avcodec_open2(dec, dec->codec, nullptr) < 0) return false;
  }

  const AVCodecContext* enc = Ost->CodecCtx;
  const int rate = enc->sample_rate;
  TLoudnessMeter meter;
  std::string error;
  // What the encoder drops is not heard: it is not measured either.
  if (!meter.Open(AV_SAMPLE_FMT_FLTP, rate, enc->ch_layout, error, EncoderBandLimitHz(enc))) {
    Why = error;
    return false;
  }
  std::unique_ptr<AVPacket, TPacketFree> packet(ff::av_packet_alloc());
  std::unique_ptr<AVFrame, TFrameFree> frame(ff::av_frame_alloc());
  std::unique_ptr<SwrContext, TSwrFree> swr;
  std::vector<uint8_t> buffer;
  std::vector<uint8_t*> planes(static_cast<size_t>(enc->ch_layout.nb_channels));
  // What the converter was made for: format, rate, mask, channels, mix levels.
  int swrFormat = -1, swrRate = 0, swrChannels = 0;
  uint64_t swrMask = 0;
  double swrCentre = -2, swrSurround = -2;
  // Levelled samples wait here for the meter.
  AVAudioFifo* levelled = Through ? ff::av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, enc->ch_layout.nb_channels, 4096) : nullptr;
  struct TFifoFree {
    AVAudioFifo* Fifo;
    ~TFifoFree() {
      if (Fifo) ff::av_audio_fifo_free(Fifo);
    }
  } freeFifo{levelled};
  Why = "out of memory";
  if (!packet || !frame || (Through && !levelled)) return false;
  auto meterLevelled = [&]() -> bool {
    const int n = ff::av_audio_fifo_size(levelled);
    if (n <= 0) return true;
    const size_t planeBytes = static_cast<size_t>(n) * sizeof(float);
    if (buffer.size() < planeBytes * planes.size()) buffer.resize(planeBytes * planes.size());
    for (size_t p = 0; p < planes.size(); ++p) planes[p] = buffer.data() + planeBytes * p;
    ff::av_audio_fifo_read(levelled, reinterpret_cast<void**>(planes.data()), n);
    return meter.Add(planes.data(), n);
  };

  // The part of the conversion's time line that is converted: from the
  // output's start on, for the recording time (the input's own start option
  // is in the time line's offset).
  const int64_t startUs = FStartTime;
  const int64_t endUs = FRecordingTime == INT64_MAX ? INT64_MAX : FStartTime + FRecordingTime;
  // Where the next converted sample lies on that time line.
  int64_t nextUs = startUs;
  // Converts (and with nullptr drains) into the measured format; measures
  // the samples that lie within the converted part.
  auto measure = [&](const AVFrame* F, int64_t AtUs) -> bool {
    const int in = F ? F->nb_samples : 0;
    const int capacity = ff::swr_get_out_samples(swr.get(), in) + 32;
    const size_t planeBytes = static_cast<size_t>(capacity) * sizeof(float);
    if (buffer.size() < planeBytes * planes.size()) buffer.resize(planeBytes * planes.size());
    for (size_t p = 0; p < planes.size(); ++p) planes[p] = buffer.data() + planeBytes * p;
    const int n = ff::swr_convert(swr.get(), planes.data(), capacity, F ? const_cast<const uint8_t**>(F->extended_data) : nullptr,
                                  in);
    if (n < 0) return false;
    const int64_t at = F ? AtUs : nextUs;
    nextUs = at + n * int64_t{1000000} / rate;
    auto sampleAt = [&](int64_t Us) {
      if (Us == INT64_MAX) return int64_t{n};
      return std::clamp<int64_t>((Us - at) * rate / 1000000, 0, n);
    };
    const int first = static_cast<int>(sampleAt(startUs)), last = static_cast<int>(sampleAt(endUs));
    if (last <= first) return true;
    std::vector<uint8_t*> part(planes.size());
    for (size_t p = 0; p < planes.size(); ++p) part[p] = planes[p] + static_cast<size_t>(first) * sizeof(float);
    if (!Through) return meter.Add(part.data(), last - first);
    return Through->Process(part.data(), last - first, levelled, AV_SAMPLE_FMT_FLTP, enc->ch_layout.nb_channels) &&
           meterLevelled();
  };

  Why = "its sound cannot be converted";
  bool ended = false, draining = false;
  while (!ended) {
    // A pause holds the measuring pass as it holds the conversion.
    if (FPauseRequested) HoldWhilePaused();
    if (FStopRequested) return false;
    if (!draining) {
      const int r = ff::av_read_frame(input.get(), packet.get());
      if (r < 0) {
        draining = true;
        ff::avcodec_send_packet(dec, nullptr);
      } else {
        if (packet->stream_index == index) {
          OffsetPacketTimes(ist->FileIndex, stream, packet.get());
          ff::avcodec_send_packet(dec, packet.get());
        }
        ff::av_packet_unref(packet.get());
      }
    }
    for (;;) {
      const int r = ff::avcodec_receive_frame(dec, frame.get());
      if (r == AVERROR_EOF) ended = true;
      if (r < 0) break;
      const int64_t ts = frame->best_effort_timestamp;
      const int64_t atUs = ts == AV_NOPTS_VALUE ? nextUs : ff::av_rescale_q(ts, stream->time_base, AV_TIME_BASE_Q);
      if (atUs >= endUs) {
        ended = true;
        break;
      }
      const int64_t lengthUs = frame->sample_rate > 0 ? frame->nb_samples * int64_t{1000000} / frame->sample_rate : 0;
      if (atUs + lengthUs <= startUs || frame->nb_samples <= 0) continue;
      // The audio path's conversion: the same layout, rate and mix levels.
      const uint64_t mask = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
      const AVFrameSideData* side = ff::av_frame_get_side_data(frame.get(), AV_FRAME_DATA_DOWNMIX_INFO);
      const auto* info = side && side->size >= static_cast<int>(sizeof(AVDownmixInfo))
                             ? reinterpret_cast<const AVDownmixInfo*>(side->data)
                             : nullptr;
      const double centre = info ? info->center_mix_level : -1;
      const double surround = info ? info->surround_mix_level : -1;
      if (!swr || frame->format != swrFormat || frame->sample_rate != swrRate || mask != swrMask ||
          frame->ch_layout.nb_channels != swrChannels || centre != swrCentre || surround != swrSurround) {
        if (swr && !measure(nullptr, 0)) return false;
        SwrContext* made = nullptr;
        const int r2 = OpenSoundConverter(made, enc, AV_SAMPLE_FMT_FLTP, static_cast<AVSampleFormat>(frame->format),
                                          frame->sample_rate, frame->ch_layout.nb_channels, mask, centre, surround);
        swr.reset(made);
        if (r2 < 0) return false;
        swrFormat = frame->format;
        swrRate = frame->sample_rate;
        swrMask = mask;
        swrChannels = frame->ch_layout.nb_channels;
        swrCentre = centre;
        swrSurround = surround;
      }
      if (!measure(frame.get(), atUs)) return false;
      // The measuring pass is the first part of the progress.
      const int64_t now = ff::av_gettime();
      if (FOnProgress && now - FLastReportTime > FProgressInterval && FTotalDurationMs > 0) {
        FLastReportTime = now;
        const double done = std::clamp(static_cast<double>(atUs - startUs) / 1000.0 / FTotalDurationMs, 0.0, 1.0);
        FOnProgress(this, 0, 0, static_cast<int>((From + done * (To - From)) * FLevelShare * FTotalDurationMs), -1.0f, 0.0f, 0,
                    FTotalDurationMs);
      }
    }
  }
  if (swr && !measure(nullptr, 0)) return false;
  if (Through && !(Through->Finish(levelled) && meterLevelled())) return false;
  Result = meter.Finish();
  Why.clear();
  return true;
}

void TCustomFFmpeg::PrepareEvenLoudness() {
  FLevelShare = 0;
  if (FLoudnessTarget == 0) return;
  std::vector<OutputStreamState*> outputs;
  for (OutputStreamState* ost : FOutputStreams)
    if (ost->EncodingNeeded && ost->CodecCtx->codec_type == AVMEDIA_TYPE_AUDIO && ost->Fifo) outputs.push_back(ost);
  if (outputs.empty()) return;
  FLevelShare = kMeasuringShare;
  for (OutputStreamState* ost : outputs) {
    const InputStreamState* src = FInputStreams[ost->SourceIndex];
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "Stream #%d.%d -> #%d.%d: ", src->FileIndex, src->StreamIndex, ost->FileIndex,
                  ost->StreamIndex);
    const std::string stream = prefix;
    const AVCodecContext* enc = ost->CodecCtx;
    TLoudness loudness;
    std::string error;
    std::string why;
    if (!MeasureSourceLoudness(ost, loudness, why, nullptr, 0, 0.5)) {
      if (FStopRequested) return;
      // A stream that cannot be measured first is levelled as it plays.
      auto stage = std::make_unique<TLevelStage>(0.0);
      if (!stage->OpenDynamic(FLoudnessTarget, kLimiterPeakDbtp, enc->sample_fmt, enc->sample_rate, enc->ch_layout,
                              error)) {
        Log(0, stream + error);
        continue;
      }
      ost->Level = stage.release();
      if (FVerbose >= 0 && FOnLog)
        LogFmt(1, "%sloudness not measured (%s): levelled to %.1f LUFS as it plays", stream.c_str(), why.c_str(),
               FLoudnessTarget);
      continue;
    }
    if (loudness.Integrated == -HUGE_VAL) {
      if (FVerbose >= 0 && FOnLog) LogFmt(1, "%ssilent: its level is left as it is", stream.c_str());
      continue;
    }
    // The loudness this stream is taken to: the target, unless that needs
    // more than the most gain.
    const double target = std::min(FLoudnessTarget, loudness.Integrated + kMostGainDb);
    if (target < FLoudnessTarget && FVerbose >= 0 && FOnLog)
      LogFmt(1, "%sloudness %.1f LUFS: raised by no more than %.0f dB, to %.1f LUFS instead of %.1f", stream.c_str(),
             loudness.Integrated, kMostGainDb, target, FLoudnessTarget);
    const double gain = target - loudness.Integrated;
    if (loudness.TruePeak + gain <= kLinearPeakDbtp) {
      ost->Level = new TLevelStage(gain);
      if (FVerbose >= 0 && FOnLog)
        LogFmt(1, "%sloudness %.1f LUFS, true peak %.1f dBTP: %s by %.1f dB to %.1f LUFS", stream.c_str(),
               loudness.Integrated, loudness.TruePeak, gain >= 0 ? "raised" : "lowered", std::fabs(gain), target);
      continue;
    }
    // The peaks do not allow the gain: the whole file gets one gain and a
    // limiter holds its peaks. The limiter takes away the share of the
    // loudness its peaks had: a trial run of the levelling, measured, tells
    // how much, and the gain makes up for it (at most 3 dB more).
    const int channels = enc->ch_layout.nb_channels;
    double levelGain = gain;
    TLevelStage trial(gain);
    trial.Limit(kLimiterPeakDbtp, enc->sample_rate, channels);
    TLoudness levelled;
    if (MeasureSourceLoudness(ost, levelled, why, &trial, 0.5, 1) && levelled.Integrated != -HUGE_VAL)
      levelGain = gain + std::clamp(target - levelled.Integrated, -3.0, 3.0);
    if (FStopRequested) return;
    auto stage = std::make_unique<TLevelStage>(levelGain);
    stage->Limit(kLimiterPeakDbtp, enc->sample_rate, channels);
    ost->Level = stage.release();
    if (FVerbose >= 0 && FOnLog)
      LogFmt(1,
             "%sloudness %.1f LUFS, true peak %.1f dBTP: %s by %.1f dB to %.1f LUFS with its peaks held at %.1f dBFS "
             "(the gain alone would take them to %.1f dBTP)",
             stream.c_str(), loudness.Integrated, loudness.TruePeak, levelGain >= 0 ? "raised" : "lowered",
             std::fabs(levelGain), target, kLimiterPeakDbtp, loudness.TruePeak + levelGain);
  }
  // The conversion's own speed counts from here.
  FTimerStart = ff::av_gettime();
}

void TCustomFFmpeg::QueueSamples(OutputStreamState* Ost, uint8_t** Data, int N) {
  if (N <= 0) return;
  const AVCodecContext* enc = Ost->CodecCtx;
  const bool ok = Ost->Level ? Ost->Level->Process(Data, N, Ost->Fifo, enc->sample_fmt, enc->ch_layout.nb_channels)
                             : ff::av_audio_fifo_write(Ost->Fifo, reinterpret_cast<void**>(Data), N) >= N;
  if (!ok) throw FFMpegException("av_fifo_realloc2() failed");
}

int64_t TCustomFFmpeg::QueuedSamples(const OutputStreamState* Ost) const {
  return ff::av_audio_fifo_size(Ost->Fifo) + (Ost->Level ? Ost->Level->Held() : 0);
}

void TCustomFFmpeg::FinishLevelling(OutputStreamState* Ost) {
  if (Ost->Level && !Ost->Level->Finish(Ost->Fifo)) throw FFMpegException("av_fifo_realloc2() failed");
}
