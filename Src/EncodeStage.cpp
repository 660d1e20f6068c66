#include "EncodeStage.h"

#include "Thread.h"

TEncodeStage::TEncodeStage(std::function<void(TEncodeItem&)> Execute, std::function<void(TEncodeItem&)> Publish,
                           uint32_t LogOwner)
    : FExecute(std::move(Execute)), FPublish(std::move(Publish)), FLogOwner(LogOwner) {
  FThread = std::thread([this] { Body(); });
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
  ThrowIfFailed();
}

void TEncodeStage::Abandon() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FAbandoned = true;
    FChanged.notify_all();
  }
  if (FThread.joinable()) FThread.join();
  std::lock_guard<std::mutex> lock(FLock);
  while (!FItems.empty()) {
    Free(FItems.front());
    FItems.pop_front();
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
    try {
      FExecute(item);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (!failure) {
      try {
        FPublish(item);
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
