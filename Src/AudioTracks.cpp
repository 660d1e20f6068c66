#include "AudioTracks.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "MediaHeaders.h"

namespace {

// ISO 639-1 code, 639-2/T code, and the 639-2/B code where it differs.
struct TLanguageCodes {
  std::string_view Two, Terminology, Bibliographic;
};

constexpr TLanguageCodes kLanguages[] = {
    {"aa", "aar", ""},    {"ab", "abk", ""},    {"af", "afr", ""},    {"ak", "aka", ""},    {"am", "amh", ""},
    {"an", "arg", ""},    {"ar", "ara", ""},    {"as", "asm", ""},    {"av", "ava", ""},    {"ay", "aym", ""},
    {"az", "aze", ""},    {"ba", "bak", ""},    {"be", "bel", ""},    {"bg", "bul", ""},    {"bi", "bis", ""},
    {"bm", "bam", ""},    {"bn", "ben", ""},    {"bo", "bod", "tib"}, {"br", "bre", ""},    {"bs", "bos", ""},
    {"ca", "cat", ""},    {"ce", "che", ""},    {"ch", "cha", ""},    {"co", "cos", ""},    {"cr", "cre", ""},
    {"cs", "ces", "cze"}, {"cu", "chu", ""},    {"cv", "chv", ""},    {"cy", "cym", "wel"}, {"da", "dan", ""},
    {"de", "deu", "ger"}, {"dv", "div", ""},    {"dz", "dzo", ""},    {"ee", "ewe", ""},    {"el", "ell", "gre"},
    {"en", "eng", ""},    {"eo", "epo", ""},    {"es", "spa", ""},    {"et", "est", ""},    {"eu", "eus", "baq"},
    {"fa", "fas", "per"}, {"ff", "ful", ""},    {"fi", "fin", ""},    {"fj", "fij", ""},    {"fo", "fao", ""},
    {"fr", "fra", "fre"}, {"fy", "fry", ""},    {"ga", "gle", ""},    {"gd", "gla", ""},    {"gl", "glg", ""},
    {"gn", "grn", ""},    {"gu", "guj", ""},    {"gv", "glv", ""},    {"ha", "hau", ""},    {"he", "heb", ""},
    {"hi", "hin", ""},    {"ho", "hmo", ""},    {"hr", "hrv", ""},    {"ht", "hat", ""},    {"hu", "hun", ""},
    {"hy", "hye", "arm"}, {"hz", "her", ""},    {"ia", "ina", ""},    {"id", "ind", ""},    {"ie", "ile", ""},
    {"ig", "ibo", ""},    {"ii", "iii", ""},    {"ik", "ipk", ""},    {"io", "ido", ""},    {"is", "isl", "ice"},
    {"it", "ita", ""},    {"iu", "iku", ""},    {"ja", "jpn", ""},    {"jv", "jav", ""},    {"ka", "kat", "geo"},
    {"kg", "kon", ""},    {"ki", "kik", ""},    {"kj", "kua", ""},    {"kk", "kaz", ""},    {"kl", "kal", ""},
    {"km", "khm", ""},    {"kn", "kan", ""},    {"ko", "kor", ""},    {"kr", "kau", ""},    {"ks", "kas", ""},
    {"ku", "kur", ""},    {"kv", "kom", ""},    {"kw", "cor", ""},    {"ky", "kir", ""},    {"la", "lat", ""},
    {"lb", "ltz", ""},    {"lg", "lug", ""},    {"li", "lim", ""},    {"ln", "lin", ""},    {"lo", "lao", ""},
    {"lt", "lit", ""},    {"lu", "lub", ""},    {"lv", "lav", ""},    {"mg", "mlg", ""},    {"mh", "mah", ""},
    {"mi", "mri", "mao"}, {"mk", "mkd", "mac"}, {"ml", "mal", ""},    {"mn", "mon", ""},    {"mr", "mar", ""},
    {"ms", "msa", "may"}, {"mt", "mlt", ""},    {"my", "mya", "bur"}, {"na", "nau", ""},    {"nb", "nob", ""},
    {"nd", "nde", ""},    {"ne", "nep", ""},    {"ng", "ndo", ""},    {"nl", "nld", "dut"}, {"nn", "nno", ""},
    {"no", "nor", ""},    {"nr", "nbl", ""},    {"nv", "nav", ""},    {"ny", "nya", ""},    {"oc", "oci", ""},
    {"oj", "oji", ""},    {"om", "orm", ""},    {"or", "ori", ""},    {"os", "oss", ""},    {"pa", "pan", ""},
    {"pi", "pli", ""},    {"pl", "pol", ""},    {"ps", "pus", ""},    {"pt", "por", ""},    {"qu", "que", ""},
    {"rm", "roh", ""},    {"rn", "run", ""},    {"ro", "ron", "rum"}, {"ru", "rus", ""},    {"rw", "kin", ""},
    {"sa", "san", ""},    {"sc", "srd", ""},    {"sd", "snd", ""},    {"se", "sme", ""},    {"sg", "sag", ""},
    {"si", "sin", ""},    {"sk", "slk", "slo"}, {"sl", "slv", ""},    {"sm", "smo", ""},    {"sn", "sna", ""},
    {"so", "som", ""},    {"sq", "sqi", "alb"}, {"sr", "srp", ""},    {"ss", "ssw", ""},    {"st", "sot", ""},
    {"su", "sun", ""},    {"sv", "swe", ""},    {"sw", "swa", ""},    {"ta", "tam", ""},    {"te", "tel", ""},
    {"tg", "tgk", ""},    {"th", "tha", ""},    {"ti", "tir", ""},    {"tk", "tuk", ""},    {"tl", "tgl", ""},
    {"tn", "tsn", ""},    {"to", "ton", ""},    {"tr", "tur", ""},    {"ts", "tso", ""},    {"tt", "tat", ""},
    {"tw", "twi", ""},    {"ty", "tah", ""},    {"ug", "uig", ""},    {"uk", "ukr", ""},    {"ur", "urd", ""},
    {"uz", "uzb", ""},    {"ve", "ven", ""},    {"vi", "vie", ""},    {"vo", "vol", ""},    {"wa", "wln", ""},
    {"wo", "wol", ""},    {"xh", "xho", ""},    {"yi", "yid", ""},    {"yo", "yor", ""},    {"za", "zha", ""},
    {"zh", "zho", "chi"}, {"zu", "zul", ""},
    // Withdrawn two-letter codes that old systems still write.
    {"iw", "heb", ""},    {"in", "ind", ""},    {"ji", "yid", ""},
};

std::string Lower(std::string_view Text) {
  std::string s(Text);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The language part of a locale name: "de_DE.UTF-8@euro" → "de".
std::string LocaleLanguage(std::string_view Locale) {
  const size_t end = Locale.find_first_of("_.@");
  return std::string(Locale.substr(0, end));
}

}  // namespace

std::string NormalLanguage(const std::string& Code) {
  std::string code = Lower(Code);
  // Some files carry a region or script ("en-US", "pt_BR").
  code = code.substr(0, code.find_first_of("-_"));
  if (code.empty() || code == "und" || code == "zxx" || code == "mis" || code == "mul") return "";
  for (const TLanguageCodes& l : kLanguages)
    if (code == l.Two || code == l.Terminology || code == l.Bibliographic) return std::string(l.Terminology);
  return code;
}

bool KnownLanguage(const std::string& Code) {
  const std::string normal = NormalLanguage(Code);
  if (normal.empty() || normal.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) return false;
  // Every two-letter code the table knows has become its three-letter one.
  return normal.size() == 3;
}

std::string ShortLanguage(const std::string& Code) {
  const std::string normal = NormalLanguage(Code);
  for (const TLanguageCodes& l : kLanguages)
    if (normal == l.Terminology) return std::string(l.Two);
  return normal;
}

std::vector<std::string> UserLanguagesFrom(const char* Language, const char* LcAll, const char* LcMessages,
                                           const char* Lang) {
  std::vector<std::string> names;
  auto add = [&](std::string_view Locale) {
    const std::string name = LocaleLanguage(Locale);
    if (name == "C" || name == "POSIX") return;
    const std::string normal = NormalLanguage(name);
    if (normal.empty()) return;
    for (const std::string& n : names)
      if (n == normal) return;
    names.push_back(normal);
  };
  if (Language) {
    std::string_view list = Language;
    while (!list.empty()) {
      const size_t colon = list.find(':');
      add(list.substr(0, colon));
      list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
  }
  for (const char* value : {LcAll, LcMessages, Lang}) {
    if (value && *value) {
      add(value);
      break;
    }
  }
  return names;
}

std::vector<std::string> UserLanguages() {
  return UserLanguagesFrom(std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                           std::getenv("LANG"));
}

std::vector<TAudioTrack> AudioTracksOf(const AVFormatContext* Context) {
  std::vector<TAudioTrack> tracks;
  if (!Context) return tracks;
  for (unsigned i = 0; i < Context->nb_streams; ++i) {
    const AVStream* st = Context->streams[i];
    if (!st->codecpar || st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    TAudioTrack t;
    t.StreamIndex = static_cast<int>(i);
    if (const AVDictionaryEntry* e = ff::av_dict_get(st->metadata, "language", nullptr, 0))
      t.Language = NormalLanguage(e->value);
    t.Default = st->disposition & AV_DISPOSITION_DEFAULT;
    t.Channels = st->codecpar->ch_layout.nb_channels;
    if (t.Channels > 0) {
      char text[64] = "";
      if (ff::av_channel_layout_describe(&st->codecpar->ch_layout, text, sizeof text) > 0) t.Layout = text;
    }
    tracks.push_back(t);
  }
  return tracks;
}

int ChooseAudioTrack(const std::vector<TAudioTrack>& Tracks, const std::vector<std::string>& Languages) {
  if (Tracks.empty()) return -1;
  for (const std::string& language : Languages)
    for (size_t i = 0; i < Tracks.size(); ++i)
      if (!language.empty() && Tracks[i].Language == language) return static_cast<int>(i);
  int flagged = -1;
  for (size_t i = 0; i < Tracks.size(); ++i)
    if (Tracks[i].Default && (flagged < 0 || Tracks[i].Channels > Tracks[static_cast<size_t>(flagged)].Channels))
      flagged = static_cast<int>(i);
  if (flagged >= 0) return flagged;
  size_t most = 0;
  for (size_t i = 1; i < Tracks.size(); ++i)
    if (Tracks[i].Channels > Tracks[most].Channels) most = i;
  return static_cast<int>(most);
}

std::string AudioTrackText(const TAudioTrack& Track) {
  const std::string language = ShortLanguage(Track.Language);
  if (language.empty()) return Track.Layout;
  return Track.Layout.empty() ? language : language + " " + Track.Layout;
}
