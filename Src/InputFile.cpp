// Input files: opening a file with the current option state, probing its
// streams, and copying their properties back into the option state so that the
// output built next inherits them.
#include <algorithm>
#include <cctype>
#include <string>

#include "FFmpeg.h"
#include "OpenErrors.h"

namespace {

std::string LowerExtension(const std::string& FileName) {
  const auto slash = FileName.find_last_of('/');
  const auto dot = FileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = FileName.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

// Frees an option dictionary when it goes out of scope.
struct TDictGuard {
  AVDictionary* Dict = nullptr;
  ~TDictGuard() { ff::av_dict_free(&Dict); }
};

}  // namespace

TDecoderThreads DecoderThreadsFor(int Cores, AVPixelFormat Format, int Width, int Height) {
  // Each frame thread keeps a picture of its own in flight. 8 MiB of them per
  // core: on two cores 1080p 10-bit HEVC decodes on two threads and the
  // conversion stays within its memory; 8-bit 1080p keeps the libraries'
  // count (cores + 1); 4K on eight cores gets five threads.
  constexpr int64_t kPicturesInFlightBytesPerCore = 8 << 20;
  const int64_t budget = kPicturesInFlightBytesPerCore * std::max(1, Cores);
  const int bytes = ff::av_image_get_buffer_size(Format, Width, Height, 1);
  const int automatic = std::max(1, Cores) + 1;
  if (bytes <= 0 || int64_t{bytes} * automatic <= budget) return {0, FF_THREAD_FRAME | FF_THREAD_SLICE};
  const int frames = static_cast<int>(std::min<int64_t>(automatic, budget / bytes));
  if (frames >= 2) return {frames, FF_THREAD_FRAME | FF_THREAD_SLICE};
  // Not even two pictures in flight: the slices of one picture share the
  // cores instead (where the stream has several), which keeps no picture more.
  return {std::max(1, Cores), FF_THREAD_SLICE};
}

AVCodecContext* TCustomFFmpeg::NewDecoderContext(const AVCodec* Decoder, const AVCodecParameters* Par,
                                                 AVRational TimeBase) {
  AVCodecContext* dec = ff::avcodec_alloc_context3(Decoder);
  if (!dec || ff::avcodec_parameters_to_context(dec, Par) < 0) {
    if (dec) ff::avcodec_free_context(&dec);
    return nullptr;
  }
  dec->pkt_timebase = TimeBase;
  dec->opaque = this;  // tells whose conversion the decoder's threads log for
  // Decoders use every core with frame and slice threads (within the
  // memory of their pictures in flight); the engine's own thread count is
  // the encoders'.
  dec->thread_count = FDecoderThreadCount;
  dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (FDecoderThreadCount == 0 && Par->codec_type == AVMEDIA_TYPE_VIDEO && Par->format >= 0) {
    const TDecoderThreads threads =
        DecoderThreadsFor(ff::av_cpu_count(), static_cast<AVPixelFormat>(Par->format), Par->width, Par->height);
    dec->thread_count = threads.Count;
    dec->thread_type = threads.Type;
  }
  // Sound decodes on one thread: a FLAC or ALAC decoder with three frame
  // threads gave its frames two packets late, and the samples, timed by the
  // packets, came out two of their large frames (up to half a second) late.
  if (Par->codec_type == AVMEDIA_TYPE_AUDIO) {
    dec->thread_count = 1;
    dec->thread_type = 0;
  }
  return dec;
}

void TCustomFFmpeg::ResetInputSelections() {
  FInputFormat = nullptr;
  FOutputFormat = nullptr;
  FVideoChannel = 0;
  FRateEmu = 0;
  FreeOwnedString(FVideoCodecName);
  FreeOwnedString(FAudioCodecName);
  FreeOwnedString(FSubtitleCodecName);
}

bool TCustomFFmpeg::OpenInputFile(const std::string& FileName) {
  if (FInputFileCount >= MAX_FILES) {
    FLastError = "Too many input files (at most " + std::to_string(MAX_FILES) + ")";
    ResetInputSelections();
    return false;
  }
  TPipeInput& pipe = FInputPipes[FInputFileCount];
  auto fail = [&](AVFormatContext*& ic, const std::string& Message) {
    FLastError = Message;
    if (ic) ff::avformat_close_input(&ic);
    pipe.Close();
    ResetInputSelections();
    return false;
  };

  AVFormatContext* ic = ff::avformat_alloc_context();
  if (!ic) return fail(ic, FormatOpenError(FileName, AVERROR(ENOMEM)));

  // The opening parameters: raw demuxers take the picture and sound
  // description from these options; other demuxers ignore them.
  TDictGuard opts;
  ff::av_dict_set_int(&opts.Dict, "sample_rate", FAudioSampleRate, 0);
  ff::av_dict_set_int(&opts.Dict, "channels", FAudioChannels, 0);
  if (FFrameRate.num > 0 && FFrameRate.den > 0) {
    const std::string rate = std::to_string(FFrameRate.num) + "/" + std::to_string(FFrameRate.den);
    ff::av_dict_set(&opts.Dict, "framerate", rate.c_str(), 0);
  }
  const int64_t width = int64_t{FFrameWidth} + FFramePadLeft + FFramePadRight;
  const int64_t height = int64_t{FFrameHeight} + FFramePadTop + FFramePadBottom;
  if (width > 0 && height > 0 && width <= INT32_MAX && height <= INT32_MAX) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    ff::av_dict_set(&opts.Dict, "video_size", size.c_str(), 0);
  }
  if (FFramePixFmt >= 0) {
    if (const char* name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(FFramePixFmt)))
      ff::av_dict_set(&opts.Dict, "pixel_format", name, 0);
  }
  if (FVideoChannel) ff::av_dict_set_int(&opts.Dict, "channel", FVideoChannel, 0);
  // Looping an input is the image sequence reader's own "loop" setting today.
  if (FLoopInput) ff::av_dict_set_int(&opts.Dict, "loop", 1, 0);
  if (FVideoStandard) ff::av_dict_set(&opts.Dict, "standard", FVideoStandard, 0);

  // Forced decoders.
  AVCodecID videoId = AV_CODEC_ID_NONE, audioId = AV_CODEC_ID_NONE, subtitleId = AV_CODEC_ID_NONE;
  const AVCodec *videoCodec = nullptr, *audioCodec = nullptr, *subtitleCodec = nullptr;
  if (!FindCodec(FVideoCodecName ? FVideoCodecName : "", AVMEDIA_TYPE_VIDEO, false, videoId, &videoCodec) ||
      !FindCodec(FAudioCodecName ? FAudioCodecName : "", AVMEDIA_TYPE_AUDIO, false, audioId, &audioCodec) ||
      !FindCodec(FSubtitleCodecName ? FSubtitleCodecName : "", AVMEDIA_TYPE_SUBTITLE, false, subtitleId,
                 &subtitleCodec))
    return fail(ic, FLastError);
  if (FPgmYuvCompatibilityHack) {
    videoId = AV_CODEC_ID_PGMYUV;
    videoCodec = ff::avcodec_find_decoder(videoId);
  }

  ApplyGenericOptions(ic, FFormatOpts, AV_OPT_FLAG_DECODING_PARAM);
  ic->video_codec_id = videoId;
  ic->audio_codec_id = audioId;
  ic->subtitle_codec_id = subtitleId;
  ic->video_codec = videoCodec;
  ic->audio_codec = audioCodec;
  ic->subtitle_codec = subtitleCodec;

  // A stop request ends every read, also one that waits on a stalled pipe.
  ic->interrupt_callback = AVIOInterruptCB{&TCustomFFmpeg::InterruptCallback, this};
  if (FInputIO) {
    ic->pb = FInputIO;
    FInputIO = nullptr;
  } else if (TPipeInput::Needed(FileName)) {
    const int r = pipe.Open(FileName, &FStopRequested);
    if (r < 0) return fail(ic, FormatOpenError(FileName, r));
    ic->pb = pipe.Context();
  }

  // On failure the library frees the context it was handed.
  int err = ff::avformat_open_input(&ic, FileName.c_str(), FInputFormat, &opts.Dict);
  if (err < 0) return fail(ic, FormatOpenError(FileName, err));

  if (FProgramId != 0) {
    for (unsigned i = 0; i < ic->nb_programs; ++i)
      if (ic->programs[i]->id != FProgramId) ic->programs[i]->discard = AVDISCARD_ALL;
  }

  {
    // Probing opens decoders inside the library: serialised with every codec
    // open and close of all engines.
    std::lock_guard<std::mutex> guard(CodecLock());
    err = ff::avformat_find_stream_info(ic, nullptr);
  }
  if (err < 0 && FVerbose >= 0) return fail(ic, FileName + ": could not find codec parameters");

  int64_t timestamp = FStartTime;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  FInputSeekUs[FInputFileCount] = AV_NOPTS_VALUE;
  if (FStartTime != 0) {
    ff::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);  // a failed seek is not fatal
    FInputSeekUs[FInputFileCount] = timestamp;
    FStartTime = 0;
  }

  std::vector<AVCodecContext*> decoders(ic->nb_streams, nullptr);
  auto freeDecoders = [&] {
    for (auto& ctx : decoders)
      if (ctx) ff::avcodec_free_context(&ctx);
  };
  const bool rmvb = LowerExtension(FileName).rfind(".rmvb", 0) == 0;
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    const AVCodecParameters* par = st->codecpar;
    const AVCodec* forced = par->codec_type == AVMEDIA_TYPE_VIDEO      ? videoCodec
                            : par->codec_type == AVMEDIA_TYPE_AUDIO    ? audioCodec
                            : par->codec_type == AVMEDIA_TYPE_SUBTITLE ? subtitleCodec
                                                                       : nullptr;
    const AVCodec* decoder = forced ? forced : ff::avcodec_find_decoder(par->codec_id);
    AVCodecContext* enc = NewDecoderContext(decoder, par, st->time_base);
    if (!enc) {
      freeDecoders();
      return fail(ic, FormatOpenError(FileName, AVERROR(ENOMEM)));
    }
    decoders[i] = enc;

    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        ApplyGenericOptions(enc, FCodecOpts[AVMEDIA_TYPE_VIDEO],
                            AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        FFrameHeight = enc->height;
        FFrameWidth = enc->width;
        FFrameAspectRatio = static_cast<float>(st->sample_aspect_ratio.num
                                                   ? av_q2d(st->sample_aspect_ratio)
                                                   : (enc->sample_aspect_ratio.num ? av_q2d(enc->sample_aspect_ratio) : 0.0));
        if (int64_t{enc->width} * enc->height != 0) {
          FFrameAspectRatio = FFrameAspectRatio != 0
                                  ? static_cast<float>(enc->width * static_cast<double>(FFrameAspectRatio) / enc->height)
                                  : static_cast<float>(static_cast<double>(enc->width) / enc->height);
        } else if (FFrameAspectRatio == 0) {
          FFrameAspectRatio = 4.0f / 3.0f;
        }
        // A picture shown turned a quarter: its size and aspect are the turned
        // picture's, which the conversion makes.
        if (PictureTurnOf(st).Quarter()) {
          std::swap(FFrameWidth, FFrameHeight);
          FFrameAspectRatio = 1.0f / FFrameAspectRatio;
        }
        if (enc->pix_fmt == AV_PIX_FMT_NONE && rmvb) enc->pix_fmt = AV_PIX_FMT_YUV420P;
        FFramePixFmt = enc->pix_fmt;
        // The rate the container gives; the codec's own average rate when the
        // container gives none.
        AVRational real = st->r_frame_rate;
        if (real.num <= 0 || real.den <= 0) real = st->avg_frame_rate;
        const AVRational codec = st->avg_frame_rate;
        if ((codec.num != real.num || codec.den != real.den) && codec.num > 0 && codec.den > 0 &&
            FVerbose > 0 && FOnLog) {
          LogFmt(1,
                 "Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> "
                 "%2.2f (%d/%d)",
                 static_cast<int>(i), av_q2d(codec), codec.num, codec.den,
                 real.den ? av_q2d(real) : 0.0, real.num, real.den);
        }
        FFrameRate = real;
        if (FVideoDisable)
          st->discard = AVDISCARD_ALL;
        else if (FVideoDiscard)
          st->discard = static_cast<AVDiscard>(FVideoDiscard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        ApplyGenericOptions(enc, FCodecOpts[AVMEDIA_TYPE_AUDIO],
                            AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        FAudioChannels = enc->ch_layout.nb_channels;
        FAudioSampleRate = enc->sample_rate;
        FAudioSampleFmt = enc->sample_fmt;
        if (FAudioDisable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (FSubtitleDisable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_DATA:
      case AVMEDIA_TYPE_ATTACHMENT:
      case AVMEDIA_TYPE_UNKNOWN:
        break;
      default:
        freeDecoders();
        ff::avformat_close_input(&ic);
        pipe.Close();
        ResetInputSelections();
        throw FFMpegException("invalid codec_type");
    }
  }

  if (ic->duration != AV_NOPTS_VALUE && ic->duration >= 0) {
    const int64_t ms = ic->duration / 1000;
    if (ms > FTotalDurationMs) FTotalDurationMs = static_cast<int>(std::min<int64_t>(ms, INT32_MAX));
  }

  FInputFiles[FInputFileCount] = ic;
  FInputCodecs[FInputFileCount] = std::move(decoders);
  FInputRateEmu[FInputFileCount] = FRateEmu;
  FInputTsOffset[FInputFileCount] = FCopyTs ? FInputTsOffsetOpt : FInputTsOffsetOpt - timestamp;
  if (FVerbose >= 0) ff::av_dump_format(ic, FInputFileCount, FileName.c_str(), 0);
  ++FInputFileCount;
  ResetInputSelections();
  return true;
}

void TCustomFFmpeg::CheckInputStreamTypes(int& HasVideo, int& HasAudio, int& HasSubtitle) {
  HasVideo = HasAudio = HasSubtitle = 0;
  for (int f = 0; f < FInputFileCount; ++f) {
    AVFormatContext* ic = FInputFiles[f];
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      switch (ic->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO: HasVideo = 1; break;
        case AVMEDIA_TYPE_AUDIO: HasAudio = 1; break;
        case AVMEDIA_TYPE_SUBTITLE: HasSubtitle = 1; break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN: break;
        default: throw FFMpegException("invalid codec_type of input file");
      }
    }
  }
}
