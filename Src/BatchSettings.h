// The batch settings shared by the window and the command-line converter: the
// quality profiles and output choices, and the per-file set-up that turns one
// input path and the settings into a conversion task with its output name.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "AudioTracks.h"
#include "QuilloConverter.h"
#include "SizeEstimate.h"

// The profile list, exactly as the window shows it.
const std::vector<std::string>& ProfileTexts();
constexpr int kDefaultProfile = 3;

// What a profile entry's text says: the number after "Video:" and after
// "Audio:" (each up to "kbps"), and mono when the text contains "Mono".
struct TProfileValues {
  int VideoKbps = 0;
  int AudioKbps = 0;
  int ChannelsEntry = 1;  // 0 mono, 1 stereo
};
TProfileValues ProfileValuesOf(const std::string& Text);

// The choice lists of the output settings.
const std::vector<std::string>& FrameSizeTexts();   // "160x120" ... "720x320"
const std::vector<std::string>& ChannelTexts();     // "1 Channel, Mono", "2 Channels, Stereo"
const std::vector<std::string>& FrameRateTexts();   // "Auto", "8" ... "60"
const std::vector<std::string>& SampleRateTexts();  // "8000" ... "48000"
// Ranges of the two bitrate fields, kbit/s.
constexpr int kMinVideoKbps = 128, kMaxVideoKbps = 1500;
constexpr int kMinAudioKbps = 32, kMaxAudioKbps = 160;

extern const char* const kOutputExtension;  // ".mp4"
extern const char* const kSkippedConverted;  // "Skipped (already converted)"

// Key frames: players of this kind seek by key frame and play long groups of
// pictures, and every key frame costs several times a predicted picture.
constexpr int kDefaultKeyFrameSeconds = 10;
constexpr int kMaxKeyFrameSeconds = 600;

struct TBatchSettings {
  int VideoKbps = 512;
  int AudioKbps = 80;
  int ChannelsEntry = 1;            // index into ChannelTexts()
  std::string FrameSize = "320x240";
  std::string FrameRate = "30";     // "Auto": no frame rate is handed on
  int SampleRate = 44100;
  std::string OutputFolder;         // empty: the current folder
  bool Overwrite = true;
  // A file whose output name already holds an output converted from it (the
  // same name, size and modification time, SourceRecord.h) gets no task.
  bool SkipConverted = false;
  // A file added from a folder tree is written at its place in the tree below
  // the output folder (SetUpFile's TreeFolder).
  bool KeepFolders = false;
  // The longest time between two key frames, in seconds: the encoder's group
  // of pictures. 0: the engine's own group of 12 pictures.
  int KeyFrameSeconds = kDefaultKeyFrameSeconds;
  // name=value lines handed to the engine with each task (the window has none).
  std::string InputExtraOptions;
  std::string OutputExtraOptions;
  // Which audio track of a file with several: the Nth (from 1) when AudioTrack
  // is above 0 and the file has that many, else the one in AudioLanguage (a
  // language code; empty or unknown: none), else the one in the user's
  // languages from the environment, else the one flagged default, else the
  // one with the most channels.
  int AudioTrack = 0;
  std::string AudioLanguage;
  // Every output's sound levelled to the same loudness (kEvenLoudnessLufs).
  bool EvenVolume = true;
  // Subtitles burned into the pictures (Subtitles.h): SubtitleFile for every
  // file when given, else the file's own subtitle file beside it, else its
  // embedded text track flagged forced, else, with LanguageSubtitles, its
  // embedded text track in the user's language.
  bool BurnSubtitles = true;
  std::string SubtitleFile;
  bool LanguageSubtitles = false;
};

// What of Settings shapes an output, as text for the output's source record:
// "320x240, 30 fps, video 512 kbit/s, audio 80 kbit/s 44100 Hz stereo, key
// frame every 10 s, levelled, own subtitles" and, when set, the audio track
// chosen and the extra options (cuts among them). Where the output goes and
// how its name is chosen are left out.
std::string OutputShapeText(const TBatchSettings& Settings);

// Sets the two bitrates and the channels from profile entry Index (0..7).
void ApplyProfile(TBatchSettings& Settings, int Index);

// "HH:MM:SS" of a duration in microseconds (whole seconds, truncated; hours
// above 99 in full); empty when the duration is unknown or negative.
std::string DurationText(int64_t DurationUs);

// The file name without folder and extension, and the extension without the
// dot in upper case.
std::string BaseNameOf(const std::string& FileName);
std::string TypeOf(const std::string& FileName);
// Folder with a trailing "/" ("" stays "").
std::string FolderWithSlash(const std::string& Folder);

// Whether names in Folder are found whatever the case of their letters
// (FAT, exFAT, a case-folding ext4 folder, a Windows share): told from the
// file system's type, else from a probe file in the folder (or the nearest
// folder above it that exists), which is removed again. False when it cannot
// be told.
bool FolderFoldsCase(const std::string& Folder);

// The names one batch may not write to: outputs already given to earlier
// files of the batch, so that two inputs with the same name never write to one
// file; and the input of every file of the batch, known as a file (device and
// inode), so that no output replaces an input, whatever name, hard link or
// linked folder leads to it.
// Outputs are told apart as their folder tells names apart: on a folder that
// folds case (FAT and exFAT, the storage of players and SD cards) "Clip.mp4"
// and "clip.mp4" are one file.
struct TNameReservations {
  // Whether a folder folds the case of names (FolderFoldsCase; tests put
  // their own answer here). Asked once per folder.
  std::function<bool(const std::string& Folder)> FoldsCase = FolderFoldsCase;
  // An output given to a file of this batch, and whether Path is one (or
  // names the same file in a folder that folds case).
  void Reserve(const std::string& Path);
  bool IsReserved(const std::string& Path) const;
  std::set<std::pair<uint64_t, uint64_t>> Sources;
  // Adds the file at Path to the inputs (nothing when there is no such file).
  void AddSource(const std::string& Path);
  void AddSources(const std::vector<std::string>& Paths);
  // Whether Path leads to one of the inputs.
  bool IsSource(const std::string& Path) const;

private:
  std::string Key(const std::string& Path) const;
  std::set<std::string> FOutputs;                      // Key() of each output reserved
  mutable std::map<std::string, bool> FFoldingFolders;  // FoldsCase's answers, by folder
};

// The output name (without folder and extension) for Base in Folder: Base when
// no such output exists or Overwrite is set; else Base(N) with the first N from
// 1 whose file does not exist. A name reserved in this batch (an earlier
// output or any file's input), or the input file itself, is always taken.
std::string ChooseOutputName(const std::string& Folder, const std::string& Base, bool Overwrite,
                             const TNameReservations* Reserved = nullptr, const std::string& InputFile = "");

// The frame rate of the first video stream of an open input as the engine
// takes it (the container's rate, else the average rate); 0 when unknown.
double InputFrameRateOf(const AVFormatContext* Context);

// The group of pictures for a key frame every Settings.KeyFrameSeconds: that
// many seconds of frames at the output rate, or at InputFrameRate when the
// rate is "Auto" (25 when that is unknown); 0 (the engine's own group) when
// KeyFrameSeconds is 0.
int GroupOfPictures(const TBatchSettings& Settings, double InputFrameRate);

// The shown aspect (width / height) of the first video stream of an open
// input: its size and sample aspect ratio, turned a quarter when its display
// matrix says so; 0 when unknown.
double InputDisplayAspectOf(const AVFormatContext* Context);

// A picture fitted into a frame: players of this kind ignore the pixel
// aspect, so the picture gets square pixels and the largest size of its
// shown aspect that fits, centred, with black bars on the sides that are
// left (letterbox for a wider picture, pillarbox for a taller one). All sizes
// are even, as 4:2:0 pictures need.
struct TPictureFit {
  int Width = 0, Height = 0;  // the picture's area
  int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
};
// The fit of a picture shown at Aspect (width / height) into an even
// FrameWidth x FrameHeight; the whole frame when Aspect is unknown (0).
TPictureFit FitPicture(int FrameWidth, int FrameHeight, double Aspect);

void FillInputOptions(const std::string& FileName, TInputOptions& Options);
// The output record of one file. The group of pictures goes in the extra
// options, before the settings' own lines (which may override it). With the
// input's shown aspect (InputAspect > 0), the picture is fitted into the
// frame size (FitPicture) through the engine's size, pad and aspect options,
// so the output's pixels are square; extra options that set the size,
// aspect, padding, cropping or filters themselves keep the engine's own
// behaviour instead.
void FillOutputOptions(const TBatchSettings& Settings, const std::string& OutputPath, TOutputOptions& Options,
                       double InputFrameRate = 0, double InputAspect = 0);

// The position in Tracks of the audio track the settings choose (see
// TBatchSettings::AudioTrack); -1 when there is none.
int ChosenAudioTrack(const TBatchSettings& Settings, const std::vector<TAudioTrack>& Tracks);

// The audio tracks of a file, read through the component's probe; none when
// the file cannot be read.
std::vector<TAudioTrack> ProbeAudioTracks(TCustomQuilloConverter& Converter, const std::string& FileName);

// The Type column of a file: its type, the audio track converted when the
// file has several ("MKV · de 5.1"; TrackText empty: none named), and
// " + subtitles" when subtitles are burned in.
std::string TypeColumnText(const std::string& FileName, const std::string& TrackText, bool Subtitles);

// One file after the per-file set-up: the row the window would show, and the
// task (kept in the component when Ok).
struct TFileSetup {
  bool Ok = false;
  bool Skipped = false;    // converted already (SkipConverted): OutputPath names that output
  int TaskIndex = -1;
  std::string FileName;    // the input path
  std::string Base;        // Input Filename column
  std::string Duration;    // Duration column
  int64_t DurationUs = -1; // the input's duration in microseconds; -1 unknown
  std::string Type;        // Type column ("MKV", or "MKV · de 5.1" when the file has several audio tracks)
  std::vector<TAudioTrack> AudioTracks;  // the file's audio tracks
  int AudioChoice = -1;    // the position in AudioTracks of the track converted; -1 none
  // The subtitles burned in: a file, or the file's subtitle track (from 0
  // among its subtitle streams); "" and -1 for none. The Type column then
  // ends in " + subtitles".
  std::string SubtitleFile;
  int SubtitleTrack = -1;
  std::string OutputName;  // Output Filename column
  std::string OutputPath;  // folder + output name + extension
  int64_t ExpectedBytes = -1;  // the output's expected size (SizeEstimate.h); -1 unknown
  TSizeInputs Size;            // what ExpectedBytes was estimated from
  std::string Message;     // why the file was refused (the window's message text)
  // Something the conversion leaves out, said to the user at the normal level
  // ("Subtitles ... cannot be read (...)"); "" when nothing.
  std::string Warning;
  std::string Detail;      // the component's reason behind a "not supported" refusal
};

// The per-file set-up: probes the duration, adds a task, chooses the output
// name, gives the task its output. A refused file leaves no task behind, and
// so does a skipped one. Reserved should hold the inputs of the whole batch
// before its first file is set up; the output chosen here is added to it.
// TreeFolder: the folder of a file found in a folder tree, relative to the
// folder that was added ("2019/Summer"); with KeepFolders its output goes to
// that folder below the output folder, made as needed.
// Without OpenOutput the output is named but not tried (the output folder
// cannot take it yet): the file is checked as an input only.
TFileSetup SetUpFile(TCustomQuilloConverter& Converter, const TBatchSettings& Settings,
                     const std::string& FileName, TNameReservations* Reserved = nullptr,
                     const std::string& TreeFolder = "", bool OpenOutput = true);

// Why a local file cannot be an input, in words: "not found", "is a folder",
// "permission denied"; empty when it can be opened for reading (whether the
// libraries understand it is another matter) or when it is a URL.
std::string InputFileProblem(const std::string& FileName);

// Where removable drives are mounted: /media, /run/media and /mnt.
const std::vector<std::string>& DefaultMountBases();
// Why Folder cannot take output files now, in words: "<path> is not a
// folder" (the folder or a folder on its path is a file), "permission
// denied", "not mounted", "read-only"; empty when it can, also when it does
// not exist yet but can be made. A missing folder below one of MountBases
// whose nearest existing folder holds nothing but folders and is not a
// mount point itself is taken for a drive that is not plugged in: making it
// would write onto the system disk.
std::string OutputFolderProblem(const std::string& Folder,
                                const std::vector<std::string>& MountBases = DefaultMountBases());

// Removes the part files of conversions that were cut off (the program
// killed, the power gone) from Folder: hidden temporary outputs that no live
// process writes any more. Returns their paths.
std::vector<std::string> RemoveLeftoverPartFiles(const std::string& Folder);

// The files of Folder (not its subfolders) whose extension, in lower case, is
// one of Extensions, readable, in name order ignoring ASCII case; empty when
// Folder cannot be read.
std::vector<std::string> FilesInFolder(const std::string& Folder, const std::vector<std::string>& Extensions);

// The length of a media file in microseconds as its container tells; -1 when
// it cannot be read or does not say.
int64_t MediaDurationUs(const std::string& FileName);
// "H:MM:SS" of a time in milliseconds (whole seconds, truncated).
std::string ClockText(int64_t Ms);
// Whether an output of OutputMs is clearly shorter than the HeaderMs its
// input's header gave: more than 2 s and more than a tenth short.
bool ClearlyShorter(int64_t OutputMs, int64_t HeaderMs);
// "shorter: 0:00:03 of 0:00:10".
std::string ShorterText(int64_t OutputMs, int64_t HeaderMs);
