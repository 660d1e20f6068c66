// What a video source's decoded pictures need before they are scaled: the
// turn its display matrix asks for, deinterlacing when the pictures are
// interlaced, and the conversion from its colour matrix to the output's.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

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

// The colour conversion of one video output: from the source's matrix and
// range to the output's.
struct TColourPlan {
  AVColorSpace From = AVCOL_SPC_UNSPECIFIED;  // the source's matrix (as tagged, or guessed from its height)
  AVColorSpace To = AVCOL_SPC_UNSPECIFIED;    // the output's
  bool FullRangeIn = false;                   // the source uses full (JPEG) range
  bool Convert = false;                       // the values change (the matrix, or the range)
  bool MatrixChange = false;                  // the matrix changes
  bool Tag = false;                           // the output's colour description is written
};

// SD outputs (below 720 lines) are BT.601, as small players show them
// whatever the tag says; larger outputs keep the source's matrix. An untagged
// source is BT.709 from 720 lines up, BT.601 below. The output is always
// limited range.
TColourPlan PlanColour(const AVCodecContext* Decoder, int OutputHeight);
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

// The filter graph that turns and deinterlaces the decoded pictures of one
// input stream, made only when a picture needs it, and made again when the
// pictures change size or format. Every picture it gives back carries the
// times of the decoded picture it came from.
class TPicturePreparation {
public:
  TPicturePreparation() = default;
  TPicturePreparation(const TPicturePreparation&) = delete;
  TPicturePreparation& operator=(const TPicturePreparation&) = delete;
  ~TPicturePreparation();

  // Whether Picture goes through the preparation: the stream is turned, or
  // AutoDeinterlace is on and the picture is flagged interlaced, or the graph
  // already runs (it may hold earlier pictures).
  bool Takes(const AVFrame* Picture, const TPictureTurn& Turn, bool AutoDeinterlace) const;
  // Hands a decoded picture (its best-effort timestamp in TimeBase) to the
  // graph, making it first when needed; < 0 on failure, after which the
  // preparation is off. Deinterlacing starts with the first interlaced picture.
  int Send(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn, bool AutoDeinterlace);
  // After the last picture: lets the graph give back what it holds.
  void Finish();
  // The next prepared picture, valid until the next call; null when none is ready.
  AVFrame* Receive();
  // The graph deinterlaces; true from the first interlaced picture on.
  bool Deinterlacing() const { return FDeinterlacing; }

private:
  struct TTimes {
    int64_t BestEffort, Pts, Duration;
  };
  int Build(const AVFrame* Picture, AVRational TimeBase, const TPictureTurn& Turn, bool Deinterlace);
  void Release();
  AVFrame* FromGraph();  // into FReady

  // Decoding side (the engine thread that decodes this stream).
  AVFilterGraph* FGraph = nullptr;
  AVFilterContext* FSource = nullptr;
  AVFilterContext* FSink = nullptr;
  int FWidth = 0, FHeight = 0, FFormat = -1;  // the pictures the graph was made for
  bool FDeinterlacing = false;
  bool FFailed = false;
  std::deque<TTimes> FTimes;       // of the pictures in the graph, in order
  std::deque<AVFrame*> FFinished;  // given back by a graph that was replaced
  AVFrame* FReady = nullptr;       // the picture Receive hands out
};
