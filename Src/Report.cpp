// The progress report (figures for the progress event or a log line, and the
// final size summary) and the per-frame video statistics file.
#include <cmath>
#include <cstring>

#include "FFmpeg.h"
#include "MyUtils.h"

namespace {

// Appends printf-style text to a fixed report buffer, never past its end.
void Append(char* Buf, size_t Capacity, const char* Fmt, ...) __attribute__((format(printf, 3, 4)));
void Append(char* Buf, size_t Capacity, const char* Fmt, ...) {
  const size_t used = std::strlen(Buf);
  if (used + 1 >= Capacity) return;
  va_list args;
  va_start(args, Fmt);
  std::vsnprintf(Buf + used, Capacity - used, Fmt, args);
  va_end(args);
}

}  // namespace

void TCustomFFmpeg::PrintReport(bool IsLast) {
  // What the encoding side wrote (read as it published it, when it runs on a
  // thread of its own).
  const int64_t totalSize = StageOutputFileSize();
  char buf[1024] = "";
  double time = 1e10;
  int frameNumber = -1, fps = -1;
  float quality = -1.0f;
  bool videoSeen = false;

  for (OutputStreamState* ost : FOutputStreams) {
    AVCodecContext* enc = ost->CodecCtx;
    const OutputStreamState::TEncoderFigures figures = EncoderFiguresOf(ost);
    const float q = ost->EncodingNeeded ? figures.LastQuality / static_cast<float>(FF_QP2LAMBDA) : -1.0f;
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (videoSeen) {
        Append(buf, sizeof buf, "q=%2.1f ", static_cast<double>(q));
      } else {
        const float t = static_cast<float>(ff::av_gettime() - FTimerStart) / 1000000.0f;
        frameNumber = ost->FrameNumber;
        if (frameNumber < 1) return;  // nothing to tell before the first picture
        fps = t > 1 ? static_cast<int>(std::trunc(frameNumber / t + 0.5f)) : 0;
        quality = q;
        Append(buf, sizeof buf, "frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, static_cast<double>(quality));
        if (IsLast) Append(buf, sizeof buf, "L");
        if (FQpHist) {
          const int qp = static_cast<int>(std::nearbyint(q));
          if (qp >= 0 && qp < 52) ++FQpHistogram[qp];
          for (int j = 0; j < 32; ++j)
            Append(buf, sizeof buf, "%X", static_cast<int>(std::nearbyint(std::log2(FQpHistogram[j] + 1.0))));
        }
        if (enc->flags & AV_CODEC_FLAG_PSNR) {
          Append(buf, sizeof buf, "PSNR=");
          double errorSum = 0, scaleSum = 0;
          static const char planes[] = "YUV";
          for (int i = 0; i < 3; ++i) {
            const double error = IsLast ? static_cast<double>(enc->error[i]) : static_cast<double>(figures.LastError[i]);
            double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
            if (IsLast) scale *= frameNumber;
            if (i) scale /= 4;
            errorSum += error;
            scaleSum += scale;
            Append(buf, sizeof buf, "%c:%2.2f ", planes[i], Psnr(error / scale));
          }
          Append(buf, sizeof buf, "*:%2.2f ", Psnr(errorSum / scaleSum));
        }
        videoSeen = true;
      }
    }
    if (figures.EndPts != AV_NOPTS_VALUE || (enc->codec_type == AVMEDIA_TYPE_VIDEO && ost->EncodingNeeded)) {
      const double t = enc->codec_type == AVMEDIA_TYPE_VIDEO && ost->EncodingNeeded
                           ? static_cast<double>(ost->SyncOpts) * av_q2d(enc->time_base)
                           : static_cast<double>(figures.EndPts) * av_q2d(ost->Stream->time_base);
      if (t < time && t > 0) time = t;
    }
  }
  if (time < 0.01) time = 0.01;
  if (time >= 1e10) time = 0.01;  // nothing written yet
  const double bitrate = static_cast<double>(totalSize) * 8 / time / 1000;

  if (FOnProgress || FVerbose > 0 || IsLast) {
    Append(buf, sizeof buf, "size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", static_cast<double>(totalSize) / 1024,
           time, bitrate);
    if (FVerbose > 1) Append(buf, sizeof buf, " dup=%d drop=%d", FFramesDup, FFramesDrop);
    if (FOnProgress) {
      // After a measuring pass, the conversion is the rest of the progress.
      int current = static_cast<int>(std::trunc(time * 1000));
      if (FLevelShare > 0 && FTotalDurationMs > 0)
        current = static_cast<int>(FLevelShare * FTotalDurationMs + (1 - FLevelShare) * std::min<double>(current, FTotalDurationMs));
      FOnProgress(this, frameNumber, fps, current, quality,
                  static_cast<float>(bitrate), totalSize, FTotalDurationMs);
    } else if (FVerbose >= 0 && FOnLog) {
      Log(1, buf);
    }
  }
  if (IsLast && FVerbose >= 0 && FOnLog) {
    const double raw = static_cast<double>(FVideoSize + FAudioSize + FExtraSize);
    // Nothing written: no overhead to speak of.
    const double overhead = raw > 0 ? (static_cast<double>(totalSize) - raw) * 100.0 / raw : 0.0;
    LogFmt(1, "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
           static_cast<double>(FVideoSize) / 1024, static_cast<double>(FAudioSize) / 1024,
           static_cast<double>(FExtraSize) / 1024, overhead);
  }
}

void TCustomFFmpeg::WriteVideoStats(OutputStreamState* Ost, int FrameSize) {
  if (!FVStatsFile) {
    FVStatsFile = std::fopen(FVStatsFileName, "w");
    if (!FVStatsFile) throw FFMpegException(std::string("fopen fail: ") + FVStatsFileName);
  }
  AVCodecContext* enc = Ost->CodecCtx;
  if (enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  std::fprintf(FVStatsFile, "frame= %5d q= %2.1f ", Ost->FrameNumber,
               static_cast<double>(Ost->LastQuality / static_cast<float>(FF_QP2LAMBDA)));
  if (enc->flags & AV_CODEC_FLAG_PSNR)
    std::fprintf(FVStatsFile, "PSNR= %6.2f ",
                 Psnr(static_cast<double>(Ost->LastError[0]) / (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0)));
  std::fprintf(FVStatsFile, "f_size= %6d ", FrameSize);
  double ti1 = static_cast<double>(Ost->SyncOpts) * av_q2d(enc->time_base);
  if (ti1 < 0.01) ti1 = 0.01;
  const double bitrate = FrameSize * 8 / av_q2d(enc->time_base) / 1000.0;
  const double avg = static_cast<double>(FVideoSize) * 8 / ti1 / 1000.0;
  std::fprintf(FVStatsFile, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               static_cast<double>(FVideoSize) / 1024, ti1, bitrate, avg);
  std::fprintf(FVStatsFile, "type= %c\n", ff::av_get_picture_type_char(static_cast<AVPictureType>(Ost->LastPictType)));
}
