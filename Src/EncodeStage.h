// The encoding side of a run on a thread of its own: the run's thread decodes,
// keeps the pictures in step and scales them, then hands each encoder frame
// and each packet ready to write to a small bounded queue; this thread encodes
// and writes them in exactly that order, so the file is the same as when one
// thread does both. Frames marked Aside (the sound) are encoded on a second
// thread meanwhile; the writing thread takes their packets when it reaches
// their place in the queue, so the writer still sees every packet in the
// order of one thread.
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
  // Frame (or the end of the encoder's input) goes to the side thread's
  // encoder; this item's place in the queue is where its packets are written.
  bool Aside = false;
};

// What the side thread's encoder gave for one Aside item.
struct TAsideResult {
  std::vector<AVPacket*> Packets;  // owned; in the encoder's order
  int Code = 0;                    // the encoder's result (negative: its error)
  bool Draining = false;           // the item ended the encoder's input
  std::exception_ptr Failure;      // what the encoding raised
};

class TEncodeStage {
public:
  // Execute encodes or writes one item (it may throw: the first failure ends
  // the stage and is raised again on the run's thread). EncodeAside encodes
  // an Aside item on the side thread, handing each packet to Keep (which
  // takes its reference) and returning the encoder's result; WriteAside then
  // writes them on the stage's thread, in the item's place (it may throw).
  // CopyFigures runs after each item, under Lock(). LogOwner is the run's thread
  // number: what the libraries log on the stage's threads belongs to that run.
  using TKeep = std::function<void(AVPacket*)>;
  TEncodeStage(std::function<void(TEncodeItem&)> Execute, std::function<void(TEncodeItem&)> CopyFigures,
               uint32_t LogOwner, std::function<int(TEncodeItem&, const TKeep&)> EncodeAside = {},
               std::function<void(TEncodeItem&, TAsideResult&)> WriteAside = {});
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
  bool OnStageThread() const {
    return std::this_thread::get_id() == FThread.get_id() || std::this_thread::get_id() == FAsideThread.get_id();
  }
  // Guards what CopyFigures writes and the run's thread reads.
  std::mutex& Lock() { return FLock; }
  // The stage's thread: keeps a line for the run's thread to log.
  void DeferLog(int Level, const std::string& Text);

  // Queue bounds: pictures waiting (the memory that matters), and items of
  // any kind (sound, packets).
  static constexpr int kMaxPictures = 3;
  static constexpr int kMaxItems = 32;

private:
  void Body();
  void AsideBody();
  // The Aside result of the item at the head of the queue (stage's thread,
  // under FLock, waiting for the side thread); false when abandoned.
  bool TakeAsideResult(std::unique_lock<std::mutex>& Lock, TAsideResult& Result);
  void Free(TEncodeItem& Item);  // under FLock: unreferences and keeps the shells
  void Free(TAsideResult& Result);
  bool Full() const;

  const std::function<void(TEncodeItem&)> FExecute;
  const std::function<void(TEncodeItem&)> FCopyFigures;
  const std::function<int(TEncodeItem&, const TKeep&)> FEncodeAside;
  const std::function<void(TEncodeItem&, TAsideResult&)> FWriteAside;
  const uint32_t FLogOwner;

  std::mutex FLock;
  std::condition_variable FChanged;
  // Guarded by FLock.
  std::deque<TEncodeItem> FItems;  // in the writer's order; an Aside item here holds no frame
  std::deque<TEncodeItem> FAside;  // the side thread's frames, in the same order
  std::deque<TAsideResult> FAsideDone;  // their packets, waiting for their place
  int FPictures = 0;           // frames of video in FItems
  bool FEnding = false;        // no more items come: end once the queue is empty
  bool FAbandoned = false;     // end at once
  std::exception_ptr FFailure;  // the first failure of Execute
  std::vector<AVFrame*> FFreeFrames;
  std::vector<AVPacket*> FFreePackets;
  std::vector<std::pair<int, std::string>> FLog;

  std::thread FThread;  // started by the constructor, joined by Finish or Abandon (run's thread)
  std::thread FAsideThread;  // started by the constructor when there is EncodeAside, joined with FThread
};
