// The batch's progress on the program's launcher icon, for the docks and
// panels that show it (the com.canonical.Unity.LauncherEntry signal Update on
// the session bus: progress, progress-visible, count, count-visible). A
// signal nobody listens to shows nothing; without a session bus nothing is
// sent. User-interface thread only.
#pragma once

#include <QDBusConnection>
#include <QString>

class TLauncherEntry {
public:
  // DesktopId: the desktop entry's file name; the signal names
  // "application://" + DesktopId.
  explicit TLauncherEntry(QDBusConnection Bus, QString DesktopId = "vidlomat.desktop");

  // Shows Percent (0..100) done and FilesLeft files to go; the same figures
  // again send nothing.
  void Show(int Percent, int FilesLeft);
  // Hides the progress and the count (once; again sends nothing).
  void Clear();

private:
  void Send(double Progress, bool Visible, int Count);
  QDBusConnection FBus;
  QString FUri;
  int FPercent = -1, FFilesLeft = -1;  // what the last signal showed (-1: hidden)
  bool FShown = false;
};
