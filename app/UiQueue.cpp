#include "UiQueue.h"

#include <QCoreApplication>
#include <QEvent>

namespace {
const QEvent::Type kRunPostedEvent = static_cast<QEvent::Type>(QEvent::User + 1);
}

void TUiQueue::Post(std::function<void()> Callable) {
  std::lock_guard<std::mutex> guard(FLock);
  FPosted.push_back(std::move(Callable));
  if (!FWakePosted) {
    FWakePosted = true;
    QCoreApplication::postEvent(this, new QEvent(kRunPostedEvent));
  }
}

void TUiQueue::RunPosted() {
  // One at a time: a callable that opens a modal box runs the event loop
  // again, and the callables after it must still run in the order posted.
  for (;;) {
    std::function<void()> next;
    {
      std::lock_guard<std::mutex> guard(FLock);
      FWakePosted = false;
      if (FPosted.empty()) return;
      next = std::move(FPosted.front());
      FPosted.pop_front();
    }
    next();
  }
}

void TUiQueue::customEvent(QEvent* Event) {
  if (Event->type() == kRunPostedEvent) RunPosted();
}
