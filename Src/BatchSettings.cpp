#include "BatchSettings.h"

#include "Loudness.h"
#include "SubtitleScript.h"
#include "Subtitles.h"
#include "OptionTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "EngineIO.h"
#include "MediaHeaders.h"
#include "SizeEstimate.h"
#include "SourcePicture.h"
#include "SourceRecord.h"

const char* const kOutputExtension = ".mp4";
const char* const kSkippedConverted = "Skipped (already converted)";

const std::vector<std::string>& ProfileTexts() {
  static const std::vector<std::string> texts = {
      "Lowest Queality,    Video:128kbps, Audio:32kbps, 1 channels, Mono",
      "Lower Quality,      Video:256kbps, Audio:48kbps, 1 channels, Mono  ",
      "Low Quality,        Video:384kbps, Audio:64kbps, 1 channels, Mono",
      "Normal Quality,     Video:512kbps, Audio:80kbps, 2 channels, Stereo",
      "Meduim Quality,     Video:640kbps, Audio:96kbps, 2 channels, Stereo",
      "Preferable Quality, Video:768kbps, Audio:112kbps, 2 channels, Stereo",
      "High Quality,       Video:900kbps, Audio:128kbps, 2 channels, Stereo",
      "Superb Quality,     Video:1500kbps,Audio:160kbps, 2 channels, Stereo",
  };
  return texts;
}

namespace {

// The number between Key and the next "kbps"; 0 when there is none.
int NumberAfter(const std::string& Text, const std::string& Key) {
  const size_t at = Text.find(Key);
  if (at == std::string::npos) return 0;
  const size_t from = at + Key.size();
  const size_t to = Text.find("kbps", from);
  return std::atoi(Text.substr(from, to == std::string::npos ? std::string::npos : to - from).c_str());
}

bool FileExists(const std::string& Path) {
  struct stat st{};
  return stat(Path.c_str(), &st) == 0;
}

std::optional<std::pair<uint64_t, uint64_t>> FileIdOf(const std::string& Path) {
  struct stat st{};
  if (stat(Path.c_str(), &st) != 0) return std::nullopt;
  return std::pair<uint64_t, uint64_t>{st.st_dev, st.st_ino};
}

bool SameFile(const std::string& A, const std::string& B) {
  struct stat sa{}, sb{};
  return stat(A.c_str(), &sa) == 0 && stat(B.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

TProfileValues ProfileValuesOf(const std::string& Text) {
  TProfileValues v;
  v.VideoKbps = NumberAfter(Text, "Video:");
  v.AudioKbps = NumberAfter(Text, "Audio:");
  v.ChannelsEntry = Text.find("Mono") != std::string::npos ? 0 : 1;
  return v;
}

const std::vector<std::string>& FrameSizeTexts() {
  static const std::vector<std::string> texts = {"160x120", "320x180", "320x240", "480x480",
                                                 "640x272", "640x360", "720x306", "720x320"};
  return texts;
}

const std::vector<std::string>& ChannelTexts() {
  static const std::vector<std::string> texts = {"1 Channel, Mono", "2 Channels, Stereo"};
  return texts;
}

const std::vector<std::string>& FrameRateTexts() {
  static const std::vector<std::string> texts = {"Auto", "8",     "10", "12", "15", "20",
                                                 "23.97", "24", "25", "29.97", "30", "60"};
  return texts;
}

const std::vector<std::string>& SampleRateTexts() {
  static const std::vector<std::string> texts = {"8000", "16000", "22050", "32000", "44100", "48000"};
  return texts;
}

void ApplyProfile(TBatchSettings& Settings, int Index) {
  const TProfileValues v = ProfileValuesOf(ProfileTexts().at(static_cast<size_t>(Index)));
  Settings.VideoKbps = v.VideoKbps;
  Settings.AudioKbps = v.AudioKbps;
  Settings.ChannelsEntry = v.ChannelsEntry;
}

std::string DurationText(int64_t DurationUs) {
  if (DurationUs < 0 || DurationUs == AV_NOPTS_VALUE) return "";
  const int64_t s = DurationUs / 1000000;
  const int64_t h = s / 3600;
  const int64_t m = (s - 3600 * h) / 60;
  const int64_t sec = s - 3600 * h - 60 * m;
  auto two = [](int64_t N) { return (N < 10 ? "0" : "") + std::to_string(N); };
  return two(h) + ":" + two(m) + ":" + two(sec);
}

std::string BaseNameOf(const std::string& FileName) {
  const size_t slash = FileName.find_last_of('/');
  std::string name = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

std::string TypeOf(const std::string& FileName) {
  const size_t slash = FileName.find_last_of('/');
  const std::string name = slash == std::string::npos ? FileName : FileName.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return "";
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ext;
}

std::string FolderWithSlash(const std::string& Folder) {
  if (Folder.empty() || Folder.back() == '/') return Folder;
  return Folder + "/";
}

namespace {

bool ProbeFoldsCase(const std::string& Folder) {
  // A name with lower-case letters, looked up in upper case.
  const std::string probe = FolderWithSlash(Folder) + ".vidlomat-case-probe-" + std::to_string(getpid());
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  std::string upper = probe;
  for (size_t i = FolderWithSlash(Folder).size(); i < upper.size(); ++i)
    if (upper[i] >= 'a' && upper[i] <= 'z') upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
  struct stat st {};
  const bool folds = stat(upper.c_str(), &st) == 0;
  unlink(probe.c_str());
  return folds;
}

}  // namespace

bool FolderFoldsCase(const std::string& Folder) {
  // The output folder may not exist yet: its nearest existing folder is on
  // the same disk.
  std::string folder = Folder.empty() ? "." : Folder;
  struct stat st {};
  while (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) {
      folder = ".";
      break;
    }
    folder = slash == 0 ? "/" : folder.substr(0, slash);
  }
  struct statfs fs {};
  if (statfs(folder.c_str(), &fs) != 0) return false;
  constexpr long kFat = 0x4d44, kExFat = 0x2011BAB0, kExt4 = 0xEF53, kBtrfs = 0x9123683E, kXfs = 0x58465342,
                 kTmpfs = 0x01021994;
  switch (static_cast<long>(fs.f_type)) {
    case kFat:
    case kExFat:
      return true;
    case kExt4: {
      // ext4 folds case in the folders that have the casefold attribute.
      const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) return false;
      int flags = 0;
      const bool got = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
      close(fd);
      return got && (flags & FS_CASEFOLD_FL) != 0;
    }
    case kBtrfs:
    case kXfs:
    case kTmpfs:
      return false;
    default:
      // A FUSE exFAT driver, a Windows share, NTFS: the folder itself says.
      return ProbeFoldsCase(folder);
  }
}

std::string TNameReservations::Key(const std::string& Path) const {
  const size_t slash = Path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : Path.substr(0, slash);
  auto known = FFoldingFolders.find(folder);
  if (known == FFoldingFolders.end()) known = FFoldingFolders.emplace(folder, FoldsCase && FoldsCase(folder)).first;
  if (!known->second) return Path;
  std::string key = Path;
  for (size_t i = slash == std::string::npos ? 0 : slash + 1; i < key.size(); ++i)
    if (key[i] >= 'A' && key[i] <= 'Z') key[i] = static_cast<char>(key[i] - 'A' + 'a');
  return key;
}

void TNameReservations::Reserve(const std::string& Path) { FOutputs.insert(Key(Path)); }

bool TNameReservations::IsReserved(const std::string& Path) const { return FOutputs.count(Key(Path)) > 0; }

void TNameReservations::AddSource(const std::string& Path) {
  if (const auto id = FileIdOf(Path)) Sources.insert(*id);
}

void TNameReservations::AddSources(const std::vector<std::string>& Paths) {
  for (const std::string& path : Paths) AddSource(path);
}

bool TNameReservations::IsSource(const std::string& Path) const {
  if (Sources.empty()) return false;
  const auto id = FileIdOf(Path);
  return id && Sources.count(*id) > 0;
}

std::string ChooseOutputName(const std::string& Folder, const std::string& Base, bool Overwrite,
                             const TNameReservations* Reserved, const std::string& InputFile) {
  const std::string folder = FolderWithSlash(Folder);
  auto pathOf = [&](const std::string& Name) { return folder + Name + kOutputExtension; };
  // Never write over the input itself, over any input of this batch, nor
  // over an output of this batch.
  auto ours = [&](const std::string& Path) {
    return (Reserved && (Reserved->IsReserved(Path) || Reserved->IsSource(Path))) ||
           (!InputFile.empty() && SameFile(Path, InputFile));
  };
  auto taken = [&](const std::string& Path) { return FileExists(Path) || ours(Path); };
  const std::string first = pathOf(Base);
  if (!ours(first) && (Overwrite || !FileExists(first))) return Base;
  for (int n = 1;; ++n) {
    const std::string name = Base + "(" + std::to_string(n) + ")";
    if (!taken(pathOf(name))) return name;
  }
}

double InputFrameRateOf(const AVFormatContext* Context) {
  if (!Context) return 0;
  for (unsigned i = 0; i < Context->nb_streams; ++i) {
    const AVStream* st = Context->streams[i];
    if (!st->codecpar || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    AVRational rate = st->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = st->avg_frame_rate;
    return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
  }
  return 0;
}

double InputDisplayAspectOf(const AVFormatContext* Context) {
  if (!Context) return 0;
  for (unsigned i = 0; i < Context->nb_streams; ++i) {
    const AVStream* st = Context->streams[i];
    if (!st->codecpar || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    const AVCodecParameters* par = st->codecpar;
    if (par->width <= 0 || par->height <= 0) return 0;
    // As the engine reads it: the stream's sample aspect ratio, else the codec's.
    AVRational sar = st->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = par->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = AVRational{1, 1};
    const double aspect = par->width * av_q2d(sar) / par->height;
    return PictureTurnOf(st).Quarter() ? 1 / aspect : aspect;
  }
  return 0;
}

TPictureFit FitPicture(int FrameWidth, int FrameHeight, double Aspect) {
  TPictureFit fit;
  fit.Width = FrameWidth;
  fit.Height = FrameHeight;
  if (!(Aspect > 0) || !std::isfinite(Aspect) || FrameWidth <= 0 || FrameHeight <= 0) return fit;
  auto even = [](double V) { return std::max(2, 2 * static_cast<int>(std::lround(V / 2))); };
  if (Aspect * FrameHeight > FrameWidth)
    fit.Height = std::min(FrameHeight, even(FrameWidth / Aspect));
  else
    fit.Width = std::min(FrameWidth, even(FrameHeight * Aspect));
  // Centred; the first bar even too (the chroma of 4:2:0 covers two lines and
  // two columns), the second takes what is left.
  const int padW = FrameWidth - fit.Width, padH = FrameHeight - fit.Height;
  fit.PadLeft = (padW / 2) & ~1;
  fit.PadRight = padW - fit.PadLeft;
  fit.PadTop = (padH / 2) & ~1;
  fit.PadBottom = padH - fit.PadTop;
  return fit;
}

int GroupOfPictures(const TBatchSettings& Settings, double InputFrameRate) {
  const int seconds = std::clamp(Settings.KeyFrameSeconds, 0, kMaxKeyFrameSeconds);
  if (seconds == 0) return 0;
  double rate = InputFrameRate;
  if (Settings.FrameRate != "Auto") {
    const std::string& text = Settings.FrameRate;
    rate = 0;
    std::from_chars(text.data(), text.data() + text.size(), rate);
  }
  // A container's rate can be a time base in disguise (1000 fps): no player
  // shows more than 120 frames a second.
  if (!std::isfinite(rate) || rate <= 0) rate = 25;
  rate = std::min(rate, 120.0);
  return std::max(1, static_cast<int>(std::lround(seconds * rate)));
}

void FillInputOptions(const std::string& FileName, TInputOptions& Options) {
  Options = TInputOptions{};
  Options.FileName = FileName;
}

void FillOutputOptions(const TBatchSettings& Settings, const std::string& OutputPath, TOutputOptions& Options,
                       double InputFrameRate, double InputAspect) {
  Options = TOutputOptions{};
  Options.VideoCodec = "mpeg4";
  Options.AudioCodec = "libfaac";
  Options.AudioChannels = Settings.ChannelsEntry == 0 ? 1 : 2;
  Options.AudioBitrate = Settings.AudioKbps * 1000;
  Options.VideoBitrate = Settings.VideoKbps * 1000;
  // How far the bits spent may run ahead of the asked rate before the rate
  // control corrects: two seconds of it. The libraries' own 4 Mbit (8 s at
  // 512 kbit/s) let a short detailed film end 10-15% over the asked rate.
  Options.BitrateTolerance = 2 * Options.VideoBitrate;
  Options.FrameSize = Settings.FrameSize;
  if (Settings.FrameRate != "Auto") Options.FrameRate = Settings.FrameRate;
  Options.AudioSampleRate = Settings.SampleRate;
  // The source's own dates (photo libraries sort by them); the time of the
  // conversion only for a source that has none.
  Options.Timestamp = 0;
  Options.KeepSourceDates = true;
  Options.RecordSource = true;
  Options.RecordShape = OutputShapeText(Settings);
  Options.FileExt = kOutputExtension;
  Options.FileName = OutputPath;
  const int gop = GroupOfPictures(Settings, InputFrameRate);
  // With key frames this far apart, a picture the encoder does not need the
  // whole rate for lost up to 0.3 dB against the 12-frame group: its
  // quantiser sits at the floor of 2, and the frequent key frames had been
  // refreshing the picture. Key frames may now use quantiser 1 (half the
  // predicted frames' quantiser, so the floor of 2 becomes 1 for them) and
  // the sub-pixel motion search compares by coded differences (SATD), which
  // predicts the moving pictures better. Saturated pictures keep to the rate.
  // The way back (no key-frame distance) restores the engine's own set-up.
  static constexpr char kLongGroupQuality[] = "qmin=1\ni_qfactor=-0.5\nsubcmp=2\n";
  Options.ExtraOptions = (gop > 0 ? "g=" + std::to_string(gop) + "\n" + kLongGroupQuality : std::string()) +
                         (Settings.EvenVolume ? "loudness=" + std::to_string(std::lround(kEvenLoudnessLufs)) + "\n"
                                              : std::string()) +
                         Settings.OutputExtraOptions;
  // The extra options are applied before these fields, and a field left at
  // its "not given" value does not override them: an extra option that names
  // one of the settings above takes effect instead of the setting.
  bool ownShape = false;
  for (const auto& [given, value] : opt::SplitOptionText(Settings.OutputExtraOptions)) {
    std::string name = given;
    name.erase(0, name.find_first_not_of('-'));
    // (A pad colour only colours the bars.)
    if (name == "s" || name == "aspect" || name == "vfilters" || (name.rfind("pad", 0) == 0 && name != "padcolor") ||
        name.rfind("crop", 0) == 0)
      ownShape = true;
    if (name == "vcodec") Options.VideoCodec.clear();
    if (name == "acodec") Options.AudioCodec.clear();
    if (name == "b") Options.VideoBitrate = Options.BitrateTolerance = -1;
    if (name == "bt") Options.BitrateTolerance = -1;
    if (name == "ab") Options.AudioBitrate = -1;
    if (name == "ar") Options.AudioSampleRate = -1;
    if (name == "ac") Options.AudioChannels = -1;
    if (name == "s") Options.FrameSize.clear();
    if (name == "r") Options.FrameRate.clear();
  }
  int width = 0, height = 0;
  const std::string& size = Settings.FrameSize;
  const auto x = size.find('x');
  if (ownShape || !(InputAspect > 0) || x == std::string::npos) return;
  std::from_chars(size.data(), size.data() + x, width);
  std::from_chars(size.data() + x + 1, size.data() + size.size(), height);
  if (width <= 0 || height <= 0) return;
  // The engine scales to the picture's area and pads around it; the aspect
  // of the whole frame is its size, so its pixels are square.
  const TPictureFit fit = FitPicture(width, height, InputAspect);
  Options.FrameSize = std::to_string(fit.Width) + "x" + std::to_string(fit.Height);
  if (fit.PadTop) Options.PadTop = fit.PadTop;
  if (fit.PadBottom) Options.PadBottom = fit.PadBottom;
  if (fit.PadLeft) Options.PadLeft = fit.PadLeft;
  if (fit.PadRight) Options.PadRight = fit.PadRight;
  Options.AspectRatio = std::to_string(width) + ":" + std::to_string(height);
}

int ChosenAudioTrack(const TBatchSettings& Settings, const std::vector<TAudioTrack>& Tracks) {
  if (Settings.AudioTrack > 0 && Settings.AudioTrack <= static_cast<int>(Tracks.size())) return Settings.AudioTrack - 1;
  // The language asked for first (one no one knows is passed over), then the
  // user's own.
  std::vector<std::string> languages;
  if (KnownLanguage(Settings.AudioLanguage)) languages.push_back(NormalLanguage(Settings.AudioLanguage));
  for (const std::string& language : UserLanguages())
    if (languages.empty() || language != languages.front()) languages.push_back(language);
  return ChooseAudioTrack(Tracks, languages);
}

std::vector<TAudioTrack> ProbeAudioTracks(TCustomQuilloConverter& Converter, const std::string& FileName) {
  std::vector<TAudioTrack> tracks;
  TAVProbe& probe = Converter.Probe();
  try {
    if (probe.Open(FileName)) tracks = AudioTracksOf(probe.FormatContext());
  } catch (const EAVProbeError&) {
    // Libraries missing: no tracks known.
  }
  probe.Close();
  return tracks;
}

std::string TypeColumnText(const std::string& FileName, const std::string& TrackText, bool Subtitles) {
  std::string type = TypeOf(FileName);
  if (!TrackText.empty()) type += " \xC2\xB7 " + TrackText;
  if (Subtitles) type += " + subtitles";
  return type;
}

TFileSetup SetUpFile(TCustomQuilloConverter& Converter, const TBatchSettings& Settings,
                     const std::string& FileName, TNameReservations* Reserved, const std::string& TreeFolder,
                     bool OpenOutput) {
  TFileSetup row;
  const std::string outputFolder = Settings.KeepFolders && !TreeFolder.empty()
                                       ? FolderWithSlash(Settings.OutputFolder.empty() ? "." : Settings.OutputFolder) + TreeFolder
                                       : Settings.OutputFolder;
  row.FileName = FileName;
  row.Base = BaseNameOf(FileName);
  row.Type = TypeOf(FileName);

  if (Settings.SkipConverted) {
    // The names this file's output may have had: Base, and Base(1), Base(2)...
    // when an older file held the name, as far as such files exist.
    // Converted already: an output that records this source, unchanged since,
    // and these settings. An output of an older version records no settings
    // and is converted again, once: a wrong output kept without a word is
    // worse than the time of one conversion.
    const std::string record = SourceRecordOf(FileName, OutputShapeText(Settings));
    const std::string folder = FolderWithSlash(outputFolder);
    for (int n = 0; !record.empty(); ++n) {
      const std::string name = n == 0 ? row.Base : row.Base + "(" + std::to_string(n) + ")";
      const std::string path = folder + name + kOutputExtension;
      if (!FileExists(path)) break;
      if (RecordedSourceOf(path) != record) continue;
      row.Skipped = true;
      row.OutputName = name;
      row.OutputPath = path;
      row.Message = kSkippedConverted;
      if (Reserved) Reserved->Reserve(path);
      return row;
    }
  }

  TInputOptions input;
  FillInputOptions(FileName, input);
  input.ExtraOptions = Settings.InputExtraOptions;

  TAVProbe& probe = Converter.Probe();
  double inputRate = 0, inputAspect = 0;
  bool hasVideo = false, hasAudio = false;
  try {
    if (probe.Open(FileName)) {
      TAVFileInfo info{};
      probe.GetFileInfo(info);
      row.Duration = DurationText(info.Duration);
      if (info.Duration > 0 && info.Duration != AV_NOPTS_VALUE) row.DurationUs = info.Duration;
      inputRate = InputFrameRateOf(probe.FormatContext());
      inputAspect = InputDisplayAspectOf(probe.FormatContext());
      if (const AVFormatContext* ic = probe.FormatContext())
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
          const AVMediaType type = ic->streams[i]->codecpar->codec_type;
          hasVideo = hasVideo || type == AVMEDIA_TYPE_VIDEO;
          hasAudio = hasAudio || type == AVMEDIA_TYPE_AUDIO;
        }
      row.AudioTracks = AudioTracksOf(probe.FormatContext());
      row.AudioChoice = ChosenAudioTrack(Settings, row.AudioTracks);
      if (Settings.BurnSubtitles && hasVideo) {
        row.SubtitleFile = !Settings.SubtitleFile.empty() ? Settings.SubtitleFile
                                                          : SubtitleFileBeside(FileName, UserLanguages());
        if (row.SubtitleFile.empty())
          row.SubtitleTrack = SubtitleTrackToBurn(probe.FormatContext(), UserLanguages(), Settings.LanguageSubtitles);
      }
    }
  } catch (const EAVProbeError&) {
    // Libraries missing: AddTask below says so.
  }
  probe.Close();

  const int index = Converter.AddTask(FileName, input);
  if (index < 0) {
    // What happened to a file that is gone or cannot be read, in words; the
    // libraries' own refusal for a file they cannot make sense of.
    const std::string problem = InputFileProblem(FileName);
    row.Message = problem.empty() ? "Convertion of file \"" + FileName + "\" is not supported."
                                  : "Cannot convert \"" + FileName + "\": " + problem + ".";
    row.Detail = Converter.LastError();
    return row;
  }
  if (outputFolder != Settings.OutputFolder) {
    // The tree below the output folder is made as needed; a failure shows
    // when the output is checked.
    std::error_code ignored;
    std::filesystem::create_directories(outputFolder, ignored);
  }
  row.OutputName = ChooseOutputName(outputFolder, row.Base, Settings.Overwrite, Reserved, FileName);
  row.OutputPath = FolderWithSlash(outputFolder) + row.OutputName + kOutputExtension;

  TOutputOptions output;
  FillOutputOptions(Settings, row.OutputPath, output, inputRate, inputAspect);
  TSizeInputs size;
  size.DurationUs = row.DurationUs;
  size.HasVideo = hasVideo;
  size.HasAudio = hasAudio;
  size.VideoBitrate = std::max(0, output.VideoBitrate);
  size.AudioBitrate = std::max(0, output.AudioBitrate);
  size.FrameRate = inputRate;
  if (Settings.FrameRate != "Auto")
    std::from_chars(Settings.FrameRate.data(), Settings.FrameRate.data() + Settings.FrameRate.size(), size.FrameRate);
  size.SampleRate = Settings.SampleRate;
  row.ExpectedBytes = TSizeEstimate::OutputBytes(size);
  row.Size = size;
  std::string trackText;
  if (row.AudioTracks.size() > 1 && row.AudioChoice >= 0) {
    const TAudioTrack& track = row.AudioTracks[static_cast<size_t>(row.AudioChoice)];
    output.ExtraOptions = "astream=" + std::to_string(track.StreamIndex) + "\n" + output.ExtraOptions;
    trackText = AudioTrackText(track);
  }
  // A file name cannot go through the option lines if it holds a line break.
  if (row.SubtitleFile.find_first_of("\r\n") != std::string::npos) row.SubtitleFile.clear();
  if (!row.SubtitleFile.empty()) {
    std::string charset;
    const std::string problem = SubtitleFileProblem(row.SubtitleFile, charset);
    if (!problem.empty()) {
      row.Warning = "Subtitles \"" + row.SubtitleFile + "\" cannot be read (" + problem +
                    "): the video is converted without them";
      row.SubtitleFile.clear();
    }
  }
  if (!row.SubtitleFile.empty())
    output.ExtraOptions = "subtitles=" + row.SubtitleFile + "\n" + output.ExtraOptions;
  else if (row.SubtitleTrack >= 0)
    output.ExtraOptions = "substream=" + std::to_string(row.SubtitleTrack) + "\n" + output.ExtraOptions;
  row.Type = TypeColumnText(FileName, trackText, !row.SubtitleFile.empty() || row.SubtitleTrack >= 0);
  if (OpenOutput && !Converter.SetOutputFile(index, row.OutputPath, output)) {
    row.Message = "Cannot convert: " + Converter.LastError();
    Converter.RemoveTask(index);
    return row;
  }
  if (Reserved) Reserved->Reserve(row.OutputPath);
  row.Ok = true;
  row.TaskIndex = index;
  return row;
}

namespace {

std::string LowerAscii(std::string Text) {
  for (char& c : Text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return Text;
}

// Path without its trailing slashes ("/" stays, "" is the current folder).
std::string WithoutSlash(std::string Path) {
  while (Path.size() > 1 && Path.back() == '/') Path.pop_back();
  return Path.empty() ? "." : Path;
}

std::string ParentOf(const std::string& Path) {
  const size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

bool Below(const std::string& Path, const std::string& Base) {
  return Path == Base || (Path.size() > Base.size() && Path.compare(0, Base.size(), Base) == 0 &&
                          (Base.back() == '/' || Path[Base.size()] == '/'));
}

std::string ErrnoWords(int Errno) {
  if (Errno == EACCES || Errno == EPERM) return "permission denied";
  if (Errno == EROFS) return "read-only";
  if (Errno == ENOENT) return "not found";
  std::string text = std::strerror(Errno);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

// Whether Folder holds nothing but folders (an empty mount point, or the
// folder of a user's mount points).
bool OnlyFolders(const std::string& Folder) {
  DIR* dir = opendir(Folder.c_str());
  if (!dir) return false;
  bool only = true;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (stat((Folder + "/" + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      only = false;
      break;
    }
  }
  closedir(dir);
  return only;
}

bool MountPoint(const std::string& Folder) {
  struct stat self {}, parent {};
  if (stat(Folder.c_str(), &self) != 0 || stat((Folder + "/..").c_str(), &parent) != 0) return false;
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

}  // namespace

std::string InputFileProblem(const std::string& FileName) {
  if (FileName.find("://") != std::string::npos) return {};
  struct stat st {};
  if (stat(FileName.c_str(), &st) != 0) return ErrnoWords(errno == ENOTDIR ? ENOENT : errno);
  if (S_ISDIR(st.st_mode)) return "is a folder";
  if (access(FileName.c_str(), R_OK) != 0) return ErrnoWords(errno);
  return {};
}

const std::vector<std::string>& DefaultMountBases() {
  static const std::vector<std::string> bases = {"/media", "/run/media", "/mnt"};
  return bases;
}

std::string OutputFolderProblem(const std::string& Folder, const std::vector<std::string>& MountBases) {
  const std::string path = WithoutSlash(Folder);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return path + " is not a folder";
    if (access(path.c_str(), W_OK | X_OK) != 0) return ErrnoWords(errno);
    return {};
  }
  if (errno != ENOENT && errno != ENOTDIR) return ErrnoWords(errno);
  // The nearest part of the path that exists decides.
  std::string existing = path;
  do {
    existing = ParentOf(existing);
  } while (stat(existing.c_str(), &st) != 0 && existing != "/" && existing != ".");
  if (stat(existing.c_str(), &st) != 0) return ErrnoWords(errno);
  if (!S_ISDIR(st.st_mode)) return existing + " is not a folder";
  for (const std::string& base : MountBases)
    if (Below(path, base) && Below(existing, base) && !MountPoint(existing) && OnlyFolders(existing))
      return "not mounted";
  if (access(existing.c_str(), W_OK | X_OK) != 0) return ErrnoWords(errno);
  return {};
}

std::vector<std::string> FilesInFolder(const std::string& Folder, const std::vector<std::string>& Extensions) {
  std::vector<std::string> names;
  DIR* dir = opendir(Folder.c_str());
  if (!dir) return names;
  const std::string prefix = Folder.empty() || Folder.back() == '/' ? Folder : Folder + "/";
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) continue;
    const std::string extension = LowerAscii(name.substr(dot + 1));
    if (std::find(Extensions.begin(), Extensions.end(), extension) == Extensions.end()) continue;
    const std::string file = prefix + name;
    struct stat st {};
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), R_OK) == 0)
      names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::string& A, const std::string& B) {
    const std::string a = LowerAscii(A), b = LowerAscii(B);
    return a != b ? a < b : A < B;
  });
  for (std::string& name : names) name = prefix + name;
  return names;
}

int64_t MediaDurationUs(const std::string& FileName) {
  TAVProbe probe;
  int64_t duration = -1;
  try {
    if (probe.Open(FileName)) {
      TAVFileInfo info{};
      probe.GetFileInfo(info);
      if (info.Duration > 0 && info.Duration != AV_NOPTS_VALUE) duration = info.Duration;
    }
  } catch (const EAVProbeError&) {
    // Libraries missing: nothing can be told.
  }
  return duration;
}

std::string ClockText(int64_t Ms) {
  const int64_t s = std::max<int64_t>(0, Ms) / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  return text;
}

bool ClearlyShorter(int64_t OutputMs, int64_t HeaderMs) {
  if (HeaderMs <= 0) return false;
  const int64_t missing = HeaderMs - std::max<int64_t>(0, OutputMs);
  return missing > 2000 && missing * 10 > HeaderMs;
}

std::string ShorterText(int64_t OutputMs, int64_t HeaderMs) {
  return "shorter: " + ClockText(OutputMs) + " of " + ClockText(HeaderMs);
}

std::vector<std::string> RemoveLeftoverPartFiles(const std::string& Folder) {
  std::vector<std::string> removed;
  TOutputTarget::RemoveStaleTemporaryFiles(Folder.empty() ? "." : Folder, &removed);
  return removed;
}

std::string OutputShapeText(const TBatchSettings& Settings) {
  auto flat = [](std::string Text) {
    for (char& c : Text)
      if (c == '\n' || c == '\r') c = ' ';
    while (!Text.empty() && Text.back() == ' ') Text.pop_back();
    return Text;
  };
  std::string text = Settings.FrameSize + ", " +
                     (Settings.FrameRate == "Auto" ? std::string("the source's frame rate") : Settings.FrameRate + " fps") +
                     ", video " + std::to_string(Settings.VideoKbps) + " kbit/s, audio " +
                     std::to_string(Settings.AudioKbps) + " kbit/s " + std::to_string(Settings.SampleRate) + " Hz " +
                     (Settings.ChannelsEntry == 0 ? "mono" : "stereo") + ", key frame every " +
                     std::to_string(Settings.KeyFrameSeconds) + " s, " +
                     (Settings.EvenVolume ? "levelled" : "not levelled") + ", ";
  if (!Settings.BurnSubtitles)
    text += "no subtitles";
  else if (!Settings.SubtitleFile.empty())
    text += "subtitles from " + Settings.SubtitleFile;
  else
    text += Settings.LanguageSubtitles ? "own subtitles or those in the user's language" : "own subtitles";
  if (Settings.AudioTrack > 0) text += ", audio track " + std::to_string(Settings.AudioTrack);
  else if (!Settings.AudioLanguage.empty()) text += ", audio in " + Settings.AudioLanguage;
  if (!flat(Settings.InputExtraOptions).empty()) text += ", input options " + flat(Settings.InputExtraOptions);
  if (!flat(Settings.OutputExtraOptions).empty()) text += ", output options " + flat(Settings.OutputExtraOptions);
  return text;
}
