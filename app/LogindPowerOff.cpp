#include "LogindPowerOff.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <cstdio>

void TLogindPowerOff::PowerOffNow() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "vidlomat: power-off: no system bus: %s\n", qPrintable(bus.lastError().message()));
    return;
  }
  QDBusInterface logind("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", bus);
  logind.setTimeout(5000);
  const QDBusReply<QString> can = logind.call("CanPowerOff");
  if (!can.isValid()) {
    std::fprintf(stderr, "vidlomat: power-off: CanPowerOff failed: %s\n", qPrintable(can.error().message()));
    return;
  }
  // "challenge" would need an interactive authorisation, which a finished
  // batch cannot answer; only a plain "yes" goes on.
  if (can.value() != "yes") {
    std::fprintf(stderr, "vidlomat: power-off: not allowed (CanPowerOff: %s)\n", qPrintable(can.value()));
    return;
  }
  if (!logind.call(QDBus::NoBlock, "PowerOff", false).errorName().isEmpty())
    std::fprintf(stderr, "vidlomat: power-off: PowerOff failed: %s\n", qPrintable(logind.lastError().message()));
}
