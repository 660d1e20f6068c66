// The list kept between starts: its file format, damaged files, the window
// bringing it back, and a program killed in the middle of a batch.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "ListStore.h"
#include "QueueList.h"
#include "WindowTestSupport.h"

namespace {

std::vector<std::string> FilesIn(const std::string& Folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(Folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<TStoredRow> ReadList(const std::string& Path) {
  std::vector<TStoredRow> rows;
  std::string error;
  EXPECT_TRUE(ParseList(ReadFile(Path), rows, error)) << error;
  return rows;
}

}  // namespace

TEST(ListFormatTest, EveryStatusAndAnyBytesComeBackAsWritten) {
  using S = TRowState;
  const std::vector<TStoredRow> rows = {
      {S::Listed, "/v/clip.avi", "clip", "00:00:59", "AVI", "clip"},
      {S::Waiting, "/v/tab\there/new\nline/cr\r.mkv", "cr\r", "", "MKV", "cr\r(1)"},
      {S::Converting, "/v/100% sure %41.mp4", "100% sure %41", "01:00:00", "MP4", "100% sure %41"},
      {S::Completed, std::string("/v/latin1-\xe9\xff\x01\x7f.avi"), "latin1-\xef\xbf\xbd", "00:00:01", "AVI", "x"},
      {S::Stopped, "/v/a b  c.mov", "a b  c", "00:00:02", "MOV", ""},
      {S::Failed, "/f", "f", "", "", "f"},
      {S::Skipped, "/s.ts", "s", "00:00:03", "TS", "s"},
      {S::NotFound, "/gone.vob", "gone", "00:00:04", "VOB", "gone"},
      {S::AlreadyConverted, "/done.mkv", "done", "00:00:05", "MKV", "done"},
      {S::Listed, "/v/2019/Summer/sea.mp4", "sea", "00:00:06", "MP4", "sea", "2019/Summer"},
      {S::Listed, "/v/t/x.avi", "x", "", "AVI", "x", "tab\there/%"},
  };
  const std::string text = FormatList(rows);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(rows.size()) + 2)
      << "one line per row, line breaks inside names escaped";
  std::vector<TStoredRow> back;
  std::string error;
  ASSERT_TRUE(ParseList(text, back, error)) << error;
  EXPECT_EQ(back, rows);
  ASSERT_TRUE(ParseList(FormatList({}), back, error)) << error;
  EXPECT_TRUE(back.empty());
}

TEST(ListFormatTest, ARowWithoutItsTreeFolderHasNone) {
  // A list written before rows kept their tree folder: six fields a row.
  const std::string text = "Vidlomat list 1\nwaiting\t/a.avi\ta\t\tAVI\ta\nlisted\t/b/c.avi\tc\t\tAVI\tc\tb\nend\t2\n";
  std::vector<TStoredRow> rows;
  std::string error;
  ASSERT_TRUE(ParseList(text, rows, error)) << error;
  EXPECT_EQ(rows, (std::vector<TStoredRow>{{TRowState::Waiting, "/a.avi", "a", "", "AVI", "a", ""},
                                           {TRowState::Listed, "/b/c.avi", "c", "", "AVI", "c", "b"}}));
}

TEST(ListFormatTest, DamagedTextsAreRefusedWithAReason) {
  const std::string good = FormatList({{TRowState::Waiting, "/a.avi", "a", "", "AVI", "a"},
                                       {TRowState::Completed, "/b.avi", "b", "", "AVI", "b"}});
  std::string noEnd = good.substr(0, good.rfind("end"));
  std::string cut = good.substr(0, good.size() - 1);
  std::string middle = good.substr(0, good.size() / 2);
  auto replaced = [&](const std::string& From, const std::string& To) {
    std::string t = good;
    t.replace(t.find(From), From.size(), To);
    return t;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty"},
      {std::string("\0\0\0\0", 4), "zeros of a lost write"},
      {"Vidlomat list 1\n", "header alone"},
      {noEnd, "no end line"},
      {cut, "last line break missing"},
      {middle, "cut in the middle"},
      {replaced("Vidlomat list 1", "Vidlomat list 2"), "another format"},
      {replaced("end\t2", "end\t3"), "a row missing"},
      {replaced("end\t2", "end\t1"), "a row too many"},
      {replaced("waiting", "running"), "unknown status"},
      {replaced("\tAVI\ta\t\n", "\tAVI\n"), "fields missing"},
      {replaced("\tAVI\ta\t\n", "\tAVI\ta\t\tx\n"), "a field too many"},
      {replaced("/a.avi", "/a%G0.avi"), "escape not hex"},
      {replaced("/a.avi", "/a%4"), "escape cut short"},
      {replaced("/a.avi", "/a%4a"), "escape in lower case"},
      {replaced("/a.avi", ""), "no file named"},
  };
  for (const auto& [text, what] : cases) {
    std::vector<TStoredRow> rows;
    std::string error;
    EXPECT_FALSE(ParseList(text, rows, error)) << what;
    EXPECT_FALSE(error.empty()) << what;
  }
}

TEST(ListStoreTest, StatusesComeBackAsAUserExpectsAfterAStart) {
  TTempDir dir;
  for (const char* name : {"a", "b", "c", "d", "e"}) WriteFile(dir / name, "x");
  using S = TRowState;
  // State written, whether the file is still there, state read back.
  const struct {
    S Saved;
    bool Present;
    S Restored;
  } cases[] = {
      {S::Converting, true, S::Waiting},   {S::Converting, false, S::NotFound}, {S::Completed, true, S::Completed},
      {S::Completed, false, S::Completed}, {S::Waiting, false, S::NotFound},    {S::Listed, true, S::Listed},
      {S::Failed, true, S::Failed},        {S::Stopped, true, S::Stopped},      {S::Skipped, true, S::Skipped},
      {S::NotFound, true, S::NotFound},
  };
  std::vector<TStoredRow> rows;
  for (const auto& c : cases) rows.push_back({c.Saved, c.Present ? dir / "a" : dir / "gone", "a", "", "", "a"});
  const std::string path = dir / "state/deep/Vidlomat/list";
  std::string error;
  ASSERT_TRUE(TListStore(path).Save(rows, error)) << error;
  EXPECT_EQ(FilesIn(dir / "state/deep/Vidlomat"), std::vector<std::string>{"list"}) << "no temporary file left";
  const TListStore::TLoaded loaded = TListStore(path).Load();
  EXPECT_EQ(loaded.Note, "");
  ASSERT_EQ(loaded.Rows.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(StatusText({loaded.Rows[i].State}), StatusText({cases[i].Restored})) << "row " << i;

  // A save over it replaces the whole list.
  ASSERT_TRUE(TListStore(path).Save({rows[2]}, error)) << error;
  EXPECT_EQ(ReadList(path), std::vector<TStoredRow>{rows[2]});
  // No file at all: an empty list and nothing to say.
  const TListStore::TLoaded none = TListStore(dir / "nothing/list").Load();
  EXPECT_TRUE(none.Rows.empty());
  EXPECT_EQ(none.Note, "");
  // A folder that cannot be written says why.
  std::filesystem::create_directory(dir / "locked");
  std::filesystem::permissions(dir / "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (::geteuid() != 0) {
    EXPECT_FALSE(TListStore(dir / "locked/list").Save(rows, error));
    EXPECT_NE(error.find("locked"), std::string::npos) << error;
  }
}

TEST(ListStoreTest, TheListLivesUnderTheStateFolder) {
  const QByteArray state = qgetenv("XDG_STATE_HOME"), home = qgetenv("HOME");
  qputenv("HOME", "/home/someone");
  const struct {
    const char* State;
    const char* Path;
  } cases[] = {{"/s", "/s/Vidlomat/list"},
               {"/s/", "/s/Vidlomat/list"},
               {"", "/home/someone/.local/state/Vidlomat/list"},
               {"relative/x", "/home/someone/.local/state/Vidlomat/list"}};
  for (const auto& c : cases) {
    qputenv("XDG_STATE_HOME", c.State);
    EXPECT_EQ(TListStore::DefaultPath(), c.Path) << c.State;
  }
  qunsetenv("XDG_STATE_HOME");
  EXPECT_EQ(TListStore::DefaultPath(), "/home/someone/.local/state/Vidlomat/list");
  qputenv("XDG_STATE_HOME", state);
  qputenv("HOME", home);
}

TEST(ListFormatTest, EveryWholeRowOfADamagedListIsReadAndTheLossCounted) {
  std::vector<TStoredRow> written;
  for (int i = 0; i < 400; ++i)
    written.push_back({TRowState::Waiting, "/v/clip" + std::to_string(i) + ".avi", "clip", "", "AVI", "clip"});
  const std::string good = FormatList(written);
  const size_t rowStart = good.find('\n') + 1;
  const size_t row10 = good.find("/v/clip10.avi") - std::string("waiting\t").size();
  auto lineEnd = [&](size_t At) { return good.find('\n', At) + 1; };
  const struct {
    std::string Text;
    size_t Rows;     // rows read back
    int Lost;        // as TListDamage counts it
    int BadLines;
    const char* Why;  // the start of the reason
  } cases[] = {
      // Cut in half: the half that is whole is kept, the end line is gone.
      {good.substr(0, good.size() / 2), 0, -1, 1, "line "},
      // One line of noise in the middle: only that row is lost.
      {good.substr(0, row10) + "\x01\x02garbage\n" + good.substr(lineEnd(row10)), 399, 1, 1, "line 12 has"},
      // The first line gone.
      {good.substr(rowStart), 400, 0, 0, "its first line is damaged"},
      // Cut through the end line: every row is there.
      {good.substr(0, good.size() - 3), 400, -1, 0, "the list is cut short"},
  };
  for (const auto& c : cases) {
    std::vector<TStoredRow> rows;
    std::string error;
    TListDamage damage;
    EXPECT_FALSE(ParseList(c.Text, rows, error, &damage)) << c.Why;
    if (c.Rows > 0) {
      EXPECT_EQ(rows.size(), c.Rows) << c.Why;
    }
    EXPECT_EQ(damage.Lost, c.Lost) << c.Why;
    EXPECT_EQ(damage.BadLines, c.BadLines) << c.Why;
    EXPECT_EQ(error.rfind(c.Why, 0), 0u) << error;
  }
  // The noise took row 10 and nothing else.
  std::vector<TStoredRow> noisy;
  std::string noisyError;
  ParseList(cases[1].Text, noisy, noisyError);
  std::vector<TStoredRow> expected = written;
  expected.erase(expected.begin() + 10);
  EXPECT_EQ(noisy, expected);
  std::vector<TStoredRow> half;
  std::string error;
  ParseList(good.substr(0, good.size() / 2), half, error);
  ASSERT_GT(half.size(), 150u);
  EXPECT_EQ(half, std::vector<TStoredRow>(written.begin(), written.begin() + static_cast<long>(half.size())));
  // Bytes that were never a list are not "cut short".
  for (const std::string& noise : {std::string("\x89PNG\r\n\x1a\n\0\0garbage"), std::string(64, '\0'),
                                   std::string("hello\tworld\n")}) {
    std::vector<TStoredRow> rows;
    EXPECT_FALSE(ParseList(noise, rows, error));
    EXPECT_EQ(error, "it is not a list of this program");
    EXPECT_TRUE(rows.empty());
  }
}

TEST(ListStoreTest, ADamagedOrUnreadableListIsKeptAsideWithEveryWholeRow) {
  TTempDir dir;
  const std::string path = dir / "list";
  WriteFile(dir / "a", "x");
  const std::string good = FormatList({{TRowState::Waiting, dir / "a", "a", "", "", "a"},
                                       {TRowState::Converting, dir / "a", "a", "", "", "a"},
                                       {TRowState::Waiting, dir / "gone", "g", "", "", "g"}});
  const std::string garbage = "\x89PNG garbage\n";
  // Cut in the last row: two rows back, the first as it was, the second
  // waiting again; the third lost.
  const std::string cut = good.substr(0, good.find(dir / "gone") + 3);
  WriteFile(path, cut);
  const TListStore::TLoaded partly = TListStore(path).Load();
  ASSERT_EQ(partly.Rows.size(), 2u);
  EXPECT_EQ(partly.Rows[1].State, TRowState::Waiting);
  EXPECT_EQ(partly.Interrupted, 1);
  EXPECT_NE(partly.Note.find("was damaged (line 4 has 2 fields instead of 7): 2 rows read back, at least 1 row lost."),
            std::string::npos)
      << partly.Note;
  EXPECT_FALSE(std::filesystem::exists(path));
  WriteFile(path, garbage);
  const TListStore::TLoaded none = TListStore(path).Load();
  EXPECT_TRUE(none.Rows.empty());
  EXPECT_NE(none.Note.find("could not be read (it is not a list of this program)"), std::string::npos) << none.Note;
  EXPECT_NE(none.Note.find("list starts empty"), std::string::npos) << none.Note;
  EXPECT_FALSE(std::filesystem::exists(path));
  // Both kept, each under its own name, each with what it held.
  std::vector<std::string> kept = FilesIn(dir.Path());
  std::erase(kept, "a");
  ASSERT_EQ(kept.size(), 2u);
  for (const std::string& name : kept) EXPECT_EQ(name.rfind("list.damaged-", 0), 0u) << name;
  EXPECT_EQ(ReadFile(dir / kept[0]), cut);
  EXPECT_EQ(ReadFile(dir / kept[1]), garbage);

  // A list that cannot be read at all (a folder in its place) goes aside too,
  // and the next save writes a new one.
  std::filesystem::create_directory(path);
  TListStore store(path);
  const TListStore::TLoaded unreadable = store.Load();
  EXPECT_TRUE(unreadable.Rows.empty());
  EXPECT_NE(unreadable.Note.find("kept as"), std::string::npos) << unreadable.Note;
  std::string error;
  EXPECT_TRUE(store.Save({{TRowState::Listed, "/x", "x", "", "", "x"}}, error)) << error;
  EXPECT_EQ(ReadList(path).size(), 1u);
  EXPECT_EQ(FilesIn(dir.Path()).size(), 5u);
}

TEST_F(WindowTest, TheListIsSavedOnEveryChangeAndComesBackAtTheNextStart) {
  const std::string a = Clip("avi_xvid", "a.avi", 0.5), b = Clip("avi_xvid", "b.avi", 0.5),
                    c = Clip("avi_xvid", "c.avi", 0.5);
  MakeForm();
  const std::string path = Form->ListStore().Path();
  EXPECT_EQ(path, Config / "state/Vidlomat/list");
  // The list is written on a thread of its own: a test waits for it.
  auto settle = [&] {
    PumpFor(std::chrono::milliseconds(50));
    Form->ListSaver().Flush();
  };
  auto saved = [&] {
    std::vector<std::string> files;
    for (const TStoredRow& row : ReadList(path)) files.push_back(row.Path + "=" + StatusText({row.State}));
    return files;
  };
  Add(Q({a, b, c}));
  settle();
  EXPECT_EQ(saved(), (std::vector<std::string>{a + "=", b + "=", c + "="})) << "added";
  Form->Lvw->SelectRow(2);
  Form->BtnMoveUpClick();
  settle();
  EXPECT_EQ(saved(), (std::vector<std::string>{a + "=", c + "=", b + "="})) << "moved";
  Form->Lvw->SelectRow(0);
  Form->BtnRemoveClick();
  settle();
  EXPECT_EQ(saved(), (std::vector<std::string>{c + "=", b + "="})) << "removed";
  Form->Lvw->SetStatus(1, {TRowState::Completed});
  settle();
  EXPECT_EQ(saved(), (std::vector<std::string>{c + "=", b + "=Completed"})) << "status";

  // The next start: the rows as they were, a file gone since reads "not found".
  Form->close();
  Form.reset();
  std::filesystem::remove(c);
  MakeForm();
  ASSERT_EQ(Form->Lvw->RowCount(), 2);
  EXPECT_EQ(Form->Lvw->Path(0), c);
  EXPECT_EQ(Form->Lvw->Cell(0, TQueueList::ColInput), "c");
  EXPECT_EQ(Form->Lvw->Cell(0, TQueueList::ColType), "AVI");
  EXPECT_EQ(Form->Lvw->Cell(0, TQueueList::ColDuration), "00:00:00");
  EXPECT_EQ(Form->Lvw->Cell(0, TQueueList::ColStatus), "not found");
  EXPECT_EQ(Form->Lvw->Cell(1, TQueueList::ColStatus), "Completed");
  EXPECT_EQ(Form->Lvw->OutputName(1), "b");
  EXPECT_TRUE(Form->MemLog->toPlainText().isEmpty());
  // Clear empties the kept list too.
  Form->BtnClearClick();
  settle();
  EXPECT_TRUE(ReadList(path).empty());
}

TEST_F(WindowTest, ADamagedListStartsEmptyAndTheLogSaysSo) {
  std::filesystem::create_directories(Config / "state/Vidlomat");
  WriteFile(Config / "state/Vidlomat/list", "Vidlomat list 1\nwaiting\t/a.avi");
  MakeForm();
  Form->ListSaver().Flush();
  EXPECT_EQ(Form->Lvw->RowCount(), 0);
  EXPECT_TRUE(Form->MemLog->isVisibleTo(Form.get())) << "the log opens";
  EXPECT_TRUE(Form->MemLog->toPlainText().contains("could not be read")) << Form->MemLog->toPlainText().toStdString();
  const std::vector<std::string> kept = FilesIn(Config / "state/Vidlomat");
  ASSERT_EQ(kept.size(), 2u) << "the damaged file beside the new list";
  EXPECT_EQ(ReadFile(Config / "state/Vidlomat/" + kept[1]), "Vidlomat list 1\nwaiting\t/a.avi");
  EXPECT_TRUE(ReadList(Config / "state/Vidlomat/list").empty());
}

TEST_F(WindowTest, ThePartFileOfABatchThatWasCutOffGoesWhenTheListComesBack) {
  const std::string clip = Clip("avi_xvid", "clip.avi", 0.5);
  const std::string out = Dir / "out";
  std::filesystem::create_directories(out + "/2019");
  std::filesystem::create_directories(Config / "Vidlomat");
  WriteFile(Config / "Vidlomat/Options.ini", "[Options]\nOutputPath=" + out + "/\nKeepFolders=True\n");
  // What a program killed while converting clip.avi (found in 2019/ below the
  // folder added) left: its row converting, its part file; and a user's file.
  std::filesystem::create_directories(Config / "state/Vidlomat");
  WriteFile(Config / "state/Vidlomat/list",
            FormatList({{TRowState::Converting, clip, "clip", "", "AVI", "2019/clip", "2019"}}));
  const std::string part = out + "/2019/.clip.mp4.4242-1.vidlomat-part";
  WriteFile(part, "half a file");
  WriteFile(out + "/2019/.clip.mp4", "a user's hidden file");
  MakeForm();
  ASSERT_EQ(Form->Lvw->RowCount(), 1);
  EXPECT_EQ(Form->Lvw->Status(0).State, TRowState::Waiting);
  EXPECT_FALSE(std::filesystem::exists(part));
  EXPECT_EQ(FilesIn(out + "/2019"), std::vector<std::string>{".clip.mp4"});
  EXPECT_TRUE(Form->MemLog->toPlainText().contains(QString::fromStdString("Removed " + part + ", the unfinished output")))
      << Form->MemLog->toPlainText().toStdString();
}

TEST_F(WindowTest, AProgramKilledMidBatchBringsTheListBackWithTheInterruptedRowWaiting) {
  // The last clip is the longest, so the batch is still on it while the list
  // already holds a finished row.
  std::vector<std::string> clips;
  for (const auto& [name, seconds] : {std::pair{"one.avi", 4.0}, {"two.avi", 4.0}, {"three.avi", 30.0}})
    clips.push_back(Clip("avi_xvid", name, seconds));
  std::filesystem::create_directories(Config / "Vidlomat");
  WriteFile(Config / "Vidlomat/Options.ini", "[Options]\nOutputPath=" + Dir / "out/" + "\n");
  const std::string list = Config / "state/Vidlomat/list";

  QProcess program;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("HOME", QString::fromStdString(Dir.Path()));
  env.insert("XDG_CONFIG_HOME", QString::fromStdString(Config.Path()));
  env.insert("XDG_STATE_HOME", QString::fromStdString(Config / "state"));
  env.remove("DBUS_SESSION_BUS_ADDRESS");
  env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QString::fromStdString(Dir / "no-system-bus"));
  env.insert("ASAN_OPTIONS", "detect_leaks=0");
  program.setProcessEnvironment(env);
  program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QStringList arguments{"--convert"};
  for (const std::string& c : clips) arguments << QString::fromStdString(c);
  program.start(QCoreApplication::applicationDirPath() + "/vidlomat", arguments);
  ASSERT_TRUE(program.waitForStarted(30000));
  // Killed as soon as the kept list holds a finished row and a later one not
  // yet finished. How far the batch got by then depends on the machine, so
  // the list as the kill left it is what the next start must bring back.
  auto midBatch = [](const std::vector<TStoredRow>& Rows) {
    return Rows.size() == 3 && Rows[0].State == TRowState::Completed && Rows[2].State != TRowState::Completed;
  };
  const bool seen = PumpUntil(
      [&] {
        std::vector<TStoredRow> rows;
        std::string error;
        return ParseList(ReadFile(list), rows, error) && midBatch(rows);
      },
      std::chrono::seconds(120));
  ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
  ASSERT_TRUE(program.waitForFinished(30000));
  ASSERT_TRUE(seen) << "the list never held a finished row before the last one finished:\n" << ReadFile(list);
  std::vector<TStoredRow> atKill;
  std::string error;
  ASSERT_TRUE(ParseList(ReadFile(list), atKill, error)) << error;
  ASSERT_TRUE(midBatch(atKill)) << ReadFile(list);

  // The next start: the finished rows stay finished, the interrupted one and
  // the rest wait.
  MakeForm();
  ASSERT_EQ(Form->Lvw->RowCount(), 3);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(Form->Lvw->Path(r), clips[static_cast<size_t>(r)]);
    const bool finished = atKill[static_cast<size_t>(r)].State == TRowState::Completed;
    EXPECT_EQ(Form->Lvw->Status(r).State, finished ? TRowState::Completed : TRowState::Waiting) << r;
  }
  // Convert converts the list again, to its end.
  Form->BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return Form->Run().State() == TBatchRun::Idle; }, std::chrono::seconds(120)));
  for (int r = 0; r < 3; ++r) EXPECT_EQ(Form->Lvw->Cell(r, TQueueList::ColStatus), "Completed") << r;
  EXPECT_EQ(Dialogs.Messages.back().Text, "File conversion process finished.");
}
