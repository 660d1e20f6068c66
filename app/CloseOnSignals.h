// SIGTERM, SIGINT and SIGHUP (a logout, `kill`, a closing terminal) close the
// window as its close button does: the run stops, its temporary outputs go,
// and the settings are written. The signal handler only writes the signal's
// number into a pipe; the user-interface thread reads it through a
// QSocketNotifier and does the work there. A second signal ends the program
// at once (its default action), whatever the window is doing. A signal that is ignored when the
// handlers are installed (SIGHUP under nohup) stays ignored: whoever started
// the program asked for the batch to outlive it.
#pragma once

#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;
class QWidget;

// Whether Signal is set to be ignored now.
bool IgnoredSignal(int Signal);

class TCloseOnSignals : public QObject {
public:
  // Quit ends the program once the window has closed (default: the
  // application's quit, queued so that open boxes unwind first).
  explicit TCloseOnSignals(QWidget* Window, std::function<void()> Quit = {});
  // Puts the earlier handlers back.
  ~TCloseOnSignals() override;
  TCloseOnSignals(const TCloseOnSignals&) = delete;
  TCloseOnSignals& operator=(const TCloseOnSignals&) = delete;

  // The signals handled.
  static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

private:
  void Arrived();

  QWidget* FWindow;
  std::function<void()> FQuit;
  QSocketNotifier* FNotifier = nullptr;
  struct sigaction FOld[std::size(kSignals)] = {};
  bool FInstalled[std::size(kSignals)] = {};  // the handler replaced FOld
};
