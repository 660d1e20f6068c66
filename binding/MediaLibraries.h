// The combined loader of the media libraries, and the facts the rest of the
// program needs about them.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "AVCodecHlpr.h"
#include "AVFilterHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MediaHeaders.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

// Loads all six libraries from Folder, dependencies first (avutil, swresample,
// swscale, avcodec, avformat, avfilter), stopping at the first failure. All or
// nothing: a failure unloads whatever was loaded and leaves the message of the
// failing library in FFmpegLibrariesError(). A second call after success returns
// true at once.
bool LoadFFmpegLibraries(const std::string& Folder, bool Versioned);
void UnloadFFmpegLibraries();
bool FFmpegLibrariesLoaded();
std::string FFmpegLibrariesError();

// Process-wide copy of the library log level, read by the log callback without
// calling into the library. Every av_log_set_level of the program stores here too.
extern std::atomic<int> CachedLogLevel;

// Sets the library log level (the library's own numbering) and its cached
// copy together.
void SetLibraryLogLevel(int Level);

// The program counts log levels as -1 quiet, 0 errors, 1 warnings and
// information, 2 debug, 3 everything; the library numbers them AV_LOG_QUIET,
// AV_LOG_PANIC .. AV_LOG_ERROR, AV_LOG_WARNING .. AV_LOG_INFO,
// AV_LOG_VERBOSE .. AV_LOG_DEBUG, AV_LOG_TRACE. These two translate.
// The library level that passes everything up to program level Level.
int LibraryLogLevel(int Level);
// The program level of a library message level.
int ProgramLogLevel(int LibraryLevel);

// The folder of the running executable, and its LibAV/ subfolder.
std::string ExecutableFolder();
std::string DefaultLibraryFolder();

struct TLibraryInfo {
  std::string FileName;  // file name the library was loaded under
  std::string Path;      // the file the name resolves to on disk
  unsigned Version;      // <lib>_version(): major << 16 | minor << 8 | micro
};

// One entry per loaded library, in load order (empty while not loaded).
std::vector<TLibraryInfo> LoadedLibraryInfo(const std::string& Folder);
