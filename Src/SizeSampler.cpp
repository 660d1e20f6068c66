#include "SizeSampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "MediaHeaders.h"
#include "QuilloConverter.h"

namespace {

// What the container spends on each packet's index (as SizeEstimate.cpp).
constexpr double kIndexBytesPerPacket = 8;
// The engine's own group of pictures when no key-frame distance is set.
constexpr int kEngineGroup = 12;

struct TFormatCloser {
  void operator()(AVFormatContext* C) const { ff::avformat_close_input(&C); }
};
struct TPacketFree {
  void operator()(AVPacket* P) const { ff::av_packet_free(&P); }
};

std::string SecondsText(int64_t Us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", static_cast<double>(Us) / 1e6);
  // The option parser reads a point whatever the locale says.
  for (char* c = text; *c; ++c)
    if (*c == ',') *c = '.';
  return text;
}

}  // namespace

std::vector<TSampleSpan> SampleSpans(int64_t DurationUs) {
  if (DurationUs <= kWholeFileUs) return {{0, 0}};
  // One sample a minute, at least 3 and at most 8, each in the middle of its
  // equal share of the file.
  const int n = static_cast<int>(std::clamp<int64_t>(DurationUs / 60'000'000, 3, 8));
  std::vector<TSampleSpan> spans;
  for (int i = 0; i < n; ++i) {
    const int64_t middle = DurationUs * (2 * i + 1) / (2 * n);
    spans.push_back({std::max<int64_t>(0, middle - kSampleUs / 2), kSampleUs});
  }
  return spans;
}

bool ReadSampleBytes(const std::string& Path, TSampleBytes& Bytes, double SkipSeconds) {
  Bytes = {};
  std::error_code ec;
  const auto size = std::filesystem::file_size(Path, ec);
  if (ec) return false;
  Bytes.FileBytes = static_cast<int64_t>(size);
  AVFormatContext* opened = nullptr;
  if (ff::avformat_open_input(&opened, Path.c_str(), nullptr, nullptr) < 0) return false;
  std::unique_ptr<AVFormatContext, TFormatCloser> input(opened);
  std::unique_ptr<AVPacket, TPacketFree> packet(ff::av_packet_alloc());
  if (!packet) return false;
  double first = -1;  // the time of the first picture, seconds
  while (ff::av_read_frame(input.get(), packet.get()) >= 0) {
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    const AVStream* stream = index < input->nb_streams ? input->streams[index] : nullptr;
    const AVMediaType type = stream ? stream->codecpar->codec_type : AVMEDIA_TYPE_UNKNOWN;
    const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    const double at = stream && ts != AV_NOPTS_VALUE ? static_cast<double>(ts) * av_q2d(stream->time_base) : 0;
    if (type == AVMEDIA_TYPE_VIDEO && first < 0) first = at;
    const bool key = type == AVMEDIA_TYPE_VIDEO && (packet->flags & AV_PKT_FLAG_KEY);
    if (SkipSeconds > 0 && !key && (first < 0 || at - first < SkipSeconds)) {
      Bytes.SkippedBytes += packet->size;
      ++Bytes.SkippedPackets;
    } else if (key) {
      Bytes.KeyBytes += packet->size;
      ++Bytes.KeyPictures;
    } else if (type == AVMEDIA_TYPE_VIDEO) {
      Bytes.OtherBytes += packet->size;
      ++Bytes.OtherPictures;
    } else if (type == AVMEDIA_TYPE_AUDIO) {
      Bytes.AudioBytes += packet->size;
      ++Bytes.AudioPackets;
    }
    ff::av_packet_unref(packet.get());
  }
  return true;
}

int64_t ExtrapolatedBytes(const std::vector<TSampleBytes>& Samples, int64_t DurationUs, int GroupFrames) {
  if (Samples.empty() || DurationUs <= 0) return -1;
  const double seconds = static_cast<double>(DurationUs) / 1e6;
  if (Samples.size() == 1 && Samples[0].Seconds >= seconds - 1e-3) return Samples[0].FileBytes;
  TSampleBytes sum;
  double fixed = 0;
  for (const TSampleBytes& s : Samples) {
    sum.KeyBytes += s.KeyBytes;
    sum.KeyPictures += s.KeyPictures;
    sum.OtherBytes += s.OtherBytes;
    sum.OtherPictures += s.OtherPictures;
    sum.AudioBytes += s.AudioBytes;
    sum.AudioPackets += s.AudioPackets;
    sum.Seconds += s.Seconds;
    const int64_t packets = s.KeyPictures + s.OtherPictures + s.AudioPackets + s.SkippedPackets;
    fixed += std::max(0.0, static_cast<double>(s.FileBytes - s.KeyBytes - s.OtherBytes - s.AudioBytes - s.SkippedBytes) -
                               kIndexBytesPerPacket * static_cast<double>(packets));
  }
  if (sum.Seconds <= 0) return -1;
  fixed /= static_cast<double>(Samples.size());
  const double scale = seconds / sum.Seconds;
  double bytes = fixed;
  const double pictures = static_cast<double>(sum.KeyPictures + sum.OtherPictures) * scale;
  if (pictures > 0) {
    const double group = GroupFrames > 0 ? GroupFrames : kEngineGroup;
    // Each sample begins with a key picture; those beyond it are the
    // encoder's own (a change of scene) and come at their rate.
    const double extra = static_cast<double>(std::max<int64_t>(0, sum.KeyPictures - static_cast<int64_t>(Samples.size())));
    const double keys = std::min(pictures, std::ceil(pictures / group) + extra * scale);
    const double keyMean = sum.KeyPictures > 0 ? static_cast<double>(sum.KeyBytes) / static_cast<double>(sum.KeyPictures) : 0;
    const double otherMean = sum.OtherPictures > 0 ? static_cast<double>(sum.OtherBytes) / static_cast<double>(sum.OtherPictures) : keyMean;
    bytes += keys * keyMean + (pictures - keys) * otherMean + pictures * kIndexBytesPerPacket;
  }
  bytes += static_cast<double>(sum.AudioBytes) * scale + static_cast<double>(sum.AudioPackets) * scale * kIndexBytesPerPacket;
  return static_cast<int64_t>(std::llround(bytes));
}

int64_t MeasureOutputBytes(TCustomQuilloConverter& Converter, const TBatchSettings& Settings,
                           const std::string& File, const std::string& TempFolder, TSampleControl& Control,
                           double* RateShare) {
  if (RateShare) *RateShare = 0;
  TBatchSettings s = Settings;
  s.OutputFolder = TempFolder;
  s.Overwrite = true;
  s.SkipConverted = false;
  s.KeepFolders = false;

  Converter.ClearTasks();
  TNameReservations reserved;
  std::vector<std::string> outputs;
  std::vector<double> seconds;
  std::vector<double> skips;
  int64_t durationUs = -1, bound = -1;
  int group = 0;
  bool ok = true;
  auto removeOutputs = [&] {
    std::error_code ec;
    for (const std::string& path : outputs) std::filesystem::remove(path, ec);
  };
  for (const TSampleSpan& span : SampleSpans(MediaDurationUs(File))) {
    TBatchSettings sample = s;
    if (span.StartUs > 0) sample.InputExtraOptions = "ss=" + SecondsText(span.StartUs) + "\n" + s.InputExtraOptions;
    if (span.LengthUs > 0) sample.OutputExtraOptions = s.OutputExtraOptions + "\nt=" + SecondsText(span.LengthUs);
    const TFileSetup setup = SetUpFile(Converter, sample, File, &reserved);
    if (!setup.Ok || setup.DurationUs <= 0) {
      ok = false;
      break;
    }
    durationUs = setup.DurationUs;
    bound = setup.ExpectedBytes;
    group = GroupOfPictures(Settings, setup.Size.FrameRate);
    outputs.push_back(setup.OutputPath);
    const int64_t lengthUs = span.LengthUs > 0 ? std::min(span.LengthUs, durationUs - span.StartUs) : durationUs;
    const int64_t skipUs = span.LengthUs > 0 ? std::min(kWarmUpUs, lengthUs / 2) : 0;
    skips.push_back(static_cast<double>(skipUs) / 1e6);
    seconds.push_back(static_cast<double>(lengthUs - skipUs) / 1e6);
  }
  if (!ok || outputs.empty()) {
    Converter.ClearTasks();
    removeOutputs();
    return -1;
  }

  // One sample after another; the handler only notes the ends.
  std::vector<bool> finished(outputs.size(), false);  // Control.Lock
  bool done = false;                                  // Control.Lock
  Converter.OnTerminate = [&](int Index, bool Finished, bool Error, const std::string&) {
    std::lock_guard<std::mutex> guard(Control.Lock);
    if (Index < 0)
      done = true;
    else if (static_cast<size_t>(Index) < finished.size())
      finished[static_cast<size_t>(Index)] = Finished && !Error;
    Control.Changed.notify_all();
  };
  bool paused, stopped = false;
  {
    std::lock_guard<std::mutex> guard(Control.Lock);
    paused = Control.Paused;
  }
  Converter.Pause(paused);
  Converter.Start(1);
  {
    std::unique_lock<std::mutex> lock(Control.Lock);
    for (;;) {
      Control.Changed.wait(lock, [&] { return done || (Control.Cancel && !stopped) || Control.Paused != paused; });
      if (done) break;
      // The component is called without Control.Lock: its handler takes it.
      if (Control.Cancel && !stopped) {
        stopped = true;
        lock.unlock();
        Converter.StopAll();
        lock.lock();
      } else if (Control.Paused != paused) {
        paused = Control.Paused;
        lock.unlock();
        Converter.Pause(paused);
        lock.lock();
      }
    }
  }
  Converter.OnTerminate = nullptr;
  Converter.ClearTasks();
  Converter.Pause(false);

  std::vector<TSampleBytes> samples;
  for (size_t i = 0; i < outputs.size() && !stopped; ++i) {
    TSampleBytes bytes;
    // A sample with no packet at all (a file whose times lie elsewhere) tells nothing.
    if (!finished[i] || !ReadSampleBytes(outputs[i], bytes, skips[i]) ||
        bytes.KeyPictures + bytes.OtherPictures + bytes.AudioPackets + bytes.SkippedPackets == 0) {
      stopped = true;
      break;
    }
    bytes.Seconds = seconds[i];
    samples.push_back(bytes);
  }
  removeOutputs();
  if (stopped) return -1;
  const int64_t bytes = ExtrapolatedBytes(samples, durationUs, group);
  // A short file was encoded whole: that is its output.
  if (bound <= 0 || (samples.size() == 1 && skips[0] == 0)) return bytes;
  double sampleBytes = 0, sampleSeconds = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    sampleBytes += static_cast<double>(samples[i].FileBytes);
    sampleSeconds += samples[i].Seconds + skips[i];
  }
  const double boundRate = static_cast<double>(bound) / (static_cast<double>(durationUs) / 1e6);
  const double share = sampleSeconds > 0 ? sampleBytes / sampleSeconds / boundRate : 0;
  if (RateShare) *RateShare = share;
  if (share >= kRateBoundShare) return bound;
  return std::min(bytes, bound);
}

// ---------------------------------------------------------------------------

TSampleFolder::TSampleFolder(const std::string& Parent) {
  std::error_code ec;
  std::filesystem::create_directories(Parent, ec);
  std::string name = (std::filesystem::path(Parent) / "vidlomat-samples-XXXXXX").string();
  if (mkdtemp(name.data())) FPath = name;
}

TSampleFolder::~TSampleFolder() {
  std::error_code ec;
  if (!FPath.empty()) std::filesystem::remove_all(FPath, ec);
}

TSizeSampler::TSizeSampler(const std::string& Parent, TMeasured OnMeasured, TThreadPriority Priority)
    : FTempFolder(Parent), FOnMeasured(std::move(OnMeasured)), FPriority(Priority) {
  FThread = std::thread([this] { Run(); });
}

TSizeSampler::~TSizeSampler() {
  {
    std::lock_guard<std::mutex> guard(FControl.Lock);
    FQuit = true;
    FFiles.clear();
    FControl.Cancel = true;
  }
  FControl.Changed.notify_all();
  FThread.join();
}

uint64_t TSizeSampler::Measure(const std::vector<std::string>& Files, const TBatchSettings& Settings) {
  std::lock_guard<std::mutex> guard(FControl.Lock);
  ++FGeneration;
  FFiles.assign(Files.begin(), Files.end());
  FSettings = Settings;
  if (FInHand) FControl.Cancel = true;
  FControl.Changed.notify_all();
  return FGeneration;
}

void TSizeSampler::Cancel() {
  std::lock_guard<std::mutex> guard(FControl.Lock);
  ++FGeneration;
  FFiles.clear();
  if (FInHand) FControl.Cancel = true;
  FControl.Changed.notify_all();
}

void TSizeSampler::Pause(bool On) {
  std::lock_guard<std::mutex> guard(FControl.Lock);
  FControl.Paused = On;
  FControl.Changed.notify_all();
}

bool TSizeSampler::Busy() const {
  std::lock_guard<std::mutex> guard(FControl.Lock);
  return FInHand || !FFiles.empty();
}

void TSizeSampler::Run() {
  // The component belongs to this thread; its tasks run at FPriority.
  TQuilloConverter converter;
  converter.SetThreadPriority(FPriority);
  std::unique_lock<std::mutex> lock(FControl.Lock);
  for (;;) {
    FControl.Changed.wait(lock, [&] { return FQuit || !FFiles.empty(); });
    if (FQuit) break;
    const std::string file = FFiles.front();
    FFiles.pop_front();
    const TBatchSettings settings = FSettings;
    const uint64_t generation = FGeneration;
    FControl.Cancel = false;
    FInHand = true;
    lock.unlock();
    const int64_t bytes =
        FTempFolder.Path().empty() ? -1 : MeasureOutputBytes(converter, settings, file, FTempFolder.Path(), FControl);
    lock.lock();
    FInHand = false;
    if (FControl.Cancel || generation != FGeneration) continue;
    // Not busy with this file any more once its figure is handed over.
    lock.unlock();
    if (FOnMeasured) FOnMeasured(generation, file, bytes);
    lock.lock();
  }
}
