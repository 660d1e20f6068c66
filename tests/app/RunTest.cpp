// A conversion run in the window: Convert and Stop, rows and tasks, the end of
// a batch with its power-off, failures, refusals, and closing during a run.
// The component's events arrive on worker threads; these tests join the
// ThreadSanitizer run.
#include <fcntl.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QProgressBar>
#include <QSpinBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <clocale>
#include <csignal>
#include <sys/stat.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "CloseOnSignals.h"
#include "EngineIO.h"
#include "ComponentSupport.h"
#include "ConvertHelper.h"
#include "MyUtils.h"
#include "OutputSettings.h"
#include "QueueList.h"
#include "SettingsFile.h"
#include "WindowTestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A clip that takes a while to convert, made once per program.
std::string LongClip() {
  static std::mutex lock;
  static std::string path;
  std::lock_guard<std::mutex> guard(lock);
  if (path.empty()) {
    static TTempDir dir;
    TClipSpec recipe = ClipSpecByName("avi_xvid");
    recipe.DurationSeconds = 20;
    recipe.Width = 320;
    recipe.Height = 240;
    recipe.Noise = 20;
    path = dir / "long.avi";
    std::string error;
    EXPECT_TRUE(MakeClip(recipe, path, &error)) << error;
  }
  return path;
}

// The frame rate of the first video stream as the libraries guess it from the
// timestamps ({0, 0} when the file cannot be read).
std::pair<int, int> VideoRate(const std::string& Path) {
  AVFormatContext* ic = nullptr;
  if (ff::avformat_open_input(&ic, Path.c_str(), nullptr, nullptr) < 0) return {0, 0};
  std::pair<int, int> rate{0, 0};
  if (ff::avformat_find_stream_info(ic, nullptr) >= 0)
    for (unsigned i = 0; i < ic->nb_streams; ++i)
      if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        rate = {ic->streams[i]->r_frame_rate.num, ic->streams[i]->r_frame_rate.den};
        break;
      }
  ff::avformat_close_input(&ic);
  return rate;
}

// The names of the files in Folder, sorted (hidden ones included).
std::vector<std::string> FilesIn(const std::string& Folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(Folder, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class RunTest : public WindowTest {
protected:
  void SetUp() override {
    WindowTest::SetUp();
    EnsureLibrariesLoaded();
    Out = Dir / "out/sub";
  }
  TForm1& Make(bool WithPowerOff = true) {
    TForm1& f = MakeForm(WithPowerOff);
    f.EdtOutputFolder->setText(QString::fromStdString(Out) + "/");
    // Frequent progress, so that a test sees a file in the middle.
    f.QuilloC.SetProgressInterval(100);
    return f;
  }
  std::string Long(const std::string& Name) {
    const std::string path = Dir / Name;
    fs::copy_file(LongClip(), path);
    return path;
  }
  QString Status(int Row) const { return Form->Lvw->Cell(Row, TQueueList::ColStatus); }
  std::vector<QString> Statuses() const {
    std::vector<QString> v;
    for (int r = 0; r < Form->Lvw->RowCount(); ++r) v.push_back(Status(r));
    return v;
  }
  bool Idle() const { return Form->Run().State() == TBatchRun::Idle; }
  // Convert, then wait for the batch to end.
  void ConvertAll() {
    Form->BtnStartClick();
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s)) << "the batch did not end";
  }
  void ExpectIdleControls() {
    EXPECT_EQ(Form->BtnStart->text(), "Con&vert");
    EXPECT_TRUE(Form->BtnAdd->isEnabled());
    EXPECT_TRUE(Form->GBOutput->isEnabled());
    EXPECT_TRUE(Form->BtnAbout->isEnabled());
    EXPECT_TRUE(Form->LblProgress->isHidden());
    EXPECT_EQ(Form->QuilloC.TaskCount(), 0);
  }
  // An input of a few seconds whose output, Out/<Name>.mp4, is /dev/full: its
  // conversion fails half way with the disk full.
  std::string FullDisk(const std::string& Name) {
    fs::create_directories(Out);
    fs::create_symlink("/dev/full", Out + "/" + Name + ".mp4");
    TClipSpec recipe = ClipSpecByName("avi_xvid");
    recipe.DurationSeconds = 3;
    recipe.Noise = 20;
    std::string error;
    EXPECT_TRUE(MakeClip(recipe, Dir / (Name + ".avi"), &error)) << error;
    return Dir / (Name + ".avi");
  }
  int Messages(const QString& Text) const {
    int n = 0;
    for (const auto& m : Dialogs.Messages) n += m.Text == Text;
    return n;
  }
  std::string Out;
  const QString kFinished = "File conversion process finished.";
};

TEST_F(RunTest, ThreeFilesCompleteWithTheWindowsSettings) {
  TForm1& f = Make();
  Add(Q({Clip("avi_xvid", "first.avi"), Clip("mpeg1_ps", "second.mpg"), Clip("wmv", "third.wmv")}));
  ASSERT_EQ(f.Lvw->RowCount(), 3);
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed", "Completed"}));
  ExpectIdleControls();
  ASSERT_FALSE(Dialogs.Messages.empty());
  EXPECT_EQ(Dialogs.Messages.back().Text, kFinished);
  EXPECT_EQ(Dialogs.Messages.back().Title, "Information");
  EXPECT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(PowerOff.Calls, 0) << "the box is not checked";
  for (const char* name : {"first.mp4", "second.mp4", "third.mp4"}) {
    SCOPED_TRACE(name);
    const TFileFacts facts = ReadFacts(Out + "/" + name);
    ASSERT_TRUE(facts.Opened) << facts.Error;
    const TStreamFacts* v = facts.First(AVMEDIA_TYPE_VIDEO);
    const TStreamFacts* a = facts.First(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->Codec, "mpeg4");
    EXPECT_EQ(v->Width, 320);
    EXPECT_EQ(v->Height, 240);
    EXPECT_EQ(VideoRate(Out + "/" + name), (std::pair<int, int>{30, 1}));
    EXPECT_GT(v->Packets, 20);
    EXPECT_EQ(a->Codec, "aac");
    EXPECT_EQ(a->Profile, 1) << "AAC-LC";
    EXPECT_EQ(a->SampleRate, 44100);
    EXPECT_EQ(a->Channels, 2);
  }
}

TEST_F(RunTest, ThePickedAudioTrackIsConvertedAndTheVolumeBoxDecidesTheLevelling) {
  TForm1& f = Make();
  const std::string film = TwoLanguageFilm("film.mkv", 2);
  {
    TEnvironmentScope english({{"LANGUAGE", nullptr}, {"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", "en_GB.UTF-8"}});
    Add(Q({film}));
  }
  ASSERT_EQ(f.Lvw->RowCount(), 1);
  // Each run: the track picked, the box, the tone to hear and the other's.
  const struct {
    int Track;
    bool Even;
    double Hz, OtherHz;
    const char* Type;
  } runs[] = {{1, true, 1000, 440, "MKV \xC2\xB7 de 5.1"}, {0, false, 440, 1000, "MKV \xC2\xB7 en stereo"}};
  for (const auto& r : runs) {
    SCOPED_TRACE(r.Type);
    f.PickAudioTrack(0, r.Track);
    f.ChkEvenVolume->setChecked(r.Even);
    Dialogs.Answers.push_back(true);  // convert the file again
    f.BtnStartClick();
    ASSERT_FALSE(Idle());
    {
      // No choice while the batch runs.
      const std::unique_ptr<QMenu> menu = f.RowMenu(0);
      ASSERT_NE(AudioTrackMenu(*menu), nullptr);
      EXPECT_FALSE(AudioTrackMenu(*menu)->isEnabled());
    }
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
    ASSERT_EQ(Status(0), "Completed");
    EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColType), r.Type);
    int channels = 0, rate = 0;
    const std::vector<float> sound = DecodeAudioFloat(Out + "/film.mp4", channels, rate);
    ASSERT_EQ(channels, 2);
    const double level = ToneLevelDbfs(sound, channels, 0, r.Hz, rate);
    EXPECT_GT(level, -30);
    EXPECT_LT(ToneLevelDbfs(sound, channels, 0, r.OtherHz, rate), level - 40);
    EXPECT_EQ(f.MemLog->toPlainText().contains("LUFS"), r.Even) << f.MemLog->toPlainText().toStdString();
  }
}

TEST_F(RunTest, SkipFilesAlreadyConvertedAndConvertAtLowPriority) {
  TForm1& f = Make();
  const std::string a = Clip("avi_xvid", "a.avi"), b = Clip("mpeg1_ps", "b.mpg");
  Add(Q({a, b}));
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed"}));
  EXPECT_EQ(f.QuilloC.GetThreadPriority(), tpLowest) << "low priority is on by default";
  struct stat before {};
  ASSERT_EQ(stat((Out + "/a.mp4").c_str(), &before), 0);
  // b changes (a new modification time); a stays as it was converted.
  const timespec later[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, b.c_str(), later, 0), 0);
  f.ChkSkipConverted->setChecked(true);
  f.ChkLowPriority->setChecked(false);
  Dialogs.Answers = {true};  // both rows read "Completed": convert them again
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Skipped (already converted)", "Completed"}));
  EXPECT_EQ(f.QuilloC.GetThreadPriority(), tpNormal);
  struct stat after {};
  ASSERT_EQ(stat((Out + "/a.mp4").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "a skipped file's output is not written again";
  EXPECT_EQ(FilesIn(Out), (std::vector<std::string>{"a.mp4", "b.mp4"}));
  // Only at Convert: Add lists such a file as any other (once the list no
  // longer holds it).
  f.BtnClearClick();
  Add(Q({a}));
  EXPECT_EQ(f.Lvw->RowCount(), 1);
  EXPECT_EQ(Status(0), "");
}

TEST_F(RunTest, StopDuringTheSecondFileMarksItStopped) {
  TForm1& f = Make();
  f.ChkShutdown->setChecked(true);
  Add(Q({Clip("avi_xvid", "a.avi"), Long("b.avi"), Clip("avi_xvid", "c.avi")}));
  f.BtnStartClick();
  EXPECT_EQ(f.BtnStart->text(), "&Stop");
  EXPECT_FALSE(f.BtnAdd->isEnabled());
  EXPECT_FALSE(f.GBOther->isEnabled());
  EXPECT_TRUE(f.Lvw->isEnabled());
  ASSERT_TRUE(PumpUntil([&] { return Status(0) == "Completed" && Status(1).endsWith("% Completed"); }))
      << Status(0).toStdString() << " / " << Status(1).toStdString();
  EXPECT_TRUE(QRegularExpression("^\\d+% Completed$").match(Status(1)).hasMatch());
  EXPECT_TRUE(QRegularExpression("^Current Frame=\\d+ Time=\\d+ FPS=\\d+$").match(f.LblProgress->text()).hasMatch())
      << f.LblProgress->text().toStdString();
  EXPECT_FALSE(f.LblProgress->isHidden());
  // The batch: one file of three done, and at least its second of 22 s.
  EXPECT_FALSE(f.BatchBar->isHidden());
  EXPECT_GE(f.BatchBar->value(), 4);
  EXPECT_LT(f.BatchBar->value(), 100);
  EXPECT_TRUE(QRegularExpression("^1 of 3 files done, \\d\\d:\\d\\d:\\d\\d elapsed, "
                                 "(about \\d\\d:\\d\\d:\\d\\d left|estimating time left)$")
                  .match(f.LblBatch->text())
                  .hasMatch())
      << f.LblBatch->text().toStdString();
  f.BtnStartClick();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Stopped", " "}));
  ExpectIdleControls();
  EXPECT_TRUE(f.BatchBar->isHidden());
  // Idle, the batch line has the size figures of the files not converted yet.
  EXPECT_TRUE(f.LblBatch->text().startsWith("2 files, about ")) << f.LblBatch->text().toStdString();
  // Late events of the stopped run change nothing.
  PumpFor(1s);
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Stopped", " "}));
  EXPECT_EQ(Messages(kFinished), 0);
  EXPECT_EQ(PowerOff.Calls, 0) << "a stopped batch does not turn the machine off";
  // Once the window is gone (its component waits for the stopped worker), only
  // the completed file is left in the folder.
  f.close();
  Form.reset();
  EXPECT_EQ(FilesIn(Out), (std::vector<std::string>{"a.mp4"}));
}

TEST_F(RunTest, StopRightAfterTheLastFileEndedKeepsItCompleted) {
  TForm1& f = Make();
  f.ChkShutdown->setChecked(true);
  Add(Q({Clip("avi_xvid", "a.avi")}));
  f.BtnStartClick();
  // The batch ends on the worker while this thread handles no events: its
  // events wait in the window's queue when Stop is pressed.
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (f.QuilloC.Running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(f.QuilloC.Running());
  EXPECT_EQ(Status(0), " ");
  f.BtnStartClick();
  EXPECT_EQ(Status(0), "Completed");
  EXPECT_TRUE(Idle());
  PumpFor(200ms);
  EXPECT_EQ(Messages(kFinished), 0) << "the user stopped the batch";
  EXPECT_EQ(PowerOff.Calls, 0);
}

TEST_F(RunTest, OverwriteOffWritesTheNextFreeName) {
  TForm1& f = Make();
  f.ChkOverwrite->setChecked(false);
  fs::create_directories(Out);
  WriteFile(Out + "/clip.mp4", "older output");
  WriteFile(Out + "/clip(1).mp4", "older output too");
  Add(Q({Clip("avi_xvid", "clip.avi")}));
  ConvertAll();
  EXPECT_EQ(Status(0), "Completed");
  EXPECT_EQ(FileSizeOf(Out + "/clip.mp4"), 12);
  EXPECT_EQ(FileSizeOf(Out + "/clip(1).mp4"), 16);
  EXPECT_TRUE(ReadFacts(Out + "/clip(2).mp4").Opened);
}

TEST_F(RunTest, NoOutputReplacesAListedFileInEitherOrder) {
  // box.mp4 in the output folder is listed with other/box.avi, Overwrite on.
  for (const bool mp4First : {true, false}) {
    SCOPED_TRACE(mp4First ? "box.mp4 listed first" : "box.avi listed first");
    fs::remove_all(Out);
    fs::create_directories(Out);
    fs::create_directories(Dir / "other");
    const std::string listed = Out + "/box.mp4";
    fs::copy_file(TestClip("mov_mpeg4_aac"), listed);
    const std::string original = ReadFile(listed);
    const std::string avi = Dir / "other/box.avi";
    fs::copy_file(TestClip("avi_xvid"), avi, fs::copy_options::overwrite_existing);
    fs::remove_all(Config / "state");  // a new window with an empty list
    TForm1& f = Make();
    ASSERT_TRUE(f.ChkOverwrite->isChecked());
    Add(mp4First ? Q({listed, avi}) : Q({avi, listed}));
    ASSERT_EQ(f.Lvw->RowCount(), 2);
    const std::vector<std::string> names = {"box(1)", "box(2)"};
    EXPECT_EQ((std::vector<std::string>{f.Lvw->OutputName(0), f.Lvw->OutputName(1)}), names);
    ConvertAll();
    EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed"}));
    EXPECT_EQ((std::vector<std::string>{f.Lvw->OutputName(0), f.Lvw->OutputName(1)}), names);
    EXPECT_TRUE(ReadFile(listed) == original) << "the listed file was written over";
    EXPECT_EQ(FilesIn(Out), (std::vector<std::string>{"box(1).mp4", "box(2).mp4", "box.mp4"}));
    for (const char* name : {"/box(1).mp4", "/box(2).mp4"}) EXPECT_TRUE(ReadFacts(Out + name).Opened) << name;
  }
}

TEST_F(RunTest, TheOutputFolderIsMadeWhenTheConversionStartsNotAtAdd) {
  TForm1& f = Make();
  Add(Q({Clip("avi_xvid", "a.avi"), Clip("mpeg1_ps", "b.mpg")}));
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  EXPECT_FALSE(fs::exists(Dir / "out")) << "adding files made the output folder";
  EXPECT_EQ(f.Lvw->OutputName(1), "b");
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed"}));
  EXPECT_EQ(FilesIn(Out), (std::vector<std::string>{"a.mp4", "b.mp4"}));
}

TEST_F(RunTest, AFailedFileReadsFailedAndTheBatchGoesOn) {
  TForm1& f = Make();
  // The middle file's output runs out of space half way.
  Add(Q({Clip("avi_xvid", "a.avi"), FullDisk("full"), Clip("mpeg1_ps", "c.mpg")}));
  ASSERT_EQ(f.Lvw->RowCount(), 3);
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Failed", "Completed"}));
  ASSERT_EQ(Dialogs.Messages.size(), 2u);
  const TRecordedMessage& warning = Dialogs.Messages[0];
  EXPECT_EQ(warning.Title, "Vidlomat");
  EXPECT_EQ(warning.Icon, TMessageIcon::Warning);
  // The box names the file and says in words what happened.
  // (/dev/full takes not even the header.)
  EXPECT_EQ(warning.Text, QString::fromStdString("Could not write 'full.mp4' in " + Out + ": writing its header failed."));
  EXPECT_EQ(f.Lvw->topLevelItem(1)->toolTip(TQueueList::ColStatus), warning.Text) << "the reason stays on the row";
  // The log panel has the failed file's lines after its name, the engine's
  // own reason among them.
  const QString log = f.MemLog->toPlainText();
  EXPECT_TRUE(log.contains("full: Could not write header for output file #0 (incorrect codec parameters ?)"))
      << log.toStdString();
  EXPECT_TRUE(QRegularExpression("^full: (?!Could not write header)", QRegularExpression::MultilineOption)
                  .match(log)
                  .hasMatch())
      << "a line of the engine or the libraries besides the reason:\n"
      << log.toStdString();
  // The finish message says it again, with the warning icon.
  EXPECT_EQ(Dialogs.Messages[1].Text, kFinished + " 1 of 3 files failed:\n\n" + warning.Text);
  EXPECT_EQ(Dialogs.Messages[1].Icon, TMessageIcon::Warning);
  EXPECT_EQ(PowerOff.Calls, 0);
  // The window is not in front (never shown): the desktop hears of the end.
  EXPECT_EQ(Dialogs.Notifications,
            (std::vector<std::pair<QString, QString>>{{"Vidlomat", "2 files converted, 1 failed"}}));
  EXPECT_TRUE(ReadFacts(Out + "/c.mp4").Opened);
}

TEST_F(RunTest, AWarningLeftOpenNeverHoldsUpTheEndOfTheBatch) {
  TForm1& f = Make();
  f.ChkShutdown->setChecked(true);
  // Nobody answers the boxes: each stays open (running its own event loop)
  // for a minute, except the finish message.
  Dialogs.MessageOpen = 60s;
  bool idleAtFinish = false;
  Dialogs.OnMessage = [&](const QString& Text) {
    if (!Text.startsWith(kFinished)) return;
    idleAtFinish = Idle() && f.BtnAdd->isEnabled();
    Dialogs.MessageOpen = 0s;
  };
  Add(Q({FullDisk("one"), FullDisk("two")}));
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  // The whole batch ends on the worker while this thread handles no events:
  // both failures and the batch's end wait in the window's queue together.
  f.BtnStartClick();
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (f.QuilloC.Running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(f.QuilloC.Running());
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s)) << "the batch did not end";
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Failed", "Failed"}));
  const std::string warning = "Could not write 'one.mp4' in " + Out + ": writing its header failed.";
  const std::string finish = kFinished.toStdString() + " 2 of 2 files failed:\n\n" + warning + "\n" +
                             "Could not write 'two.mp4' in " + Out + ": writing its header failed.";
  // The first failure's warning is still open when the batch ends: the
  // second failure adds no box, the power-off is asked, and the finish
  // message takes the warning's place.
  EXPECT_EQ(*Dialogs.Order, (std::vector<std::string>{"message: " + warning, "power-off", "closed: " + warning,
                                                      "message: " + finish}));
  EXPECT_TRUE(idleAtFinish) << "the window is Idle when the finish message opens";
  EXPECT_EQ(f.Lvw->topLevelItem(1)->toolTip(TQueueList::ColStatus),
            QString::fromStdString("Could not write 'two.mp4' in " + Out + ": writing its header failed."));
}

TEST_F(RunTest, StopMarksEveryFileThatWasConvertingEvenBeforeTheWindowHeardOfIt) {
  TForm1& f = Make();
  Add(Q({Clip("avi_xvid", "a.avi"), Long("b.avi"), Clip("avi_xvid", "c.avi")}));
  f.BtnStartClick();
  // The second file converts while this thread handles no events: the window
  // has not yet applied the end of the first one, nor any progress of the
  // second, when Stop is pressed.
  const uint64_t run = f.Run().RunId();
  std::atomic<bool> secondConverting{false};
  f.QuilloC.OnProgress = [&f, &secondConverting, run](int AIndex, int AFrame, int AFPS, int ACurrent, float, float,
                                                      int64_t, int ATotal) {
    f.QuilloCProgress(run, AIndex, AFrame, AFPS, ACurrent, ATotal);
    if (AIndex == 1) secondConverting = true;
  };
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (!secondConverting && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(secondConverting);
  EXPECT_EQ(Statuses(), (std::vector<QString>{" ", " ", " "}));
  f.BtnStartClick();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Stopped", " "}));
  PumpFor(300ms);
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Stopped", " "}));
  EXPECT_TRUE(Idle());
}

TEST(BatchRunTest, StopRulesDecideWhichRowsReadStopped) {
  // Three files, one at a time. What the window heard before Stop (progress
  // P, ends E with F finished / X failed), what the component was running at
  // the stop, and the ends that arrive afterwards.
  struct TEndEvent {
    int Task;
    bool Finished, Failed;
  };
  const struct {
    const char* Name;
    std::vector<int> ProgressBefore;
    std::vector<TEndEvent> EndsBefore;
    std::vector<int> Running;
    std::vector<TEndEvent> EndsAfter;
    std::vector<const char*> StatusOfEndsAfter;  // nullptr: the row keeps what it shows
    std::vector<int> Stopped;
  } cases[] = {
      {"second running, first's end not yet applied", {}, {}, {1}, {{0, true, false}, {1, false, false}},
       {"Completed", "Stopped"}, {1}},
      {"second running, its end not raised after the clear", {0}, {{0, true, false}}, {1}, {}, {}, {1}},
      {"first finished as Stop came", {0}, {}, {}, {{0, true, false}, {1, false, false}, {2, false, false}},
       {"Completed", nullptr, nullptr}, {}},
      {"first failed as Stop came", {0}, {}, {}, {{0, false, true}}, {"Failed"}, {}},
      {"progress seen, nothing running any more", {0, 1}, {{0, true, false}}, {}, {{1, false, false}},
       {"Stopped"}, {1}},
      {"waiting files end without a status", {}, {}, {0}, {{1, false, false}, {2, false, false}},
       {nullptr, nullptr}, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TBatchRun run;
    run.Begin(1);
    for (int row : {0, 1, 2}) run.AddTask(row, 10000, "/out/" + std::to_string(row) + ".mp4");
    for (int t : c.ProgressBefore) run.TaskProgress(t, 500, 10000);
    auto how = [](const TEndEvent& E) {
      return E.Failed ? TTaskEnd::Failed : E.Finished ? TTaskEnd::Finished : TTaskEnd::Stopped;
    };
    for (const TEndEvent& e : c.EndsBefore) run.TaskEnded(e.Task, how(e));
    EXPECT_FALSE(run.Stopping());
    run.BeginStop(c.Running);
    EXPECT_TRUE(run.Stopping());
    for (size_t i = 0; i < c.EndsAfter.size(); ++i) {
      const auto state = run.TaskEnded(c.EndsAfter[i].Task, how(c.EndsAfter[i]));
      EXPECT_EQ(state ? StatusText({*state}) : "(kept)",
                c.StatusOfEndsAfter[i] ? std::string(c.StatusOfEndsAfter[i]) : "(kept)");
    }
    EXPECT_EQ(run.StoppedRows(), c.Stopped);
    run.End();
    EXPECT_FALSE(run.Stopping());
  }
  // Outside a stop every end has its status, and failures are counted.
  TBatchRun run;
  run.Begin(2);
  for (int row : {4, 5, 6}) run.AddTask(row);
  EXPECT_EQ(run.TaskEnded(0, TTaskEnd::Stopped), TRowState::Stopped);
  EXPECT_EQ(run.TaskEnded(1, TTaskEnd::Failed), TRowState::Failed);
  EXPECT_EQ(run.TaskEnded(2, TTaskEnd::Finished), TRowState::Completed);
  EXPECT_EQ(run.TaskEnded(3, TTaskEnd::Failed), std::nullopt);
  EXPECT_EQ(run.FailedCount(), 1);
  EXPECT_EQ(run.OutputOfTask(1), "");
}

TEST(BatchRunTest, EveryEndOfABatchSaysHowItEndedWithCounts) {
  const std::vector<TFinishEntry> stopped = {{TRowState::Stopped, "'b.avi' was stopped before its end."}};
  const std::vector<TFinishEntry> refused = {{TRowState::Skipped, "Cannot convert \"/x/a.avi\": not found."}};
  const struct {
    TBatchEnd End;
    TBatchCounts Counts;
    std::vector<TFinishEntry> Entries;
    std::string Text;
  } cases[] = {
      // A batch that ran through keeps the designed words.
      {TBatchEnd::Finished, {3, 3, 0, 0}, {}, "File conversion process finished."},
      {TBatchEnd::Finished, {1, 0, 0, 0}, refused,
       "File conversion process finished. 1 of 1 file skipped:\n\nCannot convert \"/x/a.avi\": not found."},
      {TBatchEnd::Finished, {3, 0, 3, 0}, {}, "File conversion process finished. Nothing was converted (3 files already converted)."},
      {TBatchEnd::Finished, {3, 2, 1, 0}, {}, "File conversion process finished. 2 of 3 files converted, 1 already converted."},
      {TBatchEnd::Stopped, {5, 1, 0, 3}, stopped,
       "File conversion stopped. 1 of 5 files converted, 1 stopped, 3 not started:\n\n'b.avi' was stopped before its end."},
      {TBatchEnd::Stopped, {2, 0, 0, 1}, stopped,
       "File conversion stopped. Nothing was converted (1 file stopped, 1 not started):\n\n'b.avi' was stopped before its end."},
      {TBatchEnd::StoppedAfterCurrent, {688, 1, 0, 687}, {},
       "File conversion process finished after the files being converted. 1 of 688 files converted, 687 not started."},
  };
  for (const auto& c : cases) EXPECT_EQ(EndText(c.End, c.Counts, c.Entries), c.Text);
}

TEST(BatchRunTest, FailureAndFinishTextsSayWhatHappenedInWords) {
  const struct {
    const char *Message, *Text;
  } cases[] = {
      {"av_interleaved_write_frame(): no space left on the device",
       "Could not write 'clip.mp4' in /media/x: no space left on the device."},
      {"av_write_trailer(): permission denied", "Could not write 'clip.mp4' in /media/x: permission denied."},
      {"Could not save '/media/x/clip.mp4': a file of that name appeared during the conversion",
       "Could not write 'clip.mp4' in /media/x: a file of that name appeared during the conversion."},
      {"/v/clip.avi: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.",
       "Could not convert 'clip.avi': I/O error occurred. Usually that means that input file is truncated and/or "
       "corrupted."},
      {"Could not write header for output file #0 (incorrect codec parameters ?)",
       "Could not write 'clip.mp4' in /media/x: writing its header failed."},
      {"Cannot convert h264 stream.", "Could not convert 'clip.avi': cannot convert h264 stream."},
      {"", "Could not convert 'clip.avi'."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FailureText(c.Message, "/v/clip.avi", "/media/x/clip.mp4"), c.Text) << c.Message;
  EXPECT_EQ(FailureText("av_write_trailer(): permission denied", "/v/a.avi", "/a.mp4"),
            "Could not write 'a.mp4' in /: permission denied.");
  EXPECT_EQ(FailureText("av_write_trailer(): x", "/v/a.avi", ""), "Could not convert 'a.avi': av_write_trailer(): x.");

  const std::string finished = "File conversion process finished.";
  EXPECT_EQ(FinishText({}, 5), finished);
  EXPECT_EQ(FinishText({{TRowState::Failed, "F."}}, 1), finished + " 1 of 1 file failed:\n\nF.");
  // Each kind counted, the reasons in list order.
  EXPECT_EQ(FinishText({{TRowState::Skipped, "S."},
                        {TRowState::Failed, "F1."},
                        {TRowState::Completed, "C."},
                        {TRowState::Stopped, "T."},
                        {TRowState::Failed, "F2."}},
                       9),
            finished + " 2 of 9 files failed, 1 stopped, 1 skipped, 1 came out shorter:\n\nS.\nF1.\nC.\nT.\nF2.");
  EXPECT_EQ(FinishText({{TRowState::Skipped, "S."}}, 2), finished + " 1 of 2 files skipped:\n\nS.");
  // Ten reasons at most.
  std::vector<TFinishEntry> many;
  std::string listed;
  for (int i = 0; i < 13; ++i) {
    many.push_back({TRowState::Failed, "R" + std::to_string(i) + "."});
    if (i < 10) listed += "\nR" + std::to_string(i) + ".";
  }
  EXPECT_EQ(FinishText(many, 20), finished + " 13 of 20 files failed:\n" + listed + "\nand 3 more: see the Log.");
  many.pop_back();
  many.pop_back();
  EXPECT_EQ(FinishText(many, 20), finished + " 11 of 20 files failed:\n" + listed + "\nand 1 more: see the Log.");
}

TEST_F(RunTest, FilesRefusedAtTheStartAreSkipped) {
  TForm1& f = Make();
  const std::string gone = Clip("avi_xvid", "gone.avi");
  Add(Q({Clip("avi_xvid", "kept.avi"), gone}));
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  fs::remove(gone);
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Skipped"}));
  // What happened, in words, on its row, in the Log, and counted in the
  // finish message: no box of its own holds the batch.
  const QString refused = QString::fromStdString("Cannot convert \"" + gone + "\": not found.");
  EXPECT_EQ(Messages(refused), 0);
  EXPECT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(f.Lvw->topLevelItem(1)->toolTip(TQueueList::ColStatus), refused);
  EXPECT_TRUE(f.MemLog->toPlainText().contains("gone: " + refused)) << f.MemLog->toPlainText().toStdString();
  EXPECT_EQ(Messages(kFinished + " 1 of 2 files skipped:\n\n" + refused), 1);
  EXPECT_EQ(Dialogs.Messages.back().Icon, TMessageIcon::Information) << "nothing failed";

  // Nothing left to convert: straight back to Idle, and the message says
  // what became of the files, and why.
  fs::remove(Dir / "kept.avi");
  Dialogs.Messages.clear();
  Dialogs.Answers = {true};  // convert the completed one again
  f.BtnStartClick();
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Skipped", "Skipped"}));
  ExpectIdleControls();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text,
            kFinished + " 2 of 2 files skipped:\n\n" +
                QString::fromStdString("Cannot convert \"" + Dir / "kept.avi" + "\": not found.\n") + refused);

  // A file the libraries cannot read keeps their wording.
  WriteFile(Dir / "kept.avi", "no video any more");
  Dialogs.Messages.clear();
  f.BtnStartClick();
  ASSERT_FALSE(Dialogs.Messages.empty());
  EXPECT_TRUE(Dialogs.Messages.back().Text.contains(
      QString::fromStdString("Convertion of file \"" + (Dir / "kept.avi") + "\" is not supported.")))
      << Dialogs.Messages.back().Text.toStdString();
}

TEST_F(RunTest, AFileGoneDuringTheBatchIsSkippedWithoutABox) {
  TForm1& f = Make();
  const std::string gone = Dir / "gone.avi";
  Add(Q({Long("first.avi"), Clip("avi_xvid", "gone.avi"), Clip("avi_xvid", "last.avi")}));
  ASSERT_EQ(f.Lvw->RowCount(), 3);
  f.BtnStartClick();
  // Set up at Convert, then gone before its turn.
  ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
  fs::remove(gone);
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Skipped", "Completed"}));
  const QString refused = QString::fromStdString("Cannot convert \"" + gone + "\": not found.");
  EXPECT_EQ(f.Lvw->topLevelItem(1)->toolTip(TQueueList::ColStatus), refused);
  ASSERT_EQ(Dialogs.Messages.size(), 1u) << "only the finish message";
  EXPECT_EQ(Dialogs.Messages[0].Text, kFinished + " 1 of 3 files skipped:\n\n" + refused);
}

TEST_F(RunTest, EveryEndSaysWhatHappenedWithCounts) {
  TForm1& f = Make();
  Add(Q({Clip("avi_xvid", "a.avi"), Long("b.avi"), Clip("avi_xvid", "c.avi"), Clip("avi_xvid", "d.avi")}));
  ASSERT_EQ(f.Lvw->RowCount(), 4);
  // A plain Stop while the second file converts.
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Status(1).endsWith("% Completed"); }));
  f.BtnStartClick();
  EXPECT_TRUE(Idle());
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text,
            "File conversion stopped. 1 of 4 files converted, 1 stopped, 2 not started:\n\n'b.avi' was stopped before "
            "its end.");
  EXPECT_EQ(Dialogs.Messages[0].Icon, TMessageIcon::Information);

  // "Stop after this file" while the second converts again.
  Dialogs.Messages.clear();
  Dialogs.Answers = {false};  // the completed one is not converted again
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Status(1).endsWith("% Completed"); }));
  f.StopAfterCurrent();
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text,
            "File conversion process finished after the files being converted. 1 of 3 files converted, 2 not "
            "started.");

  // Everything converted before, and Skip converted files on: nothing to do,
  // and the message says so.
  Dialogs.Messages.clear();
  f.ChkOverwrite->setChecked(true);
  Dialogs.Answers = {true};
  ConvertAll();
  Dialogs.Messages.clear();
  f.ChkSkipConverted->setChecked(true);
  Dialogs.Answers = {true};  // convert the completed ones again: each is skipped
  f.BtnStartClick();
  EXPECT_TRUE(Idle());
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, kFinished + " Nothing was converted (4 files already converted).");
}

TEST_F(RunTest, AFileCutShortReadsShorterAndIsCounted) {
  TForm1& f = Make();
  // A 10 s MP4 (its index first) of which only the start is left: its header still says 10 s.
  TClipSpec recipe = ClipSpecByName("mp4_faststart");
  recipe.DurationSeconds = 10;
  const std::string trunc = Dir / "trunc.mp4";
  std::string error;
  ASSERT_TRUE(MakeClip(recipe, trunc, &error)) << error;
  fs::resize_file(trunc, fs::file_size(trunc) / 5);
  Add(Q({trunc, Clip("avi_xvid", "whole.avi", 3.0)}));
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColDuration), "00:00:10");
  ConvertAll();
  const QRegularExpression shorter("^Completed \\(shorter: 0:00:0[0-3] of 0:00:10\\)$");
  EXPECT_TRUE(shorter.match(Status(0)).hasMatch()) << Status(0).toStdString();
  EXPECT_EQ(Status(1), "Completed") << "a whole file is not shorter";
  const QString reason = f.Lvw->topLevelItem(0)->toolTip(TQueueList::ColStatus);
  EXPECT_TRUE(reason.startsWith("'trunc.mp4' came out shorter: 0:00:0")) << reason.toStdString();
  EXPECT_TRUE(reason.endsWith(" of 0:00:10: the file ends before its header says.")) << reason.toStdString();
  EXPECT_TRUE(f.MemLog->toPlainText().contains("trunc: " + reason));
  ASSERT_FALSE(Dialogs.Messages.empty());
  EXPECT_EQ(Dialogs.Messages.back().Text, kFinished + " 1 of 2 files came out shorter:\n\n" + reason);
  EXPECT_EQ(Dialogs.Messages.back().Icon, TMessageIcon::Information);
  EXPECT_EQ(f.Lvw->CountRows(TRowState::Completed), 2);
  // The Duration cell tells the length found, as the status does.
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColDuration), "0" + Status(0).mid(20, 7)) << Status(0).toStdString();
}

TEST_F(RunTest, TheDurationColumnTakesTheLengthTheConversionFound) {
  TForm1& f = Make();
  // Four MPEG program streams one after the other: each starts its clock
  // again, so the header's length is the last one's, a quarter of the file.
  const std::string part = Clip("mpeg1_ps", "part.mpg", 1.0);
  const std::string joined = Dir / "joined.mpg";
  {
    std::ofstream out(joined, std::ios::binary);
    for (int i = 0; i < 4; ++i) {
      std::ifstream in(part, std::ios::binary);
      out << in.rdbuf();
    }
  }
  Add(Q({joined, Clip("avi_xvid", "whole.avi", 3.0)}));
  ASSERT_EQ(f.Lvw->RowCount(), 2);
  ASSERT_EQ(f.Lvw->Cell(0, TQueueList::ColDuration), "00:00:01");
  ASSERT_EQ(f.Lvw->Cell(1, TQueueList::ColDuration), "00:00:03");
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed"}));
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColDuration), "00:00:04") << "the real length replaces the header's";
  EXPECT_EQ(f.Lvw->Cell(1, TQueueList::ColDuration), "00:00:03") << "a right header stays";
}

TEST(BatchRunTest, ADurationIsCorrectedWhenTheHeaderToldNoneOrWasMoreThanASecondOff) {
  const struct {
    int64_t RealMs, HeaderMs;
    bool Corrected;
  } cases[] = {
      {400000, 10000, true}, {400, 10000, true},   {12000, -1, true},    {12000, 0, true},
      {11001, 10000, true},  {8999, 10000, true},  {11000, 10000, false}, {9000, 10000, false},
      {10040, 10000, false}, {0, 10000, false},    {-1, -1, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DurationNeedsCorrection(c.RealMs, c.HeaderMs), c.Corrected) << c.RealMs << " against " << c.HeaderMs;
}

TEST_F(RunTest, APartFileThatCannotBeRemovedIsNamedWithItsSize) {
  TForm1& f = Make();
  Add(Q({Long("long.avi")}));
  f.BtnStartClick();
  // The output folder turns read-only while the file converts: the output
  // can neither take its name nor be removed.
  ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
  std::unique_ptr<TReadOnlyFolder> locked = std::make_unique<TReadOnlyFolder>(Out);
  if (!locked->Ok()) {
    f.BtnStartClick();
    GTEST_SKIP() << "cannot make a folder read-only here";
  }
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  const std::vector<std::string> left = FilesIn(Out);
  locked.reset();
  ASSERT_EQ(left.size(), 1u);
  const std::string part = Out + "/" + left[0];
  EXPECT_TRUE(TOutputTarget::IsTemporaryName(left[0])) << left[0];
  EXPECT_EQ(Status(0), "Failed");
  const QString reason = f.Lvw->topLevelItem(0)->toolTip(TQueueList::ColStatus);
  const QRegularExpression named(QRegularExpression::escape(QString::fromStdString(
                                     "The unfinished output '" + part + "' (")) +
                                 "\\d+\\.\\d [kM]B\\) could not be removed: \\w");
  EXPECT_TRUE(named.match(reason).hasMatch()) << reason.toStdString();
  EXPECT_TRUE(reason.startsWith("Could not write 'long.mp4' in " + QString::fromStdString(Out) + ": "))
      << reason.toStdString();
  EXPECT_TRUE(named.match(f.MemLog->toPlainText()).hasMatch()) << f.MemLog->toPlainText().toStdString();
  fs::remove(part);
}

TEST_F(RunTest, PowerOffIsAskedOnceBeforeTheFinishMessage) {
  TForm1& f = Make();
  f.ChkShutdown->setChecked(true);
  f.GBOutput->SpinVideo->setValue(777);
  // The power-off ends the program before a close: the settings are written first.
  QString videoAtPowerOff;
  PowerOff.OnPowerOff = [&] {
    videoAtPowerOff = QSettings(SettingsPath(), QSettings::IniFormat).value("Options/VideoQuality").toString();
  };
  Add(Q({Clip("avi_xvid", "a.avi"), Clip("mpeg1_ps", "b.mpg")}));
  ConvertAll();
  EXPECT_EQ(videoAtPowerOff, "777");
  EXPECT_EQ(PowerOff.Calls, 1);
  EXPECT_EQ(*Dialogs.Order, (std::vector<std::string>{"power-off", "message: " + kFinished.toStdString()}));
}

TEST_F(RunTest, NoNotificationWhileTheWindowIsInFront) {
  TForm1& f = Make();
  f.show();
  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  Add(Q({Clip("avi_xvid", "a.avi")}));
  ConvertAll();
  EXPECT_EQ(Status(0), "Completed");
  EXPECT_TRUE(Dialogs.Notifications.empty());
  // Another window in front: the same batch is announced.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  Dialogs.Answers = {true};  // convert the completed one again
  ConvertAll();
  EXPECT_EQ(Dialogs.Notifications, (std::vector<std::pair<QString, QString>>{{"Vidlomat", "1 file converted"}}));
}

TEST_F(RunTest, TheWindowsDefaultHasNoPowerOff) {
  TForm1& f = Make(false);
  EXPECT_EQ(f.PowerOff(), nullptr);
  f.ChkShutdown->setChecked(true);
  Add(Q({Clip("avi_xvid", "a.avi")}));
  ConvertAll();
  EXPECT_EQ(Status(0), "Completed");
  EXPECT_EQ(Messages(kFinished), 1);
}

TEST_F(RunTest, ConvertWithAnEmptyListOnlySaysSo) {
  TForm1& f = Make();
  f.BtnStartClick();
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "Please select files to be converted.");
  EXPECT_EQ(Dialogs.Messages[0].Title, "Information");
  EXPECT_EQ(Dialogs.Messages[0].Icon, TMessageIcon::Information);
  EXPECT_TRUE(Idle());
  ExpectIdleControls();
  EXPECT_FALSE(fs::exists(Out));
}

TEST(ProgressTextTest, PercentagesTimesAndUnknownTotals) {
  const struct {
    int Current, Total;
    const char* Status;
  } cases[] = {{30000, 120000, "25% Completed"},  {0, 120000, "0% Completed"},
               {119999, 120000, "99% Completed"}, {120000, 120000, "99% Completed"},
               // Longer than its header said: not 100% for minutes, the time converted instead.
               {130000, 120000, "00:02:10 converted"}, {400000, 10000, "00:06:40 converted"},
               {-5, 120000, "0% Completed"},      {2000000000, 2100000000, "95% Completed"},
               {30000, -1, "00:00:30 converted"}, {3723000, 0, "01:02:03 converted"}};
  for (const auto& c : cases)
    EXPECT_EQ(StatusText(ProgressStatus(c.Current, c.Total)), c.Status) << c.Current << "/" << c.Total;
  EXPECT_EQ(ProgressLine(750, 30000, 25), "Current Frame=750 Time=30 FPS=25");
  EXPECT_EQ(ProgressLine(1, 999, 0), "Current Frame=1 Time=0 FPS=0");
}

TEST_F(RunTest, TwoFilesAtTheSameTimeEachOnItsOwnRow) {
  if (MaxFilesAtTheSameTime() < 2) GTEST_SKIP() << "one core";
  TForm1& f = Make();
  f.SpinParallel->setValue(2);
  Add(Q({Long("a.avi"), Long("b.avi"), Long("c.avi")}));
  f.BtnStartClick();
  // Both first files convert at once; the third waits.
  auto converting = [&](int Row) { return f.Lvw->Status(Row).State == TRowState::Converting; };
  ASSERT_TRUE(PumpUntil([&] { return converting(0) && converting(1); }))
      << Status(0).toStdString() << " / " << Status(1).toStdString();
  EXPECT_EQ(Status(2), " ");
  f.BtnStartClick();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Stopped", "Stopped", " "}));
  ExpectIdleControls();

  // Two short files, both to the end, each on its own row.
  f.Lvw->clear();
  Add(Q({Clip("avi_xvid", "d.avi", 3.0), Clip("mpeg1_ps", "e.mpg", 1.0)}));
  ConvertAll();
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed"}));
  EXPECT_EQ(Messages(kFinished), 1);
  for (const char* name : {"d.mp4", "e.mp4"}) {
    const TFileFacts facts = ReadFacts(Out + "/" + name);
    EXPECT_TRUE(facts.Opened) << name << ": " << facts.Error;
  }
}

TEST(BatchProgressTest, SharesAndEstimatesFromDurationsAndEvents) {
  TBatchRun run;
  run.Begin(2);
  run.AddTask(0, 10000);
  run.AddTask(2, -1);  // duration unknown at the set-up
  run.AddTask(3, 20000);
  auto expect = [&](int64_t Elapsed, int Done, int Percent, int64_t Left) {
    const TBatchProgress p = run.Progress(Elapsed);
    EXPECT_EQ(p.Total, run.TaskCount());
    EXPECT_EQ(p.Done, Done);
    EXPECT_EQ(p.Percent, Percent);
    EXPECT_EQ(p.LeftMs, Left);
    EXPECT_EQ(p.ElapsedMs, Elapsed);
  };
  // The unknown file weighs the mean of the known ones (15 s): 45 s in all.
  expect(0, 0, 0, -1);
  EXPECT_EQ(run.CurrentRows(), (std::vector<int>{0, 2}));
  run.TaskProgress(0, 4500, 10000);
  expect(500, 0, 10, -1);  // nothing estimated during the first second
  expect(3000, 0, 10, 27000);
  run.TaskProgress(1, 7000, 0);  // an unknown total counts nothing until the end
  run.TaskEnded(0);
  expect(6000, 1, 22, 21000);
  EXPECT_EQ(run.CurrentRows(), (std::vector<int>{2, 3}));
  // A known total in a later event gives the file its weight: 10 + 30 + 20 s.
  run.TaskProgress(1, 20000, 30000);
  expect(6000, 1, 50, 6000);
  // A file converting past its length weighs what it converted, and the
  // batch is neither full nor estimated before it ends.
  run.TaskProgress(2, 99999, 20000);
  run.TaskEnded(1);
  expect(9000, 2, 99, -1);
  run.TaskEnded(2);
  expect(9000, 3, 100, 0);
  EXPECT_TRUE(run.CurrentRows().empty());
  // A progress total above the probed length replaces it; a smaller one does not.
  run.Begin();
  run.AddTask(0, 10000);
  run.AddTask(1, 10000);
  run.TaskProgress(0, 5000, 30000);
  expect(2000, 0, 12, 14000);
  run.TaskProgress(1, 2000, 4000);
  expect(2000, 0, 17, 9429);

  // No duration known at all: the files themselves are counted.
  run.Begin();
  run.AddTask(0);
  run.AddTask(1);
  run.TaskProgress(0, 5000, -1);
  expect(2000, 0, 0, -1);
  EXPECT_EQ(run.CurrentRows(), (std::vector<int>{0}));
  run.TaskEnded(0);
  const TBatchProgress half = run.Progress(4000);
  EXPECT_EQ(half.Percent, 50);
  EXPECT_EQ(half.LeftMs, 4000);

  EXPECT_EQ(BatchProgressLine({1, 3, 50, 12000, 30000}), "1 of 3 files done, 00:00:12 elapsed, about 00:00:30 left");
  EXPECT_EQ(BatchProgressLine({0, 2, 0, 3723000, -1}), "0 of 2 files done, 01:02:03 elapsed, estimating time left");
}

TEST_F(RunTest, StopWhileAProgressEventIsDeliveredCannotDeadlock) {
  TWatchdog watchdog(120s, "Stop during a progress event");
  TForm1& f = Make();
  Add(Q({Long("a.avi")}));
  f.BtnStartClick();
  // The window's handler returns without the user-interface thread: called
  // from another thread while this one runs no events, it comes back at once.
  const uint64_t run = f.Run().RunId();
  auto handed = std::async(std::launch::async, [&] { f.QuilloCProgress(run, 0, 12, 30, 30000, 120000); });
  ASSERT_EQ(handed.wait_for(10s), std::future_status::ready);
  PumpUntil([&] { return Status(0) == "25% Completed"; }, 5s);

  // Each progress event now lingers under the component's lock; Stop is
  // pressed while one is being delivered.
  std::atomic<bool> delivering{false};
  f.QuilloC.OnProgress = [&f, &delivering, run](int AIndex, int AFrame, int AFPS, int ACurrent, float, float,
                                                 int64_t, int ATotal) {
    f.QuilloCProgress(run, AIndex, AFrame, AFPS, ACurrent, ATotal);
    delivering = true;
    std::this_thread::sleep_for(300ms);
  };
  ASSERT_TRUE(PumpUntil([&] { return delivering.load(); }));
  f.BtnStartClick();
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Status(0), "Stopped");
}

TEST_F(RunTest, ClosingDuringARunEndsPromptlyAndLeavesNoEmptyOutput) {
  TForm1& f = Make();
  Add(Q({Long("a.avi"), Clip("avi_xvid", "b.avi")}));
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(f.close());
  Form.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // Neither the stopped file (half written) nor the next one is left, not
  // even as a temporary file.
  EXPECT_EQ(FilesIn(Out), std::vector<std::string>{});
  EXPECT_TRUE(QFile::exists(SettingsPath())) << "the settings are written after the run stopped";
}

TEST_F(RunTest, TerminateInterruptAndHangUpCloseLikeTheCloseButton) {
  for (int signal : TCloseOnSignals::kSignals) {
    SCOPED_TRACE(strsignal(signal));
    TForm1& f = Make();
    f.show();
    f.GBOutput->SpinVideo->setValue(700 + signal);
    int quits = 0;
    TCloseOnSignals closer(&f, [&] { ++quits; });
    Add(Q({Long("a" + std::to_string(signal) + ".avi")}));
    f.BtnStartClick();
    ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
    // The temporary output is there while the file converts.
    ASSERT_EQ(FilesIn(Out).size(), 1u);
    ASSERT_EQ(std::raise(signal), 0);
    ASSERT_TRUE(PumpUntil([&] { return quits > 0; }, 30s)) << "the signal did not close the window";
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(quits, 1);
    Form.reset();
    EXPECT_EQ(FilesIn(Out), std::vector<std::string>{}) << "no temporary output is left";
    EXPECT_EQ(QSettings(SettingsPath(), QSettings::IniFormat).value("Options/VideoQuality").toInt(), 700 + signal);
  }
}

TEST_F(RunTest, AHangUpIgnoredAtStartLeavesTheBatchAlone) {
  // As under nohup: SIGHUP is ignored before the handlers are installed.
  struct sigaction ignore = {}, before = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
  struct TRestore {
    struct sigaction& Before;
    ~TRestore() { sigaction(SIGHUP, &Before, nullptr); }
  } restore{before};
  TForm1& f = Make();
  f.show();
  int quits = 0;
  {
    TCloseOnSignals closer(&f, [&] { ++quits; });
    Add(Q({Long("hup.avi")}));
    f.BtnStartClick();
    ASSERT_TRUE(PumpUntil([&] { return Status(0).endsWith("% Completed"); }));
    ASSERT_EQ(std::raise(SIGHUP), 0);
    PumpFor(500ms);
    EXPECT_EQ(quits, 0) << "the hang-up closed the window";
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(Idle()) << "the batch goes on";
    // The other signals still close it.
    ASSERT_EQ(std::raise(SIGTERM), 0);
    ASSERT_TRUE(PumpUntil([&] { return quits > 0; }, 30s));
  }
  struct sigaction after = {};
  sigaction(SIGHUP, nullptr, &after);
  EXPECT_TRUE(after.sa_handler == SIG_IGN) << "no longer ignored once the handlers are gone";
}

TEST_F(RunTest, ATelevisionFrameRateUnderACommaLocaleReachesTheFile) {
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup.sh generates de_DE.UTF-8";
  TForm1& f = Make();
  f.GBOutput->CboFrameRate->setCurrentText("29.97");
  Add(Q({Clip("avi_xvid", "a.avi")}));
  ConvertAll();
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(Status(0), "Completed");
  EXPECT_EQ(VideoRate(Out + "/a.mp4"), (std::pair<int, int>{30000, 1001}));
}

TEST(BatchProgressTest, EachFilesRateIsMeasuredFromItsOwnStartLeavingOutTheLoudnessPass) {
  TBatchRun run;
  run.Begin(2);
  for (int row = 0; row < 3; ++row) run.AddTask(row, 10000);
  EXPECT_EQ(run.MeasuredFps(0, 100, 5000), -1) << "nothing converts before the start";
  run.Started(1000);
  run.TaskEnded(1, 3000);  // the third file takes the second one's place at 3 s
  const struct {
    int Task, Frames;
    int64_t Now;
    int Fps;
  } cases[] = {{0, 300, 1500, 600}, {0, 30, 1000, -1}, {2, 90, 4000, 90}, {2, 10, 2000, -1}, {7, 10, 9000, -1},
               // Events without pictures (the loudness pass) move the clock on.
               {0, 0, 1200, -1}, {0, 0, 1400, -1}, {0, 60, 1700, 200}};
  for (const auto& c : cases) EXPECT_EQ(run.MeasuredFps(c.Task, c.Frames, c.Now), c.Fps) << c.Task << "@" << c.Now;
}

TEST_F(RunTest, TheProgressLineStartsEmptyNamesItsFileAndHasARateFromTheStart) {
  const bool two = MaxFilesAtTheSameTime() >= 2;
  TForm1& f = Make();
  f.SpinParallel->setValue(two ? 2 : 1);
  Add(Q({Long("a.avi"), Long("b.avi")}));
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return !f.LblProgress->text().isEmpty(); }));
  const QString first = f.LblProgress->text();
  static const QRegularExpression line("^(?:([ab]): )?Current Frame=(\\d+) Time=\\d+ FPS=(\\d+)$");
  const QRegularExpressionMatch m = line.match(first);
  ASSERT_TRUE(m.hasMatch()) << first.toStdString();
  EXPECT_EQ(m.captured(1).isEmpty(), !two) << "with files at the same time the line names its file";
  if (m.captured(2).toInt() > 0) {
    EXPECT_GT(m.captured(3).toInt(), 0) << first.toStdString();
  }
  f.BtnStartClick();
  ASSERT_TRUE(Idle());
  f.BtnStartClick();
  EXPECT_EQ(f.LblProgress->text(), "") << "a new run shows no line of the last one";
  f.BtnStartClick();
}

}  // namespace

namespace {

TEST(BatchRunTest, TheConvertAgainQuestionCountsInWords) {
  EXPECT_EQ(ConvertAgainText(1), "1 file is already converted. Convert it again?");
  EXPECT_EQ(ConvertAgainText(5), "5 files are already converted. Convert them again?");
}

TEST_F(RunTest, ConvertAgainAsksBeforeConvertingCompletedFilesAgain) {
  TForm1& f = Make(false);
  Add(Q({Clip("avi_xvid", "a.avi"), Clip("mpeg1_ps", "b.mpg")}));
  ConvertAll();
  ASSERT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed"}));
  // An output written anew is a new file (its part file renamed over the
  // old one); its dates are its source's.
  auto written = [&](const char* Name) {
    struct stat st {};
    return ::stat((Out + "/" + Name).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
  };
  const auto aTime = written("a.mp4"), bTime = written("b.mp4");
  // A file of the same name joins the list: the converted a keeps its output.
  fs::create_directories(Dir / "other");
  const std::string third = Dir / "other/a.mov";
  fs::copy_file(Clip("mov_mpeg4_aac", "x.mov"), third);
  Add(Q({third}));
  ASSERT_EQ(f.Lvw->RowCount(), 3);
  EXPECT_EQ(f.Lvw->Cell(2, TQueueList::ColOutput), "a(1)");
  Dialogs.Messages.clear();

  // No (also the answer of Enter and Escape): only the rest is converted.
  Dialogs.Answers = {false};
  ConvertAll();
  ASSERT_EQ(Dialogs.Questions.size(), 1u);
  EXPECT_EQ(Dialogs.Questions[0].second, "2 files are already converted. Convert them again?");
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed", "Completed"}));
  EXPECT_EQ(written("a.mp4"), aTime);
  EXPECT_EQ(written("b.mp4"), bTime);
  EXPECT_TRUE(ReadFacts(Out + "/a(1).mp4").Opened);
  EXPECT_EQ(Messages(kFinished), 1);

  // All converted and No: nothing starts, nothing is said.
  Dialogs.Answers = {false};
  f.BtnStartClick();
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Dialogs.Questions.size(), 2u);
  EXPECT_EQ(Messages(kFinished), 1);
  EXPECT_EQ(written("a.mp4"), aTime);

  // Yes: every file is converted again (written over, Overwrite being on).
  Dialogs.Answers = {true};
  ConvertAll();
  EXPECT_EQ(Dialogs.Questions.back().second, "3 files are already converted. Convert them again?");
  EXPECT_EQ(Statuses(), (std::vector<QString>{"Completed", "Completed", "Completed"}));
  EXPECT_NE(written("a.mp4"), aTime);
  EXPECT_NE(written("b.mp4"), bTime);
  EXPECT_EQ(Messages(kFinished), 2);
}

TEST_F(RunTest, TheListFollowsTheFileBeingConvertedUnlessTheUserScrolled) {
  TForm1& f = Make(false);
  QStringList files;
  for (int i = 0; i < 12; ++i) files << QString::fromStdString(Clip("avi_xvid", "f" + std::to_string(i) + ".avi", 0.3));
  Add(files);
  ASSERT_EQ(f.Lvw->RowCount(), 12);
  f.show();
  f.resize(f.minimumSize());  // a list of a few rows
  PumpFor(50ms);
  QScrollBar* bar = f.Lvw->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0) << "the list shows every row";
  auto shown = [&](int Row) {
    return f.Lvw->viewport()->rect().contains(f.Lvw->visualItemRect(f.Lvw->topLevelItem(Row)));
  };
  ASSERT_FALSE(shown(11));
  // The last file converting is in view at the end of the batch.
  ConvertAll();
  EXPECT_TRUE(shown(11));
  EXPECT_GT(bar->value(), 0);

  // The user looks at the top while the batch runs: the list stays there.
  f.Lvw->FollowPauseMs = 600000;
  Dialogs.Answers = {true};
  f.BtnStartClick();
  bar->triggerAction(QAbstractSlider::SliderToMinimum);
  ASSERT_TRUE(PumpUntil([&] { return Idle(); }, 120s));
  EXPECT_EQ(bar->value(), 0);
  EXPECT_FALSE(shown(11));
}

TEST_F(RunTest, LogLinesOfFilesWithTheSameNameCarryRowAndFolder) {
  TForm1& f = Make(false);
  f.ChkOverwrite->setChecked(false);
  for (const char* folder : {"one", "two", "three"}) fs::create_directories(Dir / folder);
  const std::string first = Dir / "one/clip.avi", second = Dir / "two/clip.avi", third = Dir / "three/clip.avi";
  fs::copy_file(Clip("avi_xvid", "x.avi"), first);
  fs::copy_file(Clip("avi_xvid", "x.avi"), second);
  fs::copy_file(Clip("avi_xvid", "x.avi"), third);
  Add(Q({first, Clip("mpeg1_ps", "other.mpg"), second, third}));
  ConvertAll();
  ASSERT_EQ(Statuses(), (std::vector<QString>(4, "Completed")));
  const QStringList lines = f.MemLog->toPlainText().split('\n');
  const QString prefixes[] = {"clip (row 1, " + QString::fromStdString(Dir / "one") + "): ", "other: ",
                              "clip (row 3, " + QString::fromStdString(Dir / "two") + "): ",
                              "clip (row 4, " + QString::fromStdString(Dir / "three") + "): "};
  for (const QString& prefix : prefixes)
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(prefix); }))
        << prefix.toStdString();
  for (const QString& line : lines) EXPECT_FALSE(line.startsWith("clip: ")) << line.toStdString();
}

}  // namespace
