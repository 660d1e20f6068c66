// The engine's own file I/O: outputs that take their final name only when a
// conversion succeeds, and reading from pipes and FIFOs that a stop request
// interrupts.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "MediaHeaders.h"

// An output file of one conversion. A local file is written under a hidden
// temporary name in its own folder and renamed over the final name by Commit;
// until then the final name is untouched, and Discard (or destruction) removes
// the temporary file. Other destinations (devices, FIFOs, protocol URLs) are
// written directly.
//
// The temporary file is locked for as long as it is open, so a later output
// into the same folder can tell the leftovers of a killed process (unlocked)
// from files still being written, and removes them.
//
// Used by the thread that drives the engine (owner, then worker).
class TOutputTarget {
public:
  TOutputTarget() = default;
  ~TOutputTarget();
  TOutputTarget(const TOutputTarget&) = delete;
  TOutputTarget& operator=(const TOutputTarget&) = delete;

  // Opens FileName for writing into *Pb. False with a message in Error (the
  // engine's "Could not open '%s'") when the output cannot be created.
  bool Open(const std::string& FileName, const AVIOInterruptCB* Interrupt, AVIOContext** Pb, std::string& Error);

  // Whether Open would create FileName, without creating anything: false with
  // Open's message in Error for a folder, a file the user may not write, or a
  // missing or unwritable folder. Outputs that are not local files (devices,
  // FIFOs, protocol URLs) are only tried when they are opened.
  static bool CanCreate(const std::string& FileName, std::string& Error);

  // Closes *Pb and gives the written file its final name. A name that did not
  // exist when the output was opened is never replaced: a file that appeared
  // there meanwhile is kept and the commit fails. An output that got no byte
  // leaves the final name alone. Raises FFMpegException on failure (after
  // removing the temporary file).
  void Commit(AVIOContext** Pb);

  // The modification time the file takes when it is committed (after Open).
  void KeepFileTime(const timespec& Time) {
    FFileTime = Time;
    FKeepFileTime = true;
  }

  // Closes *Pb; a temporary file is removed, the final name stays as it was.
  void Discard(AVIOContext** Pb);

  // A temporary file that could not be removed (its folder turned read-only,
  // say), with its size in bytes and why; empty until the next Open.
  const std::string& LeftBehind() const { return FLeftBehind; }
  int64_t LeftBehindSize() const { return FLeftBehindSize; }
  const std::string& LeftBehindReason() const { return FLeftBehindReason; }

  bool Atomic() const { return FFd >= 0 || !FTempName.empty(); }
  const std::string& FinalName() const { return FFinalName; }
  // The name written while the conversion runs (the final name when direct).
  const std::string& WorkingName() const { return FTempName.empty() ? FFinalName : FTempName; }

  // The hidden name pattern of temporary outputs: "." + a short form of the
  // final name + "." + a unique number + kTemporarySuffix. No output name of a
  // batch (always ending in the output extension) looks like it.
  static constexpr const char* kTemporarySuffix = ".vidlomat-part";
  static bool IsTemporaryName(const std::string& Name);
  // Removes every temporary output in Folder that no live process holds
  // locked. Returns how many it removed; their paths are added to Removed
  // when given.
  static int RemoveStaleTemporaryFiles(const std::string& Folder, std::vector<std::string>* Removed = nullptr);

private:
  static int WritePacket(void* Opaque, uint8_t* Buf, int Size);
  static int64_t Seek(void* Opaque, int64_t Offset, int Whence);
  void CloseContext(AVIOContext** Pb);
  void Release(bool Remove);

  std::string FFinalName;  // where the result goes (a symbolic link resolved)
  std::string FTempName;   // the hidden file written meanwhile; empty when direct
  int FFd = -1;            // the temporary file, locked while open
  bool FFinalExisted = false;
  int FFinalMode = 0;      // permissions of the file that is replaced
  bool FKeepFileTime = false;
  timespec FFileTime{};
  std::string FLeftBehind;  // see LeftBehind
  int64_t FLeftBehindSize = 0;
  std::string FLeftBehindReason;
};

// Process-wide list of the temporary outputs still being written. A program
// that must end at once (a second Ctrl-C) removes them with this call, made
// from an ordinary thread (it takes a lock).
void RemoveTemporaryOutputs();

// Reading of a local FIFO, pipe, socket or character device, whose reads may
// block forever. Reads wait at most 100 ms at a time and return AVERROR_EXIT
// once *Stop is set. Regular files and URLs use the libraries' own protocols.
class TPipeInput {
public:
  TPipeInput() = default;
  ~TPipeInput();
  TPipeInput(const TPipeInput&) = delete;
  TPipeInput& operator=(const TPipeInput&) = delete;

  // True when FileName names such a file.
  static bool Needed(const std::string& FileName);
  // Opens it and makes the reading context (Context()); a negative library
  // error on failure.
  int Open(const std::string& FileName, const std::atomic<bool>* Stop);
  AVIOContext* Context() const { return FContext; }
  // Frees the context and closes the file (after the demuxer is closed).
  void Close();

private:
  static int ReadPacket(void* Opaque, uint8_t* Buf, int Size);
  AVIOContext* FContext = nullptr;
  int FFd = -1;
  const std::atomic<bool>* FStop = nullptr;
};
