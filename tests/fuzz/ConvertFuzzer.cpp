// Fuzz target: the input bytes, read from memory through a custom I/O
// context, converted by the engine with the window's settings into a scratch
// file. The output duration is cut at four seconds so that every input ends
// quickly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "FFmpeg.h"
#include "FuzzSupport.h"

namespace {

struct TMemoryInput {
  const uint8_t* Data;
  size_t Size;
  size_t Pos = 0;
};

int ReadMemory(void* Opaque, uint8_t* Buf, int Size) {
  auto* in = static_cast<TMemoryInput*>(Opaque);
  const size_t left = in->Size - in->Pos;
  if (left == 0) return AVERROR_EOF;
  const size_t n = std::min(left, static_cast<size_t>(Size));
  std::memcpy(Buf, in->Data + in->Pos, n);
  in->Pos += n;
  return static_cast<int>(n);
}

int64_t SeekMemory(void* Opaque, int64_t Offset, int Whence) {
  auto* in = static_cast<TMemoryInput*>(Opaque);
  if (Whence & AVSEEK_SIZE) return static_cast<int64_t>(in->Size);
  int64_t base = 0;
  switch (Whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(in->Pos); break;
    case SEEK_END: base = static_cast<int64_t>(in->Size); break;
    default: return AVERROR(EINVAL);
  }
  if (Offset > INT64_MAX - base) return AVERROR(EINVAL);
  const int64_t to = base + Offset;
  if (to < 0 || to > static_cast<int64_t>(in->Size)) return AVERROR(EINVAL);
  in->Pos = static_cast<size_t>(to);
  return to;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzLoadLibraries();
  TMemoryInput input{Data, Size};
  constexpr int kBufferSize = 32768;
  auto* buffer = static_cast<unsigned char*>(ff::av_malloc(kBufferSize));
  AVIOContext* io = ff::avio_alloc_context(buffer, kBufferSize, 0, &input, &ReadMemory, nullptr, &SeekMemory);
  {
    TCustomFFmpeg engine;
    engine.PrepareForTask();
    engine.FInputIO = io;
    if (engine.OpenInputFile("memory")) {
      // The window's settings.
      const std::pair<const char*, const char*> options[] = {
          {"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"ac", "2"},     {"ab", "80000"},
          {"b", "512000"},     {"s", "320x240"},      {"r", "30"},     {"ar", "44100"},
          {"t", "4"},
      };
      try {
        for (const auto& [name, value] : options) engine.AddOption(name, value);
      } catch (const std::exception&) {
      }
      if (engine.OpenOutputFile(FuzzScratchFolder() + "/convert.mp4")) engine.Start(false);
    }
  }
  ff::av_freep(&io->buffer);
  ff::avio_context_free(&io);
  return 0;
}
