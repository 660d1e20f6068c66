// The "Output Settings" group: the quality profiles, video size, bitrates,
// channels, frame rate and sample rate that every file of a batch is converted
// with. User-interface thread only.
#pragma once

#include <QGroupBox>

class QComboBox;
class QLabel;
class QSpinBox;
struct TBatchSettings;
struct TStoredSettings;

class TOutputSettings : public QGroupBox {
public:
  explicit TOutputSettings(QWidget* Parent = nullptr);

  // Sets the controls from the settings file; choosing the profile here does
  // not change the bitrates or channels.
  void Load(const TStoredSettings& Settings);
  void Store(TStoredSettings& Settings) const;
  // The bitrates, channels, size, frame rate and sample rate for the per-file
  // set-up. With TakeTyped, a number still being typed counts as entered;
  // without, the fields' last values are read and what is typed is left alone.
  void Fill(TBatchSettings& Settings, bool TakeTyped = true) const;

  // A profile chosen by the user: its text's video and audio bitrates go into
  // the two fields, and "Mono" in the text selects one channel, else two.
  // Size, frame rate and sample rate stay.
  void CboProfilesSelect(int Index);

  // Whether a video size ("720x306") and a frame rate ("60", "Auto") go beyond
  // what the portable players play: 640x480 at 30 frames per second.
  static bool BeyondPlayerLimits(const QString& Size, const QString& Rate);

  QComboBox* CboProfiles;
  QComboBox* CboResolution;
  QComboBox* CboChannels;
  QSpinBox* SpinVideo;
  QSpinBox* SpinAudio;
  QComboBox* CboFrameRate;
  QComboBox* CboAudioSampleRate;
  // Shown while the chosen size or frame rate is beyond the players' limits;
  // the conversion uses the chosen values all the same.
  QLabel* LblPlayerLimit;

private:
  void ShowPlayerLimit();
};
