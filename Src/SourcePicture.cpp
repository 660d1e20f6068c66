#include "SourcePicture.h"

#include <algorithm>
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

namespace {

// The stored pixel a turned picture shows at (U, V): the stored W x H picture
// turned clockwise, then mirrored left-right.
std::pair<int, int> StoredPixel(int U, int V, int W, int H, const TPictureTurn& Turn) {
  if (Turn.Mirror) U = (Turn.Quarter() ? H : W) - 1 - U;
  switch (Turn.Degrees) {
    case 90: return {V, H - 1 - U};
    case 180: return {W - 1 - U, H - 1 - V};
    case 270: return {W - 1 - V, U};
    default: return {U, V};
  }
}

}  // namespace

bool TurnablePictureFormat(AVPixelFormat Format, const TPictureTurn& Turn) {
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(Format);
  if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL)))
    return false;
  if (desc->nb_components > 1 && !(desc->flags & AV_PIX_FMT_FLAG_PLANAR)) return false;
  for (int c = 0; c < desc->nb_components; ++c)
    if (desc->comp[c].depth != 8 || desc->comp[c].step != 1) return false;
  return !Turn.Quarter() || desc->log2_chroma_w == desc->log2_chroma_h;
}

void TurnPicture(const uint8_t* const Src[4], const int SrcLines[4], int W, int H, AVPixelFormat Format,
                 const TPictureTurn& Turn, uint8_t* const Dst[4], const int DstLines[4]) {
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(Format);
  int planes = 0;
  for (int c = 0; c < desc->nb_components; ++c) planes = std::max(planes, desc->comp[c].plane + 1);
  for (int p = 0; p < planes; ++p) {
    const bool chroma = p == 1 || p == 2;
    const int w = chroma ? AV_CEIL_RSHIFT(W, desc->log2_chroma_w) : W;
    const int h = chroma ? AV_CEIL_RSHIFT(H, desc->log2_chroma_h) : H;
    const int shownW = Turn.Quarter() ? h : w, shownH = Turn.Quarter() ? w : h;
    // The turn is affine: the stored offset of (u, v) is base + u * du + v * dv.
    const ptrdiff_t line = SrcLines[p];
    auto offset = [&](int U, int V) {
      const auto [x, y] = StoredPixel(U, V, w, h, Turn);
      return static_cast<ptrdiff_t>(y) * line + x;
    };
    const ptrdiff_t base = offset(0, 0), du = offset(1, 0) - base, dv = offset(0, 1) - base;
    for (int v = 0; v < shownH; ++v) {
      const uint8_t* from = Src[p] + base + v * dv;
      uint8_t* to = Dst[p] + static_cast<ptrdiff_t>(v) * DstLines[p];
      for (int u = 0; u < shownW; ++u) to[u] = from[u * du];
    }
  }
}

// ---------------------------------------------------------------------------
// HDR

THdrTransfer TaggedHdrTransfer(const AVCodecContext* Decoder) {
  switch (Decoder->color_trc) {
    case AVCOL_TRC_ARIB_STD_B67: return THdrTransfer::Hlg;
    case AVCOL_TRC_SMPTE2084: return THdrTransfer::Pq;
    default: return THdrTransfer::None;
  }
}

bool ToneMappingAvailable() {
  return ff::avfilter_get_by_name("zscale") && ff::avfilter_get_by_name("tonemap") &&
         ff::avfilter_get_by_name("format");
}

THdrTransfer HdrTransferOf(const AVCodecContext* Decoder) {
  const THdrTransfer hdr = TaggedHdrTransfer(Decoder);
  return hdr != THdrTransfer::None && ToneMappingAvailable() ? hdr : THdrTransfer::None;
}

const char* HdrName(THdrTransfer Hdr) { return Hdr == THdrTransfer::Pq ? "PQ" : "HLG"; }

std::string HdrText(THdrTransfer Hdr) {
  if (Hdr == THdrTransfer::None) return {};
  return std::string("HDR (") + HdrName(Hdr) + ") tone-mapped to SDR";
}

std::vector<std::pair<std::string, std::string>> ToneMapFilters(THdrTransfer Hdr, AVColorSpace Matrix,
                                                                AVColorRange Range, AVPixelFormat Out) {
  if (Hdr == THdrTransfer::None) return {};
  // HDR pictures are BT.2020 (the non-constant-luminance matrix unless told
  // otherwise); the tags are given, as frames need not carry them.
  const char* matrix = Matrix == AVCOL_SPC_BT2020_CL ? "2020_cl" : Matrix == AVCOL_SPC_BT709 ? "709" : "2020_ncl";
  const char* range = Range == AVCOL_RANGE_JPEG ? "full" : "limited";
  // Linear light with 1 at 100 cd/m2: HLG's full signal is 1000 cd/m2 on its
  // reference display (its system gamma applied to the luminance, which keeps
  // the hue), PQ's values are absolute.
  std::string toLinear = std::string("transferin=") + (Hdr == THdrTransfer::Hlg ? "arib-std-b67" : "smpte2084") +
                         ":primariesin=2020:matrixin=" + matrix + ":rangein=" + range + ":transfer=linear:npl=100";
  // The curve maps 1000 cd/m2 to white (a file may say it is brighter:
  // mastering or content light levels on the pictures count then); the
  // channels are scaled together (desat=0: no pull towards white, which
  // would lift the channels that are off).
  return {{"zscale", toLinear},
          {"format", "pix_fmts=gbrpf32le"},
          {"zscale", "primaries=709"},
          {"tonemap", "tonemap=hable:desat=0"},
          {"zscale", "transfer=709:matrix=709:range=limited"},
          {"format", std::string("pix_fmts=") + ff::av_get_pix_fmt_name(Out)}};
}

namespace {

// Makes a buffer source (BufferArgs), the chain of filters and a sink in
// Graph, linked one after the other.
int LinkFilterChain(AVFilterGraph* Graph, const char* BufferArgs,
                    const std::vector<std::pair<std::string, std::string>>& Chain, AVFilterContext*& Source,
                    AVFilterContext*& Sink) {
  int r = ff::avfilter_graph_create_filter(&Source, ff::avfilter_get_by_name("buffer"), "in", BufferArgs, nullptr,
                                           Graph);
  if (r < 0) return r;
  r = ff::avfilter_graph_create_filter(&Sink, ff::avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, Graph);
  if (r < 0) return r;
  AVFilterContext* last = Source;
  int index = 0;
  for (const auto& [name, options] : Chain) {
    AVFilterContext* filter = nullptr;
    const AVFilter* kind = ff::avfilter_get_by_name(name.c_str());
    if (!kind) return AVERROR_FILTER_NOT_FOUND;
    const std::string instance = name + std::to_string(index++);
    r = ff::avfilter_graph_create_filter(&filter, kind, instance.c_str(), options.empty() ? nullptr : options.c_str(),
                                         nullptr, Graph);
    if (r < 0) return r;
    if ((r = ff::avfilter_link(last, 0, filter, 0)) < 0) return r;
    last = filter;
  }
  if ((r = ff::avfilter_link(last, 0, Sink, 0)) < 0) return r;
  return ff::avfilter_graph_config(Graph, nullptr);
}

}  // namespace

TToneMapStep::~TToneMapStep() {
  if (FGraph) ff::avfilter_graph_free(&FGraph);
  if (FResult) ff::av_frame_free(&FResult);
}

int TToneMapStep::Build(int Width, int Height, AVPixelFormat Format, THdrTransfer Hdr, AVColorSpace Matrix,
                        AVColorRange Range, AVPixelFormat Out) {
  if (FGraph) ff::avfilter_graph_free(&FGraph);
  FSource = FSink = nullptr;
  if (!FResult && !(FResult = ff::av_frame_alloc())) return AVERROR(ENOMEM);
  if (!(FGraph = ff::avfilter_graph_alloc())) return AVERROR(ENOMEM);
  // One thread, as the preparation's graph: the decoder has the cores.
  FGraph->nb_threads = 1;
  char args[160];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=1/1", Width, Height,
                static_cast<int>(Format));
  const int r = LinkFilterChain(FGraph, args, ToneMapFilters(Hdr, Matrix, Range, Out), FSource, FSink);
  if (r < 0) {
    ff::avfilter_graph_free(&FGraph);
    FSource = FSink = nullptr;
    return r;
  }
  FWidth = Width;
  FHeight = Height;
  FOut = Out;
  FHdr = Hdr;
  FMatrix = Matrix;
  FRange = Range;
  return 0;
}

int TToneMapStep::Run(AVFrame* Picture, uint8_t* const Dst[4], const int DstLines[4]) {
  if (!FGraph) return AVERROR(EINVAL);
  // The filters take what they are not told from the picture's description,
  // as a decoded HDR picture carries it (BT.2020 primaries).
  Picture->colorspace = FMatrix;
  Picture->color_range = FRange;
  Picture->color_primaries = AVCOL_PRI_BT2020;
  Picture->color_trc = FHdr == THdrTransfer::Pq ? AVCOL_TRC_SMPTE2084 : AVCOL_TRC_ARIB_STD_B67;
  // Every filter of the chain gives one picture for one: the graph holds nothing between pictures.
  int r = ff::av_buffersrc_add_frame_flags(FSource, Picture, AV_BUFFERSRC_FLAG_KEEP_REF);
  if (r < 0) return r;
  if ((r = ff::av_buffersink_get_frame(FSink, FResult)) < 0) return r;
  ff::av_image_copy(const_cast<uint8_t**>(Dst), const_cast<int*>(DstLines),
                    const_cast<const uint8_t**>(FResult->data), FResult->linesize, FOut, FWidth, FHeight);
  ff::av_frame_unref(FResult);
  return 0;
}

// ---------------------------------------------------------------------------
// Colour

namespace {

// What the program knows of each matrix: the matrices (AVColorSpace) it
// covers, the scaler's number, the name it logs, the filters' name, and the
// description an output in it is tagged with. A matrix not in the table
// counts as untagged, and as BT.601 where it must be named or tagged.
struct TMatrixRow {
  AVColorSpace Spaces[2];
  int Scaler;
  const char* Name;        // in the log
  const char* FilterName;  // the scale filter's in_color_matrix/out_color_matrix
  bool OwnTag;             // an output is tagged with its own matrix (else SMPTE 170M)
  AVColorPrimaries Primaries;
  AVColorTransferCharacteristic Transfer;
};

constexpr TMatrixRow kMatrices[] = {
    {{AVCOL_SPC_BT470BG, AVCOL_SPC_SMPTE170M}, SWS_CS_ITU601, "BT.601", "bt601", false, AVCOL_PRI_SMPTE170M,
     AVCOL_TRC_SMPTE170M},
    {{AVCOL_SPC_BT709, AVCOL_SPC_BT709}, SWS_CS_ITU709, "BT.709", "bt709", true, AVCOL_PRI_BT709, AVCOL_TRC_BT709},
    {{AVCOL_SPC_FCC, AVCOL_SPC_FCC}, SWS_CS_FCC, "FCC", "fcc", false, AVCOL_PRI_SMPTE170M, AVCOL_TRC_SMPTE170M},
    {{AVCOL_SPC_SMPTE240M, AVCOL_SPC_SMPTE240M}, SWS_CS_SMPTE240M, "SMPTE 240M", "smpte240m", true,
     AVCOL_PRI_SMPTE240M, AVCOL_TRC_SMPTE240M},
    {{AVCOL_SPC_BT2020_NCL, AVCOL_SPC_BT2020_CL}, SWS_CS_BT2020, "BT.2020", "bt2020", true, AVCOL_PRI_BT2020,
     AVCOL_TRC_BT709},
};

const TMatrixRow* MatrixRow(AVColorSpace Space) {
  for (const TMatrixRow& row : kMatrices)
    if (row.Spaces[0] == Space || row.Spaces[1] == Space) return &row;
  return nullptr;
}

// The row of a matrix that must be named or tagged.
const TMatrixRow& KnownMatrixRow(AVColorSpace Space) {
  const TMatrixRow* row = MatrixRow(Space);
  return row ? *row : kMatrices[0];
}

// The matrices the scaler knows; others count as untagged.
int ScalerMatrix(AVColorSpace Space) {
  const TMatrixRow* row = MatrixRow(Space);
  return row ? row->Scaler : -1;
}

const char* MatrixName(AVColorSpace Space) { return KnownMatrixRow(Space).Name; }

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

bool HdPictureSize(int Width, int Height) { return Width >= 1280 || Height >= 720; }

TColourPlan PlanColour(const AVCodecContext* Decoder, int OutputHeight, THdrTransfer Hdr) {
  TColourPlan plan;
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(Decoder->pix_fmt);
  // Only Y'CbCr sources have a matrix; the scaler converts RGB and grey as it always has.
  if (!desc || (desc->flags & AV_PIX_FMT_FLAG_RGB) || desc->nb_components < 3) return plan;
  const bool hdr = Hdr != THdrTransfer::None;
  const bool tagged = hdr || ScalerMatrix(Decoder->colorspace) >= 0;
  plan.From = hdr      ? AVCOL_SPC_BT709
              : tagged ? Decoder->colorspace
              : HdPictureSize(Decoder->width, Decoder->height) ? AVCOL_SPC_BT709
                                                               : AVCOL_SPC_SMPTE170M;
  plan.To = OutputHeight < 720 ? AVCOL_SPC_SMPTE170M : plan.From;
  plan.FullRangeIn = !hdr && (Decoder->color_range == AVCOL_RANGE_JPEG || FullRangeFormat(Decoder->pix_fmt));
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
  const TMatrixRow& row = KnownMatrixRow(Plan.To);
  Encoder->colorspace = row.OwnTag ? Plan.To : AVCOL_SPC_SMPTE170M;
  Encoder->color_range = AVCOL_RANGE_MPEG;
  Encoder->color_primaries = row.Primaries;
  Encoder->color_trc = row.Transfer;
}

int ColourScalerFlags(const TColourPlan& Plan) {
  return Plan.MatrixChange ? SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : 0;
}

std::string ColourScaleFilterOptions(const TColourPlan& Plan) {
  if (!Plan.Convert) return {};
  auto name = [](AVColorSpace Space) { return KnownMatrixRow(Space).FilterName; };
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

TColourSteps SplitColourPlan(const TColourPlan& Plan, bool Smaller) {
  if (!Smaller || !Plan.MatrixChange) return {Plan, {}};
  TColourSteps steps{Plan, Plan};
  steps.Scale.To = Plan.From;
  steps.Scale.MatrixChange = false;
  steps.Scale.Convert = Plan.FullRangeIn;
  steps.After.FullRangeIn = false;
  return steps;
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

void TPicturePreparation::GiveUp() {
  Release();
  FFailed = true;
}

bool TPicturePreparation::Takes(const AVFrame* Picture, const TPictureTurn& Turn, THdrTransfer Hdr,
                                bool AutoDeinterlace) const {
  if (FFailed) return false;
  return FGraph || !Turn.None() || Hdr != THdrTransfer::None || (AutoDeinterlace && Picture->interlaced_frame);
}

int TPicturePreparation::Build(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn,
                               THdrTransfer Hdr, bool Deinterlace) {
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
  // The fields are lines of the stored picture: deinterlace before turning.
  // One picture per frame; only pictures flagged interlaced are touched.
  std::vector<std::pair<std::string, std::string>> chain;
  if (Deinterlace) chain.emplace_back("bwdif", "mode=send_frame:parity=auto:deint=interlaced");
  if (Turn.Mirror && Turn.Degrees == 0) chain.emplace_back("hflip", "");
  // A quarter turn and a mirror make a transposition along one diagonal or the other.
  if (Turn.Degrees == 90) chain.emplace_back("transpose", Turn.Mirror ? "cclock_flip" : "clock");
  if (Turn.Degrees == 270) chain.emplace_back("transpose", Turn.Mirror ? "clock_flip" : "cclock");
  if (Turn.Degrees == 180) {
    if (!Turn.Mirror) chain.emplace_back("hflip", "");
    chain.emplace_back("vflip", "");
  }
  for (auto& filter : ToneMapFilters(Hdr, Picture->colorspace, Picture->color_range)) chain.push_back(std::move(filter));
  if (const int r = LinkFilterChain(FGraph, args, chain, FSource, FSink); r < 0) return r;
  FWidth = Picture->width;
  FHeight = Picture->height;
  FFormat = Picture->format;
  FDeinterlacing = Deinterlace;
  return 0;
}

int TPicturePreparation::Send(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn,
                              THdrTransfer Hdr, bool AutoDeinterlace) {
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
      if (FFailed) return AVERROR_EXTERNAL;
    }
    int r = Build(Picture, TimeBase, Turn, Hdr, deinterlace);
    // A picture too small for the deinterlacer is still turned and tone-mapped.
    if (r < 0 && deinterlace && (!Turn.None() || Hdr != THdrTransfer::None))
      r = Build(Picture, TimeBase, Turn, Hdr, false);
    if (r < 0) {
      GiveUp();
      return r;
    }
  }
  AVFrame* copy = ff::av_frame_clone(Picture);
  if (!copy) return AVERROR(ENOMEM);
  copy->pts = Picture->best_effort_timestamp;
  FTimes.push_back({Picture->best_effort_timestamp, Picture->pts, Picture->pkt_duration});
  const int r = FSource ? ff::av_buffersrc_add_frame_flags(FSource, copy, 0) : AVERROR_EOF;
  ff::av_frame_free(&copy);
  // A graph that refuses one picture would refuse the next ones too.
  if (r < 0) GiveUp();
  return r;
}

void TPicturePreparation::Finish() {
  // A graph that takes no end gives back nothing more.
  if (FSource && ff::av_buffersrc_add_frame_flags(FSource, nullptr, 0) < 0) FSource = nullptr;
}

AVFrame* TPicturePreparation::FromGraph() {
  if (!FReady && !(FReady = ff::av_frame_alloc())) throw std::bad_alloc();
  ff::av_frame_unref(FReady);
  if (!FSink) return nullptr;
  const int r = ff::av_buffersink_get_frame(FSink, FReady);
  if (r < 0) {
    // Not ready yet, or the end; anything else is a graph that failed.
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) GiveUp();
    return nullptr;
  }
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
  // Turned after scaling, by the outputs.
  static const TPictureTurn kNone;
  const TPictureTurn& turn = Ist->TurnAfterScaling ? kNone : Ist->Turn;
  // Tone-mapped after scaling, by the outputs.
  const THdrTransfer hdr = Ist->ToneMapAfterScaling ? THdrTransfer::None : Ist->Hdr;
  if (!prep.Takes(Frame, turn, hdr, autoDeinterlace)) {
    ShowDecodedVideo(Ist, IstIndex, Frame);
    return;
  }
  const bool wasDeinterlacing = prep.Deinterlacing();
  const bool sent = prep.Send(Frame, Ist->Stream->time_base, turn, hdr, autoDeinterlace) >= 0;
  if (sent && prep.Deinterlacing() && !wasDeinterlacing && FVerbose >= 0)
    LogFmt(1, "Stream #%d.%d: deinterlaced", Ist->FileIndex, Ist->StreamIndex);
  DrainPreparedVideo(Ist, IstIndex, false);
  if (!sent) ShowDecodedVideo(Ist, IstIndex, Frame);
}

void TCustomFFmpeg::DrainPreparedVideo(InputStreamState* Ist, int IstIndex, bool AtEnd) {
  TPicturePreparation& prep = Ist->Preparation;
  if (AtEnd) prep.Finish();
  while (AVFrame* picture = prep.Receive()) ShowDecodedVideo(Ist, IstIndex, picture);
  // Said once: the graph is given up after its first failure.
  if (prep.FailureToReport())
    LogFmt(0, "Stream #%d.%d: the pictures cannot be turned, deinterlaced or tone-mapped; they go on as decoded",
           Ist->FileIndex, Ist->StreamIndex);
}
