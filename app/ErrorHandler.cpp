#include "ErrorHandler.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "FFmpeg.h"

QString ErrorMessageText(const QString& Message) {
  if (!Message.isEmpty() && Message.back().unicode() > '.') return Message + ".";
  return Message;
}

namespace {
// The message an exception carries (none for one that is no std::exception),
// and whether it is the engine's.
std::optional<QString> MessageOf(const std::exception_ptr& E, bool* FromEngine = nullptr) {
  try {
    std::rethrow_exception(E);
  } catch (const FFMpegException& e) {
    if (FromEngine) *FromEngine = true;
    return QString::fromStdString(e.what());
  } catch (const std::exception& e) {
    return QString::fromStdString(e.what());
  } catch (...) {
    return std::nullopt;
  }
}
}  // namespace

void ReportException(IDialogs& Dialogs, const std::exception_ptr& E) {
  bool fromEngine = false;
  const QString text = MessageOf(E, &fromEngine).value_or("Unknown error");
  Dialogs.Message(QApplication::activeWindow(), QGuiApplication::applicationDisplayName(), ErrorMessageText(text),
                  fromEngine ? TMessageIcon::Warning : TMessageIcon::Error);
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
      const std::optional<QString> message = MessageOf(e);
      std::fprintf(stderr, "vidlomat: %s\n", message ? qPrintable(*message) : "unknown error");
    }
    return false;
  }
}

namespace {
[[noreturn]] void LastResort() {
  if (const std::exception_ptr e = std::current_exception()) {
    if (const std::optional<QString> message = MessageOf(e))
      std::fprintf(stderr, "vidlomat: fatal error: %s\n", qPrintable(*message));
    else
      std::fprintf(stderr, "vidlomat: fatal error of unknown kind\n");
  } else {
    std::fprintf(stderr, "vidlomat: fatal error\n");
  }
  std::fflush(stderr);
  std::abort();
}
}  // namespace

void InstallLastResortHandler() { std::set_terminate(LastResort); }
