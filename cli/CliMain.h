// The command-line converter: the window's batch conversion without a window.
#pragma once

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
