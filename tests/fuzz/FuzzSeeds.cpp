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
    TClipSpec recipe = preset;
    recipe.DurationSeconds = 0.3;
    recipe.Width = 32;
    recipe.Height = 24;
    const std::string path = std::string(argv[1]) + "/" + recipe.Name + recipe.Extension;
    std::string error;
    // Formats with fixed picture sizes keep the preset's.
    if (MakeClip(recipe, path, &error) || MakeClip(TClipSpec{preset}, path, &error))
      ++written;
    else
      std::fprintf(stderr, "%s: %s\n", recipe.Name.c_str(), error.c_str());
  }
  std::printf("%d seed clips\n", written);
  return written > 0 ? 0 : 1;
}
