// The transcode main loop: choosing the next input, correcting timestamps,
// decoding or copying each packet to the output streams it feeds, and the end
// of the run (flush, trailers, final report, closing the codecs).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "FFmpeg.h"
#include "MyUtils.h"
#include "OpenErrors.h"

namespace {

// The stream's frame rate, the decoder's when the stream gives none. The
// decoder's is not always a frame rate: MPEG-4 part 2 without a fixed picture
// rate reports its clock's resolution there (30000/1 for 29.97 fps).
AVRational VideoFrameRate(const InputStreamState* Ist) {
  if (Ist->Stream->avg_frame_rate.num > 0 && Ist->Stream->avg_frame_rate.den > 0) return Ist->Stream->avg_frame_rate;
  if (Ist->Stream->r_frame_rate.num > 0 && Ist->Stream->r_frame_rate.den > 0) return Ist->Stream->r_frame_rate;
  if (Ist->CodecCtx->framerate.num > 0 && Ist->CodecCtx->framerate.den > 0) return Ist->CodecCtx->framerate;
  return AVRational{0, 1};
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing

void TCustomFFmpeg::WriteStreamPacket(OutputStreamState* Ost, AVPacket* Packet) {
  if (Packet->pts != AV_NOPTS_VALUE) {
    const int64_t end = Packet->pts + (Packet->duration > 0 ? Packet->duration : 0);
    if (Ost->EndPts == AV_NOPTS_VALUE || end > Ost->EndPts) Ost->EndPts = end;
  }
  thread_local std::vector<AVBSFContext*> noFilters;  // streams beyond the per-file tables
  std::vector<AVBSFContext*>& chain =
      Ost->StreamIndex < MAX_STREAMS ? FBitstreamFilters[Ost->FileIndex][Ost->StreamIndex] : noFilters;
  WriteFrame(FOutputFiles[Ost->FileIndex], Packet, chain, Ost->CodecCtx);
}

int TCustomFFmpeg::EncodePackets(OutputStreamState* Ost, AVFrame* Frame, const std::function<void(AVPacket*)>& Take) {
  AVCodecContext* enc = Ost->CodecCtx;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  int r = ff::avcodec_send_frame(enc, Frame);
  if (r < 0 && r != AVERROR_EOF) return r;
  if (Frame && video && r >= 0) Ost->PictureTicks.emplace_back(Frame->pts, std::max<int64_t>(Frame->pkt_duration, 1));
  AVPacket* pkt = Ost->EncPacket;
  for (;;) {
    r = ff::avcodec_receive_packet(enc, pkt);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
    if (r < 0) return r;
    pkt->stream_index = Ost->StreamIndex;
    // A packet lasts as long as the picture it was made from: one tick of the
    // encoder's time base (one frame) at a constant output rate, the
    // picture's own duration at the source's rate (1/1000 s ticks). With that
    // the last picture lasts its whole duration, and the container's duration
    // is exact.
    if (video) {
      auto& ticks = Ost->PictureTicks;
      const auto it = std::find_if(ticks.begin(), ticks.end(), [&](const auto& T) { return T.first == pkt->pts; });
      pkt->duration = it != ticks.end() ? it->second : 1;
      if (it != ticks.end()) ticks.erase(it);
      // Pictures before this packet's decoding time that never came out (the
      // encoder dropped them) are forgotten.
      while (!ticks.empty() && pkt->dts != AV_NOPTS_VALUE && ticks.front().first < pkt->dts) ticks.pop_front();
    }
    ff::av_packet_rescale_ts(pkt, enc->time_base, Ost->Stream->time_base);
    if (enc->codec_type == AVMEDIA_TYPE_AUDIO) pkt->flags |= AV_PKT_FLAG_KEY;
    Take(pkt);
    ff::av_packet_unref(pkt);
  }
}

void TCustomFFmpeg::WriteEncodedPacket(OutputStreamState* Ost, AVPacket* Packet) {
  size_t sideSize = 0;
  if (const uint8_t* sd = ff::av_packet_get_side_data(Packet, AV_PKT_DATA_QUALITY_STATS, &sideSize)) {
    if (sideSize >= 8) {
      Ost->LastQuality = static_cast<float>(static_cast<int32_t>(sd[0] | sd[1] << 8 | sd[2] << 16 |
                                                                  static_cast<uint32_t>(sd[3]) << 24));
      Ost->LastPictType = sd[4];
      const int errors = std::min<int>(sd[5], 4);
      for (int i = 0; i < errors && 8 + 8 * (i + 1) <= static_cast<int>(sideSize); ++i) {
        uint64_t e = 0;
        for (int b = 7; b >= 0; --b) e = e << 8 | sd[8 + 8 * i + b];
        Ost->LastError[i] = e;
      }
    }
  }
  if (Ost->CodecCtx->codec_type == AVMEDIA_TYPE_VIDEO)
    FVideoSize += Packet->size;
  else
    FAudioSize += Packet->size;
  if (Ost->LogFile && Ost->CodecCtx->stats_out) std::fprintf(Ost->LogFile, "%s", Ost->CodecCtx->stats_out);
  WriteStreamPacket(Ost, Packet);
}

int TCustomFFmpeg::EncodeAndWrite(OutputStreamState* Ost, AVFrame* Frame) {
  int bytes = 0;
  const int r = EncodePackets(Ost, Frame, [&](AVPacket* Packet) {
    bytes = Packet->size;
    WriteEncodedPacket(Ost, Packet);
  });
  return r < 0 ? r : bytes;
}

// ---------------------------------------------------------------------------
// One packet of one input stream

int TCustomFFmpeg::OutputPacket(InputStreamState* Ist, int IstIndex, AVPacket* Packet) {
  AVCodecContext* dec = Ist->CodecCtx;
  AVStream* st = Ist->Stream;
  if (Ist->NextPts == AV_NOPTS_VALUE) Ist->NextPts = Ist->Pts;
  if (Packet && Packet->dts != AV_NOPTS_VALUE) {
    Ist->Pts = Ist->NextPts = ff::av_rescale_q(Packet->dts, st->time_base, AV_TIME_BASE_Q);
    if (Ist->DecodingNeeded && dec->codec_type == AVMEDIA_TYPE_VIDEO) {
      Ist->PacketDtsSeen = 1;
      Ist->PacketDtsUs = Ist->Pts;
      if (!Ist->FirstDtsSeen) {
        Ist->FirstDtsSeen = 1;
        Ist->FirstDtsUs = Ist->Pts;
        Ist->TimedByDecodeOrder = Packet->pts == AV_NOPTS_VALUE || Packet->pts == Packet->dts;
      }
    }
  }

  if (!Ist->DecodingNeeded) {
    if (!Packet) return 0;
    Ist->Pts = Ist->NextPts;
    if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (dec->frame_size > 0 && dec->sample_rate > 0)
        Ist->NextPts += int64_t{1000000} * dec->frame_size / dec->sample_rate;
      else if (Packet->duration > 0)
        Ist->NextPts += ff::av_rescale_q(Packet->duration, st->time_base, AV_TIME_BASE_Q);
    } else if (dec->codec_type == AVMEDIA_TYPE_VIDEO) {
      const AVRational rate = VideoFrameRate(Ist);
      if (rate.num) Ist->NextPts += int64_t{1000000} * rate.den / rate.num;
    }
    EmulateRate(Ist);
    if (FStartTime != 0 && Ist->Pts < FStartTime) return 0;
    CopyPacket(Ist, IstIndex, Packet, Ist->Pts);
    return 0;
  }

  // Outputs that copy this stream get the packet as it is, while others
  // re-encode what it decodes to.
  if (Packet && (FStartTime == 0 || Ist->NextPts >= FStartTime)) CopyPacket(Ist, IstIndex, Packet, Ist->NextPts);

  AVFrame* frame = Ist->DecodedFrame;
  switch (dec->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
    case AVMEDIA_TYPE_VIDEO: {
      int r = ff::avcodec_send_packet(dec, Packet);
      if (r < 0 && r != AVERROR_EOF && Packet) return -1;
      int frames = 0;
      for (;;) {
        r = ff::avcodec_receive_frame(dec, frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) return -1;
        if (++frames > 1 && Packet && FVerbose > 0 && FOnLog)
          LogFmt(0, "Multiple frames in a packet from stream %d", Packet->stream_index);
        if (dec->codec_type == AVMEDIA_TYPE_AUDIO)
          HandleDecodedAudio(Ist, IstIndex, frame);
        else
          HandleDecodedVideo(Ist, IstIndex, frame);
        ff::av_frame_unref(frame);
      }
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE: {
      if (!Packet) break;
      Ist->Pts = Ist->NextPts;
      AVSubtitle subtitle{};
      int got = 0;
      if (ff::avcodec_decode_subtitle2(dec, &subtitle, &got, Packet) < 0) return -1;
      if (got) {
        if (FStartTime == 0 || Ist->Pts >= FStartTime) {
          for (OutputStreamState* ost : FOutputStreams)
            if (ost->SourceIndex == IstIndex && ost->EncodingNeeded)
              DoSubtitleOut(ost, Packet->pts, &subtitle, Ist);
        }
        ff::avsubtitle_free(&subtitle);
      }
      break;
    }
    default:
      return -1;
  }

  if (!Packet) {
    // End of input: what the filter graph holds (a filter that looks ahead,
    // or one that gives its pictures only at the end) goes out, then what the
    // encoders still hold. The deinterlacer holds a picture too.
    if (dec->codec_type == AVMEDIA_TYPE_VIDEO) DrainPreparedVideo(Ist, IstIndex, true);
    // (The subtitle pictures end first; a refusal only leaves the overlay
    // waiting for the end of the pictures.)
    if (dec->codec_type == AVMEDIA_TYPE_VIDEO && Ist->SubtitleVideoFilter &&
        ff::av_buffersrc_add_frame_flags(Ist->SubtitleVideoFilter, nullptr, 0) < 0)
      Ist->SubtitleVideoFilter = nullptr;
    if (dec->codec_type == AVMEDIA_TYPE_VIDEO && FFiltersEnabled && Ist->InputVideoFilter &&
        ff::av_buffersrc_add_frame_flags(Ist->InputVideoFilter, nullptr, 0) >= 0)
      DrainVideoFilter(Ist, IstIndex);
    for (OutputStreamState* ost : FOutputStreams) {
      if (ost->SourceIndex != IstIndex || !ost->EncodingNeeded) continue;
      const AVMediaType type = ost->CodecCtx->codec_type;
      if (type == AVMEDIA_TYPE_AUDIO) {
        FlushAudioFifo(ost);
        SubmitFrame(ost, nullptr);
      } else if (type == AVMEDIA_TYPE_VIDEO) {
        FlushVideoSync(ost);
        SubmitFrame(ost, nullptr);
      }
    }
  }
  return 0;
}

void TCustomFFmpeg::CopyPacket(InputStreamState* Ist, int IstIndex, const AVPacket* Packet, int64_t PacketTimeUs) {
  const AVRational itb = Ist->Stream->time_base;
  for (OutputStreamState* ost : FOutputStreams) {
    if (ost->SourceIndex != IstIndex || ost->EncodingNeeded) continue;
    const AVMediaType type = ost->CodecCtx->codec_type;
    // Copying starts at a key frame.
    if (ost->FrameNumber == 0 && !(Packet->flags & AV_PKT_FLAG_KEY)) continue;
    AVPacket* opkt = ost->OutPacket;
    if (ff::av_packet_ref(opkt, Packet) < 0) throw FFMpegException("av_malloc fail");
    if (type == AVMEDIA_TYPE_VIDEO) ++ost->SyncOpts;
    const AVRational otb = ost->Stream->time_base;
    opkt->stream_index = ost->StreamIndex;
    opkt->pts = Packet->pts != AV_NOPTS_VALUE ? ff::av_rescale_q(Packet->pts, itb, otb) : AV_NOPTS_VALUE;
    opkt->dts = Packet->dts != AV_NOPTS_VALUE ? ff::av_rescale_q(Packet->dts, itb, otb)
                                              : ff::av_rescale_q(PacketTimeUs, AV_TIME_BASE_Q, otb);
    opkt->duration = ff::av_rescale_q(Packet->duration, itb, otb);
    opkt->flags = Packet->flags;
    SubmitPacket(ost, opkt, type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO ? type : -1);
    ++ost->CodecCtx->frame_number;
    ++ost->FrameNumber;
  }
}

void TCustomFFmpeg::EmulateRate(InputStreamState* Ist) {
  // Never read ahead of the input's own clock by more than 50 ms.
  if (!Ist->RateEmu) return;
  if (Ist->FrameCount == 0) Ist->RateEmuOrigin = Ist->Pts;
  const int64_t ahead = (Ist->Pts - Ist->RateEmuOrigin) - (ff::av_gettime() - Ist->Start);
  if (ahead > 50000) std::this_thread::sleep_for(std::chrono::milliseconds(ahead / 1000));
  ++Ist->FrameCount;
}

void TCustomFFmpeg::ShowDecodedVideo(InputStreamState* Ist, int IstIndex, AVFrame* Frame) {
  AVStream* st = Ist->Stream;
  const AVRational rate = VideoFrameRate(Ist);
  const int64_t interval = rate.num ? int64_t{1000000} * rate.den / rate.num : 0;
  if (Frame->best_effort_timestamp != AV_NOPTS_VALUE) {
    Ist->Pts = ff::av_rescale_q(Frame->best_effort_timestamp, st->time_base, AV_TIME_BASE_Q);
    if (Ist->TimedByDecodeOrder) {
      // The first picture is the stream's first, so any lag it has is the
      // decoder's reordering delay. A lag longer than the pictures the decoder
      // may hold back is not one (the pictures before it could not be
      // decoded): then nothing is taken off.
      if (!Ist->ReorderDelayKnown) {
        Ist->ReorderDelayKnown = 1;
        const int64_t lag = Ist->Pts - Ist->FirstDtsUs;
        const int64_t held = std::max(1, Ist->CodecCtx->has_b_frames) * interval + interval / 2;
        Ist->ReorderDelayUs = lag > 0 && lag <= held ? lag : 0;
      }
      Ist->Pts -= Ist->ReorderDelayUs;
    }
  } else {
    Ist->Pts = Ist->NextPts;
  }
  Ist->PictureDurationUs =
      Frame->pkt_duration > 0 ? ff::av_rescale_q(Frame->pkt_duration, st->time_base, AV_TIME_BASE_Q) : interval;
  Ist->NextPts = Ist->Pts + Ist->PictureDurationUs;
  Ist->Quality = static_cast<float>(Frame->quality);

  AVFrame* picture = Frame;
  PreProcessVideoFrame(Ist, picture);

  EmulateRate(Ist);
  if (FStartTime != 0 && Ist->Pts < FStartTime) return;

  if (!FFiltersEnabled || !Ist->InputVideoFilter) {
    FeedVideoOutputs(Ist, IstIndex, picture);
    return;
  }
  // A change of size or format mid-stream: the graph is made again for the new
  // pictures, still ending in the encoder's size.
  for (OutputStreamState* ost : FOutputStreams) {
    if (ost->SourceIndex != IstIndex || !ost->EncodingNeeded || ost->CodecCtx->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (picture->width == ost->DecodedWidth && picture->height == ost->DecodedHeight &&
        picture->format == ost->DecodedPixFmt)
      continue;
    PrepareVideoScaler(ost, picture->width, picture->height, picture->format);
    ff::avfilter_graph_free(&Ist->FilterGraph);
    Ist->InputVideoFilter = Ist->OutputVideoFilter = Ist->SubtitleVideoFilter = nullptr;
    FLastError.clear();
    if (ConfigureVideoFilters(Ist, ost) != 0)
      throw FFMpegException(FLastError.empty() ? std::string("Error opening filters!")
                                               : "Error opening filters: " + FLastError);
  }
  // Through the filter graph: every picture it gives back goes out with its
  // own time.
  picture->pts = picture->best_effort_timestamp;
  // The overlay takes a subtitle picture with each picture, of the same time.
  // When it cannot have one, the subtitle pictures end there and the
  // pictures pass on without them.
  if (Ist->SubtitleVideoFilter &&
      !FPictureSubtitles->Feed(Ist->SubtitleVideoFilter, picture->pts,
                               picture->pts == AV_NOPTS_VALUE
                                   ? AV_NOPTS_VALUE
                                   : ff::av_rescale_q(picture->pts, Ist->Stream->time_base, AV_TIME_BASE_Q))) {
    if (ff::av_buffersrc_add_frame_flags(Ist->SubtitleVideoFilter, nullptr, 0) < 0) {
      // The overlay passes the pictures on once its second source has ended.
    }
    Ist->SubtitleVideoFilter = nullptr;
    FSubtitlesGivenUp = true;
    Log(0, "Subtitles \"" + std::string(FInputFiles[Ist->FileIndex]->url) +
               "\" cannot be laid over the pictures: the rest of the video is converted without them");
  }
  if (ff::av_buffersrc_add_frame_flags(Ist->InputVideoFilter, picture, AV_BUFFERSRC_FLAG_KEEP_REF) < 0) return;
  DrainVideoFilter(Ist, IstIndex);
}

void TCustomFFmpeg::FeedVideoOutputs(InputStreamState* Ist, int IstIndex, AVFrame* Picture) {
  for (OutputStreamState* ost : FOutputStreams) {
    if (ost->SourceIndex != IstIndex || !ost->EncodingNeeded) continue;
    int frameSize = 0;
    DoVideoOut(ost, frameSize, Picture, Ist);
    if (FVStatsFileName && frameSize) WriteVideoStats(ost, frameSize);
  }
}

void TCustomFFmpeg::DrainVideoFilter(InputStreamState* Ist, int IstIndex) {
  if (!Ist->FilterPicRef) Ist->FilterPicRef = ff::av_frame_alloc();
  if (!Ist->FilterPicRef) return;
  while (ff::av_buffersink_get_frame(Ist->OutputVideoFilter, Ist->FilterPicRef) >= 0) {
    if (Ist->FilterPicRef->pts != AV_NOPTS_VALUE)
      Ist->Pts = ff::av_rescale_q(Ist->FilterPicRef->pts, ff::av_buffersink_get_time_base(Ist->OutputVideoFilter),
                                  AV_TIME_BASE_Q);
    FeedVideoOutputs(Ist, IstIndex, Ist->FilterPicRef);
    ff::av_frame_unref(Ist->FilterPicRef);
  }
}

void TCustomFFmpeg::HandleDecodedAudio(InputStreamState* Ist, int IstIndex, AVFrame* Frame) {
  // The audio path works on interleaved 16-bit samples at the decoder's rate,
  // channel count and layout: convert whatever the decoder gives into that.
  // A layout without a channel mask is taken in the default order.
  const int channels = Frame->ch_layout.nb_channels > 0 ? Frame->ch_layout.nb_channels : 1;
  const int rate = Frame->sample_rate > 0 ? Frame->sample_rate : Ist->CodecCtx->sample_rate;
  if (rate <= 0) return;
  const uint64_t mask = Frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? Frame->ch_layout.u.mask : 0;
  NoteMixLevels(Ist, Frame);
  const size_t needed = std::max<size_t>(static_cast<size_t>(Frame->nb_samples) * 2 * channels, 192000);
  if (FDecodedAudio.size() < needed) FDecodedAudio.resize(needed);
  int samples = 0;
  if (Frame->format == AV_SAMPLE_FMT_S16) {
    samples = Frame->nb_samples;
    std::memcpy(FDecodedAudio.data(), Frame->data[0], static_cast<size_t>(samples) * 2 * channels);
  } else {
    if (!Ist->ToS16 || Ist->ToS16Format != Frame->format || Ist->ToS16Channels != channels || Ist->ToS16Rate != rate ||
        Ist->ToS16Layout != mask) {
      if (Ist->ToS16) ff::swr_free(&Ist->ToS16);
      AVChannelLayout layout{};
      if (mask)
        ff::av_channel_layout_from_mask(&layout, mask);
      else
        ff::av_channel_layout_default(&layout, channels);
      AVChannelLayout* inLayout = Frame->ch_layout.nb_channels > 0 ? &Frame->ch_layout : &layout;
      if (!SamplesUsable(Frame->format, rate, channels) ||
          ff::swr_alloc_set_opts2(&Ist->ToS16, &layout, AV_SAMPLE_FMT_S16, rate, inLayout,
                                  static_cast<AVSampleFormat>(Frame->format), rate, 0, nullptr) < 0 ||
          ff::swr_init(Ist->ToS16) < 0) {
        ff::av_channel_layout_uninit(&layout);
        if (Ist->ToS16) ff::swr_free(&Ist->ToS16);
        const char* name = ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(Frame->format));
        throw FFMpegException(std::string("Cannot convert ") + (name ? name : "unknown") +
                              " sample format to s16 sample format");
      }
      ff::av_channel_layout_uninit(&layout);
      Ist->ToS16Format = Frame->format;
      Ist->ToS16Channels = channels;
      Ist->ToS16Rate = rate;
      Ist->ToS16Layout = mask;
    }
    uint8_t* out[1] = {FDecodedAudio.data()};
    samples = ff::swr_convert(Ist->ToS16, out, static_cast<int>(FDecodedAudio.size() / (2 * channels)),
                              const_cast<const uint8_t**>(Frame->extended_data), Frame->nb_samples);
    if (samples < 0) return;
  }
  const int size = samples * 2 * channels;
  Ist->DecChannels = channels;
  Ist->DecRate = rate;
  Ist->DecLayout = mask;

  Ist->Pts = Ist->NextPts;
  Ist->NextPts += int64_t{500000} * size / (static_cast<int64_t>(rate) * channels);

  if (FAudioVolume != 256) {
    auto* v = reinterpret_cast<int16_t*>(FDecodedAudio.data());
    for (int i = 0; i < size / 2; ++i) {
      // 64 bits: a volume above 65536 overflows 32.
      const int64_t scaled = (int64_t{v[i]} * FAudioVolume + 128) >> 8;
      v[i] = static_cast<int16_t>(clip<int64_t>(scaled, -32768, 32767));
    }
  }
  EmulateRate(Ist);
  if (FStartTime != 0 && Ist->Pts < FStartTime) return;
  for (OutputStreamState* ost : FOutputStreams) {
    if (ost->SourceIndex != IstIndex || !ost->EncodingNeeded) continue;
    DoAudioOut(ost, size, FDecodedAudio.data(), Ist);
  }
}

// ---------------------------------------------------------------------------
// The loop and the end of the run

void TCustomFFmpeg::AlignStreamStart(InputStreamState* Ist, AVPacket* Packet) {
  const AVRational tb = Ist->Stream->time_base;
  if (!Ist->StartSeen) {
    const int64_t first = Packet->dts != AV_NOPTS_VALUE ? Packet->dts : Packet->pts;
    if (first == AV_NOPTS_VALUE) return;
    Ist->StartSeen = 1;
    // A stream whose first timestamp lies further from the file's start than
    // any discontinuity the loop accepts (some muxers stamp the video 1000
    // hours after the audio) would be filled with that much of duplicates or
    // silence: it starts with the other streams instead, as a player shows it.
    const int64_t firstUs = ff::av_rescale_q(first, tb, AV_TIME_BASE_Q);
    const int64_t limit = static_cast<int64_t>(FDtsDeltaThreshold * 1000000.0);
    if (!FCopyTs && (firstUs > limit || firstUs < -limit)) {
      Ist->StartShift = -firstUs;
      if (FVerbose > 0 && FOnLog)
        LogFmt(1, "Stream #%d.%d starts %.3f s away from the file's start: it starts with the other streams",
               Ist->FileIndex, Ist->StreamIndex, static_cast<double>(firstUs) / 1000000.0);
    }
  }
  if (Ist->StartShift == 0) return;
  const int64_t shift = ff::av_rescale_q(Ist->StartShift, AV_TIME_BASE_Q, tb);
  if (Packet->dts != AV_NOPTS_VALUE) Packet->dts += shift;
  if (Packet->pts != AV_NOPTS_VALUE) Packet->pts += shift;
}

void TCustomFFmpeg::TranscodeLoop() {
  AVPacket* pkt = ff::av_packet_alloc();
  if (!pkt) throw FFMpegException("av_malloc fail");
  struct TPacketGuard {
    AVPacket*& P;
    ~TPacketGuard() { ff::av_packet_free(&P); }
  } guard{pkt};
  // The encoders and the writer may work on a thread of their own; a failure
  // on this side ends that thread before the run's state goes.
  StartEncodeStage();
  struct TStageGuard {
    TCustomFFmpeg* Engine;
    ~TStageGuard() { Engine->AbandonEncodeStage(); }
  } stageGuard{this};

  FLastReportTime = FTimerStart;
  while (!FStopRequested) {
    if (FPauseRequested) {
      HoldWhilePaused();
      if (FStopRequested) break;
    }
    CheckEncodeStage();
    double optsMin = 0;
    const int fileIndex = NextInputFile(optsMin);
    if (fileIndex < 0) break;
    if (static_cast<double>(FRecordingTime) / 1000000.0 <= optsMin) break;
    if (FLimitFileSize != 0 && FOutputFiles[0]->pb && ff::avio_seek(FOutputFiles[0]->pb, 0, SEEK_CUR) > FLimitFileSize)
      break;

    AVFormatContext* ic = FInputFiles[fileIndex];
    if (ff::av_read_frame(ic, pkt) < 0) {
      FFileTable[fileIndex].EofReached = 1;
      if (FShortest) break;
      continue;
    }
    if (FDoPktDump)
      ff::av_pkt_dump_log2(nullptr, AV_LOG_INFO, pkt, FDoHexDump,
                           pkt->stream_index < static_cast<int>(ic->nb_streams) ? ic->streams[pkt->stream_index]
                                                                                : ic->streams[0]);
    const InputFileState& file = FFileTable[fileIndex];
    if (pkt->stream_index >= file.NbStreams || FInputStreams[file.FirstStreamIndex + pkt->stream_index]->Discard) {
      ff::av_packet_unref(pkt);
      continue;
    }
    const int istIndex = file.FirstStreamIndex + pkt->stream_index;
    InputStreamState* ist = FInputStreams[istIndex];
    if (istIndex == FPictureSubtitleStream) {
      DecodePictureSubtitle(fileIndex, pkt);
      ff::av_packet_unref(pkt);
      continue;
    }
    ShiftPacketTimes(fileIndex, ist, pkt);

    if (OutputPacket(ist, istIndex, pkt) < 0) {
      char text[128];
      std::snprintf(text, sizeof text, "Error while decoding stream #%d.%d", ist->FileIndex, ist->StreamIndex);
      ff::av_packet_unref(pkt);
      if (FExitOnError) throw FFMpegException(text);
      if (FVerbose >= 0 && FOnLog) Log(1, text);
      continue;
    }
    ff::av_packet_unref(pkt);

    const int64_t now = ff::av_gettime();
    if (now - FLastReportTime > FProgressInterval) {
      FLastReportTime = now;
      PrintReport(false);
    }
  }

  // The end of the run: also after a stop, so the file is complete and playable.
  FlushOutputs();
  const int trailerError = WriteTrailers();
  PrintReport(true);
  CloseRunCodecs();
  FFinished = !FStopRequested;
  // An input that ran to its end without a single packet reaching the output
  // (a file cut after its header) gives a file that plays nothing: a failure.
  bool nothingWritten = FFinished && !FOutputStreams.empty();
  for (OutputStreamState* ost : FOutputStreams)
    if (ost->EndPts != AV_NOPTS_VALUE || ost->FrameNumber > 0) nothingWritten = false;
  std::string emptyInput;
  if (nothingWritten) emptyInput = FInputFiles[FInputStreams[FOutputStreams[0]->SourceIndex]->FileIndex]->url;
  ReleaseTranscodeTables();
  if (trailerError < 0) {
    FFinished = false;
    throw FFMpegException(FormatOpenError("av_write_trailer()", trailerError));
  }
  if (nothingWritten) {
    FFinished = false;
    throw FFMpegException(emptyInput + ": no picture or sound could be decoded");
  }
}

// The next input file to read from (-1: the loop ends), and the earliest
// output time (seconds).
int TCustomFFmpeg::NextInputFile(double& OptsMin) {
  double iptsMin = 1e100;
  OptsMin = 1e100;
  int fileIndex = -1;
  for (OutputStreamState* ost : FOutputStreams) {
    InputStreamState* ist = FInputStreams[ost->SourceIndex];
    AVCodecContext* enc = ost->CodecCtx;
    double opts;
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO && ost->EncodingNeeded)
      opts = static_cast<double>(ost->SyncOpts) * av_q2d(enc->time_base);
    else if (const int64_t endPts = EncoderFiguresOf(ost).EndPts; endPts != AV_NOPTS_VALUE)
      opts = static_cast<double>(endPts) * av_q2d(ost->Stream->time_base);
    else
      opts = 0.0;
    const double ipts = static_cast<double>(ist->Pts);
    if (!FFileTable[ist->FileIndex].EofReached) {
      if (ipts < iptsMin) {
        iptsMin = ipts;
        if (FInputSync) fileIndex = ist->FileIndex;
      }
      if (opts < OptsMin) {
        OptsMin = opts;
        if (!FInputSync) fileIndex = ist->FileIndex;
      }
    }
    const int type = enc->codec_type;
    if (type >= 0 && type < 4 && ost->FrameNumber >= FMaxFrames[type]) {
      fileIndex = -1;
      break;
    }
  }
  return fileIndex;
}

// The input file's offset and scale, the stream's start and the steps over
// timestamp discontinuities, applied to a packet just read.
void TCustomFFmpeg::OffsetPacketTimes(int FileIndex, const AVStream* St, AVPacket* Pkt) const {
  const AVRational tb = St->time_base;
  const int64_t offset = ff::av_rescale_q(FInputTsOffset[FileIndex], AV_TIME_BASE_Q, tb);
  if (Pkt->dts != AV_NOPTS_VALUE) Pkt->dts += offset;
  if (Pkt->pts != AV_NOPTS_VALUE) Pkt->pts += offset;
  if (Pkt->stream_index < MAX_STREAMS) {
    const double scale = FInputTsScale[FileIndex][Pkt->stream_index];
    if (scale != 0) {
      if (Pkt->pts != AV_NOPTS_VALUE) Pkt->pts = static_cast<int64_t>(std::nearbyint(Pkt->pts * scale));
      if (Pkt->dts != AV_NOPTS_VALUE) Pkt->dts = static_cast<int64_t>(std::nearbyint(Pkt->dts * scale));
    }
  }
}

void TCustomFFmpeg::ShiftPacketTimes(int FileIndex, InputStreamState* Ist, AVPacket* Pkt) {
  const AVRational tb = Ist->Stream->time_base;
  OffsetPacketTimes(FileIndex, Ist->Stream, Pkt);
  AlignStreamStart(Ist, Pkt);
  // The stream's time: for decoded video the last packet's, not the last
  // picture's, so that the pictures a decoder holds back never make a packet
  // look like a step back or a jump.
  const int64_t streamPts = Ist->PacketDtsSeen ? Ist->PacketDtsUs : Ist->Pts;
  const int64_t streamNextPts = Ist->PacketDtsSeen ? Ist->PacketDtsUs : Ist->NextPts;
  if (Pkt->dts != AV_NOPTS_VALUE && streamNextPts != AV_NOPTS_VALUE) {
    const int64_t pktDts = ff::av_rescale_q(Pkt->dts, tb, AV_TIME_BASE_Q);
    const int64_t delta = pktDts - streamNextPts;
    if ((std::llabs(delta) > static_cast<int64_t>(FDtsDeltaThreshold * 1000000.0) || pktDts + 1 < streamPts) &&
        !FCopyTs) {
      FInputTsOffset[FileIndex] -= delta;
      if (FVerbose > 2 && FOnLog)
        LogFmt(1, "timestamp discontinuity %lld, new offset= %lld", static_cast<long long>(delta),
               static_cast<long long>(FInputTsOffset[FileIndex]));
      const int64_t shift = ff::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
      Pkt->dts -= shift;
      if (Pkt->pts != AV_NOPTS_VALUE) Pkt->pts -= shift;
    }
  }
}

// The decoders drained, the bitstream filters emptied, the encoding side finished.
void TCustomFFmpeg::FlushOutputs() {
  for (size_t i = 0; i < FInputStreams.size(); ++i)
    if (FInputStreams[i]->DecodingNeeded) OutputPacket(FInputStreams[i], static_cast<int>(i), nullptr);
  // The bitstream filters give up what they hold.
  if (AVPacket* end = ff::av_packet_alloc()) {
    for (OutputStreamState* ost : FOutputStreams) {
      end->stream_index = ost->StreamIndex;
      try {
        SubmitPacket(ost, end, -1);
      } catch (...) {
        ff::av_packet_free(&end);
        throw;
      }
    }
    ff::av_packet_free(&end);
  }
  FinishEncodeStage();
}

// The first failure of the trailers, or 0.
int TCustomFFmpeg::WriteTrailers() {
  // A trailer that cannot be written (a full disk) leaves an unplayable file:
  // that is the run's error, not a success.
  int trailerError = 0;
  for (int i = 0; i < FOutputFileCount; ++i) {
    const int r = ff::av_write_trailer(FOutputFiles[i]);
    if (r < 0 && trailerError == 0) trailerError = r;
  }
  return trailerError;
}

void TCustomFFmpeg::CloseRunCodecs() {
  for (OutputStreamState* ost : FOutputStreams) {
    if (!ost->EncodingNeeded) continue;
    std::lock_guard<std::mutex> lock(CodecLock());
    ff::av_freep(&ost->CodecCtx->stats_in);
    ff::avcodec_close(ost->CodecCtx);
    RemoveOpenEncoder(ost);
  }
  for (InputStreamState* ist : FInputStreams) {
    if (!ist->DecodingNeeded) continue;
    std::lock_guard<std::mutex> lock(CodecLock());
    ff::avcodec_close(ist->CodecCtx);
    RemoveOpenDecoder(ist);
  }
}
