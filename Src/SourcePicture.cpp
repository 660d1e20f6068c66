#include "SourcePicture.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Turn

TPictureTurn PictureTurnOf(const AVStream* Stream) {
  size_t size = 0;
  const auto* matrix =
      reinterpret_cast<const int32_t*>(ff::av_stream_get_side_data(Stream, AV_PKT_DATA_DISPLAYMATRIX, &size));
  if (!matrix || size < 9 * sizeof(int32_t)) return {};
  // The matrix maps a stored point (p, q), y pointing down, to the shown one:
  // p' = a p + c q, q' = b p + d q. Only the signs of a quarter-turn matrix
  // matter.
  auto sign = [](int32_t V) { return V > 0 ? 1 : V < 0 ? -1 : 0; };
  const int a = sign(matrix[0]), b = sign(matrix[1]), c = sign(matrix[3]), d = sign(matrix[4]);
  struct TCase {
    int A, B, C, D;
    TPictureTurn Turn;
  };
  static constexpr TCase kCases[] = {
      {1, 0, 0, 1, {0, false}},    {-1, 0, 0, 1, {0, true}},  {-1, 0, 0, -1, {180, false}},
      {1, 0, 0, -1, {180, true}},  {0, 1, -1, 0, {90, false}}, {0, 1, 1, 0, {90, true}},
      {0, -1, 1, 0, {270, false}}, {0, -1, -1, 0, {270, true}},
  };
  // A quarter turn has exactly two non-zero entries of equal size.
  const double rotation = ff::av_display_rotation_get(matrix);
  if (std::isnan(rotation) || std::fabs(rotation / 90 - std::round(rotation / 90)) > 0.01) return {};
  for (const TCase& k : kCases)
    if (k.A == a && k.B == b && k.C == c && k.D == d) return k.Turn;
  return {};
}

std::string PictureTurnText(const TPictureTurn& Turn) {
  std::string text = Turn.Degrees ? "rotated " + std::to_string(Turn.Degrees) + "\u00b0" : "";
  if (Turn.Mirror) text += text.empty() ? "mirrored" : " and mirrored";
  return text;
}

// ---------------------------------------------------------------------------
// Colour

namespace {

// The matrices the scaler knows; others count as untagged.
int ScalerMatrix(AVColorSpace Space) {
  switch (Space) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return -1;
  }
}

const char* MatrixName(AVColorSpace Space) {
  switch (ScalerMatrix(Space)) {
    case SWS_CS_ITU709: return "BT.709";
    case SWS_CS_FCC: return "FCC";
    case SWS_CS_SMPTE240M: return "SMPTE 240M";
    case SWS_CS_BT2020: return "BT.2020";
    default: return "BT.601";
  }
}

bool FullRangeFormat(int Format) {
  switch (Format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P: return true;
    default: return false;
  }
}

}  // namespace

TColourPlan PlanColour(const AVCodecContext* Decoder, int OutputHeight) {
  TColourPlan plan;
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(Decoder->pix_fmt);
  // Only Y'CbCr sources have a matrix; the scaler converts RGB and grey as it always has.
  if (!desc || (desc->flags & AV_PIX_FMT_FLAG_RGB) || desc->nb_components < 3) return plan;
  const bool tagged = ScalerMatrix(Decoder->colorspace) >= 0;
  plan.From = tagged ? Decoder->colorspace : Decoder->height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
  plan.To = OutputHeight < 720 ? AVCOL_SPC_SMPTE170M : plan.From;
  plan.FullRangeIn = Decoder->color_range == AVCOL_RANGE_JPEG || FullRangeFormat(Decoder->pix_fmt);
  plan.MatrixChange = ScalerMatrix(plan.From) != ScalerMatrix(plan.To);
  plan.Convert = plan.MatrixChange || plan.FullRangeIn;
  // An untagged SD output is shown as BT.601 limited anyway: it stays
  // untagged unless the source told something or the matrix changed. (The
  // scaler always took JPEG-range formats to limited range; their outputs
  // stay as they were.)
  plan.Tag = plan.MatrixChange || tagged || (OutputHeight >= 720 && ScalerMatrix(plan.To) == SWS_CS_ITU601);
  return plan;
}

std::string ColourPlanText(const TColourPlan& Plan) {
  if (!Plan.Convert) return {};
  std::string from = MatrixName(Plan.From), to = MatrixName(Plan.To);
  if (Plan.FullRangeIn) {
    from += " full range";
    to += " limited range";
  }
  return "colour " + from + " \u2192 " + to;
}

void TagColour(AVCodecContext* Encoder, const TColourPlan& Plan) {
  if (!Plan.Tag) return;
  Encoder->colorspace = Plan.To;
  Encoder->color_range = AVCOL_RANGE_MPEG;
  switch (ScalerMatrix(Plan.To)) {
    case SWS_CS_ITU709:
      Encoder->color_primaries = AVCOL_PRI_BT709;
      Encoder->color_trc = AVCOL_TRC_BT709;
      break;
    case SWS_CS_BT2020:
      Encoder->color_primaries = AVCOL_PRI_BT2020;
      Encoder->color_trc = AVCOL_TRC_BT709;
      break;
    case SWS_CS_SMPTE240M:
      Encoder->color_primaries = AVCOL_PRI_SMPTE240M;
      Encoder->color_trc = AVCOL_TRC_SMPTE240M;
      break;
    default:
      Encoder->colorspace = AVCOL_SPC_SMPTE170M;
      Encoder->color_primaries = AVCOL_PRI_SMPTE170M;
      Encoder->color_trc = AVCOL_TRC_SMPTE170M;
      break;
  }
}

int ColourScalerFlags(const TColourPlan& Plan) {
  return Plan.MatrixChange ? SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : 0;
}

std::string ColourScaleFilterOptions(const TColourPlan& Plan) {
  if (!Plan.Convert) return {};
  auto name = [](AVColorSpace Space) {
    switch (ScalerMatrix(Space)) {
      case SWS_CS_ITU709: return "bt709";
      case SWS_CS_FCC: return "fcc";
      case SWS_CS_SMPTE240M: return "smpte240m";
      case SWS_CS_BT2020: return "bt2020";
      default: return "bt601";
    }
  };
  std::string options = std::string(":in_color_matrix=") + name(Plan.From) + ":out_color_matrix=" + name(Plan.To) +
                        ":in_range=" + (Plan.FullRangeIn ? "full" : "limited") + ":out_range=limited";
  if (Plan.MatrixChange) options += ":flags=bicubic+accurate_rnd+full_chroma_int";
  return options;
}

bool ApplyColourPlan(SwsContext* Scaler, const TColourPlan& Plan) {
  if (!Plan.Convert) return true;
  return ff::sws_setColorspaceDetails(Scaler, ff::sws_getCoefficients(ScalerMatrix(Plan.From)), Plan.FullRangeIn ? 1 : 0,
                                      ff::sws_getCoefficients(ScalerMatrix(Plan.To)), 0, 0, 1 << 16, 1 << 16) >= 0;
}

// ---------------------------------------------------------------------------
// Turning and deinterlacing

TPicturePreparation::~TPicturePreparation() {
  Release();
  for (AVFrame*& f : FFinished) ff::av_frame_free(&f);
  if (FReady) ff::av_frame_free(&FReady);
}

void TPicturePreparation::Release() {
  if (FGraph) ff::avfilter_graph_free(&FGraph);
  FSource = FSink = nullptr;
  FTimes.clear();
}

bool TPicturePreparation::Takes(const AVFrame* Picture, const TPictureTurn& Turn, bool AutoDeinterlace) const {
  if (FFailed) return false;
  return FGraph || !Turn.None() || (AutoDeinterlace && Picture->interlaced_frame);
}

int TPicturePreparation::Build(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn,
                               bool Deinterlace) {
  Release();
  FGraph = ff::avfilter_graph_alloc();
  if (!FGraph) return AVERROR(ENOMEM);
  // One thread: the decoder has the cores, and a graph of its own threads
  // would hold their memory for every conversion.
  FGraph->nb_threads = 1;
  const AVRational sar = Picture->sample_aspect_ratio.num ? Picture->sample_aspect_ratio : AVRational{0, 1};
  char args[256];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", Picture->width,
                Picture->height, Picture->format, TimeBase.num, TimeBase.den, sar.num, sar.den);
  int r = ff::avfilter_graph_create_filter(&FSource, ff::avfilter_get_by_name("buffer"), "in", args, nullptr, FGraph);
  if (r < 0) return r;
  r = ff::avfilter_graph_create_filter(&FSink, ff::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                       FGraph);
  if (r < 0) return r;
  // The fields are lines of the stored picture: deinterlace before turning.
  // One picture per frame; only pictures flagged interlaced are touched.
  std::vector<std::pair<const char*, const char*>> chain;
  if (Deinterlace) chain.emplace_back("bwdif", "mode=send_frame:parity=auto:deint=interlaced");
  if (Turn.Mirror && Turn.Degrees == 0) chain.emplace_back("hflip", nullptr);
  // A quarter turn and a mirror make a transposition along one diagonal or the other.
  if (Turn.Degrees == 90) chain.emplace_back("transpose", Turn.Mirror ? "cclock_flip" : "clock");
  if (Turn.Degrees == 270) chain.emplace_back("transpose", Turn.Mirror ? "clock_flip" : "cclock");
  if (Turn.Degrees == 180) {
    if (!Turn.Mirror) chain.emplace_back("hflip", nullptr);
    chain.emplace_back("vflip", nullptr);
  }
  AVFilterContext* last = FSource;
  for (const auto& [name, options] : chain) {
    AVFilterContext* filter = nullptr;
    const AVFilter* kind = ff::avfilter_get_by_name(name);
    if (!kind) return AVERROR_FILTER_NOT_FOUND;
    r = ff::avfilter_graph_create_filter(&filter, kind, name, options, nullptr, FGraph);
    if (r < 0) return r;
    if ((r = ff::avfilter_link(last, 0, filter, 0)) < 0) return r;
    last = filter;
  }
  if ((r = ff::avfilter_link(last, 0, FSink, 0)) < 0) return r;
  if ((r = ff::avfilter_graph_config(FGraph, nullptr)) < 0) return r;
  FWidth = Picture->width;
  FHeight = Picture->height;
  FFormat = Picture->format;
  FDeinterlacing = Deinterlace;
  return 0;
}

int TPicturePreparation::Send(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn,
                              bool AutoDeinterlace) {
  const bool deinterlace = FDeinterlacing || (AutoDeinterlace && Picture->interlaced_frame);
  if (!FGraph || deinterlace != FDeinterlacing || Picture->width != FWidth || Picture->height != FHeight ||
      Picture->format != FFormat) {
    // What the old graph holds comes first.
    if (FGraph) {
      Finish();
      while (AVFrame* f = FromGraph()) {
        AVFrame* kept = ff::av_frame_alloc();
        if (!kept) return AVERROR(ENOMEM);
        ff::av_frame_move_ref(kept, f);
        FFinished.push_back(kept);
      }
    }
    int r = Build(Picture, TimeBase, Turn, deinterlace);
    // A picture too small for the deinterlacer is still turned.
    if (r < 0 && deinterlace && !Turn.None()) r = Build(Picture, TimeBase, Turn, false);
    if (r < 0) {
      Release();
      FFailed = true;
      return r;
    }
  }
  AVFrame* copy = ff::av_frame_clone(Picture);
  if (!copy) return AVERROR(ENOMEM);
  copy->pts = Picture->best_effort_timestamp;
  FTimes.push_back({Picture->best_effort_timestamp, Picture->pts, Picture->pkt_duration});
  const int r = ff::av_buffersrc_add_frame_flags(FSource, copy, 0);
  ff::av_frame_free(&copy);
  if (r < 0) FTimes.pop_back();
  return r;
}

void TPicturePreparation::Finish() {
  // A graph that takes no end gives back nothing more.
  if (FSource && ff::av_buffersrc_add_frame_flags(FSource, nullptr, 0) < 0) FSource = nullptr;
}

AVFrame* TPicturePreparation::FromGraph() {
  if (!FReady && !(FReady = ff::av_frame_alloc())) throw std::bad_alloc();
  ff::av_frame_unref(FReady);
  if (!FSink || ff::av_buffersink_get_frame(FSink, FReady) < 0) return nullptr;
  // One picture out for each picture in, in order: it keeps that picture's times.
  if (!FTimes.empty()) {
    FReady->best_effort_timestamp = FTimes.front().BestEffort;
    FReady->pts = FTimes.front().Pts;
    FReady->pkt_duration = FTimes.front().Duration;
    FTimes.pop_front();
  }
  return FReady;
}

AVFrame* TPicturePreparation::Receive() {
  if (FFinished.empty()) return FromGraph();
  ff::av_frame_unref(FReady);
  ff::av_frame_move_ref(FReady, FFinished.front());
  ff::av_frame_free(&FFinished.front());
  FFinished.pop_front();
  return FReady;
}

// ---------------------------------------------------------------------------
// The engine's side

#include "FFmpeg.h"

void TCustomFFmpeg::HandleDecodedVideo(InputStreamState* Ist, int IstIndex, AVFrame* Frame) {
  // The engine's own deinterlacing option keeps its meaning, and replaces this one.
  const bool autoDeinterlace = !FDoDeinterlace;
  TPicturePreparation& prep = Ist->Preparation;
  if (!prep.Takes(Frame, Ist->Turn, autoDeinterlace)) {
    ShowDecodedVideo(Ist, IstIndex, Frame);
    return;
  }
  const bool wasDeinterlacing = prep.Deinterlacing();
  if (prep.Send(Frame, Ist->Stream->time_base, Ist->Turn, autoDeinterlace) < 0) {
    LogFmt(0, "Stream #%d.%d: the pictures cannot be turned or deinterlaced; they go on as decoded",
           Ist->FileIndex, Ist->StreamIndex);
    DrainPreparedVideo(Ist, IstIndex, false);
    ShowDecodedVideo(Ist, IstIndex, Frame);
    return;
  }
  if (prep.Deinterlacing() && !wasDeinterlacing && FVerbose >= 0)
    LogFmt(1, "Stream #%d.%d: deinterlaced", Ist->FileIndex, Ist->StreamIndex);
  DrainPreparedVideo(Ist, IstIndex, false);
}

void TCustomFFmpeg::DrainPreparedVideo(InputStreamState* Ist, int IstIndex, bool AtEnd) {
  TPicturePreparation& prep = Ist->Preparation;
  if (AtEnd) prep.Finish();
  while (AVFrame* picture = prep.Receive()) ShowDecodedVideo(Ist, IstIndex, picture);
}
