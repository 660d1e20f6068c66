// Picture subtitles (DVD, Blu-ray PGS, DVB) burned into the pictures. The
// chosen track's packets are decoded into their bitmaps as the main loop reads
// them; every picture that goes through the video filter graph meets, on the
// overlay filter's second input, the subtitle shown at its time, drawn at the
// size of the picture area (a clear picture when none is shown). The track's
// own canvas (a DVD's 720x576, a PGS's 1920x1080) covers the whole picture, so
// the bitmaps are scaled with it and never reach the black bars.
//
// An object belongs to the thread that runs the conversion.
#pragma once

#include <climits>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "MediaHeaders.h"

class TPictureSubtitles {
public:
  // The subtitles of Stream, over a video whose stored pictures are
  // VideoWidth x VideoHeight: the canvas when the track names none.
  TPictureSubtitles(const AVStream* Stream, int VideoWidth, int VideoHeight);
  ~TPictureSubtitles();
  TPictureSubtitles(const TPictureSubtitles&) = delete;
  TPictureSubtitles& operator=(const TPictureSubtitles&) = delete;

  // Opens the track's decoder (under the codec lock). False with the reason.
  bool Open(std::string& Error);
  // Decodes one packet that starts at TimeUs on the pictures' clock and
  // lasts DurationUs (0: not known). False with the reason when the packet
  // cannot be decoded; the subtitles shown before stay as they were.
  bool Decode(AVPacket* Packet, int64_t TimeUs, int64_t DurationUs, std::string& Error);
  // Takes a decoded subtitle of a packet at TimeUs. It is shown from its
  // start display time to its end display time, else for the packet's
  // DurationUs, else until the next subtitle; a subtitle replaces the one
  // shown before it (one screen at a time, as the discs show them), and a
  // subtitle without pictures only ends the one shown.
  void Add(const AVSubtitle& Subtitle, int64_t TimeUs, int64_t DurationUs);
  // The pictures are drawn at Width x Height, in the output's Matrix.
  void SetPictureSize(int Width, int Height, AVColorSpace Matrix);
  // The picture (YUVA 4:2:0, of the picture size) to lay over the picture
  // at TimeUs; the times asked for never go back. A clear picture when no
  // subtitle is shown or it cannot be drawn; nullptr without a picture size
  // (SetPictureSize not called, or out of memory).
  const AVFrame* PictureAt(int64_t TimeUs);
  // Gives Source a reference to PictureAt(TimeUs), stamped Pts. A picture
  // without a time (AV_NOPTS_VALUE) keeps the last one's. False when there
  // is nothing to give or Source refuses it.
  bool Feed(AVFilterContext* Source, int64_t Pts, int64_t TimeUs);

private:
  struct TRect {
    int X, Y, W, H;
    std::vector<uint8_t> Indices;  // W x H palette indices
    std::vector<uint32_t> Palette;  // 0xAARRGGBB
  };
  struct TEvent {
    int64_t Start, End;  // microseconds; End INT64_MAX: until the next
    int CanvasW, CanvasH;
    std::vector<TRect> Rects;
    AVFrame* Picture = nullptr;  // drawn when first shown; owned here
  };
  AVFrame* Draw(const TEvent& Event);
  void Forget(TEvent& Event);

  const AVStream* FStream;
  int FVideoWidth, FVideoHeight;
  AVCodecContext* FDecoder = nullptr;  // owned; open once Open succeeded
  std::deque<TEvent> FEvents;          // by start time
  int FWidth = 0, FHeight = 0;
  AVColorSpace FMatrix = AVCOL_SPC_UNSPECIFIED;
  AVFrame* FClear = nullptr;  // the clear picture of the picture size; owned
  AVFrame* FOut = nullptr;    // the reference handed to the graph; owned
  int64_t FLastTime = INT64_MIN;  // of the last picture fed
};
