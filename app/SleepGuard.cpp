#include "SleepGuard.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <fcntl.h>
#include <unistd.h>

TSleepGuard::TSleepGuard(QDBusConnection Bus) : FBus(std::move(Bus)), FAnswers(std::make_unique<QObject>()) {}

TSleepGuard::~TSleepGuard() { Release(); }

void TSleepGuard::Acquire(const QString& Why, std::function<void(bool Ok, const QString& Error)> Done) {
  Release();
  auto answer = [Done](bool Ok, const QString& Error) {
    if (Done) Done(Ok, Error);
  };
  if (!FBus.isConnected()) {
    answer(false, "no system bus (" + FBus.lastError().message() + ")");
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                     "org.freedesktop.login1.Manager", "Inhibit");
  call << QString("sleep:idle") << QString("Vidlomat") << Why << QString("block");
  auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call, 5000), FAnswers.get());
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, FAnswers.get(),
                   [this, watcher, ask = FAsk, answer] {
                     watcher->deleteLater();
                     const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
                     // A failure is told even when the lock is no longer
                     // wanted: the asker learns that logind is not there.
                     if (reply.isError()) return answer(false, reply.error().message());
                     // Released or asked again meanwhile: the lock closes
                     // with the reply.
                     if (ask != FAsk) return;
                     if (!reply.value().isValid()) return answer(false, "logind gave no lock");
                     // The reply's descriptor closes with the reply; the lock lives in a copy.
                     FFd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 3);
                     if (FFd < 0) return answer(false, "the lock could not be kept");
                     answer(true, QString());
                   });
}

void TSleepGuard::Release() {
  ++FAsk;
  if (FFd < 0) return;
  ::close(FFd);
  FFd = -1;
}
