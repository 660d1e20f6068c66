#include "Subtitles.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "AudioTracks.h"
#include "MediaHeaders.h"

namespace {

std::string Lower(std::string Text) {
  for (char& c : Text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return Text;
}

constexpr const char* kExtensions[] = {".srt", ".ass", ".ssa", ".vtt"};

int ExtensionRank(const std::string& Extension) {
  const std::string e = Lower(Extension);
  for (int i = 0; i < 4; ++i)
    if (e == kExtensions[i]) return i;
  return -1;
}

}  // namespace

std::string SubtitleFileBeside(const std::string& Video, const std::vector<std::string>& Languages) {
  namespace fs = std::filesystem;
  const fs::path video(Video);
  const std::string name = video.stem().string();
  struct TFound {
    std::string Path, Language;  // Language: the normal code of NAME.LANG.EXT
    bool Plain;                  // NAME.EXT
    int Rank;
  };
  std::vector<TFound> found;
  std::error_code ec;
  const fs::path folder = video.has_parent_path() ? video.parent_path() : fs::path(".");
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path p = it->path();
    const int rank = ExtensionRank(p.extension().string());
    const std::string stem = p.stem().string();
    if (rank < 0 || stem.compare(0, name.size(), name) != 0) continue;
    const std::string rest = stem.substr(name.size());  // "" or ".LANG"
    if (!rest.empty() && (rest[0] != '.' || rest.size() < 2 || rest.find('.', 1) != std::string::npos)) continue;
    std::error_code kind;
    if (!fs::is_regular_file(p, kind)) continue;
    found.push_back({p.string(), rest.empty() ? "" : NormalLanguage(rest.substr(1)), rest.empty(), rank});
  }
  // .srt first, then by name, so the choice does not depend on the folder's order.
  std::sort(found.begin(), found.end(), [](const TFound& A, const TFound& B) {
    return A.Rank != B.Rank ? A.Rank < B.Rank : A.Path < B.Path;
  });
  for (const std::string& language : Languages)
    for (const TFound& f : found)
      if (!language.empty() && f.Language == language) return f.Path;
  for (const TFound& f : found)
    if (f.Plain) return f.Path;
  return found.empty() ? std::string() : found.front().Path;
}

int SubtitleTrackToBurn(const AVFormatContext* Context, const std::vector<std::string>& Languages, bool ByLanguage) {
  if (!Context) return -1;
  struct TTrack {
    int Number;
    std::string Language;
    bool Forced;
  };
  std::vector<TTrack> tracks;
  int number = 0;
  for (unsigned i = 0; i < Context->nb_streams; ++i) {
    const AVStream* s = Context->streams[i];
    if (s->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
    const AVCodecDescriptor* d = ff::avcodec_descriptor_get(s->codecpar->codec_id);
    // Pictures (DVD, PGS, DVB) need the libraries' decoder; text goes to the subtitles filter.
    const bool usable = d && ((d->props & AV_CODEC_PROP_TEXT_SUB) ||
                              ((d->props & AV_CODEC_PROP_BITMAP_SUB) && ff::avcodec_find_decoder(d->id)));
    if (usable) {
      const AVDictionaryEntry* tag = ff::av_dict_get(s->metadata, "language", nullptr, 0);
      tracks.push_back({number, NormalLanguage(tag ? tag->value : ""), (s->disposition & AV_DISPOSITION_FORCED) != 0});
    }
    ++number;
  }
  for (const TTrack& t : tracks)
    if (t.Forced) return t.Number;
  if (ByLanguage)
    for (const std::string& language : Languages)
      for (const TTrack& t : tracks)
        if (!language.empty() && t.Language == language) return t.Number;
  return -1;
}
