#include "ListSaver.h"

#include <cstdio>
#include <string>
#include <utility>

TListSaver::TListSaver(TListStore& Store) : FStore(Store), FThread([this] { Run(); }) {}

TListSaver::~TListSaver() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FEnd = true;
  }
  FWake.notify_one();
  FThread.join();
}

void TListSaver::Post(std::vector<TStoredRow> Rows) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FRows = std::move(Rows);
  }
  FWake.notify_one();
}

void TListSaver::Flush() {
  std::unique_lock<std::mutex> lock(FLock);
  FWritten.wait(lock, [this] { return !FRows && !FWriting; });
}

int TListSaver::Saves() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FSaves;
}

void TListSaver::Run() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FWake.wait(lock, [this] { return FRows || FEnd; });
    if (!FRows) return;  // ending, and everything is written
    std::vector<TStoredRow> rows = std::move(*FRows);
    FRows.reset();
    FWriting = true;
    ++FSaves;
    lock.unlock();
    std::string error;
    if (!FStore.Save(rows, error)) std::fprintf(stderr, "vidlomat: the list was not saved: %s\n", error.c_str());
    lock.lock();
    FWriting = false;
    FWritten.notify_all();
  }
}
