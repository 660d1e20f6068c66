// Batches of folder trees in the window: Add Folder and dropped folders
// (through the whole tree, with progress, Cancel and the count of files added
// and refused), the kept folder structure, Pause/Resume and "Stop after this
// file", and the size figures with the checks before a batch and before each
// file.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>
#include <QSpinBox>
#include <QTest>
#include <atomic>
#include <filesystem>

#include "ComponentSupport.h"
#include "MediaMaker.h"
#include "MyUtils.h"
#include "OutputSettings.h"
#include "QueueList.h"
#include "WindowTestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class BatchWindowTest : public WindowTest {
protected:
  void SetUp() override {
    WindowTest::SetUp();
    EnsureLibrariesLoaded();
    Out = Dir / "out";
  }
  TForm1& Make() {
    TForm1& f = MakeForm();
    f.EdtOutputFolder->setText(QString::fromStdString(Out) + "/");
    f.QuilloC.SetProgressInterval(100);
    return f;
  }
  // Copies a short clip to Dir/Path, making its folders.
  std::string Put(const std::string& Path, double Seconds = 0.3) {
    fs::create_directories(fs::path(Dir / Path).parent_path());
    fs::copy_file(TestClip("avi_xvid", Seconds), Dir / Path, fs::copy_options::overwrite_existing);
    return Dir / Path;
  }
  // A clip that takes a few seconds to convert.
  std::string Slow(const std::string& Path) {
    TClipSpec recipe = ClipSpecByName("avi_xvid");
    recipe.DurationSeconds = 8;
    recipe.Width = 320;
    recipe.Height = 240;
    recipe.Noise = 20;
    fs::create_directories(fs::path(Dir / Path).parent_path());
    std::string error;
    EXPECT_TRUE(MakeClip(recipe, Dir / Path, &error)) << error;
    return Dir / Path;
  }
  QString Rows() const {
    QStringList names;
    for (int r = 0; r < Form->Lvw->RowCount(); ++r) names << Form->Lvw->Cell(r, TQueueList::ColOutput);
    return names.join(",");
  }
  QString Status(int Row) const { return Form->Lvw->Cell(Row, TQueueList::ColStatus); }
  bool Idle() const { return Form->Run().State() == TBatchRun::Idle; }
  std::string Out;
};

TEST_F(BatchWindowTest, AddFolderAddsTheWholeTreeAndCountsTheFilesRefused) {
  TForm1& f = Make();
  for (const char* p : {"cam/clip10.avi", "cam/clip2.avi", "cam/2019/Summer/sea.avi", "cam/.thumbs/t.avi"}) Put(p);
  WriteFile(Dir / "cam/broken.avi", "not a video");
  WriteFile(Dir / "cam/notes.txt", "not listed");
  fs::create_symlink(Dir / "gone.avi", Dir / "cam/link.avi");
  EXPECT_EQ(f.ActAddFolder->shortcut(), QKeySequence("Ctrl+Shift+O"));
  Dialogs.FolderAnswers.push_back(QString::fromStdString(Dir / "cam"));
  f.ActAddFolder->trigger();
  EXPECT_EQ(Dialogs.FolderTitle, "Choose a Folder to Convert");
  EXPECT_EQ(Rows(), "clip2,clip10,sea");
  // The search's progress counts the files found; then the adding has its own.
  ASSERT_GE(Dialogs.Progresses.size(), 2u);
  EXPECT_EQ(Dialogs.Progresses[0].Maximum, 0);
  ASSERT_FALSE(Dialogs.Progresses[0].Labels.empty());
  EXPECT_EQ(Dialogs.Progresses[0].Labels.back(), "Looking for video files... 4 found");
  EXPECT_EQ(Dialogs.Progresses[1].Label, "Adding files to the list...");
  // One box with the counts; the reasons in the Log, which opens.
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "3 files added, 2 refused: see the Log.");
  const QString log = f.MemLog->toPlainText();
  EXPECT_TRUE(log.contains(QString::fromStdString(Dir / "cam/link.avi") + ": No such file or directory")) << log.toStdString();
  EXPECT_TRUE(log.contains("broken.avi")) << log.toStdString();
  EXPECT_TRUE(f.BtnLog->isChecked());
  EXPECT_EQ(f.QuilloC.TaskCount(), 0);
  EXPECT_FALSE(fs::exists(Out)) << "adding makes no folder";

  // Cancel while looking: nothing after the first folder read.
  f.BtnClearClick();
  Dialogs.Messages.clear();
  const size_t before = Dialogs.Progresses.size();
  Dialogs.OnProgressValue = [&](int) {
    if (Dialogs.Progresses.size() == before + 1) Dialogs.Progresses.back().Cancelled = true;
  };
  EXPECT_TRUE(f.DropFiles({Dir / "cam"}));
  Dialogs.OnProgressValue = nullptr;
  EXPECT_EQ(Rows(), "clip2,clip10");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_TRUE(Dialogs.Messages[0].Text.startsWith("Cancelled: 2 files added")) << Dialogs.Messages[0].Text.toStdString();

  // A folder without videos says so.
  fs::create_directories(Dir / "empty");
  Dialogs.Messages.clear();
  f.AddStartupFiles({Dir / "empty"});
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, QString::fromStdString("No video files in " + Dir / "empty" + "."));
  // A folder chooser that is cancelled adds nothing.
  f.BtnAddFolderClick();
  EXPECT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(f.Lvw->RowCount(), 2);
}

TEST_F(BatchWindowTest, AFolderOfHardLinksIsAddedWholeOnceAndSavedOnce) {
  // 200 names of one clip, a link out of the folder and back to it.
  TForm1& f = Make();
  const std::string first = Put("cam/clip0.avi");
  for (int i = 1; i < 200; ++i) fs::create_hard_link(first, Dir / ("cam/clip" + std::to_string(i) + ".avi"));
  fs::create_directory_symlink("..", Dir / "cam/loop");
  f.ListSaver().Flush();  // the empty list of the start
  const int writesBefore = f.ListStore().Writes();
  EXPECT_TRUE(f.DropFiles({Dir / "cam"}));
  EXPECT_EQ(f.Lvw->RowCount(), 200);
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "200 files added, 1 folder left out: see the Log.");
  EXPECT_TRUE(f.MemLog->toPlainText().contains(QString::fromStdString(Dir / "cam/loop: a link to ")))
      << f.MemLog->toPlainText().toStdString();
  // The list is written once the adding is through, not once a file.
  PumpFor(50ms);
  f.ListSaver().Flush();
  EXPECT_LE(f.ListStore().Writes() - writesBefore, 2);
  const std::string kept = ReadFile(f.ListStore().Path());
  EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 202) << "the header, 200 rows and the end line";

  // The folder again, and one of its files on its own: nothing is added twice.
  Dialogs.Messages.clear();
  EXPECT_TRUE(f.DropFiles({Dir / "cam"}));
  EXPECT_EQ(f.Lvw->RowCount(), 200);
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "0 files added, 200 already in the list, 1 folder left out: see the Log.");
  Dialogs.Messages.clear();
  f.MemLog->clear();
  f.AddStartupFiles({Dir / "cam/clip7.avi", Dir / "cam/../cam/clip7.avi"});
  EXPECT_EQ(f.Lvw->RowCount(), 200);
  EXPECT_TRUE(Dialogs.Messages.empty()) << "files added on their own have no summary box";
  EXPECT_EQ(f.MemLog->toPlainText().count("already in the list"), 2) << f.MemLog->toPlainText().toStdString();
}

TEST_F(BatchWindowTest, KeepTheFolderStructureWritesEachFileAtItsPlace) {
  TForm1& f = Make();
  for (const char* p : {"cam/top.avi", "cam/2019/Summer/clip.avi", "cam/2020/clip.avi"}) Put(p);
  const std::string loose = Put("loose.avi");
  f.ChkOverwrite->setChecked(false);
  EXPECT_TRUE(f.DropFiles({Dir / "cam", loose}));
  // Off: one folder, the second clip takes the next free name.
  EXPECT_EQ(Rows(), "top,clip,clip(1),loose");
  f.ChkKeepFolders->setChecked(true);
  EXPECT_EQ(Rows(), "top,2019/Summer/clip,2020/clip,loose");
  // The list keeps each row's place in the tree.
  QCoreApplication::processEvents();
  f.ListSaver().Flush();
  const std::string kept = ReadFile(f.ListStore().Path());
  EXPECT_NE(kept.find("\t2019/Summer\n"), std::string::npos) << kept;
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  for (const char* p : {"top.mp4", "2019/Summer/clip.mp4", "2020/clip.mp4", "loose.mp4"})
    EXPECT_GT(FileSizeOf(Out + "/" + p), 1000) << p;
  EXPECT_FALSE(fs::exists(Out + "/clip.mp4"));
}

// An empty subtitle file beside a film: the Type column does not promise
// subtitles, and Convert says once in the Log which file is left out and why.
TEST_F(BatchWindowTest, AnUnusableSubtitleFileIsOneLineInTheLog) {
  TForm1& f = Make();
  const std::string film = Put("film.avi");
  WriteFile(Dir / "film.srt", "");
  EXPECT_TRUE(f.DropFiles({film}));
  ASSERT_EQ(f.Lvw->RowCount(), 1);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColType), "AVI");
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  EXPECT_GT(FileSizeOf(Out + "/film.mp4"), 1000);
  const QString log = f.MemLog->toPlainText();
  const QString line = QString::fromStdString("Subtitles \"" + (Dir / "film.srt") + "\" cannot be read (the file is empty)");
  EXPECT_EQ(log.count(line), 1) << log.toStdString();
}

TEST_F(BatchWindowTest, PauseHoldsTheBatchAndItsClocksUntilResume) {
  TForm1& f = Make();
  EXPECT_FALSE(f.BtnPause->isEnabled());
  f.AddStartupFiles({Slow("a.avi")});
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
  EXPECT_TRUE(f.BtnPause->isEnabled());
  f.BtnPause->click();
  EXPECT_TRUE(f.QuilloC.Paused());
  EXPECT_EQ(f.BtnPause->text(), "&Resume");
  PumpFor(300ms);  // events already on their way arrive
  const QString status = Status(0), line = f.LblBatch->text();
  EXPECT_TRUE(line.startsWith("Paused: 0 of 1 files done, ")) << line.toStdString();
  PumpFor(1500ms);
  EXPECT_EQ(Status(0), status) << "no progress while paused";
  EXPECT_EQ(f.LblBatch->text(), line) << "the elapsed time stands still";
  f.BtnPause->click();
  EXPECT_FALSE(f.QuilloC.Paused());
  EXPECT_EQ(f.BtnPause->text(), "Pa&use");
  // Its keys: Alt+U pauses, Alt+R resumes (Move Up and Remove,
  // whose letters they are, rest while converting).
  f.show();
  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  // (A mnemonic clicks its button after a short animation.)
  QTest::keyClick(&f, Qt::Key_U, Qt::AltModifier);
  EXPECT_TRUE(PumpUntil([&] { return f.QuilloC.Paused(); }, 2s));
  QTest::keyClick(&f, Qt::Key_R, Qt::AltModifier);
  EXPECT_TRUE(PumpUntil([&] { return !f.QuilloC.Paused(); }, 2s));
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  EXPECT_EQ(Status(0), "Completed");
  EXPECT_FALSE(f.BtnPause->isEnabled());

  // Stop works while paused, and the next batch starts unpaused.
  Dialogs.Answers.push_back(true);  // convert the completed file again
  f.BtnStartClick();
  ASSERT_FALSE(Idle());
  f.BtnPause->click();
  f.BtnStartClick();
  EXPECT_TRUE(Idle());
  EXPECT_FALSE(f.QuilloC.Paused());
  EXPECT_FALSE(f.BatchPause().Paused());
}

TEST_F(BatchWindowTest, StopAfterThisFileFinishesTheRunningFileAndStartsNoMore) {
  TForm1& f = Make();
  f.AddStartupFiles({Slow("a.avi"), Put("b.avi"), Put("c.avi")});
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
  EXPECT_TRUE(f.ActStopAfter->isVisible());
  QTest::mouseClick(f.BtnStart, Qt::LeftButton, Qt::ShiftModifier);
  EXPECT_FALSE(Idle()) << "the running file goes on";
  EXPECT_TRUE(f.LblBatch->text().endsWith("; stopping after the files being converted")) << f.LblBatch->text().toStdString();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  EXPECT_EQ(Status(0), "Completed");
  EXPECT_EQ(Status(1), "");
  EXPECT_EQ(Status(2), "");
  EXPECT_GT(FileSizeOf(Out + "/a.mp4"), 1000);
  EXPECT_FALSE(fs::exists(Out + "/b.mp4"));
  EXPECT_FALSE(f.ActStopAfter->isVisible());
  // The menu's entry does the same; the next Convert takes the rest.
  Dialogs.Answers.push_back(false);  // the completed one is not converted again
  f.BtnStartClick();
  f.ActStopAfter->trigger();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  EXPECT_EQ(Status(1), "Completed");
  EXPECT_EQ(Status(2), "");
}

TEST_F(BatchWindowTest, AnOutputFolderGoneMidBatchPausesItUntilTheFolderIsBack) {
  TForm1& f = Make();
  f.AddStartupFiles({Slow("a.avi"), Put("b.avi"), Put("c.avi")});
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
  // Paused while the first file converts, the folder goes (with the first
  // file's unfinished output), then the batch goes on.
  f.BtnPause->click();
  fs::remove_all(Out);
  f.BtnPause->click();
  // The next file holds before it opens anything; one message names the folder.
  ASSERT_TRUE(PumpUntil([&] { return f.BatchPause().Paused(); }, 120s));
  PumpFor(300ms);
  const QString gone = QString::fromStdString(TOutputFolderHold::GoneText(Out + "/"));
  ASSERT_EQ(Dialogs.Messages.size(), 1u) << Dialogs.Messages.back().Text.toStdString();
  EXPECT_EQ(Dialogs.Messages[0].Text, gone);
  EXPECT_TRUE(Dialogs.Messages[0].Text.contains(QString::fromStdString(Out)));
  EXPECT_EQ(Status(0), "Failed") << "its output went with the folder";
  EXPECT_EQ(Status(1), " ");
  EXPECT_TRUE(f.QuilloC.Paused());
  // Where the folder was, a file now: Resume cannot make it, says so again
  // and stays paused.
  WriteFile(Out, "not a folder");
  f.BtnPause->click();
  EXPECT_TRUE(f.BatchPause().Paused());
  ASSERT_EQ(Dialogs.Messages.size(), 2u);
  EXPECT_EQ(Dialogs.Messages[1].Text, gone);
  PumpFor(300ms);
  EXPECT_EQ(Status(1), " ");
  // The folder it was in is there: Resume makes it again and the batch goes on.
  fs::remove(Out);
  f.BtnPause->click();
  EXPECT_FALSE(f.BatchPause().Paused());
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  EXPECT_EQ(Status(1), "Completed");
  EXPECT_EQ(Status(2), "Completed");
  EXPECT_GT(FileSizeOf(Out + "/b.mp4"), 1000);
  EXPECT_GT(FileSizeOf(Out + "/c.mp4"), 1000);
  ASSERT_EQ(Dialogs.Messages.size(), 3u);
  EXPECT_TRUE(Dialogs.Messages[2].Text.startsWith("File conversion process finished. 1 of 3 files failed:"))
      << Dialogs.Messages[2].Text.toStdString();
}

TEST_F(BatchWindowTest, SizeFiguresAndTheChecksBeforeTheBatchAndEachFile) {
  TForm1& f = Make();
  f.AddStartupFiles({Put("a.avi", 2.0), Put("b.avi", 2.0)});
  QCoreApplication::processEvents();
  // 2 s at 512 + 80 kbit/s: about 150 KB each.
  const QRegularExpression line("^2 files, about (\\d+) KB, .* free$");
  const QRegularExpressionMatch m = line.match(f.LblBatch->text());
  ASSERT_TRUE(m.hasMatch()) << f.LblBatch->text().toStdString();
  EXPECT_NEAR(m.captured(1).toInt(), 300, 30);
  EXPECT_TRUE(f.LblBatch->isVisible() || !f.isVisible());
  // 2 s at 592 kbit/s is 148 KB, plus the index and headers.
  const QRegularExpressionMatch tip =
      QRegularExpression("^Output: about (\\d+) KB at most$").match(f.Lvw->topLevelItem(0)->toolTip(TQueueList::ColOutput));
  ASSERT_TRUE(tip.hasMatch()) << f.Lvw->topLevelItem(0)->toolTip(TQueueList::ColOutput).toStdString();
  EXPECT_GE(tip.captured(1).toInt(), 148);
  EXPECT_LE(tip.captured(1).toInt(), 165);
  // The figures follow the bitrates.
  f.GBOutput->SpinVideo->setValue(1024);
  QCoreApplication::processEvents();
  const QRegularExpressionMatch twice = line.match(f.LblBatch->text());
  ASSERT_TRUE(twice.hasMatch()) << f.LblBatch->text().toStdString();
  EXPECT_GT(twice.captured(1).toInt(), m.captured(1).toInt() * 17 / 10);

  // Not enough room for the batch: Convert refuses, naming the folder and both figures.
  f.FreeSpace = [](const std::string&) { return int64_t{100'000}; };
  f.BtnStartClick();
  EXPECT_TRUE(Idle());
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text.toStdString(),
            "The files need about " + twice.captured(1).toStdString() + " KB, but only 100 KB is free in " + Out + "/.");
  EXPECT_FALSE(fs::exists(Out)) << "nothing changed";

  // Room for the batch at Convert (within its margin), but not for the second
  // file once the first is written: the batch pauses before it.
  Dialogs.Messages.clear();
  // Asked at Convert, then before each file on the thread that starts it.
  std::atomic<int> asked = 0;
  f.FreeSpace = [&](const std::string&) { return ++asked <= 2 ? int64_t{1'000'000} : int64_t{1000}; };
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return f.BatchPause().Paused(); }, 60s));
  EXPECT_EQ(Status(0), "Completed");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_TRUE(Dialogs.Messages[0].Text.startsWith(QString::fromStdString("Only 1 KB is free in " + Out + "/, and 'b.avi' needs about ")))
      << Dialogs.Messages[0].Text.toStdString();
  EXPECT_TRUE(Dialogs.Messages[0].Text.endsWith("The batch is paused: make room, then press Resume."));
  // The check is made before the next file starts: it holds before its first
  // packet and its row never moves from waiting.
  EXPECT_EQ(asked.load(), 3);
  EXPECT_EQ(Status(1), " ");
  PumpFor(1000ms);
  EXPECT_EQ(Status(1), " ");
  EXPECT_TRUE(f.QuilloC.Paused());
  f.BtnPause->click();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 60s));
  EXPECT_EQ(Status(1), "Completed");
}

}  // namespace

namespace {

TEST_F(BatchWindowTest, MeasuredSizesReplaceTheBoundAndLieWithinATenthOfTheRealOutput) {
  TForm1& f = Make();
  // At normal priority: on a busy machine the idle one may get no time at all.
  f.MeasureSizes(true, tpNormal);
  // 20 s of a quiet picture: the encoder stays well below the bitrate.
  TClipSpec recipe = ClipSpecByName("avi_xvid");
  recipe.DurationSeconds = 20;
  recipe.Width = 320;
  recipe.Height = 240;
  const std::string in = Dir / "quiet.avi";
  std::string error;
  ASSERT_TRUE(MakeClip(recipe, in, &error)) << error;
  f.AddStartupFiles({in});
  auto tip = [&] { return f.Lvw->topLevelItem(0)->toolTip(TQueueList::ColOutput).toStdString(); };
  QCoreApplication::processEvents();
  EXPECT_TRUE(tip().ends_with(" at most")) << tip();
  ASSERT_TRUE(PumpUntil([&] { return !tip().ends_with(" at most"); }, 60s)) << tip();
  const QRegularExpressionMatch measured = QRegularExpression("^Output: about (\\d+) KB$").match(QString::fromStdString(tip()));
  ASSERT_TRUE(measured.hasMatch()) << tip();
  EXPECT_EQ(f.LblBatch->text().toStdString().rfind("1 file, about " + measured.captured(1).toStdString() + " KB, ", 0), 0u)
      << f.LblBatch->text().toStdString();
  EXPECT_EQ(f.LblBatch->toolTip(), "The sizes are measured on samples of each file.");
  // Another profile: the figure is the bound again until measured anew.
  f.GBOutput->SpinVideo->setValue(1024);
  QCoreApplication::processEvents();
  EXPECT_TRUE(tip().ends_with(" at most")) << tip();
  f.GBOutput->SpinVideo->setValue(512);
  QCoreApplication::processEvents();
  ASSERT_TRUE(PumpUntil([&] { return !tip().ends_with(" at most"); }, 60s)) << tip();
  EXPECT_EQ(tip(), "Output: about " + measured.captured(1).toStdString() + " KB") << "the same settings, the same figure";

  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  const int64_t real = FileSizeOf(Out + "/quiet.mp4");
  ASSERT_GT(real, 10000);
  EXPECT_NEAR(measured.captured(1).toDouble() * 1000 / static_cast<double>(real), 1.0, 0.10) << real;
}

}  // namespace
