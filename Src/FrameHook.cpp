#include "FrameHook.h"

#include "MediaLibraries.h"

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
