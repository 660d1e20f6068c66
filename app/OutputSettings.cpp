#include "OutputSettings.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QSpinBox>
#include <algorithm>

#include "BatchSettings.h"
#include "SettingsFile.h"

namespace {

QComboBox* NewList(const std::vector<std::string>& Entries, int Selected, QWidget* Parent) {
  auto* box = new QComboBox(Parent);
  for (const std::string& e : Entries) box->addItem(QString::fromStdString(e));
  box->setCurrentIndex(Selected);
  return box;
}

// A bitrate field that takes any number typed and brings it to the nearest
// end of its range when the number is entered: 5000 becomes the highest rate,
// 20 the lowest (a plain spin box refuses the keystroke that leaves the range,
// so 5000 would read 500).
class TClampSpinBox : public QSpinBox {
public:
  using QSpinBox::QSpinBox;

protected:
  QValidator::State validate(QString& Text, int&) const override {
    qint64 value = 0;
    if (!Digits(Text, value)) return Text.trimmed().isEmpty() ? QValidator::Intermediate : QValidator::Invalid;
    return value >= minimum() && value <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
  }
  void fixup(QString& Text) const override {
    qint64 value = 0;
    if (Digits(Text, value)) Text = QString::number(std::clamp<qint64>(value, minimum(), maximum()));
  }

private:
  // At most nine decimal digits (no sign, no separators).
  static bool Digits(const QString& Text, qint64& Value) {
    const QString t = Text.trimmed();
    if (t.isEmpty() || t.size() > 9) return false;
    for (const QChar c : t)
      if (c < '0' || c > '9') return false;
    Value = t.toLongLong();
    return true;
  }
};

QSpinBox* NewSpin(int Min, int Max, int Value, QWidget* Parent) {
  auto* spin = new TClampSpinBox(Parent);
  spin->setRange(Min, Max);
  spin->setSingleStep(1);
  spin->setValue(Value);
  return spin;
}

// A number typed or stored outside the field's range is brought into it; a
// text that is not a number leaves the default.
void SetSpinText(QSpinBox* Spin, const QString& Text, int Default) {
  bool ok = false;
  const int v = Text.trimmed().toInt(&ok);
  Spin->setValue(ok ? v : Default);
}

}  // namespace

TOutputSettings::TOutputSettings(QWidget* Parent) : QGroupBox("Output Settings", Parent) {
  CboProfiles = NewList(ProfileTexts(), kDefaultProfile, this);
  CboResolution = NewList(FrameSizeTexts(), 2, this);
  CboChannels = NewList(ChannelTexts(), 1, this);
  SpinVideo = NewSpin(kMinVideoKbps, kMaxVideoKbps, 512, this);
  SpinAudio = NewSpin(kMinAudioKbps, kMaxAudioKbps, 80, this);
  CboFrameRate = NewList(FrameRateTexts(), 11, this);
  CboAudioSampleRate = NewList(SampleRateTexts(), 4, this);
  // The long entries are cut short in a narrow window (their list still
  // shows them whole), so that the group fits a small screen.
  for (QComboBox* box : {CboProfiles, CboChannels}) {
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(box == CboProfiles ? 24 : 4);
  }

  auto* grid = new QGridLayout(this);
  // Each field is reached by Alt and its label's underlined letter; the
  // letters are the ones the window's buttons and boxes leave free.
  auto label = [this](const char* Text, QWidget* Field) {
    auto* l = new QLabel(Text, this);
    if (Field) l->setBuddy(Field);
    return l;
  };
  grid->addWidget(label("Pr&ofiles: ", CboProfiles), 0, 0);
  grid->addWidget(CboProfiles, 0, 1, 1, 5);
  grid->addWidget(label("Video Si&ze: ", CboResolution), 1, 0);
  grid->addWidget(CboResolution, 1, 1);
  grid->addWidget(label("Audio Cha&nnels: ", CboChannels), 1, 3);
  grid->addWidget(CboChannels, 1, 4);
  grid->addWidget(label("Video B&itrate: ", SpinVideo), 2, 0);
  grid->addWidget(SpinVideo, 2, 1);
  grid->addWidget(label("kbps", nullptr), 2, 2);
  grid->addWidget(label("Audio Bitrat&e: ", SpinAudio), 2, 3);
  grid->addWidget(SpinAudio, 2, 4);
  grid->addWidget(label("kbps", nullptr), 2, 5);
  grid->addWidget(label("Video Fra&me Rate: ", CboFrameRate), 3, 0);
  grid->addWidget(CboFrameRate, 3, 1);
  grid->addWidget(label("fps", nullptr), 3, 2);
  grid->addWidget(label("Audio Samp&le Rate: ", CboAudioSampleRate), 3, 3);
  grid->addWidget(CboAudioSampleRate, 3, 4);
  grid->addWidget(label("Hz", nullptr), 3, 5);
  LblPlayerLimit = new QLabel("Portable players of this kind play up to 640x480 at 30 frames per second.", this);
  // In the theme's own text colour, so that it reads on a dark theme too.
  QFont note = LblPlayerLimit->font();
  note.setItalic(true);
  LblPlayerLimit->setFont(note);
  // Hidden, its line takes no room; shown, it takes it from the list above
  // (the window grows only when the list is at its least height). It spans
  // the whole group, so that it fits a narrow window on one line.
  grid->addWidget(LblPlayerLimit, 4, 0, 1, 6);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(4, 1);
  grid->setColumnMinimumWidth(2, 30);
  grid->setHorizontalSpacing(4);
  grid->setContentsMargins(6, 6, 6, 6);

  // activated: only a choice made by the user, never a selection set here.
  connect(CboProfiles, &QComboBox::activated, this, [this](int Index) { CboProfilesSelect(Index); });
  connect(CboResolution, &QComboBox::currentIndexChanged, this, [this] { ShowPlayerLimit(); });
  connect(CboFrameRate, &QComboBox::currentIndexChanged, this, [this] { ShowPlayerLimit(); });
  ShowPlayerLimit();
}

bool TOutputSettings::BeyondPlayerLimits(const QString& Size, const QString& Rate) {
  const QStringList wh = Size.split('x');
  const bool large = wh.size() == 2 && (wh[0].toInt() > 640 || wh[1].toInt() > 480);
  // "Auto" keeps the input's rate, which is not known here.
  bool ok = false;
  const double fps = QLocale::c().toDouble(Rate, &ok);
  return large || (ok && fps > 30);
}

void TOutputSettings::ShowPlayerLimit() {
  LblPlayerLimit->setVisible(BeyondPlayerLimits(CboResolution->currentText(), CboFrameRate->currentText()));
}

void TOutputSettings::Load(const TStoredSettings& Settings) {
  CboProfiles->setCurrentIndex(Settings.Profile);
  CboResolution->setCurrentIndex(Settings.Resolution);
  CboChannels->setCurrentIndex(Settings.Channels);
  SetSpinText(SpinVideo, Settings.VideoQuality, 512);
  SetSpinText(SpinAudio, Settings.AudioQuality, 80);
  CboFrameRate->setCurrentIndex(Settings.VideoFrameRate);
  CboAudioSampleRate->setCurrentIndex(Settings.AudioSampleRate);
}

void TOutputSettings::Store(TStoredSettings& Settings) const {
  Settings.Profile = CboProfiles->currentIndex();
  Settings.Resolution = CboResolution->currentIndex();
  Settings.Channels = CboChannels->currentIndex();
  Settings.VideoQuality = QString::number(SpinVideo->value());
  Settings.AudioQuality = QString::number(SpinAudio->value());
  Settings.VideoFrameRate = CboFrameRate->currentIndex();
  Settings.AudioSampleRate = CboAudioSampleRate->currentIndex();
}

void TOutputSettings::Fill(TBatchSettings& Settings, bool TakeTyped) const {
  if (TakeTyped) {
    SpinVideo->interpretText();
    SpinAudio->interpretText();
  }
  Settings.VideoKbps = SpinVideo->value();
  Settings.AudioKbps = SpinAudio->value();
  Settings.ChannelsEntry = CboChannels->currentIndex();
  Settings.FrameSize = CboResolution->currentText().toStdString();
  Settings.FrameRate = CboFrameRate->currentText().toStdString();
  Settings.SampleRate = CboAudioSampleRate->currentText().toInt();
}

void TOutputSettings::CboProfilesSelect(int Index) {
  if (Index < 0 || static_cast<size_t>(Index) >= ProfileTexts().size()) return;
  const TProfileValues v = ProfileValuesOf(ProfileTexts()[static_cast<size_t>(Index)]);
  SpinVideo->setValue(v.VideoKbps);
  SpinAudio->setValue(v.AudioKbps);
  CboChannels->setCurrentIndex(v.ChannelsEntry);
}
