#include "CloseOnSignals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe between the handler and the notifier; one set of handlers at a
// time. Written by the handler, read on the user-interface thread.
int SignalPipe[2] = {-1, -1};

// Signals that arrived since the handlers were installed (the handler only).
volatile sig_atomic_t Arrivals = 0;  // read and written by the handler; reset at install

void OnSignal(int Signal) {
  // A second signal ends the program at once, as the signal's own default
  // does, whatever the window is doing (a box, a close that hangs).
  const bool second = Arrivals != 0;
  Arrivals = 1;
  if (second) {
    signal(Signal, SIG_DFL);
    raise(Signal);
    return;
  }
  const int saved = errno;
  const char number = static_cast<char>(Signal);
  // Async-signal-safe; a full pipe already holds a signal to act on.
  [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &number, 1);
  errno = saved;
}

}  // namespace

bool IgnoredSignal(int Signal) {
  struct sigaction current = {};
  return sigaction(Signal, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
         current.sa_handler == SIG_IGN;
}

TCloseOnSignals::TCloseOnSignals(QWidget* Window, std::function<void()> Quit)
    : FWindow(Window), FQuit(std::move(Quit)) {
  if (!FQuit) FQuit = [] { QTimer::singleShot(0, qApp, &QCoreApplication::quit); };
  if (SignalPipe[0] >= 0 || pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("vidlomat: no signal pipe");
    return;
  }
  Arrivals = 0;
  FNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, [this] { Arrived(); });
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    if (IgnoredSignal(kSignals[i])) continue;
    FInstalled[i] = sigaction(kSignals[i], &action, &FOld[i]) == 0;
  }
}

TCloseOnSignals::~TCloseOnSignals() {
  if (!FNotifier) return;
  for (size_t i = 0; i < std::size(kSignals); ++i)
    if (FInstalled[i]) sigaction(kSignals[i], &FOld[i], nullptr);
  delete FNotifier;
  ::close(SignalPipe[0]);
  ::close(SignalPipe[1]);
  SignalPipe[0] = SignalPipe[1] = -1;
}

void TCloseOnSignals::Arrived() {
  char numbers[16];
  while (read(SignalPipe[0], numbers, sizeof numbers) > 0) {
  }
  // As the close button: the window stops the run, its temporary outputs go,
  // the settings are written (a window busy adding files closes after the
  // file at hand).
  FWindow->close();
  // Boxes still open (a failure's warning) must not keep the program alive.
  for (int guard = 0; guard < 16; ++guard) {
    auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!modal) break;
    modal->reject();
  }
  if (!FWindow->isVisible()) FQuit();
}
