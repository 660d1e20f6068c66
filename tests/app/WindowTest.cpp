// The window as its user meets it: settings between starts, the error
// handler, the queue list, profiles, About and Help, library loading.
#include <QAction>
#include <QCheckBox>
#include <QGridLayout>
#include <QApplication>
#include <QProgressDialog>
#include <QMessageBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QDropEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QToolButton>
#include <QKeySequence>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "AboutForm.h"
#include "ErrorHandler.h"
#include "FolderScan.h"
#include "FFmpeg.h"
#include "MediaLibraries.h"
#include "MyUtils.h"
#include "OutputSettings.h"
#include "QueueList.h"
#include "SettingsFile.h"
#include "WindowTestSupport.h"

namespace {

void WriteIni(const QString& Path, const std::vector<std::pair<const char*, const char*>>& Keys) {
  std::filesystem::create_directories(std::filesystem::path(Path.toStdString()).parent_path());
  std::string text = "[Options]\n";
  for (const auto& [k, v] : Keys) text += std::string(k) + "=" + v + "\n";
  WriteFile(Path.toStdString(), text);
}

// ---------------------------------------------------------------------------
// Settings

TEST_F(WindowTest, DefaultsWithNoSettingsFile) {
  TForm1& f = MakeForm();
  EXPECT_EQ(f.EdtOutputFolder->text(), QDir::homePath() + "/My iPod Files/");
  EXPECT_EQ(f.GBOutput->CboProfiles->currentIndex(), 3);
  EXPECT_EQ(f.GBOutput->CboResolution->currentText(), "320x240");
  EXPECT_EQ(f.GBOutput->CboChannels->currentIndex(), 1);
  EXPECT_EQ(f.GBOutput->SpinVideo->value(), 512);
  EXPECT_EQ(f.GBOutput->SpinAudio->value(), 80);
  EXPECT_EQ(f.GBOutput->CboFrameRate->currentText(), "30");
  EXPECT_EQ(f.GBOutput->CboAudioSampleRate->currentText(), "44100");
  EXPECT_TRUE(f.ChkOverwrite->isChecked());
  EXPECT_FALSE(f.ChkShutdown->isChecked());
  EXPECT_FALSE(f.ChkSkipConverted->isChecked());
  EXPECT_TRUE(f.ChkLowPriority->isChecked());
  EXPECT_FALSE(f.ChkKeepFolders->isChecked());
  EXPECT_TRUE(f.ChkEvenVolume->isChecked());
  EXPECT_TRUE(f.ChkBurnSubtitles->isChecked());
  EXPECT_EQ(f.CurrentSettings().KeyFrameSeconds, 10);
  EXPECT_TRUE(f.CurrentSettings().EvenVolume);
  EXPECT_TRUE(f.CurrentSettings().BurnSubtitles);
  EXPECT_FALSE(QFile::exists(SettingsPath())) << "reading creates nothing";
}

TEST_F(WindowTest, EveryKeyRoundTripsAndTheFolderIsCreated) {
  // No control shows the key-frame distance: what the file says is kept.
  WriteIni(SettingsPath(), {{"KeyFrameSeconds", "0"}});
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText("/srv/videos/");
  f.GBOutput->CboProfiles->setCurrentIndex(6);
  f.GBOutput->CboResolution->setCurrentIndex(5);
  f.GBOutput->CboChannels->setCurrentIndex(0);
  f.GBOutput->SpinVideo->setValue(777);
  f.GBOutput->SpinAudio->setValue(99);
  f.GBOutput->CboFrameRate->setCurrentIndex(9);
  f.GBOutput->CboAudioSampleRate->setCurrentIndex(0);
  f.ChkOverwrite->setChecked(false);
  f.ChkShutdown->setChecked(true);
  f.ChkSkipConverted->setChecked(true);
  f.ChkLowPriority->setChecked(false);
  f.ChkKeepFolders->setChecked(true);
  f.ChkEvenVolume->setChecked(false);
  f.ChkBurnSubtitles->setChecked(false);
  f.SpinParallel->setValue(MaxFilesAtTheSameTime());
  EXPECT_TRUE(f.close());
  ASSERT_TRUE(QFile::exists(SettingsPath()));

  QSettings ini(SettingsPath(), QSettings::IniFormat);
  ini.beginGroup("Options");
  const std::pair<const char*, QString> expected[] = {
      {"OutputPath", "/srv/videos/"}, {"Profile", "6"},       {"Resolution", "5"},      {"Channels", "0"},
      {"VideoQuality", "777"},        {"AudioQuality", "99"}, {"VideoFrameRate", "9"},  {"AudioSampleRate", "0"},
      {"Overwrite", "False"},         {"ShutdownAfterCompleted", "True"},
      {"FilesAtTheSameTime", QString::number(MaxFilesAtTheSameTime())}, {"KeyFrameSeconds", "0"},
      {"SkipConverted", "True"},      {"LowPriority", "False"},          {"KeepFolders", "True"},
      {"EvenVolume", "False"},        {"BurnSubtitles", "False"}};
  EXPECT_EQ(ini.childKeys().size(), 17);
  for (const auto& [key, value] : expected) EXPECT_EQ(ini.value(key).toString(), value) << key;

  TForm1& g = MakeForm();
  EXPECT_EQ(g.EdtOutputFolder->text(), "/srv/videos/");
  EXPECT_EQ(g.GBOutput->CboProfiles->currentIndex(), 6);
  EXPECT_EQ(g.GBOutput->CboResolution->currentIndex(), 5);
  EXPECT_EQ(g.GBOutput->CboChannels->currentIndex(), 0);
  EXPECT_EQ(g.GBOutput->SpinVideo->value(), 777) << "the profile chosen at start does not set the bitrates";
  EXPECT_EQ(g.GBOutput->SpinAudio->value(), 99);
  EXPECT_EQ(g.GBOutput->CboFrameRate->currentText(), "29.97");
  EXPECT_EQ(g.GBOutput->CboAudioSampleRate->currentText(), "8000");
  EXPECT_FALSE(g.ChkOverwrite->isChecked());
  EXPECT_TRUE(g.ChkShutdown->isChecked());
  EXPECT_TRUE(g.ChkSkipConverted->isChecked());
  EXPECT_FALSE(g.ChkLowPriority->isChecked());
  EXPECT_TRUE(g.ChkKeepFolders->isChecked());
  EXPECT_FALSE(g.ChkEvenVolume->isChecked());
  EXPECT_FALSE(g.ChkBurnSubtitles->isChecked());
  EXPECT_EQ(g.SpinParallel->value(), MaxFilesAtTheSameTime());
  EXPECT_EQ(g.CurrentSettings().KeyFrameSeconds, 0) << "what the conversions get";
  EXPECT_FALSE(g.CurrentSettings().EvenVolume);
  EXPECT_FALSE(g.CurrentSettings().BurnSubtitles);
}

TEST_F(WindowTest, TheSoundAndSubtitleBoxesTakeAThirdColumnWhereTheScreenHasRoomElseARowOfTheirOwn) {
  TForm1& f = MakeForm();
  auto* grid = static_cast<QGridLayout*>(f.GBOther->layout());
  auto cell = [grid](QWidget* W) {
    int row = -1, column = -1, rows = 0, columns = 0;
    grid->getItemPosition(grid->indexOf(W), &row, &column, &rows, &columns);
    return std::pair{row, column};
  };
  using TCell = std::pair<int, int>;
  // The screen's free width: a wide one, then one that holds only two
  // columns (a scaled small screen), then the wide one again.
  const int wide = 1000, narrow = f.ChkShutdown->sizeHint().width() + f.ChkSkipConverted->sizeHint().width() + 80;
  for (const int room : {wide, narrow, wide}) {
    SCOPED_TRACE(room);
    f.ArrangeOtherSettings(room);
    grid->activate();
    const bool third = room == wide;
    EXPECT_EQ(cell(f.ChkEvenVolume), third ? TCell(0, 2) : TCell(3, 0));
    EXPECT_EQ(cell(f.ChkBurnSubtitles), third ? TCell(1, 2) : TCell(3, 1));
    // The group, inside the page's margins, fits the room.
    EXPECT_LE(f.GBOther->minimumSizeHint().width() + 12, room);
  }
}

TEST_F(WindowTest, CountKeysReadInsideTheirRanges) {
  // Files at the same time: brought into 1..cores. Key-frame seconds: the
  // default 10 unless a number in 0..600.
  const int cores = MaxFilesAtTheSameTime();
  const struct {
    const char* Text;
    int Files, KeyFrameSeconds;
  } cases[] = {{"", 1, 10},       {"many", 1, 10},  {"0", 1, 0},         {"-3", 1, 10},
               {" 1 ", 1, 1},     {"600", cores, 600}, {"601", cores, 10}, {"999", cores, 10}};
  int n = 0;
  for (const auto& c : cases) {
    // A file of its own each: QSettings may keep a file it read moments ago.
    const QString path = QString::fromStdString(Config.Path()) + "/case" + QString::number(++n) + ".ini";
    WriteIni(path, {{"FilesAtTheSameTime", c.Text}, {"KeyFrameSeconds", c.Text}});
    const TStoredSettings s = TSettingsFile(path).Read();
    EXPECT_EQ(s.FilesAtTheSameTime, c.Files) << '"' << c.Text << '"';
    EXPECT_EQ(s.KeyFrameSeconds, c.KeyFrameSeconds) << '"' << c.Text << '"';
  }
  EXPECT_EQ(MakeForm().SpinParallel->maximum(), cores);
}

TEST_F(WindowTest, OddStoredValuesReadAsTheUserExpects) {
  WriteIni(SettingsPath(), {{"OutputPath", "/data/out"},
                            {"Profile", "abc"},
                            {"Resolution", "99"},
                            {"Channels", "-1"},
                            {"VideoQuality", "5000"},
                            {"AudioQuality", "loud"},
                            {"VideoFrameRate", "12"},
                            {"AudioSampleRate", "13"},
                            {"Overwrite", "true"},
                            {"ShutdownAfterCompleted", "TRUE"}});
  TForm1& f = MakeForm();
  EXPECT_EQ(f.EdtOutputFolder->text(), "/data/out/") << "a final slash is added";
  EXPECT_EQ(f.GBOutput->CboProfiles->currentIndex(), 3) << "not a number: the default";
  EXPECT_EQ(f.GBOutput->CboResolution->currentIndex(), 2) << "outside the list: the default";
  EXPECT_EQ(f.GBOutput->CboChannels->currentIndex(), 1);
  EXPECT_EQ(f.GBOutput->SpinVideo->value(), 1500) << "brought into the field's range";
  EXPECT_EQ(f.GBOutput->SpinAudio->value(), 80);
  EXPECT_EQ(f.GBOutput->CboFrameRate->currentIndex(), 10);
  EXPECT_EQ(f.GBOutput->CboAudioSampleRate->currentText(), "44100") << "the stored default 13 is no entry";
  EXPECT_FALSE(f.ChkOverwrite->isChecked()) << "only \"True\" checks the box";
  EXPECT_FALSE(f.ChkShutdown->isChecked());
  // A file from before the sound and subtitle boxes: both on.
  EXPECT_TRUE(f.ChkEvenVolume->isChecked());
  EXPECT_TRUE(f.ChkBurnSubtitles->isChecked());
}

TEST_F(WindowTest, AnUnwritableSettingsFolderStillCloses) {
  // The configuration folder's "Vidlomat" is a file: no folder can be made
  // there (also for root, who ignores permissions).
  WriteFile(Config / "Vidlomat", "in the way");
  TForm1& f = MakeForm();
  testing::internal::CaptureStderr();
  EXPECT_TRUE(f.close());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("settings not saved"), std::string::npos) << err;
  EXPECT_FALSE(f.isVisible());
}

// ---------------------------------------------------------------------------
// The error handler

TEST(ErrorHandlerTest, MessageGainsAFullStopAfterALetterOrDigit) {
  const std::pair<QString, QString> cases[] = {
      {"Cannot open", "Cannot open."}, {"error 42", "error 42."}, {"Done.", "Done."},
      {"(reason)", "(reason)"},        {"", ""},                  {"Ending in a blank ", "Ending in a blank "}};
  for (const auto& [in, out] : cases) EXPECT_EQ(ErrorMessageText(in), out) << in.toStdString();
}

// An object whose event handler throws the given exception.
class TThrower : public QObject {
public:
  explicit TThrower(std::function<void()> Throw) : FThrow(std::move(Throw)) {}
  bool event(QEvent*) override {
    FThrow();
    return true;
  }

private:
  std::function<void()> FThrow;
};

TEST(ErrorHandlerTest, EscapedExceptionsAreShownWithTheirIcon) {
  auto* app = dynamic_cast<TApplication*>(QCoreApplication::instance());
  ASSERT_NE(app, nullptr);
  TRecorderDialogs dialogs;
  app->SetDialogs(&dialogs);
  TThrower engine([] { throw FFMpegException("Could not open codec"); });
  TThrower other([] { throw std::runtime_error("stoi: no conversion"); });
  QEvent e(QEvent::User);
  QCoreApplication::sendEvent(&engine, &e);
  QCoreApplication::sendEvent(&other, &e);
  app->SetDialogs(nullptr);
  ASSERT_EQ(dialogs.Messages.size(), 2u);
  EXPECT_EQ(dialogs.Messages[0].Title, "Vidlomat");
  EXPECT_EQ(dialogs.Messages[0].Text, "Could not open codec.");
  EXPECT_EQ(dialogs.Messages[0].Icon, TMessageIcon::Warning);
  EXPECT_EQ(dialogs.Messages[1].Text, "stoi: no conversion.");
  EXPECT_EQ(dialogs.Messages[1].Icon, TMessageIcon::Error);
}

// ---------------------------------------------------------------------------
// Adding files

TEST_F(WindowTest, AddShowsEachFilesRowAndDropsTheTasks) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/");
  const std::string avi = Clip("avi_xvid", "Holiday Trip.avi", 2.5);
  const std::string mpg = Clip("mpeg1_ps", "party.mpg", 2.5);
  Add(Q({avi, mpg}));
  EXPECT_EQ(Dialogs.FileTitle, "Choose Files to Convert");
  EXPECT_EQ(Dialogs.FileFilter, kAddDialogFilter);
  EXPECT_TRUE(Dialogs.Messages.empty());
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  const std::vector<std::vector<QString>> rows = {
      {"Holiday Trip", "00:00:02", "AVI", "Holiday Trip", "", QString::fromStdString(avi)},
      {"party", "00:00:02", "MPG", "party", "", QString::fromStdString(mpg)}};
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < TQueueList::ColumnCount; ++c)
      EXPECT_EQ(f.Lvw->Cell(r, TQueueList::TColumn(c)), rows[r][c]) << r << "," << c;
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);
}

TEST_F(WindowTest, AddingManyFilesShowsProgressAndCancelKeepsTheRowsAddedSoFar) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/out/");
  const std::string clip = Clip("avi_xvid", "clip.avi", 0.5);
  QStringList files;
  for (int i = 0; i < 500; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file%03d.avi", i);
    std::filesystem::create_symlink(clip, Dir / name);
    files << QString::fromStdString(Dir / name);
  }
  // The window's events run while it works: a timer fires, and the rows
  // appear as they are added.
  bool timerRanWhileBusy = false;
  QTimer::singleShot(0, [&] { timerRanWhileBusy = f.Busy(); });
  int rowsAt20 = -1;
  // Every control that edits the list or starts something rests while files
  // are added, Convert and the log included (Cancel ends the work).
  const std::vector<QWidget*> resting = {f.BtnAdd,   f.BtnRemove, f.BtnClear, f.BtnMoveUp, f.BtnMoveDown,
                                         f.BtnStart, f.BtnLog,    f.BtnAbout, f.BtnHelp,   f.GBOutput,
                                         f.GBOther,  f.BtnChangeOutputFolder};
  std::vector<QWidget*> enabledAt20;
  Dialogs.OnProgressValue = [&](int Value) {
    if (Value != 20) return;
    rowsAt20 = f.Lvw->RowCount();
    for (QWidget* w : resting)
      if (w->isEnabled()) enabledAt20.push_back(w);
  };
  Dialogs.CancelProgressAt = 40;
  Add(files);
  ASSERT_EQ(Dialogs.Progresses.size(), 1u);
  const auto& p = Dialogs.Progresses[0];
  EXPECT_EQ(p.Title, "Vidlomat");
  EXPECT_EQ(p.Label, "Adding files to the list...");
  EXPECT_EQ(p.Maximum, 500);
  EXPECT_TRUE(p.Cancelled);
  EXPECT_FALSE(p.Open);
  EXPECT_EQ(p.Values.back(), 40);
  EXPECT_TRUE(timerRanWhileBusy);
  EXPECT_EQ(rowsAt20, 20);
  EXPECT_EQ(enabledAt20, std::vector<QWidget*>{});
  for (QWidget* w : resting) EXPECT_TRUE(w->isEnabled()) << w->metaObject()->className() << " after the Add";
  ASSERT_EQ(f.Lvw->RowCount(), 40);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColInput), "file000");
  EXPECT_EQ(f.Lvw->Cell(39, TQueueList::ColInput), "file039");
  EXPECT_FALSE(f.Busy());
  EXPECT_TRUE(f.BtnAdd->isEnabled());
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);

  // The set-up of the batch at Convert works the same way: cancelled, nothing
  // runs. Meanwhile Stop and the log can be used.
  Dialogs.CancelProgressAt = 5;
  bool stopAndLogAt3 = false;
  Dialogs.OnProgressValue = [&](int Value) {
    if (Value == 3) stopAndLogAt3 = f.BtnStart->isEnabled() && f.BtnStart->text() == "&Stop" && f.BtnLog->isEnabled();
  };
  f.BtnStartClick();
  EXPECT_TRUE(stopAndLogAt3);
  ASSERT_EQ(Dialogs.Progresses.size(), 2u);
  EXPECT_EQ(Dialogs.Progresses[1].Label, "Checking the files to convert...");
  EXPECT_EQ(Dialogs.Progresses[1].Maximum, 40);
  EXPECT_EQ(Dialogs.Progresses[1].Values.back(), 5);
  EXPECT_EQ(f.Run().State(), TBatchRun::Idle);
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);
  EXPECT_EQ(f.BtnStart->text(), "Con&vert");
  EXPECT_TRUE(FolderEntries(Dir / "out").empty());
  ASSERT_FALSE(Dialogs.Messages.empty());
  EXPECT_EQ(Dialogs.Messages.back().Text, kNotStarted) << "the Cancel is not silent";
  EXPECT_EQ(Dialogs.Messages.size(), 1u);
}

TEST_F(WindowTest, RefusedFilesShowTheirMessageAndTheOthersAreAdded) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "new/out") + "/");
  const std::string bad = Dir / "notes.avi";
  WriteFile(bad, "not a video at all");
  const std::string good = Clip("avi_xvid", "good.avi");
  Add(Q({bad, good}));
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Title, "Error");
  EXPECT_EQ(Dialogs.Messages[0].Text, QString::fromStdString("Convertion of file \"" + bad + "\" is not supported."));
  EXPECT_EQ(Dialogs.Messages[0].Icon, TMessageIcon::Error);
  ASSERT_EQ(f.Lvw->RowCount(), 1);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColInput), "good");
  EXPECT_FALSE(std::filesystem::exists(Dir / "new")) << "a missing output folder is made at Convert, not at Add";

  // A file that is gone, and a folder in place of a file, say what happened.
  Dialogs.Messages.clear();
  std::filesystem::create_directories(Dir / "folder.avi");
  Add(Q({Dir / "gone.avi", Dir / "folder.avi"}));
  ASSERT_EQ(Dialogs.Messages.size(), 2u);
  EXPECT_EQ(Dialogs.Messages[0].Text, QString::fromStdString("Cannot convert \"" + Dir / "gone.avi" + "\": not found."));
  EXPECT_EQ(Dialogs.Messages[1].Text,
            QString::fromStdString("Cannot convert \"" + Dir / "folder.avi" + "\": is a folder."));
  EXPECT_EQ(f.Lvw->RowCount(), 1);
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);
}

TEST_F(WindowTest, AnUnusableOutputFolderIsToldOnceAndTheFilesAreKept) {
  TForm1& f = MakeForm();
  WriteFile(Dir / "blocker", "a file where the output folder should be");
  const std::string folder = Dir / "blocker/out/";
  f.EdtOutputFolder->setText(QString::fromStdString(folder));
  const std::string clip = Clip("avi_xvid", "clip.avi", 0.5);
  QStringList files;
  for (int i = 0; i < 30; ++i) {
    const std::string name = Dir / ("v" + std::to_string(100 + i) + ".avi");
    std::filesystem::create_symlink(clip, name);
    files << QString::fromStdString(name);
  }
  Add(files);
  const QString text = QString::fromStdString(OutputFolderText(folder, Dir / "blocker is not a folder"));
  EXPECT_TRUE(text.contains("kept")) << text.toStdString();
  ASSERT_EQ(Dialogs.Messages.size(), 1u) << "one message for the folder, none per file";
  EXPECT_EQ(Dialogs.Messages[0].Title, "Warning");
  EXPECT_EQ(Dialogs.Messages[0].Text, text);
  EXPECT_EQ(Dialogs.Messages[0].Icon, TMessageIcon::Warning);
  ASSERT_EQ(f.Lvw->RowCount(), 30);
  EXPECT_EQ(f.Lvw->Cell(29, TQueueList::ColOutput), "v129");
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);

  // Convert checks again and does not start while the folder is unusable.
  f.BtnStartClick();
  ASSERT_EQ(Dialogs.Messages.size(), 2u);
  EXPECT_EQ(Dialogs.Messages[1].Text, text);
  EXPECT_EQ(Dialogs.Messages[1].Icon, TMessageIcon::Error);
  EXPECT_EQ(f.Run().State(), TBatchRun::Idle);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColStatus), "");
  EXPECT_TRUE(f.BtnAdd->isEnabled());
  EXPECT_EQ(Dialogs.Progresses.size(), 1u) << "no set-up of a batch";

  // Closing the window while Add works ends the Add and then closes it
  // (30 more names: the files listed are not added again).
  QStringList more;
  for (int i = 0; i < 30; ++i) {
    const std::string name = Dir / ("w" + std::to_string(100 + i) + ".avi");
    std::filesystem::create_symlink(clip, name);
    more << QString::fromStdString(name);
  }
  int rowsAtClose = -1;
  Dialogs.OnProgressValue = [&](int Value) {
    if (Value != 5) return;
    rowsAtClose = f.Lvw->RowCount();
    f.close();
  };
  Add(more);
  EXPECT_EQ(rowsAtClose, 35);
  EXPECT_EQ(f.Lvw->RowCount(), 35) << "the Add ended at the close";
  EXPECT_EQ(Dialogs.Messages.size(), 2u) << "no message on the way out";
  EXPECT_TRUE(PumpUntil([&] { return QFileInfo::exists(SettingsPath()); }, std::chrono::seconds(5)))
      << "the window closed (and wrote its settings)";
}

TEST_F(WindowTest, ClosingWhileTheFolderMessageIsOpenClosesTheWindow) {
  TForm1& f = MakeForm();
  WriteFile(Dir / "blocker", "a file");
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "blocker/out/"));
  // Nobody answers the box; the window's close button is pressed meanwhile.
  Dialogs.MessageOpen = std::chrono::seconds(60);
  Dialogs.OnMessage = [&](const QString&) { QTimer::singleShot(20, [&] { f.close(); }); };
  const auto start = std::chrono::steady_clock::now();
  Add(Q({Clip("avi_xvid", "a.avi", 0.5), Clip("avi_xvid", "b.avi", 0.5)}));
  EXPECT_EQ(f.Lvw->RowCount(), 2);
  EXPECT_TRUE(QFileInfo::exists(SettingsPath())) << "the close went through while the box was open";
  ASSERT_FALSE(Dialogs.Order->empty());
  EXPECT_EQ(Dialogs.Order->back().rfind("closed: ", 0), 0u) << "the box went with the window";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(WindowTest, StopWhileTheBatchIsSetUpSaysItDidNotStartAndARefusalOpensNoBox) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "out") + "/");
  const std::string gone = Clip("avi_xvid", "gone.avi");
  Add(Q({Clip("avi_xvid", "a.avi"), gone, Clip("mpeg1_ps", "c.mpg")}));
  ASSERT_EQ(f.Lvw->RowCount(), 3);
  std::filesystem::remove(gone);
  // The refused file is the second: once it is checked the user presses
  // Stop, which the window still takes.
  bool stopPressed = false;
  Dialogs.OnProgressValue = [&](int Value) {
    if (Value != 2 || stopPressed) return;
    stopPressed = f.BtnStart->isEnabled();
    f.BtnStart->click();
  };
  f.BtnStartClick();
  EXPECT_TRUE(stopPressed);
  EXPECT_EQ(f.Run().State(), TBatchRun::Idle);
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);
  ASSERT_EQ(Dialogs.Messages.size(), 1u) << "the refusal opened a box";
  EXPECT_EQ(Dialogs.Messages[0].Text, kNotStarted);
  EXPECT_TRUE(FolderEntries(Dir / "out").empty()) << "nothing was converted";
  EXPECT_TRUE(f.BtnAdd->isEnabled());
}

TEST(QtDialogsTest, AMessageDuringWorkIsInFrontOfTheProgressAndTakesEnter) {
  TQtDialogs dialogs;
  QWidget window;
  window.show();
  std::unique_ptr<IProgress> progress = dialogs.Progress(&window, "Vidlomat", "Adding files to the list...", 4);
  auto* progressDialog = window.findChild<QProgressDialog*>();
  ASSERT_NE(progressDialog, nullptr);
  progressDialog->show();
  // The box is a child of the progress dialog, so it is stacked in front of
  // it (a window manager keeps it above) and not blocked by it; Enter answers
  // it and leaves the work going on.
  QWidget* boxParent = nullptr;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    boxParent = box->parentWidget();
    QTest::keyClick(box, Qt::Key_Return);
  });
  dialogs.Message(&window, "Error", "Convertion of file \"x\" is not supported.", TMessageIcon::Error);
  EXPECT_EQ(boxParent, progressDialog);
  EXPECT_FALSE(progress->Cancelled());
  progress.reset();
  // Without work going on the box belongs to the window; the window can close it.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    boxParent = box->parentWidget();
    dialogs.CloseMessages();
  });
  dialogs.Message(&window, "Vidlomat", "A failure", TMessageIcon::Warning);
  EXPECT_EQ(boxParent, &window);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(WindowTest, TheSameFileTwiceIsListedOnceAndFilesOfOneNameGetBatchNames) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/");
  const std::string clip = Clip("avi_xvid", "clip.avi");
  std::filesystem::create_directories(Dir / "a");
  std::filesystem::create_directories(Dir / "b");
  std::filesystem::copy_file(clip, Dir / "a/clip.avi");
  std::filesystem::copy_file(clip, Dir / "b/clip.avi");
  Add(Q({clip, clip}));
  Add(Q({clip, Dir / "a/clip.avi"}));
  Add(Q({Dir / "b/clip.avi"}));
  ASSERT_EQ(f.Lvw->RowCount(), 3);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColOutput), "clip");
  EXPECT_EQ(f.Lvw->Cell(1, TQueueList::ColOutput), "clip(1)");
  EXPECT_EQ(f.Lvw->Cell(2, TQueueList::ColOutput), "clip(2)");
  // The two left out are named in the Log; files added on their own have no box.
  EXPECT_EQ(f.MemLog->toPlainText().count(QString::fromStdString(clip + ": already in the list")), 2);
  EXPECT_TRUE(Dialogs.Messages.empty());
}

TEST_F(WindowTest, TheSubtitleBoxDecidesWhetherTheFileBesideAVideoIsBurnedIn) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/");
  const std::string clip = Clip("avi_xvid", "film.avi");
  std::ofstream(Dir / "film.srt") << "1\n00:00:00,000 --> 00:00:01,000\nHello\n";
  const std::string plain = Clip("avi_xvid", "plain.avi");
  // Rows added with the box on and off; the Type column of every row follows
  // the box as it changes, and the kept list keeps what the file has.
  // A second film with its subtitles beside it (one file is listed once).
  std::filesystem::create_directories(Dir / "second");
  std::filesystem::copy_file(clip, Dir / "second/film.avi");
  std::filesystem::copy_file(Dir / "film.srt", Dir / "second/film.srt");
  Add(Q({clip, plain}));
  f.ChkBurnSubtitles->setChecked(false);
  Add(Q({Dir / "second/film.avi"}));
  ASSERT_EQ(f.Lvw->RowCount(), 3);
  for (const bool on : {false, true, false}) {
    SCOPED_TRACE(on ? "burning on" : "burning off");
    f.ChkBurnSubtitles->setChecked(on);
    EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColType), on ? "AVI + subtitles" : "AVI");
    EXPECT_EQ(f.Lvw->Cell(1, TQueueList::ColType), "AVI");
    EXPECT_EQ(f.Lvw->Cell(2, TQueueList::ColType), on ? "AVI + subtitles" : "AVI");
    EXPECT_EQ(f.Lvw->TypeToKeep(2), "AVI + subtitles");
  }
}

// The texts and checks of a row's "Audio track" entries.
std::vector<std::pair<QString, bool>> TrackEntries(QMenu* Tracks) {
  std::vector<std::pair<QString, bool>> entries;
  if (Tracks)
    for (QAction* a : Tracks->actions()) entries.emplace_back(a->text(), a->isChecked());
  return entries;
}

TEST_F(WindowTest, TheAudioTrackMenuPicksATrackForTheRunAndTheTypeShowsIt) {
  const std::string film = TwoLanguageFilm("film.mkv");
  const std::string avi = Clip("avi_xvid", "home.avi");
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/");
  {
    TEnvironmentScope english({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "en_GB.UTF-8"}});
    Add(Q({film, avi}));
  }
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColType), "MKV \xC2\xB7 en stereo");
  EXPECT_GT(f.Lvw->columnWidth(TQueueList::ColType), f.Lvw->fontMetrics().horizontalAdvance("MKV \xC2\xB7 en stereo"))
      << "the Type column widens for the track";
  using TEntries = std::vector<std::pair<QString, bool>>;
  {
    const std::unique_ptr<QMenu> menu = f.RowMenu(0);
    QMenu* tracks = AudioTrackMenu(*menu);
    ASSERT_NE(tracks, nullptr);
    EXPECT_TRUE(tracks->isEnabled());
    EXPECT_EQ(TrackEntries(tracks), (TEntries{{"Track &1: en stereo", true}, {"Track &2: de 5.1", false}}));
    tracks->actions()[1]->trigger();
  }
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColType), "MKV \xC2\xB7 de 5.1");
  {
    const std::unique_ptr<QMenu> menu = f.RowMenu(0);
    EXPECT_EQ(TrackEntries(AudioTrackMenu(*menu)), (TEntries{{"Track &1: en stereo", false}, {"Track &2: de 5.1", true}}));
  }
  // The choice travels with its row.
  f.Lvw->SelectRow(0);
  f.BtnMoveDownClick();
  EXPECT_EQ(f.Lvw->Cell(1, TQueueList::ColType), "MKV \xC2\xB7 de 5.1");
  EXPECT_EQ(f.Lvw->Audio(1).Picked, 1);
  {
    // A file with one track: shown, nothing to choose.
    const std::unique_ptr<QMenu> menu = f.RowMenu(0);
    QMenu* tracks = AudioTrackMenu(*menu);
    ASSERT_NE(tracks, nullptr);
    EXPECT_FALSE(tracks->isEnabled());
    EXPECT_EQ(TrackEntries(tracks).size(), 1u);
  }
  // The choice is for this run: the kept list has the file's own track, and
  // a row of the kept list reads its tracks when its menu opens.
  EXPECT_TRUE(f.close());
  TEnvironmentScope english({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "en_GB.UTF-8"}});
  TForm1& g = MakeForm();
  ASSERT_EQ(g.Lvw->RowCount(), 2);
  EXPECT_EQ(g.Lvw->Cell(1, TQueueList::ColType), "MKV \xC2\xB7 en stereo");
  EXPECT_FALSE(g.Lvw->Audio(1).Known);
  const std::unique_ptr<QMenu> menu = g.RowMenu(1);
  EXPECT_EQ(TrackEntries(AudioTrackMenu(*menu)), (TEntries{{"Track &1: en stereo", true}, {"Track &2: de 5.1", false}}));
  AudioTrackMenu(*menu)->actions()[1]->trigger();
  EXPECT_EQ(g.Lvw->Cell(1, TQueueList::ColType), "MKV \xC2\xB7 de 5.1");
}

TEST_F(WindowTest, AddingNeverTouchesAnExistingOutput) {
  TForm1& f = MakeForm();
  ASSERT_TRUE(f.ChkOverwrite->isChecked());
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/");
  WriteFile(Dir / "clip.mp4", "an earlier conversion");
  Add(Q({Clip("avi_xvid", "clip.avi")}));
  f.BtnClearClick();
  EXPECT_EQ(FileSizeOf(Dir / "clip.mp4"), 21);
}

// ---------------------------------------------------------------------------
// Remove, Clear, Move Up/Down, the folder chooser

class ListEditTest : public WindowTest {
protected:
  void SetUp() override {
    WindowTest::SetUp();
    MakeForm(false, false);
  }
  void Rows(std::initializer_list<const char*> Names) {
    for (const char* n : Names) {
      TFileSetup s;
      s.Base = s.OutputName = n;
      s.FileName = std::string("/v/") + n + ".avi";
      Form->Lvw->AppendRow(s);
    }
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> v;
    for (int r = 0; r < Form->Lvw->RowCount(); ++r) v.push_back(Form->Lvw->Cell(r, TQueueList::ColInput).toStdString());
    return v;
  }
  using V = std::vector<std::string>;
};

TEST_F(ListEditTest, MoveUpAndDownWithTheirEdges) {
  Rows({"a", "b", "c"});
  Form->BtnMoveUpClick();  // no selection
  Form->BtnMoveDownClick();
  EXPECT_EQ(Names(), (V{"a", "b", "c"}));
  Form->Lvw->SelectRow(0);
  Form->BtnMoveUpClick();
  EXPECT_EQ(Names(), (V{"a", "b", "c"}));
  Form->Lvw->SelectRow(2);
  Form->BtnMoveDownClick();
  EXPECT_EQ(Names(), (V{"a", "b", "c"}));
  Form->Lvw->SelectRow(1);
  Form->BtnMoveDownClick();
  EXPECT_EQ(Names(), (V{"a", "c", "b"}));
  EXPECT_EQ(Form->Lvw->SelectedRow(), 2) << "the moved row stays selected";
  Form->BtnMoveUpClick();
  Form->BtnMoveUpClick();
  EXPECT_EQ(Names(), (V{"b", "a", "c"}));
  EXPECT_EQ(Form->Lvw->SelectedRow(), 0);
  EXPECT_EQ(Form->Lvw->Path(0), "/v/b.avi") << "every column moves with the row";
  EXPECT_EQ(Form->Lvw->selectedItems().size(), 1);
}

TEST_F(ListEditTest, MoveTakesTheWholeSelectionAlongAndKeepsItSelected) {
  Rows({"a", "b", "c", "d", "e", "f"});
  auto joined = [&](bool OnlySelected) {
    std::string s;
    for (int r = 0; r < Form->Lvw->RowCount(); ++r)
      if (!OnlySelected || Form->Lvw->topLevelItem(r)->isSelected())
        s += Form->Lvw->Cell(r, TQueueList::ColInput).toStdString();
    return s;
  };
  // Select (when given) the named rows, move, and see the list and the selection.
  const struct {
    const char* Select;
    bool Up;
    const char* Names;
  } steps[] = {{"bde", false, "acbfde"}, {nullptr, false, "acfbde"}, {nullptr, false, "acfbde"},  // at the bottom
               {nullptr, true, "acbdef"},  {nullptr, true, "abdecf"},  {nullptr, true, "bdeacf"},
               {nullptr, true, "bdeacf"},  // at the top
               {"bc", true, "bdecaf"},     // b at the top stays, c moves
               {"ea", true, "bedacf"},     {"f", true, "bedafc"},     {"bf", false, "ebdacf"}};
  std::string selection;
  for (const auto& step : steps) {
    if (step.Select) {
      selection = step.Select;
      Form->Lvw->clearSelection();
      for (int r = 0; r < Form->Lvw->RowCount(); ++r)
        if (selection.find(Form->Lvw->Cell(r, TQueueList::ColInput).toStdString()) != std::string::npos)
          Form->Lvw->topLevelItem(r)->setSelected(true);
    }
    step.Up ? Form->BtnMoveUpClick() : Form->BtnMoveDownClick();
    EXPECT_EQ(joined(false), step.Names) << &step - steps;
    std::string expected;
    for (char c : joined(false))
      if (selection.find(c) != std::string::npos) expected += c;
    EXPECT_EQ(joined(true), expected) << &step - steps;
  }
}

TEST_F(ListEditTest, RemoveAndClear) {
  Form->BtnRemoveClick();
  Form->BtnClearClick();
  EXPECT_EQ(Form->Lvw->RowCount(), 0);
  Rows({"a", "b", "c", "d"});
  Form->BtnRemoveClick();  // nothing selected
  EXPECT_EQ(Names(), (V{"a", "b", "c", "d"}));
  Form->Lvw->SelectRow(1);
  Form->BtnRemoveClick();
  EXPECT_EQ(Names(), (V{"a", "c", "d"}));
  Form->Lvw->topLevelItem(0)->setSelected(true);
  Form->Lvw->topLevelItem(2)->setSelected(true);
  Form->BtnRemoveClick();
  EXPECT_EQ(Names(), (V{"c"}));
  Form->BtnClearClick();
  EXPECT_EQ(Form->Lvw->RowCount(), 0);
}

TEST_F(ListEditTest, OutputNamesFollowEveryChangeOfTheList) {
  // Three inputs named clip: the names go to the rows in list order, as
  // Convert gives them, after each Remove, Move and Add.
  Form->EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/");
  for (const char* name : {"a/clip.avi", "b/clip.flv", "c/clip.mov"}) {
    TFileSetup s;
    s.Base = "clip";
    s.FileName = Dir / name;
    s.OutputName = "clip";
    Form->Lvw->AppendRow(s);
  }
  auto outputs = [&] {
    std::vector<std::string> v;
    for (int r = 0; r < Form->Lvw->RowCount(); ++r)
      v.push_back(BaseNameOf(Form->Lvw->Path(r)) + TypeOf(Form->Lvw->Path(r)) + " " + Form->Lvw->OutputName(r));
    return v;
  };
  Form->ChkOverwrite->setChecked(false);
  EXPECT_EQ(outputs(), (V{"clipAVI clip", "clipFLV clip(1)", "clipMOV clip(2)"}));
  Form->Lvw->SelectRow(1);
  Form->BtnRemoveClick();
  EXPECT_EQ(outputs(), (V{"clipAVI clip", "clipMOV clip(1)"}));
  Form->Lvw->SelectRow(1);
  Form->BtnMoveUpClick();
  EXPECT_EQ(outputs(), (V{"clipMOV clip", "clipAVI clip(1)"}));
  Form->BtnMoveDownClick();
  EXPECT_EQ(outputs(), (V{"clipAVI clip", "clipMOV clip(1)"}));
  // A file added in front of nothing: the new row is named after the rows
  // above it, and an output made meanwhile is not written over.
  WriteFile(Dir / "clip.mp4", "made since");
  Add(Q({Clip("avi_xvid", "clip.avi")}));
  EXPECT_EQ(outputs(), (V{"clipAVI clip(1)", "clipMOV clip(2)", "clipAVI clip(3)"}));
}

TEST_F(ListEditTest, FolderChooser) {
  Form->EdtOutputFolder->setText("/old/");
  Form->BtnChangeOutputFolderClick();  // cancelled
  EXPECT_EQ(Dialogs.FolderTitle, "Please select output folder");
  EXPECT_EQ(Form->EdtOutputFolder->text(), "/old/");
  const std::pair<QString, QString> cases[] = {{"/media/player", "/media/player/"}, {"/media/x/", "/media/x/"},
                                               {"/", "/"}};
  for (const auto& [chosen, shown] : cases) {
    Dialogs.FolderAnswers.push_back(chosen);
    Form->BtnChangeOutputFolderClick();
    EXPECT_EQ(Form->EdtOutputFolder->text(), shown);
  }
}

// ---------------------------------------------------------------------------
// Profiles

TEST_F(WindowTest, ChoosingAProfileSetsBitratesAndChannelsOnly) {
  TForm1& f = MakeForm();
  TOutputSettings& g = *f.GBOutput;
  g.CboResolution->setCurrentText("640x360");
  g.CboFrameRate->setCurrentText("Auto");
  const struct {
    int Entry, Video, Audio, Channels;
  } cases[] = {{7, 1500, 160, 1}, {0, 128, 32, 0}, {1, 256, 48, 0}, {4, 640, 96, 1}};
  for (const auto& c : cases) {
    g.CboProfiles->setCurrentIndex(c.Entry);
    emit g.CboProfiles->activated(c.Entry);  // as a user's choice arrives
    EXPECT_EQ(g.SpinVideo->value(), c.Video) << c.Entry;
    EXPECT_EQ(g.SpinAudio->value(), c.Audio) << c.Entry;
    EXPECT_EQ(g.CboChannels->currentIndex(), c.Channels) << c.Entry;
  }
  EXPECT_EQ(g.CboResolution->currentText(), "640x360");
  EXPECT_EQ(g.CboFrameRate->currentText(), "Auto");
  // A selection set by the program is no choice.
  g.SpinVideo->setValue(300);
  g.CboProfiles->setCurrentIndex(6);
  EXPECT_EQ(g.SpinVideo->value(), 300);
  // The texts, trailing blanks included.
  ASSERT_EQ(g.CboProfiles->count(), 8);
  EXPECT_EQ(g.CboProfiles->itemText(1), "Lower Quality,      Video:256kbps, Audio:48kbps, 1 channels, Mono  ");
  EXPECT_EQ(g.SpinVideo->minimum(), 128);
  EXPECT_EQ(g.SpinVideo->maximum(), 1500);
  EXPECT_EQ(g.SpinAudio->minimum(), 32);
  EXPECT_EQ(g.SpinAudio->maximum(), 160);
}

// ---------------------------------------------------------------------------
// Help and About

TEST_F(WindowTest, HelpOpensTheDocumentNextToTheProgram) {
  TForm1& f = MakeForm(false, false);
  f.BtnHelpClick();
  const QString expected = QCoreApplication::applicationDirPath() + "/help/index.html";
  ASSERT_EQ(Dialogs.Urls.size(), 1u);
  EXPECT_EQ(Dialogs.Urls[0], QUrl::fromLocalFile(expected));
  EXPECT_TRUE(QFile::exists(expected)) << "the build puts the help next to the executables";
}

TEST_F(WindowTest, AboutOpensAndClosesWithOk) {
  TForm1& f = MakeForm(false, false);
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* about = dynamic_cast<TFrmAbout*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    seen = true;
    EXPECT_EQ(about->windowTitle(), "About Vidlomat");
    EXPECT_EQ(about->Label1->text(), "Vidlomat V3.1");
    EXPECT_EQ(about->Image1->pixmap().size(), QSize(32, 32));
    QTest::mouseClick(about->LblWebsite, Qt::LeftButton);
    QTest::mouseClick(about->LblEmail, Qt::LeftButton);
    QTest::mouseClick(about->BtnOk, Qt::LeftButton);
  });
  f.BtnAboutClick();
  EXPECT_TRUE(seen);
  ASSERT_EQ(Dialogs.Urls.size(), 2u);
  EXPECT_EQ(Dialogs.Urls[0], QUrl(ProductWebsite()));
  EXPECT_EQ(Dialogs.Urls[1], QUrl("mailto:" + SupportEmail()));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// ---------------------------------------------------------------------------
// Library loading

TEST_F(WindowTest, MissingLibrariesSayWhyAndLeaveTheSettingsAlone) {
  UnloadFFmpegLibraries();
  TForm1& f = MakeForm(false, false);
  f.SetLibraryFolder(Dir / "LibAV");
  EXPECT_FALSE(f.FormCreate());
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  const TRecordedMessage& m = Dialogs.Messages[0];
  EXPECT_EQ(m.Title, "Error");
  EXPECT_EQ(m.Icon, TMessageIcon::Error);
  EXPECT_TRUE(m.Text.startsWith("Load libraray ")) << m.Text.toStdString();
  EXPECT_TRUE(m.Text.endsWith(". Please re-install the program and try it again.") ||
              m.Text.endsWith(" Please re-install the program and try it again."));
  EXPECT_EQ(m.Text, QString::fromStdString(f.QuilloC.LastError()) + " Please re-install the program and try it again.");
  f.close();
  EXPECT_FALSE(QFile::exists(SettingsPath()));
  EXPECT_FALSE(QDir(QString::fromStdString(Config / "Vidlomat")).exists());
}

}  // namespace

// ---------------------------------------------------------------------------
// Additions to the designed window

TEST(StatusTextTest, EachRowStateReadsItsText) {
  using S = TRowState;
  const std::pair<TRowStatus, const char*> cases[] = {
      {{S::Listed}, ""},          {{S::Waiting}, " "},
      {{S::Converting, 0}, "0% Completed"},     {{S::Converting, 57, 99000}, "57% Completed"},
      {{S::Converting, -1, 30500}, "00:00:30 converted"}, {{S::Converting, -1, -20}, "00:00:00 converted"},
      {{S::Completed, 100}, "Completed"},       {{S::Stopped, 37}, "Stopped"},
      {{S::Failed}, "Failed"},                  {{S::Skipped}, "Skipped"},
      {{S::Completed, -1, 400, 10000}, "Completed (shorter: 0:00:00 of 0:00:10)"},
      {{S::Completed, -1, 3723000, 7322000}, "Completed (shorter: 1:02:03 of 2:02:02)"}};
  for (const auto& [status, text] : cases) EXPECT_EQ(StatusText(status), text) << text;
}

TEST_F(WindowTest, TheRunningRowsStatusIsDrawnAsABar) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/");
  Add(Q({Clip("avi_xvid", "a.avi")}));
  ASSERT_EQ(f.Lvw->RowCount(), 1);
  f.show();
  // The filled share of the cell: the rightmost column holding a pixel of the
  // bar's fill (the palette's highlight), over the cell's width.
  const QColor fill = f.Lvw->palette().color(QPalette::Highlight);
  auto filled = [&](const TRowStatus& Status) {
    f.Lvw->SetStatus(0, Status);
    PumpFor(std::chrono::milliseconds(20));
    const QRect cell = f.Lvw->visualRect(f.Lvw->model()->index(0, TQueueList::ColStatus));
    const QImage image = f.Lvw->viewport()->grab().toImage();
    int right = cell.left();
    for (int x = cell.left(); x <= cell.right(); ++x)
      for (int y = cell.top(); y <= cell.bottom(); ++y) {
        const QColor c = image.pixelColor(x, y);
        if (std::abs(c.red() - fill.red()) + std::abs(c.green() - fill.green()) + std::abs(c.blue() - fill.blue()) < 60) {
          right = x + 1;
          break;
        }
      }
    return 100 * (right - cell.left()) / cell.width();
  };
  for (int percent : {0, 30, 60, 99}) EXPECT_NEAR(filled({TRowState::Converting, percent}), percent, 8) << percent;
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColStatus), "99% Completed");
  EXPECT_EQ(filled({TRowState::Converting, -1, 5000}), 0) << "a file of unknown length shows its time, not a bar";
  EXPECT_EQ(filled({TRowState::Completed, 60}), 0) << "an ended row shows its text, not a bar";
  EXPECT_EQ(f.Lvw->Status(0), (TRowStatus{TRowState::Completed, 60})) << "the row keeps its data";
}

TEST_F(WindowTest, TheLogPanelOpensClosesAndItsTextCanBeCopied) {
  TForm1& f = MakeForm();
  const QSize closed = f.size();
  EXPECT_TRUE(f.MemLog->isHidden());
  f.BtnLog->click();
  EXPECT_FALSE(f.MemLog->isHidden());
  EXPECT_GT(f.height(), closed.height() + f.MemLog->height() - 1) << "the window makes room for the panel";
  EXPECT_EQ(f.width(), closed.width());
  f.MemLog->appendPlainText("a: first line");
  f.MemLog->appendPlainText("b: second line");
  f.MemLog->selectAll();
  f.MemLog->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "a: first line\nb: second line");
  EXPECT_TRUE(f.MemLog->isReadOnly());
  f.BtnLog->click();
  EXPECT_TRUE(f.MemLog->isHidden());
  EXPECT_EQ(f.size(), closed);
  // A line longer than the panel is wide is wrapped, not scrolled (a scroll
  // bar would take a line of a small panel), and is copied as one line.
  const QString path = "c: /media/stick/" + QString("a_very_long_folder_name/").repeated(12) + "clip.avi: loudness -6.9 LUFS";
  f.show();
  f.BtnLog->click();
  f.MemLog->appendPlainText(path);
  QApplication::processEvents();
  EXPECT_EQ(f.MemLog->horizontalScrollBar()->maximum(), 0) << "nothing to scroll to";
  EXPECT_GT(f.MemLog->document()->lastBlock().layout()->lineCount(), 1) << "wrapped into several lines";
  f.MemLog->selectAll();
  f.MemLog->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text().split('\n').last(), path);
}

TEST_F(WindowTest, AWindowWithMoreSettingsThanTheScreenHoldsStillStartsOnTheScreen) {
  // However many settings the page holds, the first size and place fit the
  // screen's free area, with the Log open, and the page scrolls to Convert.
  TForm1& f = MakeForm();
  auto* grid = qobject_cast<QGridLayout*>(f.GBOther->layout());
  ASSERT_NE(grid, nullptr);
  for (int i = 0; i < 12; ++i) grid->addWidget(new QCheckBox("Another setting " + QString::number(i), f.GBOther), 10 + i, 0);
  f.BtnLog->click();
  f.show();
  PumpFor(std::chrono::milliseconds(20));
  const QRect area = f.screen()->availableGeometry();
  ASSERT_GT(f.findChild<QScrollArea*>()->widget()->minimumSizeHint().height(), area.height()) << "the page is not taller";
  EXPECT_TRUE(area.contains(f.frameGeometry())) << f.frameGeometry().y() << "+" << f.frameGeometry().height();
  EXPECT_LE(f.minimumHeight(), area.height());
  auto* page = f.findChild<QScrollArea*>();
  EXPECT_GT(page->verticalScrollBar()->maximum(), 0);
  page->ensureWidgetVisible(f.BtnStart);
  EXPECT_TRUE(page->viewport()->rect().contains(QRect(f.BtnStart->mapTo(page->viewport(), QPoint()), f.BtnStart->size())));
}

TEST_F(WindowTest, TheWindowIsResizableFitsTheScreenAndGivesTheRoomToTheListAndTheLog) {
  TForm1& f = MakeForm();
  f.show();
  PumpFor(std::chrono::milliseconds(20));
  const QRect area = f.screen()->availableGeometry();
  EXPECT_TRUE(area.contains(f.frameGeometry()));
  EXPECT_LT(f.minimumHeight(), f.maximumHeight());
  EXPECT_LT(f.minimumWidth(), f.maximumWidth());
  // Low on the screen, the Log opens upwards; the frame stays on the screen.
  f.move(area.left(), area.bottom() - f.frameGeometry().height());
  PumpFor(std::chrono::milliseconds(20));
  f.BtnLog->click();
  PumpFor(std::chrono::milliseconds(20));
  EXPECT_TRUE(area.contains(f.frameGeometry()));
  EXPECT_FALSE(f.MemLog->visibleRegion().isEmpty());
  // Larger, the extra room goes to the list and the log; the rest keeps its size.
  const QSize list = f.Lvw->size(), log = f.MemLog->size(), settings = f.GBOutput->size();
  f.resize(f.width() + 100, f.height() - 100);
  f.move(area.topLeft());
  f.resize(f.width(), area.height() - 40);
  PumpFor(std::chrono::milliseconds(20));
  EXPECT_GT(f.Lvw->height(), list.height());
  EXPECT_GT(f.MemLog->height(), log.height());
  EXPECT_GT(f.Lvw->width(), list.width());
  EXPECT_EQ(f.GBOutput->height(), settings.height());
  // Smaller than every control needs (a small screen): the page scrolls and
  // the controls keep their size.
  f.setMinimumSize(0, 0);
  f.resize(400, 300);
  PumpFor(std::chrono::milliseconds(20));
  EXPECT_EQ(f.GBOutput->height(), settings.height());
  EXPECT_GE(f.GBOutput->width(), f.GBOutput->minimumSizeHint().width());
  auto* page = f.findChild<QScrollArea*>();
  ASSERT_NE(page, nullptr);
  EXPECT_GT(page->verticalScrollBar()->maximum(), 0) << "Convert is reached by scrolling";
  page->ensureWidgetVisible(f.BtnStart);
  EXPECT_TRUE(page->viewport()->rect().contains(QRect(f.BtnStart->mapTo(page->viewport(), QPoint()), f.BtnStart->size())));
}

TEST_F(WindowTest, ThePlayerLimitNoteFollowsSizeAndFrameRate) {
  TForm1& f = MakeForm();
  TOutputSettings& o = *f.GBOutput;
  const QSize window = f.size();
  const struct {
    const char *Size, *Rate;
    bool Note;
  } cases[] = {{"320x240", "30", false}, {"720x306", "30", true},  {"320x240", "60", true},
               {"640x360", "29.97", false}, {"720x320", "Auto", true}, {"160x120", "Auto", false}};
  for (const auto& c : cases) {
    o.CboResolution->setCurrentText(c.Size);
    o.CboFrameRate->setCurrentText(c.Rate);
    ASSERT_EQ(o.CboResolution->currentText(), c.Size);
    ASSERT_EQ(o.CboFrameRate->currentText(), c.Rate);
    EXPECT_EQ(o.LblPlayerLimit->isHidden(), !c.Note) << c.Size << " at " << c.Rate;
    EXPECT_EQ(f.size(), window);
  }
  EXPECT_TRUE(TOutputSettings::BeyondPlayerLimits("320x481", "8"));
  EXPECT_FALSE(TOutputSettings::BeyondPlayerLimits("640x480", "30"));
  // The note changes nothing in what the conversion gets.
  TBatchSettings s;
  o.Fill(s);
  EXPECT_EQ(s.FrameSize, "160x120");
  EXPECT_EQ(s.FrameRate, "Auto");
}

TEST_F(WindowTest, KeysDoWhatTheButtonsDo) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/out/");
  f.show();
  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  auto inputs = [&] {
    QStringList names;
    for (int r = 0; r < f.Lvw->RowCount(); ++r) names << f.Lvw->Cell(r, TQueueList::ColInput);
    return names.join(",");
  };
  Dialogs.FileAnswers.push_back(Q({Clip("avi_xvid", "a.avi"), Clip("avi_xvid", "b.avi"), Clip("avi_xvid", "c.avi")}));
  QTest::keyClick(&f, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(inputs(), "a,b,c");
  f.Lvw->setFocus();
  f.Lvw->SelectRow(0);
  QTest::keyClick(f.Lvw, Qt::Key_Down, Qt::ControlModifier);
  EXPECT_EQ(inputs(), "b,a,c");
  EXPECT_EQ(f.Lvw->SelectedRow(), 1);
  QTest::keyClick(f.Lvw, Qt::Key_Up, Qt::ControlModifier);
  QTest::keyClick(f.Lvw, Qt::Key_Up, Qt::ControlModifier);  // at the top: stays
  EXPECT_EQ(inputs(), "a,b,c");
  f.Lvw->SelectRow(1);
  QTest::keyClick(f.Lvw, Qt::Key_Delete);
  EXPECT_EQ(inputs(), "a,c");
  // Delete in a number field edits the number, not the list.
  f.GBOutput->SpinVideo->setFocus();
  QTest::keyClick(f.GBOutput->SpinVideo, Qt::Key_Delete);
  EXPECT_EQ(f.Lvw->RowCount(), 2);

  f.Lvw->setFocus();
  QTest::keyClick(f.Lvw, Qt::Key_Return);
  EXPECT_EQ(f.Run().State(), TBatchRun::Running);
  QTest::keyClick(f.Lvw, Qt::Key_Enter);
  EXPECT_EQ(f.Run().State(), TBatchRun::Running) << "Enter never stops a batch";
  Dialogs.FileAnswers.push_back(Q({Clip("avi_xvid", "d.avi")}));
  QTest::keyClick(f.Lvw, Qt::Key_Delete);
  QTest::keyClick(f.Lvw, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(inputs(), "a,c") << "the list's keys rest while Running";
  EXPECT_EQ(Dialogs.FileAnswers.size(), 1u) << "no Add dialog while Running";
  f.BtnStartClick();
  EXPECT_EQ(f.Run().State(), TBatchRun::Idle);
}

TEST_F(WindowTest, EnterInAFieldOnlyConfirmsItsValue) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/out/");
  f.show();
  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  Add(Q({Clip("avi_xvid", "a.avi")}));
  ASSERT_EQ(f.Lvw->RowCount(), 1);
  // A value typed into a field and confirmed with Enter (either key) is kept,
  // and no batch starts.
  const struct {
    QSpinBox* Field;
    const char* Typed;
    int Value;
  } cases[] = {{f.GBOutput->SpinVideo, "600", 600}, {f.GBOutput->SpinAudio, "96", 96}, {f.SpinParallel, "1", 1}};
  for (const auto& c : cases)
    for (Qt::Key enter : {Qt::Key_Return, Qt::Key_Enter}) {
      c.Field->setFocus();
      c.Field->selectAll();
      QTest::keyClicks(c.Field, c.Typed);
      QTest::keyClick(c.Field, enter);
      EXPECT_EQ(c.Field->value(), c.Value) << c.Typed;
      EXPECT_EQ(f.Run().State(), TBatchRun::Idle) << "Enter in the field of " << c.Typed << " started the batch";
    }
  // The size figures worked out while a number is half typed ("60", below
  // the field's least 128) leave the typing alone.
  f.GBOutput->SpinVideo->setFocus();
  f.GBOutput->SpinVideo->selectAll();
  QTest::keyClicks(f.GBOutput->SpinVideo, "60");
  const QString folder = f.EdtOutputFolder->text();
  f.EdtOutputFolder->setText(folder + "x");
  f.EdtOutputFolder->setText(folder);
  QCoreApplication::processEvents();
  QTest::keyClicks(f.GBOutput->SpinVideo, "0");
  QTest::keyClick(f.GBOutput->SpinVideo, Qt::Key_Return);
  EXPECT_EQ(f.GBOutput->SpinVideo->value(), 600);
  f.GBOutput->CboResolution->setFocus();
  QTest::keyClick(f.GBOutput->CboResolution, Qt::Key_Return);
  EXPECT_EQ(f.Run().State(), TBatchRun::Idle);
  EXPECT_TRUE(FolderEntries(Dir / "out").empty()) << "nothing was written";
  // The Convert button takes Enter when it has the focus.
  f.BtnStart->setFocus();
  QTest::keyClick(f.BtnStart, Qt::Key_Return);
  EXPECT_EQ(f.Run().State(), TBatchRun::Running);
  f.BtnStartClick();
  EXPECT_EQ(f.Run().State(), TBatchRun::Idle);
  // Its mnemonic starts the batch from anywhere in the window.
  f.GBOutput->SpinVideo->setFocus();
  QTest::keyClick(f.GBOutput->SpinVideo, Qt::Key_V, Qt::AltModifier);
  EXPECT_TRUE(PumpUntil([&] { return f.Run().State() == TBatchRun::Running; }, std::chrono::seconds(10)));
  f.BtnStartClick();
}

TEST_F(WindowTest, AButtonAndItsKeysShareOneEnabledState) {
  TForm1& f = MakeForm();
  const std::pair<QAction*, QPushButton*> pairs[] = {{f.ActAdd, f.BtnAdd},       {f.ActRemove, f.BtnRemove},
                                                     {f.ActClear, f.BtnClear},   {f.ActMoveUp, f.BtnMoveUp},
                                                     {f.ActMoveDown, f.BtnMoveDown}};
  for (bool enabled : {false, true})
    for (const auto& [action, button] : pairs) {
      action->setEnabled(enabled);
      EXPECT_EQ(button->isEnabled(), enabled) << button->text().toStdString();
    }
  // Clicking a button is triggering its action.
  int added = 0;
  QObject::connect(f.ActAdd, &QAction::triggered, [&] { ++added; });
  f.BtnAdd->click();
  EXPECT_EQ(added, 1);
  EXPECT_EQ(Dialogs.FileTitle, "Choose Files to Convert");
}

TEST_F(WindowTest, EveryButtonHasItsOwnMnemonicAndItsDesignedCaption) {
  TForm1& f = MakeForm();
  const std::pair<QWidget*, const char*> captions[] = {
      {f.BtnAdd, "Add"},           {f.BtnRemove, "Remove"},  {f.BtnClear, "Clear"},
      {f.BtnMoveUp, "Move Up"},    {f.BtnMoveDown, "Move Down"}, {f.BtnStart, "Convert"},
      {f.BtnAbout, "About"},       {f.BtnHelp, "Help"},      {f.BtnLog, "Log"},
      {f.ChkOverwrite, "Overwrite existing files"}, {f.ChkShutdown, "Shut down computer when completed"},
      {f.ChkSkipConverted, "Skip files already converted"}, {f.ChkLowPriority, "Convert at low priority"},
      {f.BtnOpenOutputFolder, "Open output folder"}, {f.Label1, "Output Folder: "}, {f.LblParallel, "Files at the same time:"}};
  // Every field of Output Settings is reached through the label before it.
  const TOutputSettings& o = *f.GBOutput;
  const std::pair<QWidget*, const char*> fields[] = {
      {o.CboProfiles, "Profiles: "},          {o.CboResolution, "Video Size: "},   {o.CboChannels, "Audio Channels: "},
      {o.SpinVideo, "Video Bitrate: "},       {o.SpinAudio, "Audio Bitrate: "},    {o.CboFrameRate, "Video Frame Rate: "},
      {o.CboAudioSampleRate, "Audio Sample Rate: "}};
  std::vector<std::pair<QWidget*, const char*>> all(std::begin(captions), std::end(captions));
  for (const auto& [field, caption] : fields) {
    QLabel* label = nullptr;
    for (QLabel* l : o.findChildren<QLabel*>())
      if (l->buddy() == field) label = l;
    ASSERT_NE(label, nullptr) << caption << " has no label that reaches it";
    all.emplace_back(label, caption);
  }
  std::set<QString> keys = {QKeySequence::mnemonic("&Stop").toString()};  // the running Convert
  for (const auto& [widget, caption] : all) {
    const QString text = widget->property("text").toString();
    EXPECT_EQ(QString(text).remove('&'), caption);
    const QString key = QKeySequence::mnemonic(text).toString();
    EXPECT_FALSE(key.isEmpty()) << caption;
    EXPECT_TRUE(keys.insert(key).second) << caption << " clashes on " << key.toStdString();
  }
  EXPECT_EQ(f.Label1->buddy(), f.BtnChangeOutputFolder) << "the \"...\" button is reached through its label";
  EXPECT_EQ(f.LblParallel->buddy(), f.SpinParallel);
}

TEST_F(WindowTest, OpenOutputFolderMakesItAndHandsItToTheFileManager) {
  TForm1& f = MakeForm();
  const QString folder = QString::fromStdString(Dir / "new/out") + "/";
  f.EdtOutputFolder->setText(folder);
  f.BtnOpenOutputFolder->click();
  ASSERT_EQ(Dialogs.Urls.size(), 1u);
  EXPECT_EQ(Dialogs.Urls[0], QUrl::fromLocalFile(folder));
  EXPECT_TRUE(QFileInfo(folder).isDir());
}

TEST_F(WindowTest, DroppedFilesAndFoldersAreAddedLikeAdd) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/out/");
  const std::string one = Clip("avi_xvid", "one.avi"), two = Clip("mpeg1_ps", "two.mpg");
  const std::string folder = Dir / "folder";
  std::filesystem::create_directories(folder + "/sub");
  for (const char* name : {"b.MPG", "A.avi", "c.wmv"})
    std::filesystem::copy_file(Clip("avi_xvid", "x.avi"), folder + "/" + name);
  std::filesystem::copy_file(one, folder + "/sub/deeper.avi");
  WriteFile(folder + "/notes.txt", "not a video");
  auto drop = [&](const std::vector<std::string>& Paths) {
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const std::string& p : Paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
    data->setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(f.Lvw->viewport(), &enter);
    QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(f.Lvw->viewport(), &dropped);
    const bool taken = enter.isAccepted() && dropped.isAccepted();
    delete data;
    return taken;
  };
  auto inputs = [&] {
    QStringList names;
    for (int r = 0; r < f.Lvw->RowCount(); ++r)
      names << f.Lvw->Cell(r, TQueueList::ColInput) + "/" + f.Lvw->Cell(r, TQueueList::ColType);
    return names.join(",");
  };
  EXPECT_TRUE(drop({two, folder, one}));
  EXPECT_EQ(inputs(), "two/MPG,A/AVI,b/MPG,c/WMV,deeper/AVI,one/AVI")
      << "the folder's videos in name order, then its subfolder's";
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "6 files added.");

  f.BtnStartClick();
  ASSERT_EQ(f.Run().State(), TBatchRun::Running);
  EXPECT_FALSE(drop({one}));
  EXPECT_EQ(f.Lvw->RowCount(), 6) << "no drop while Running";
  f.BtnStartClick();
}

TEST_F(WindowTest, FilesGivenToTheProgramBecomeRows) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir.Path()) + "/out/");
  const std::string spaced = Clip("avi_xvid", "my film.avi");
  f.AddStartupFiles({Clip("mpeg1_ps", "one.mpg"),
                     QUrl::fromLocalFile(QString::fromStdString(spaced)).toString().toStdString(), ""});
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColInput), "one");
  EXPECT_EQ(f.Lvw->Path(1), spaced);
  f.AddStartupFiles({});
  EXPECT_EQ(f.Lvw->RowCount(), 2);
  EXPECT_TRUE(Dialogs.Messages.empty());

  // A folder given stands for the video files of its tree, as when it is
  // dropped; the add ends with its count (a folder without any adds none).
  std::filesystem::create_directories(Dir / "videos/sub");
  std::filesystem::create_directories(Dir / "empty");
  std::filesystem::copy_file(Dir / "one.mpg", Dir / "videos/two.mpg");
  std::filesystem::copy_file(Dir / "one.mpg", Dir / "videos/sub/deeper.mpg");
  f.AddStartupFiles({Dir / "videos", Dir / "empty"});
  ASSERT_EQ(f.Lvw->RowCount(), 4);
  EXPECT_EQ(f.Lvw->Path(2), Dir / "videos/two.mpg");
  EXPECT_EQ(f.Lvw->Path(3), Dir / "videos/sub/deeper.mpg");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "2 files added.");
}

TEST(AddFilterTest, AFoldersVideoFilesAreThoseTheAddDialogLists) {
  std::vector<std::string> listed;
  for (const QString& pattern : QString(kAddDialogFilter).section('|', 1, 1).split(';'))
    listed.push_back(pattern.mid(2).toLower().toStdString());
  EXPECT_EQ(listed, VideoExtensions());
}
