// The option table and the option parser: option text
// normalisation and splitting, the table of 106 names matched whole and
// case-sensitively in table order, argument conversions, AddOption and
// ApplyExtraOptions.
#include "OptionTable.h"

#include <cctype>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "FFmpeg.h"

namespace opt {

namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

// Parses a whole integer; Bits 32 or 64.
bool TryParseInt(const std::string& S, int Bits, int64_t& Out) {
  size_t i = 0;
  while (i < S.size() && IsBlank(S[i])) ++i;
  bool negative = false;
  if (i < S.size() && (S[i] == '+' || S[i] == '-')) {
    negative = S[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < S.size() && S[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < S.size() && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= S.size()) return false;
  const uint64_t limitHex = Bits == 32 ? 0xFFFFFFFFull : UINT64_MAX;
  const uint64_t limitDec = Bits == 32 ? (negative ? 2147483648ull : 2147483647ull)
                                       : (negative ? 9223372036854775808ull : 9223372036854775807ull);
  uint64_t v = 0;
  for (; i < S.size(); ++i) {
    const char c = S[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    const unsigned base = hex ? 16 : 10;
    const uint64_t limit = hex ? limitHex : limitDec;
    if (v > (limit - static_cast<uint64_t>(d)) / base) return false;
    v = v * base + static_cast<uint64_t>(d);
  }
  if (hex) {
    // Hexadecimal uses all bits of the type ($FFFFFFFF is -1).
    int64_t r = Bits == 32 ? static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(v)))
                           : static_cast<int64_t>(v);
    Out = negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(r)) : r;  // -$8000000000000000 stays itself
  } else {
    Out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  }
  return true;
}

}  // namespace

bool TryParseInt32(const std::string& S, int32_t& Out) {
  int64_t v = 0;
  if (!TryParseInt(S, 32, v)) return false;
  Out = static_cast<int32_t>(v);
  return true;
}

bool TryParseInt64(const std::string& S, int64_t& Out) { return TryParseInt(S, 64, Out); }

bool TryParseReal(const std::string& S, double& Out) {
  size_t i = 0;
  while (i < S.size() && IsBlank(S[i])) ++i;
  const size_t start = i;
  if (i < S.size() && (S[i] == '+' || S[i] == '-')) ++i;
  bool digits = false;
  while (i < S.size() && std::isdigit(static_cast<unsigned char>(S[i]))) {
    ++i;
    digits = true;
  }
  if (i < S.size() && S[i] == '.') {
    ++i;
    while (i < S.size() && std::isdigit(static_cast<unsigned char>(S[i]))) {
      ++i;
      digits = true;
    }
  }
  if (!digits) return false;
  if (i < S.size() && (S[i] == 'e' || S[i] == 'E')) {
    ++i;
    if (i < S.size() && (S[i] == '+' || S[i] == '-')) ++i;
    bool expDigits = false;
    while (i < S.size() && std::isdigit(static_cast<unsigned char>(S[i]))) {
      ++i;
      expDigits = true;
    }
    if (!expDigits) return false;
  }
  if (i != S.size()) return false;
  Out = ReadRealPrefix(S.c_str() + start);
  return true;
}

double ReadRealPrefix(const char* P) {
  while (IsBlank(*P)) ++P;
  bool negative = false;
  if (*P == '+' || *P == '-') negative = *P++ == '-';
  // from_chars never looks at the locale (strtod would read "29.97" as 29 under
  // a comma-decimal one).
  double v = 0;
  const auto [end, error] = std::from_chars(P, P + std::strlen(P), v, std::chars_format::general);
  if (error != std::errc() || end == P) return 0;
  return negative ? -v : v;
}

namespace {
locale_t CNumericLocale() {
  static const locale_t c = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}
}  // namespace

TCNumericScope::TCNumericScope() : FPrevious(uselocale(CNumericLocale())) {}

TCNumericScope::~TCNumericScope() { uselocale(FPrevious); }

int64_t ReadIntPrefix(const char* P, const char** End) {
  const char* p = P;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  int base = 10;
  if (*p == '$') {
    base = 16;
    ++p;
  } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && std::isxdigit(static_cast<unsigned char>(p[2]))) {
    base = 16;
    p += 2;
  }
  const char* digitsStart = p;
  uint64_t v = 0;
  for (;; ++p) {
    int d;
    if (*p >= '0' && *p <= '9')
      d = *p - '0';
    else if (base == 16 && *p >= 'a' && *p <= 'f')
      d = *p - 'a' + 10;
    else if (base == 16 && *p >= 'A' && *p <= 'F')
      d = *p - 'A' + 10;
    else
      break;
    v = v * static_cast<unsigned>(base) + static_cast<uint64_t>(d);
  }
  if (p == digitsStart) {
    if (End) *End = P;
    return 0;
  }
  if (End) *End = p;
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

std::string NormalizeOptionText(const std::string& Text) {
  size_t b = 0, e = Text.size();
  while (b < e && static_cast<unsigned char>(Text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(Text[e - 1]) <= ' ') --e;
  std::string out;
  out.reserve(e - b);
  for (size_t i = b; i < e; ++i) {
    const char c = Text[i];
    if (c == '\r' || c == '\n') {
      const char pair = c == '\r' ? '\n' : '\r';
      if (i + 1 < e && Text[i + 1] == pair) ++i;
      out += '\n';
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> SplitOptionText(const std::string& Text) {
  std::vector<std::pair<std::string, std::string>> result;
  const std::string text = NormalizeOptionText(Text);
  if (text.empty()) return result;
  size_t start = 0;
  while (true) {
    const size_t lf = text.find('\n', start);
    const std::string line = text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
      result.emplace_back(line, std::string());
    else
      result.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return result;
}

}  // namespace opt

// ---------------------------------------------------------------------------
// The option table

namespace {

enum class TArg { None, Integer, Integer64, Real, Text, Duration, Date };

// One option value, converted according to its row's argument kind.
struct TOptionValue {
  const std::string& Name;
  const std::string& Text;
  int32_t Int = 0;
  int64_t Int64 = 0;
  float Real = 0;
};

using TOptionAction = void (*)(TCustomFFmpeg& E, const TOptionValue& V);

struct TOptionRow {
  const char* Name;
  TArg Arg;
  TOptionAction Action;  // nullptr: the row only logs that it does nothing
};

void LogOnly(TCustomFFmpeg& E, const TOptionValue& V) { E.Log(1, "Do nothing: option - " + V.Name); }

#define ACT []([[maybe_unused]] TCustomFFmpeg& E, [[maybe_unused]] const TOptionValue& V)

// Matched whole and case-sensitively, first row first.
const TOptionRow kOptionTable[] = {
    {"L", TArg::None, nullptr},
    {"h", TArg::None, nullptr},
    {"version", TArg::None, nullptr},
    {"formats", TArg::None, nullptr},
    {"f", TArg::Text, ACT { E.SetFormat(V.Text); }},
    {"i", TArg::None, nullptr},  // input files are opened by OpenInputFile
    {"y", TArg::None, nullptr},  // overwriting is the caller's decision
    {"map", TArg::Text, ACT { E.AddStreamMap(V.Text); }},
    {"map_meta_data", TArg::Text, ACT { E.AddMetaDataMap(V.Text); }},
    {"t", TArg::Duration, ACT { E.SetRecordingTime(V.Text); }},
    {"fs", TArg::Integer64, ACT { E.FLimitFileSize = V.Int64; }},
    {"ss", TArg::Duration, ACT { E.SetStartTime(V.Text); }},
    {"itsoffset", TArg::Duration, ACT { E.SetInputTsOffset(V.Text); }},
    {"itsscale", TArg::Text, ACT { E.SetInputTsScale(V.Text); }},
    {"title", TArg::Text, ACT { E.SetTitle(V.Text); }},
    {"timestamp", TArg::Date, ACT { E.SetRecTimestamp(V.Text); }},
    {"author", TArg::Text, ACT { E.SetAuthor(V.Text); }},
    {"copyright", TArg::Text, ACT { E.SetCopyright(V.Text); }},
    {"comment", TArg::Text, ACT { E.SetComment(V.Text); }},
    {"genre", TArg::Text, ACT { E.SetGenre(V.Text); }},
    {"album", TArg::Text, ACT { E.SetAlbum(V.Text); }},
    {"dframes", TArg::Integer, ACT { E.FMaxFrames[2] = V.Int; }},
    {"benchmark", TArg::None, nullptr},
    {"dump", TArg::None, ACT { E.FDoPktDump = 1; }},
    {"hex", TArg::None, ACT { E.FDoHexDump = 1; }},
    {"re", TArg::None, ACT { E.FRateEmu = 1; }},
    {"loop_input", TArg::None, ACT { E.FLoopInput = 1; }},
    {"loop_output", TArg::Integer, ACT { E.FLoopOutput = V.Int; }},
    {"v", TArg::Integer, ACT { E.SetVerbose(V.Int); }},
    {"target", TArg::Text, ACT { E.SetTarget(V.Text); }},
    {"threads", TArg::None, ACT { throw FFMpegException("TODO: option - " + V.Name); }},
    {"vsync", TArg::Integer, ACT { E.FVideoSyncMethod = V.Int; }},
    {"async", TArg::Integer, ACT { E.FAudioSyncMethod = V.Int; }},
    {"adrift_threshold", TArg::Real, ACT { E.FAudioDriftThreshold = V.Real; }},
    {"vglobal", TArg::Integer, ACT { E.FVideoGlobalHeader = V.Int; }},
    {"copyts", TArg::None, ACT { E.FCopyTs = true; }},
    {"shortest", TArg::None, ACT { E.FShortest = 1; }},
    {"dts_delta_threshold", TArg::Real, ACT { E.FDtsDeltaThreshold = V.Real; }},
    {"programid", TArg::Integer, ACT { E.FProgramId = V.Int; }},
    {"astream", TArg::Integer, ACT { E.FAudioSourceStream = V.Int; }},
    {"xerror", TArg::None, ACT { E.FExitOnError = true; }},
    {"b", TArg::Text, ACT { E.SetBitrate("b", V.Text); }},
    {"vb", TArg::Text, ACT { E.SetBitrate("vb", V.Text); }},
    {"vframes", TArg::Integer, ACT { E.FMaxFrames[0] = V.Int; }},
    {"r", TArg::Text, ACT { E.SetFrameRate(V.Text); }},
    {"s", TArg::Text, ACT { E.SetFrameSize(V.Text); }},
    {"aspect", TArg::Text, ACT { E.SetAspectRatio(V.Text); }},
    {"pix_fmt", TArg::Text, ACT { E.SetPixelFormat(V.Text); }},
    {"croptop", TArg::Integer, ACT { E.SetCropTop(V.Int); }},
    {"cropbottom", TArg::Integer, ACT { E.SetCropBottom(V.Int); }},
    {"cropleft", TArg::Integer, ACT { E.SetCropLeft(V.Int); }},
    {"cropright", TArg::Integer, ACT { E.SetCropRight(V.Int); }},
    {"padtop", TArg::Integer, ACT { E.SetPadTop(V.Int); }},
    {"padbottom", TArg::Integer, ACT { E.SetPadBottom(V.Int); }},
    {"padleft", TArg::Integer, ACT { E.SetPadLeft(V.Int); }},
    {"padright", TArg::Integer, ACT { E.SetPadRight(V.Int); }},
    {"padcolor", TArg::Integer, ACT { E.SetPadColor(V.Int); }},
    {"intra", TArg::None, ACT { E.FIntraOnly = 1; }},
    {"vn", TArg::None, ACT { E.FVideoDisable = 1; }},
    {"vdt", TArg::Integer, ACT { E.FVideoDiscard = V.Int; }},
    {"qscale", TArg::Real, ACT { E.SetVideoQScale(V.Real); }},
    {"rc_override", TArg::Text, ACT { E.SetRcOverride(V.Text); }},
    {"vcodec", TArg::Text, ACT { E.SetVideoCodec(V.Text); }},
    {"me_threshold", TArg::Integer, ACT { E.FMeThreshold = V.Int; }},
    {"sameq", TArg::None, ACT { E.FSameQuality = 1; }},
    {"pass", TArg::Integer, ACT { E.SetPass(V.Int); }},
    {"passlogfile", TArg::Text, ACT { E.FPassLogFileName = V.Text; }},
    {"deinterlace", TArg::None, ACT { E.FDoDeinterlace = 1; }},
    {"psnr", TArg::None, ACT { E.FDoPsnr = 1; }},
    {"vstats", TArg::None, ACT { E.SetDefaultVStatsFile(true); }},
    {"vstats_file", TArg::Text, ACT { E.SetVStatsFile(V.Text); }},
    {"vhook", TArg::Text, ACT { E.AddVideoHook(V.Text); }},
    {"vfilters", TArg::Text, ACT { E.SetVideoFilters(V.Text); }},
    {"subtitles", TArg::Text, ACT { E.FSubtitleFile = V.Text; }},
    {"substream", TArg::Integer, ACT { E.FSubtitleStream = V.Int; }},
    {"intra_matrix", TArg::Text, ACT { E.SetIntraMatrix(V.Text); }},
    {"inter_matrix", TArg::Text, ACT { E.SetInterMatrix(V.Text); }},
    {"top", TArg::Integer, ACT { E.FTopFieldFirst = V.Int; }},
    {"dc", TArg::Integer, ACT { E.FIntraDcPrecision = V.Int; }},
    {"vtag", TArg::Text, ACT { E.SetVideoTag(V.Text); }},
    {"newvideo", TArg::None, ACT { E.AddVideoStreamToLast(); }},
    {"qphist", TArg::None, ACT { E.FQpHist = 1; }},
    {"ab", TArg::Text, ACT { E.SetBitrate("ab", V.Text); }},
    {"aframes", TArg::Integer, ACT { E.FMaxFrames[1] = V.Int; }},
    {"aq", TArg::Real, ACT { E.FAudioQScale = V.Real; }},
    {"ar", TArg::Integer, ACT { E.SetSampleRate(V.Int); }},
    {"ac", TArg::Integer, ACT { E.SetChannels(V.Int); }},
    {"an", TArg::None, ACT { E.FAudioDisable = 1; }},
    {"acodec", TArg::Text, ACT { E.SetAudioCodec(V.Text); }},
    {"atag", TArg::Text, ACT { E.SetAudioTag(V.Text); }},
    {"vol", TArg::Integer, ACT { E.FAudioVolume = V.Int; }},
    {"loudness", TArg::Real, ACT { E.SetLoudnessTarget(V.Real); }},
    {"newaudio", TArg::None, ACT { E.AddAudioStreamToLast(); }},
    {"alang", TArg::Text, ACT { E.FAudioLanguage = V.Text; }},
    {"sample_fmt", TArg::Text, ACT { E.SetSampleFormat(V.Text); }},
    {"sn", TArg::None, ACT { E.FSubtitleDisable = 1; }},
    {"scodec", TArg::Text, ACT { E.SetSubtitleCodec(V.Text); }},
    {"newsubtitle", TArg::None, ACT { E.AddSubtitleStreamToLast(); }},
    {"slang", TArg::Text, ACT { E.FSubtitleLanguage = V.Text; }},
    {"vc", TArg::Integer, ACT { E.FVideoChannel = V.Int; }},
    {"tvstd", TArg::Text, ACT { E.SetVideoStandard(V.Text); }},
    {"isync", TArg::None, ACT { E.FInputSync = 1; }},
    {"muxdelay", TArg::Real, ACT { E.FMuxMaxDelay = V.Real; }},
    {"muxpreload", TArg::Real, ACT { E.FMuxPreload = V.Real; }},
    {"absf", TArg::Text, ACT { E.AddBitstreamFilter("absf", V.Text); }},
    {"vbsf", TArg::Text, ACT { E.AddBitstreamFilter("vbsf", V.Text); }},
    {"sbsf", TArg::Text, ACT { E.AddBitstreamFilter("sbsf", V.Text); }},
    {"apre", TArg::None, nullptr},
    {"vpre", TArg::None, nullptr},
    {"spre", TArg::None, nullptr},
};

#undef ACT

static_assert(std::size(kOptionTable) == 110);

[[noreturn]] void BadValue(const char* Format, const std::string& Value) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, Format, Value.c_str());
  throw FFMpegException(buf);
}

}  // namespace

void TCustomFFmpeg::AddOption(const std::string& Name, const std::string& Value) {
  for (const TOptionRow& row : kOptionTable) {
    if (Name != row.Name) continue;
    TOptionValue v{Name, Value};
    switch (row.Arg) {
      case TArg::Integer:
        if (!opt::TryParseInt32(Value, v.Int)) BadValue("'%s' is not a valid integer value", Value);
        break;
      case TArg::Integer64:
        if (!opt::TryParseInt64(Value, v.Int64)) BadValue("'%s' is not a valid integer value", Value);
        break;
      case TArg::Real: {
        double d = 0;
        if (!opt::TryParseReal(Value, d)) BadValue("'%s' is not a valid floating point value", Value);
        v.Real = static_cast<float>(d);
        break;
      }
      default:  // none, text, duration, date: the row's handler reads the text
        break;
    }
    if (row.Action)
      row.Action(*this, v);
    else
      LogOnly(*this, v);
    return;
  }
  // Not the engine's: a generic option of the libraries, else perhaps an
  // encoder's own. A name nobody takes is dropped silently.
  if (!SetGenericOption(Name, Value) && !Name.empty()) FEncoderPrivateOptions.emplace_back(Name, Value);
}

void TCustomFFmpeg::ApplyExtraOptions(const std::string& Text) {
  for (const auto& [name, value] : opt::SplitOptionText(Text)) AddOption(name, value);
}
