// The encoding side of a run on a thread of its own: the run's thread decodes,
// keeps the pictures in step and scales them, then hands each encoder frame
// and each packet ready to write to a small bounded queue; this thread encodes
// and writes them in exactly that order, so the file is the same as when one
// thread does both.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MediaLibraries.h"

struct OutputStreamState;

// One step of the encoding side, in the order the run's thread decided it.
struct TEncodeItem {
  OutputStreamState* Ost = nullptr;
  // A frame for the encoder of Ost (owned). With no Packet either: the end of
  // the encoder's input (it gives up what it holds).
  AVFrame* Frame = nullptr;
  AVPacket* Packet = nullptr;  // a packet written as it is (owned)
  int CountAs = -1;            // Packet: its bytes count as video (0) or audio (1) output
};

class TEncodeStage {
public:
  // Execute encodes or writes one item (it may throw: the first failure ends
  // the stage and is raised again on the run's thread). Publish runs after
  // each item, under Lock(). LogOwner is the run's thread number: what the
  // libraries log on the stage's thread belongs to that run.
  TEncodeStage(std::function<void(TEncodeItem&)> Execute, std::function<void(TEncodeItem&)> Publish,
               uint32_t LogOwner);
  ~TEncodeStage();  // Abandon
  TEncodeStage(const TEncodeStage&) = delete;
  TEncodeStage& operator=(const TEncodeStage&) = delete;

  // The run's thread ---------------------------------------------------------
  // Queues Item, waiting while the queue is full. When the stage failed, Item
  // is freed and the failure raised.
  void Push(TEncodeItem Item);
  // Raises the stage's failure, if any.
  void ThrowIfFailed();
  // Waits until every queued item is done and ends the thread; raises the
  // stage's failure, if any.
  void Finish();
  // Ends the thread after the item in hand; what still waits is freed.
  void Abandon();
  // Empty frames and packets to hand items over in (given back by the stage
  // when it is done with an item); nullptr when out of memory.
  AVFrame* FrameShell();
  AVPacket* PacketShell();
  // Log lines the stage's thread deferred, in order.
  std::vector<std::pair<int, std::string>> TakeLog();

  // Either thread ---------------------------------------------------------------
  bool OnStageThread() const { return std::this_thread::get_id() == FThread.get_id(); }
  // Guards what Publish writes and the run's thread reads.
  std::mutex& Lock() { return FLock; }
  // The stage's thread: keeps a line for the run's thread to log.
  void DeferLog(int Level, const std::string& Text);

  // Queue bounds: pictures waiting (the memory that matters), and items of
  // any kind (sound, packets).
  static constexpr int kMaxPictures = 3;
  static constexpr int kMaxItems = 32;

private:
  void Body();
  void Free(TEncodeItem& Item);  // under FLock: unreferences and keeps the shells
  bool Full() const;

  const std::function<void(TEncodeItem&)> FExecute;
  const std::function<void(TEncodeItem&)> FPublish;
  const uint32_t FLogOwner;

  std::mutex FLock;
  std::condition_variable FChanged;
  // Guarded by FLock.
  std::deque<TEncodeItem> FItems;
  int FPictures = 0;           // frames of video in FItems
  bool FEnding = false;        // no more items come: end once the queue is empty
  bool FAbandoned = false;     // end at once
  std::exception_ptr FFailure;  // the first failure of Execute
  std::vector<AVFrame*> FFreeFrames;
  std::vector<AVPacket*> FFreePackets;
  std::vector<std::pair<int, std::string>> FLog;

  std::thread FThread;  // started by the constructor, joined by Finish or Abandon (run's thread)
};
