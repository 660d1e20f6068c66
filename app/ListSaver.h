// Writes the kept list (TListStore) on a thread of its own, so that the
// flush to the disk never holds the window: the window hands over the rows
// as they are now, and the newest rows handed over are written as soon as
// the thread is free. Rows handed over while a write is under way replace
// each other: only the last of them is written after it. No Qt.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ListStore.h"

class TListSaver {
public:
  // Store is written from the saver's thread only, from the first Post on
  // (until then its owner may Load it); it must outlive the saver.
  explicit TListSaver(TListStore& Store);
  // Writes what is still waiting, then ends the thread.
  ~TListSaver();
  TListSaver(const TListSaver&) = delete;
  TListSaver& operator=(const TListSaver&) = delete;

  // The rows to write next, in place of any still waiting.
  void Post(std::vector<TStoredRow> Rows);
  // Returns once everything handed over is written (at close, and for tests).
  void Flush();
  // How many times Store was asked to save: a write of rows equal to the
  // last ones costs the store nothing, but counts here.
  int Saves() const;

private:
  void Run();

  TListStore& FStore;  // written on FThread only
  mutable std::mutex FLock;
  std::condition_variable FWake;                 // for the thread: rows waiting or FEnd
  std::condition_variable FWritten;              // for Flush: nothing waiting, nothing being written
  std::optional<std::vector<TStoredRow>> FRows;  // under FLock: waiting to be written
  bool FWriting = false;                         // under FLock: the thread is in Store.Save
  bool FEnd = false;                             // under FLock: the destructor asks the thread to end
  int FSaves = 0;                                // under FLock
  std::thread FThread;                           // started last, joined by the destructor
};
