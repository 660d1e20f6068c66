/* A frame-hook library for the engine tests. Configure takes the words
 * "<path> [add] [id]" (the word "fail" as add makes it fail); Process turns every
 * byte v of the first plane into v * 3 + add, so the order of two hooks shows in
 * the result, and records the ids of the calls; Release frees the context.
 * Built once more without Configure. The counters are read by the tests. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  uint8_t* data[4];
  int linesize[4];
} HookPicture;

typedef struct {
  int add;
  int id;
} HookContext;

int ConfigureCalls;
int ProcessCalls;
int ReleaseCalls;
int LastArgCount;
int ProcessIds[64];
int ProcessIdCount;

#ifndef NO_CONFIGURE
int Configure(void** ctx, int argc, char* argv[]) {
  HookContext* c;
  ++ConfigureCalls;
  LastArgCount = argc;
  if (argc > 1 && strcmp(argv[1], "fail") == 0) return -1;
  c = calloc(1, sizeof *c);
  if (!c) return -1;
  c->add = argc > 1 ? atoi(argv[1]) : 1;
  c->id = argc > 2 ? atoi(argv[2]) : 0;
  *ctx = c;
  return 0;
}
#endif

void Process(void* ctx, HookPicture* pic, int pix_fmt, int width, int height, int64_t pts) {
  const HookContext* c = ctx;
  const int add = c ? c->add : 1;
  int x, y;
  (void)pix_fmt;
  (void)pts;
  ++ProcessCalls;
  if (ProcessIdCount < 64) ProcessIds[ProcessIdCount++] = c ? c->id : -1;
  for (y = 0; y < height; ++y) {
    uint8_t* row = pic->data[0] + (ptrdiff_t)y * pic->linesize[0];
    for (x = 0; x < width; ++x) row[x] = (uint8_t)(row[x] * 3 + add);
  }
}

void Release(void* ctx) {
  ++ReleaseCalls;
  free(ctx);
}
