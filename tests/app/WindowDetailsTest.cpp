// The window's details a user relies on without thinking: typed values, file
// names, the filter lists, the output names shown, the progress texts.
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>
#include <QTest>

#include "OutputSettings.h"
#include "QueueList.h"
#include "SettingsFile.h"
#include "WindowTestSupport.h"

namespace {

TEST_F(WindowTest, TypedBitratesOutsideTheRangeGoToTheNearestLimit) {
  TForm1& f = MakeForm();
  QSpinBox* video = f.GBOutput->SpinVideo;
  QSpinBox* audio = f.GBOutput->SpinAudio;
  const struct {
    QSpinBox* Spin;
    const char* Typed;
    int Value;
  } cases[] = {{video, "5000", 1500}, {video, "1501", 1500}, {video, "600", 600},  {video, "50", 128},
               {video, "0", 128},     {video, "9x00", 900},  {audio, "200", 160},  {audio, "20", 32},
               {audio, "96", 96},     {audio, "1234567890123", 160}};
  for (const auto& c : cases) {
    c.Spin->selectAll();
    QTest::keyClicks(c.Spin, c.Typed);
    TBatchSettings s;
    f.GBOutput->Fill(s);  // what the set-up reads
    EXPECT_EQ(c.Spin == video ? s.VideoKbps : s.AudioKbps, c.Value) << c.Typed;
    EXPECT_EQ(c.Spin->text(), QString::number(c.Value)) << c.Typed;
  }
}

TEST_F(WindowTest, ATildeInTheStoredOutputPathIsTheHomeFolder) {
  const QString home = QDir::homePath();
  const std::pair<const char*, QString> cases[] = {{"~/Videos/out", home + "/Videos/out/"},
                                                   {"~", home + "/"},
                                                   {"~/", home + "/"},
                                                   {"/srv/~/x/", "/srv/~/x/"},
                                                   {"~x/y", "~x/y/"}};
  for (const auto& [stored, shown] : cases) {
    QSettings ini(SettingsPath(), QSettings::IniFormat);
    ini.setValue("Options/OutputPath", stored);
    ini.sync();
    EXPECT_EQ(TSettingsFile().Read().OutputPath, shown) << stored;
  }
  QSettings(SettingsPath(), QSettings::IniFormat).setValue("Options/OutputPath", "~/Videos");
  EXPECT_EQ(MakeForm().EdtOutputFolder->text(), home + "/Videos/");
}

}  // namespace
