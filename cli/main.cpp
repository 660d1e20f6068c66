// vidlomat-cli: converts the given video files to .mp4 files.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <thread>

#include "CliMain.h"
#include "EngineIO.h"

int main(int argc, char** argv) {
  // Ctrl-C, SIGTERM and SIGHUP are taken by one thread of their own (every
  // thread started later inherits the blocked mask): the first stops the
  // conversions, which then remove what they wrote; the next ends the program
  // at once, removing the temporary outputs itself. A signal ignored at start
  // (SIGHUP under nohup) stays ignored: blocked and waited for, it would
  // arrive all the same.
  // Ctrl-Z (SIGTSTP) pauses the conversions, then stops the program as the
  // shell expects; SIGCONT (fg, bg) resumes them, so that the clocks and the
  // time left leave the stop out.
  sigset_t signals;
  sigemptyset(&signals);
  bool any = false;
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGTSTP}) {
    struct sigaction current = {};
    if (sigaction(s, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN)
      continue;
    sigaddset(&signals, s);
    any = true;
  }
  sigaddset(&signals, SIGCONT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (any) std::thread([signals] {
    for (int received = 0;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0) continue;
      if (signal == SIGTSTP) {
        RequestCliPause(true);
        kill(getpid(), SIGSTOP);
        continue;
      }
      if (signal == SIGCONT) {
        RequestCliPause(false);
        continue;
      }
      if (++received == 1) {
        RequestCliInterrupt();
      } else {
        RemoveTemporaryOutputs();
        _exit(kExitInterrupted);
      }
    }
  }).detach();
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunCli(args, std::cout, std::cerr, isatty(STDOUT_FILENO) != 0);
}
