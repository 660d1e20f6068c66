// vidlomat: the batch video converter's window.
#include <QFileInfo>
#include <cstdio>
#include <algorithm>
#include <clocale>
#include <string>
#include <vector>

#include "AppIcon.h"
#include "CloseOnSignals.h"
#include "Dialogs.h"
#include "ErrorHandler.h"
#include "LauncherEntry.h"
#include "LogindPowerOff.h"
#include "MainForm.h"
#include "MediaLibraries.h"
#include "QueueList.h"
#include "SingleInstance.h"
#include "SleepGuard.h"

namespace {

// vidlomat --check: whether the media libraries load and the help is there,
// next to the executable (for installers and packagers); no window.
int Check() {
  TQuilloConverter converter;
  const std::string folder = DefaultLibraryFolder();
  if (!converter.LoadLibraries(folder, true)) {
    std::fprintf(stderr, "vidlomat: %s\n", converter.LastError().c_str());
    return 1;
  }
  converter.UnloadLibraries();
  const QString help = QCoreApplication::applicationDirPath() + "/help/index.html";
  if (!QFileInfo::exists(help)) {
    std::fprintf(stderr, "vidlomat: the help is missing: %s\n", qPrintable(help));
    return 1;
  }
  std::printf("vidlomat: libraries in %s, help in %s\n", folder.c_str(), qPrintable(help));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  InstallLastResortHandler();
  TApplication app(argc, argv);
  // Qt takes the whole locale from the environment; numbers handed between
  // the program and the media libraries are always written with a ".".
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(kAppTitle);
  QApplication::setApplicationDisplayName(kAppTitle);
  QApplication::setWindowIcon(AppIcon());

  // The arguments as the bytes the system gave (Qt has taken out its own):
  // a file name need not be UTF-8.
  std::vector<std::string> files(argv + std::min(argc, 1), argv + argc);
  if (!files.empty() && files[0] == "--check") return Check();
  // vidlomat --convert FILE...: the files given are converted at once.
  const bool convert = !files.empty() && files[0] == "--convert";
  if (convert) files.erase(files.begin());

  // One window per session: a window already open takes the files, and this
  // start ends before it reads or writes the kept list.
  TSingleInstance instance(QDBusConnection::sessionBus());
  if (!instance.Claim()) {
    QString error;
    if (instance.HandOver(files, convert, &error)) return 0;
    std::fprintf(stderr, "vidlomat: the window already open did not take the files (%s); opening another\n",
                 qPrintable(error));
  }

  TQtDialogs dialogs;
  app.SetDialogs(&dialogs);
  TLogindPowerOff powerOff;
  // Made before the window, so that they outlive it.
  TSleepGuard sleepGuard(QDBusConnection::systemBus());
  TLauncherEntry launcher(QDBusConnection::sessionBus());
  TForm1 form(dialogs, &powerOff);
  form.SetSleepGuard(&sleepGuard);
  form.SetLauncherEntry(&launcher);
  form.MeasureSizes(true);
  if (!form.FormCreate()) return 1;
  // A logout, `kill` or a closing terminal closes the window like its close button.
  TCloseOnSignals closeOnSignals(&form);
  form.show();
  // Files given as arguments join the list as if added.
  form.AddStartupFiles(files);
  // A signal (or the close button) while the files were added, or while the
  // Add summary was open, closed the window: nothing starts, the program ends.
  if (!form.isVisible()) {
    app.SetDialogs(nullptr);
    return 0;
  }
  if (convert && form.Lvw->RowCount() > 0) form.BtnStartClick();
  instance.SetOnOpen([&form](const std::vector<std::string>& Files, bool Convert) { form.OpenHandedOver(Files, Convert); });
  const int status = app.exec();
  app.SetDialogs(nullptr);
  return status;
}
