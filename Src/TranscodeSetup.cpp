// Transcode set-up: the per-run tables, stream mapping, copy or re-encode, the
// scaler and filter graph, two-pass statistics, opening the codecs, metadata,
// headers and the stream-mapping log. The main loop continues in MainLoop.cpp.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "FFmpeg.h"
#include "Loudness.h"
#include "MyUtils.h"
#include "SubtitleScript.h"

namespace {

std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* Fmt, ...) {
  char buf[1024];
  va_list args;
  va_start(args, Fmt);
  std::vsnprintf(buf, sizeof buf, Fmt, args);
  va_end(args);
  return buf;
}

// A refcounted picture of the given geometry.
AVFrame* AllocPicture(AVPixelFormat Format, int Width, int Height) {
  AVFrame* f = ff::av_frame_alloc();
  if (!f) return nullptr;
  f->format = Format;
  f->width = Width;
  f->height = Height;
  if (ff::av_frame_get_buffer(f, 0) < 0) ff::av_frame_free(&f);
  return f;
}

}  // namespace

// ---------------------------------------------------------------------------
// Open-codec lists

void TCustomFFmpeg::RemoveOpenEncoder(OutputStreamState* Ost) {
  auto it = std::find(FOpenEncoders.begin(), FOpenEncoders.end(), Ost);
  if (it != FOpenEncoders.end()) FOpenEncoders.erase(it);
}

void TCustomFFmpeg::RemoveOpenDecoder(InputStreamState* Ist) {
  auto it = std::find(FOpenDecoders.begin(), FOpenDecoders.end(), Ist);
  if (it != FOpenDecoders.end()) FOpenDecoders.erase(it);
}

// ---------------------------------------------------------------------------
// Release

void TCustomFFmpeg::ReleaseTranscodeTables() {
  FFileTable.clear();
  for (InputStreamState*& ist : FInputStreams) {
    if (ist->FilterGraph) ff::avfilter_graph_free(&ist->FilterGraph);
    if (ist->FilterPicRef) ff::av_frame_free(&ist->FilterPicRef);
    if (ist->DecodedFrame) ff::av_frame_free(&ist->DecodedFrame);
    if (ist->ToS16) ff::swr_free(&ist->ToS16);
    delete ist;
  }
  FInputStreams.clear();
  for (OutputStreamState*& ost : FOutputStreams) {
    if (ost->LogFile) std::fclose(ost->LogFile);
    ost->LogFile = nullptr;
    if (ost->Fifo) ff::av_audio_fifo_free(ost->Fifo);
    delete ost->Level;
    if (ost->PictTmp) ff::av_frame_free(&ost->PictTmp);
    if (ost->ImgResampleCtx) ff::sws_freeContext(ost->ImgResampleCtx);
    if (ost->ColourCtx) ff::sws_freeContext(ost->ColourCtx);
    if (ost->ColourTmp) ff::av_frame_free(&ost->ColourTmp);
    if (ost->TurnTmp) ff::av_frame_free(&ost->TurnTmp);
    if (ost->ToneMapTmp) ff::av_frame_free(&ost->ToneMapTmp);
    ost->ToneMapStep.reset();
    if (ost->SubtitleGraph) ff::avfilter_graph_free(&ost->SubtitleGraph);
    ost->VideoResample = 0;
    if (ost->Resample) ff::swr_free(&ost->Resample);
    if (ost->EncFrame) ff::av_frame_free(&ost->EncFrame);
    for (auto& picture : ost->SyncPictures) ff::av_frame_free(&picture.Frame);
    if (ost->EncPacket) ff::av_packet_free(&ost->EncPacket);
    if (ost->OutPacket) ff::av_packet_free(&ost->OutPacket);
    for (AVFrame*& spare : ost->SpareFrames) ff::av_frame_free(&spare);
    delete ost;
  }
  FOutputStreams.clear();
  FPictureSubtitles.reset();
  FSubtitleScript.reset();
  FPictureSubtitleStream = FPictureSubtitleVideo = -1;
  if (FHookFrame) ff::av_frame_free(&FHookFrame);
  for (int f = 0; f < MAX_FILES; ++f)
    for (auto& chain : FBitstreamFilters[f]) {
      for (auto& bsf : chain) ff::av_bsf_free(&bsf);
      chain.clear();
    }
}

// ---------------------------------------------------------------------------
// Program streams

int TCustomFFmpeg::FindProgramStream(AVMediaType CodecType) {
  for (int f = 0; f < FInputFileCount; ++f) {
    AVFormatContext* ic = FInputFiles[f];
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
      AVProgram* program = ic->programs[p];
      if (program->id != FProgramId) continue;
      for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
        const int index = FFileTable[f].FirstStreamIndex + static_cast<int>(program->stream_index[k]);
        InputStreamState* ist = FInputStreams[index];
        if (ist->Discard && ist->Stream->codecpar->codec_type == CodecType) return index;
      }
    }
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Video filter graph: buffer source -> [scale] -> user graph ("in"/"out") ->
// buffer sink in the encoder's pixel format.

int TCustomFFmpeg::ConfigureVideoFilters(InputStreamState* Ist, OutputStreamState* Ost) {
  AVCodecContext* icodec = Ist->CodecCtx;
  AVCodecContext* codec = Ost->CodecCtx;
  if (FFrameTopBand + FFrameBottomBand + FFrameLeftBand + FFrameRightBand != 0) {
    FLastError = "Cannot enable crop options and filters at the same time.";
    return -1;
  }
  AVFilterGraph* graph = ff::avfilter_graph_alloc();
  if (!graph) return -1;
  // The input stream holds one graph: a second video output of the same input
  // replaces the first one's, which nothing can reach any more.
  if (Ist->FilterGraph) ff::avfilter_graph_free(&Ist->FilterGraph);
  Ist->FilterGraph = graph;  // released with the tables, also on failure
  // The encoder is open when the graph is made again for pictures that changed
  // size mid-stream: its size must not change any more.
  const bool encoderOpen = ff::avcodec_is_open(codec) > 0;
  const int inWidth = Ost->DecodedWidth, inHeight = Ost->DecodedHeight;

  const AVRational tb = Ist->Stream->time_base;
  const AVRational sar = icodec->sample_aspect_ratio.num ? icodec->sample_aspect_ratio : AVRational{0, 1};
  char args[512];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", inWidth,
                inHeight, Ost->DecodedPixFmt, tb.num, tb.den, sar.num, sar.den);
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  if (ff::avfilter_graph_create_filter(&source, ff::avfilter_get_by_name("buffer"), "src", args, nullptr, graph) < 0)
    return -1;
  if (ff::avfilter_graph_create_filter(&sink, ff::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                       graph) < 0)
    return -1;
  const enum AVPixelFormat formats[] = {codec->pix_fmt, AV_PIX_FMT_NONE};
  if (ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats), sizeof(formats[0]),
                         AV_OPT_SEARCH_CHILDREN) < 0)
    return -1;
  Ist->InputVideoFilter = source;
  Ist->OutputVideoFilter = sink;
  Ist->SubtitleVideoFilter = nullptr;
  AVFilterContext* last = source;

  const int padW = FFramePadLeft + FFramePadRight;
  const int padH = FFramePadTop + FFramePadBottom;
  if (inWidth + padW != codec->width || inHeight + padH != codec->height || Ost->Colour.Convert) {
    std::snprintf(args, sizeof args, "%d:%d%s", codec->width - padW, codec->height - padH,
                  ColourScaleFilterOptions(Ost->Colour).c_str());
    AVFilterContext* scale = nullptr;
    if (ff::avfilter_graph_create_filter(&scale, ff::avfilter_get_by_name("scale"), "scale", args, nullptr, graph) <
        0)
      return -1;
    if (ff::avfilter_link(last, 0, scale, 0) != 0) return -1;
    last = scale;
  }

  // The subtitles come last, on the picture as it is encoded, before the bars:
  // text through the subtitles filter, pictures through an overlay.
  AVFilterContext* tail = sink;
  if (BurnsSubtitles()) {
    AVFilterContext* subtitles =
        FPictureSubtitles ? SubtitleOverlay(graph, Ist, codec->width - padW, codec->height - padH, codec->colorspace,
                                            &Ist->SubtitleVideoFilter)
                          : SubtitleFilter(graph, codec->height, codec->width - padW, codec->height - padH);
    if (subtitles) {
      if (ff::avfilter_link(subtitles, 0, sink, 0) != 0) return -1;
      tail = subtitles;
    }
  }

  if (!FVideoFilters.empty()) {
    AVFilterInOut* outputs = ff::avfilter_inout_alloc();
    AVFilterInOut* inputs = ff::avfilter_inout_alloc();
    if (!outputs || !inputs) {
      ff::avfilter_inout_free(&outputs);
      ff::avfilter_inout_free(&inputs);
      return -1;
    }
    outputs->name = ff::av_strdup("in");
    outputs->filter_ctx = last;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = ff::av_strdup("out");
    inputs->filter_ctx = tail;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    const int r = ff::avfilter_graph_parse_ptr(graph, FVideoFilters.c_str(), &inputs, &outputs, nullptr);
    ff::avfilter_inout_free(&outputs);
    ff::avfilter_inout_free(&inputs);
    if (r < 0) return -1;
  } else if (ff::avfilter_link(last, 0, tail, 0) < 0) {
    return -1;
  }
  if (ff::avfilter_graph_config(graph, nullptr) < 0) return -1;

  const int w = ff::av_buffersink_get_w(sink);
  const int h = ff::av_buffersink_get_h(sink);
  if (encoderOpen) {
    if (w + padW == codec->width && h + padH == codec->height) return 0;
    FLastError = "the filters give another picture size for the new input size";
    return -1;
  }
  if (padW + padH == 0 || (w == FFrameWidth && h == FFrameHeight)) {
    codec->width = w + padW;
    codec->height = h + padH;
    return 0;
  }
  FLastError =
      "Cannot enable pad options and the filters which resize frame at the same time. (crop, rotate, scale, "
      "transpose, etc.)";
  return -1;
}

void TCustomFFmpeg::MakeSubtitleStep(InputStreamState* Ist, OutputStreamState* Ost) {
  AVCodecContext* codec = Ost->CodecCtx;
  const int width = codec->width - FFramePadLeft - FFramePadRight;
  const int height = codec->height - FFramePadTop - FFramePadBottom;
  if (Ost->SubtitleGraph) ff::avfilter_graph_free(&Ost->SubtitleGraph);
  Ost->SubtitleIn = Ost->SubtitleOut = Ost->SubtitlePictures = nullptr;
  Ost->SubtitleGraph = ff::avfilter_graph_alloc();
  if (!Ost->SubtitleGraph) throw FFMpegException("av_mallocz fail");
  AVFilterGraph* graph = Ost->SubtitleGraph;
  // The pictures keep their source's time base: the subtitles filter reads
  // their times.
  const AVRational tb = Ist->Stream->time_base;
  char args[256];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=1/1", width, height,
                static_cast<int>(codec->pix_fmt), tb.num, tb.den);
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  int r = ff::avfilter_graph_create_filter(&source, ff::avfilter_get_by_name("buffer"), "src", args, nullptr, graph);
  if (r >= 0)
    r = ff::avfilter_graph_create_filter(&sink, ff::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph);
  const enum AVPixelFormat formats[] = {codec->pix_fmt, AV_PIX_FMT_NONE};
  if (r >= 0)
    r = ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats), sizeof(formats[0]),
                           AV_OPT_SEARCH_CHILDREN);
  if (r < 0) throw FFMpegException("Error opening filters!");
  // Either says in the log when it cannot be made.
  AVFilterContext* burn = FPictureSubtitles
                              ? SubtitleOverlay(graph, Ist, width, height, codec->colorspace, &Ost->SubtitlePictures)
                              : SubtitleFilter(graph, codec->height, width, height);
  if (!burn) {
    ff::avfilter_graph_free(&Ost->SubtitleGraph);
    Ost->SubtitlePictures = nullptr;
    return;
  }
  r = ff::avfilter_link(source, 0, burn, 0);
  if (r >= 0) r = ff::avfilter_link(burn, 0, sink, 0);
  if (r >= 0) r = ff::avfilter_graph_config(graph, nullptr);
  if (r < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    ff::av_strerror(r, text, sizeof text);
    DropSubtitleStep(Ost, text);
    return;
  }
  Ost->SubtitleIn = source;
  Ost->SubtitleOut = sink;
}

void TCustomFFmpeg::DropSubtitleStep(OutputStreamState* Ost, const std::string& Why) {
  ff::avfilter_graph_free(&Ost->SubtitleGraph);
  Ost->SubtitleIn = Ost->SubtitleOut = Ost->SubtitlePictures = nullptr;
  FSubtitlesGivenUp = true;
  const std::string file = !FSubtitleFile.empty() ? FSubtitleFile : FInputFiles[0]->url;
  Log(0, "Subtitles \"" + file + "\" cannot be laid over the pictures (" + Why +
             "): the rest of the video is converted without them");
}

void TCustomFFmpeg::CheckSubtitleFile() {
  FSubtitleCharset.clear();
  if (FSubtitleFile.empty() || FSubtitlesGivenUp) return;
  // A film given as the subtitle file is read by the subtitles filter as it is.
  std::string extension = std::filesystem::path(FSubtitleFile).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == ".mkv" || extension == ".mp4") return;
  const std::string problem = SubtitleFileProblem(FSubtitleFile, FSubtitleCharset);
  if (problem.empty()) return;
  FSubtitlesGivenUp = true;
  Log(0, "Subtitles \"" + FSubtitleFile + "\" cannot be read (" + problem + "): the video is converted without them");
}

void TCustomFFmpeg::ReadSubtitleScript() {
  FSubtitleScript.reset();
  if (!BurnsSubtitles() || FPictureSubtitles || FInputFileCount < 1) return;
  const AVFormatContext* input = FInputFiles[0];
  const std::string file = !FSubtitleFile.empty() ? FSubtitleFile : input->url ? input->url : "";
  // The stretch converted, on the input's clock: the pictures' times less
  // the input's offset (its start and the start asked for). A subtitle
  // file counts from the film's start, as players show it.
  int64_t shift = FInputTsOffset[0];
  if (!FSubtitleFile.empty() && input->start_time != AV_NOPTS_VALUE) shift += input->start_time;
  const int64_t to = FRecordingTime == INT64_MAX ? INT64_MAX : FRecordingTime - shift;
  auto script = std::make_unique<TSubtitleScript>();
  const std::string problem =
      script->Read(file, std::max(0, FSubtitleStream), FSubtitleCharset, -shift, to, shift);
  if (!problem.empty()) {
    FSubtitlesGivenUp = true;
    Log(0, "Subtitles \"" + file + "\" cannot be read (" + problem + "): the video is converted without them");
    return;
  }
  FSubtitleScript = std::move(script);
}

AVFilterContext* TCustomFFmpeg::SubtitleFilter(AVFilterGraph* Graph, int FrameHeight, int PictureWidth,
                                               int PictureHeight) {
  const std::string file = !FSubtitleFile.empty() ? FSubtitleFile : FInputFiles[0]->url ? FInputFiles[0]->url : "";
  // Subtitles of their own style (ASS, SSA) keep it; plain text (SubRip,
  // WebVTT, text tracks) is written large enough for a small screen: its line
  // an eleventh of the frame (22 lines of 240, counted on the whole frame, so
  // a letterboxed picture gets the same size), with an outline to read it on
  // any picture. Plain text is laid out on a 288-line stage; a cue too long
  // for four lines is written smaller (TSubtitleScript).
  std::string reason = "the subtitles filter is missing";
  AVFilterContext* filter = nullptr;
  if (!FSubtitleScript) {
    reason = "its subtitles were not read";
  } else if (const AVFilter* kind = ff::avfilter_get_by_name("subtitles")) {
    filter = ff::avfilter_graph_alloc_filter(Graph, kind, "subtitles");
  }
  if (filter) {
    const bool ownStyle = FSubtitleScript->OwnStyle();
    const double line = FrameHeight / 11.0;       // lines of the frame
    const double stage = 288.0 / std::max(1, PictureHeight);  // stage lines per picture line
    TSubtitleScript::TLayout layout;
    layout.Width = PictureWidth;
    layout.Height = PictureHeight;
    layout.FontSize = static_cast<double>(std::lround(line * stage));
    std::string error;
    const std::string script = FSubtitleScript->Write(layout, error);
    int r = script.empty() ? AVERROR(EIO) : ff::av_opt_set(filter, "filename", script.c_str(), AV_OPT_SEARCH_CHILDREN);
    if (r >= 0 && !ownStyle && PictureHeight > 0) {
      char style[160];
      std::snprintf(style, sizeof style, "FontName=DejaVu Sans,FontSize=%ld,Outline=%ld,Shadow=0,MarginV=%ld",
                    std::lround(layout.FontSize), std::lround(std::max(1.0, line / 9) * stage),
                    std::lround(line / 2 * stage));
      r = ff::av_opt_set(filter, "force_style", style, AV_OPT_SEARCH_CHILDREN);
    }
    if (r >= 0) r = ff::avfilter_init_str(filter, nullptr);
    if (r >= 0) return filter;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    ff::av_strerror(r, text, sizeof text);
    reason = error.empty() ? text : error;
    ff::avfilter_free(filter);
  }
  FSubtitlesGivenUp = true;
  Log(0, "Subtitles \"" + file + "\" cannot be read (" + reason + "): the video is converted without them");
  return nullptr;
}

// ---------------------------------------------------------------------------
// Scaling from the decoded pictures to the encoder's size and format

void TCustomFFmpeg::PrepareVideoScaler(OutputStreamState* Ost, int Width, int Height, int PixFmt) {
  AVCodecContext* codec = Ost->CodecCtx;
  Ost->DecodedWidth = Width;
  Ost->DecodedHeight = Height;
  Ost->DecodedPixFmt = PixFmt;
  if (Ost->ImgResampleCtx) {
    ff::sws_freeContext(Ost->ImgResampleCtx);
    Ost->ImgResampleCtx = nullptr;
  }
  if (Ost->ColourCtx) {
    ff::sws_freeContext(Ost->ColourCtx);
    Ost->ColourCtx = nullptr;
  }
  if (Ost->ColourTmp) ff::av_frame_free(&Ost->ColourTmp);
  if (Ost->TurnTmp) ff::av_frame_free(&Ost->TurnTmp);
  if (Ost->ToneMapTmp) ff::av_frame_free(&Ost->ToneMapTmp);
  Ost->ToneMapStep.reset();
  // Subtitles are laid on the scaled picture: a picture of the output's
  // size goes through the scaler too (a copy), so that they never touch the
  // decoded one.
  Ost->VideoResample =
      !(Width + FFramePadLeft + FFramePadRight - FFrameLeftBand - FFrameRightBand == codec->width &&
        Height + FFramePadTop + FFramePadBottom - FFrameTopBand - FFrameBottomBand == codec->height &&
        PixFmt == codec->pix_fmt) ||
      Ost->Colour.Convert || !Ost->Turn.None() || Ost->ToneMap != THdrTransfer::None || SubtitlesAfterScaling();
  if ((Ost->VideoPad || Ost->VideoResample) && !Ost->PictTmp) {
    Ost->PictTmp = AllocPicture(codec->pix_fmt, codec->width, codec->height);
    if (!Ost->PictTmp)
      throw FFMpegException(Ost->VideoResample ? "Cannot allocate temp picture, check pix fmt" : "avpicture_alloc fail");
  }
  if (!Ost->VideoResample) return;
  int64_t flags = FSwsFlags;
  if (FSwsOpts) ff::av_opt_get_int(FSwsOpts, "sws_flags", 0, &flags);
  FSwsFlags = static_cast<int>(flags);
  if (!FFiltersEnabled) {
    int srcW = Width - FFrameLeftBand - FFrameRightBand;
    int srcH = Height - FFrameTopBand - FFrameBottomBand;
    int dstW = codec->width - FFramePadLeft - FFramePadRight;
    int dstH = codec->height - FFramePadTop - FFramePadBottom;
    // Turned after scaling: the scaler works on the pictures as stored (never
    // cropped), at the output's size as stored, and the small picture turns.
    if (Ost->Turn.Quarter()) {
      std::swap(srcW, srcH);
      std::swap(dstW, dstH);
    }
    if (!Ost->Turn.None()) {
      Ost->TurnTmp = AllocPicture(codec->pix_fmt, dstW, dstH);
      if (!Ost->TurnTmp) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
    }
    if (!PictureUsable(PixFmt, srcW, srcH) || !PictureUsable(codec->pix_fmt, dstW, dstH))
      throw FFMpegException("Cannot get resampling context");
    // A change of matrix goes through R'G'B' with exact rounding and full
    // chroma, which costs by the picture element: on a picture made smaller
    // the scaler first scales in the source's matrix (the range already
    // converted), and the small picture's matrix is converted after it.
    // An HDR picture the output tone-maps is only scaled here; its matrix
    // changes (when the output's differs) after the tone mapping.
    const bool toneMap = Ost->ToneMap != THdrTransfer::None;
    const TColourSteps steps = toneMap ? TColourSteps{{}, Ost->Colour}
                                       : SplitColourPlan(Ost->Colour, int64_t{dstW} * dstH < int64_t{srcW} * srcH);
    // The small picture in between keeps its chroma at every element (as the
    // conversion through R'G'B' does), so the edges of colours stay as sharp.
    const AVPixelFormat between = steps.After.Convert ? AV_PIX_FMT_YUV444P : codec->pix_fmt;
    // The HDR picture to tone-map keeps its chroma at every element and more
    // than its bits, so the small picture's tone mapping rounds only once.
    const AVPixelFormat scaled = toneMap ? AV_PIX_FMT_YUV444P16 : between;
    Ost->ImgResampleCtx = ff::sws_getContext(srcW, srcH, static_cast<AVPixelFormat>(PixFmt), dstW, dstH, scaled,
                                             FSwsFlags | ColourScalerFlags(steps.Scale), nullptr, nullptr, nullptr);
    if (!Ost->ImgResampleCtx || !ApplyColourPlan(Ost->ImgResampleCtx, steps.Scale))
      throw FFMpegException("Cannot get resampling context");
    if (toneMap) {
      const AVCodecContext* source = FInputStreams[Ost->SourceIndex]->CodecCtx;
      Ost->ToneMapTmp = AllocPicture(scaled, dstW, dstH);
      Ost->ToneMapStep = std::make_unique<TToneMapStep>();
      if (!Ost->ToneMapTmp || Ost->ToneMapStep->Build(dstW, dstH, scaled, Ost->ToneMap, source->colorspace,
                                                      source->color_range, between) < 0)
        throw FFMpegException("Cannot tone-map the pictures");
    }
    if (steps.After.Convert) {
      Ost->ColourTmp = AllocPicture(between, dstW, dstH);
      Ost->ColourCtx = ff::sws_getContext(dstW, dstH, between, dstW, dstH, codec->pix_fmt,
                                          FSwsFlags | ColourScalerFlags(steps.After), nullptr, nullptr, nullptr);
      if (!Ost->ColourTmp || !Ost->ColourCtx || !ApplyColourPlan(Ost->ColourCtx, steps.After))
        throw FFMpegException("Cannot get resampling context");
    }
  }
  Ost->ResampleHeight = FFiltersEnabled       ? Height
                        : Ost->Turn.Quarter() ? Width
                                              : Height - FFrameTopBand - FFrameBottomBand;
}

// ---------------------------------------------------------------------------
// Streams the probe could not describe

void TCustomFFmpeg::RefuseUndecodableStream(const InputStreamState* Ist) {
  // Without a decoder, or when no picture or sample of the stream could be
  // decoded while the file was probed, its format or size is unknown. Such
  // values must never reach the scaler (which ends the process on them), the
  // resampler, the filters or an encoder.
  const AVCodecContext* dec = Ist->CodecCtx;
  if (!dec->codec && !ff::avcodec_find_decoder(dec->codec_id))
    throw FFMpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d", static_cast<int>(dec->codec_id),
                                 Ist->FileIndex, Ist->StreamIndex));
  const char* what = nullptr;
  if (dec->codec_type == AVMEDIA_TYPE_VIDEO && !PictureUsable(dec->pix_fmt, dec->width, dec->height))
    what = "an unknown picture size or format";
  else if (dec->codec_type == AVMEDIA_TYPE_AUDIO &&
           !SamplesUsable(dec->sample_fmt, dec->sample_rate, dec->ch_layout.nb_channels))
    what = "an unknown sample format, rate or channel count";
  if (what)
    throw FFMpegException(Format("Input stream #%d.%d of %s has %s", Ist->FileIndex, Ist->StreamIndex,
                                 FInputFiles[Ist->FileIndex]->url, what));
}

// ---------------------------------------------------------------------------
// Set-up

void TCustomFFmpeg::Transcode() {
  try {
    TranscodeSetup();
    PrepareEvenLoudness();
    TranscodeLoop();
  } catch (...) {
    // Every way out by an error: close what is open, then free the tables the
    // open-codec lists refer to.
    CloseOpenEncoders();
    CloseOpenDecoders();
    ReleaseTranscodeTables();
    throw;
  }
}

void TCustomFFmpeg::TranscodeSetup() {
  MakeInputStreams();
  MakeOutputStreams();
  ChooseSources();
  CheckSubtitleFile();
  ChoosePictureSubtitles();
  ReadSubtitleScript();
  for (size_t k = 0; k < FOutputStreams.size(); ++k) SetUpOutputStream(static_cast<int>(k));
  ChooseStepsAfterScaling();
  ListStreams();
  OpenCodecs();
  ResetInputClocks();
  CopyMappedMetadata();
  WriteHeaders();
  MakeBitstreamFilters();
  // The run's clocks start.
  FTimerStart = ff::av_gettime();
  FLastReportTime = FTimerStart;
}

bool TCustomFFmpeg::ValidInputStream(int File, int Stream) const {
  return File >= 0 && File < FInputFileCount && Stream >= 0 && Stream < FFileTable[File].NbStreams;
}

void TCustomFFmpeg::MakeInputStreams() {
  // 1, 2: input files and streams
  FFileTable.assign(FInputFileCount, InputFileState{});
  int total = 0;
  for (int i = 0; i < FInputFileCount; ++i) {
    FFileTable[i].FirstStreamIndex = total;
    FFileTable[i].NbStreams = static_cast<int>(FInputFiles[i]->nb_streams);
    total += FFileTable[i].NbStreams;
  }
  for (int i = 0; i < FInputFileCount; ++i) {
    for (int k = 0; k < FFileTable[i].NbStreams; ++k) {
      auto* ist = new InputStreamState{};
      FInputStreams.push_back(ist);
      ist->FileIndex = i;
      ist->StreamIndex = k;
      ist->Stream = FInputFiles[i]->streams[k];
      ist->CodecCtx = k < static_cast<int>(FInputCodecs[i].size()) ? FInputCodecs[i][k] : nullptr;
      ist->Discard = 1;
      ist->RateEmu = FInputRateEmu[i];
      if (ist->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        ist->Turn = PictureTurnOf(ist->Stream);
        if (ist->CodecCtx) ist->Hdr = HdrTransferOf(ist->CodecCtx);
      }
      if (ist->RateEmu) {
        ist->Start = ff::av_gettime();
        ist->FrameCount = 0;
      }
      if (!ist->CodecCtx) throw FFMpegException("av_mallocz fail");
    }
  }
}

void TCustomFFmpeg::MakeOutputStreams() {
  // 3, 4, 5: output streams and maps
  int outputCount = 0;
  for (int i = 0; i < FOutputFileCount; ++i) {
    if (FOutputFiles[i]->nb_streams == 0) throw FFMpegException("Output file does not contain any stream");
    outputCount += static_cast<int>(FOutputFiles[i]->nb_streams);
  }
  if (FStreamMapCount > 0 && FStreamMapCount != outputCount)
    throw FFMpegException("Number of stream maps must match number of output streams");
  for (int m = 0; m < FStreamMapCount; ++m) {
    const TStreamMap& map = FStreamMaps[m];
    if (!ValidInputStream(map.FileIndex, map.StreamIndex))
      throw FFMpegException(Format("Could not find input stream #%d.%d", map.FileIndex, map.StreamIndex));
    if (!ValidInputStream(map.SyncFileIndex, map.SyncStreamIndex))
      throw FFMpegException(Format("Could not find sync stream #%d.%d", map.SyncFileIndex, map.SyncStreamIndex));
  }

  // 6
  for (int i = 0; i < FOutputFileCount; ++i) {
    AVFormatContext* oc = FOutputFiles[i];
    for (unsigned k = 0; k < oc->nb_streams; ++k) {
      auto* ost = new OutputStreamState{};
      FOutputStreams.push_back(ost);
      ost->FileIndex = i;
      ost->StreamIndex = static_cast<int>(k);
      ost->Stream = oc->streams[k];
      ost->CodecCtx = k < FOutputCodecs[i].size() ? FOutputCodecs[i][k] : nullptr;
      ost->EndPts = AV_NOPTS_VALUE;
      ost->AudioEndPts = AV_NOPTS_VALUE;
      ost->EncPacket = ff::av_packet_alloc();
      ost->OutPacket = ff::av_packet_alloc();
      if (!ost->CodecCtx || !ost->EncPacket || !ost->OutPacket) throw FFMpegException("av_mallocz fail");
    }
  }
}

void TCustomFFmpeg::ChooseSources() {
  // 7: sources
  for (size_t k = 0; k < FOutputStreams.size(); ++k) {
    OutputStreamState* ost = FOutputStreams[k];
    const AVMediaType type = ost->CodecCtx->codec_type;
    if (FStreamMapCount > 0) {
      const TStreamMap& map = FStreamMaps[k];
      ost->SourceIndex = FFileTable[map.FileIndex].FirstStreamIndex + map.StreamIndex;
      if (FInputStreams[ost->SourceIndex]->CodecCtx->codec_type != type) {
        ff::av_dump_format(FOutputFiles[ost->FileIndex], ost->FileIndex, FOutputFiles[ost->FileIndex]->url, 1);
        throw FFMpegException(Format("Codec type mismatch for mapping #%d.%d -> #%d.%d", map.FileIndex,
                                     map.StreamIndex, ost->FileIndex, ost->StreamIndex));
      }
    } else {
      int found = -1;
      if (type == AVMEDIA_TYPE_AUDIO && FAudioSourceStream >= 0) {
        // The audio stream asked for: the user's track of several.
        if (FInputFileCount < 1 || !ValidInputStream(0, FAudioSourceStream) ||
            FInputStreams[FFileTable[0].FirstStreamIndex + FAudioSourceStream]->CodecCtx->codec_type != type)
          throw FFMpegException(Format("Could not find input stream #%d.%d", 0, FAudioSourceStream));
        found = FFileTable[0].FirstStreamIndex + FAudioSourceStream;
      } else if (FProgramId != 0) {
        found = FindProgramStream(type);
      } else {
        for (size_t j = 0; j < FInputStreams.size() && found < 0; ++j)
          if (FInputStreams[j]->Discard && FInputStreams[j]->CodecCtx->codec_type == type) found = static_cast<int>(j);
        if (found < 0)
          for (size_t j = 0; j < FInputStreams.size(); ++j)
            if (FInputStreams[j]->CodecCtx->codec_type == type) found = static_cast<int>(j);
      }
      if (found < 0) {
        ff::av_dump_format(FOutputFiles[ost->FileIndex], ost->FileIndex, FOutputFiles[ost->FileIndex]->url, 1);
        throw FFMpegException(Format("Could not find input stream matching output stream #%d.%d", ost->FileIndex,
                                     ost->StreamIndex));
      }
      ost->SourceIndex = found;
    }
    FInputStreams[ost->SourceIndex]->Discard = 0;
    if (FStreamMapCount > 0) {
      const TStreamMap& map = FStreamMaps[k];
      ost->SyncInput = FInputStreams[FFileTable[map.SyncFileIndex].FirstStreamIndex + map.SyncStreamIndex];
    } else {
      ost->SyncInput = FInputStreams[ost->SourceIndex];
    }
  }
}

void TCustomFFmpeg::SetUpOutputStream(int K) {
  OutputStreamState* ost = FOutputStreams[K];
  InputStreamState* ist = FInputStreams[ost->SourceIndex];
  AVCodecContext* icodec = ist->CodecCtx;
  AVCodecContext* codec = ost->CodecCtx;
  AVStream* st = ost->Stream;
  AVFormatContext* os = FOutputFiles[ost->FileIndex];

  if (!ff::av_dict_get(st->metadata, "language", nullptr, 0)) {
    if (AVDictionaryEntry* lang = ff::av_dict_get(ist->Stream->metadata, "language", nullptr, 0))
      ff::av_dict_set(&st->metadata, "language", std::string(lang->value).substr(0, 3).c_str(), 0);
  }
  st->disposition = ist->Stream->disposition;

  const bool copy = FOutputStreamCopy[ost->FileIndex].size() > static_cast<size_t>(ost->StreamIndex) &&
                    FOutputStreamCopy[ost->FileIndex][ost->StreamIndex];
  if (copy) {
    const AVCodecParameters* ipar = ist->Stream->codecpar;
    switch (ipar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        if (FAudioVolume != 256) throw FFMpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
        break;
      case AVMEDIA_TYPE_VIDEO:
        if (FOnCustomHook)
          throw FFMpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
        if (FUsingVHook) throw FFMpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        break;
      default:
        throw FFMpegException("invalid codec_type of output stream");
    }
    const uint32_t wantedTag = st->codecpar->codec_tag ? st->codecpar->codec_tag : codec->codec_tag;
    const AVRational sar = st->sample_aspect_ratio;
    if (ff::avcodec_parameters_copy(st->codecpar, ipar) < 0) throw FFMpegException("av_mallocz fail");
    // Keep the input's tag only where the output container can carry it.
    uint32_t tag = wantedTag;
    if (!tag) {
      const AVCodecTag* const* table = os->oformat->codec_tag;
      unsigned int probe = 0;
      if (!table || ff::av_codec_get_id(table, ipar->codec_tag) == ipar->codec_id ||
          !ff::av_codec_get_tag2(table, ipar->codec_id, &probe))
        tag = ipar->codec_tag;
    }
    st->codecpar->codec_tag = tag;
    if (sar.num) st->sample_aspect_ratio = sar;
    if (ipar->codec_type == AVMEDIA_TYPE_VIDEO && !ist->Turn.None()) {
      // The copied pictures stay as stored: the display matrix goes with
      // them, and the sample aspect ratio is the stored picture's, not the
      // turned one's that the input's aspect was read as.
      size_t size = 0;
      const uint8_t* matrix = ff::av_stream_get_side_data(ist->Stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
      uint8_t* copied = ff::av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, size);
      if (!copied) throw FFMpegException("av_mallocz fail");
      std::memcpy(copied, matrix, size);
      if (ist->Turn.Quarter() && st->sample_aspect_ratio.num)
        st->sample_aspect_ratio = AVRational{st->sample_aspect_ratio.den, st->sample_aspect_ratio.num};
    }
    const AVRational itb = ist->Stream->time_base;
    const AVRational ctb = icodec->framerate.num ? AVRational{icodec->framerate.den, icodec->framerate.num} : itb;
    st->time_base = (av_q2d(ctb) > av_q2d(itb) && av_q2d(itb) < 0.001) ? ctb : itb;
    if (ipar->codec_type == AVMEDIA_TYPE_AUDIO) {
      if ((st->codecpar->block_align == 1 && ipar->codec_id == AV_CODEC_ID_MP3) ||
          ipar->codec_id == AV_CODEC_ID_AC3)
        st->codecpar->block_align = 0;
    }
    // Keep the encoder context in step for the report and the main loop.
    ff::avcodec_parameters_to_context(codec, st->codecpar);
    codec->time_base = st->time_base;
  } else {
    RefuseUndecodableStream(ist);
    switch (codec->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        ost->AudioResample = codec->sample_rate != icodec->sample_rate || FAudioSyncMethod > 1;
        ost->EncodingNeeded = 1;
        ist->DecodingNeeded = 1;
        break;
      case AVMEDIA_TYPE_VIDEO: {
        const int cropSum = FFrameTopBand + FFrameBottomBand + FFrameLeftBand + FFrameRightBand;
        const int padSum = FFramePadTop + FFramePadBottom + FFramePadLeft + FFramePadRight;
        ost->VideoCrop = cropSum != 0;
        ost->VideoPad = padSum != 0;
        if (ost->VideoCrop) {
          ost->TopBand = FFrameTopBand;
          ost->LeftBand = FFrameLeftBand;
        }
        if (ost->VideoPad) {
          ost->PadTop = FFramePadTop;
          ost->PadBottom = FFramePadBottom;
          ost->PadLeft = FFramePadLeft;
          ost->PadRight = FFramePadRight;
        }
        // The scaler converts the colours (with filters, the graph's scaler).
        ost->Colour = PlanColour(icodec, codec->height, ist->Hdr);
        TagColour(codec, ost->Colour);
        // Without anything that looks at the pictures before (hooks, the
        // user's filters, cropping), the output turns the small picture
        // after scaling, which costs a fraction of turning the large one.
        if (!ist->Turn.None() && !FFiltersEnabled && !FOnCustomHook && !FUsingVHook && !ost->VideoCrop &&
            TurnablePictureFormat(codec->pix_fmt, ist->Turn))
          ost->Turn = ist->Turn;
        // In the same cases an HDR source made smaller is tone-mapped by the
        // output on its small picture, a fraction of the large one's work.
        if (ist->Hdr != THdrTransfer::None && FToneMapAtOutputSize && !FFiltersEnabled && !FOnCustomHook &&
            !FUsingVHook && !ost->VideoCrop &&
            int64_t{codec->width} * codec->height < int64_t{icodec->width} * icodec->height)
          ost->ToneMap = ist->Hdr;
        // Else tone-mapped pictures reach the scaler; the scaler is made for
        // the pictures as shown.
        const int preparedFormat =
            ist->Hdr != THdrTransfer::None && ost->ToneMap == THdrTransfer::None ? AV_PIX_FMT_YUV420P : icodec->pix_fmt;
        if (ist->Turn.Quarter())
          PrepareVideoScaler(ost, icodec->height, icodec->width, preparedFormat);
        else
          PrepareVideoScaler(ost, icodec->width, icodec->height, preparedFormat);
        ost->EncodingNeeded = 1;
        ist->DecodingNeeded = 1;
        if (SubtitlesAfterScaling()) MakeSubtitleStep(ist, ost);
        FLastError.clear();
        if (FFiltersEnabled && ConfigureVideoFilters(ist, ost) != 0)
          throw FFMpegException(FLastError.empty() ? std::string("Error opening filters!")
                                                   : "Error opening filters: " + FLastError);
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE:
        ost->EncodingNeeded = 1;
        ist->DecodingNeeded = 1;
        // Subtitles are encoded with their times in microseconds.
        codec->time_base = AV_TIME_BASE_Q;
        break;
      default:
        throw FFMpegException("invalid codec_type of output stream");
    }
  }

  // Two-pass statistics.
  if (ost->EncodingNeeded && (codec->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) {
    std::string name = (FPassLogFileName.empty() ? std::string("ffmpeg2pass") : FPassLogFileName) + "-" +
                       std::to_string(K) + ".log";
    if (name.size() > 1023) name.resize(1023);
    if (codec->flags & AV_CODEC_FLAG_PASS1) {
      ost->LogFile = std::fopen(name.c_str(), "w");
      if (!ost->LogFile) throw FFMpegException("creat file fail: " + name);
    } else {
      FILE* f = std::fopen(name.c_str(), "r");
      if (!f) throw FFMpegException("creat open fail: " + name);
      std::fseek(f, 0, SEEK_END);
      long size = std::ftell(f);
      std::fseek(f, 0, SEEK_SET);
      if (size < 0) size = 0;
      char* buffer = static_cast<char*>(ff::av_malloc(static_cast<size_t>(size) + 1));
      if (!buffer) {
        std::fclose(f);
        throw FFMpegException("Could not allocate log buffer");
      }
      size = static_cast<long>(std::fread(buffer, 1, static_cast<size_t>(size), f));
      std::fclose(f);
      buffer[size] = 0;
      ff::av_freep(&codec->stats_in);
      codec->stats_in = buffer;
    }
  }
}

void TCustomFFmpeg::ChooseStepsAfterScaling() {
  // A source is turned after scaling only when every output that shows its
  // pictures can; else all of them get turned pictures, as made before.
  for (size_t i = 0; i < FInputStreams.size(); ++i) {
    InputStreamState* ist = FInputStreams[i];
    if (ist->Turn.None() || !ist->DecodingNeeded) continue;
    bool late = true;
    for (const OutputStreamState* ost : FOutputStreams)
      if (ost->SourceIndex == static_cast<int>(i) && ost->EncodingNeeded &&
          ost->CodecCtx->codec_type == AVMEDIA_TYPE_VIDEO && ost->Turn.None())
        late = false;
    ist->TurnAfterScaling = late;
    if (late) continue;
    for (OutputStreamState* ost : FOutputStreams)
      if (ost->SourceIndex == static_cast<int>(i) && !ost->Turn.None()) {
        ost->Turn = {};
        PrepareVideoScaler(ost, ost->DecodedWidth, ost->DecodedHeight, ost->DecodedPixFmt);
      }
  }
  // The same for tone mapping: an HDR source is tone-mapped after scaling
  // only when every output that shows its pictures does it.
  for (size_t i = 0; i < FInputStreams.size(); ++i) {
    InputStreamState* ist = FInputStreams[i];
    if (ist->Hdr == THdrTransfer::None || !ist->DecodingNeeded) continue;
    bool late = true;
    for (const OutputStreamState* ost : FOutputStreams)
      if (ost->SourceIndex == static_cast<int>(i) && ost->EncodingNeeded &&
          ost->CodecCtx->codec_type == AVMEDIA_TYPE_VIDEO && ost->ToneMap == THdrTransfer::None)
        late = false;
    ist->ToneMapAfterScaling = late;
    if (late) continue;
    for (OutputStreamState* ost : FOutputStreams)
      if (ost->SourceIndex == static_cast<int>(i) && ost->ToneMap != THdrTransfer::None) {
        ost->ToneMap = THdrTransfer::None;
        PrepareVideoScaler(ost, ost->DecodedWidth, ost->DecodedHeight, AV_PIX_FMT_YUV420P);
      }
  }
}

void TCustomFFmpeg::ListStreams() {
  // 10, 11
  // The listing reads each stream's parameters, which the encoders' settings
  // fill only once they open (step 12): describe the encoded streams from those
  // settings now, so that the listing names their codec, size and rate. The
  // file is named as the user will find it, not by its temporary name.
  for (OutputStreamState* ost : FOutputStreams)
    if (ost->EncodingNeeded) ff::avcodec_parameters_from_context(ost->Stream->codecpar, ost->CodecCtx);
  for (int i = 0; i < FOutputFileCount; ++i) {
    const std::string& name = FOutputTargets[i].FinalName();
    ff::av_dump_format(FOutputFiles[i], i, name.empty() ? FOutputFiles[i]->url : name.c_str(), 1);
  }
  if (FVerbose >= 0 && FOnLog) {
    Log(1, "Stream mapping:");
    for (OutputStreamState* ost : FOutputStreams) {
      InputStreamState* src = FInputStreams[ost->SourceIndex];
      Log(1, Format("  Stream #%d.%d -> #%d.%d", src->FileIndex, src->StreamIndex, ost->FileIndex, ost->StreamIndex));
      if (ost->SyncInput != src)
        Log(1, Format(" [sync #%d.%d]", ost->SyncInput->FileIndex, ost->SyncInput->StreamIndex));
    }
    // What is done to each source's pictures, so that a user can see why a
    // picture looks as it does.
    for (InputStreamState* ist : FInputStreams) {
      if (!ist->DecodingNeeded) continue;
      if (!ist->Turn.None())
        Log(1, Format("Stream #%d.%d: %s", ist->FileIndex, ist->StreamIndex, PictureTurnText(ist->Turn).c_str()));
      if (ist->Hdr != THdrTransfer::None)
        Log(1, Format("Stream #%d.%d: %s", ist->FileIndex, ist->StreamIndex, HdrText(ist->Hdr).c_str()));
      else if (ist->CodecCtx->codec_type == AVMEDIA_TYPE_VIDEO && TaggedHdrTransfer(ist->CodecCtx) != THdrTransfer::None)
        Log(1, Format("Stream #%d.%d: HDR (%s) not tone-mapped: the libraries lack the zscale or tonemap filter",
                      ist->FileIndex, ist->StreamIndex, HdrName(TaggedHdrTransfer(ist->CodecCtx))));
    }
    for (OutputStreamState* ost : FOutputStreams) {
      const std::string colour = ColourPlanText(ost->Colour);
      const InputStreamState* src = FInputStreams[ost->SourceIndex];
      if (!colour.empty())
        Log(1, Format("Stream #%d.%d -> #%d.%d: %s", src->FileIndex, src->StreamIndex, ost->FileIndex,
                      ost->StreamIndex, colour.c_str()));
    }
  }
}

void TCustomFFmpeg::OpenEncoder(OutputStreamState* Ost) {
  AVCodecContext* enc = Ost->CodecCtx;
  const AVCodec* codec = ff::avcodec_find_encoder(enc->codec_id);
  if (!codec)
    throw FFMpegException(Format("Unsupported codec for output stream #%d.%d", Ost->FileIndex, Ost->StreamIndex));
  // The frame rate may come from the input file. Below one picture per 1000 s
  // an encoder divides by zero (libxvid), so such a rate counts as refused.
  const bool rateUsable = enc->codec_type != AVMEDIA_TYPE_VIDEO ||
                          (enc->time_base.num > 0 && enc->time_base.den > 0 &&
                           enc->time_base.num <= int64_t{1000} * enc->time_base.den);
  {
    std::lock_guard<std::mutex> guard(CodecLock());
    if (!rateUsable || ff::avcodec_open2(enc, codec, nullptr) < 0)
      throw FFMpegException(Format("Error while opening codec for output stream #%d.%d - maybe incorrect "
                                   "parameters such as bit_rate, rate, width or height",
                                   Ost->FileIndex, Ost->StreamIndex));
    AddOpenEncoder(Ost);
  }
  FExtraSize += enc->extradata_size;
  ff::avcodec_parameters_from_context(Ost->Stream->codecpar, enc);
  Ost->Stream->time_base = enc->time_base;
  Ost->EncFrame = ff::av_frame_alloc();
  if (!Ost->EncFrame) throw FFMpegException("av_mallocz fail");
  if (enc->codec_type == AVMEDIA_TYPE_AUDIO) {
    Ost->Fifo = ff::av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024);
    if (!Ost->Fifo) throw FFMpegException("av_fifo_init fail");
  }
}

void TCustomFFmpeg::OpenCodecs() {
  // 12: encoders. A text subtitle encoder needs the style header that its
  // source's decoder makes when it opens: those open after the decoders.
  for (OutputStreamState* ost : FOutputStreams)
    if (ost->EncodingNeeded && ost->CodecCtx->codec_type != AVMEDIA_TYPE_SUBTITLE) OpenEncoder(ost);

  // 13: decoders
  for (InputStreamState* ist : FInputStreams) {
    if (!ist->DecodingNeeded) continue;
    AVCodecContext* dec = ist->CodecCtx;
    const AVCodec* codec = dec->codec ? dec->codec : ff::avcodec_find_decoder(dec->codec_id);
    if (!codec)
      throw FFMpegException(Format("Unsupported codec (id=%d) for input stream #%d.%d", static_cast<int>(dec->codec_id),
                                   ist->FileIndex, ist->StreamIndex));
    {
      std::lock_guard<std::mutex> guard(CodecLock());
      if (ff::avcodec_open2(dec, codec, nullptr) < 0)
        throw FFMpegException(
            Format("Error while opening codec for input stream #%d.%d", ist->FileIndex, ist->StreamIndex));
      AddOpenDecoder(ist);
    }
    ist->DecodedFrame = ff::av_frame_alloc();
    if (!ist->DecodedFrame) throw FFMpegException("av_mallocz fail");
  }
  for (OutputStreamState* ost : FOutputStreams) {
    if (!ost->EncodingNeeded || ost->CodecCtx->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
    const AVCodecContext* dec = FInputStreams[ost->SourceIndex]->CodecCtx;
    AVCodecContext* enc = ost->CodecCtx;
    if (dec->subtitle_header && !enc->subtitle_header) {
      enc->subtitle_header = static_cast<uint8_t*>(ff::av_mallocz(dec->subtitle_header_size + 1));
      if (!enc->subtitle_header) throw FFMpegException("av_mallocz fail");
      std::memcpy(enc->subtitle_header, dec->subtitle_header, static_cast<size_t>(dec->subtitle_header_size));
      enc->subtitle_header_size = dec->subtitle_header_size;
    }
    OpenEncoder(ost);
  }
}

void TCustomFFmpeg::ResetInputClocks() {
  // 14
  for (InputStreamState* ist : FInputStreams) {
    ist->Pts = 0;
    ist->NextPts = AV_NOPTS_VALUE;
    ist->IsStart = 1;
  }
}

void TCustomFFmpeg::CopyMappedMetadata() {
  // 15: metadata maps
  for (int m = 0; m < FMetaDataMapCount; ++m) {
    const TMetaDataMap& map = FMetaDataMaps[m];
    if (map.OutFile < 0 || map.OutFile >= FOutputFileCount)
      throw FFMpegException(
          Format("Invalid output file index %d map_meta_data(%d,%d)", map.OutFile, map.OutFile, map.InFile));
    if (map.InFile < 0 || map.InFile >= FInputFileCount)
      throw FFMpegException(
          Format("Invalid input file index %d map_meta_data(%d,%d)", map.InFile, map.OutFile, map.InFile));
    static const char* const keys[] = {"title", "artist", "author", "copyright", "comment",
                                       "album", "date",   "track",  "genre"};
    for (const char* key : keys) {
      if (AVDictionaryEntry* e = ff::av_dict_get(FInputFiles[map.InFile]->metadata, key, nullptr, 0))
        ff::av_dict_set(&FOutputFiles[map.OutFile]->metadata, key, e->value, 0);
    }
  }
}

void TCustomFFmpeg::WriteHeaders() {
  // 16, 17: headers
  bool allRtp = true;
  for (int i = 0; i < FOutputFileCount; ++i) {
    if (ff::avformat_write_header(FOutputFiles[i], nullptr) < 0)
      throw FFMpegException(Format("Could not write header for output file #%d (incorrect codec parameters ?)", i));
    if (std::strcmp(FOutputFiles[i]->oformat->name, "rtp") != 0) allRtp = false;
  }
  if (allRtp && FOnLog) {
    char sdp[2048] = {0};
    ff::av_sdp_create(FOutputFiles.data(), FOutputFileCount, sdp, sizeof sdp);
    std::string text = sdp;
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
    size_t first = 0;
    while (first < text.size() && static_cast<unsigned char>(text[first]) <= ' ') ++first;
    Log(1, "SDP: " + text.substr(first));
  }
}

void TCustomFFmpeg::MakeBitstreamFilters() {
  // The bitstream filters, now that each stream's parameters and time base are final.
  for (OutputStreamState* ost : FOutputStreams) {
    if (ost->StreamIndex >= MAX_STREAMS) continue;
    for (const std::string& filterText : FBitstreamFilterNames[ost->FileIndex][ost->StreamIndex]) {
      const std::string name = filterText.substr(0, filterText.find('='));
      const AVBitStreamFilter* filter = ff::av_bsf_get_by_name(name.c_str());
      AVBSFContext* bsf = nullptr;
      if (!filter || ff::av_bsf_alloc(filter, &bsf) < 0)
        throw FFMpegException("Unknown bitstream filter " + name);
      FBitstreamFilters[ost->FileIndex][ost->StreamIndex].push_back(bsf);
      if (filterText.find('=') != std::string::npos && bsf->priv_data) {
        std::string options = filterText.substr(filterText.find('=') + 1), option;
        while (!options.empty()) {
          ExtractToken(options, ":", true, option);
          const auto eq = option.find('=');
          if (eq != std::string::npos)
            ff::av_opt_set(bsf->priv_data, option.substr(0, eq).c_str(), option.substr(eq + 1).c_str(), 0);
        }
      }
      ff::avcodec_parameters_copy(bsf->par_in, ost->Stream->codecpar);
      bsf->time_base_in = ost->Stream->time_base;
      if (ff::av_bsf_init(bsf) < 0) throw FFMpegException("Unknown bitstream filter " + name);
    }
  }
}
