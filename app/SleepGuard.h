// Keeps the computer from sleeping while a batch converts: a systemd-logind
// inhibitor lock ("sleep:idle", mode "block") taken over D-Bus. The lock is a
// file descriptor that logind watches: closing it releases the lock, and so
// does the end of the process, however it ends. The call to logind never
// waits: its answer arrives through the event loop of the thread that made
// the guard. User-interface thread only.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class QObject;

class TSleepGuard {
public:
  // Bus: the system bus in the program; tests hand a private bus with a
  // stand-in for logind.
  explicit TSleepGuard(QDBusConnection Bus);
  ~TSleepGuard();
  TSleepGuard(const TSleepGuard&) = delete;
  TSleepGuard& operator=(const TSleepGuard&) = delete;

  // Asks for the lock, saying Why ("Converting 12 files"), and returns at
  // once; a lock held or asked for is given back first. Done, when given, is
  // called with logind's answer: true once the lock is held, false with the
  // reason when logind is not there or refuses (the conversion goes on
  // without it). A Release or another Acquire before the answer gives the
  // lock back as it comes (Done is then not called); a failure is still told.
  void Acquire(const QString& Why, std::function<void(bool Ok, const QString& Error)> Done = {});
  // Gives the lock back (or drops the answer awaited); nothing when none.
  void Release();
  bool Held() const { return FFd >= 0; }

private:
  QDBusConnection FBus;
  int FFd = -1;         // the lock; -1 when none is held
  uint64_t FAsk = 0;    // the latest Acquire or Release: an answer to an older Acquire is dropped
  std::unique_ptr<QObject> FAnswers;  // the pending answers' watchers; they go with the guard
};
