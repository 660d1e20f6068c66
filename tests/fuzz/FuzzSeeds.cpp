// Writes one short, small clip of every media-maker kind into the folder
// given as the argument: the starting corpus of the conversion fuzzer.
#include <cstdio>
#include <string>

#include "MediaLibraries.h"
#include "MediaMaker.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  if (!LoadFFmpegLibraries(VIDLOMAT_FUZZ_LIBAV_DIR, true)) {
    std::fprintf(stderr, "%s\n", FFmpegLibrariesError().c_str());
    return 1;
  }
  SetLibraryLogLevel(AV_LOG_QUIET);
  int written = 0;
  for (const TClipSpec& preset : StandardClipSpecs()) {
    TClipSpec spec = preset;
    spec.DurationSeconds = 0.3;
    spec.Width = 32;
    spec.Height = 24;
    const std::string path = std::string(argv[1]) + "/" + spec.Name + spec.Extension;
    std::string error;
    // Formats with fixed picture sizes keep the preset's.
    if (MakeClip(spec, path, &error) || MakeClip(TClipSpec{preset}, path, &error))
      ++written;
    else
      std::fprintf(stderr, "%s: %s\n", spec.Name.c_str(), error.c_str());
  }
  std::printf("%d seed clips\n", written);
  return written > 0 ? 0 : 1;
}
