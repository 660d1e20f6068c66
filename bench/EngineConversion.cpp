// The engine side of the benchmark: one synchronous conversion with the
// window's default settings.
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "Conversions.h"
#include "FFmpeg.h"

namespace {

// The option lines the window passes for one file with its default settings.
std::vector<std::pair<std::string, std::string>> WindowDefaultOptions() {
  return {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"ac", "2"}, {"b", "512000"},
          {"ab", "80000"},     {"s", "320x240"},      {"r", "30"}, {"ar", "44100"}};
}

}  // namespace

bool ConvertThroughEngine(const std::string& In, const std::string& Out, std::string& Error) {
  TCustomFFmpeg engine;
  engine.PrepareForTask();
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
