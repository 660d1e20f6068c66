// vidlomat: the batch video converter's window.
#include <QScreen>
#include <clocale>

#include "AppIcon.h"
#include "Dialogs.h"
#include "ErrorHandler.h"
#include "LogindPowerOff.h"
#include "MainForm.h"

int main(int argc, char** argv) {
  InstallLastResortHandler();
  TApplication app(argc, argv);
  // Qt takes the whole locale from the environment; numbers handed between
  // the program and the media libraries are always written with a ".".
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(kAppTitle);
  QApplication::setApplicationDisplayName(kAppTitle);
  QApplication::setWindowIcon(AppIcon());

  TQtDialogs dialogs;
  app.SetDialogs(&dialogs);
  TLogindPowerOff powerOff;
  TForm1 form(dialogs, &powerOff);
  if (!form.FormCreate()) return 1;
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    form.move(screen->availableGeometry().center() - form.rect().center());
  form.show();
  const int status = app.exec();
  app.SetDialogs(nullptr);
  return status;
}
