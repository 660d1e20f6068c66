// The command-line converter: the window's batch conversion without a window.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "BatchSettings.h"

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;       // a file failed or was refused
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

struct TCliOptions {
  TBatchSettings Settings;
  int Jobs = 1;
  bool LowPriority = false;  // conversion threads at nice 10, as batch jobs
  int Verbosity = 1;  // 0 quiet, 1 normal, 2 verbose
  bool Help = false;
  bool Libraries = false;  // print the media libraries and exit
  bool Version = false;    // print the version and exit
  std::vector<std::string> Files;
};

// Parses the arguments (without the program name). False with a message in
// Error for a usage error.
bool ParseCliArguments(const std::vector<std::string>& Args, TCliOptions& Options, std::string& Error);

// Whether a batch's outputs fit in the output folder's Free bytes (-1: not
// known, taken as fitting). Bounds are the files' bitrate bounds
// (TFileSetup::ExpectedBytes; 0 or less: not known, counted as 0). When their
// total clearly does not fit, Measure(i) measures file i on samples (its
// bytes, or -1 when it cannot be measured: then its bound stands), and the
// batch is refused only when the measured total clearly does not fit either.
// The bound can be several times the real output, so it alone would refuse
// batches that fit.
struct TBatchRoom {
  bool Fits = true;
  bool Measured = false;  // the files were measured
  int64_t Bytes = 0;      // the total checked last: the measured one when measured
};
TBatchRoom CheckBatchRoom(const std::vector<int64_t>& Bounds, int64_t Free,
                          const std::function<int64_t(size_t)>& Measure);

std::string CliUsage();
// "vidlomat-cli (Vidlomat) 3.1": the program's release, as the window's About shows it.
std::string CliVersion();

// The whole program: parse, list, convert, summarise. Terminal selects the
// redrawn progress bars (else plain progress lines). Returns the exit status.
int RunCli(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err, bool Terminal);

// Asks a running RunCli to stop (async-signal-safe: sets a flag that the
// converting thread acts on).
void RequestCliInterrupt();

// Pauses or resumes the conversions of a running RunCli (from an ordinary
// thread: it takes locks). While paused nothing is converted and the time
// left stops; nothing happens outside a conversion.
void RequestCliPause(bool On);
