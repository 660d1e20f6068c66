// A small thread class: created suspended behind a start gate, resumed once,
// optionally deleting itself after Execute, with idle-to-normal priorities.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal };

// Nice value for a priority (19, 10, 5, 0).
int NiceValueOf(TThreadPriority Priority);

// A process-unique thread number: never 0, never reused.
uint32_t NewThreadNumber();
// The number of the calling thread (given on first use for threads not made by TThread).
uint32_t CurrentThreadNumber();
// Gives the calling thread a fresh number and returns it: a thread that runs
// one task after another takes a new identity for each, so that what it logs
// is never taken for an earlier task's.
uint32_t RenumberCurrentThread();

// The thread a piece of work is done for. A library runs some of a
// conversion's work (a decoder's frames) on threads of its own; what those
// threads log belongs to the thread running the conversion. Owner is that
// thread's number, keyed by an address the conversion's codecs carry (never
// read through); 0 forgets the key. LogOwnerOf gives 0 for an unknown key.
void SetLogOwner(const void* Key, uint32_t Owner);
uint32_t LogOwnerOf(const void* Key);
// A thread of the program that does part of another thread's conversion (its
// encoding side) logs for that thread: Owner is its number, 0 ends that.
// CurrentLogOwner is the number the calling thread logs for.
void SetCurrentThreadWorksFor(uint32_t Owner);
uint32_t CurrentLogOwner();

class TThread {
public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Opens the start gate; later calls do nothing.
  void Resume();
  bool Suspended() const;

  // Takes effect when the thread starts running (set it before Resume).
  void SetPriority(TThreadPriority Priority) { FPriority = Priority; }
  TThreadPriority GetPriority() const { return FPriority; }

  // When set before Resume, the object deletes itself after Execute.
  void SetFreeOnTerminate(bool Value) { FFreeOnTerminate = Value; }

  // Waits until Execute has returned (not for free-on-terminate threads).
  void WaitFor();

  uint32_t ThreadID() const { return FThreadID; }

protected:
  virtual void Execute() = 0;

private:
  void Body();

  // Owned by the creating thread until Resume; afterwards read by the thread itself.
  TThreadPriority FPriority = tpNormal;
  bool FFreeOnTerminate = false;
  const uint32_t FThreadID;

  mutable std::mutex FGateLock;   // guards FStarted, FCancelled, FFinished
  std::condition_variable FGate;
  bool FStarted = false;
  bool FCancelled = false;
  bool FFinished = false;
  std::thread FHandle;
};
