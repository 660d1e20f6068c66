// What a video source's decoded pictures need before they are scaled: the
// turn its display matrix asks for, deinterlacing when the pictures are
// interlaced, and the conversion from its colour matrix to the output's.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "MediaLibraries.h"

// How the stored picture is to be shown: turned clockwise, then mirrored
// left-right.
struct TPictureTurn {
  int Degrees = 0;  // 0, 90, 180 or 270
  bool Mirror = false;
  bool None() const { return Degrees == 0 && !Mirror; }
  // Width and height trade places.
  bool Quarter() const { return Degrees == 90 || Degrees == 270; }
};

// The turn of the stream's display matrix; none without one, or for a matrix
// that is not a multiple of a quarter turn.
TPictureTurn PictureTurnOf(const AVStream* Stream);
// "rotated 90°", "mirrored", "rotated 180° and mirrored", ...; empty for none.
std::string PictureTurnText(const TPictureTurn& Turn);

// HDR video (phones record HLG, HDR10 files are PQ): its pictures are
// tone-mapped to SDR BT.709 (limited range, 8-bit 4:2:0) before anything else
// sees them.
enum class THdrTransfer { None, Hlg, Pq };
// The HDR transfer of a decoded stream; None for SDR, and when the libraries
// lack the filters that tone-map (ToneMappingAvailable).
THdrTransfer HdrTransferOf(const AVCodecContext* Decoder);
// The transfer the stream is tagged with, whether or not it can be tone-mapped.
THdrTransfer TaggedHdrTransfer(const AVCodecContext* Decoder);
bool ToneMappingAvailable();
// "HDR (HLG) tone-mapped to SDR", "HDR (PQ) tone-mapped to SDR"; empty for None.
std::string HdrText(THdrTransfer Hdr);
// "HLG", "PQ".
const char* HdrName(THdrTransfer Hdr);
// The filters (name, options) that take HDR pictures of the given matrix and
// range to SDR BT.709 limited range in Out: the transfer to linear light,
// BT.2020 primaries to BT.709 in linear light, a tone curve that keeps the
// hue (the channels scaled by the curve of the brightest one), and back to
// the BT.709 transfer. Every step works picture element by picture element,
// so the chain can run on pictures of any size.
std::vector<std::pair<std::string, std::string>> ToneMapFilters(THdrTransfer Hdr, AVColorSpace Matrix,
                                                                AVColorRange Range,
                                                                AVPixelFormat Out = AV_PIX_FMT_YUV420P);

// Tone-maps pictures that were made small first (every step of the filters
// works element by element, so the small picture's tone mapping gives the
// large one's, scaled, within 2 levels, for a fraction of the work). One
// output's own filter graph, used and freed on the decoding side.
class TToneMapStep {
public:
  TToneMapStep() = default;
  TToneMapStep(const TToneMapStep&) = delete;
  TToneMapStep& operator=(const TToneMapStep&) = delete;
  ~TToneMapStep();
  // Makes the graph for Width x Height pictures in Format of the given HDR
  // transfer, matrix and range, giving pictures in Out; < 0 on failure.
  int Build(int Width, int Height, AVPixelFormat Format, THdrTransfer Hdr, AVColorSpace Matrix, AVColorRange Range,
            AVPixelFormat Out);
  // Tone-maps Picture (refcounted, of the size and format built for) into
  // the planes Dst; < 0 on failure.
  int Run(AVFrame* Picture, uint8_t* const Dst[4], const int DstLines[4]);

private:
  AVFilterGraph* FGraph = nullptr;
  AVFilterContext* FSource = nullptr;
  AVFilterContext* FSink = nullptr;
  AVFrame* FResult = nullptr;  // the graph's picture, until copied out
  int FWidth = 0, FHeight = 0;
  THdrTransfer FHdr = THdrTransfer::None;
  AVColorSpace FMatrix = AVCOL_SPC_UNSPECIFIED;
  AVColorRange FRange = AVCOL_RANGE_UNSPECIFIED;
  AVPixelFormat FOut = AV_PIX_FMT_NONE;
};

// Whether pictures in Format can be turned by TurnPicture: planar 8-bit
// formats, and for a quarter turn only those whose chroma is subsampled alike
// both ways.
bool TurnablePictureFormat(AVPixelFormat Format, const TPictureTurn& Turn);
// Writes Src (W x H as stored, in Format) turned and mirrored as Turn says
// into Dst (H x W for a quarter turn).
void TurnPicture(const uint8_t* const Src[4], const int SrcLines[4], int W, int H, AVPixelFormat Format,
                 const TPictureTurn& Turn, uint8_t* const Dst[4], const int DstLines[4]);

// The colour conversion of one video output: from the source's matrix and
// range to the output's.
struct TColourPlan {
  AVColorSpace From = AVCOL_SPC_UNSPECIFIED;  // the source's matrix (as tagged, or guessed from its size)
  AVColorSpace To = AVCOL_SPC_UNSPECIFIED;    // the output's
  bool FullRangeIn = false;                   // the source uses full (JPEG) range
  bool Convert = false;                       // the values change (the matrix, or the range)
  bool MatrixChange = false;                  // the matrix changes
  bool Tag = false;                           // the output's colour description is written
};

// An HD picture: 1280 columns or 720 lines and more (a wide film of 1280x536
// is HD as much as 1280x720 is).
bool HdPictureSize(int Width, int Height);

// SD outputs (below 720 lines) are BT.601, as small players show them
// whatever the tag says; larger outputs keep the source's matrix. An untagged
// source is BT.709 when its size is HD, BT.601 otherwise. The output is always
// limited range. A tone-mapped HDR source (Hdr) reaches the scaler as BT.709,
// limited range.
TColourPlan PlanColour(const AVCodecContext* Decoder, int OutputHeight, THdrTransfer Hdr = THdrTransfer::None);
// "colour BT.709 → BT.601", "colour BT.601 full range → BT.601 limited range"; empty when nothing changes.
std::string ColourPlanText(const TColourPlan& Plan);
// Writes the output's colour description into the encoder context (when the plan tags it).
void TagColour(AVCodecContext* Encoder, const TColourPlan& Plan);
// Flags the scaler needs besides its own for the plan: a change of matrix goes
// through R'G'B' inside the scaler, which with its fast 8-bit tables and
// shared chroma shifts the luma by about 2 levels (42 dB against an exact
// conversion); exact rounding and full chroma there give 55 dB.
int ColourScalerFlags(const TColourPlan& Plan);
// The same for the filters' scale filter: ":in_color_matrix=...", empty when
// the plan does not convert.
std::string ColourScaleFilterOptions(const TColourPlan& Plan);
// Sets the scaler's source and destination matrices and ranges (when the plan converts); false if the scaler refuses.
bool ApplyColourPlan(SwsContext* Scaler, const TColourPlan& Plan);
// A plan in two steps for a picture that is made smaller: the scaler keeps
// the source's matrix (converting only the range), and the matrix changes on
// the small picture after it, which costs a fraction and gives the same
// picture within 2 levels. Without Smaller, or without a change of matrix,
// the scaler does it all and After converts nothing.
struct TColourSteps {
  TColourPlan Scale;
  TColourPlan After;
};
TColourSteps SplitColourPlan(const TColourPlan& Plan, bool Smaller);

// The filter graph that turns, deinterlaces and tone-maps the decoded
// pictures of one input stream, made only when a picture needs it, and made
// again when the pictures change size or format. Every picture it gives back
// carries the times of the decoded picture it came from.
class TPicturePreparation {
public:
  TPicturePreparation() = default;
  TPicturePreparation(const TPicturePreparation&) = delete;
  TPicturePreparation& operator=(const TPicturePreparation&) = delete;
  ~TPicturePreparation();

  // Whether Picture goes through the preparation: the stream is turned or
  // HDR, or AutoDeinterlace is on and the picture is flagged interlaced, or
  // the graph already runs (it may hold earlier pictures).
  bool Takes(const AVFrame* Picture, const TPictureTurn& Turn, THdrTransfer Hdr, bool AutoDeinterlace) const;
  // Hands a decoded picture (its best-effort timestamp in TimeBase) to the
  // graph, making it first when needed; < 0 on failure. Deinterlacing starts
  // with the first interlaced picture. A graph that cannot be made, or that
  // refuses a picture or fails to give one back, is given up: the preparation
  // is off from then on, and the pictures go on as decoded.
  int Send(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn, THdrTransfer Hdr,
           bool AutoDeinterlace);
  // After the last picture: lets the graph give back what it holds.
  void Finish();
  // The next prepared picture, valid until the next call; null when none is ready.
  AVFrame* Receive();
  // The graph deinterlaces; true from the first interlaced picture on.
  bool Deinterlacing() const { return FDeinterlacing; }
  // True once, after the preparation was given up: the failure is said once.
  bool FailureToReport() {
    const bool report = FFailed && !FFailureReported;
    FFailureReported = FFailed;
    return report;
  }

private:
  struct TTimes {
    int64_t BestEffort, Pts, Duration;
  };
  int Build(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn, THdrTransfer Hdr,
            bool Deinterlace);
  void Release();
  void GiveUp();         // the graph failed: off from now on
  AVFrame* FromGraph();  // into FReady

  // Decoding side (the engine thread that decodes this stream).
  AVFilterGraph* FGraph = nullptr;
  AVFilterContext* FSource = nullptr;
  AVFilterContext* FSink = nullptr;
  int FWidth = 0, FHeight = 0, FFormat = -1;  // the pictures the graph was made for
  bool FDeinterlacing = false;
  bool FFailed = false;
  bool FFailureReported = false;
  std::deque<TTimes> FTimes;       // of the pictures in the graph, in order
  std::deque<AVFrame*> FFinished;  // given back by a graph that was replaced
  AVFrame* FReady = nullptr;       // the picture Receive hands out
};
