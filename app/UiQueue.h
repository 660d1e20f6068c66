// Hands work from any thread to the user-interface thread without waiting for
// it. Post() appends a callable under a mutex of its own and wakes the
// user-interface thread with one posted event; the event runs every callable
// posted so far, in order. A callable that opens a modal box does not hold up
// the ones posted after it: they run inside the box's event loop. The callables cross threads under that mutex (not
// inside Qt's event queue), so the handoff is visible to ThreadSanitizer too.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

class TUiQueue : public QObject {
public:
  explicit TUiQueue(QObject* Parent = nullptr) : QObject(Parent) {}
  // Any thread; never blocks on the user-interface thread.
  void Post(std::function<void()> Callable);
  // Runs what has been posted so far (user-interface thread).
  void RunPosted();

protected:
  void customEvent(QEvent* Event) override;

private:
  void Wake();  // under FLock
  std::mutex FLock;
  std::deque<std::function<void()>> FPosted;   // FLock
  bool FWakePosted = false;                     // FLock: an event is on its way
};
