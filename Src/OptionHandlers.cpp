// The option handlers: the engine's setters with their checks and
// conversions, the route into the libraries' option system, codec lookup and
// the time parser.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "FFmpeg.h"
#include "MyUtils.h"
#include "OptionTable.h"

namespace {

[[noreturn]] void Fail(const std::string& Msg) { throw FFMpegException(Msg); }

[[noreturn]] __attribute__((format(printf, 1, 2))) void FailFmt(const char* Format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(buf, sizeof buf, Format, args);
  va_end(args);
  throw FFMpegException(buf);
}

std::string Trim(const std::string& S) {
  size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

bool StartsWith(const std::string& S, const char* Prefix) { return S.rfind(Prefix, 0) == 0; }

// Division rounding towards minus infinity.
int FloorDiv(int A, int B) {
  int q = A / B;
  if ((A % B != 0) && ((A < 0) != (B < 0))) --q;
  return q;
}

// Today's flag values of the media types equal those of the older generation:
// video 16, audio 8, data 0, subtitle 32, attachment 0.
constexpr int kMediaTypeFlags[MEDIA_TYPE_COUNT] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                                   AV_OPT_FLAG_SUBTITLE_PARAM, 0};
static_assert(AV_OPT_FLAG_VIDEO_PARAM == 16 && AV_OPT_FLAG_AUDIO_PARAM == 8 &&
              AV_OPT_FLAG_SUBTITLE_PARAM == 32);

// The old av_set_string2: sets Name on Obj and answers the option it set (nil
// when the object has no such option or the value is refused). The option
// contexts of PrepareForTask have no children (no codec or format is attached
// to them), so the search stays on the object itself.
const AVOption* SetString(void* Obj, const char* Name, const char* Value) {
  if (!Obj) return nullptr;
  const AVOption* o = ff::av_opt_find(Obj, Name, nullptr, 0, 0);
  if (!o) return nullptr;
  if (ff::av_opt_set(Obj, Name, Value, 0) < 0) return nullptr;
  return o;
}

}  // namespace

// ---------------------------------------------------------------------------
// Formats

namespace {
void PgmYuvStep(TCustomFFmpeg& E, std::string& Name) {
  if (Name == "pgmyuv") {
    E.FPgmYuvCompatibilityHack = 1;
    Name = "image2";
    E.Log(1, "pgmyuv format is deprecated, use image2");
  }
}
}  // namespace

void TCustomFFmpeg::SetFormat(const std::string& Name) {
  if (Name.empty()) return;
  std::string name = Name;
  PgmYuvStep(*this, name);
  FInputFormat = ff::av_find_input_format(name.c_str());
  FOutputFormat = ff::av_guess_format(name.c_str(), nullptr, nullptr);
  if (!FInputFormat && !FOutputFormat) FailFmt("Unknown input or output format: %s", name.c_str());
}

void TCustomFFmpeg::SetInputFormat(const std::string& Name) {
  std::string name = Name;
  PgmYuvStep(*this, name);
  FInputFormat = ff::av_find_input_format(name.c_str());
  if (!FInputFormat) FailFmt("Unknown input format: %s", name.c_str());
}

void TCustomFFmpeg::SetOutputFormat(const std::string& Name) {
  std::string name = Name;
  PgmYuvStep(*this, name);
  FOutputFormat = ff::av_guess_format(name.c_str(), nullptr, nullptr);
  if (!FOutputFormat) FailFmt("Unknown output format: %s", name.c_str());
}

// ---------------------------------------------------------------------------
// Generic options

bool TCustomFFmpeg::SetGenericOption(const std::string& Name, const std::string& Value) {
  if (Trim(Name).empty() || Trim(Value).empty()) return false;
  // The libraries read decimal values with the C library.
  opt::TCNumericScope cNumbers;
  const char* name = Name.c_str();
  const char* value = Value.c_str();
  const AVOption* result = nullptr;
  // The rate-control options "b", "maxrate", "minrate" and "bufsize" belonged to
  // video alone in the older libraries (audio has "ab"); today they also carry
  // the audio flag, and "b" after "ab" would overwrite the audio bit rate with
  // the video one. They keep reaching the video context only.
  static const char* const videoOnly[] = {"b", "maxrate", "minrate", "bufsize"};
  const bool onlyVideo = std::any_of(std::begin(videoOnly), std::end(videoOnly),
                                     [&](const char* n) { return Name == n; });
  for (int i = 0; i < MEDIA_TYPE_COUNT; ++i) {
    if (!FCodecOpts[0]) break;
    if (onlyVideo && i != AVMEDIA_TYPE_VIDEO) continue;
    const AVOption* o =
        ff::av_opt_find(FCodecOpts[0], name, nullptr, kMediaTypeFlags[i], kMediaTypeFlags[i]);
    if (o) result = SetString(FCodecOpts[i], name, value);
  }
  if (!result) result = SetString(FFormatOpts, name, value);
  if (!result) result = SetString(FSwsOpts, name, value);
  if (!result && Name.size() > 1) {
    const char* rest = name + 1;
    switch (Name[0]) {
      case 'a': result = SetString(FCodecOpts[AVMEDIA_TYPE_AUDIO], rest, value); break;
      case 'v': result = SetString(FCodecOpts[AVMEDIA_TYPE_VIDEO], rest, value); break;
      case 's': result = SetString(FCodecOpts[AVMEDIA_TYPE_SUBTITLE], rest, value); break;
      default: break;
    }
  }
  if (!result && Name == "muxrate") {
    // A generic format option of the older libraries; today only the MPEG
    // muxers have it, as a private option: kept for the output file.
    char* end = nullptr;
    const long long rate = std::strtoll(value, &end, 10);
    if (end == value || *end || rate <= 0) return false;
    FMuxRate = rate;
    return true;
  }
  if (!result) return false;
  FOptNames.emplace_back(result->name);
  if ((FCodecOpts[0] && FCodecOpts[0]->debug) || (FFormatOpts && FFormatOpts->debug)) {
    SetLibraryLogLevel(LibraryLogLevel(2));
    FVerbose = 2;
  }
  return true;
}

bool TCustomFFmpeg::SetGenericOptionInt(const std::string& Name, int Value) {
  return SetGenericOption(Name, std::to_string(Value));
}

void TCustomFFmpeg::ApplyEncoderPrivateOptions(AVCodecContext* Ctx) {
  if (!Ctx || !Ctx->priv_data) return;
  opt::TCNumericScope cNumbers;
  for (const auto& [name, value] : FEncoderPrivateOptions)
    if (ff::av_opt_find(Ctx->priv_data, name.c_str(), nullptr, 0, 0) &&
        ff::av_opt_set(Ctx->priv_data, name.c_str(), value.c_str(), 0) < 0)
      LogFmt(0, "Invalid value '%s' for option '%s'", value.c_str(), name.c_str());
}

void TCustomFFmpeg::ApplyGenericOptions(void* Ctx, void* OptCtx, int Flags) {
  if (!Ctx || !OptCtx) return;
  // Values are written to text and read back: both in the "C" locale.
  opt::TCNumericScope cNumbers;
  for (const std::string& name : FOptNames) {
    const AVOption* o = ff::av_opt_find(OptCtx, name.c_str(), nullptr, 0, 0);
    if (!o) continue;
    uint8_t* text = nullptr;
    if (ff::av_opt_get(OptCtx, name.c_str(), 0, &text) < 0 || !text) continue;
    // The old reader gave its text through a 256-byte buffer.
    char buf[256];
    ff::av_strlcpy(buf, reinterpret_cast<const char*>(text), sizeof buf);
    ff::av_free(text);
    if (buf[0] && (o->flags & Flags) == Flags) {
      // The collected names are options of the context itself; a private
      // option of the codec or muxer (a child) is never among them, so the
      // children are not searched.
      ff::av_opt_set(Ctx, name.c_str(), buf, 0);
    }
  }
}

bool TCustomFFmpeg::SetBitrate(const std::string& Name, const std::string& Value) {
  if (Name.empty() || Value.empty()) return false;
  const bool ok = SetGenericOption(Name, Value);
  if (ok && FOnLog) {
    AVCodecContext* ctx = Name[0] == 'a' ? FCodecOpts[AVMEDIA_TYPE_AUDIO] : FCodecOpts[AVMEDIA_TYPE_VIDEO];
    int64_t b = 0;
    if (ctx && ff::av_opt_get_int(ctx, "b", 0, &b) >= 0 && b < 1000)
      Log(1, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Frame geometry

namespace {

// A decimal frame rate, read without the locale. A rate written as the first
// digits (truncated or rounded, two or more after the point) of one of the
// television rates N*1000/1001, such as "29.97", "23.976" or "59.94", is that
// rate; any other is the nearest rational with terms up to 1001000, as the
// libraries read it.
bool DecimalFrameRate(const std::string& Text, AVRational& Rate) {
  double v = 0;
  if (!opt::TryParseReal(Text, v)) return false;
  if (!(v > 0) || v > INT_MAX / 1001) {
    Rate = {0, 0};
    return true;
  }
  const size_t dot = Text.find('.');
  size_t digits = 0;
  while (dot != std::string::npos && dot + 1 + digits < Text.size() &&
         std::isdigit(static_cast<unsigned char>(Text[dot + 1 + digits])))
    ++digits;
  if (digits >= 2 && Text.find_first_of("eE") == std::string::npos) {
    const double n = std::round(v * 1001.0 / 1000.0);
    const double scale = std::pow(10.0, static_cast<double>(digits));
    const double television = n * 1000.0 / 1001.0 * scale;
    const double written = std::round(v * scale);
    if (n >= 1 && (written == std::floor(television) || written == std::round(television))) {
      Rate = {static_cast<int>(n) * 1000, 1001};
      return true;
    }
  }
  Rate = d2q(v, 1001000);
  return true;
}

}  // namespace

void TCustomFFmpeg::SetFrameRate(const std::string& Text) {
  if (Text.empty()) return;
  AVRational rate{0, 0};
  if (!DecimalFrameRate(Text, rate)) {
    // Names ("ntsc", "film") and ratios ("30000/1001").
    opt::TCNumericScope cNumbers;
    if (ff::av_parse_video_rate(&rate, Text.c_str()) < 0) rate = {0, 0};
  }
  if (rate.num <= 0 || rate.den <= 0) Fail("Incorrect frame rate");
  FFrameRate = rate;
}

void TCustomFFmpeg::SetFrameSize(const std::string& Text) {
  if (Text.empty()) return;
  int w = 0, h = 0;
  if (ff::av_parse_video_size(&w, &h, Text.c_str()) < 0) Fail("Incorrect frame size");
  FFrameWidth = w;
  FFrameHeight = h;
  if ((w % 2) != 0 || (h % 2) != 0) Fail("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::SetAspectRatio(const std::string& Text) {
  if (Text.empty()) return;
  double ratio = 0;
  const auto colon = Text.find(':');
  if (colon != std::string::npos) {
    int32_t x = 0, y = 0;
    if (!opt::TryParseInt32(Text.substr(0, colon), x)) x = 0;
    if (!opt::TryParseInt32(Text.substr(colon + 1), y)) y = 0;
    ratio = y > 0 ? static_cast<double>(x) / y : 0;
  } else if (!opt::TryParseReal(Text, ratio)) {
    ratio = 0;
  }
  if (ratio == 0) Fail("Incorrect aspect ratio specification.");
  FFrameAspectRatio = static_cast<float>(ratio);
}

void TCustomFFmpeg::SetPixelFormat(const std::string& Name) {
  if (Name == "list") {
    if (!FOnLog) return;
    // Today's table is longer than the older generation's 40 rows: every
    // format the library describes is listed, after the header row.
    char buf[128];
    Log(1, Trim(ff::av_get_pix_fmt_string(buf, sizeof buf, AV_PIX_FMT_NONE)));
    for (const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_next(nullptr); d;
         d = ff::av_pix_fmt_desc_next(d))
      Log(1, Trim(ff::av_get_pix_fmt_string(buf, sizeof buf, ff::av_pix_fmt_desc_get_id(d))));
    return;
  }
  FFramePixFmt = ff::av_get_pix_fmt(Name.c_str());
}

void TCustomFFmpeg::SetSampleFormat(const std::string& Name) {
  if (Name == "list") {
    if (!FOnLog) return;
    char buf[128];
    for (int i = -1; i < AV_SAMPLE_FMT_NB; ++i)
      Log(1, Trim(ff::av_get_sample_fmt_string(buf, sizeof buf, static_cast<AVSampleFormat>(i))));
    return;
  }
  FAudioSampleFmt = ff::av_get_sample_fmt(Name.c_str());
}

// ---------------------------------------------------------------------------
// Crop and pad

namespace {
const char* const kVerticalCropRange =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";
const char* const kHorizontalCropRange =
    "Horizontal crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

void Crop(int N, const char* Side, int& Band, int& Extent, const char* RangeMsg) {
  if (N < 0) return;
  if (N % 2 != 0) Fail(std::string(Side) + " crop size must be a multiple of 2");
  if (N >= Extent) Fail(RangeMsg);
  Band = N;
  Extent -= N;
}

void Pad(int N, const char* Side, int& Field) {
  if (N < 0) return;
  if (N % 2 != 0) Fail(std::string(Side) + " pad size must be a multiple of 2");
  Field = N;
}
}  // namespace

void TCustomFFmpeg::SetCropTop(int Size) { Crop(Size, "Top", FFrameTopBand, FFrameHeight, kVerticalCropRange); }
void TCustomFFmpeg::SetCropBottom(int Size) {
  Crop(Size, "Bottom", FFrameBottomBand, FFrameHeight, kVerticalCropRange);
}
void TCustomFFmpeg::SetCropLeft(int Size) { Crop(Size, "Left", FFrameLeftBand, FFrameWidth, kHorizontalCropRange); }
void TCustomFFmpeg::SetCropRight(int Size) {
  Crop(Size, "Right", FFrameRightBand, FFrameWidth, kHorizontalCropRange);
}
void TCustomFFmpeg::SetPadTop(int Size) { Pad(Size, "Top", FFramePadTop); }
void TCustomFFmpeg::SetPadBottom(int Size) { Pad(Size, "Bottom", FFramePadBottom); }
void TCustomFFmpeg::SetPadLeft(int Size) { Pad(Size, "Left", FFramePadLeft); }
void TCustomFFmpeg::SetPadRight(int Size) { Pad(Size, "Right", FFramePadRight); }

void TCustomFFmpeg::SetPadColor(int Color) {
  const int r = Color & 0xFF;
  const int g = (Color >> 8) & 0xFF;
  const int b = (Color >> 16) & 0xFF;
  FPadColor[0] = FloorDiv(307 * r + 602 * g + 117 * b + 512, 1024);
  FPadColor[1] = FloorDiv(-173 * r - 340 * g + 512 * b + 511, 1024) + 128;
  FPadColor[2] = FloorDiv(512 * r - 429 * g - 84 * b + 511, 1024) + 128;
}

// ---------------------------------------------------------------------------
// Quality, codecs, tags, verbosity, passes

void TCustomFFmpeg::SetVideoQScale(float Q) {
  if (!(Q > 0) || Q > 255) Fail("qscale must be > 0.0 and <= 255");
  FVideoQScale = Q;
}

namespace {
void SetCodecName(const std::string& Name, char*& Field, int& CopyFlag) {
  if (Name.empty()) return;
  if (Field) ff::av_freep(&Field);
  Field = nullptr;
  if (Name == "copy")
    CopyFlag = 1;
  else
    Field = ff::av_strdup(Name.c_str());
}

int TagOf(const std::string& Text, const char* Kind, int Line) {
  if (Text.size() != 4) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s (%s, line %d)",
                  (std::string(Kind) + " tag parameter must be 4 chars").c_str(), "FFmpeg", Line);
    throw EAssertionFailed(buf);
  }
  const auto* t = reinterpret_cast<const unsigned char*>(Text.data());
  return static_cast<int>(static_cast<uint32_t>(t[0]) | (static_cast<uint32_t>(t[1]) << 8) |
                          (static_cast<uint32_t>(t[2]) << 16) | (static_cast<uint32_t>(t[3]) << 24));
}
}  // namespace

void TCustomFFmpeg::SetVideoCodec(const std::string& Name) { SetCodecName(Name, FVideoCodecName, FVideoStreamCopy); }
void TCustomFFmpeg::SetAudioCodec(const std::string& Name) { SetCodecName(Name, FAudioCodecName, FAudioStreamCopy); }
void TCustomFFmpeg::SetSubtitleCodec(const std::string& Name) {
  SetCodecName(Name, FSubtitleCodecName, FSubtitleStreamCopy);
}

void TCustomFFmpeg::SetVideoTag(const std::string& Text) {
  if (Text.empty()) return;
  FVideoCodecTag = TagOf(Text, "video", __LINE__);
}

void TCustomFFmpeg::SetAudioTag(const std::string& Text) {
  if (Text.empty()) return;
  FAudioCodecTag = TagOf(Text, "audio", __LINE__);
}

void TCustomFFmpeg::SetVerbose(int Level) {
  FVerbose = Level;
  SetLibraryLogLevel(LibraryLogLevel(Level));
}

void TCustomFFmpeg::SetPass(int Pass) {
  if (Pass != 1 && Pass != 2) Fail("pass number can be only 1 or 2");
  FDoPass = Pass;
}

// ---------------------------------------------------------------------------
// Matrices

namespace {
// A refused text leaves the matrix as it was. The encoders divide by every
// coefficient, so each must lie in 1..255 (an unreadable one reads as 0).
void ParseMatrix(const std::string& Text, uint16_t*& Field) {
  std::array<uint16_t, 64> values{};
  const char* p = Text.c_str();
  for (int i = 0; i < 64; ++i) {
    const int64_t v = opt::ReadIntPrefix(p, nullptr);
    if (v < 1 || v > 255)
      FailFmt("Invalid coefficient in matrix \"%s\" at coeff %d: it must lie between 1 and 255", Text.c_str(), i);
    values[static_cast<size_t>(i)] = static_cast<uint16_t>(v);
    if (i == 63) break;
    p = std::strchr(p, ',');
    if (!p) FailFmt("Syntax error in matrix \"%s\" at coeff %d", Text.c_str(), i);
    ++p;
  }
  auto* dest = static_cast<uint16_t*>(ff::av_malloc(64 * sizeof(uint16_t)));
  if (!dest) Fail("Out of memory");
  std::memcpy(dest, values.data(), 64 * sizeof(uint16_t));
  if (Field) ff::av_freep(&Field);
  Field = dest;
}
}  // namespace

void TCustomFFmpeg::SetIntraMatrix(const std::string& Text) { ParseMatrix(Text, FIntraMatrix); }
void TCustomFFmpeg::SetInterMatrix(const std::string& Text) { ParseMatrix(Text, FInterMatrix); }

// ---------------------------------------------------------------------------
// Times

int64_t TCustomFFmpeg::ParseTime(const std::string& OptionName, const std::string& Text, bool IsDuration) {
  // av_parse_time answers an error code where the older parse_date answered
  // the smallest Int64 value.
  int64_t r = 0;
  if (ff::av_parse_time(&r, Text.c_str(), IsDuration ? 1 : 0) < 0 || r == INT64_MIN)
    FailFmt("Invalid %s specification for %s: %s", IsDuration ? "duration" : "date", OptionName.c_str(),
            Text.c_str());
  return r;
}

void TCustomFFmpeg::SetRecordingTime(const std::string& Text) {
  const int64_t ms = ParseTime("t", Text, true) / 1000;
  // SetDurationMs takes Integer milliseconds; longer durations are clamped.
  SetDurationMs(static_cast<int>(std::clamp<int64_t>(ms, INT_MIN, INT_MAX)));
}

void TCustomFFmpeg::SetDurationMs(int Ms) {
  if (Ms <= 0) return;
  FRecordingTime = static_cast<int64_t>(Ms) * 1000;
  FTotalDurationMs = Ms;
}

void TCustomFFmpeg::SetStartTime(const std::string& Text) { FStartTime = ParseTime("ss", Text, true); }

void TCustomFFmpeg::SetInputTsOffset(const std::string& Text) {
  FInputTsOffsetOpt = ParseTime("itsoffset", Text, true);
}

void TCustomFFmpeg::SetRecTimestamp(const std::string& Text) {
  const int64_t us = ParseTime("timestamp", Text, false);
  FRecTimestamp = static_cast<int64_t>(std::nearbyint(static_cast<double>(us) / 1000000.0));
}

// ---------------------------------------------------------------------------
// Per-stream timestamp scale, maps

void TCustomFFmpeg::SetInputTsScale(const std::string& Text) {
  const char* p = Text.c_str();
  char* tail = nullptr;
  const long index = std::strtol(p, &tail, 0);
  p = tail;
  if (*p) ++p;
  const double scale = opt::ReadRealPrefix(p);
  if (index < 0 || index >= MAX_STREAMS) FailFmt("stream index over MAX_STREAMS(%d)", MAX_STREAMS);
  // The scale belongs to the input file opened next; the table has room for
  // MAX_FILES files only.
  if (FInputFileCount < 0 || FInputFileCount >= MAX_FILES)
    FailFmt("Too many input files for itsscale: at most %d input files", MAX_FILES);
  FInputTsScale[FInputFileCount][index] = scale;
}

namespace {
// Reads the number at P (any separator may follow it) and moves P past the
// number and one separator character; Separated tells whether one followed.
int ReadMapNumber(const char*& P, bool* Separated = nullptr) {
  char* tail = nullptr;
  const int value = static_cast<int>(std::strtol(P, &tail, 0));
  P = tail;
  if (Separated) *Separated = *P != 0;
  if (*P) ++P;
  return value;
}
}  // namespace

void TCustomFFmpeg::AddStreamMap(const std::string& Text) {
  // The table holds MAX_STREAM_MAPS entries: refuse more rather than overrun it.
  if (FStreamMapCount >= MAX_STREAM_MAPS)
    FailFmt("Too many stream maps: at most %d -map entries are allowed", MAX_STREAM_MAPS);
  TStreamMap m{};
  const char* p = Text.c_str();
  m.FileIndex = ReadMapNumber(p);
  bool syncGiven = false;
  m.StreamIndex = ReadMapNumber(p, &syncGiven);
  if (syncGiven) {
    m.SyncFileIndex = ReadMapNumber(p);
    m.SyncStreamIndex = ReadMapNumber(p);
  } else {
    m.SyncFileIndex = m.FileIndex;
    m.SyncStreamIndex = m.StreamIndex;
  }
  FStreamMaps[FStreamMapCount++] = m;
}

void TCustomFFmpeg::AddMetaDataMap(const std::string& Text) {
  // The table holds MAX_META_DATA_MAPS entries: refuse more rather than overrun it.
  if (FMetaDataMapCount >= MAX_META_DATA_MAPS)
    FailFmt("Too many metadata maps: at most %d -map_meta_data entries are allowed", MAX_META_DATA_MAPS);
  TMetaDataMap m{};
  const char* p = Text.c_str();
  m.OutFile = ReadMapNumber(p);
  m.InFile = ReadMapNumber(p);
  FMetaDataMaps[FMetaDataMapCount++] = m;
}

// ---------------------------------------------------------------------------
// Target presets

namespace {
int RateTimes1000(int64_t Num, int64_t Den) {
  return static_cast<int>(std::nearbyint(static_cast<double>(Num) * 1000.0 / static_cast<double>(Den)));
}

int NormOfRate(int Fr) {
  if (Fr == 25000) return 0;
  if (Fr == 29970 || Fr == 23976) return 1;
  return -1;
}
}  // namespace

void TCustomFFmpeg::SetTarget(const std::string& Text, bool PalWhenUnknown) {
  const std::string text = Trim(Text);
  std::string norm, type;
  if (StartsWith(text, "pal-")) {
    norm = "pal";
    type = text.substr(4);
  } else if (StartsWith(text, "ntsc-")) {
    norm = "ntsc";
    type = text.substr(5);
  } else if (StartsWith(text, "film-")) {
    norm = "film";
    type = text.substr(5);
  } else {
    norm = "auto";
    type = text;
  }

  int normIndex = 1;
  if (norm == "pal") {
    normIndex = 0;
  } else if (norm == "ntsc") {
    normIndex = 1;
  } else if (norm == "film") {
    normIndex = 2;
  } else {
    if (FFrameRate.den == 0) Fail("frame_rate is invalid.");
    int found = NormOfRate(RateTimes1000(FFrameRate.num, FFrameRate.den));
    for (int i = 0; found < 0 && i < FInputFileCount; ++i) {
      AVFormatContext* ic = FInputFiles[i];
      if (!ic) continue;
      for (unsigned j = 0; j < ic->nb_streams; ++j) {
        AVStream* st = ic->streams[j];
        if (!st->codecpar || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        // The older codec context carried the frame rate as its time base
        // (1/25 for 25 fps). Today's decoder contexts may leave it unset; then
        // the stream's average frame rate (the inverse) is used.
        AVCodecContext* cc = j < FInputCodecs[i].size() ? FInputCodecs[i][j] : nullptr;
        int fr = -1;
        if (cc && cc->time_base.num > 0 && cc->time_base.den > 0)
          fr = RateTimes1000(cc->time_base.den, cc->time_base.num);
        else if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
          fr = RateTimes1000(st->avg_frame_rate.num, st->avg_frame_rate.den);
        found = NormOfRate(fr);
        if (found >= 0) break;
      }
    }
    normIndex = found >= 0 ? found : (PalWhenUnknown ? 0 : 1);
    if (FVerbose > 0) LogFmt(1, "Assuming %s for target.", normIndex == 0 ? "PAL" : "NTSC");
  }

  static const char* const kRates[3] = {"25", "30000/1001", "24000/1001"};
  const char* rate = kRates[normIndex];
  const bool pal = normIndex == 0;

  enum { tVcd, tSvcd, tDvd, tDv, tDv50 } t;
  if (type == "vcd")
    t = tVcd;
  else if (type == "svcd")
    t = tSvcd;
  else if (type == "dvd")
    t = tDvd;
  else if (type == "dv")
    t = tDv;
  else if (type == "dv50")
    t = tDv50;
  else
    Fail("Unknown target type");

  // The older option "gop" is "g" today; every other generic name of the
  // presets still exists on today's codec or format option contexts, except
  // the two noted at SetGenericOption calls below.
  auto generic = [this](const char* Name, const std::string& Value) { SetGenericOption(Name, Value); };
  auto defaultAspect = [this](const char* Aspect) {
    if (FFrameAspectRatio == 0) {
      LogFmt(1, "Assuming %s for aspect ratio", Aspect);
      SetAspectRatio(Aspect);
    }
  };

  switch (t) {
    case tVcd:
      SetVideoCodec("mpeg1video");
      SetAudioCodec("mp2");
      SetOutputFormat("vcd");
      SetFrameSize(pal ? "352x288" : "352x240");
      SetFrameRate(rate);
      generic("g", pal ? "15" : "18");
      generic("b", "1150000");
      generic("maxrate", "1150000");
      generic("minrate", "1150000");
      generic("bufsize", "327680");
      generic("ab", "224000");
      FAudioSampleRate = 44100;
      FAudioChannels = 2;
      generic("packetsize", "2324");
      generic("muxrate", "1411200");
      FMuxPreload = 0.44f;
      defaultAspect("4:3");
      break;
    case tSvcd:
      SetVideoCodec("mpeg2video");
      SetAudioCodec("mp2");
      SetOutputFormat("svcd");
      SetFrameSize(pal ? "480x576" : "480x480");
      SetFrameRate(rate);
      generic("g", pal ? "15" : "18");
      generic("b", "2040000");
      generic("maxrate", "2516000");
      generic("minrate", "0");
      generic("bufsize", "1835008");
      // The older codec flag "+scan_offset" is a private option of today's
      // MPEG-2 encoder.
      FScanOffset = true;
      generic("ab", "224000");
      FAudioSampleRate = 44100;
      generic("packetsize", "2324");
      if (FAudioChannels == 1) FAudioChannels = 2;
      defaultAspect("4:3");
      break;
    case tDvd:
      SetVideoCodec("mpeg2video");
      SetAudioCodec("ac3");
      SetOutputFormat("dvd");
      SetFrameSize(pal ? "720x576" : "720x480");
      SetFrameRate(rate);
      generic("g", pal ? "15" : "18");
      generic("b", "6000000");
      generic("maxrate", "9000000");
      generic("minrate", "0");
      generic("bufsize", "1835008");
      generic("packetsize", "2048");
      generic("muxrate", "10080000");
      generic("ab", "448000");
      FAudioSampleRate = 48000;
      if (FAudioChannels == 1) FAudioChannels = 2;
      defaultAspect("16:9");
      break;
    case tDv:
    case tDv50:
      SetOutputFormat("dv");
      SetFrameSize(pal ? "720x576" : "720x480");
      if (t == tDv50)
        SetPixelFormat("yuv422p");
      else
        SetPixelFormat(pal ? "yuv420p" : "yuv411p");
      SetFrameRate(rate);
      FAudioSampleRate = 48000;
      FAudioChannels = 2;
      break;
  }
}

// ---------------------------------------------------------------------------
// Video statistics file

void TCustomFFmpeg::SetVStatsFile(const std::string& FileName) { SetOwnedString(FVStatsFileName, FileName.c_str()); }

void TCustomFFmpeg::SetDefaultVStatsFile(bool On) {
  FreeOwnedString(FVStatsFileName);
  if (!On) return;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string folder = ExecutableFolder();
  if (folder.empty() || folder.back() != '/') folder += '/';
  char name[4096];
  std::snprintf(name, sizeof name, "%svstats_%s.log", folder.c_str(), stamp);
  SetOwnedString(FVStatsFileName, name);
}

// ---------------------------------------------------------------------------
// Video hook, bitstream filters

void TCustomFFmpeg::AddVideoHook(const std::string& Text) {
  constexpr int kMaxHookWords = 64;
  // The words of earlier hooks stay allocated while any hook may hold them.
  if (!FFrameHooks) FHookArgTexts.clear();
  auto copy = std::make_unique<char[]>(Text.size() + 1);
  std::memcpy(copy.get(), Text.c_str(), Text.size() + 1);
  const char* delim = Text.find('|') != std::string::npos ? "|" : " ";
  char* words[kMaxHookWords + 1] = {};
  int count = 0;
  char* save = nullptr;
  for (char* w = strtok_r(copy.get(), delim, &save); w; w = strtok_r(nullptr, delim, &save)) {
    // The argument vector has 64 places: refuse more words rather than overrun it.
    if (count >= kMaxHookWords)
      FailFmt("Too many words in video hook (at most %d): %s", kMaxHookWords, Text.c_str());
    words[count++] = w;
  }
  FHookArgTexts.push_back(std::move(copy));
  if (AddFrameHook(FFrameHooks, count, words) != 0) Fail("Failed to add video hook function: " + Text);
  FUsingVHook = true;
}

void TCustomFFmpeg::AddBitstreamFilter(const std::string& OptionName, const std::string& Text) {
  if (Text.empty() || Text[0] == '=') return;
  const auto eq = Text.find('=');
  const std::string name = eq != std::string::npos ? Text.substr(0, eq) : Text;
  if (!ff::av_bsf_get_by_name(name.c_str())) FailFmt("Unknown bitstream filter %s", Trim(Text).c_str());
  std::vector<std::string>* chain = &FSubtitleBitstreamFilters;
  if (!OptionName.empty() && OptionName[0] == 'v')
    chain = &FVideoBitstreamFilters;
  else if (!OptionName.empty() && OptionName[0] == 'a')
    chain = &FAudioBitstreamFilters;
  chain->push_back(Text);
}

// ---------------------------------------------------------------------------
// Codec lookup

bool TCustomFFmpeg::FindCodec(const std::string& Name, AVMediaType Type, bool Encoder, AVCodecID& CodecId,
                              const AVCodec** Codec) {
  if (Codec) *Codec = nullptr;
  if (Name.empty()) {
    CodecId = AV_CODEC_ID_NONE;
    return true;
  }
  // The encoder asked for as "libfaac" is the libraries' native AAC codec.
  const std::string name = Name == "libfaac" ? "aac" : Name;
  const AVCodec* c = Encoder ? ff::avcodec_find_encoder_by_name(name.c_str())
                             : ff::avcodec_find_decoder_by_name(name.c_str());
  const char* kind = Encoder ? "encoder" : "decoder";
  if (!c) {
    FLastError = "Unknown " + std::string(kind) + " '" + Name + "'";
    return false;
  }
  if (c->type != Type) {
    FLastError = "Invalid " + std::string(kind) + " type '" + Name + "'";
    return false;
  }
  CodecId = c->id;
  if (Codec) *Codec = c;
  return true;
}

// ---------------------------------------------------------------------------
// Plain setters

void TCustomFFmpeg::SetStartTimeUs(int64_t Value) {
  if (Value > 0) FStartTime = Value;
}
void TCustomFFmpeg::SetProgramId(int Value) {
  if (Value >= 0) FProgramId = Value;
}
void TCustomFFmpeg::SetSampleRate(int Value) {
  if (Value > 0) FAudioSampleRate = Value;
}
void TCustomFFmpeg::SetChannels(int Value) {
  if (Value > 0) FAudioChannels = Value;
}
void TCustomFFmpeg::SetAudioVolume(int Value) {
  if (Value >= 0) FAudioVolume = Value;
}
void TCustomFFmpeg::SetLoudnessTarget(double Value) {
  if (Value == 0 || (Value >= -70 && Value <= -5)) FLoudnessTarget = Value;
}
void TCustomFFmpeg::SetAudioSyncMethod(int Value) { FAudioSyncMethod = Value; }
void TCustomFFmpeg::SetVideoSyncMethod(int Value) { FVideoSyncMethod = Value; }
void TCustomFFmpeg::SetMuxMaxDelay(float Value) {
  if (Value > 0) FMuxMaxDelay = Value;
}
void TCustomFFmpeg::SetMuxPreload(float Value) {
  if (Value > 0) FMuxPreload = Value;
}
void TCustomFFmpeg::SetTitle(const std::string& Value) {
  if (!Value.empty()) FTitle = Value;
}
void TCustomFFmpeg::SetAuthor(const std::string& Value) {
  if (!Value.empty()) FAuthor = Value;
}
void TCustomFFmpeg::SetCopyright(const std::string& Value) {
  if (!Value.empty()) FCopyright = Value;
}
void TCustomFFmpeg::SetComment(const std::string& Value) {
  if (!Value.empty()) FComment = Value;
}
void TCustomFFmpeg::SetGenre(const std::string& Value) {
  if (!Value.empty()) FGenre = Value;
}
void TCustomFFmpeg::SetAlbum(const std::string& Value) {
  if (!Value.empty()) FAlbum = Value;
}
void TCustomFFmpeg::SetYear(int Value) {
  if (Value > 0) FYear = Value;
}
void TCustomFFmpeg::SetTrack(int Value) {
  if (Value > 0) FTrack = Value;
}
void TCustomFFmpeg::SetVideoChannel(int Value) { FVideoChannel = Value; }
void TCustomFFmpeg::SetVideoStandard(const std::string& Value) { SetOwnedString(FVideoStandard, Value.c_str()); }
void TCustomFFmpeg::SetVideoFilters(const std::string& Value) {
  if (!Value.empty()) FVideoFilters = Value;
}
void TCustomFFmpeg::SetMeThreshold(int Value) { FMeThreshold = Value; }
void TCustomFFmpeg::SetTopFieldFirst(int Value) { FTopFieldFirst = Value; }
void TCustomFFmpeg::SetRcOverride(const std::string& Value) { SetOwnedString(FVideoRcOverride, Value.c_str()); }
