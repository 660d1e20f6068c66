// Shared pieces of the component tests: clips made once per test program, an
// event recorder, and a watchdog that ends a hung test.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QuilloConverter.h"

// A clip of the media maker's preset Preset (seconds: its length), made once
// per program in a folder that lives as long as the program.
std::string TestClip(const std::string& Preset, double Seconds = 1.0);
// A folder for outputs, fresh per call, removed at program end.
std::string FreshOutputFolder();

struct TEventRecord {
  enum TKind { Log, Progress, Terminate } Kind;
  int Index = 0;
  bool Finished = false;
  bool Exception = false;
  std::string Message;
  TLogLevel Level = llInfo;
  std::thread::id Thread;
  std::chrono::steady_clock::time_point At;
};

// Records the component's log, progress and termination events.
class TEventRecorder {
public:
  void Attach(TCustomQuilloConverter& C, bool Logs);
  // Waits for the all-done event (index -1); false on timeout.
  bool WaitAllDone(std::chrono::milliseconds Timeout = std::chrono::seconds(60));
  // Waits until Pred holds on the recorded events.
  bool WaitFor(const std::function<bool(const std::vector<TEventRecord>&)>& Pred,
               std::chrono::milliseconds Timeout = std::chrono::seconds(60));
  std::vector<TEventRecord> Events() const;
  std::vector<TEventRecord> Terminations() const;
  int AllDoneCount() const;

private:
  void Add(TEventRecord R);
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TEventRecord> FEvents;
};

// Ends the program with a message when not disarmed within Limit.
class TWatchdog {
public:
  TWatchdog(std::chrono::seconds Limit, std::string What);
  ~TWatchdog();

private:
  std::mutex FLock;
  std::condition_variable FDone;
  bool FDisarmed = false;
  std::thread FThread;
};

// Loads the libraries through C (which installs the log path).
void LoadThrough(TCustomQuilloConverter& C);

// Adds a task for Input writing to Output with the window's default settings;
// returns its index (asserts success).
int AddConversion(TCustomQuilloConverter& C, const std::string& Input, const std::string& Output,
                  const TOutputOptions* Extra = nullptr);
