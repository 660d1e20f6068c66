// The pending log table, the registry of live components and the library log
// callback.
#include "LogPath.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "MediaLibraries.h"
#include "QuilloConverter.h"
#include "Thread.h"

// ---------------------------------------------------------------------------
// TLogList

TLogList::~TLogList() { Clear(); }

TLogList::TNode* TLogList::FindOrAdd(uint32_t ThreadId) {
  if (FFirst.ThreadId == 0 || FFirst.ThreadId == ThreadId) {
    FFirst.ThreadId = ThreadId;
    return &FFirst;
  }
  for (TNode* n = FFirst.Next; n; n = n->Next)
    if (n->ThreadId == ThreadId) return n;
  auto* node = new TNode;
  node->ThreadId = ThreadId;
  node->Next = FFirst.Next;
  FFirst.Next = node;
  return node;
}

void TLogList::Clear() {
  FFirst.ThreadId = 0;
  FFirst.Pending.clear();
  TNode* n = FFirst.Next;
  FFirst.Next = nullptr;
  while (n) {
    TNode* next = n->Next;
    delete n;
    n = next;
  }
}

int TLogList::NodeCount() const {
  int count = FFirst.ThreadId != 0 ? 1 : 0;
  for (const TNode* n = FFirst.Next; n; n = n->Next) ++count;
  return count;
}

// ---------------------------------------------------------------------------
// ConverterInstances

TConverterInstances& ConverterInstances() {
  // Never destroyed: threads that log during process exit may still use it.
  static TConverterInstances* instances = new TConverterInstances;
  return *instances;
}

void ClearLogTableOfInstances() { ConverterInstances().ClearLogTable(); }

void TConverterInstances::Add(TCustomQuilloConverter* Component) {
  std::lock_guard<std::mutex> guard(FLock);
  FComponents.push_back(Component);
}

void TConverterInstances::Remove(TCustomQuilloConverter* Component) {
  std::unique_lock<std::mutex> lock(FLock);
  // Out of the list first, so that no new dispatch picks it up; then wait for
  // the dispatches already running to it.
  FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), Component), FComponents.end());
  FIdle.wait(lock, [&] { return !Busy(Component); });
}

void TConverterInstances::EnterDispatch(TCustomQuilloConverter* Component) {
  for (auto& [c, n] : FBusy)
    if (c == Component) {
      ++n;
      return;
    }
  FBusy.emplace_back(Component, 1);
}

void TConverterInstances::LeaveDispatch(TCustomQuilloConverter* Component) {
  for (size_t i = 0; i < FBusy.size(); ++i)
    if (FBusy[i].first == Component && --FBusy[i].second == 0) {
      FBusy.erase(FBusy.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
}

bool TConverterInstances::Busy(TCustomQuilloConverter* Component) const {
  for (const auto& entry : FBusy)
    if (entry.first == Component) return true;
  return false;
}

int TConverterInstances::Count() const {
  std::lock_guard<std::mutex> guard(FLock);
  return static_cast<int>(FComponents.size());
}

std::vector<TCustomQuilloConverter*> TConverterInstances::Snapshot() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FComponents;
}

void TConverterInstances::ClearLogTable() {
  std::lock_guard<std::mutex> guard(FLock);
  FLogTable.Clear();
}

int TConverterInstances::LogTableNodeCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLogTable.NodeCount();
}

// ---------------------------------------------------------------------------
// The library log path

namespace {

// Length of the UTF-8 sequence that Lead starts (1 for anything else).
size_t Utf8SequenceLength(unsigned char Lead) {
  if (Lead >= 0xF0 && Lead < 0xF8) return 4;
  if (Lead >= 0xE0) return Lead < 0xF0 ? 3 : 1;
  if (Lead >= 0xC0) return 2;
  return 1;
}

// Shortens Text[From, Len) so that it does not end inside a UTF-8 sequence.
size_t CutAtCharacter(const char* Text, size_t From, size_t Len) {
  if (Len <= From) return Len;
  size_t i = Len - 1;
  while (i > From && (static_cast<unsigned char>(Text[i]) & 0xC0) == 0x80) --i;
  const auto lead = static_cast<unsigned char>(Text[i]);
  if ((lead & 0xC0) == 0x80) return Len;  // no lead byte at all: not UTF-8, keep as is
  return i + Utf8SequenceLength(lead) > Len ? i : Len;
}

}  // namespace

std::string FormatLogText(const void* Context, const std::string& Pending, const char* Format, va_list Args) {
  char buf[LOG_LINE_SIZE];
  std::memset(buf, 0, sizeof buf);
  size_t used = 0;
  const AVClass* cls = Context ? *static_cast<const AVClass* const*>(Context) : nullptr;
  if (cls && Pending.empty()) {
    const char* name = cls->item_name ? cls->item_name(const_cast<void*>(Context)) : cls->class_name;
    const int n = std::snprintf(buf, sizeof buf, "[%s @ %08" PRIXPTR "]", name ? name : "",
                                reinterpret_cast<uintptr_t>(cls));
    used = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buf - 1);
  } else if (!Pending.empty()) {
    used = std::min(Pending.size(), sizeof buf - 1);
    std::memcpy(buf, Pending.data(), used);
  }
  const size_t room = sizeof buf - used;
  va_list args;
  va_copy(args, Args);
  const int n = Format ? std::vsnprintf(buf + used, room, Format, args) : 0;
  va_end(args);
  size_t len = used + (n < 0 ? 0 : std::min(static_cast<size_t>(n), room - 1));
  len = strnlen(buf, len);  // the text ends at its first zero byte
  if (n >= 0 && static_cast<size_t>(n) >= room) {
    // Too long for one line: keep what fits, whole characters only, and end
    // the line there; the rest of the message is dropped.
    len = CutAtCharacter(buf, 0, std::min(len, sizeof buf - 2));
    if (len == 0 || buf[len - 1] != '\n') buf[len++] = '\n';
  }
  return std::string(buf, len);
}

void LogCallback(void* Context, int Level, const char* Format, va_list Args) {
  const AVClass* cls = Context ? *static_cast<const AVClass* const*>(Context) : nullptr;
  // The loudness meter's own summary is detail: the engine names the figures.
  if (cls && cls->class_name && std::strcmp(cls->class_name, "AVFilter") == 0 && Level > AV_LOG_WARNING) {
    const AVFilter* filter = static_cast<const AVFilterContext*>(Context)->filter;
    if (filter && filter->name && std::strcmp(filter->name, "ebur128") == 0) Level = std::max(Level, AV_LOG_VERBOSE);
  }
  if (CachedLogLevel.load(std::memory_order_relaxed) < Level) return;
  TConverterInstances& instances = ConverterInstances();
  const uint32_t tid = CurrentThreadNumber();
  // A codec's own threads log for the conversion that owns the codec, and a
  // conversion's encoding side for the conversion's thread.
  uint32_t owner = CurrentLogOwner();
  if (cls && cls->class_name && std::strcmp(cls->class_name, "AVCodecContext") == 0)
    if (const void* key = static_cast<const AVCodecContext*>(Context)->opaque)
      if (const uint32_t conversion = LogOwnerOf(key)) owner = conversion;
  std::vector<std::string> lines;
  std::vector<TCustomQuilloConverter*> targets;
  {
    std::lock_guard<std::mutex> guard(instances.FLock);
    TLogList::TNode* node = instances.FLogTable.FindOrAdd(tid);
    std::string text = FormatLogText(Context, node->Pending, Format, Args);
    size_t start = 0;
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
      lines.emplace_back(text, start, lf - start);
      start = lf + 1;
    }
    node->Pending.assign(text, start, std::string::npos);
    if (!lines.empty()) {
      targets = instances.FComponents;
      for (TCustomQuilloConverter* c : targets) instances.EnterDispatch(c);
    }
  }
  if (targets.empty()) return;
  // Dispatched without the instance lock: a component's handlers run under its
  // FLock, and a thread holding an FLock may log at any time.
  for (const std::string& line : lines)
    for (TCustomQuilloConverter* c : targets) {
      try {
        DispatchLog(c, owner, ProgramLogLevel(Level), line);
      } catch (...) {
        // Nothing may unwind into the library that called us.
      }
    }
  {
    std::lock_guard<std::mutex> guard(instances.FLock);
    for (TCustomQuilloConverter* c : targets) instances.LeaveDispatch(c);
  }
  instances.FIdle.notify_all();
}

void DispatchLog(TCustomQuilloConverter* Component, uint32_t ThreadId, int Level, const std::string& Line) {
  Component->DispatchLibraryLine(ThreadId, Level, Line);
}
