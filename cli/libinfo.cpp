// Loads the media libraries from LibAV/ next to the executable (or from the
// folder given as the only argument) and prints each library's file and version.
#include <cstdio>
#include <string>

#include "MediaLibraries.h"

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : DefaultLibraryFolder();
  std::printf("Loading the media libraries from %s\n", folder.c_str());
  if (!LoadFFmpegLibraries(folder, true)) {
    std::fprintf(stderr, "%s\n", FFmpegLibrariesError().c_str());
    return 1;
  }
  for (const TLibraryInfo& info : LoadedLibraryInfo(folder)) {
    std::printf("  %-20s %u.%u.%u  %s\n", info.FileName.c_str(), info.Version >> 16,
                (info.Version >> 8) & 0xFF, info.Version & 0xFF, info.Path.c_str());
  }
  UnloadFFmpegLibraries();
  return 0;
}
