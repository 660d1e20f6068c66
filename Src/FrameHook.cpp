// Frame hooks and custom hooks: hook libraries loaded by full path,
// the before-hook decision with its schedule, and the custom-hook bitmap
// exchange.
#include "FrameHook.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "FFmpeg.h"
#include "MyUtils.h"
#include "MediaLibraries.h"

namespace {

// The process-wide list of loaded hook libraries: file name exactly as written
// in the option -> module handle. Handles are never closed; the list itself
// goes at program exit.
struct TLoadedHookLibraries {
  std::mutex Lock;
  std::map<std::string, void*> Handles;
};

TLoadedHookLibraries& LoadedHookLibraries() {
  static TLoadedHookLibraries list;
  return list;
}

template <class F>
F Resolve(void* Handle, const char* Name) {
  void* p = dlsym(Handle, Name);
  F f = nullptr;
  static_assert(sizeof f == sizeof p);
  std::memcpy(&f, &p, sizeof f);
  return f;
}

}  // namespace

int LoadedHookLibraryCount() {
  auto& list = LoadedHookLibraries();
  std::lock_guard<std::mutex> guard(list.Lock);
  return static_cast<int>(list.Handles.size());
}

int AddFrameHook(FrameHookEntry*& Head, int ArgCount, char* Args[]) {
  if (ArgCount <= 0 || !Args || !Args[0]) return HOOK_BAD_ARGUMENTS;

  // Loading by full path needs no change of PATH or of the current folder: the
  // hook's own dependencies resolve through the usual search of the system.
  void* handle = nullptr;
  {
    auto& list = LoadedHookLibraries();
    std::lock_guard<std::mutex> guard(list.Lock);
    auto it = list.Handles.find(Args[0]);
    if (it != list.Handles.end()) {
      handle = it->second;
    } else {
      handle = dlopen(Args[0], RTLD_NOW);
      if (!handle) {
        const char* err = dlerror();
        ff::av_log(nullptr, LibraryLogLevel(0), "%s\n", err ? err : "cannot load library");
        return HOOK_NOT_LOADABLE;
      }
      list.Handles.emplace(Args[0], handle);
    }
  }

  auto* entry = static_cast<FrameHookEntry*>(ff::av_mallocz(sizeof(FrameHookEntry)));
  if (!entry) return HOOK_NO_MEMORY;
  entry->Configure = Resolve<TFrameHookConfigure>(handle, "Configure");
  entry->Process = Resolve<TFrameHookProcess>(handle, "Process");
  entry->Release = Resolve<TFrameHookRelease>(handle, "Release");

  // A refused entry is freed again: nothing refers to it.
  if (!entry->Process) {
    ff::av_log(nullptr, LibraryLogLevel(0), "Failed to find Process entrypoint in %s\n", Args[0]);
    ff::av_free(entry);
    return HOOK_BAD_ARGUMENTS;
  }
  if (!entry->Configure && ArgCount > 1) {
    ff::av_log(nullptr, LibraryLogLevel(0), "Failed to find Configure entrypoint in %s\n", Args[0]);
    ff::av_free(entry);
    return HOOK_BAD_ARGUMENTS;
  }
  if (entry->Configure) {
    if (entry->Configure(&entry->Context, ArgCount, Args) != 0) {
      ff::av_log(nullptr, LibraryLogLevel(0), "Failed to Configure %s\n", Args[0]);
      ff::av_free(entry);
      return HOOK_CONFIGURE_FAILED;
    }
  }

  FrameHookEntry** tail = &Head;
  while (*tail) tail = &(*tail)->Next;
  *tail = entry;
  return HOOK_OK;
}

void ProcessFrameHooks(FrameHookEntry* Head, THookPicture* Picture, int PixFmt, int Width, int Height,
                       int64_t Pts) {
  for (FrameHookEntry* entry = Head; entry; entry = entry->Next)
    entry->Process(entry->Context, Picture, PixFmt, Width, Height, Pts);
}

void ReleaseFrameHooks(FrameHookEntry*& Head) {
  FrameHookEntry* entry = Head;
  while (entry) {
    FrameHookEntry* next = entry->Next;
    if (entry->Release) entry->Release(entry->Context);
    ff::av_free(entry);
    entry = next;
  }
  Head = nullptr;
}

// ---------------------------------------------------------------------------
// Engine side

void TCustomFFmpeg::SetHookSchedule(const std::vector<HookRange>& Ranges) {
  FHookSchedule = Ranges;
  FHookScheduleCount = static_cast<int32_t>(FHookSchedule.size());
  FHookScheduleIndex = 0;
  std::sort(FHookSchedule.begin(), FHookSchedule.end(),
            [](const HookRange& A, const HookRange& B) { return A.Stop < B.Stop; });
}

bool TCustomFFmpeg::HookDecision(int64_t Pts) {
  ++FHookFrameNumber;
  if (!FOnCustomHook && FUsingVHook) {
    if (FOnBeforeHook) {
      // A copy: the handler may reassign the event.
      TEngineBeforeHookEvent handler = FOnBeforeHook;
      try {
        handler(this, Pts, FHookAction);
      } catch (const std::exception& e) {
        Log(0, std::string("Error occurs OnBeforeHook: ") + e.what());
        FHookAction = haStop;
      }
      if (FHookAction == haStop) FUsingVHook = false;
    } else if (FHookScheduleCount > 0) {
      FHookAction = haIgnore;
      const int32_t last = FHookScheduleCount - 1;
      for (int32_t i = FHookScheduleIndex; i <= last; ++i) {
        const HookRange& r = FHookSchedule[i];
        if (r.Start <= Pts && Pts <= r.Stop) {
          FHookScheduleIndex = i;
          FHookAction = haContinue;
          break;
        }
        if (i == last && Pts > r.Stop) {
          FHookAction = haStop;
          FUsingVHook = false;
        }
      }
    }
  }
  return !FOnCustomHook && FUsingVHook && FHookAction == haContinue;
}

TBitmap* TCustomFFmpeg::CreateHookBitmap(int Width, int Height, TPixelFormat PixelFormat) {
  return new TBitmap(Width, Height, PixelFormat);
}

namespace {
// Holds the canvas lock of a bitmap while the custom-hook handler runs.
class TCanvasLock {
public:
  explicit TCanvasLock(TBitmap* Bitmap) : FBitmap(Bitmap) { FBitmap->Lock(); }
  ~TCanvasLock() { FBitmap->Unlock(); }
  TCanvasLock(const TCanvasLock&) = delete;
  TCanvasLock& operator=(const TCanvasLock&) = delete;

private:
  TBitmap* FBitmap;
};
}  // namespace

void TCustomFFmpeg::CustomHook(uint8_t* const Data[4], const int Linesize[4], int Width, int Height, int PixFmt,
                               int64_t Pts) {
  if (!FOnCustomHook || Width <= 0 || Height <= 0) return;
  // The bitmap keeps its size, except that a picture of another size gets a
  // new bitmap of its own size (rows are never copied past a bitmap row).
  if (FHookBitmap && (FHookBitmap->Width() != Width || FHookBitmap->Height() != Height)) {
    delete FHookBitmap;
    FHookBitmap = nullptr;
  }
  if (!FHookBitmap) FHookBitmap = CreateHookBitmap(Width, Height, FHookBitmapPixelFormat);
  bool stop = false;

  // The RGB view: the working picture itself when it is already BGR24.
  uint8_t* rgbData[4] = {};
  int rgbLines[4] = {};
  const auto rgbFmt = static_cast<AVPixelFormat>(FHookRGBPixFmt);
  const auto fmt = static_cast<AVPixelFormat>(PixFmt);
  if (PixFmt == FHookRGBPixFmt) {
    for (int i = 0; i < 4; ++i) {
      rgbData[i] = Data[i];
      rgbLines[i] = Linesize[i];
    }
  } else {
    const int size = ff::av_image_get_buffer_size(rgbFmt, Width, Height, 1);
    if (size > 0 && (!FRGBBuf || FRGBBufSize < size)) {
      if (FRGBBuf) ff::av_freep(&FRGBBuf);
      FRGBBuf = static_cast<uint8_t*>(ff::av_malloc(size));
      FRGBBufSize = FRGBBuf ? size : 0;
    }
    if (!PictureUsable(PixFmt, Width, Height)) {
      // The scaler ends the process on an unknown format.
      Log(0, "Cannot initialize the toRGB conversion context");
      stop = true;
    } else if (size <= 0 || !FRGBBuf) {
      // Without the RGB buffer there is nothing to hand over: stop the custom hook.
      Log(0, "Cannot allocate the RGB picture of the custom hook");
      stop = true;
    } else {
      ff::av_image_fill_arrays(rgbData, rgbLines, FRGBBuf, rgbFmt, Width, Height, 1);
      FToRGBCtx = ff::sws_getCachedContext(FToRGBCtx, Width, Height, fmt, Width, Height, rgbFmt, SWS_BICUBIC,
                                           nullptr, nullptr, nullptr);
      if (!FToRGBCtx) {
        Log(0, "Cannot initialize the toRGB conversion context");
        stop = true;
      } else {
        ff::sws_scale(FToRGBCtx, Data, Linesize, 0, Height, rgbData, rgbLines);
      }
    }
  }

  if (!stop) {
    // A row of the RGB view is its first line size long; only the bitmap's
    // row (3 x width bytes) is copied, never the padding past it.
    const size_t rowBytes =
        static_cast<size_t>(std::min(rgbLines[0], FHookBitmap->Stride()));
    for (int y = 0; y < Height; ++y)
      std::memcpy(FHookBitmap->ScanLine(y), rgbData[0] + static_cast<ptrdiff_t>(y) * rgbLines[0], rowBytes);

    bool update = true;
    TEngineCustomHookEvent handler = FOnCustomHook;  // a copy: the handler may reassign the event
    {
      TCanvasLock lock(FHookBitmap);
      try {
        handler(this, FHookBitmap, FHookFrameNumber, Pts, update, stop);
      } catch (const std::exception& e) {
        Log(0, std::string("Error occurs OnCustomHook: ") + e.what());
        update = false;
      }
    }

    if (update) {
      for (int y = 0; y < Height; ++y)
        std::memcpy(rgbData[0] + static_cast<ptrdiff_t>(y) * rgbLines[0], FHookBitmap->ScanLine(y), rowBytes);
      if (PixFmt != FHookRGBPixFmt) {
        FFromRGBCtx = ff::sws_getCachedContext(FFromRGBCtx, Width, Height, rgbFmt, Width, Height, fmt,
                                               SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!FFromRGBCtx) {
          Log(0, "Cannot initialize the fromRGB conversion context");
          stop = true;
        } else {
          ff::sws_scale(FFromRGBCtx, rgbData, rgbLines, 0, Height, Data, Linesize);
        }
      }
    }
  }

  if (stop) {
    FOnCustomHook = nullptr;
    FHookAction = haStop;
    FUsingVHook = false;
  }
}

void TCustomFFmpeg::CustomHook(AVFrame* Frame, int64_t Pts) {
  if (!Frame) return;
  CustomHook(Frame->data, Frame->linesize, Frame->width, Frame->height, Frame->format, Pts);
}

void TCustomFFmpeg::RunPictureHooks(uint8_t* const Data[4], const int Linesize[4], int Width, int Height,
                                    int PixFmt, int64_t Pts) {
  const bool runFrameHooks = HookDecision(Pts);
  if (FOnCustomHook) {
    CustomHook(Data, Linesize, Width, Height, PixFmt, Pts);
  } else if (runFrameHooks && FFrameHooks) {
    THookPicture picture{};
    for (int i = 0; i < 4; ++i) {
      picture.data[i] = Data[i];
      picture.linesize[i] = Linesize[i];
    }
    ProcessFrameHooks(FFrameHooks, &picture, PixFmt, Width, Height, Pts);
  }
}
