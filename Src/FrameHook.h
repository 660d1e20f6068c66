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

// Result codes of AddFrameHook.
constexpr int HOOK_OK = 0;
constexpr int HOOK_NOT_LOADABLE = -1;     // the library could not be loaded
constexpr int HOOK_BAD_ARGUMENTS = -2;    // no words, or a missing entry point
constexpr int HOOK_NO_MEMORY = -12;
constexpr int HOOK_CONFIGURE_FAILED = -22;

// Loads the hook library Args[0] (by full path, once per process and name),
// resolves its entry points, calls Configure with all words (the name
// included) and appends the new entry to the list. Reasons of a failure go to
// the library log (av_log, level 0).
int AddFrameHook(FrameHookEntry*& Head, int ArgCount, char* Args[]);

// Calls Process of every entry in list order on the picture (modified in place).
void ProcessFrameHooks(FrameHookEntry* Head, THookPicture* Picture, int PixFmt, int Width, int Height,
                       int64_t Pts);

// Calls Release of every entry in list order, frees the entries and empties the list.
void ReleaseFrameHooks(FrameHookEntry*& Head);

// The number of hook libraries loaded by this process so far (thread-safe).
int LoadedHookLibraryCount();
