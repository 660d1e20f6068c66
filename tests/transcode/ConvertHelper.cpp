#include "ConvertHelper.h"

#include <gtest/gtest.h>

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
  TCustomFFmpeg local;
  TCustomFFmpeg& e = Engine ? *Engine : local;
  e.PrepareForTask();
  e.FOnLog = [&C](TCustomFFmpeg*, int Level, const std::string& Msg) { C.Log.emplace_back(Level, Msg); };
  e.FOnTerminate = [&C](TCustomFFmpeg*) { ++C.Terminations; };
  if (!e.FOnProgress)
    e.FOnProgress = [&C](TCustomFFmpeg*, int, int, int, float, float, int64_t, int) { ++C.Progresses; };
  try {
    for (auto& [name, value] : C.InputOptions) e.AddOption(name, value);
    if (!e.OpenInputFile(In)) {
      C.Error = e.LastError();
      return false;
    }
    for (auto& [name, value] : C.OutputOptions) e.AddOption(name, value);
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

std::vector<std::pair<std::string, std::string>> WindowDefaults() {
  return {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"ac", "2"},        {"b", "512000"},
          {"ab", "80000"},     {"s", "320x240"},      {"r", "30"},        {"ar", "44100"}};
}
