#include "ErrorHandler.h"

#include <cstdio>
#include <cstdlib>

#include "FFmpeg.h"

QString ErrorMessageText(const QString& Message) {
  if (!Message.isEmpty() && Message.back().unicode() > '.') return Message + ".";
  return Message;
}

void ReportException(IDialogs& Dialogs, const std::exception_ptr& E) {
  QString text;
  TMessageIcon icon = TMessageIcon::Error;
  try {
    std::rethrow_exception(E);
  } catch (const FFMpegException& e) {
    text = QString::fromStdString(e.what());
    icon = TMessageIcon::Warning;
  } catch (const std::exception& e) {
    text = QString::fromStdString(e.what());
  } catch (...) {
    text = "Unknown error";
  }
  Dialogs.Message(QApplication::activeWindow(), QGuiApplication::applicationDisplayName(), ErrorMessageText(text),
                  icon);
}

TApplication::TApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    const std::exception_ptr e = std::current_exception();
    if (FDialogs) {
      ReportException(*FDialogs, e);
    } else {
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        std::fprintf(stderr, "vidlomat: %s\n", x.what());
      } catch (...) {
        std::fprintf(stderr, "vidlomat: unknown error\n");
      }
    }
    return false;
  }
}

namespace {
[[noreturn]] void LastResort() {
  if (const std::exception_ptr e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      std::fprintf(stderr, "vidlomat: fatal error: %s\n", x.what());
    } catch (...) {
      std::fprintf(stderr, "vidlomat: fatal error of unknown kind\n");
    }
  } else {
    std::fprintf(stderr, "vidlomat: fatal error\n");
  }
  std::fflush(stderr);
  std::abort();
}
}  // namespace

void InstallLastResortHandler() { std::set_terminate(LastResort); }
