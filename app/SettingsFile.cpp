#include "SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QThread>
#include <algorithm>

#include "BatchSettings.h"

namespace {

const char* const kSection = "Options";

// The text of a key; a value with unquoted commas, which the INI reader
// splits into a list, is joined again.
QString TextOf(const QSettings& Ini, const char* Key, const QString& Default) {
  const QVariant v = Ini.value(Key);
  if (!v.isValid()) return Default;
  if (v.userType() == QMetaType::QStringList) return v.toStringList().join(", ");
  return v.toString();
}

// An index into a list of Count entries; Default when the text is not an
// integer or lies outside the list.
int IndexOf(const QSettings& Ini, const char* Key, int Default, size_t Count) {
  bool ok = false;
  const int v = TextOf(Ini, Key, QString()).trimmed().toInt(&ok);
  return ok && v >= 0 && static_cast<size_t>(v) < Count ? v : Default;
}

QString BoolText(bool Value) { return Value ? "True" : "False"; }

}  // namespace

int MaxFilesAtTheSameTime() { return std::max(1, QThread::idealThreadCount()); }

TSettingsFile::TSettingsFile(QString Path) : FPath(std::move(Path)) {}

QString TSettingsFile::DefaultPath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty()) base = QDir::homePath() + "/.config";
  if (!base.endsWith('/')) base += '/';
  return base + "Vidlomat/Options.ini";
}

QString TSettingsFile::DefaultOutputFolder() { return QDir::homePath() + "/My iPod Files/"; }

TStoredSettings TSettingsFile::Read() const {
  TStoredSettings s;
  QSettings ini(FPath, QSettings::IniFormat);
  ini.beginGroup(kSection);
  s.OutputPath = TextOf(ini, "OutputPath", DefaultOutputFolder());
  // A hand-edited "~/Videos" means the home folder, as in a shell (nothing
  // here would expand it, and a folder named "~" would be made).
  if (s.OutputPath == "~" || s.OutputPath.startsWith("~/")) s.OutputPath = QDir::homePath() + s.OutputPath.mid(1);
  if (!s.OutputPath.endsWith('/')) s.OutputPath += '/';
  s.Profile = IndexOf(ini, "Profile", s.Profile, ProfileTexts().size());
  s.Resolution = IndexOf(ini, "Resolution", s.Resolution, FrameSizeTexts().size());
  s.Channels = IndexOf(ini, "Channels", s.Channels, ChannelTexts().size());
  s.VideoQuality = TextOf(ini, "VideoQuality", s.VideoQuality);
  s.AudioQuality = TextOf(ini, "AudioQuality", s.AudioQuality);
  s.VideoFrameRate = IndexOf(ini, "VideoFrameRate", s.VideoFrameRate, FrameRateTexts().size());
  s.AudioSampleRate = IndexOf(ini, "AudioSampleRate", s.AudioSampleRate, SampleRateTexts().size());
  s.Overwrite = TextOf(ini, "Overwrite", BoolText(s.Overwrite)) == "True";
  s.ShutdownAfterCompleted = TextOf(ini, "ShutdownAfterCompleted", BoolText(s.ShutdownAfterCompleted)) == "True";
  // Not a number: 1; a number outside 1..cores (a file from a larger machine)
  // is brought into that range.
  bool ok = false;
  const int files = TextOf(ini, "FilesAtTheSameTime", QString()).trimmed().toInt(&ok);
  s.FilesAtTheSameTime = ok ? std::clamp(files, 1, MaxFilesAtTheSameTime()) : 1;
  // Outside 0..600, or not a number: the default 10.
  s.KeyFrameSeconds = IndexOf(ini, "KeyFrameSeconds", s.KeyFrameSeconds, kMaxKeyFrameSeconds + 1);
  s.SkipConverted = TextOf(ini, "SkipConverted", BoolText(s.SkipConverted)) == "True";
  s.LowPriority = TextOf(ini, "LowPriority", BoolText(s.LowPriority)) == "True";
  s.KeepFolders = TextOf(ini, "KeepFolders", BoolText(s.KeepFolders)) == "True";
  s.EvenVolume = TextOf(ini, "EvenVolume", BoolText(s.EvenVolume)) == "True";
  s.BurnSubtitles = TextOf(ini, "BurnSubtitles", BoolText(s.BurnSubtitles)) == "True";
  return s;
}

bool TSettingsFile::Write(const TStoredSettings& Settings, QString& Error) const {
  const QString folder = QFileInfo(FPath).absolutePath();
  if (!QDir().mkpath(folder)) {
    Error = "cannot create the folder " + folder;
    return false;
  }
  QSettings ini(FPath, QSettings::IniFormat);
  ini.beginGroup(kSection);
  ini.setValue("OutputPath", Settings.OutputPath);
  ini.setValue("Profile", Settings.Profile);
  ini.setValue("Resolution", Settings.Resolution);
  ini.setValue("Channels", Settings.Channels);
  ini.setValue("VideoQuality", Settings.VideoQuality);
  ini.setValue("AudioQuality", Settings.AudioQuality);
  ini.setValue("VideoFrameRate", Settings.VideoFrameRate);
  ini.setValue("AudioSampleRate", Settings.AudioSampleRate);
  ini.setValue("Overwrite", BoolText(Settings.Overwrite));
  ini.setValue("ShutdownAfterCompleted", BoolText(Settings.ShutdownAfterCompleted));
  ini.setValue("FilesAtTheSameTime", Settings.FilesAtTheSameTime);
  ini.setValue("KeyFrameSeconds", Settings.KeyFrameSeconds);
  ini.setValue("SkipConverted", BoolText(Settings.SkipConverted));
  ini.setValue("LowPriority", BoolText(Settings.LowPriority));
  ini.setValue("KeepFolders", BoolText(Settings.KeepFolders));
  ini.setValue("EvenVolume", BoolText(Settings.EvenVolume));
  ini.setValue("BurnSubtitles", BoolText(Settings.BurnSubtitles));
  ini.endGroup();
  ini.sync();
  if (ini.status() != QSettings::NoError) {
    Error = "cannot write " + FPath;
    return false;
  }
  return true;
}
