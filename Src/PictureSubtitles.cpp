#include "PictureSubtitles.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include "FFmpeg.h"

namespace {

std::string ErrorText(int Code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  ff::av_strerror(Code, text, sizeof text);
  return text;
}

int ScalerMatrix(AVColorSpace Matrix) {
  switch (Matrix) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU601;
  }
}

// Canvases larger than this are taken for broken headers.
constexpr int kLargestCanvas = 8192;

}  // namespace

TPictureSubtitles::TPictureSubtitles(const AVStream* Stream, int VideoWidth, int VideoHeight)
    : FStream(Stream), FVideoWidth(VideoWidth), FVideoHeight(VideoHeight) {}

TPictureSubtitles::~TPictureSubtitles() {
  for (TEvent& e : FEvents) Forget(e);
  if (FClear) ff::av_frame_free(&FClear);
  if (FOut) ff::av_frame_free(&FOut);
  if (FDecoder) {
    std::lock_guard<std::mutex> guard(CodecLock());
    ff::avcodec_free_context(&FDecoder);
  }
}

bool TPictureSubtitles::Open(std::string& Error) {
  const AVCodec* codec = ff::avcodec_find_decoder(FStream->codecpar->codec_id);
  if (!codec) {
    Error = std::string("the libraries have no decoder for ") + ff::avcodec_get_name(FStream->codecpar->codec_id);
    return false;
  }
  FDecoder = ff::avcodec_alloc_context3(codec);
  FOut = ff::av_frame_alloc();
  if (!FDecoder || !FOut || ff::avcodec_parameters_to_context(FDecoder, FStream->codecpar) < 0) {
    Error = ErrorText(AVERROR(ENOMEM));
    return false;
  }
  FDecoder->pkt_timebase = FStream->time_base;
  // A broken subtitle is reported (and left out) instead of shown in part.
  FDecoder->err_recognition |= AV_EF_EXPLODE;
  std::lock_guard<std::mutex> guard(CodecLock());
  const int r = ff::avcodec_open2(FDecoder, codec, nullptr);
  if (r < 0) Error = ErrorText(r);
  return r >= 0;
}

bool TPictureSubtitles::Decode(AVPacket* Packet, int64_t TimeUs, int64_t DurationUs, std::string& Error) {
  AVSubtitle subtitle{};
  int got = 0;
  const int r = ff::avcodec_decode_subtitle2(FDecoder, &subtitle, &got, Packet);
  if (r < 0) {
    Error = ErrorText(r);
    return false;
  }
  if (got) {
    Add(subtitle, TimeUs, DurationUs);
    ff::avsubtitle_free(&subtitle);
  }
  return true;
}

void TPictureSubtitles::Add(const AVSubtitle& Subtitle, int64_t TimeUs, int64_t DurationUs) {
  TEvent event{};
  event.Start = TimeUs + int64_t{Subtitle.start_display_time} * 1000;
  // PGS gives no end (UINT32_MAX): the next display set ends it.
  event.End = INT64_MAX;
  if (Subtitle.end_display_time != 0 && Subtitle.end_display_time != UINT32_MAX &&
      Subtitle.end_display_time > Subtitle.start_display_time)
    event.End = TimeUs + int64_t{Subtitle.end_display_time} * 1000;
  else if (DurationUs > 0)
    event.End = TimeUs + DurationUs;
  event.CanvasW = FDecoder && FDecoder->width > 0 ? FDecoder->width : FVideoWidth;
  event.CanvasH = FDecoder && FDecoder->height > 0 ? FDecoder->height : FVideoHeight;
  if (event.CanvasW <= 0 || event.CanvasH <= 0 || event.CanvasW > kLargestCanvas || event.CanvasH > kLargestCanvas)
    return;
  for (unsigned i = 0; i < Subtitle.num_rects; ++i) {
    const AVSubtitleRect* r = Subtitle.rects[i];
    if (!r || r->type != SUBTITLE_BITMAP || r->w <= 0 || r->h <= 0 || !r->data[0] || !r->data[1] ||
        r->nb_colors <= 0 || r->linesize[0] < r->w || r->w > kLargestCanvas || r->h > kLargestCanvas)
      continue;
    TRect rect{r->x, r->y, r->w, r->h, {}, {}};
    rect.Indices.resize(static_cast<size_t>(r->w) * r->h);
    for (int y = 0; y < r->h; ++y)
      std::memcpy(rect.Indices.data() + static_cast<size_t>(y) * r->w, r->data[0] + static_cast<ptrdiff_t>(y) * r->linesize[0],
                  static_cast<size_t>(r->w));
    rect.Palette.resize(static_cast<size_t>(std::min(r->nb_colors, 256)));
    std::memcpy(rect.Palette.data(), r->data[1], rect.Palette.size() * sizeof(uint32_t));
    event.Rects.push_back(std::move(rect));
  }
  // One screen at a time: what was shown before ends here, and a subtitle
  // read after one that starts later (packets out of order) ends there.
  for (TEvent& e : FEvents) {
    if (e.Start <= event.Start)
      e.End = std::min(e.End, event.Start);
    else
      event.End = std::min(event.End, e.Start);
  }
  if (event.Rects.empty() || event.End <= event.Start) return;
  const auto at = std::upper_bound(FEvents.begin(), FEvents.end(), event.Start,
                                   [](int64_t Start, const TEvent& E) { return Start < E.Start; });
  FEvents.insert(at, std::move(event));
}

void TPictureSubtitles::SetPictureSize(int Width, int Height, AVColorSpace Matrix) {
  if (Width == FWidth && Height == FHeight && Matrix == FMatrix && FClear) return;
  for (TEvent& e : FEvents) Forget(e);
  if (FClear) ff::av_frame_free(&FClear);
  FWidth = Width;
  FHeight = Height;
  FMatrix = Matrix;
  FClear = ff::av_frame_alloc();
  if (!FClear) return;
  FClear->format = AV_PIX_FMT_YUVA420P;
  FClear->width = Width;
  FClear->height = Height;
  if (Width <= 0 || Height <= 0 || ff::av_frame_get_buffer(FClear, 0) < 0) {
    ff::av_frame_free(&FClear);
    return;
  }
  const int chromaH = (Height + 1) / 2;
  std::memset(FClear->data[0], 16, static_cast<size_t>(FClear->linesize[0]) * Height);
  std::memset(FClear->data[1], 128, static_cast<size_t>(FClear->linesize[1]) * chromaH);
  std::memset(FClear->data[2], 128, static_cast<size_t>(FClear->linesize[2]) * chromaH);
  std::memset(FClear->data[3], 0, static_cast<size_t>(FClear->linesize[3]) * Height);
}

void TPictureSubtitles::Forget(TEvent& Event) {
  if (Event.Picture) ff::av_frame_free(&Event.Picture);
}

AVFrame* TPictureSubtitles::Draw(const TEvent& Event) {
  // The bitmaps on their canvas in straight RGBA, then the canvas scaled to
  // the picture area in one step (the scaler keeps the alpha plane).
  const int cw = Event.CanvasW, ch = Event.CanvasH;
  std::vector<uint8_t> canvas(static_cast<size_t>(cw) * ch * 4, 0);
  for (const TRect& r : Event.Rects)
    for (int y = std::max(0, -r.Y); y < r.H && r.Y + y < ch; ++y)
      for (int x = std::max(0, -r.X); x < r.W && r.X + x < cw; ++x) {
        const uint8_t index = r.Indices[static_cast<size_t>(y) * r.W + x];
        if (index >= r.Palette.size()) continue;
        const uint32_t c = r.Palette[index];
        uint8_t* p = &canvas[(static_cast<size_t>(r.Y + y) * cw + (r.X + x)) * 4];
        p[0] = static_cast<uint8_t>(c >> 16);
        p[1] = static_cast<uint8_t>(c >> 8);
        p[2] = static_cast<uint8_t>(c);
        p[3] = static_cast<uint8_t>(c >> 24);
      }
  AVFrame* picture = ff::av_frame_alloc();
  if (!picture) return nullptr;
  picture->format = AV_PIX_FMT_YUVA420P;
  picture->width = FWidth;
  picture->height = FHeight;
  SwsContext* scaler = nullptr;
  if (ff::av_frame_get_buffer(picture, 0) >= 0)
    scaler = ff::sws_getContext(cw, ch, AV_PIX_FMT_RGBA, FWidth, FHeight, AV_PIX_FMT_YUVA420P, SWS_BICUBIC, nullptr,
                                nullptr, nullptr);
  if (!scaler) {
    ff::av_frame_free(&picture);
    return nullptr;
  }
  const int* rgb = ff::sws_getCoefficients(SWS_CS_DEFAULT);
  ff::sws_setColorspaceDetails(scaler, rgb, 1, ff::sws_getCoefficients(ScalerMatrix(FMatrix)), 0, 0, 1 << 16,
                               1 << 16);
  const uint8_t* source[4] = {canvas.data(), nullptr, nullptr, nullptr};
  const int stride[4] = {cw * 4, 0, 0, 0};
  ff::sws_scale(scaler, source, stride, 0, ch, picture->data, picture->linesize);
  ff::sws_freeContext(scaler);
  return picture;
}

const AVFrame* TPictureSubtitles::PictureAt(int64_t TimeUs) {
  if (!FClear) return nullptr;
  while (!FEvents.empty() && FEvents.front().End <= TimeUs) {
    Forget(FEvents.front());
    FEvents.pop_front();
  }
  TEvent* shown = nullptr;
  for (TEvent& e : FEvents) {
    if (e.Start > TimeUs) break;
    if (e.End > TimeUs) shown = &e;
  }
  if (!shown) return FClear;
  if (!shown->Picture) shown->Picture = Draw(*shown);
  // A subtitle that cannot be drawn is not shown.
  return shown->Picture ? shown->Picture : FClear;
}

bool TPictureSubtitles::Feed(AVFilterContext* Source, int64_t Pts, int64_t TimeUs) {
  if (TimeUs != AV_NOPTS_VALUE) FLastTime = TimeUs;
  const AVFrame* picture = PictureAt(FLastTime);
  if (!picture || !FOut || ff::av_frame_ref(FOut, picture) < 0) return false;
  FOut->pts = Pts;
  if (ff::av_buffersrc_add_frame_flags(Source, FOut, 0) >= 0) return true;
  ff::av_frame_unref(FOut);
  return false;
}

// ---------------------------------------------------------------------------
// The engine's side

void TCustomFFmpeg::ChoosePictureSubtitles() {
  FPictureSubtitles.reset();
  FPictureSubtitleStream = FPictureSubtitleVideo = -1;
  FPictureSubtitleFault = false;
  if (!FSubtitleFile.empty() || FSubtitleStream < 0 || FSubtitlesGivenUp || FInputFileCount < 1) return;
  // The FSubtitleStream-th subtitle stream of the first input.
  const AVFormatContext* ic = FInputFiles[0];
  const AVStream* track = nullptr;
  for (unsigned i = 0, n = 0; i < ic->nb_streams && !track; ++i)
    if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && n++ == static_cast<unsigned>(FSubtitleStream))
      track = ic->streams[i];
  const AVCodecDescriptor* kind = track ? ff::avcodec_descriptor_get(track->codecpar->codec_id) : nullptr;
  if (!kind || !(kind->props & AV_CODEC_PROP_BITMAP_SUB)) return;
  const InputStreamState* video = nullptr;
  for (const OutputStreamState* ost : FOutputStreams) {
    const InputStreamState* source = FInputStreams[ost->SourceIndex];
    if (ost->CodecCtx->codec_type == AVMEDIA_TYPE_VIDEO && source->FileIndex == 0) {
      video = source;
      FPictureSubtitleVideo = ost->SourceIndex;
      break;
    }
  }
  if (!video) return;
  auto subtitles = std::make_unique<TPictureSubtitles>(track, video->CodecCtx->width, video->CodecCtx->height);
  std::string error;
  if (!subtitles->Open(error)) {
    FSubtitlesGivenUp = true;
    Log(0, "Subtitles \"" + std::string(ic->url) + "\" cannot be read (" + error +
               "): the video is converted without them");
    return;
  }
  FPictureSubtitles = std::move(subtitles);
  FPictureSubtitleStream = FFileTable[0].FirstStreamIndex + track->index;
  FInputStreams[FPictureSubtitleStream]->Discard = 0;
}

AVFilterContext* TCustomFFmpeg::SubtitleOverlay(AVFilterGraph* Graph, InputStreamState* Ist, int Width, int Height,
                                                AVColorSpace Matrix, AVFilterContext** Pictures) {
  const AVRational tb = Ist->Stream->time_base;
  char args[256];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=1/1", Width, Height,
                static_cast<int>(AV_PIX_FMT_YUVA420P), tb.num, tb.den);
  AVFilterContext* source = nullptr;
  AVFilterContext* overlay = nullptr;
  // The main picture passes unchanged once the subtitle pictures have ended.
  int r = ff::avfilter_graph_create_filter(&source, ff::avfilter_get_by_name("buffer"), "subtitle pictures", args,
                                           nullptr, Graph);
  if (r >= 0) {
    const AVFilter* kind = ff::avfilter_get_by_name("overlay");
    r = kind ? ff::avfilter_graph_create_filter(&overlay, kind, "subtitles", "x=0:y=0:eof_action=pass:format=auto",
                                                nullptr, Graph)
             : AVERROR_FILTER_NOT_FOUND;
  }
  if (r >= 0) r = ff::avfilter_link(source, 0, overlay, 1);
  if (r >= 0) {
    FPictureSubtitles->SetPictureSize(Width, Height, Matrix);
    *Pictures = source;
    return overlay;
  }
  if (overlay) ff::avfilter_free(overlay);
  if (source) ff::avfilter_free(source);
  FSubtitlesGivenUp = true;
  Log(0, "Subtitles \"" + std::string(FInputFiles[0]->url) + "\" cannot be read (" + ErrorText(r) +
             "): the video is converted without them");
  return nullptr;
}

void TCustomFFmpeg::DecodePictureSubtitle(int FileIndex, AVPacket* Packet) {
  if (!FPictureSubtitles || FSubtitlesGivenUp) return;
  const InputStreamState* track = FInputStreams[FPictureSubtitleStream];
  const InputStreamState* video = FInputStreams[FPictureSubtitleVideo];
  // On the pictures' clock: the file's offset and the video's own shift,
  // none of the steps a stream of its own would get (a subtitle track is
  // sparse: its gaps are no discontinuities, and its first subtitle may come
  // long after the start).
  const AVRational tb = track->Stream->time_base;
  const int64_t at = Packet->pts != AV_NOPTS_VALUE ? Packet->pts : Packet->dts;
  const int64_t time = at == AV_NOPTS_VALUE ? video->Pts
                                            : ff::av_rescale_q(at, tb, AV_TIME_BASE_Q) + FInputTsOffset[FileIndex] +
                                                  video->StartShift;
  const int64_t duration = Packet->duration > 0 ? ff::av_rescale_q(Packet->duration, tb, AV_TIME_BASE_Q) : 0;
  std::string error;
  if (FPictureSubtitles->Decode(Packet, time, duration, error) || FPictureSubtitleFault) return;
  FPictureSubtitleFault = true;
  char when[32];
  const int64_t seconds = std::max<int64_t>(0, time) / AV_TIME_BASE;
  std::snprintf(when, sizeof when, "%d:%02d:%02d", static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  Log(0, "A subtitle of \"" + std::string(FInputFiles[FileIndex]->url) + "\" at " + when + " cannot be read (" +
             error + "): the subtitles that cannot be read are left out");
}
