// The video output path: pre-processing of decoded pictures (deinterlacing,
// hooks), frame-rate synchronisation (drop and duplicate), crop -> scale -> pad,
// encoding; and the subtitle output path.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "FFmpeg.h"
#include "MyUtils.h"

namespace {

// A picture's planes, as the crop, scale and pad steps see it.
struct TPlanes {
  uint8_t* data[4];
  int linesize[4];
};

TPlanes PlanesOf(const AVFrame* F) {
  TPlanes p{};
  for (int i = 0; i < 4; ++i) {
    p.data[i] = F->data[i];
    p.linesize[i] = F->linesize[i];
  }
  return p;
}

// Moves the plane pointers of P to the area that starts Top rows and Left
// columns in. Fails for formats whose pixels cannot be addressed that way.
bool CropPlanes(TPlanes& P, AVPixelFormat Format, int Top, int Left) {
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(Format);
  if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL)))
    return false;
  if ((Top & ((1 << desc->log2_chroma_h) - 1)) || (Left & ((1 << desc->log2_chroma_w) - 1))) return false;
  // Per plane, the bytes one column of pixels takes, from the first component
  // stored in it: in packed YUV (yuyv422) that is the luma step of 2 bytes,
  // while a chroma component steps 4 bytes per two pixels.
  int bytesPerColumn[4] = {0, 0, 0, 0};
  bool planeSubsampled[4] = {false, false, false, false};
  bool seen[4] = {false, false, false, false};
  const bool yuv = !(desc->flags & AV_PIX_FMT_FLAG_RGB);
  for (int c = 0; c < desc->nb_components; ++c) {
    const AVComponentDescriptor& comp = desc->comp[c];
    if (seen[comp.plane]) continue;
    seen[comp.plane] = true;
    const bool chroma = yuv && (c == 1 || c == 2);
    planeSubsampled[comp.plane] = chroma;
    // A chroma sample covers 1 << log2_chroma_w columns.
    bytesPerColumn[comp.plane] = chroma ? comp.step : comp.step << desc->log2_chroma_w;
  }
  for (int i = 0; i < 4 && P.data[i]; ++i) {
    const int rows = planeSubsampled[i] ? Top >> desc->log2_chroma_h : Top;
    const int cols = Left >> desc->log2_chroma_w;  // in units of horizontally subsampled groups
    P.data[i] += static_cast<ptrdiff_t>(rows) * P.linesize[i] + static_cast<ptrdiff_t>(cols) * bytesPerColumn[i];
  }
  return true;
}

// Paints the borders of a planar YUV picture of Width x Height with the colour
// (Y, U, V) and, when Source is given, copies Source into the inner area.
bool PadPicture(AVFrame* Final, const TPlanes* Source, int Height, int Width, AVPixelFormat Format, int PadTop,
                int PadBottom, int PadLeft, int PadRight, const std::array<int, 3>& Color) {
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(Format);
  if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_PLANAR) || (desc->flags & AV_PIX_FMT_FLAG_RGB) ||
      desc->comp[0].depth > 8 || desc->nb_components < 3)
    return false;
  for (int i = 0; i < 3; ++i) {
    const int sh = i ? desc->log2_chroma_h : 0;
    const int sw = i ? desc->log2_chroma_w : 0;
    const int top = PadTop >> sh, bottom = PadBottom >> sh, left = PadLeft >> sw, right = PadRight >> sw;
    const int w = AV_CEIL_RSHIFT(Width, sw), h = AV_CEIL_RSHIFT(Height, sh);
    uint8_t* base = Final->data[i];
    const int ls = Final->linesize[i];
    const uint8_t value = static_cast<uint8_t>(Color[i]);
    for (int y = 0; y < top; ++y) std::memset(base + static_cast<ptrdiff_t>(y) * ls, value, w);
    for (int y = h - bottom; y < h; ++y) std::memset(base + static_cast<ptrdiff_t>(y) * ls, value, w);
    for (int y = top; y < h - bottom; ++y) {
      uint8_t* row = base + static_cast<ptrdiff_t>(y) * ls;
      std::memset(row, value, left);
      std::memset(row + w - right, value, right);
      if (Source)
        std::memcpy(row + left, Source->data[i] + static_cast<ptrdiff_t>(y - top) * Source->linesize[i],
                    w - left - right);
    }
  }
  return true;
}

// Blends the lines of each field with the other field's lines (a vertical
// -1 4 2 4 -1 low-pass on every second line), so that interlacing combs
// disappear. Planar 8-bit YUV and grey only; -1 for other formats.
int DeinterlacePicture(AVFrame* Dst, const AVFrame* Src) {
  const auto format = static_cast<AVPixelFormat>(Src->format);
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_GRAY8:
      break;
    default:
      return -1;
  }
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(format);
  const int planes = format == AV_PIX_FMT_GRAY8 ? 1 : 3;
  for (int i = 0; i < planes; ++i) {
    const int w = i ? AV_CEIL_RSHIFT(Src->width, desc->log2_chroma_w) : Src->width;
    const int h = i ? AV_CEIL_RSHIFT(Src->height, desc->log2_chroma_h) : Src->height;
    const uint8_t* s = Src->data[i];
    const int sl = Src->linesize[i];
    uint8_t* d = Dst->data[i];
    const int dl = Dst->linesize[i];
    auto line = [&](int y) { return s + static_cast<ptrdiff_t>(std::clamp(y, 0, h - 1)) * sl; };
    for (int y = 0; y < h; ++y) {
      uint8_t* out = d + static_cast<ptrdiff_t>(y) * dl;
      if ((y & 1) == 0) {
        std::memcpy(out, line(y), w);
        continue;
      }
      const uint8_t *m2 = line(y - 2), *m1 = line(y - 1), *c = line(y), *p1 = line(y + 1), *p2 = line(y + 2);
      for (int x = 0; x < w; ++x) {
        const int v = (-m2[x] + 4 * m1[x] + 2 * c[x] + 4 * p1[x] - p2[x] + 4) >> 3;
        out[x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
    }
  }
  return 0;
}

// Timestamps are rounded to microseconds: a picture within this many frames
// of the middle of an output frame counts as being at that time.
constexpr double kSyncSlack = 1e-3;

// The first output frame whose middle (k + 1/2, in frames) is not before
// Position: the first frame a picture at Position can show in, and the
// number of frames before it.
int64_t FirstFrameAtOrAfter(double Position) { return static_cast<int64_t>(std::ceil(Position - 0.5 - kSyncSlack)); }

// The number of frames of Tb seconds that start before the recording time
// (microseconds; INT64_MAX: none).
int64_t FramesBefore(int64_t RecordingTime, double Tb) {
  if (RecordingTime == INT64_MAX || Tb <= 0) return INT64_MAX;
  return static_cast<int64_t>(std::ceil(static_cast<double>(RecordingTime) / 1000000.0 / Tb - 1e-6));
}

}  // namespace

double TCustomFFmpeg::SyncInputTime(OutputStreamState* Ost, int64_t StartTime) const {
  return static_cast<double>(Ost->SyncInput->Pts - StartTime) / 1000000.0;
}

// ---------------------------------------------------------------------------
// Pre-processing

void TCustomFFmpeg::PreProcessVideoFrame(InputStreamState* Ist, AVFrame*& Picture) {
  const int w = Picture->width, h = Picture->height, fmt = Picture->format;
  const int64_t pts = Ist->Pts;
  const bool runFrameHooks = HookDecision(pts);
  const bool needCopy = FDoDeinterlace || FOnCustomHook || (FUsingVHook && FHookAction == haContinue);
  AVFrame* working = Picture;
  if (needCopy) {
    // The decoder's picture may still serve as a reference: work on a copy.
    if (FHookFrame && (FHookFrame->width != w || FHookFrame->height != h || FHookFrame->format != fmt))
      ff::av_frame_free(&FHookFrame);
    if (!FHookFrame) {
      FHookFrame = ff::av_frame_alloc();
      if (FHookFrame) {
        FHookFrame->format = fmt;
        FHookFrame->width = w;
        FHookFrame->height = h;
        if (ff::av_frame_get_buffer(FHookFrame, 0) < 0) ff::av_frame_free(&FHookFrame);
      }
    }
    if (!FHookFrame || ff::av_frame_make_writable(FHookFrame) < 0) {
      Log(0, "hook buf malloc error.");
      return;
    }
    bool deinterlaced = false;
    if (FDoDeinterlace) {
      if (DeinterlacePicture(FHookFrame, Picture) < 0)
        Log(0, "Deinterlacing failed.");
      else
        deinterlaced = true;
    }
    if (!deinterlaced) ff::av_frame_copy(FHookFrame, Picture);
    ff::av_frame_copy_props(FHookFrame, Picture);
    working = FHookFrame;
  }

  if (FOnCustomHook) {
    CustomHook(working->data, working->linesize, w, h, fmt, pts);
  } else if (runFrameHooks) {
    THookPicture picture{};
    for (int i = 0; i < 4; ++i) {
      picture.data[i] = working->data[i];
      picture.linesize[i] = working->linesize[i];
    }
    ProcessFrameHooks(FFrameHooks, &picture, fmt, w, h, pts);
  }
  Picture = working;
}

// ---------------------------------------------------------------------------
// Video out

void TCustomFFmpeg::DoVideoOut(OutputStreamState* Ost, int& FrameSize, AVFrame* InPicture, InputStreamState* Ist) {
  AVCodecContext* enc = Ost->CodecCtx;
  const double tb = av_q2d(enc->time_base);
  FrameSize = 0;
  int64_t nb = 1;

  const bool active = FVideoSyncMethod > 0 || (FVideoSyncMethod != 0 && tb > 0.001);
  // At a constant rate, output frames are decided ahead of the pictures that
  // fill them: see below.
  const bool constantRate = active && FVideoSyncMethod != 2;
  double position = SyncInputTime(Ost, FStartTime) / tb + Ost->SyncShift;
  // A jump far beyond any gap between pictures (a corrupt timestamp, or one
  // stream stamped far away from the others) is a discontinuity: the pictures
  // go on from where they are, instead of filling the jump with duplicates or
  // dropping everything until the input catches up again.
  const double jump = position - static_cast<double>(Ost->SyncOpts);
  if (std::fabs(jump) > FDtsDeltaThreshold / tb) {
    Ost->SyncShift -= jump;
    position -= jump;
    if (FVerbose > 2) LogFmt(1, "video timestamp discontinuity of %.3f s", jump * tb);
  }
  const float quality = FSameQuality ? Ist->Quality : static_cast<float>(enc->global_quality);
  // No frame starts at or after the recording time (pictures a decoder gave
  // back late, at the end of the run, would otherwise go beyond it).
  const int64_t recordingFrames = FramesBefore(FRecordingTime, tb);

  if (!constantRate) {
    // Each picture goes out at once, at its own time.
    if (active) {
      const double delta = position - static_cast<double>(Ost->SyncOpts);
      if (delta < -1.1)
        nb = 0;
      else
        Ost->SyncOpts = static_cast<int64_t>(std::nearbyint(position));
      if (nb == 0) {
        ++FFramesDrop;
        if (FVerbose > 2) Log(1, "*** drop!");
      }
    } else {
      Ost->SyncOpts = static_cast<int64_t>(std::nearbyint(position));
    }
    nb = std::min<int64_t>(nb, static_cast<int64_t>(FMaxFrames[0]) - Ost->FrameNumber);
    nb = std::min<int64_t>(nb, recordingFrames - Ost->SyncOpts);
    if (nb <= 0) return;
    // The picture lasts its own duration (the next one may take over
    // earlier): so does the last one, to its end, or to the recording time.
    const int64_t durationUs = Ost->SyncInput->PictureDurationUs;
    int64_t ticks =
        durationUs > 0 ? std::max<int64_t>(1, std::llround(position + static_cast<double>(durationUs) / 1e6 / tb) -
                                                  Ost->SyncOpts)
                       : 1;
    ticks = std::min(ticks, recordingFrames - Ost->SyncOpts);
    Ost->SyncHandedOn = Ost->SyncOpts;
    WriteVideoPicture(Ost, InPicture, quality, nb, FrameSize, ticks);
    Ost->SyncOpts = Ost->SyncHandedOn;
    return;
  }

  // The frames whose middle comes before this picture's time show earlier
  // pictures (or, before the first picture, the first): they are decided now,
  // and written once it is known which picture is on screen at each.
  const InputStreamState* sync = Ost->SyncInput;
  const double duration = sync->PictureDurationUs > 0 ? static_cast<double>(sync->PictureDurationUs) / 1e6 / tb : 1.0;
  DecideSyncFrames(Ost, FirstFrameAtOrAfter(position));
  Ost->SyncPictures.push_back({nullptr, position, position + duration, quality, 0});
  Ost->SyncPictures.back().Frame = ff::av_frame_clone(InPicture);
  if (!Ost->SyncPictures.back().Frame) {
    Ost->SyncPictures.pop_back();
    throw FFMpegException("av_malloc fail");
  }
  WriteDecidedFrames(Ost, false, FrameSize);
}

void TCustomFFmpeg::DecideSyncFrames(OutputStreamState* Ost, int64_t Frames) {
  Frames = std::min(Frames, FramesBefore(FRecordingTime, av_q2d(Ost->CodecCtx->time_base)));
  Frames = std::min<int64_t>(Frames, Ost->SyncHandedOn + static_cast<int64_t>(FMaxFrames[0]) - Ost->FrameNumber);
  Ost->SyncOpts = std::max(Ost->SyncOpts, Frames);
}

void TCustomFFmpeg::ForgetSyncPicture(const OutputStreamState::TSyncPicture& Picture) {
  if (Picture.Shown == 0) {
    ++FFramesDrop;
    if (FVerbose > 2) Log(1, "*** drop!");
  } else if (Picture.Shown > 1) {
    FFramesDup += static_cast<int>(Picture.Shown - 1);
    if (FVerbose > 2) LogFmt(1, "*** %d dup!", static_cast<int>(Picture.Shown - 1));
  }
}

void TCustomFFmpeg::WriteDecidedFrames(OutputStreamState* Ost, bool AtEnd, int& FrameSize) {
  auto& pictures = Ost->SyncPictures;
  auto forget = [&](size_t Count) {
    for (size_t i = 0; i < Count; ++i) {
      ForgetSyncPicture(pictures[i]);
      ff::av_frame_free(&pictures[i].Frame);
    }
    pictures.erase(pictures.begin(), pictures.begin() + static_cast<ptrdiff_t>(Count));
  };
  // The picture on screen at the middle of frame k is the latest one whose
  // time is not after k + 1/2; it stays there until the frame whose middle is
  // at or after the next picture's time.
  while (Ost->SyncHandedOn < Ost->SyncOpts && !pictures.empty() && !FStopRequested) {
    const double middle = static_cast<double>(Ost->SyncHandedOn) + 0.5 + kSyncSlack;
    // A later picture may still be the one on screen at this frame.
    if (!AtEnd && pictures.back().Position <= middle) break;
    // Before the first picture's time there is nothing else to show.
    size_t shown = 0;
    while (shown + 1 < pictures.size() && pictures[shown + 1].Position <= middle) ++shown;
    forget(shown);
    int64_t end = Ost->SyncOpts;
    if (pictures.size() > 1) end = std::min<int64_t>(end, FirstFrameAtOrAfter(pictures[1].Position));
    const int64_t from = Ost->SyncHandedOn;
    WriteVideoPicture(Ost, pictures[0].Frame, pictures[0].Quality, end - from, FrameSize);
    pictures[0].Shown += Ost->SyncHandedOn - from;
    if (FStopRequested) break;
    // A picture that could not be output leaves its frames out.
    Ost->SyncHandedOn = std::max(Ost->SyncHandedOn, end);
  }
  // Pictures followed by one at or before the next frame's middle are never shown.
  size_t passed = 0;
  while (passed + 1 < pictures.size() &&
         pictures[passed + 1].Position <= static_cast<double>(Ost->SyncHandedOn) + 0.5 + kSyncSlack)
    ++passed;
  forget(passed);
}

void TCustomFFmpeg::FlushVideoSync(OutputStreamState* Ost) {
  // The last picture stays on screen until its end: the frames whose middle
  // comes before it show it too.
  if (!Ost->SyncPictures.empty())
    DecideSyncFrames(Ost, FirstFrameAtOrAfter(Ost->SyncPictures.back().End));
  int frameSize = 0;
  WriteDecidedFrames(Ost, true, frameSize);
  if (FVStatsFileName && frameSize) WriteVideoStats(Ost, frameSize);
  auto& pictures = Ost->SyncPictures;
  for (auto& picture : pictures) {
    ForgetSyncPicture(picture);
    ff::av_frame_free(&picture.Frame);
  }
  pictures.clear();
}

void TCustomFFmpeg::WriteVideoPicture(OutputStreamState* Ost, AVFrame* Picture, float Quality, int64_t Count,
                                      int& FrameSize, int64_t Ticks) {
  AVCodecContext* enc = Ost->CodecCtx;
  auto failPicture = [&](const char* Text) {
    if (FExitOnError) throw FFMpegException(Text);
    Log(0, Text);
  };

  // The decoded pictures changed size or format mid-stream: a new scaler (and
  // temporary picture) for them; the output keeps its size.
  // (A picture the output turns itself comes as stored: its shown size counts.)
  const int shownW = Ost->Turn.Quarter() ? Picture->height : Picture->width;
  const int shownH = Ost->Turn.Quarter() ? Picture->width : Picture->height;
  if (!FFiltersEnabled && (shownW != Ost->DecodedWidth || shownH != Ost->DecodedHeight ||
                           Picture->format != Ost->DecodedPixFmt)) {
    if (shownW - FFrameLeftBand - FFrameRightBand <= 0 || shownH - FFrameTopBand - FFrameBottomBand <= 0) {
      failPicture("error cropping picture");
      return;
    }
    PrepareVideoScaler(Ost, shownW, shownH, Picture->format);
  }

  // Crop: a view into the decoded picture.
  TPlanes formatted = PlanesOf(Picture);
  const bool cropped = !FFiltersEnabled && Ost->VideoCrop;
  if (cropped && !CropPlanes(formatted, static_cast<AVPixelFormat>(Picture->format), Ost->TopBand, Ost->LeftBand)) {
    failPicture("error cropping picture");
    return;
  }

  AVFrame* final = Picture;
  const TPlanes* paddingSource = &formatted;
  // The encoder (or the queue to it) may still hold the last picture.
  if ((Ost->VideoPad || Ost->VideoResample) && Ost->PictTmp) WritableFrame(Ost, Ost->PictTmp);
  TPlanes scaleTarget{};
  if (Ost->PictTmp) scaleTarget = PlanesOf(Ost->PictTmp);
  if (Ost->VideoPad) {
    final = Ost->PictTmp;
    if (Ost->VideoResample &&
        !CropPlanes(scaleTarget, static_cast<AVPixelFormat>(Ost->PictTmp->format), Ost->PadTop, Ost->PadLeft)) {
      failPicture("error padding picture");
      return;
    }
  }
  if (!FFiltersEnabled && Ost->VideoResample) {
    paddingSource = nullptr;
    final = Ost->PictTmp;
    // Scaled (in the source's matrix when the small picture's colours are
    // converted after), then turned when the output turns the small picture.
    const TPlanes into = Ost->TurnTmp ? PlanesOf(Ost->TurnTmp) : scaleTarget;
    if (Ost->ToneMapStep) {
      // Scaled in the HDR source's colours, tone-mapped small (into the
      // picture whose matrix changes after, when the output's differs).
      ff::sws_scale(Ost->ImgResampleCtx, formatted.data, formatted.linesize, 0, Ost->ResampleHeight,
                    Ost->ToneMapTmp->data, Ost->ToneMapTmp->linesize);
      const TPlanes mapped = Ost->ColourCtx ? PlanesOf(Ost->ColourTmp) : into;
      if (Ost->ToneMapStep->Run(Ost->ToneMapTmp, mapped.data, mapped.linesize) < 0) {
        failPicture("error tone-mapping picture");
        return;
      }
      if (Ost->ColourCtx)
        ff::sws_scale(Ost->ColourCtx, Ost->ColourTmp->data, Ost->ColourTmp->linesize, 0, Ost->ColourTmp->height,
                      into.data, into.linesize);
    } else if (Ost->ColourCtx) {
      ff::sws_scale(Ost->ImgResampleCtx, formatted.data, formatted.linesize, 0, Ost->ResampleHeight,
                    Ost->ColourTmp->data, Ost->ColourTmp->linesize);
      ff::sws_scale(Ost->ColourCtx, Ost->ColourTmp->data, Ost->ColourTmp->linesize, 0, Ost->ColourTmp->height,
                    into.data, into.linesize);
    } else {
      ff::sws_scale(Ost->ImgResampleCtx, formatted.data, formatted.linesize, 0, Ost->ResampleHeight, into.data,
                    into.linesize);
    }
    if (Ost->TurnTmp)
      TurnPicture(Ost->TurnTmp->data, Ost->TurnTmp->linesize, Ost->TurnTmp->width, Ost->TurnTmp->height,
                  static_cast<AVPixelFormat>(Ost->TurnTmp->format), Ost->Turn, scaleTarget.data,
                  scaleTarget.linesize);
  }
  if (Ost->SubtitleGraph && !FFiltersEnabled && Ost->VideoResample)
    BurnSubtitlesInto(Ost, Picture, scaleTarget.data, scaleTarget.linesize);
  if (Ost->VideoPad &&
      !PadPicture(final, paddingSource, enc->height, enc->width, enc->pix_fmt, Ost->PadTop, Ost->PadBottom,
                  Ost->PadLeft, Ost->PadRight, FPadColor)) {
    failPicture("error padding picture");
    return;
  }

  AVFrame* frame = Ost->EncFrame;
  for (int64_t i = 0; i < Count; ++i) {
    if (FStopRequested) break;
    ff::av_frame_unref(frame);
    if (ff::av_frame_ref(frame, final) < 0) throw FFMpegException("Video encoding failed");
    if (final == Picture && cropped) {
      // Only cropped: hand the encoder the inner area of the decoded picture.
      for (int p = 0; p < 4; ++p) frame->data[p] = formatted.data[p];
      frame->width = enc->width;
      frame->height = enc->height;
    }
    frame->interlaced_frame = Picture->interlaced_frame;
    if (FCodecOpts[AVMEDIA_TYPE_VIDEO] &&
        (FCodecOpts[AVMEDIA_TYPE_VIDEO]->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)))
      frame->top_field_first = FTopFieldFirst == -1 ? Picture->top_field_first : FTopFieldFirst;
    frame->quality = static_cast<int>(std::nearbyint(Quality));
    // The encoder chooses the picture types itself.
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->key_frame = 0;
    frame->pts = Ost->SyncHandedOn;
    frame->pkt_duration = Ticks;
    frame->sample_aspect_ratio = enc->sample_aspect_ratio;
    const int r = SubmitFrame(Ost, frame);
    ff::av_frame_unref(frame);
    if (r > 0) FrameSize = r;
    ++Ost->SyncHandedOn;
    ++Ost->FrameNumber;
  }
}

void TCustomFFmpeg::BurnSubtitlesInto(OutputStreamState* Ost, const AVFrame* Picture, uint8_t* const Area[4],
                                      const int Lines[4]) {
  // The area goes through the step's graph as a picture of its own (the
  // filters draw on it) and comes back into its place.
  const AVPixelFormat format = Ost->CodecCtx->pix_fmt;
  const int width = ff::av_buffersink_get_w(Ost->SubtitleOut);
  const int height = ff::av_buffersink_get_h(Ost->SubtitleOut);
  AVFrame* in = ff::av_frame_alloc();
  AVFrame* out = ff::av_frame_alloc();
  std::string why;
  if (in && out) {
    in->format = format;
    in->width = width;
    in->height = height;
    if (ff::av_frame_get_buffer(in, 0) < 0) why = "out of memory";
  } else {
    why = "out of memory";
  }
  if (why.empty()) {
    ff::av_image_copy(in->data, in->linesize, const_cast<const uint8_t**>(Area), Lines, format, width, height);
    const int64_t at =
        Picture->best_effort_timestamp != AV_NOPTS_VALUE ? Picture->best_effort_timestamp : Picture->pts;
    const AVRational tb = FInputStreams[Ost->SourceIndex]->Stream->time_base;
    // Pictures of subtitles meet the picture by a count of their own (a
    // picture may be written more than once); the subtitle is the one of
    // the picture's time.
    if (Ost->SubtitlePictures) {
      in->pts = Ost->SubtitleCount++;
      if (!FPictureSubtitles->Feed(Ost->SubtitlePictures, in->pts,
                                   at == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ff::av_rescale_q(at, tb, AV_TIME_BASE_Q)))
        why = "a subtitle picture could not be given";
    } else {
      in->pts = at;
    }
  }
  if (why.empty() && ff::av_buffersrc_add_frame_flags(Ost->SubtitleIn, in, 0) < 0) why = "the picture was refused";
  if (why.empty() && ff::av_buffersink_get_frame(Ost->SubtitleOut, out) < 0) why = "no picture came back";
  if (why.empty())
    ff::av_image_copy(const_cast<uint8_t**>(Area), const_cast<int*>(Lines), const_cast<const uint8_t**>(out->data),
                      out->linesize, format, width, height);
  ff::av_frame_free(&in);
  ff::av_frame_free(&out);
  if (!why.empty()) DropSubtitleStep(Ost, why);
}

// ---------------------------------------------------------------------------
// Subtitles

void TCustomFFmpeg::DoSubtitleOut(OutputStreamState* Ost, int64_t Pts, AVSubtitle* Subtitle, InputStreamState* Ist) {
  if (Pts == AV_NOPTS_VALUE) {
    if (FExitOnError) throw FFMpegException("Subtitle packets must have a pts");
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  constexpr int kSubtitleBufferSize = 65536;
  std::vector<uint8_t> buffer(kSubtitleBufferSize);
  AVCodecContext* enc = Ost->CodecCtx;
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int passes = dvb ? 2 : 1;
  const AVRational otb = Ost->Stream->time_base;
  // Today's encoders take a subtitle that starts at its own time: the start
  // delay moves into the packet's time, and the display lasts as long.
  int64_t start = ff::av_rescale_q(Pts, Ist->Stream->time_base, otb);
  if (Subtitle->start_display_time) {
    start += ff::av_rescale_q(Subtitle->start_display_time, AVRational{1, 1000}, otb);
    Subtitle->end_display_time -= Subtitle->start_display_time;
    Subtitle->start_display_time = 0;
  }
  for (int pass = 0; pass < passes; ++pass) {
    // DVB subtitles need a second packet that clears the display.
    const uint32_t rects = Subtitle->num_rects;
    if (dvb && pass == 1) Subtitle->num_rects = 0;
    const int size = ff::avcodec_encode_subtitle(enc, buffer.data(), kSubtitleBufferSize, Subtitle);
    Subtitle->num_rects = rects;
    if (size < 0) {
      if (FExitOnError) throw FFMpegException("Subtitle encoding failed");
      Log(0, "Subtitle encoding failed");
      return;
    }
    AVPacket* pkt = Ost->OutPacket;
    if (ff::av_new_packet(pkt, size) < 0) throw FFMpegException("av_malloc fail");
    std::memcpy(pkt->data, buffer.data(), static_cast<size_t>(size));
    pkt->stream_index = Ost->StreamIndex;
    pkt->pts = start;
    if (dvb)
      pkt->pts += ff::av_rescale_q(pass == 0 ? Subtitle->start_display_time : Subtitle->end_display_time,
                                   AVRational{1, 1000}, otb);
    else if (Subtitle->end_display_time != UINT32_MAX)
      pkt->duration = ff::av_rescale_q(Subtitle->end_display_time, AVRational{1, 1000}, otb);
    pkt->dts = pkt->pts;
    SubmitPacket(Ost, pkt, -1);
  }
}
