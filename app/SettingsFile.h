// The window's settings between two starts of the program: Options.ini in the
// folder Vidlomat/ of the user's configuration folder ($XDG_CONFIG_HOME,
// default ~/.config), section Options, fifteen keys.
#pragma once

#include <QString>

#include "BatchSettings.h"

// What the file holds, as the window's controls take it. Selection indexes are
// always inside their lists.
struct TStoredSettings {
  QString OutputPath;           // ends in "/"
  int Profile = 3;
  int Resolution = 2;           // "320x240"
  int Channels = 1;             // stereo
  QString VideoQuality = "512";
  QString AudioQuality = "80";
  int VideoFrameRate = 10;      // "30"
  int AudioSampleRate = 4;      // "44100"
  bool Overwrite = true;
  bool ShutdownAfterCompleted = false;
  // Keys beyond the first ten; a file without them reads as before.
  int FilesAtTheSameTime = 1;   // 1..MaxFilesAtTheSameTime()
  // Seconds between key frames, 0..kMaxKeyFrameSeconds (0: every 12 frames).
  // No control shows it: the window keeps what the file says.
  int KeyFrameSeconds = kDefaultKeyFrameSeconds;
  // At Convert, a file whose output is already there, converted from it, is
  // skipped.
  bool SkipConverted = false;
  // Conversions at nice 10 as batch jobs, so the desktop stays quick.
  bool LowPriority = true;
  // Files added from a folder tree are written at their places in it below
  // the output folder.
  bool KeepFolders = false;
  bool EvenVolume = true;     // the sound of every output at one loudness
  bool BurnSubtitles = true;  // subtitles beside a file, or forced in it, drawn into the picture
};

// The most files the window converts at the same time: the number of cores.
int MaxFilesAtTheSameTime();

class TSettingsFile {
public:
  explicit TSettingsFile(QString Path = DefaultPath());

  // $XDG_CONFIG_HOME/Vidlomat/Options.ini (~/.config when the variable is
  // unset or empty).
  static QString DefaultPath();
  // ~/My iPod Files/
  static QString DefaultOutputFolder();

  const QString& Path() const { return FPath; }

  // The settings, each missing or unreadable key at its default: an integer
  // key that is not a number, or an index outside its list, reads as its
  // default; a check box is on exactly when its text is "True".
  TStoredSettings Read() const;
  // Writes every key, creating the folder when missing. False, with the
  // reason in Error, when the file could not be written.
  bool Write(const TStoredSettings& Settings, QString& Error) const;

private:
  QString FPath;
};
