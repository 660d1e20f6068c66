// The engine side of the benchmark: one synchronous conversion with the
// window's default settings, and a batch through the converter component.
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "BatchSettings.h"
#include "Conversions.h"
#include "FFmpeg.h"
#include "MediaLibraries.h"

namespace {

// The option lines the window passes for one file with its default settings.
std::vector<std::pair<std::string, std::string>> WindowDefaultOptions() {
  return {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"ac", "2"}, {"b", "512000"},
          {"ab", "80000"},     {"s", "320x240"},      {"r", "30"}, {"ar", "44100"}};
}

}  // namespace

long PeakResidentKb() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
  std::fclose(f);
  return kb;
}

bool ConvertThroughEngine(const std::string& In, const std::string& Out, int DecoderThreads, bool EncoderThread,
                          std::string& Error, long* SetupKb) {
  TCustomFFmpeg engine;
  engine.PrepareForTask();
  engine.FDecoderThreadCount = DecoderThreads;
  engine.FEncoderThread = EncoderThread ? 1 : 0;
  try {
    if (!engine.OpenInputFile(In)) {
      Error = engine.LastError();
      return false;
    }
    for (const auto& [name, value] : WindowDefaultOptions()) engine.AddOption(name, value);
    if (!engine.OpenOutputFile(Out)) {
      Error = engine.LastError();
      return false;
    }
  } catch (const std::exception& e) {
    Error = e.what();
    return false;
  }
  if (SetupKb) *SetupKb = PeakResidentKb();
  engine.Start(false);
  if (engine.ErrorOccurred()) {
    Error = engine.ErrorMessage();
    return false;
  }
  if (!engine.Finished()) {
    Error = "the conversion stopped before the end";
    return false;
  }
  return true;
}

bool ConvertBatch(const std::vector<std::string>& Inputs, const std::string& OutFolder, int Jobs,
                  std::string& Error, bool LowPriority, bool EvenVolume) {
  TQuilloConverter converter;
  if (!converter.LoadLibraries(DefaultLibraryFolder(), true)) {
    Error = converter.LastError();
    return false;
  }
  converter.SetLogLevel(llError);
  converter.SetThreadPriority(LowPriority ? tpLowest : tpNormal);
  TBatchSettings settings;
  settings.OutputFolder = OutFolder;
  settings.EvenVolume = EvenVolume;
  TNameReservations reserved;
  for (const std::string& in : Inputs) {
    const TFileSetup setup = SetUpFile(converter, settings, in, &reserved);
    if (!setup.Ok) {
      Error = in + ": " + setup.Message;
      return false;
    }
  }
  std::mutex lock;
  std::condition_variable changed;
  bool allDone = false;
  int converted = 0;
  converter.OnTerminate = [&](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    std::lock_guard<std::mutex> guard(lock);
    if (AIndex < 0) {
      allDone = true;
      changed.notify_all();
    } else if (AFinished && !AException) {
      ++converted;
    } else if (Error.empty()) {
      Error = AMessage.empty() ? "a conversion stopped before the end" : AMessage;
    }
  };
  converter.Start(Jobs);
  {
    std::unique_lock<std::mutex> wait(lock);
    changed.wait(wait, [&] { return allDone; });
  }
  converter.OnTerminate = nullptr;
  return converted == static_cast<int>(Inputs.size());
}
