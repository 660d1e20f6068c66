// The path that carries the media libraries' own log output to the right task:
// the pending text per thread, the registry of live converter components, and
// the library log callback.
#pragma once

#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Pending log text per thread

class TLogList {
public:
  struct TNode {
    uint32_t ThreadId = 0;  // 0 = free
    std::string Pending;
    TNode* Next = nullptr;
  };

  TLogList() = default;
  ~TLogList();
  TLogList(const TLogList&) = delete;
  TLogList& operator=(const TLogList&) = delete;

  // Not locked: LogTable is used under the ConverterInstances lock.
  TNode* FindOrAdd(uint32_t ThreadId);
  void Clear();
  int NodeCount() const;

private:
  TNode FFirst;
};

class TCustomQuilloConverter;

// The live converter components and the pending log table, behind one lock.
// The library log callback holds the lock only while it reads the list and the
// table; it dispatches after releasing it, so a thread that holds a component's
// FLock may log (and so take this lock) without any risk of deadlock.
// FLock is a leaf: nothing else is locked, and no library function is called,
// while it is held.
class TConverterInstances {
public:
  void Add(TCustomQuilloConverter* Component);
  // Removes the component and waits until no log dispatch to it is running.
  void Remove(TCustomQuilloConverter* Component);
  int Count() const;
  // Every live component (a copy taken under the lock).
  std::vector<TCustomQuilloConverter*> Snapshot() const;
  void ClearLogTable();
  int LogTableNodeCount() const;

private:
  friend void LogCallback(void* Context, int Level, const char* Format, va_list Args);
  mutable std::mutex FLock;
  std::condition_variable FIdle;                   // signalled when a dispatch ends
  std::vector<TCustomQuilloConverter*> FComponents;  // guarded by FLock
  // Log dispatches now running, per component (absent: none). Guarded by FLock.
  std::vector<std::pair<TCustomQuilloConverter*, int>> FBusy;
  TLogList FLogTable;  // guarded by FLock
  void EnterDispatch(TCustomQuilloConverter* Component);  // FLock held
  void LeaveDispatch(TCustomQuilloConverter* Component);  // FLock held
  bool Busy(TCustomQuilloConverter* Component) const;     // FLock held
};

TConverterInstances& ConverterInstances();
// The table of unfinished log lines per thread (inside ConverterInstances).
void ClearLogTableOfInstances();

// Size of one formatted library log line, prefix and pending text included.
constexpr int LOG_LINE_SIZE = 2048;

// The library log callback (installed with av_log_set_callback).
void LogCallback(void* Context, int Level, const char* Format, va_list Args);

// Hands one library log line of thread ThreadId to Component; Level is the
// program's (ProgramLogLevel of the library's).
void DispatchLog(TCustomQuilloConverter* Component, uint32_t ThreadId, int Level, const std::string& Line);

// Formats one library message into Buffer (LOG_LINE_SIZE bytes) behind the
// prefix or the pending text, bounded to the room left. A message that does
// not fit is cut at a character boundary and ends its line. Returns the text.
std::string FormatLogText(const void* Context, const std::string& Pending, const char* Format, va_list Args);
