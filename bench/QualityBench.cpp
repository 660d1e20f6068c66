// The quality mode of the benchmark: each clip converted with the window's
// per-file set-up, and its output compared with its source frame by frame.
//
// For every clip it prints the output's size, the video bit rate against the
// asked one, the mean PSNR of the luma and SSIM against the source scaled to
// the output size with the engine's scaler, the time shift (in input frames)
// at which the output matches its source best, the encoder's profile and
// whether B-frames appear, and the conversion's processor time.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "BatchSettings.h"
#include "MediaMaker.h"
#include "QualityBench.h"
#include "SourcePicture.h"
#include "Tasks.h"

namespace {

namespace fs = std::filesystem;

// One clip of the quality run.
struct TQualityClip {
  const char* Name;
  const char* Content;  // what it stands for, for the table
  int Width, Height;
  AVRational Rate;
  int Grain;
  int Motion;  // pixels the box moves per frame, in steps of 6 (0: a still scene)
  double Seconds;
  int Detail = 0;  // a textured scene of this amplitude (0: the plain gradient)
  double Pan = 0;  // pixels the scene moves per frame
};

// Luma planes with their times, all of one size.
struct TLumaFrames {
  int Width = 0, Height = 0;
  std::vector<std::vector<uint8_t>> Planes;
  std::vector<double> Times;  // seconds
};

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The colours a player shows a picture in: its matrix as tagged, or when
// untagged BT.709 when its size is HD (1280 columns or 720 lines) and BT.601
// otherwise; and its range.
struct TShownColour {
  AVColorSpace Matrix = AVCOL_SPC_SMPTE170M;
  bool FullRange = false;
  bool operator==(const TShownColour&) const = default;
};

TShownColour ShownColourOf(const AVFrame* F) {
  TShownColour c;
  c.Matrix = F->colorspace == AVCOL_SPC_BT709 ? AVCOL_SPC_BT709
             : F->colorspace == AVCOL_SPC_UNSPECIFIED && HdPictureSize(F->width, F->height) ? AVCOL_SPC_BT709
                                                                                            : AVCOL_SPC_SMPTE170M;
  c.FullRange = F->color_range == AVCOL_RANGE_JPEG || F->format == AV_PIX_FMT_YUVJ420P ||
                F->format == AV_PIX_FMT_YUVJ422P || F->format == AV_PIX_FMT_YUVJ444P;
  return c;
}

// Decodes the first video stream of Path; each picture's luma is scaled to
// Width x Height (0: its own size) with the engine's scaler and kept with its
// time. With ShowAs, the luma is the one the picture has in those colours
// (the colours it is shown in, converted without rounding between). Also
// reports the stream's codec profile, whether B-frames appear, and the colours
// of its pictures.
bool DecodeLuma(const std::string& Path, int Width, int Height, TLumaFrames& Out, int* Profile, bool* BFrames,
                int64_t* VideoBytes, double* Duration, std::string& Error, const TShownColour* ShowAs = nullptr,
                TShownColour* Colour = nullptr) {
  AVFormatContext* ic = nullptr;
  if (ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr) < 0) {
    Error = "cannot open " + Path;
    return false;
  }
  struct TClose {
    AVFormatContext*& C;
    ~TClose() { ff::avformat_close_input(&C); }
  } closeInput{ic};
  if (ff::avformat_find_stream_info(ic, nullptr) < 0) {
    Error = "cannot read " + Path;
    return false;
  }
  const int stream = ff::av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) {
    Error = "no video in " + Path;
    return false;
  }
  AVStream* st = ic->streams[stream];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* dec = codec ? ff::avcodec_alloc_context3(codec) : nullptr;
  AVPacket* pkt = ff::av_packet_alloc();
  AVFrame* frame = ff::av_frame_alloc();
  SwsContext* sws = nullptr;
  struct TFree {
    AVCodecContext*& D;
    AVPacket*& P;
    AVFrame*& F;
    SwsContext*& S;
    ~TFree() {
      ff::avcodec_free_context(&D);
      ff::av_packet_free(&P);
      ff::av_frame_free(&F);
      if (S) ff::sws_freeContext(S);
    }
  } freeAll{dec, pkt, frame, sws};
  if (!dec || !pkt || !frame || ff::avcodec_parameters_to_context(dec, st->codecpar) < 0 ||
      ff::avcodec_open2(dec, codec, nullptr) < 0) {
    Error = "cannot decode " + Path;
    return false;
  }
  Out = TLumaFrames{};
  int64_t bytes = 0;
  bool bFrames = false;
  auto take = [&](AVFrame* F) -> bool {
    const int w = Width ? Width : F->width, h = Height ? Height : F->height;
    Out.Width = w;
    Out.Height = h;
    std::vector<uint8_t> plane(static_cast<size_t>(w) * h);
    const TShownColour own = ShownColourOf(F);
    if (Colour && Out.Planes.empty()) *Colour = own;
    if (ShowAs && !(*ShowAs == own)) {
      // Every pixel with its chroma (4:4:4), from the source's colours to the
      // ones it is shown in, through the R'G'B' a player shows (values
      // outside it are clipped, as on the screen).
      sws = ff::sws_getCachedContext(sws, F->width, F->height, static_cast<AVPixelFormat>(F->format), w, h,
                                     AV_PIX_FMT_YUV444P, SWS_BICUBIC, nullptr, nullptr, nullptr);
      if (!sws) return false;
      std::vector<uint8_t> chroma(static_cast<size_t>(w) * h * 2);
      uint8_t* dst[4] = {plane.data(), chroma.data(), chroma.data() + chroma.size() / 2, nullptr};
      int dstLines[4] = {w, w, w, 0};
      ff::sws_scale(sws, F->data, F->linesize, 0, F->height, dst, dstLines);
      const size_t n = plane.size();
      for (size_t i = 0; i < n; ++i) {
        TRgb rgb = RgbFromYuv({static_cast<double>(plane[i]), static_cast<double>(chroma[i]),
                               static_cast<double>(chroma[n + i])},
                              own.Matrix, own.FullRange);
        for (double* c : {&rgb.R, &rgb.G, &rgb.B}) *c = std::clamp(*c, 0.0, 255.0);
        plane[i] = static_cast<uint8_t>(
            std::clamp<long>(std::lround(YuvFromRgb(rgb, ShowAs->Matrix, ShowAs->FullRange).Y), 0, 255));
      }
    } else if (w == F->width && h == F->height) {
      for (int y = 0; y < h; ++y) std::memcpy(&plane[static_cast<size_t>(y) * w], F->data[0] + y * F->linesize[0], w);
    } else {
      // The engine's scaler: bicubic into the encoder's YUV 4:2:0 (a grey
      // target would stretch the luma to full range); the chroma is dropped.
      sws = ff::sws_getCachedContext(sws, F->width, F->height, static_cast<AVPixelFormat>(F->format), w, h,
                                     AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
      if (!sws) return false;
      std::vector<uint8_t> chroma(static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2) * 2);
      uint8_t* dst[4] = {plane.data(), chroma.data(), chroma.data() + chroma.size() / 2, nullptr};
      int dstLines[4] = {w, (w + 1) / 2, (w + 1) / 2, 0};
      ff::sws_scale(sws, F->data, F->linesize, 0, F->height, dst, dstLines);
    }
    if (F->pict_type == AV_PICTURE_TYPE_B) bFrames = true;
    const int64_t ts = F->best_effort_timestamp;
    Out.Times.push_back(ts == AV_NOPTS_VALUE ? static_cast<double>(Out.Planes.size()) / av_q2d(st->avg_frame_rate)
                                             : static_cast<double>(ts - (st->start_time == AV_NOPTS_VALUE
                                                                             ? 0
                                                                             : st->start_time)) *
                                                   av_q2d(st->time_base));
    Out.Planes.push_back(std::move(plane));
    return true;
  };
  auto drain = [&]() -> bool {
    while (ff::avcodec_receive_frame(dec, frame) >= 0) {
      const bool ok = take(frame);
      ff::av_frame_unref(frame);
      if (!ok) return false;
    }
    return true;
  };
  while (ff::av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == stream) {
      bytes += pkt->size;
      ff::avcodec_send_packet(dec, pkt);
      if (!drain()) {
        ff::av_packet_unref(pkt);
        Error = "cannot scale the pictures of " + Path;
        return false;
      }
    }
    ff::av_packet_unref(pkt);
  }
  ff::avcodec_send_packet(dec, nullptr);
  if (!drain()) {
    Error = "cannot scale the pictures of " + Path;
    return false;
  }
  if (Profile) *Profile = dec->profile;
  if (BFrames) *BFrames = bFrames || dec->has_b_frames > 0;
  if (VideoBytes) *VideoBytes = bytes;
  if (Duration) {
    const double n = static_cast<double>(Out.Planes.size());
    *Duration = st->avg_frame_rate.num > 0 ? n / av_q2d(st->avg_frame_rate) : 0.0;
  }
  return true;
}

double Psnr(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) {
  double sum = 0;
  for (size_t i = 0; i < A.size(); ++i) {
    const double d = static_cast<double>(A[i]) - B[i];
    sum += d * d;
  }
  const double mse = sum / static_cast<double>(A.size());
  return mse <= 1e-10 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// SSIM of the luma over 8x8 windows stepped by 4, the usual constants.
double Ssim(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B, int W, int H) {
  constexpr double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
  double total = 0;
  int windows = 0;
  for (int y = 0; y + 8 <= H; y += 4)
    for (int x = 0; x + 8 <= W; x += 4) {
      double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
      for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 8; ++i) {
          const double a = A[static_cast<size_t>(y + j) * W + x + i], b = B[static_cast<size_t>(y + j) * W + x + i];
          sa += a;
          sb += b;
          saa += a * a;
          sbb += b * b;
          sab += a * b;
        }
      const double n = 64, ma = sa / n, mb = sb / n;
      const double va = saa / n - ma * ma, vb = sbb / n - mb * mb, cov = sab / n - ma * mb;
      total += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
      ++windows;
    }
  return windows ? total / windows : 0;
}

// The source picture on screen at time T (the latest one not after it), moved
// by Shift pictures; -1 when that falls outside the source. An output frame
// shows the picture on screen at the middle of its display interval.
int SourceAt(const TLumaFrames& Source, double T, int Shift) {
  const auto it = std::upper_bound(Source.Times.begin(), Source.Times.end(), T + 1e-6);
  const int index = static_cast<int>(it - Source.Times.begin()) - 1 + Shift;
  return index >= 0 && index < static_cast<int>(Source.Planes.size()) ? index : -1;
}

struct TComparison {
  double Psnr = 0, Ssim = 0;
  double WorstPsnr = 0;  // of the worst frame: a dip the mean hides
  int BestShift = 0;
  double BestShiftPsnr = 0;
  // Every shift matches within 0.05 dB (a picture that does not change):
  // the shift cannot be told.
  bool ShiftUnknown = false;
};

TComparison Compare(const TLumaFrames& Output, const TLumaFrames& Source) {
  TComparison c;
  const size_t frames = Output.Times.size();
  const double halfFrame =
      frames > 1 ? (Output.Times.back() - Output.Times.front()) / static_cast<double>(frames - 1) / 2 : 0;
  auto meanPsnr = [&](int Shift, double* SsimOut) {
    double psnr = 0, ssim = 0, worst = 100;
    int n = 0;
    for (size_t k = 0; k < Output.Planes.size(); ++k) {
      const int s = SourceAt(Source, Output.Times[k] + halfFrame, Shift);
      if (s < 0) continue;
      const double p = Psnr(Output.Planes[k], Source.Planes[static_cast<size_t>(s)]);
      psnr += p;
      worst = std::min(worst, p);
      if (SsimOut) ssim += Ssim(Output.Planes[k], Source.Planes[static_cast<size_t>(s)], Output.Width, Output.Height);
      ++n;
    }
    if (SsimOut) {
      *SsimOut = n ? ssim / n : 0;
      c.WorstPsnr = worst;
    }
    return n ? psnr / n : 0;
  };
  c.Psnr = meanPsnr(0, &c.Ssim);
  c.BestShift = 0;
  c.BestShiftPsnr = c.Psnr;
  double worstShiftPsnr = c.Psnr;
  for (int shift = -2; shift <= 2; ++shift) {
    if (shift == 0) continue;
    const double p = meanPsnr(shift, nullptr);
    worstShiftPsnr = std::min(worstShiftPsnr, p);
    if (p > c.BestShiftPsnr + 1e-9) {
      c.BestShiftPsnr = p;
      c.BestShift = shift;
    }
  }
  c.ShiftUnknown = c.BestShiftPsnr - worstShiftPsnr < 0.05;
  return c;
}

// One way of setting up the conversions.
struct TVariant {
  std::string Label;
  TBatchSettings Settings;
  // The set-up as it was before the longer group of pictures: the engine's
  // 12 frames and the libraries' own bit-rate tolerance.
  bool Before = false;
  // HDR is tone-mapped on each output's small picture after scaling instead
  // of on the full pictures before (the engine's FToneMapAtOutputSize).
  bool ToneMapSmall = false;
};

// One conversion as the window's per-file set-up asks for it.
bool ConvertLikeTheWindow(const TVariant& Variant, const std::string& In, const std::string& Out,
                          std::string& Error) {
  const TBatchSettings& Settings = Variant.Settings;
  TFFmpeg task;
  task.PrepareForTask();
  if (Variant.ToneMapSmall) task.FToneMapAtOutputSize = 1;
  try {
    TInputOptions input;
    FillInputOptions(In, input);
    input.ExtraOptions = Settings.InputExtraOptions;
    task.ApplyInputOptions(input);
    if (!task.OpenInputFile(In)) {
      Error = task.LastError();
      return false;
    }
    // The input's rate and shape as the per-file set-up reads them.
    double inputRate = 0, inputAspect = 0;
    {
      TAVProbe probe;
      if (probe.Open(In)) {
        inputRate = InputFrameRateOf(probe.FormatContext());
        inputAspect = InputDisplayAspectOf(probe.FormatContext());
      }
    }
    TOutputOptions output;
    FillOutputOptions(Settings, Out, output, inputRate, inputAspect);
    if (Variant.Before) output.BitrateTolerance = -1;
    task.ApplyOutputOptions(output);
    if (!task.OpenOutputFile(Out)) {
      Error = task.LastError();
      return false;
    }
  } catch (const std::exception& e) {
    Error = e.what();
    return false;
  }
  task.Start(false);
  if (task.ErrorOccurred()) {
    Error = task.ErrorMessage();
    return false;
  }
  return true;
}

bool PrepareQualityClip(const TQualityClip& Clip, const std::string& Dir, std::string& Path) {
  TClipSpec recipe;
  recipe.Name = Clip.Name;
  recipe.FormatName = "avi";
  recipe.Extension = ".avi";
  recipe.VideoCodec = "mpeg4";
  recipe.VideoTag = "XVID";
  recipe.Width = Clip.Width;
  recipe.Height = Clip.Height;
  recipe.FrameRate = Clip.Rate;
  recipe.VideoBitRate = static_cast<int64_t>(Clip.Width) * Clip.Height * 20;  // nearly transparent
  recipe.Noise = Clip.Grain;
  recipe.Motion = Clip.Motion;
  recipe.Detail = Clip.Detail;
  recipe.Pan = Clip.Pan;
  recipe.AudioCodec = "mp2";
  recipe.SampleRate = 44100;
  recipe.Channels = 2;
  recipe.AudioBitRate = 128000;
  recipe.DurationSeconds = Clip.Seconds;
  char name[200];
  std::snprintf(name, sizeof name, "quality-%s-%dx%d-%.3ffps-%gs-grain%d-motion%d-detail%d-pan%g.avi", Clip.Name,
                Clip.Width, Clip.Height, av_q2d(Clip.Rate), Clip.Seconds, Clip.Grain, Clip.Motion, Clip.Detail,
                Clip.Pan);
  Path = (fs::path(Dir) / name).string();
  std::error_code ec;
  if (fs::exists(Path, ec)) return true;
  const std::string part = Path + ".part";
  std::string error;
  if (!MakeClip(recipe, part, &error)) {
    std::fprintf(stderr, "vidlomat-bench: cannot make %s: %s\n", name, error.c_str());
    return false;
  }
  fs::rename(part, Path, ec);
  return !ec;
}

// Where the picture lies in the output frame: the window's set-up fits it
// inside the frame with square pixels between black bars.
TPictureFit PictureAreaOf(const std::string& In, const TBatchSettings& Settings) {
  int width = 0, height = 0;
  std::sscanf(Settings.FrameSize.c_str(), "%dx%d", &width, &height);
  TAVProbe probe;
  return FitPicture(width, height, probe.Open(In) ? InputDisplayAspectOf(probe.FormatContext()) : 0.0);
}

// Keeps only Area of every picture.
void CropLuma(TLumaFrames& Frames, const TPictureFit& Area) {
  if (Frames.Width == Area.Width && Frames.Height == Area.Height) return;
  for (auto& plane : Frames.Planes) {
    std::vector<uint8_t> inner(static_cast<size_t>(Area.Width) * Area.Height);
    for (int y = 0; y < Area.Height; ++y)
      std::memcpy(&inner[static_cast<size_t>(y) * Area.Width],
                  &plane[static_cast<size_t>(y + Area.PadTop) * Frames.Width + Area.PadLeft], Area.Width);
    plane = std::move(inner);
  }
  Frames.Width = Area.Width;
  Frames.Height = Area.Height;
}

// The MPEG-4 profile as its short name, "+B" when B-frames appear.
std::string ProfileName(int Profile, bool BFrames) {
  std::string name = Profile == FF_PROFILE_MPEG4_SIMPLE ? "Simple"
                     : Profile == FF_PROFILE_MPEG4_ADVANCED_SIMPLE ? "ASP"
                     : Profile == FF_PROFILE_UNKNOWN ? "unknown"
                                                    : std::to_string(Profile);
  return BFrames ? name + "+B" : name;
}

}  // namespace

int RunQualityBenchmark(const TQualityOptions& Options) {
  const double s = Options.Seconds;
  const std::vector<TQualityClip> clips = {
      {"bench", "the speed benchmark's clip", 1280, 720, {30, 1}, 8, 1, s},
      {"film", "film rate, grain", 640, 360, {24000, 1001}, 6, 1, s},
      {"static", "static camera, 10 fps", 768, 576, {10, 1}, 2, 0, 2 * s},
      {"scene", "static camera, detailed scene, a moving subject", 768, 576, {10, 1}, 4, 1, 2 * s, 48, 0},
      {"motion", "fast motion, 30 fps", 640, 480, {30, 1}, 6, 4, s},
      {"feature", "film-like: a detailed scene panning, heavy grain", 720, 480, {24000, 1001}, 12, 1, s, 48, 1.75},
  };
  std::error_code ec;
  fs::create_directories(Options.Dir, ec);

  std::vector<TVariant> variants;
  if (Options.Compare) {
    TVariant before{"before: 12 frames, lib. tolerance", {}, true};
    before.Settings.KeyFrameSeconds = 0;
    variants.push_back(before);
  }
  {
    TVariant now{Options.ExtraOptions.empty() ? "as set up" : "as set up + extra", {}, false};
    now.Settings.KeyFrameSeconds = Options.KeyFrameSeconds;
    now.Settings.OutputExtraOptions = Options.ExtraOptions;
    variants.push_back(now);
  }
  const TBatchSettings& defaults = variants[0].Settings;
  std::printf("quality: window defaults (mpeg4 %d kbit/s %s %s fps), %zu variant(s), %d round(s)\n",
              defaults.VideoKbps, defaults.FrameSize.c_str(), defaults.FrameRate.c_str(), variants.size(),
              Options.Rounds);
  std::printf("%-7s %-33s %9s %14s %8s %7s %7s %6s %8s %6s\n", "clip", "variant", "size", "video kbit/s", "PSNR-Y",
              "worst", "SSIM", "shift", "profile", "cpu s");
  for (const TQualityClip& clip : clips) {
    if (!Options.Clips.empty() &&
        std::find(Options.Clips.begin(), Options.Clips.end(), clip.Name) == Options.Clips.end())
      continue;
    std::string in;
    if (!PrepareQualityClip(clip, Options.Dir, in)) return 1;
    std::string error;
    std::vector<double> cpu(variants.size(), 0.0);
    std::vector<std::string> outs(variants.size());
    // Rounds alternate the variants so a change in the machine's load weighs
    // on all alike; the processor time is the median over the rounds.
    std::vector<std::vector<double>> times(variants.size());
    for (int round = 0; round < Options.Rounds; ++round)
      for (size_t v = 0; v < variants.size(); ++v) {
        const size_t i = round % 2 ? variants.size() - 1 - v : v;
        outs[i] = (fs::path(Options.Dir) / (std::string(clip.Name) + "-" + std::to_string(i) + ".mp4")).string();
        const double before = ProcessCpuSeconds();
        if (!ConvertLikeTheWindow(variants[i], in, outs[i], error)) {
          std::fprintf(stderr, "vidlomat-bench: %s: %s\n", clip.Name, error.c_str());
          return 1;
        }
        times[i].push_back(ProcessCpuSeconds() - before);
      }
    // The source scaled to the picture's area in the output, as the engine's
    // scaler does, in the colours the output is shown in (those of the first
    // variant's); only that area of the output is compared, without the bars.
    TLumaFrames source;
    TShownColour shown;
    const TPictureFit area = PictureAreaOf(in, defaults);
    for (size_t i = 0; i < variants.size(); ++i) {
      std::sort(times[i].begin(), times[i].end());
      cpu[i] = times[i][times[i].size() / 2];
      TLumaFrames output;
      int profile = 0;
      bool bFrames = false;
      int64_t videoBytes = 0;
      double duration = 0;
      if (!DecodeLuma(outs[i], 0, 0, output, &profile, &bFrames, &videoBytes, &duration, error, nullptr,
                      i == 0 ? &shown : nullptr) ||
          (i == 0 &&
           !DecodeLuma(in, area.Width, area.Height, source, nullptr, nullptr, nullptr, nullptr, error, &shown))) {
        std::fprintf(stderr, "vidlomat-bench: %s\n", error.c_str());
        return 1;
      }
      if (output.Width != area.Width + area.PadLeft + area.PadRight ||
          output.Height != area.Height + area.PadTop + area.PadBottom) {
        std::fprintf(stderr, "vidlomat-bench: %s: the output is %dx%d\n", clip.Name, output.Width, output.Height);
        return 1;
      }
      CropLuma(output, area);
      const TComparison c = Compare(output, source);
      const double kbps = duration > 0 ? static_cast<double>(videoBytes) * 8 / duration / 1000 : 0;
      char rate[32], shift[8] = "any";
      if (!c.ShiftUnknown) std::snprintf(shift, sizeof shift, "%+d", c.BestShift);
      std::snprintf(rate, sizeof rate, "%.0f (%+.0f%%)", kbps, (kbps / variants[i].Settings.VideoKbps - 1) * 100);
      std::printf("%-7s %-33s %7.2fMB %14s %8.2f %7.2f %7.4f %6s %8s %6.2f\n", clip.Name, variants[i].Label.c_str(),
                  static_cast<double>(fs::file_size(outs[i], ec)) / 1e6, rate, c.Psnr, c.WorstPsnr, c.Ssim, shift,
                  ProfileName(profile, bFrames).c_str(), cpu[i]);
      std::fflush(stdout);
    }
  }
  return 0;
}

int RunHdrBenchmark(const TQualityOptions& Options) {
  std::error_code ec;
  fs::create_directories(Options.Dir, ec);
  struct TTwin {
    const char* Name;
    AVColorTransferCharacteristic Transfer;
    bool ToneMapFull;
    std::string Path;
    std::vector<double> Times;
  };
  TTwin twins[] = {{"HLG, tone-mapped small", AVCOL_TRC_ARIB_STD_B67, false, {}, {}},
                   {"SDR BT.2020, scaler only", AVCOL_TRC_UNSPECIFIED, false, {}, {}},
                   {"HLG, tone-mapped full size", AVCOL_TRC_ARIB_STD_B67, true, {}, {}}};
  constexpr size_t kTwins = std::size(twins);
  for (TTwin& twin : twins) {
    TClipSpec recipe = ClipSpecByName("mp4");
    recipe.Name = twin.Name;
    recipe.VideoCodec = "libx265";
    recipe.VideoTag = "hvc1";
    recipe.PixelFormat = "yuv420p10le";
    recipe.VideoEncoderOptions = {{"preset", "ultrafast"}, {"x265-params", "log-level=error"}};
    recipe.Width = 1920;
    recipe.Height = 1080;
    recipe.FrameRate = {30, 1};
    recipe.ColourBars = true;
    recipe.ColourTransfer = twin.Transfer;
    if (twin.Transfer == AVCOL_TRC_UNSPECIFIED) recipe.ColourMatrix = AVCOL_SPC_BT2020_NCL;
    recipe.DurationSeconds = Options.Seconds;
    char name[120];
    std::snprintf(name, sizeof name, "hdr-%s-%gs.mp4", twin.Transfer == AVCOL_TRC_UNSPECIFIED ? "sdr" : "hlg",
                  Options.Seconds);
    twin.Path = (fs::path(Options.Dir) / name).string();
    if (fs::exists(twin.Path, ec)) continue;
    std::string error;
    if (!MakeClip(recipe, twin.Path + ".part", &error) || (fs::rename(twin.Path + ".part", twin.Path, ec), ec)) {
      std::fprintf(stderr, "vidlomat-bench: cannot make %s: %s\n", name, error.c_str());
      return 1;
    }
  }
  TVariant window{"window", {}, false};
  TVariant smallWindow = window;
  smallWindow.ToneMapSmall = true;
  std::printf("hdr: 1920x1080 10-bit HEVC, %g s, window defaults (%s), %d round(s)\n", Options.Seconds,
              window.Settings.FrameSize.c_str(), Options.Rounds);
  for (int round = 0; round < Options.Rounds; ++round)
    for (size_t v = 0; v < kTwins; ++v) {
      // Taking turns: forwards, then backwards.
      TTwin& twin = twins[round % 2 ? kTwins - 1 - v : v];
      const char* name = twin.ToneMapFull                             ? "hdr-out-full.mp4"
                         : twin.Transfer != AVCOL_TRC_UNSPECIFIED ? "hdr-out-small.mp4"
                                                                  : "hdr-out.mp4";
      const std::string out = (fs::path(Options.Dir) / name).string();
      std::string error;
      const double before = ProcessCpuSeconds();
      if (!ConvertLikeTheWindow(twin.ToneMapFull ? window : smallWindow, twin.Path, out, error)) {
        std::fprintf(stderr, "vidlomat-bench: %s: %s\n", twin.Name, error.c_str());
        return 1;
      }
      twin.Times.push_back(ProcessCpuSeconds() - before);
    }
  double median[kTwins];
  for (size_t i = 0; i < kTwins; ++i) {
    std::sort(twins[i].Times.begin(), twins[i].Times.end());
    median[i] = twins[i].Times[twins[i].Times.size() / 2];
    std::printf("%-28s cpu %6.2f s\n", twins[i].Name, median[i]);
  }
  std::printf("tone mapping costs x%.2f the processor time of the conversion without it\n", median[0] / median[1]);
  std::printf("tone mapping at full size costs x%.2f, and x%.2f the processor time of tone mapping small\n",
              median[2] / median[1], median[2] / median[0]);
  // How far the small picture's tone mapping is from the full picture's.
  TLumaFrames small, large;
  std::string error;
  if (DecodeLuma((fs::path(Options.Dir) / "hdr-out-small.mp4").string(), 0, 0, small, nullptr, nullptr, nullptr,
                 nullptr, error) &&
      DecodeLuma((fs::path(Options.Dir) / "hdr-out-full.mp4").string(), 0, 0, large, nullptr, nullptr, nullptr,
                 nullptr, error) &&
      !small.Planes.empty() && small.Planes.size() == large.Planes.size()) {
    double sum = 0, worst = 100;
    for (size_t k = 0; k < small.Planes.size(); ++k) {
      const double p = Psnr(small.Planes[k], large.Planes[k]);
      sum += p;
      worst = std::min(worst, p);
    }
    // Each output is encoded on its own: the figure includes the encoder's differences.
    std::printf("luma of the encoded outputs, small against full size: PSNR %.1f dB (worst frame %.1f dB)\n",
                sum / static_cast<double>(small.Planes.size()), worst);
  } else {
    std::printf("the outputs could not be compared: %s\n", error.c_str());
  }
  return 0;
}
