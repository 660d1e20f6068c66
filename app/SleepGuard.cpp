#include "SleepGuard.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <fcntl.h>
#include <unistd.h>

TSleepGuard::TSleepGuard(QDBusConnection Bus) : FBus(std::move(Bus)) {}

TSleepGuard::~TSleepGuard() { Release(); }

bool TSleepGuard::Acquire(const QString& Why, QString* Error) {
  Release();
  auto fail = [Error](const QString& Text) {
    if (Error) *Error = Text;
    return false;
  };
  if (!FBus.isConnected()) return fail("no system bus (" + FBus.lastError().message() + ")");
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                     "org.freedesktop.login1.Manager", "Inhibit");
  call << QString("sleep:idle") << QString("Vidlomat") << Why << QString("block");
  const QDBusReply<QDBusUnixFileDescriptor> reply = FBus.call(call, QDBus::Block, 5000);
  if (!reply.isValid()) return fail(reply.error().message());
  if (!reply.value().isValid()) return fail("logind gave no lock");
  // The reply's descriptor closes with the reply; the lock lives in a copy.
  FFd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 3);
  if (FFd < 0) return fail("the lock could not be kept");
  return true;
}

void TSleepGuard::Release() {
  if (FFd < 0) return;
  ::close(FFd);
  FFd = -1;
}
