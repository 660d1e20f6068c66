// Keeps the computer from sleeping while a batch converts: a systemd-logind
// inhibitor lock ("sleep:idle", mode "block") taken over D-Bus. The lock is a
// file descriptor that logind watches: closing it releases the lock, and so
// does the end of the process, however it ends. User-interface thread only.
#pragma once

#include <QDBusConnection>
#include <QString>

class TSleepGuard {
public:
  // Bus: the system bus in the program; tests hand a private bus with a
  // stand-in for logind.
  explicit TSleepGuard(QDBusConnection Bus);
  ~TSleepGuard();
  TSleepGuard(const TSleepGuard&) = delete;
  TSleepGuard& operator=(const TSleepGuard&) = delete;

  // Takes the lock, saying Why ("Converting 12 files"); a lock already held
  // is given back first. False, with Error saying why, when logind is not
  // there or refuses; the conversion goes on without it.
  bool Acquire(const QString& Why, QString* Error = nullptr);
  // Gives the lock back; nothing when none is held.
  void Release();
  bool Held() const { return FFd >= 0; }

private:
  QDBusConnection FBus;
  int FFd = -1;  // the lock; -1 when none is held
};
