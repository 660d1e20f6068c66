#include "AVProbe.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "MediaLibraries.h"
#include "OpenErrors.h"

namespace {

// Copies Text into a zero-terminated block of Size bytes, zero-filling the
// rest. Text that does not fit is cut before the last whole UTF-8 character.
template <size_t Size>
void CopyText(char (&Block)[Size], const char* Text) {
  std::memset(Block, 0, Size);
  if (!Text) return;
  size_t n = std::strlen(Text);
  if (n >= Size) {
    n = Size - 1;
    // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
    while (n > 0 && (static_cast<unsigned char>(Text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(Block, Text, n);
}

const char* Tag(const AVDictionary* Metadata, const char* Key) {
  const AVDictionaryEntry* e = ff::av_dict_get(Metadata, Key, nullptr, 0);
  return e ? e->value : nullptr;
}

const char* FirstTag(const AVDictionary* Metadata, const char* Key, const char* Fallback) {
  const char* v = Tag(Metadata, Key);
  return v ? v : Tag(Metadata, Fallback);
}

// The number a tag begins with ("2009-05-01" gives 2009, "3/12" gives 3); 0
// when the tag is absent or does not begin with a number.
int32_t LeadingNumber(const char* Text) {
  if (!Text) return 0;
  char* end = nullptr;
  const long v = std::strtol(Text, &end, 10);
  if (end == Text) return 0;
  return static_cast<int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

TAVProbe::TAVProbe() { UpdateStreamInfo(); }

TAVProbe::~TAVProbe() { Close(); }

void TAVProbe::CheckLibraries() const {
  if (!AVCodecLoaded()) throw EAVProbeError("LibAVCodec not loaded.");
  if (!AVFormatLoaded()) throw EAVProbeError("LibAVFormat not loaded.");
  if (!AVUtilLoaded()) throw EAVProbeError("LibAVUtil not loaded.");
  if (!SwScaleLoaded()) throw EAVProbeError("LibSwScale not loaded.");
}

bool TAVProbe::Open(const std::string& FileName, const std::string& FormatName) {
  CheckLibraries();
  Close();

  const AVInputFormat* fmt = nullptr;
  if (!FormatName.empty()) {
    fmt = ff::av_find_input_format(FormatName.c_str());
    if (!fmt) {
      FLastError = "Unknown input format: " + FormatName;
      return false;
    }
  }

  FFormatContext = ff::avformat_alloc_context();
  FOwnsContext = true;
  if (!FFormatContext) {
    FLastError = FormatOpenError(FileName, AVERROR(ENOMEM));
    Close();
    return false;
  }
  // On failure the library frees the context and clears the pointer.
  const int r = ff::avformat_open_input(&FFormatContext, FileName.c_str(), fmt, nullptr);
  if (r < 0) {
    FLastError = FormatOpenError(FileName, r);
    Close();
    return false;
  }
  if (ff::avformat_find_stream_info(FFormatContext, nullptr) < 0) {
    FLastError = FileName + ": could not find codec parameters";
    Close();
    return false;
  }
  UpdateStreamInfo();
  FFormatName = FormatName;
  return true;
}

void TAVProbe::Attach(AVFormatContext* Context) {
  CheckLibraries();
  Close();
  FOwnsContext = false;
  FFormatContext = Context;
  UpdateStreamInfo();
}

void TAVProbe::Close() {
  FFormatName.clear();
  if (FFormatContext) {
    if (FOwnsContext) ff::avformat_close_input(&FFormatContext);
    FFormatContext = nullptr;
  }
  FOwnsContext = false;
  UpdateStreamInfo();
}

void TAVProbe::UpdateStreamInfo() {
  FStreamCount = FProgramCount = -1;
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
  FFirstAudioStream = FFirstVideoStream = FFirstSubtitleStream = -1;
  if (!FFormatContext) return;
  FStreamCount = static_cast<int32_t>(FFormatContext->nb_streams);
  FProgramCount = static_cast<int32_t>(FFormatContext->nb_programs);
  FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
  for (unsigned i = 0; i < FFormatContext->nb_streams; ++i) {
    const AVCodecParameters* par = FFormatContext->streams[i]->codecpar;
    const int32_t index = static_cast<int32_t>(i);
    switch (par ? par->codec_type : AVMEDIA_TYPE_UNKNOWN) {
      case AVMEDIA_TYPE_VIDEO:
        ++FVideoStreamCount;
        if (FFirstVideoStream < 0) FFirstVideoStream = index;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++FAudioStreamCount;
        if (FFirstAudioStream < 0) FFirstAudioStream = index;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++FSubtitleStreamCount;
        if (FFirstSubtitleStream < 0) FFirstSubtitleStream = index;
        break;
      default:  // data, attachments, unknown: in the stream count only
        break;
    }
  }
}

void TAVProbe::GetFileInfo(TAVFileInfo& Info) const {
  if (!FFormatContext) {
    Info.StartTime = Info.Duration = Info.Timestamp = -1;
    Info.BitRate = Info.Year = Info.Track = -1;
    CopyText(Info.Title, nullptr);
    CopyText(Info.Author, nullptr);
    CopyText(Info.Copyright, nullptr);
    CopyText(Info.Comment, nullptr);
    CopyText(Info.Album, nullptr);
    CopyText(Info.Genre, nullptr);
    if (ff::av_log) ff::av_log(nullptr, LibraryLogLevel(1), "file not loaded.\n");
    return;
  }
  const AVFormatContext* c = FFormatContext;
  const AVDictionary* m = c->metadata;
  Info.StartTime = c->start_time;
  Info.Duration = c->duration;
  Info.BitRate = static_cast<int32_t>(std::clamp<int64_t>(c->bit_rate, 0, INT32_MAX));
  Info.Timestamp = 0;
  if (const char* created = Tag(m, "creation_time")) {
    int64_t t = 0;
    // Whole seconds, rounded as the engine's "timestamp" option rounds, so
    // that a stamp written by the engine reads back unchanged.
    if (ff::av_parse_time(&t, created, 0) >= 0)
      Info.Timestamp = static_cast<int64_t>(std::nearbyint(static_cast<double>(t) / 1000000.0));
  }
  CopyText(Info.Title, Tag(m, "title"));
  CopyText(Info.Author, FirstTag(m, "artist", "author"));
  CopyText(Info.Copyright, Tag(m, "copyright"));
  CopyText(Info.Comment, Tag(m, "comment"));
  CopyText(Info.Album, Tag(m, "album"));
  Info.Year = LeadingNumber(FirstTag(m, "date", "year"));
  Info.Track = LeadingNumber(Tag(m, "track"));
  CopyText(Info.Genre, Tag(m, "genre"));
}
