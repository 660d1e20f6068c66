#include "ComponentSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "BatchSettings.h"
#include "MediaMaker.h"
#include "TestSupport.h"

namespace {

TTempDir& ClipDir() {
  static TTempDir* dir = new TTempDir;  // removed by the exit handler below
  static const bool registered = [] {
    std::atexit([] { delete &ClipDir(); });
    return true;
  }();
  (void)registered;
  return *dir;
}

}  // namespace

std::string TestClip(const std::string& Preset, double Seconds) {
  static std::mutex lock;
  static std::map<std::string, std::string> made;
  std::lock_guard<std::mutex> guard(lock);
  const std::string key = Preset + "@" + std::to_string(Seconds);
  auto it = made.find(key);
  if (it != made.end()) return it->second;
  EnsureLibrariesLoaded();
  TClipSpec clipSpec = ClipSpecByName(Preset);
  clipSpec.DurationSeconds = Seconds;
  const std::string path = ClipDir() / (Preset + "_" + std::to_string(static_cast<int>(Seconds * 1000)) + clipSpec.Extension);
  std::string error;
  EXPECT_TRUE(MakeClip(clipSpec, path, &error)) << error;
  made[key] = path;
  return path;
}

std::string FreshOutputFolder() {
  static std::atomic<int> counter{0};
  const std::string path = ClipDir() / ("out" + std::to_string(++counter));
  std::filesystem::create_directories(path);
  return path;
}

void TEventRecorder::Attach(TCustomQuilloConverter& C, bool Logs) {
  C.OnTerminate = [this](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    TEventRecord r{TEventRecord::Terminate};
    r.Index = AIndex;
    r.Finished = AFinished;
    r.Exception = AException;
    r.Message = AMessage;
    Add(r);
  };
  C.OnProgress = [this](int AIndex, int, int, int, float, float, int64_t, int) {
    TEventRecord r{TEventRecord::Progress};
    r.Index = AIndex;
    Add(r);
  };
  if (Logs)
    C.OnLog = [this](int AIndex, TLogLevel ALevel, const std::string& AMsg) {
      TEventRecord r{TEventRecord::Log};
      r.Index = AIndex;
      r.Level = ALevel;
      r.Message = AMsg;
      Add(r);
    };
}

void TEventRecorder::Add(TEventRecord R) {
  R.Thread = std::this_thread::get_id();
  R.At = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> guard(FLock);
    FEvents.push_back(std::move(R));
  }
  FChanged.notify_all();
}

bool TEventRecorder::WaitFor(const std::function<bool(const std::vector<TEventRecord>&)>& Pred,
                             std::chrono::milliseconds Timeout) {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, Timeout, [&] { return Pred(FEvents); });
}

bool TEventRecorder::WaitAllDone(std::chrono::milliseconds Timeout) {
  return WaitFor(
      [](const std::vector<TEventRecord>& E) {
        for (const auto& r : E)
          if (r.Kind == TEventRecord::Terminate && r.Index == -1) return true;
        return false;
      },
      Timeout);
}

std::vector<TEventRecord> TEventRecorder::Events() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FEvents;
}

std::vector<TEventRecord> TEventRecorder::Terminations() const {
  std::vector<TEventRecord> result;
  for (const auto& r : Events())
    if (r.Kind == TEventRecord::Terminate) result.push_back(r);
  return result;
}

int TEventRecorder::AllDoneCount() const {
  int n = 0;
  for (const auto& r : Terminations())
    if (r.Index == -1) ++n;
  return n;
}

TWatchdog::TWatchdog(std::chrono::seconds Limit, std::string What) {
  FThread = std::thread([this, Limit, What = std::move(What)] {
    std::unique_lock<std::mutex> lock(FLock);
    if (!FDone.wait_for(lock, Limit, [this] { return FDisarmed; })) {
      std::fprintf(stderr, "watchdog: %s did not finish within %lld s\n", What.c_str(),
                   static_cast<long long>(Limit.count()));
      std::fflush(stderr);
      std::_Exit(3);
    }
  });
}

TWatchdog::~TWatchdog() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FDisarmed = true;
  }
  FDone.notify_all();
  FThread.join();
}

void LoadThrough(TCustomQuilloConverter& C) { ASSERT_TRUE(C.LoadLibraries(LibAVFolder(), true)) << C.LastError(); }

int AddConversion(TCustomQuilloConverter& C, const std::string& Input, const std::string& Output,
                  const TOutputOptions* Extra) {
  TInputOptions in;
  FillInputOptions(Input, in);
  const int index = C.AddTask(Input, in);
  EXPECT_GE(index, 0) << C.LastError();
  if (index < 0) return index;
  TOutputOptions out;
  TBatchSettings settings;
  FillOutputOptions(settings, Output, out);
  if (Extra) {
    out.CustomHook = Extra->CustomHook;
    out.BeforeHook = Extra->BeforeHook;
    out.ExtraOptions = Extra->ExtraOptions;
    out.RecordingTimeMs = Extra->RecordingTimeMs;
  }
  EXPECT_TRUE(C.SetOutputFile(index, Output, out)) << C.LastError();
  return index;
}
