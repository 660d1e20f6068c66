// The encoding side of a run: what the run's thread hands over to the
// encoders and the writer, and the thread that does that work beside it.
#include <algorithm>
#include <iterator>

#include "FFmpeg.h"

namespace {

// The encoding side's figures of a stream as they are now.
OutputStreamState::TEncoderFigures EncoderFiguresNow(const OutputStreamState* Ost) {
  OutputStreamState::TEncoderFigures w{Ost->EndPts, Ost->LastQuality, {}};
  std::copy(std::begin(Ost->LastError), std::end(Ost->LastError), w.LastError);
  return w;
}

bool SameShape(const AVFrame* A, const AVFrame* B) {
  return A->format == B->format && A->width == B->width && A->height == B->height &&
         A->nb_samples == B->nb_samples && A->ch_layout.nb_channels == B->ch_layout.nb_channels;
}

}  // namespace

int TCustomFFmpeg::ExecuteEncodeItem(TEncodeItem& Item) {
  OutputStreamState* ost = Item.Ost;
  if (Item.Packet) {
    if (Item.CountAs == AVMEDIA_TYPE_VIDEO)
      FVideoSize += Item.Packet->size;
    else if (Item.CountAs == AVMEDIA_TYPE_AUDIO)
      FAudioSize += Item.Packet->size;
    WriteStreamPacket(ost, Item.Packet);
    return 0;
  }
  const int r = EncodeAndWrite(ost, Item.Frame);
  EncoderResult(ost, r, !Item.Frame);
  return r;
}

void TCustomFFmpeg::EncoderResult(OutputStreamState* Ost, int R, bool Draining) {
  if (R >= 0 || Draining) return;  // the end of the input: what the encoder gives, or nothing
  if (Ost->CodecCtx->codec_type == AVMEDIA_TYPE_VIDEO) throw FFMpegException("Video encoding failed");
  char reason[128] = "";
  ff::av_strerror(R, reason, sizeof reason);
  const std::string text = std::string("Audio encoding failed: ") + reason;
  if (FExitOnError) throw FFMpegException(text);
  Log(0, text);
}

int TCustomFFmpeg::SubmitFrame(OutputStreamState* Ost, AVFrame* Frame) {
  if (!FEncodeStage) {
    TEncodeItem item{Ost, Frame, nullptr, -1};
    const int r = ExecuteEncodeItem(item);
    return r > 0 ? r : 0;
  }
  // The sound is encoded beside the pictures (its packets are written in
  // their place); a pass log is written as the encoder goes, so a stream
  // that has one stays on the writer's thread.
  TEncodeItem item{Ost, nullptr, nullptr, -1, Ost->CodecCtx->codec_type == AVMEDIA_TYPE_AUDIO && !Ost->LogFile};
  if (Frame) {
    item.Frame = FEncodeStage->FrameShell();
    if (!item.Frame || ff::av_frame_ref(item.Frame, Frame) < 0) {
      if (item.Frame) ff::av_frame_free(&item.Frame);
      throw FFMpegException("av_malloc fail");
    }
  }
  FEncodeStage->Push(item);
  CheckEncodeStage();
  return 0;
}

void TCustomFFmpeg::SubmitPacket(OutputStreamState* Ost, AVPacket* Packet, int CountAs) {
  if (!FEncodeStage) {
    TEncodeItem item{Ost, nullptr, Packet, CountAs};
    ExecuteEncodeItem(item);
    ff::av_packet_unref(Packet);
    return;
  }
  TEncodeItem item{Ost, nullptr, FEncodeStage->PacketShell(), CountAs};
  if (!item.Packet) throw FFMpegException("av_malloc fail");
  ff::av_packet_move_ref(item.Packet, Packet);
  FEncodeStage->Push(item);
  CheckEncodeStage();
}

void TCustomFFmpeg::StartEncodeStage() {
  bool encoding = false, sound = false;
  for (const OutputStreamState* ost : FOutputStreams)
    if (ost->EncodingNeeded) {
      encoding = true;
      if (ost->CodecCtx->codec_type == AVMEDIA_TYPE_AUDIO) sound = true;
    }
  // The loop's choice of the next input reads the outputs' end times: with
  // several inputs read by output time it needs them as written, at once. So
  // do the recording time (it ends the loop when every output reached it) and
  // the file size limit; the statistics file is written per picture with what
  // the encoder gave. Those runs keep one thread.
  if (!FEncoderThread || !encoding || FVStatsFileName || FLimitFileSize != 0 || FRecordingTime != INT64_MAX ||
      (FInputFileCount > 1 && !FInputSync))
    return;
  for (OutputStreamState* ost : FOutputStreams) ost->FiguresCopy = EncoderFiguresNow(ost);
  FStageOutputFileSize = OutputFileSize();
  FEncodeStage = std::make_unique<TEncodeStage>(
      [this](TEncodeItem& Item) { ExecuteEncodeItem(Item); },
      [this](TEncodeItem& Item) {
        Item.Ost->FiguresCopy = EncoderFiguresNow(Item.Ost);
        FStageOutputFileSize = OutputFileSize();
      },
      CurrentThreadNumber(),
      // The sound's encoders, on a thread of their own (only they touch their
      // contexts while the stage runs); their packets are written in order.
      sound ? [this](TEncodeItem& Item,
                     const TEncodeStage::TKeep& Keep) { return EncodePackets(Item.Ost, Item.Frame, Keep); }
            : std::function<int(TEncodeItem&, const TEncodeStage::TKeep&)>{},
      [this](TEncodeItem& Item, TAsideResult& Result) {
        for (AVPacket* p : Result.Packets) WriteEncodedPacket(Item.Ost, p);
        EncoderResult(Item.Ost, Result.Code, Result.Draining);
      });
}

void TCustomFFmpeg::CheckEncodeStage() {
  if (!FEncodeStage) return;
  for (const auto& [level, text] : FEncodeStage->TakeLog()) Log(level, text);
  FEncodeStage->ThrowIfFailed();
}

void TCustomFFmpeg::FinishEncodeStage() {
  if (!FEncodeStage) return;
  std::exception_ptr failure;
  try {
    FEncodeStage->Finish();
  } catch (...) {
    failure = std::current_exception();
  }
  std::unique_ptr<TEncodeStage> stage = std::move(FEncodeStage);
  for (const auto& [level, text] : stage->TakeLog()) Log(level, text);
  stage.reset();
  if (failure) std::rethrow_exception(failure);
}

void TCustomFFmpeg::AbandonEncodeStage() {
  if (!FEncodeStage) return;
  FEncodeStage->Abandon();
  std::unique_ptr<TEncodeStage> stage = std::move(FEncodeStage);
  try {
    for (const auto& [level, text] : stage->TakeLog()) Log(level, text);
  } catch (...) {
    // Called while the run's own failure unwinds: that one is the run's error.
  }
}

OutputStreamState::TEncoderFigures TCustomFFmpeg::EncoderFiguresOf(const OutputStreamState* Ost) {
  if (!FEncodeStage) return EncoderFiguresNow(Ost);
  std::lock_guard<std::mutex> lock(FEncodeStage->Lock());
  return Ost->FiguresCopy;
}

int64_t TCustomFFmpeg::StageOutputFileSize() {
  if (!FEncodeStage) return OutputFileSize();
  std::lock_guard<std::mutex> lock(FEncodeStage->Lock());
  return FStageOutputFileSize;
}

int64_t TCustomFFmpeg::OutputFileSize() {
  AVFormatContext* oc = FOutputFileCount > 0 ? FOutputFiles[0] : nullptr;
  if (!oc || !oc->pb) return 0;
  int64_t size = ff::avio_size(oc->pb);
  if (size < 0) size = ff::avio_seek(oc->pb, 0, SEEK_CUR);
  return size < 0 ? 0 : size;
}

AVFrame* TCustomFFmpeg::WritableFrame(OutputStreamState* Ost, AVFrame*& Current) {
  if (ff::av_frame_is_writable(Current)) return Current;
  auto& spares = Ost->SpareFrames;
  AVFrame* fresh = nullptr;
  for (size_t i = 0; i < spares.size(); ++i) {
    if (!ff::av_frame_is_writable(spares[i])) continue;
    if (SameShape(spares[i], Current)) {
      fresh = spares[i];
      spares.erase(spares.begin() + static_cast<ptrdiff_t>(i));
      break;
    }
    // Made for a shape no longer asked for.
    ff::av_frame_free(&spares[i]);
    spares.erase(spares.begin() + static_cast<ptrdiff_t>(i--));
  }
  if (!fresh) {
    fresh = ff::av_frame_alloc();
    if (!fresh) throw FFMpegException("av_malloc fail");
    fresh->format = Current->format;
    fresh->width = Current->width;
    fresh->height = Current->height;
    fresh->nb_samples = Current->nb_samples;
    fresh->sample_rate = Current->sample_rate;
    if (ff::av_channel_layout_copy(&fresh->ch_layout, &Current->ch_layout) < 0 ||
        ff::av_frame_get_buffer(fresh, 0) < 0) {
      ff::av_frame_free(&fresh);
      throw FFMpegException("av_malloc fail");
    }
  }
  spares.push_back(Current);
  Current = fresh;
  return Current;
}
