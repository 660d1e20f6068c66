#include "LauncherEntry.h"

#include <QDBusMessage>
#include <QVariantMap>
#include <algorithm>

TLauncherEntry::TLauncherEntry(QDBusConnection Bus, QString DesktopId)
    : FBus(std::move(Bus)), FUri("application://" + DesktopId) {}

void TLauncherEntry::Show(int Percent, int FilesLeft) {
  Percent = std::clamp(Percent, 0, 100);
  FilesLeft = std::max(0, FilesLeft);
  if (FShown && Percent == FPercent && FilesLeft == FFilesLeft) return;
  FShown = true;
  FPercent = Percent;
  FFilesLeft = FilesLeft;
  Send(Percent / 100.0, true, FilesLeft);
}

void TLauncherEntry::Clear() {
  if (!FShown) return;
  FShown = false;
  FPercent = FFilesLeft = -1;
  Send(0, false, 0);
}

void TLauncherEntry::Send(double Progress, bool Visible, int Count) {
  if (!FBus.isConnected()) return;
  QDBusMessage signal =
      QDBusMessage::createSignal("/org/example/vidlomat/LauncherEntry", "com.canonical.Unity.LauncherEntry", "Update");
  QVariantMap properties;
  properties["progress"] = Progress;
  properties["progress-visible"] = Visible;
  properties["count"] = static_cast<qint64>(Count);
  properties["count-visible"] = Visible && Count > 0;
  signal << FUri << properties;
  FBus.send(signal);
}
