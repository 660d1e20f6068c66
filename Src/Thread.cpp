#include "Thread.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

namespace {
std::atomic<uint32_t> LastThreadNumber{0};
thread_local uint32_t ThisThreadNumber = 0;
thread_local uint32_t ThisThreadWorksFor = 0;

// One entry per conversion running now: a handful at most.
std::mutex LogOwnersLock;
std::vector<std::pair<const void*, uint32_t>> LogOwners;  // guarded by LogOwnersLock
}  // namespace

int NiceValueOf(TThreadPriority Priority) {
  switch (Priority) {
    case tpIdle: return 19;
    case tpLowest: return 10;
    case tpLower: return 5;
    default: return 0;
  }
}

uint32_t NewThreadNumber() {
  uint32_t n = ++LastThreadNumber;
  if (n == 0) n = ++LastThreadNumber;  // 2^32 threads later: still never 0
  return n;
}

uint32_t CurrentThreadNumber() {
  if (ThisThreadNumber == 0) ThisThreadNumber = NewThreadNumber();
  return ThisThreadNumber;
}

uint32_t RenumberCurrentThread() {
  ThisThreadNumber = NewThreadNumber();
  return ThisThreadNumber;
}

void SetLogOwner(const void* Key, uint32_t Owner) {
  std::lock_guard<std::mutex> guard(LogOwnersLock);
  std::erase_if(LogOwners, [Key](const auto& Entry) { return Entry.first == Key; });
  if (Owner != 0) LogOwners.emplace_back(Key, Owner);
}

void SetCurrentThreadWorksFor(uint32_t Owner) { ThisThreadWorksFor = Owner; }

uint32_t CurrentLogOwner() { return ThisThreadWorksFor ? ThisThreadWorksFor : CurrentThreadNumber(); }

uint32_t LogOwnerOf(const void* Key) {
  std::lock_guard<std::mutex> guard(LogOwnersLock);
  for (const auto& [key, owner] : LogOwners)
    if (key == Key) return owner;
  return 0;
}

TThread::TThread() : FThreadID(NewThreadNumber()) {
  FHandle = std::thread([this] { Body(); });
}

TThread::~TThread() {
  {
    std::lock_guard<std::mutex> guard(FGateLock);
    if (!FStarted) FCancelled = true;
  }
  FGate.notify_all();
  // A self-deleting thread has detached itself before deleting the object.
  if (FHandle.joinable() && FHandle.get_id() != std::this_thread::get_id()) FHandle.join();
  else if (FHandle.joinable()) FHandle.detach();
}

void TThread::Resume() {
  // Notified under the lock: a free-on-terminate thread may run and delete
  // itself (and this condition variable) as soon as the lock is released.
  std::lock_guard<std::mutex> guard(FGateLock);
  if (FStarted || FCancelled) return;
  FStarted = true;
  FGate.notify_all();
}

bool TThread::Suspended() const {
  std::lock_guard<std::mutex> guard(FGateLock);
  return !FStarted;
}

void TThread::WaitFor() {
  std::unique_lock<std::mutex> lock(FGateLock);
  FGate.wait(lock, [this] { return FFinished || FCancelled; });
}

void TThread::Body() {
  {
    std::unique_lock<std::mutex> lock(FGateLock);
    FGate.wait(lock, [this] { return FStarted || FCancelled; });
    if (FCancelled) return;
  }
  ThisThreadNumber = FThreadID;
  // The background priorities also mark the thread as a batch job for the
  // scheduler (no wake-up preference over interactive threads). Threads it
  // starts, the codecs' own among them, inherit the policy and nice value.
  if (FPriority <= tpLowest) {
    const sched_param batch{};
    sched_setscheduler(0, SCHED_BATCH, &batch);
  }
  // Per-thread nice value; failure (for example no right to lower it) is ignored.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), NiceValueOf(FPriority));
  try {
    Execute();
  } catch (...) {
    // An exception that leaves Execute ends the thread quietly, as the thread
    // has no caller to report to; Execute bodies report their own failures.
  }
  if (FFreeOnTerminate) {
    FHandle.detach();
    delete this;
    return;
  }
  {
    std::lock_guard<std::mutex> guard(FGateLock);
    FFinished = true;
  }
  FGate.notify_all();
}
