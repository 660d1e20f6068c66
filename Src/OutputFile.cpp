// Output files and output streams: the muxer context with its format, its
// streams and their encoder settings, the metadata, the opened file, and the
// one packet writer every packet goes through.
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <limits>
#include <string>

#include "FFmpeg.h"
#include "MyUtils.h"
#include "OpenErrors.h"
#include "SourceRecord.h"

namespace {

// Reads an integer at Text[Pos] (leading blanks, sign, decimal or "$"/"0x"
// hexadecimal) and returns the position after it.
size_t ReadOverrideInt(const std::string& Text, size_t Pos, int& Value) {
  const char* start = Text.c_str() + Pos;
  const char* p = start;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long v = 0;
  const char* digits = p;
  if (*p == '$' || (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))) {
    p += *p == '$' ? 1 : 2;
    digits = p;
    while (std::isxdigit(static_cast<unsigned char>(*p))) {
      v = v * 16 + (std::isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : (std::tolower(*p) - 'a' + 10));
      if (v > INT32_MAX) v = INT32_MAX;
      ++p;
    }
  } else {
    while (std::isdigit(static_cast<unsigned char>(*p))) {
      v = v * 10 + (*p - '0');
      if (v > INT32_MAX) v = INT32_MAX;
      ++p;
    }
  }
  if (p == digits) p = start;  // no number: nothing read
  Value = static_cast<int>(negative ? -v : v);
  return Pos + static_cast<size_t>(p - start);
}

// Trunc(V) as an integer of type T, held to T's range (NaN gives 0): option
// values may be any number.
template <class T>
T TruncSaturated(double V) {
  if (std::isnan(V)) return 0;
  if (V >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  if (V <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  return static_cast<T>(std::trunc(V));
}

// Names of filters that change the picture size.
bool NamesResizingFilter(const std::string& Filters) {
  std::string text = Filters;
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string piece;
  while (!text.empty()) {
    ExtractToken(text, ",", true, piece);
    const std::string name = piece.substr(0, piece.find('='));
    if (std::string(",crop,rotate,scale,transpose,").find("," + name + ",") != std::string::npos) return true;
  }
  return false;
}

bool ListsPixelFormat(const AVCodec* Codec, int Format) {
  for (const AVPixelFormat* p = Codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
    if (*p == Format) return true;
  return false;
}

bool ListsSampleFormat(const AVCodec* Codec, int Format) {
  for (const AVSampleFormat* p = Codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
    if (*p == Format) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Rate-control overrides: "start,end,q/start,end,q..."

std::vector<RcOverride> TCustomFFmpeg::ParseRcOverride(const std::string& Text) {
  std::vector<RcOverride> result;
  size_t pos = 0;
  for (;;) {
    int start = 0, end = 0, q = 0;
    size_t next = ReadOverrideInt(Text, pos, start);
    if (next >= Text.size() || next <= pos) throw FFMpegException("error parsing rc_override");
    pos = next + 1;
    next = ReadOverrideInt(Text, pos, end);
    if (next >= Text.size() || next <= pos) throw FFMpegException("error parsing rc_override");
    pos = next + 1;
    ReadOverrideInt(Text, pos, q);
    RcOverride entry{};
    entry.start_frame = start;
    entry.end_frame = end;
    if (q > 0) {
      entry.qscale = q;
      entry.quality_factor = 1.0f;
    } else {
      entry.qscale = 0;
      entry.quality_factor = static_cast<float>(-q) / 100.0f;
    }
    result.push_back(entry);
    const size_t slash = Text.find('/', pos);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Stream builders

AVCodecContext* TCustomFFmpeg::AddOutputStream(AVFormatContext* oc, int FileIndex, const AVCodec* Codec,
                                               AVStream*& Stream) {
  Stream = ff::avformat_new_stream(oc, nullptr);
  if (!Stream) return nullptr;
  AVCodecContext* ctx = ff::avcodec_alloc_context3(Codec);
  if (!ctx) return nullptr;  // the stream is freed with oc
  ctx->opaque = this;  // tells whose conversion the encoder's threads log for
  auto& codecs = FOutputCodecs[FileIndex];
  codecs.resize(oc->nb_streams, nullptr);
  codecs[Stream->index] = ctx;
  auto& copies = FOutputStreamCopy[FileIndex];
  copies.resize(oc->nb_streams, 0);
  return ctx;
}

void TCustomFFmpeg::TakeBitstreamFilters(int FileIndex, int StreamIndex, std::vector<std::string>& Chain) {
  if (StreamIndex < MAX_STREAMS) FBitstreamFilterNames[FileIndex][StreamIndex] = Chain;
  Chain.clear();
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* oc, int FileIndex) {
  const bool copy = FVideoStreamCopy != 0;
  AVCodecID id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!copy) {
    if (FVideoCodecName) {
      if (!FindCodec(FVideoCodecName, AVMEDIA_TYPE_VIDEO, true, id, &codec)) {
        FreeOwnedString(FVideoCodecName);
        throw FFMpegException(FLastError);
      }
    } else {
      id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_VIDEO);
    }
    codec = ff::avcodec_find_encoder(id);
  }
  AVStream* st = nullptr;
  AVCodecContext* ctx = AddOutputStream(oc, FileIndex, codec, st);
  if (!ctx) {
    FreeOwnedString(FVideoCodecName);
    throw FFMpegException("Could not alloc stream");
  }
  TakeBitstreamFilters(FileIndex, st->index, FVideoBitstreamFilters);
  ctx->codec_type = AVMEDIA_TYPE_VIDEO;
  if (FScanOffset && ctx->priv_data) ff::av_opt_set_int(ctx->priv_data, "scan_offset", 1, 0);
  if (FThreadCount > 1) ctx->thread_count = FThreadCount;
  if (FVideoCodecTag) ctx->codec_tag = static_cast<unsigned>(FVideoCodecTag);
  if ((FVideoGlobalHeader & 1) || (FVideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    FCodecOpts[AVMEDIA_TYPE_VIDEO]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (FVideoGlobalHeader & 2) {
    ctx->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    FCodecOpts[AVMEDIA_TYPE_VIDEO]->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (copy) {
    FOutputStreamCopy[FileIndex][st->index] = 1;
    const double ratio = FFrameWidth && FFrameHeight
                             ? FFrameAspectRatio * static_cast<double>(FFrameHeight) / FFrameWidth
                             : FFrameAspectRatio * 3.0 / 4.0;
    st->sample_aspect_ratio = d2q(ratio, 255);
    ctx->sample_aspect_ratio = st->sample_aspect_ratio;
  } else {
    AVRational fps = FFrameRate.num ? FFrameRate : AVRational{25, 1};
    ctx->codec_id = id;
    ApplyGenericOptions(ctx, FCodecOpts[AVMEDIA_TYPE_VIDEO], AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ApplyEncoderPrivateOptions(ctx);
    ctx->time_base = AVRational{fps.den, fps.num};
    if (codec && codec->supported_framerates) {
      AVRational best{0, 0}, bestError{INT32_MAX, 1};
      for (const AVRational* r = codec->supported_framerates; r->num; ++r) {
        AVRational error = sub_q(fps, *r);
        error.num = std::abs(error.num);
        if (cmp_q(error, bestError) < 0) {
          bestError = error;
          best = *r;
        }
      }
      if (best.num) ctx->time_base = AVRational{best.den, best.num};
    }
    ctx->framerate = AVRational{ctx->time_base.den, ctx->time_base.num};
    const int64_t width = int64_t{FFrameWidth} + FFramePadLeft + FFramePadRight;
    const int64_t height = int64_t{FFrameHeight} + FFramePadTop + FFramePadBottom;
    if (width > INT32_MAX || height > INT32_MAX) throw FFMpegException("Incorrect frame size");
    ctx->width = static_cast<int>(width);
    ctx->height = static_cast<int>(height);
    const double ratio = width * height != 0
                             ? FFrameAspectRatio * static_cast<double>(ctx->height) / ctx->width
                             : FFrameAspectRatio * 3.0 / 4.0;
    ctx->sample_aspect_ratio = d2q(ratio, 255);
    st->sample_aspect_ratio = ctx->sample_aspect_ratio;
    ctx->pix_fmt = static_cast<AVPixelFormat>(FFramePixFmt);
    if (codec && codec->pix_fmts && !ListsPixelFormat(codec, FFramePixFmt)) ctx->pix_fmt = codec->pix_fmts[0];
    if (FIntraOnly) ctx->gop_size = 0;
    if (FVideoQScale != 0 || FSameQuality) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = TruncSaturated<int>(FF_QP2LAMBDA * static_cast<double>(FVideoQScale));
    }
    // The context frees its matrices itself: it gets copies of the engine's.
    if (FIntraMatrix) {
      ctx->intra_matrix = static_cast<uint16_t*>(ff::av_malloc(64 * sizeof(uint16_t)));
      if (ctx->intra_matrix) std::memcpy(ctx->intra_matrix, FIntraMatrix, 64 * sizeof(uint16_t));
    }
    if (FInterMatrix) {
      ctx->inter_matrix = static_cast<uint16_t*>(ff::av_malloc(64 * sizeof(uint16_t)));
      if (ctx->inter_matrix) std::memcpy(ctx->inter_matrix, FInterMatrix, 64 * sizeof(uint16_t));
    }
    ctx->thread_count = FThreadCount;
    if (FVideoRcOverride) {
      std::vector<RcOverride> entries = ParseRcOverride(FVideoRcOverride);
      ctx->rc_override = static_cast<RcOverride*>(ff::av_mallocz(entries.size() * sizeof(RcOverride)));
      if (ctx->rc_override) {
        std::memcpy(ctx->rc_override, entries.data(), entries.size() * sizeof(RcOverride));
        ctx->rc_override_count = static_cast<int>(entries.size());
      }
    }
    if (ctx->rc_initial_buffer_occupancy == 0)
      ctx->rc_initial_buffer_occupancy = static_cast<int>(static_cast<int64_t>(ctx->rc_buffer_size) * 3 / 4);
    ctx->intra_dc_precision = FIntraDcPrecision - 8;
    if (FDoPsnr) ctx->flags |= AV_CODEC_FLAG_PSNR;
    if (FDoPass == 1)
      ctx->flags |= AV_CODEC_FLAG_PASS1;
    else if (FDoPass)
      ctx->flags |= AV_CODEC_FLAG_PASS2;
  }
  FVideoDisable = 0;
  FreeOwnedString(FVideoCodecName);
  FVideoStreamCopy = 0;
}

// The native AAC encoder answers for the AAC names: plain AAC-LC without
// perceptual noise substitution or intensity stereo, which every portable
// player decodes without artefacts.
static void ConfigurePortableAac(AVCodecContext* Ctx, const AVCodec* Codec) {
  if (!Codec || std::strcmp(Codec->name, "aac") != 0 || !Ctx->priv_data) return;
  Ctx->profile = FF_PROFILE_AAC_LOW;
  ff::av_opt_set_int(Ctx->priv_data, "aac_pns", 0, 0);
  ff::av_opt_set_int(Ctx->priv_data, "aac_is", 0, 0);
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* oc, int FileIndex) {
  const bool copy = FAudioStreamCopy != 0;
  AVCodecID id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!copy) {
    id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_AUDIO);
    if (FAudioCodecName && !FindCodec(FAudioCodecName, AVMEDIA_TYPE_AUDIO, true, id, &codec)) {
      FreeOwnedString(FAudioCodecName);
      FAudioLanguage.clear();
      throw FFMpegException(FLastError);
    }
    codec = ff::avcodec_find_encoder(id);
  }
  AVStream* st = nullptr;
  AVCodecContext* ctx = AddOutputStream(oc, FileIndex, codec, st);
  if (!ctx) {
    FreeOwnedString(FAudioCodecName);
    FAudioLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  TakeBitstreamFilters(FileIndex, st->index, FAudioBitstreamFilters);
  if (FThreadCount > 1) ctx->thread_count = FThreadCount;
  ctx->codec_type = AVMEDIA_TYPE_AUDIO;
  if (FAudioCodecTag) ctx->codec_tag = static_cast<unsigned>(FAudioCodecTag);
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    FCodecOpts[AVMEDIA_TYPE_AUDIO]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (copy) {
    FOutputStreamCopy[FileIndex][st->index] = 1;
    ff::av_channel_layout_uninit(&ctx->ch_layout);
    ff::av_channel_layout_default(&ctx->ch_layout, FAudioChannels);
  } else {
    ApplyGenericOptions(ctx, FCodecOpts[AVMEDIA_TYPE_AUDIO], AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ApplyEncoderPrivateOptions(ctx);
    ctx->codec_id = id;
    if (FAudioQScale > -99999.0f) {
      ctx->flags |= AV_CODEC_FLAG_QSCALE;
      ctx->global_quality = TruncSaturated<int>(FF_QP2LAMBDA * static_cast<double>(FAudioQScale));
    }
    ctx->thread_count = FThreadCount;
    ff::av_channel_layout_uninit(&ctx->ch_layout);
    ff::av_channel_layout_default(&ctx->ch_layout, FAudioChannels);
    ctx->sample_fmt = static_cast<AVSampleFormat>(FAudioSampleFmt);
    if (codec && codec->sample_fmts && !ListsSampleFormat(codec, FAudioSampleFmt))
      ctx->sample_fmt = codec->sample_fmts[0];
    ConfigurePortableAac(ctx, codec);
  }
  ctx->sample_rate = FAudioSampleRate;
  ctx->time_base = AVRational{1, FAudioSampleRate > 0 ? FAudioSampleRate : 1};
  if (!FAudioLanguage.empty()) {
    ff::av_dict_set(&st->metadata, "language", FAudioLanguage.substr(0, 3).c_str(), 0);
    FAudioLanguage.clear();
  }
  FAudioDisable = 0;
  FreeOwnedString(FAudioCodecName);
  FAudioStreamCopy = 0;
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* oc, int FileIndex) {
  const bool copy = FSubtitleStreamCopy != 0;
  AVCodecID id = AV_CODEC_ID_NONE;
  const AVCodec* codec = nullptr;
  if (!copy && !FindCodec(FSubtitleCodecName ? FSubtitleCodecName : "", AVMEDIA_TYPE_SUBTITLE, true, id, &codec)) {
    FreeOwnedString(FSubtitleCodecName);
    FSubtitleLanguage.clear();
    throw FFMpegException(FLastError);
  }
  // Without a codec name the container's own subtitle codec is used, as for
  // video and audio.
  if (!copy && id == AV_CODEC_ID_NONE) {
    id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_SUBTITLE);
    codec = ff::avcodec_find_encoder(id);
  }
  AVStream* st = nullptr;
  AVCodecContext* ctx = AddOutputStream(oc, FileIndex, codec, st);
  if (!ctx) {
    FreeOwnedString(FSubtitleCodecName);
    FSubtitleLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  TakeBitstreamFilters(FileIndex, st->index, FSubtitleBitstreamFilters);
  ctx->codec_type = AVMEDIA_TYPE_SUBTITLE;
  if (copy) {
    FOutputStreamCopy[FileIndex][st->index] = 1;
  } else {
    // The subtitle encoder receives the collected generic options as the video
    // and audio encoders do.
    ApplyGenericOptions(ctx, FCodecOpts[AVMEDIA_TYPE_SUBTITLE],
                        AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ctx->codec_id = id;
  }
  if (!FSubtitleLanguage.empty()) {
    ff::av_dict_set(&st->metadata, "language", FSubtitleLanguage.substr(0, 3).c_str(), 0);
    FSubtitleLanguage.clear();
  }
  FSubtitleDisable = 0;
  FreeOwnedString(FSubtitleCodecName);
  FSubtitleStreamCopy = 0;
}

void TCustomFFmpeg::AddVideoStreamToLast() {
  if (FOutputFileCount == 0) throw FFMpegException("At least one output file must be specified");
  NewVideoStream(FOutputFiles[FOutputFileCount - 1], FOutputFileCount - 1);
}

void TCustomFFmpeg::AddAudioStreamToLast() {
  if (FOutputFileCount == 0) throw FFMpegException("At least one output file must be specified");
  NewAudioStream(FOutputFiles[FOutputFileCount - 1], FOutputFileCount - 1);
}

void TCustomFFmpeg::AddSubtitleStreamToLast() {
  if (FOutputFileCount == 0) throw FFMpegException("At least one output file must be specified");
  NewSubtitleStream(FOutputFiles[FOutputFileCount - 1], FOutputFileCount - 1);
}

// ---------------------------------------------------------------------------
// The output file

bool TCustomFFmpeg::OpenOutputFile(const std::string& FileName) {
  AVFormatContext* oc = nullptr;
  bool registered = false;
  auto fail = [&](const std::string& Message) {
    FLastError = Message;
    if (!registered && oc) {
      const int index = FOutputFileCount;
      for (auto& ctx : FOutputCodecs[index])
        if (ctx) ff::avcodec_free_context(&ctx);
      FOutputCodecs[index].clear();
      FOutputStreamCopy[index].clear();
      for (auto& chain : FBitstreamFilterNames[index]) chain.clear();
      ff::avformat_free_context(oc);
    }
    FOutputFormat = nullptr;
    FInputFormat = nullptr;
    return false;
  };

  if (FOutputFileCount >= MAX_FILES)
    return fail("Too many output files (at most " + std::to_string(MAX_FILES) + ")");
  // The stream builders need the option contexts of PrepareForTask.
  if (!FFmpegLibrariesLoaded() || !FFormatOpts || !FCodecOpts[AVMEDIA_TYPE_VIDEO] ||
      !FCodecOpts[AVMEDIA_TYPE_AUDIO] || !FCodecOpts[AVMEDIA_TYPE_SUBTITLE])
    return fail("The engine is not prepared for a task");
  if (!FVideoFilters.empty() && FFrameTopBand + FFrameBottomBand + FFrameLeftBand + FFrameRightBand != 0)
    return fail("Cannot enable crop options and filters at the same time.");
  if (NamesResizingFilter(FVideoFilters) && FFramePadTop + FFramePadBottom + FFramePadLeft + FFramePadRight != 0)
    return fail(
        "Cannot enable pad options and the filters which resize frame at the same time. (crop, rotate, scale, "
        "transpose, etc.)");
  // Burned-in subtitles go into the user's graph when there is one, else
  // onto the scaled picture (MakeSubtitleStep).
  FFiltersEnabled = !FVideoFilters.empty();

  if (!FOutputFormat) FOutputFormat = ff::av_guess_format(nullptr, FileName.c_str(), nullptr);
  if (!FOutputFormat) return fail("Unable to find a suitable output format for '" + FileName + "'");
  if (ff::avformat_alloc_output_context2(&oc, FOutputFormat, nullptr, FileName.c_str()) < 0 || !oc)
    return fail(FormatOpenError(FileName, AVERROR(ENOMEM)));
  const int index = FOutputFileCount;
  // Every I/O of the file, also what the muxer opens itself, ends on a stop.
  oc->interrupt_callback = AVIOInterruptCB{&TCustomFFmpeg::InterruptCallback, this};

  int useVideo = FOutputFormat->video_codec != AV_CODEC_ID_NONE || FVideoStreamCopy || FVideoCodecName;
  int useAudio = FOutputFormat->audio_codec != AV_CODEC_ID_NONE || FAudioStreamCopy || FAudioCodecName;
  int useSubtitle = FOutputFormat->subtitle_codec != AV_CODEC_ID_NONE || FSubtitleStreamCopy || FSubtitleCodecName;
  if (FInputFileCount > 0) {
    int hasVideo = 0, hasAudio = 0, hasSubtitle = 0;
    try {
      CheckInputStreamTypes(hasVideo, hasAudio, hasSubtitle);
    } catch (const std::exception& e) {
      return fail(std::string("check_audio_video_sub_inputs fail: ") + e.what());
    }
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  if (FAudioDisable) useAudio = 0;
  if (FVideoDisable) useVideo = 0;
  if (FSubtitleDisable) useSubtitle = 0;

  if (useVideo) {
    try {
      NewVideoStream(oc, index);
    } catch (const std::exception& e) {
      return fail(std::string("new_video_stream fail: ") + e.what());
    }
  }
  if (useAudio) {
    try {
      NewAudioStream(oc, index);
    } catch (const std::exception& e) {
      return fail(std::string("new_audio_stream fail: ") + e.what());
    }
  }
  if (useSubtitle) {
    try {
      NewSubtitleStream(oc, index);
    } catch (const std::exception& e) {
      return fail(std::string("new_subtitle_stream fail: ") + e.what());
    }
  }

  // Metadata, as today's tags.
  int64_t created = FRecTimestamp;
  if (FKeepSourceDates)
    if (const int64_t source = SourceCreationTime(); source != 0) created = source;
  if (created != 0) {
    const time_t t = static_cast<time_t>(created);
    struct tm utc {};
    char text[64];
    if (gmtime_r(&t, &utc) && std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc)) {
      ff::av_dict_set(&oc->metadata, "creation_time", text, 0);
      // The source's date belongs to its tracks as well.
      if (FKeepSourceDates)
        for (unsigned i = 0; i < oc->nb_streams; ++i) ff::av_dict_set(&oc->streams[i]->metadata, "creation_time", text, 0);
    }
  }
  if (FRecordSource && FInputFileCount > 0 && FInputFiles[0] && FInputFiles[0]->url)
    if (const std::string record = SourceRecordOf(FInputFiles[0]->url, FRecordShape); !record.empty())
      ff::av_dict_set(&oc->metadata, kSourceRecordTag, record.c_str(), 0);
  auto tag = [&](const char* Key, const std::string& Value, size_t Limit) {
    if (!Value.empty()) ff::av_dict_set(&oc->metadata, Key, Value.substr(0, Limit).c_str(), 0);
  };
  tag("title", FTitle, 511);
  tag("artist", FAuthor, 511);
  tag("copyright", FCopyright, 511);
  tag("comment", FComment, 511);
  tag("album", FAlbum, 511);
  tag("genre", FGenre, 31);
  if (FYear > 0) ff::av_dict_set(&oc->metadata, "date", std::to_string(FYear).c_str(), 0);
  if (FTrack > 0) ff::av_dict_set(&oc->metadata, "track", std::to_string(FTrack).c_str(), 0);

  FOutputFiles[index] = oc;
  ++FOutputFileCount;
  registered = true;

  if ((FOutputFormat->flags & AVFMT_NEEDNUMBER) && ff::av_filename_number_test(FileName.c_str()) == 0)
    return fail(FormatOpenError(FileName, VIDLOMAT_ERROR_IMAGE_NUMBER));
  if (!(FOutputFormat->flags & AVFMT_NOFILE)) {
    std::string error;
    if (FCheckOutputsOnly ? !TOutputTarget::CanCreate(FileName, error) : !OpenOutputTarget(index, FileName, error))
      return fail(error);
  }

  oc->max_delay = TruncSaturated<int>(FMuxMaxDelay * 1000000.0);
  // The initial demux-decode delay and the output loop count are private
  // options of the muxers that have them today.
  if (oc->priv_data) {
    ff::av_opt_set_int(oc->priv_data, "preload", TruncSaturated<int64_t>(FMuxPreload * 1000000.0), 0);
    if (FLoopOutput >= 0) ff::av_opt_set_int(oc->priv_data, "loop", FLoopOutput, 0);
    if (FMuxRate > 0) ff::av_opt_set_int(oc->priv_data, "muxrate", FMuxRate, 0);
  }
  ApplyGenericOptions(oc, FFormatOpts, AV_OPT_FLAG_ENCODING_PARAM);

  FOutputFormat = nullptr;
  FInputFormat = nullptr;
  return true;
}

int64_t TCustomFFmpeg::SourceCreationTime() {
  FHasSourceFileTime = false;
  const AVFormatContext* ic = FInputFileCount > 0 ? FInputFiles[0] : nullptr;
  if (!ic) return 0;
  struct stat st {};
  if (ic->url && stat(ic->url, &st) == 0 && S_ISREG(st.st_mode)) {
    FHasSourceFileTime = true;
    FSourceFileTime = st.st_mtim;
  }
  // The first date the input itself carries: its container's, else the first
  // stream's that has one (a camera's clip dates its tracks).
  auto dateOf = [](const AVDictionary* Metadata) -> int64_t {
    const AVDictionaryEntry* e = ff::av_dict_get(Metadata, "creation_time", nullptr, 0);
    int64_t us = 0;
    if (!e || ff::av_parse_time(&us, e->value, 0) < 0 || us <= 0) return 0;
    return static_cast<int64_t>(std::llround(static_cast<double>(us) / 1000000.0));
  };
  if (const int64_t t = dateOf(ic->metadata)) return t;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (const int64_t t = dateOf(ic->streams[i]->metadata)) return t;
  if (!FHasSourceFileTime) return 0;
  // Whole seconds, rounded as the other stamps.
  return FSourceFileTime.tv_sec + (FSourceFileTime.tv_nsec >= 500000000 ? 1 : 0);
}

bool TCustomFFmpeg::OpenOutputTarget(int Index, const std::string& FileName, std::string& Error) {
  AVFormatContext* oc = FOutputFiles[Index];
  // A local file is written under a temporary name until the run succeeds.
  TOutputTarget& target = FOutputTargets[Index];
  if (!target.Open(FileName, &oc->interrupt_callback, &oc->pb, Error)) return false;
  if (FKeepSourceDates && FHasSourceFileTime) target.KeepFileTime(FSourceFileTime);
  if (target.Atomic()) {
    // A muxer that reads its output back (a second pass that moves the index
    // to the front) must find the file it writes.
    ff::av_freep(&oc->url);
    oc->url = ff::av_strdup(target.WorkingName().c_str());
  }
  return true;
}

void TCustomFFmpeg::OpenCheckedOutputs() {
  for (int i = 0; i < FOutputFileCount; ++i) {
    AVFormatContext* oc = FOutputFiles[i];
    if (!oc || !oc->oformat || (oc->oformat->flags & AVFMT_NOFILE) || oc->pb) continue;
    const std::string name = oc->url ? oc->url : "";
    std::string error;
    if (!OpenOutputTarget(i, name, error)) throw FFMpegException(error);
  }
}

// ---------------------------------------------------------------------------
// The packet writer

void TCustomFFmpeg::WriteFrame(AVFormatContext* OutputFile, AVPacket* Packet, std::vector<AVBSFContext*>& Chain,
                               AVCodecContext* Encoder) {
  // A packet without data or side data is the end of the stream: the filters
  // give up what they still hold.
  const bool endOfStream = !Packet->data && Packet->side_data_elems == 0;
  if (endOfStream && Chain.empty()) return;
  if (!Chain.empty()) {
    // Each filter may turn one packet into none or several; they all continue
    // down the chain and reach the file in order.
    const int endStreamIndex = Packet->stream_index;
    std::vector<AVPacket*> pending;
    if (!endOfStream) pending.push_back(ff::av_packet_clone(Packet));
    ff::av_packet_unref(Packet);
    for (AVBSFContext* bsf : Chain) {
      std::vector<AVPacket*> out;
      for (AVPacket*& in : pending) {
        if (!in) continue;
        const int streamIndex = in->stream_index;
        // A filter that refuses the packet consumes it: keep a reference so
        // that it can go on unfiltered by that filter.
        AVPacket* unfiltered = ff::av_packet_clone(in);
        int a = ff::av_bsf_send_packet(bsf, in);
        if (a >= 0) {
          for (;;) {
            AVPacket* got = ff::av_packet_alloc();
            a = ff::av_bsf_receive_packet(bsf, got);
            if (a < 0) {
              ff::av_packet_free(&got);
              break;
            }
            got->stream_index = streamIndex;
            out.push_back(got);
          }
          if (a == AVERROR(EAGAIN) || a == AVERROR_EOF) a = 0;
        }
        if (a < 0 && (FOnLog || FExitOnError)) {
          char head[512];
          std::snprintf(head, sizeof head, "%s failed for stream %d, codec %s", bsf->filter->name, streamIndex,
                        Encoder && Encoder->codec ? Encoder->codec->name : "copy");
          const std::string text = FormatOpenError(head, a);
          if (FExitOnError) {
            for (AVPacket*& p : out) ff::av_packet_free(&p);
            ff::av_packet_free(&unfiltered);
            for (AVPacket*& p : pending) ff::av_packet_free(&p);
            throw FFMpegException(text);
          }
          Log(0, text);
        }
        if (a < 0 && unfiltered) {
          out.push_back(unfiltered);
          unfiltered = nullptr;
        }
        ff::av_packet_free(&unfiltered);
        ff::av_packet_free(&in);
      }
      if (endOfStream && ff::av_bsf_send_packet(bsf, nullptr) >= 0) {
        for (;;) {
          AVPacket* got = ff::av_packet_alloc();
          if (!got || ff::av_bsf_receive_packet(bsf, got) < 0) {
            ff::av_packet_free(&got);
            break;
          }
          got->stream_index = endStreamIndex;
          out.push_back(got);
        }
      }
      pending = std::move(out);
    }
    for (size_t i = 0; i < pending.size(); ++i) {
      int r = ff::av_interleaved_write_frame(OutputFile, pending[i]);
      ff::av_packet_free(&pending[i]);
      if (r >= 0 && OutputFile->pb && OutputFile->pb->error < 0) r = OutputFile->pb->error;
      if (r < 0) {
        for (size_t j = i + 1; j < pending.size(); ++j) ff::av_packet_free(&pending[j]);
        throw FFMpegException(FormatOpenError("av_interleaved_write_frame()", r));
      }
    }
    return;
  }
  int r = ff::av_interleaved_write_frame(OutputFile, Packet);
  // The muxer buffers its writes: a failed write (a full disk) shows in the
  // I/O context's error.
  if (r >= 0 && OutputFile->pb && OutputFile->pb->error < 0) r = OutputFile->pb->error;
  if (r < 0) throw FFMpegException(FormatOpenError("av_interleaved_write_frame()", r));
}
