// The application-wide error handler: an exception that escapes an event
// handler is shown in a message box and the program goes on; one that escapes
// everything else is written to standard error before the program ends.
#pragma once

#include <QApplication>
#include <exception>

#include "Dialogs.h"

// The message as shown: a "." is appended when the text is not empty and its
// last character sorts after "." (letters, digits; not ")" or "." itself).
QString ErrorMessageText(const QString& Message);

// Shows the exception E with the application's title as the box's title: the
// engine's own exception class with the warning icon, any other with the
// error icon.
void ReportException(IDialogs& Dialogs, const std::exception_ptr& E);

// The application object with the handler installed in notify().
class TApplication : public QApplication {
public:
  TApplication(int& Argc, char** Argv);
  void SetDialogs(IDialogs* Dialogs) { FDialogs = Dialogs; }
  bool notify(QObject* Receiver, QEvent* Event) override;

private:
  IDialogs* FDialogs = nullptr;  // user-interface thread
};

// The last-resort handler (std::set_terminate): writes what ended the
// program to standard error, then aborts.
void InstallLastResortHandler();
