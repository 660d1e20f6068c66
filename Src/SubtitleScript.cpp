#include "SubtitleScript.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "FFmpeg.h"
#include "MediaHeaders.h"

namespace {

std::string Lower(std::string Text) {
  for (char& c : Text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return Text;
}

std::string ErrorText(int Code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  ff::av_strerror(Code, text, sizeof text);
  return text;
}

// ASS time: H:MM:SS.cc
std::string AssTime(int64_t Ms) {
  Ms = std::max<int64_t>(0, Ms);
  const int64_t cs = Ms / 10;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02d:%02d.%02d", static_cast<long long>(cs / 360000),
                static_cast<int>(cs / 6000 % 60), static_cast<int>(cs / 100 % 60), static_cast<int>(cs % 100));
  return text;
}

// The text of a cue as shown: its hard lines ("\N", "\n" or a line break
// between them), each as the width of the characters it shows in letters
// (override blocks "{...}" show nothing; "\h" is a space; a character from
// U+3000 on, the CJK scripts', is two letters wide).
std::vector<int> ShownLineLengths(const std::string& Text) {
  std::vector<int> lines{0};
  for (size_t i = 0; i < Text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(Text[i]);
    if (c == '{') {
      const size_t end = Text.find('}', i);
      if (end != std::string::npos) {
        i = end;
        continue;
      }
    }
    if (c == '\\' && i + 1 < Text.size() && (Text[i + 1] == 'N' || Text[i + 1] == 'n')) {
      lines.push_back(0);
      ++i;
      continue;
    }
    if (c == '\n') {
      lines.push_back(0);
      continue;
    }
    if (c == '\\' && i + 1 < Text.size() && Text[i + 1] == 'h') ++i;
    if ((c & 0xC0) != 0x80) lines.back() += c >= 0xE3 ? 2 : 1;
  }
  return lines;
}

// The lines a cue takes at FontSize stage lines: its hard lines, each wrapped
// at the picture's width less the default style's margins (10 of the 384
// stage columns on either side). Characters are counted at 0.62 of the font
// size wide, a little over the average of the text font's letters and
// spaces, so the estimate errs towards more lines.
int WrappedLines(const std::vector<int>& Lengths, double FontSize, const TSubtitleScript::TLayout& Layout) {
  const double fontPx = FontSize * Layout.Height / 288.0;
  const double widthPx = Layout.Width * (1 - 20.0 / 384);
  const int perLine = std::max(1, static_cast<int>(widthPx / (0.62 * fontPx)));
  int lines = 0;
  for (const int n : Lengths) lines += std::max(1, (n + perLine - 1) / perLine);
  return lines;
}

// Whether Text is UTF-8 as the libraries' subtitle decoders accept it: no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool ValidUtf8(std::string_view Text) {
  const auto* p = reinterpret_cast<const unsigned char*>(Text.data());
  const auto* end = p + Text.size();
  while (p < end) {
    const unsigned c = *p++;
    if (c < 0x80) continue;
    int more;
    unsigned code, least;
    if ((c & 0xE0) == 0xC0) {
      more = 1, code = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, code = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, code = c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (end - p < more) return false;
    for (int i = 0; i < more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      code = code << 6 | (p[i] & 0x3F);
    }
    p += more;
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  }
  return true;
}

// The Windows code page of each language that had one of its own; every
// other language wrote Windows-1252.
struct TLegacyCodePage {
  const char* Languages;  // two-letter codes, space-separated
  const char* Charset;
};
constexpr TLegacyCodePage kLegacyCodePages[] = {
    {"ru uk be bg mk sr kk ky tg mn", "CP1251"},
    {"pl cs sk hu sl hr bs ro sq", "CP1250"},
    {"el", "CP1253"},
    {"tr az", "CP1254"},
    {"he yi", "CP1255"},
    {"ar fa ur", "CP1256"},
    {"et lv lt", "CP1257"},
    {"vi", "CP1258"},
    {"th", "CP874"},
    {"ja", "CP932"},
    {"ko", "CP949"},
};

}  // namespace

TSubtitleScript::~TSubtitleScript() {
  if (!FPath.empty()) ::unlink(FPath.c_str());
}

std::string TSubtitleScript::Read(const std::string& Path, int Number, const std::string& Charset, int64_t FromUs,
                                  int64_t ToUs, int64_t ShiftUs) {
  FEvents.clear();
  FHeader.clear();
  AVFormatContext* ic = nullptr;
  int r = ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr);
  if (r < 0) return ErrorText(r);
  AVStream* track = nullptr;
  for (unsigned i = 0, n = 0; i < ic->nb_streams; ++i) {
    AVStream* s = ic->streams[i];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && static_cast<int>(n++) == Number) track = s;
  }
  const AVCodec* codec = track ? ff::avcodec_find_decoder(track->codecpar->codec_id) : nullptr;
  AVCodecContext* decoder = codec ? ff::avcodec_alloc_context3(codec) : nullptr;
  AVPacket* packet = ff::av_packet_alloc();
  std::string problem;
  if (!track) {
    problem = "no subtitle track in it";
  } else if (!codec) {
    problem = std::string("the libraries have no decoder for ") + ff::avcodec_get_name(track->codecpar->codec_id);
  } else if (!decoder || !packet || ff::avcodec_parameters_to_context(decoder, track->codecpar) < 0) {
    problem = ErrorText(AVERROR(ENOMEM));
  } else {
    decoder->pkt_timebase = track->time_base;
    AVDictionary* options = nullptr;
    if (!Charset.empty()) ff::av_dict_set(&options, "sub_charenc", Charset.c_str(), 0);
    {
      std::lock_guard<std::mutex> guard(CodecLock());
      r = ff::avcodec_open2(decoder, codec, &options);
    }
    ff::av_dict_free(&options);
    if (r < 0) problem = ErrorText(r);
  }
  if (problem.empty()) {
    FOwnStyle = track->codecpar->codec_id == AV_CODEC_ID_ASS || track->codecpar->codec_id == AV_CODEC_ID_SSA;
    if (decoder->subtitle_header)
      FHeader.assign(reinterpret_cast<const char*>(decoder->subtitle_header),
                     static_cast<size_t>(decoder->subtitle_header_size));
    if (FHeader.find("[Events]") == std::string::npos)
      FHeader += "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
    // A film is read from a little before the stretch (a cue that is still
    // showing at its start) to a little after it (the file's streams are
    // stored close to, not exactly in, the order of their times): its other
    // streams' packets tell where the reading is.
    constexpr int64_t kBeforeUs = 10 * AV_TIME_BASE, kAfterUs = AV_TIME_BASE;
    const bool film = ic->nb_streams > 1;
    std::string firstFault;  // why the first cue that cannot be read cannot
    if (film && FromUs > kBeforeUs) ff::avformat_seek_file(ic, -1, INT64_MIN, FromUs - kBeforeUs, FromUs - kBeforeUs, 0);
    while (ff::av_read_frame(ic, packet) >= 0) {
      const AVStream* s = ic->streams[packet->stream_index];
      const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      const int64_t atUs = at == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ff::av_rescale_q(at, s->time_base, AV_TIME_BASE_Q);
      if (film && ToUs != INT64_MAX && atUs != AV_NOPTS_VALUE && atUs > ToUs + kAfterUs) {
        ff::av_packet_unref(packet);
        break;
      }
      if (s != track) {
        ff::av_packet_unref(packet);
        continue;
      }
      AVSubtitle sub{};
      int got = 0;
      const int used = ff::avcodec_decode_subtitle2(decoder, &sub, &got, packet);
      ff::av_packet_unref(packet);
      if (used < 0 && firstFault.empty()) firstFault = ErrorText(used);
      if (used < 0 || !got) continue;  // a cue that cannot be read is left out
      if (sub.pts != AV_NOPTS_VALUE) {
        const int64_t start = sub.pts / 1000 + sub.start_display_time;
        const int64_t end = sub.end_display_time == UINT32_MAX ? INT64_MAX / 2 : sub.pts / 1000 + sub.end_display_time;
        if (end > FromUs / 1000 && (ToUs == INT64_MAX || start < ToUs / 1000))
          for (unsigned i = 0; i < sub.num_rects; ++i) {
            if (!sub.rects[i]->ass) continue;
            // ReadOrder,Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text
            const std::string line = sub.rects[i]->ass;
            size_t cut = line.find(',');
            const size_t headStart = cut == std::string::npos ? line.size() : cut + 1;
            for (int field = 0; field < 7 && cut != std::string::npos; ++field) cut = line.find(',', cut + 1);
            if (cut == std::string::npos) continue;
            FEvents.push_back({start + ShiftUs / 1000, end + ShiftUs / 1000, line.substr(headStart, cut - headStart),
                               line.substr(cut + 1)});
          }
      }
      ff::avsubtitle_free(&sub);
    }
    // A subtitle file whose cues all fail (text in a character set it is not
    // in) says so; a film's track may have no cue in the stretch.
    if (!film && FEvents.empty() && !firstFault.empty()) problem = "its text cannot be read: " + firstFault;
  }
  ff::av_packet_free(&packet);
  if (decoder) {
    std::lock_guard<std::mutex> guard(CodecLock());
    ff::avcodec_free_context(&decoder);
  }
  ff::avformat_close_input(&ic);
  return problem;
}

std::pair<double, std::string> TSubtitleScript::Fit(const std::string& Text, const TLayout& Layout) {
  const std::vector<int> lengths = ShownLineLengths(Text);
  if (Layout.Width <= 0 || Layout.Height <= 0 || Layout.FontSize <= 0 ||
      WrappedLines(lengths, Layout.FontSize, Layout) <= Layout.MaxLines)
    return {Layout.FontSize, Text};
  // The height the cue may take: MaxLines at the normal size.
  const double room = Layout.MaxLines * Layout.FontSize;
  const double smallest = Layout.FontSize * Layout.MinScale;
  for (double size = std::floor(Layout.FontSize) - 1; size >= smallest; size -= 1)
    if (WrappedLines(lengths, size, Layout) * size <= room) return {size, Text};
  // Even the smallest size takes too many lines: the cue is cut after as
  // many characters as fit, as one line of text.
  const int lines = std::max(1, static_cast<int>(room / smallest));
  const double fontPx = smallest * Layout.Height / 288.0;
  const int perLine = std::max(1, static_cast<int>(Layout.Width * (1 - 20.0 / 384) / (0.62 * fontPx)));
  int keep = lines * perLine - 1;  // room for the "..."
  std::string cut;
  for (size_t i = 0; i < Text.size() && keep > 0; ++i) {
    const unsigned char c = static_cast<unsigned char>(Text[i]);
    if (c == '{') {
      const size_t end = Text.find('}', i);
      if (end != std::string::npos) {
        cut.append(Text, i, end - i + 1);
        i = end;
        continue;
      }
    }
    if (c == '\\' && i + 1 < Text.size() && (Text[i + 1] == 'N' || Text[i + 1] == 'n')) {
      cut += ' ';
      ++i;
      --keep;
      continue;
    }
    if (c == '\n' || c == '\r') {
      if (c == '\n') cut += ' ', --keep;
      continue;
    }
    cut += static_cast<char>(c);
    // The bytes that continue a UTF-8 character go with it.
    while (i + 1 < Text.size() && (static_cast<unsigned char>(Text[i + 1]) & 0xC0) == 0x80) cut += Text[++i];
    --keep;
  }
  return {smallest, cut + "\xE2\x80\xA6"};
}

std::string TSubtitleScript::Write(const TLayout& Layout, std::string& Error) {
  if (FPath.empty()) {
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder && *folder ? folder : "/tmp") + "/vidlomat-subtitles-XXXXXX.ass";
    const int fd = ::mkstemps(name.data(), 4);
    if (fd < 0) {
      Error = std::strerror(errno);
      return "";
    }
    ::close(fd);
    FPath = name;
  }
  std::string script = FHeader;
  if (!script.empty() && script.back() != '\n') script += '\n';
  for (const TEvent& e : FEvents) {
    std::string text = e.Text;
    if (!FOwnStyle) {
      const auto [size, fitted] = Fit(e.Text, Layout);
      if (size != Layout.FontSize) {
        char tag[32];
        std::snprintf(tag, sizeof tag, "{\\fs%.0f}", size);
        text = tag + fitted;
      }
    }
    script += "Dialogue: " + e.Head.substr(0, e.Head.find(',')) + "," + AssTime(e.StartMs) + "," +
              AssTime(std::min<int64_t>(e.EndMs, 359999990)) + e.Head.substr(e.Head.find(',')) + "," + text + "\n";
  }
  FILE* f = std::fopen(FPath.c_str(), "wb");
  const bool ok = f && std::fwrite(script.data(), 1, script.size(), f) == script.size();
  if (f && std::fclose(f) != 0) Error = std::strerror(errno);
  if (!ok || !Error.empty()) {
    if (Error.empty()) Error = std::strerror(errno);
    return "";
  }
  return FPath;
}

std::string SubtitleCharacterSet(std::string_view Text, std::string_view Locale) {
  // UTF-16 with its mark is read as such by the libraries' text reader.
  if (Text.starts_with("\xFF\xFE") || Text.starts_with("\xFE\xFF")) return "";
  if (ValidUtf8(Text)) return "";
  return LegacyCharacterSet(Locale);
}

std::string LegacyCharacterSet(std::string_view Locale) {
  // language[_territory][.codeset][@modifier]
  const size_t at = Locale.find('@');
  const std::string_view modifier = at == std::string_view::npos ? std::string_view() : Locale.substr(at + 1);
  const std::string_view name = Locale.substr(0, at);
  const size_t dot = name.find('.');
  if (dot != std::string_view::npos) {
    const std::string codeset = Lower(std::string(name.substr(dot + 1)));
    if (!codeset.empty() && codeset != "utf-8" && codeset != "utf8") return std::string(name.substr(dot + 1));
  }
  const std::string_view base = name.substr(0, dot);  // language[_territory]
  const size_t underscore = base.find('_');
  const std::string language = Lower(std::string(base.substr(0, underscore)));
  const std::string territory =
      underscore == std::string_view::npos ? std::string() : Lower(std::string(base.substr(underscore + 1)));
  if (language == "sr" && modifier == "latin") return "CP1250";
  if (language == "zh") return territory == "tw" || territory == "hk" || territory == "mo" ? "BIG5" : "GB18030";
  if (language.size() == 2)
    for (const TLegacyCodePage& page : kLegacyCodePages)
      for (std::string_view list = page.Languages; !list.empty();) {
        const size_t space = list.find(' ');
        if (list.substr(0, space) == language) return page.Charset;
        list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
      }
  return "CP1252";
}

std::string CharacterLocale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"})
    if (const char* value = std::getenv(name); value && *value) return value;
  return "";
}

std::string SubtitleFileProblem(const std::string& Path, std::string& Charset) {
  Charset.clear();
  // Subtitle files are small; the first megabytes tell the character set.
  constexpr size_t kLook = 8 << 20;
  std::ifstream in(Path, std::ios::binary);
  if (!in) return std::strerror(errno);
  std::string text(kLook, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  const bool whole = text.size() < kLook;
  if (!whole) text.resize(text.find_last_of('\n') + 1);  // whole lines only
  std::string_view words = text;
  if (words.starts_with("\xEF\xBB\xBF")) words.remove_prefix(3);
  if (words.find_first_not_of(" \t\r\n") == std::string_view::npos) return "the file is empty";

  AVFormatContext* ic = nullptr;
  const int r = ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr);
  if (r < 0) {
    if (r == AVERROR_INVALIDDATA) return "not a subtitle file the libraries know";
    char reason[AV_ERROR_MAX_STRING_SIZE] = {};
    ff::av_strerror(r, reason, sizeof reason);
    return reason;
  }
  int stream = -1;
  for (unsigned i = 0; i < ic->nb_streams && stream < 0; ++i)
    if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) stream = static_cast<int>(i);
  // A file of text subtitles (one stream, all of it text) is read whole when
  // opened: counting its cues reads no more. A film given as the subtitle
  // file only needs its subtitle stream, and its text is UTF-8.
  const bool textFile = whole && ic->nb_streams == 1 && stream == 0;
  if (textFile) Charset = SubtitleCharacterSet(text, CharacterLocale());
  bool cue = stream >= 0 && !textFile;
  if (AVPacket* packet = textFile ? ff::av_packet_alloc() : nullptr) {
    while (!cue && ff::av_read_frame(ic, packet) >= 0) {
      cue = packet->stream_index == stream && packet->size > 0;
      ff::av_packet_unref(packet);
    }
    ff::av_packet_free(&packet);
  }
  ff::avformat_close_input(&ic);
  return cue ? "" : "no subtitle found in it";
}
