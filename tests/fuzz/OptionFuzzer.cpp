// Fuzz target: option texts through the option parser and handlers, then the
// output file built from the option state they leave.
//
// The input is an option text ("name=value" lines, as the component's extra
// options). Lines naming options that load libraries or write files of their
// own choosing (frame hooks, statistics files) are left out.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <set>
#include <string>

#include "FFmpeg.h"
#include "FuzzSupport.h"
#include "OptionTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  FuzzLoadLibraries();
  static const std::set<std::string> kLeftOut = {"vhook", "vstats", "vstats_file", "passlogfile", "pass"};
  const std::string text(reinterpret_cast<const char*>(Data), Size);
  TCustomFFmpeg engine;
  engine.PrepareForTask();
  for (const auto& [name, value] : opt::SplitOptionText(text)) {
    if (kLeftOut.count(name)) continue;
    try {
      engine.AddOption(name, value);
    } catch (const std::exception&) {
      // A refused value: the caller shows the message.
    }
  }
  engine.OpenOutputFile(FuzzScratchFolder() + "/options.mp4");
  engine.Cleanup();
  return 0;
}
