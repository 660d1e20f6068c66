#include "FuzzSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "MediaLibraries.h"

void FuzzLoadLibraries() {
  if (FFmpegLibrariesLoaded()) return;
  if (!LoadFFmpegLibraries(VIDLOMAT_FUZZ_LIBAV_DIR, true)) {
    std::fprintf(stderr, "cannot load the media libraries: %s\n", FFmpegLibrariesError().c_str());
    std::abort();
  }
  SetLibraryLogLevel(AV_LOG_QUIET);
}

const std::string& FuzzScratchFolder() {
  static const std::string folder = [] {
    // scripts/fuzz.sh gives one folder to all the processes of a run and
    // removes it at the end.
    if (const char* given = std::getenv("VIDLOMAT_FUZZ_SCRATCH")) {
      mkdir(given, 0700);
      return std::string(given);
    }
    struct stat st {};
    const std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    const std::string path = base + "/vidlomat-fuzz-" + std::to_string(getpid());
    mkdir(path.c_str(), 0700);
    return path;
  }();
  return folder;
}
