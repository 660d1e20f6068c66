#include "UiQueue.h"

#include <QCoreApplication>
#include <QEvent>

namespace {
const QEvent::Type kRunPostedEvent = static_cast<QEvent::Type>(QEvent::User + 1);
}

void TUiQueue::Post(std::function<void()> Callable) {
  std::lock_guard<std::mutex> guard(FLock);
  FPosted.push_back(std::move(Callable));
  if (!FWakePosted) Wake();
}

void TUiQueue::RunPosted() {
  // One after another, in the order posted. A callable that opens a modal box
  // runs the event loop again: the wake posted for the callables behind it
  // lets that loop run them, so a box that nobody answers holds up nothing.
  for (;;) {
    std::function<void()> next;
    {
      std::lock_guard<std::mutex> guard(FLock);
      FWakePosted = false;
      if (FPosted.empty()) return;
      next = std::move(FPosted.front());
      FPosted.pop_front();
      if (!FPosted.empty()) Wake();
    }
    next();
  }
}

void TUiQueue::Wake() {
  FWakePosted = true;
  QCoreApplication::postEvent(this, new QEvent(kRunPostedEvent));
}

void TUiQueue::customEvent(QEvent* Event) {
  if (Event->type() == kRunPostedEvent) RunPosted();
}
