#include "MediaLibraries.h"

#include <fenv.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace {

// Written by the loading thread only; read by FFmpegLibrariesLoaded/Error from
// the same thread. A mutex keeps a stray cross-thread query safe all the same.
std::mutex LoaderMutex;
bool AllLoaded = false;        // guarded by LoaderMutex
std::string CombinedError;     // guarded by LoaderMutex

TLibraryUnit* const LoadOrder[] = {&AVUtilUnit,  &SwResampleUnit, &SwScaleUnit,
                                   &AVCodecUnit, &AVFormatUnit,   &AVFilterUnit};

// The libraries expect floating-point exceptions to be masked (the default on
// this platform); mask them again if the host program unmasked any.
void MaskFloatingPointExceptions() {
  if (fegetexcept() != 0) fedisableexcept(FE_ALL_EXCEPT);
}

}  // namespace

std::atomic<int> CachedLogLevel{AV_LOG_INFO};

bool LoadFFmpegLibraries(const std::string& Folder, bool Versioned) {
  std::lock_guard<std::mutex> guard(LoaderMutex);
  if (AllLoaded) return true;
  CombinedError.clear();
  MaskFloatingPointExceptions();
  bool ok = LoadAVUtil(CombinedError, Folder, Versioned) &&
            LoadSwResample(CombinedError, Folder, Versioned) &&
            LoadSwScale(CombinedError, Folder, Versioned) &&
            LoadAVCodec(CombinedError, Folder, Versioned, true) &&
            LoadAVFormat(CombinedError, Folder, Versioned, true) &&
            LoadAVFilter(CombinedError, Folder, Versioned, true);
  AllLoaded = ok;
  if (ok) {
    CachedLogLevel = ff::av_log_get_level();
  } else {
    // Dependents first, so each library is released before what it needs.
    for (int i = 5; i >= 0; --i) LoadOrder[i]->Unload();
  }
  return AllLoaded;
}

void UnloadFFmpegLibraries() {
  std::lock_guard<std::mutex> guard(LoaderMutex);
  AllLoaded = false;
  for (int i = 5; i >= 0; --i) LoadOrder[i]->Unload();
}

bool FFmpegLibrariesLoaded() {
  std::lock_guard<std::mutex> guard(LoaderMutex);
  return AllLoaded;
}

std::string FFmpegLibrariesError() {
  std::lock_guard<std::mutex> guard(LoaderMutex);
  return CombinedError;
}

int LibraryLogLevel(int Level) {
  static constexpr int kLibraryLevels[] = {AV_LOG_QUIET, AV_LOG_ERROR, AV_LOG_INFO, AV_LOG_DEBUG, AV_LOG_TRACE};
  return kLibraryLevels[std::clamp(Level, -1, 3) + 1];
}

int ProgramLogLevel(int LibraryLevel) {
  if (LibraryLevel < AV_LOG_PANIC) return -1;
  if (LibraryLevel <= AV_LOG_ERROR) return 0;
  if (LibraryLevel <= AV_LOG_INFO) return 1;
  if (LibraryLevel <= AV_LOG_DEBUG) return 2;
  return 3;
}

void SetLibraryLogLevel(int Level) {
  if (ff::av_log_set_level) ff::av_log_set_level(Level);
  CachedLogLevel = Level;
}

std::string ExecutableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}

std::string DefaultLibraryFolder() { return ExecutableFolder() + "/LibAV"; }

std::vector<TLibraryInfo> LoadedLibraryInfo(const std::string& Folder) {
  std::vector<TLibraryInfo> result;
  if (!FFmpegLibrariesLoaded()) return result;
  for (TLibraryUnit* unit : LoadOrder) {
    TLibraryInfo info;
    info.FileName = unit->LibraryFileName();
    std::error_code ec;
    auto resolved = std::filesystem::canonical(std::filesystem::path(Folder) / info.FileName, ec);
    info.Path = ec ? info.FileName : resolved.string();
    info.Version = unit->RuntimeVersion();
    result.push_back(info);
  }
  return result;
}

#if defined(__SANITIZE_THREAD__)
// Thread-sanitizer builds: the media libraries are not instrumented. Their
// decoders' worker threads hand pictures over through the libraries' own
// atomics, which the sanitizer cannot see, so an allocation on one of their
// threads freed on ours would look like a race. Memory calls made from inside
// the libraries are left out; every access of the program's own code is
// still checked.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif
