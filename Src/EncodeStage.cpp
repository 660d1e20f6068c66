#include "EncodeStage.h"

#include "Thread.h"

TEncodeStage::TEncodeStage(std::function<void(TEncodeItem&)> Execute, std::function<void(TEncodeItem&)> CopyFigures,
                           uint32_t LogOwner, std::function<int(TEncodeItem&, const TKeep&)> EncodeAside,
                           std::function<void(TEncodeItem&, TAsideResult&)> WriteAside)
    : FExecute(std::move(Execute)),
      FCopyFigures(std::move(CopyFigures)),
      FEncodeAside(std::move(EncodeAside)),
      FWriteAside(std::move(WriteAside)),
      FLogOwner(LogOwner) {
  // Both bodies begin by taking the lock: they see both threads' ids.
  std::lock_guard<std::mutex> lock(FLock);
  FThread = std::thread([this] { Body(); });
  if (FEncodeAside) FAsideThread = std::thread([this] { AsideBody(); });
}

TEncodeStage::~TEncodeStage() {
  Abandon();
  for (AVFrame*& f : FFreeFrames) ff::av_frame_free(&f);
  for (AVPacket*& p : FFreePackets) ff::av_packet_free(&p);
}

bool TEncodeStage::Full() const {
  return FItems.size() >= static_cast<size_t>(kMaxItems) || FPictures >= kMaxPictures;
}

namespace {
bool IsPicture(const TEncodeItem& Item) { return Item.Frame && Item.Frame->width > 0; }
}  // namespace

void TEncodeStage::Push(TEncodeItem Item) {
  std::unique_lock<std::mutex> lock(FLock);
  // The stage's thread always moves on (one item at a time), so the room
  // comes; a stop request is seen by the run's thread once it returns.
  FChanged.wait(lock, [&] { return FFailure || FAbandoned || !Full(); });
  if (FFailure || FAbandoned) {
    Free(Item);
    if (FFailure) std::rethrow_exception(FFailure);
    return;
  }
  if (Item.Aside && FEncodeAside) {
    // The frame goes to the side thread; its place stays in the queue.
    FAside.push_back(Item);
    Item.Frame = nullptr;
  } else {
    Item.Aside = false;
  }
  if (IsPicture(Item)) ++FPictures;
  FItems.push_back(Item);
  FChanged.notify_all();
}

void TEncodeStage::ThrowIfFailed() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FFailure) std::rethrow_exception(FFailure);
}

void TEncodeStage::Finish() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FEnding = true;
    FChanged.notify_all();
  }
  if (FThread.joinable()) FThread.join();
  if (FAsideThread.joinable()) FAsideThread.join();
  ThrowIfFailed();
}

void TEncodeStage::Abandon() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FAbandoned = true;
    FChanged.notify_all();
  }
  if (FThread.joinable()) FThread.join();
  if (FAsideThread.joinable()) FAsideThread.join();
  std::lock_guard<std::mutex> lock(FLock);
  for (std::deque<TEncodeItem>* queue : {&FItems, &FAside})
    while (!queue->empty()) {
      Free(queue->front());
      queue->pop_front();
    }
  while (!FAsideDone.empty()) {
    Free(FAsideDone.front());
    FAsideDone.pop_front();
  }
  FPictures = 0;
}

AVFrame* TEncodeStage::FrameShell() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FFreeFrames.empty()) {
      AVFrame* f = FFreeFrames.back();
      FFreeFrames.pop_back();
      return f;
    }
  }
  return ff::av_frame_alloc();
}

AVPacket* TEncodeStage::PacketShell() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FFreePackets.empty()) {
      AVPacket* p = FFreePackets.back();
      FFreePackets.pop_back();
      return p;
    }
  }
  return ff::av_packet_alloc();
}

std::vector<std::pair<int, std::string>> TEncodeStage::TakeLog() {
  std::lock_guard<std::mutex> lock(FLock);
  return std::exchange(FLog, {});
}

void TEncodeStage::DeferLog(int Level, const std::string& Text) {
  std::lock_guard<std::mutex> lock(FLock);
  FLog.emplace_back(Level, Text);
}

void TEncodeStage::Free(TEncodeItem& Item) {
  if (Item.Frame) {
    ff::av_frame_unref(Item.Frame);
    FFreeFrames.push_back(Item.Frame);
  }
  if (Item.Packet) {
    ff::av_packet_unref(Item.Packet);
    FFreePackets.push_back(Item.Packet);
  }
  Item = TEncodeItem{};
}

void TEncodeStage::Free(TAsideResult& Result) {
  for (AVPacket* p : Result.Packets) {
    ff::av_packet_unref(p);
    FFreePackets.push_back(p);
  }
  Result = TAsideResult{};
}

bool TEncodeStage::TakeAsideResult(std::unique_lock<std::mutex>& Lock, TAsideResult& Result) {
  FChanged.wait(Lock, [&] { return FAbandoned || !FAsideDone.empty(); });
  if (FAbandoned) return false;
  Result = std::move(FAsideDone.front());
  FAsideDone.pop_front();
  FChanged.notify_all();
  return true;
}

void TEncodeStage::AsideBody() {
  SetCurrentThreadWorksFor(FLogOwner);
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    // Ends with the stage: once the writer is done, no Aside item is left.
    FChanged.wait(lock, [&] { return FAbandoned || FFailure || !FAside.empty() || (FEnding && FItems.empty()); });
    if (FAbandoned || FFailure || FAside.empty()) break;
    TEncodeItem item = FAside.front();
    FAside.pop_front();
    lock.unlock();
    TAsideResult result;
    result.Draining = !item.Frame;
    const TKeep keep = [&](AVPacket* Packet) {
      AVPacket* shell = PacketShell();
      if (!shell) throw std::bad_alloc();
      ff::av_packet_move_ref(shell, Packet);
      result.Packets.push_back(shell);
    };
    try {
      result.Code = FEncodeAside(item, keep);
    } catch (...) {
      result.Failure = std::current_exception();
    }
    lock.lock();
    Free(item);
    FAsideDone.push_back(std::move(result));
    FChanged.notify_all();
  }
  SetCurrentThreadWorksFor(0);
}

void TEncodeStage::Body() {
  SetCurrentThreadWorksFor(FLogOwner);
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FChanged.wait(lock, [&] { return FAbandoned || !FItems.empty() || FEnding; });
    if (FAbandoned || FItems.empty()) break;
    TEncodeItem item = FItems.front();
    FItems.pop_front();
    if (IsPicture(item)) --FPictures;
    FChanged.notify_all();
    lock.unlock();
    std::exception_ptr failure;
    if (item.Aside) {
      lock.lock();
      TAsideResult result;
      if (!TakeAsideResult(lock, result)) {
        Free(item);
        break;
      }
      lock.unlock();
      try {
        if (result.Failure) std::rethrow_exception(result.Failure);
        FWriteAside(item, result);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      Free(result);
      lock.unlock();
    } else {
      try {
        FExecute(item);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    lock.lock();
    if (!failure) {
      try {
        FCopyFigures(item);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    Free(item);
    if (failure) {
      FFailure = failure;
      FChanged.notify_all();
      break;
    }
  }
  SetCurrentThreadWorksFor(0);
}
