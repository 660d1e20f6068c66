// Frame hooks (hook libraries built with the tests), the before-hook decision
// with its schedule, and the custom-hook bitmap exchange on synthetic pictures.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "FFmpeg.h"
#include "TestSupport.h"

namespace {

const std::string kHookDir = VIDLOMAT_TEST_HOOK_DIR;
const std::string kHookLib = kHookDir + "/libvidlomat_test_hook.so";
const std::string kNoConfigureLib = kHookDir + "/libvidlomat_test_hook_noconfigure.so";

// The library log, captured while a test runs.
std::mutex LibraryLogLock;
std::vector<std::string> LibraryLog;

void CaptureLog(void*, int, const char* Format, va_list Args) {
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, Format, Args);
  std::lock_guard<std::mutex> guard(LibraryLogLock);
  LibraryLog.emplace_back(buf);
}

bool LibraryLogged(const std::string& Line) {
  std::lock_guard<std::mutex> guard(LibraryLogLock);
  for (const auto& l : LibraryLog)
    if (l == Line) return true;
  return false;
}

// A counter of a loaded hook library.
int Counter(const std::string& Library, const char* Name) {
  void* h = dlopen(Library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return -1;
  const int* p = static_cast<const int*>(dlsym(h, Name));
  const int v = p ? *p : -1;
  dlclose(h);
  return v;
}

std::vector<int> ProcessIds(const std::string& Library) {
  void* h = dlopen(Library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  std::vector<int> ids;
  if (!h) return ids;
  const int* count = static_cast<const int*>(dlsym(h, "ProcessIdCount"));
  const int* values = static_cast<const int*>(dlsym(h, "ProcessIds"));
  if (count && values) ids.assign(values, values + *count);
  dlclose(h);
  return ids;
}

// A picture of one format with every byte of each plane set to Fill[plane].
AVFrame* MakePicture(AVPixelFormat Format, int Width, int Height, std::array<int, 3> Fill) {
  AVFrame* f = ff::av_frame_alloc();
  f->format = Format;
  f->width = Width;
  f->height = Height;
  if (ff::av_frame_get_buffer(f, 0) < 0) {
    ff::av_frame_free(&f);
    return nullptr;
  }
  const int planeRows[3] = {Height, Format == AV_PIX_FMT_YUV420P ? Height / 2 : 0,
                            Format == AV_PIX_FMT_YUV420P ? Height / 2 : 0};
  for (int p = 0; p < 3 && f->data[p]; ++p)
    for (int y = 0; y < planeRows[p]; ++y) std::memset(f->data[p] + y * f->linesize[p], Fill[p], f->linesize[p]);
  return f;
}

// Every byte of the visible part of plane 0 passes Check.
template <class F>
bool AllLuma(const AVFrame* Frame, int RowBytes, F Check) {
  for (int y = 0; y < Frame->height; ++y)
    for (int x = 0; x < RowBytes; ++x)
      if (!Check(Frame->data[0][y * Frame->linesize[0] + x])) return false;
  return true;
}

class HookTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureLibrariesLoaded();
    E.PrepareForTask();
    E.FOnLog = [this](TCustomFFmpeg*, int Level, const std::string& Msg) { Lines.emplace_back(Level, Msg); };
    {
      std::lock_guard<std::mutex> guard(LibraryLogLock);
      LibraryLog.clear();
    }
    ff::av_log_set_callback(CaptureLog);
  }
  void TearDown() override {
    ff::av_log_set_callback(ff::av_log_default_callback);
    for (AVFrame*& f : Frames) ff::av_frame_free(&f);
  }

  AVFrame* Picture(AVPixelFormat Format, int Width, int Height, std::array<int, 3> Fill) {
    AVFrame* f = MakePicture(Format, Width, Height, Fill);
    Frames.push_back(f);
    return f;
  }

  void Hook(AVFrame* F, int64_t Pts) {
    E.RunPictureHooks(F->data, F->linesize, F->width, F->height, F->format, Pts);
  }

  bool Logged(int Level, const std::string& Msg) const {
    for (const auto& l : Lines)
      if (l.first == Level && l.second == Msg) return true;
    return false;
  }

  TCustomFFmpeg E;
  std::vector<std::pair<int, std::string>> Lines;
  std::vector<AVFrame*> Frames;
};

TEST_F(HookTest, ALibraryAddedTwiceIsLoadedOnceConfiguredTwiceAndRunsInListOrder) {
  // A copy under a fresh name, so that no earlier test has loaded it.
  TTempDir dir;
  const std::string lib = dir / "libhookcopy.so";
  std::filesystem::copy_file(kHookLib, lib);
  const int loadedBefore = LoadedHookLibraryCount();

  E.AddVideoHook(lib + " 1 1");
  E.AddVideoHook(lib + "|2|2");  // "|" separates the words when present
  EXPECT_TRUE(E.FUsingVHook);
  EXPECT_EQ(LoadedHookLibraryCount(), loadedBefore + 1);
  EXPECT_EQ(Counter(lib, "ConfigureCalls"), 2);
  EXPECT_EQ(Counter(lib, "LastArgCount"), 3);

  AVFrame* f = Picture(AV_PIX_FMT_YUV420P, 16, 8, {10, 128, 128});
  ASSERT_NE(f, nullptr);
  Hook(f, 0);
  // Hook 1 then hook 2: (10 * 3 + 1) * 3 + 2.
  EXPECT_TRUE(AllLuma(f, 16, [](uint8_t v) { return v == 95; }));
  EXPECT_EQ(f->data[1][0], 128);  // only the first plane is the hooks' business
  EXPECT_EQ(ProcessIds(lib), (std::vector<int>{1, 2}));

  E.Cleanup();
  EXPECT_EQ(E.FFrameHooks, nullptr);
  EXPECT_EQ(Counter(lib, "ReleaseCalls"), 2);
}

TEST_F(HookTest, AddFrameHookResultCodesAndTheirLogLines) {
  FrameHookEntry* head = nullptr;
  EXPECT_EQ(AddFrameHook(head, 0, nullptr), HOOK_BAD_ARGUMENTS);

  std::string missing = "/nonexistent/libnohook.so";
  char* missingArgs[] = {missing.data()};
  EXPECT_EQ(AddFrameHook(head, 1, missingArgs), HOOK_NOT_LOADABLE);
  {
    std::lock_guard<std::mutex> guard(LibraryLogLock);
    ASSERT_FALSE(LibraryLog.empty());
    EXPECT_NE(LibraryLog.back().find("libnohook.so"), std::string::npos) << LibraryLog.back();
    EXPECT_TRUE(LibraryLog.back().ends_with("\n"));
  }

  std::string noConfigure = kNoConfigureLib;
  std::string word = "7";
  char* onlyName[] = {noConfigure.data()};
  char* withWords[] = {noConfigure.data(), word.data()};
  EXPECT_EQ(AddFrameHook(head, 2, withWords), HOOK_BAD_ARGUMENTS);
  EXPECT_TRUE(LibraryLogged("Failed to find Configure entrypoint in " + noConfigure + "\n"));
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(AddFrameHook(head, 1, onlyName), HOOK_OK);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->Context, nullptr);

  std::string lib = kHookLib;
  std::string fail = "fail";
  char* failing[] = {lib.data(), fail.data()};
  EXPECT_EQ(AddFrameHook(head, 2, failing), HOOK_CONFIGURE_FAILED);
  EXPECT_TRUE(LibraryLogged("Failed to Configure " + lib + "\n"));
  EXPECT_EQ(head->Next, nullptr);

  ReleaseFrameHooks(head);
  EXPECT_EQ(head, nullptr);
}

TEST_F(HookTest, AddVideoHookFailuresAndTooManyWords) {
  try {
    E.AddVideoHook(kNoConfigureLib + " extra");
    FAIL() << "no failure";
  } catch (const FFMpegException& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to add video hook function: " + kNoConfigureLib + " extra");
  }
  EXPECT_FALSE(E.FUsingVHook);

  std::string text = kHookLib;
  for (int i = 0; i < 64; ++i) text += " 1";  // 65 words
  EXPECT_THROW(E.AddVideoHook(text), FFMpegException);
  EXPECT_EQ(E.FFrameHooks, nullptr);
  text.resize(text.size() - 2);  // 64 words fit
  E.AddVideoHook(text);
  EXPECT_NE(E.FFrameHooks, nullptr);
}

TEST_F(HookTest, ScheduleHooksInsideRangesIgnoresBetweenAndStopsAfterTheLast) {
  E.FUsingVHook = true;
  E.SetHookSchedule({{10000000, 12000000}, {0, 2000000}});  // sorted by Stop when set
  ASSERT_EQ(E.FHookScheduleCount, 2);
  EXPECT_EQ(E.FHookSchedule[0].Stop, 2000000);

  int64_t firstStopped = -1;
  for (int64_t pts = 0; pts <= 14000000; pts += 40000) {
    const bool hooked = E.HookDecision(pts);
    const bool inside = pts <= 2000000 || (pts >= 10000000 && pts <= 12000000);
    if (firstStopped < 0) {
      ASSERT_EQ(hooked, inside) << pts;
      if (!inside) {
        ASSERT_EQ(E.FHookAction, pts > 12000000 ? haStop : haIgnore) << pts;
      }
      if (E.FHookAction == haStop) firstStopped = pts;
    } else {
      ASSERT_FALSE(hooked) << pts;
    }
  }
  EXPECT_EQ(firstStopped, 12040000);
  EXPECT_FALSE(E.FUsingVHook);
  EXPECT_EQ(E.FHookFrameNumber, 351);
}

TEST_F(HookTest, BeforeHookSeesThePreviousActionAndAFailureStopsHooking) {
  E.FUsingVHook = true;
  std::vector<THookAction> seen;
  E.FOnBeforeHook = [&](TCustomFFmpeg*, int64_t Pts, THookAction& Action) {
    seen.push_back(Action);
    if (Pts == 1) Action = haIgnore;
    if (Pts == 3) throw std::runtime_error("boom");
  };
  EXPECT_TRUE(E.HookDecision(0));
  EXPECT_FALSE(E.HookDecision(1));
  EXPECT_FALSE(E.HookDecision(2));  // the action is not reset between pictures
  EXPECT_FALSE(E.HookDecision(3));
  EXPECT_FALSE(E.HookDecision(4));
  EXPECT_EQ(seen, (std::vector<THookAction>{haContinue, haContinue, haIgnore, haIgnore}));
  EXPECT_TRUE(Logged(0, "Error occurs OnBeforeHook: boom"));
  EXPECT_EQ(E.FHookAction, haStop);
  EXPECT_FALSE(E.FUsingVHook);
}

TEST_F(HookTest, CustomHookExchangesTheBitmapAndStopHookEndsItAfterTheCopyBack) {
  E.AddVideoHook(kHookLib + " 1 9");  // frame hooks must stay off while a custom hook is set
  const int processBefore = Counter(kHookLib, "ProcessCalls");
  int beforeHookCalls = 0;
  E.FOnBeforeHook = [&](TCustomFFmpeg*, int64_t, THookAction&) { ++beforeHookCalls; };
  std::vector<int32_t> frameNumbers;
  E.FOnCustomHook = [&](TCustomFFmpeg*, TBitmap* Bitmap, int32_t FrameNumber, int64_t Pts, bool& Update,
                        bool& StopHook) {
    frameNumbers.push_back(FrameNumber);
    EXPECT_EQ(Bitmap->Width(), 32);
    EXPECT_EQ(Bitmap->Height(), 16);
    // The picture arrives as black BGR rows.
    EXPECT_LT(Bitmap->ScanLine(15)[95], 8);
    for (int y = 0; y < Bitmap->Height(); ++y) std::memset(Bitmap->ScanLine(y), 255, Bitmap->Stride());
    EXPECT_TRUE(Update);
    if (Pts == 2) StopHook = true;
  };

  for (int64_t pts = 1; pts <= 3; ++pts) {
    AVFrame* f = Picture(AV_PIX_FMT_YUV420P, 32, 16, {16, 128, 128});
    Hook(f, pts);
    if (pts <= 2)
      EXPECT_TRUE(AllLuma(f, 32, [](uint8_t v) { return v > 200; })) << pts;  // white came back
    else
      EXPECT_TRUE(AllLuma(f, 32, [](uint8_t v) { return v == 16; }));  // untouched
  }
  EXPECT_EQ(frameNumbers, (std::vector<int32_t>{1, 2}));
  EXPECT_FALSE(static_cast<bool>(E.FOnCustomHook));
  EXPECT_EQ(E.FHookAction, haStop);
  EXPECT_FALSE(E.FUsingVHook);
  EXPECT_EQ(beforeHookCalls, 0);
  EXPECT_EQ(Counter(kHookLib, "ProcessCalls"), processBefore);
}

TEST_F(HookTest, AFailingCustomHookLosesOnlyThatPicturesUpdate) {
  int calls = 0;
  E.FOnCustomHook = [&](TCustomFFmpeg*, TBitmap* Bitmap, int32_t, int64_t, bool&, bool&) {
    ++calls;
    std::memset(Bitmap->ScanLine(0), 0, Bitmap->Stride());
    if (calls == 1) throw std::runtime_error("bad picture");
  };
  // BGR24 pictures are exchanged without conversion.
  AVFrame* first = Picture(AV_PIX_FMT_BGR24, 8, 4, {200, 0, 0});
  Hook(first, 0);
  EXPECT_TRUE(Logged(0, "Error occurs OnCustomHook: bad picture"));
  EXPECT_TRUE(AllLuma(first, 24, [](uint8_t v) { return v == 200; }));

  AVFrame* second = Picture(AV_PIX_FMT_BGR24, 8, 4, {200, 0, 0});
  Hook(second, 40000);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(second->data[0][0], 0);
  EXPECT_EQ(second->data[0][23], 0);
  EXPECT_EQ(second->data[0][second->linesize[0]], 200);
  EXPECT_TRUE(static_cast<bool>(E.FOnCustomHook));
}

TEST_F(HookTest, APictureOfUnknownFormatStopsTheCustomHookInsteadOfTheProcess) {
  int calls = 0;
  E.FOnCustomHook = [&](TCustomFFmpeg*, TBitmap*, int32_t, int64_t, bool&, bool&) { ++calls; };
  AVFrame* f = Picture(AV_PIX_FMT_YUV420P, 16, 16, {16, 128, 128});
  E.RunPictureHooks(f->data, f->linesize, 16, 16, AV_PIX_FMT_NONE, 0);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(Logged(0, "Cannot initialize the toRGB conversion context"));
  EXPECT_FALSE(static_cast<bool>(E.FOnCustomHook));
}

}  // namespace
