#include "SourceRecord.h"

#include <sys/stat.h>

#include <cstdio>

#include "MediaHeaders.h"
#include "MediaLibraries.h"

const char* const kSourceRecordTag = "description";

std::string SourceRecordOf(const std::string& Path, const std::string& Shape) {
  struct stat st {};
  if (stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const size_t slash = Path.find_last_of('/');
  std::string name;
  for (const char c : slash == std::string::npos ? Path : Path.substr(slash + 1)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '%') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      name += escaped;
    } else {
      name += c;
    }
  }
  char facts[96];
  std::snprintf(facts, sizeof facts, " (%lld bytes, modified %lld.%09ld)", static_cast<long long>(st.st_size),
                static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
  return "Converted by Vidlomat from " + name + facts + (Shape.empty() ? "" : " as " + Shape);
}

std::string RecordedSourceOf(const std::string& Path) {
  if (!FFmpegLibrariesLoaded()) return {};
  AVFormatContext* ic = nullptr;
  if (ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr) < 0) return {};
  const AVDictionaryEntry* e = ff::av_dict_get(ic->metadata, kSourceRecordTag, nullptr, 0);
  std::string text = e ? e->value : "";
  ff::avformat_close_input(&ic);
  return text;
}
