#include "MainThread.h"

#include <algorithm>

void TEventLoop::Post(int DelayMs, std::function<void()> Callable) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FItems.push_back(TItem{TClock::now() + std::chrono::milliseconds(std::max(DelayMs, 0)), FNextSequence++,
                           std::move(Callable)});
    FWoken = true;
  }
  FChanged.notify_all();
}

void TEventLoop::Wake() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FWoken = true;
  }
  FChanged.notify_all();
}

int TEventLoop::PendingCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<int>(FItems.size());
}

bool TEventLoop::TakeDue(TItem& Item) {
  auto earliest = std::min_element(FItems.begin(), FItems.end(), [](const TItem& A, const TItem& B) {
    return A.Due != B.Due ? A.Due < B.Due : A.Sequence < B.Sequence;
  });
  if (earliest == FItems.end() || earliest->Due > TClock::now()) return false;
  Item = std::move(*earliest);
  FItems.erase(earliest);
  return true;
}

bool TEventLoop::RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  const auto deadline = TClock::now() + Timeout;
  for (;;) {
    if (Done && Done()) return true;
    if (TClock::now() >= deadline) return Done ? Done() : false;
    TItem item;
    bool have = false;
    {
      std::unique_lock<std::mutex> lock(FLock);
      have = TakeDue(item);
      if (!have) {
        auto wakeAt = std::min(deadline, TClock::now() + std::chrono::milliseconds(10));
        for (const TItem& i : FItems) wakeAt = std::min(wakeAt, i.Due);
        FChanged.wait_until(lock, wakeAt, [&] { return FWoken; });
        FWoken = false;
        have = TakeDue(item);
      }
    }
    // Run outside the lock: the callable may post again.
    if (have) item.Callable();
  }
}

void TEventLoop::RunFor(std::chrono::milliseconds Duration) { RunUntil(nullptr, Duration); }
