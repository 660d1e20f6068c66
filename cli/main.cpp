// vidlomat-cli: converts the given video files to .mp4 files.
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "CliMain.h"

namespace {
void OnInterrupt(int) { RequestCliInterrupt(); }
}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunCli(args, std::cout, std::cerr, isatty(STDOUT_FILENO) != 0);
}
