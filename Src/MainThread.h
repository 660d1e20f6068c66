// The main thread as the converter component sees it: a place to post a
// callable that runs there after a delay. The window implements it with its
// toolkit's single-shot timer; headless programs and tests use TEventLoop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class IMainThread {
public:
  virtual ~IMainThread() = default;
  // Runs Callable on the main thread about DelayMs milliseconds from now.
  // May be called from any thread.
  virtual void Post(int DelayMs, std::function<void()> Callable) = 0;
};

// A small event loop: callables posted from any thread run, in the order of
// their due time, on the thread that calls one of the Run functions.
class TEventLoop : public IMainThread {
public:
  TEventLoop() = default;
  ~TEventLoop() override = default;
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  void Post(int DelayMs, std::function<void()> Callable) override;

  // Runs due callables until Done() answers true (checked after each callable
  // and whenever Wake is called, at least every 10 ms) or Timeout has passed.
  // Returns Done()'s last answer.
  bool RunUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout);
  // Runs due callables for Duration.
  void RunFor(std::chrono::milliseconds Duration);
  // Makes a waiting Run function check its condition now.
  void Wake();
  // Callables posted and not yet run.
  int PendingCount() const;

private:
  using TClock = std::chrono::steady_clock;
  struct TItem {
    TClock::time_point Due;
    uint64_t Sequence;  // keeps posts with the same due time in order
    std::function<void()> Callable;
  };
  // Takes the earliest due item when it is due; false otherwise.
  bool TakeDue(TItem& Item);

  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TItem> FItems;  // guarded by FLock
  uint64_t FNextSequence = 0;  // guarded by FLock
  bool FWoken = false;         // guarded by FLock
};
