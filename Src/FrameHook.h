// Frame-hook libraries (loaded by path, entry points "Configure", "Process",
// "Release") and the types of the before-hook schedule.
#pragma once

#include <cstdint>
#include <vector>

#include "Bitmap.h"

enum THookAction : int32_t { haContinue, haIgnore, haStop };

// A hook library's picture: four plane pointers and four line sizes.
struct THookPicture {
  uint8_t* data[4];
  int linesize[4];
};

using TFrameHookConfigure = int (*)(void** Context, int ArgCount, char* Args[]);
using TFrameHookProcess = void (*)(void* Context, THookPicture* Picture, int PixFmt, int Width,
                                   int Height, int64_t Pts);
using TFrameHookRelease = void (*)(void* Context);

// One added hook: allocated zeroed with the library allocator, linked in the
// order the hooks were added.
struct FrameHookEntry {
  FrameHookEntry* Next;
  TFrameHookConfigure Configure;
  TFrameHookProcess Process;
  TFrameHookRelease Release;
  void* Context;
};

struct HookRange {
  int64_t Start;  // microseconds
  int64_t Stop;   // microseconds
};

// Calls Release of every entry in list order, frees the entries and empties the list.
void ReleaseFrameHooks(FrameHookEntry*& Head);
