// The real program on a virtual X server (Xvfb) with a window manager
// (openbox), driven from the keyboard with xdotool as a user would: focus and
// stacking only show there. All three programs come with scripts/setup.sh.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <optional>

#include "ComponentSupport.h"
#include "ConvertHelper.h"
#include "MyUtils.h"
#include "WindowTestSupport.h"

namespace {

using namespace std::chrono_literals;

// Checks Done every 100 ms until it holds or Timeout passes.
bool Poll(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  const auto end = std::chrono::steady_clock::now() + Timeout;
  for (;;) {
    if (Done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    QThread::msleep(100);
  }
}

class RealDisplayTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* program : {"Xvfb", "openbox", "xdotool", "xprop", "xwininfo"})
      ASSERT_FALSE(QStandardPaths::findExecutable(program).isEmpty())
          << program << " is missing: scripts/setup.sh installs it";
    // A display number of its own, told by the server once it listens.
    Xvfb.setProgram("Xvfb");
    Xvfb.setArguments({"-displayfd", "1", "-screen", "0", Screen, "-nolisten", "tcp"});
    Xvfb.start();
    ASSERT_TRUE(Xvfb.waitForStarted(30000)) << "Xvfb does not start";
    ASSERT_TRUE(Poll(
        [&] {
          Xvfb.waitForReadyRead(100);
          return Xvfb.canReadLine();
        },
        30s))
        << "Xvfb names no display";
    Display = ":" + QString::fromLatin1(Xvfb.readLine()).trimmed();
    Env = QProcessEnvironment::systemEnvironment();
    Env.remove("QT_QPA_PLATFORM");
    Env.remove("WAYLAND_DISPLAY");
    Env.remove("DBUS_SESSION_BUS_ADDRESS");
    Env.remove("XDG_STATE_HOME");  // the list is kept under the home folder below
    // No system service is reached: the sleep lock finds no logind.
    Env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QString::fromStdString(Home / "no-system-bus"));
    Env.insert("DISPLAY", Display);
    Env.insert("HOME", QString::fromStdString(Home.Path()));
    Env.insert("XDG_CONFIG_HOME", QString::fromStdString(Home / "config"));
    QDir().mkpath(QString::fromStdString(Home / "run"));
    QFile::setPermissions(QString::fromStdString(Home / "run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    Env.insert("XDG_RUNTIME_DIR", QString::fromStdString(Home / "run"));
    // The program's own leaks are not what this test is about (and the X
    // libraries keep theirs).
    Env.insert("ASAN_OPTIONS", "detect_leaks=0");
    Openbox.setProcessEnvironment(Env);
    Openbox.start("openbox", {});
    ASSERT_TRUE(Openbox.waitForStarted(30000));
    // The window manager is up once it tells the current desktop.
    ASSERT_TRUE(Poll([&] { return Xdotool({"get_desktop"}).has_value(); }, 30s)) << "openbox did not come up";
  }

  void TearDown() override {
    for (QProcess* p : {&Program, &Openbox, &Xvfb}) {
      if (p->state() == QProcess::NotRunning) continue;
      p->terminate();
      if (!p->waitForFinished(10000)) {
        p->kill();
        p->waitForFinished(10000);
      }
    }
  }

  // xdotool's standard output, or none when it failed.
  std::optional<QString> Xdotool(const QStringList& Arguments) {
    QProcess x;
    x.setProcessEnvironment(Env);
    x.start("xdotool", Arguments);
    if (!x.waitForFinished(20000) || x.exitStatus() != QProcess::NormalExit || x.exitCode() != 0) return {};
    return QString::fromUtf8(x.readAllStandardOutput()).trimmed();
  }
  QString ActiveWindowName() { return Xdotool({"getactivewindow", "getwindowname"}).value_or(QString()); }
  int VisibleWindowsOfProgram() {
    const auto ids = Xdotool({"search", "--onlyvisible", "--pid", QString::number(Program.processId())});
    return ids ? static_cast<int>(ids->split('\n', Qt::SkipEmptyParts).size()) : 0;
  }
  // Keys to the window that has the focus, as typed on a keyboard.
  void Keys(const QStringList& Keys) { ASSERT_TRUE(Xdotool(QStringList{"key", "--delay", "50"} + Keys).has_value()); }

  QString Screen = "1280x1024x24";
  TTempDir Home;
  QProcess Xvfb, Openbox, Program;
  QString Display;
  QProcessEnvironment Env;
};

TEST_F(RealDisplayTest, RefusalEnterInAFieldAndConvertFromTheKeyboard) {
  EnsureLibrariesLoaded();
  const std::string out = Home / "out";
  WriteFile(Home / "readme.avi", "a text file, not a video");
  std::filesystem::copy_file(TestClip("avi_xvid"), Home / "first.avi");
  std::filesystem::copy_file(TestClip("mpeg1_ps"), Home / "second.mpg");
  // Overwrite off: a second batch would write first(1).mp4.
  std::filesystem::create_directories(Home / "config/Vidlomat");
  WriteFile(Home / "config/Vidlomat/Options.ini", "[Options]\nOutputPath=" + out + "/\nOverwrite=False\n");

  // The files given to the program, a refused one first, are added with a
  // progress dialog: the refusal's box is in front, has the focus, and Enter
  // answers it; the other two files stay.
  Program.setProcessEnvironment(Env);
  Program.start(QCoreApplication::applicationDirPath() + "/vidlomat",
                {QString::fromStdString(Home / "readme.avi"), QString::fromStdString(Home / "first.avi"),
                 QString::fromStdString(Home / "second.mpg")});
  ASSERT_TRUE(Program.waitForStarted(30000));
  // The main window, the progress dialog (shown half a second into the work
  // at the latest) and the box.
  ASSERT_TRUE(Poll([&] { return VisibleWindowsOfProgram() == 3; }, 60s)) << VisibleWindowsOfProgram() << " windows";
  ASSERT_TRUE(Poll([&] { return ActiveWindowName().startsWith("Error"); }, 60s))
      << "the refusal is not the active window: " << ActiveWindowName().toStdString();
  Keys({"Return"});
  ASSERT_TRUE(Poll([&] { return VisibleWindowsOfProgram() == 1 && ActiveWindowName() == "Vidlomat"; }, 60s))
      << "the Add did not end with the main window in front: " << ActiveWindowName().toStdString() << ", "
      << VisibleWindowsOfProgram() << " windows";

  // Enter in the video bitrate field (reached by Alt+I) keeps the value and
  // starts nothing: no file appears in the output folder.
  Keys({"alt+i", "ctrl+a", "6", "0", "0", "Return"});
  EXPECT_FALSE(Poll([&] { return !FolderEntries(out).empty(); }, 3s)) << "Enter in a field started the batch";

  // Convert by its mnemonic: the two files are written once, then the finish
  // message has the focus and Enter closes it.
  Keys({"alt+v"});
  ASSERT_TRUE(Poll([&] { return ActiveWindowName().startsWith("Information"); }, 180s))
      << "no finish message: " << ActiveWindowName().toStdString();
  EXPECT_EQ(FolderEntries(out), (std::vector<std::string>{"first.mp4", "second.mp4"}));
  for (const char* name : {"/first.mp4", "/second.mp4"}) {
    const TFileFacts facts = ReadFacts(out + name);
    ASSERT_TRUE(facts.Opened) << name << ": " << facts.Error;
    ASSERT_NE(facts.First(AVMEDIA_TYPE_VIDEO), nullptr) << name;
    EXPECT_EQ(facts.First(AVMEDIA_TYPE_VIDEO)->Codec, "mpeg4") << name;
  }
  Keys({"Return"});
  ASSERT_TRUE(Poll([&] { return VisibleWindowsOfProgram() == 1 && ActiveWindowName() == "Vidlomat"; }, 30s));

  // A terminate signal closes it like its close button: the settings keep
  // the value confirmed with Enter.
  ::kill(static_cast<pid_t>(Program.processId()), SIGTERM);
  ASSERT_TRUE(Program.waitForFinished(60000)) << "the program did not end on SIGTERM";
  EXPECT_EQ(Program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(Program.exitCode(), 0);
  QSettings settings(QString::fromStdString(Home / "config/Vidlomat/Options.ini"), QSettings::IniFormat);
  EXPECT_EQ(settings.value("Options/VideoQuality").toString(), "600");
}

TEST_F(RealDisplayTest, AFileDeletedAfterAddIsSkippedWithoutABoxAndTheOthersConvert) {
  EnsureLibrariesLoaded();
  const std::string out = Home / "out";
  std::filesystem::create_directories(Home / "config/Vidlomat");
  WriteFile(Home / "config/Vidlomat/Options.ini", "[Options]\nOutputPath=" + out + "/\n");
  QStringList files;
  for (const char* name : {"one.avi", "two.avi", "three.avi", "four.avi"}) {
    std::filesystem::copy_file(TestClip("avi_xvid"), Home / name);
    files << QString::fromStdString(Home / name);
  }
  Program.setProcessEnvironment(Env);
  Program.start(QCoreApplication::applicationDirPath() + "/vidlomat", files);
  ASSERT_TRUE(Program.waitForStarted(30000));
  // Convert rests while the files are added: the kept list, saved as the
  // last row comes, tells that the Add is through.
  ASSERT_TRUE(Poll(
      [&] {
        return VisibleWindowsOfProgram() == 1 && ActiveWindowName() == "Vidlomat" &&
               ReadFile(Home / ".local/state/Vidlomat/list").find("four.avi") != std::string::npos;
      },
      60s));
  std::filesystem::remove(Home / "three.avi");
  Keys({"alt+v"});
  // No box comes until the batch is through: the first window after the
  // main one is the finish message, with the three outputs written.
  QString first;
  ASSERT_TRUE(Poll(
      [&] {
        if (VisibleWindowsOfProgram() < 2) return false;
        first = ActiveWindowName();
        return first != "Vidlomat";
      },
      180s));
  EXPECT_TRUE(first.startsWith("Information")) << "a box other than the finish message opened: " << first.toStdString();
  EXPECT_EQ(FolderEntries(out), (std::vector<std::string>{"four.mp4", "one.mp4", "two.mp4"}));
  // (Its text, which names the missing file, is checked offscreen in
  // RunTest.FilesRefusedAtTheStartAreSkipped.) Enter closes it.
  Keys({"Return"});
  ASSERT_TRUE(Poll([&] { return VisibleWindowsOfProgram() == 1; }, 30s));
  ::kill(static_cast<pid_t>(Program.processId()), SIGTERM);
  ASSERT_TRUE(Program.waitForFinished(60000));
}

TEST_F(RealDisplayTest, TerminateWhileTheAddSummaryOfConvertIsOpenStartsNothingAndEnds) {
  EnsureLibrariesLoaded();
  const std::string out = Home / "out";
  std::filesystem::create_directories(Home / "config/Vidlomat");
  WriteFile(Home / "config/Vidlomat/Options.ini", "[Options]\nOutputPath=" + out + "/\n");
  std::filesystem::create_directories(Home / "videos");
  std::filesystem::copy_file(TestClip("avi_xvid"), Home / "videos/clip.avi");
  WriteFile(Home / "videos/readme.avi", "a text file, not a video");
  Program.setProcessEnvironment(Env);
  Program.start(QCoreApplication::applicationDirPath() + "/vidlomat",
                {"--convert", QString::fromStdString(Home / "videos")});
  ASSERT_TRUE(Program.waitForStarted(30000));
  // The Add summary ("1 file added, 1 refused") is open in front of the window.
  ASSERT_TRUE(Poll([&] { return ActiveWindowName().startsWith("Information"); }, 60s)) << ActiveWindowName().toStdString();
  ::kill(static_cast<pid_t>(Program.processId()), SIGTERM);
  ASSERT_TRUE(Program.waitForFinished(60000)) << "the program did not end on SIGTERM";
  EXPECT_EQ(Program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(Program.exitCode(), 0);
  const QString errors = QString::fromUtf8(Program.readAllStandardError());
  EXPECT_FALSE(errors.contains("not loaded")) << errors.toStdString();
  EXPECT_TRUE(FolderEntries(out).empty()) << "the batch started after the close";

  // A second signal is never ignored: it ends the program at once, even
  // while the first one's close is under way.
  Program.start(QCoreApplication::applicationDirPath() + "/vidlomat",
                {"--convert", QString::fromStdString(Home / "videos")});
  ASSERT_TRUE(Program.waitForStarted(30000));
  ASSERT_TRUE(Poll([&] { return ActiveWindowName().startsWith("Information"); }, 60s)) << ActiveWindowName().toStdString();
  ::kill(static_cast<pid_t>(Program.processId()), SIGTERM);
  ::kill(static_cast<pid_t>(Program.processId()), SIGTERM);
  ASSERT_TRUE(Program.waitForFinished(60000)) << "the second SIGTERM was ignored";
}

// A small screen of 800x600 at one and a half times the size: 533x400 of the
// program's own pixels, less than the window's designed size.
class SmallScreenTest : public RealDisplayTest {
protected:
  SmallScreenTest() { Screen = "800x600x24"; }
  // The program's window with its frame on the screen, as the window manager
  // shows it: the window's place and size and the frame's extents.
  std::optional<QRect> Frame(const QString& Window) {
    auto run = [&](const QString& Program, const QStringList& Arguments) -> std::optional<QString> {
      QProcess p;
      p.setProcessEnvironment(Env);
      p.start(Program, Arguments);
      if (!p.waitForFinished(20000) || p.exitCode() != 0) return {};
      return QString::fromUtf8(p.readAllStandardOutput());
    };
    const auto info = run("xwininfo", {"-id", Window});
    const auto prop = run("xprop", {"-id", Window, "_NET_FRAME_EXTENTS"});
    if (!info || !prop) return {};
    // "_NET_FRAME_EXTENTS(CARDINAL) = left, right, top, bottom"
    const QStringList extents = prop->section('=', 1).split(',');
    if (extents.size() != 4) return {};
    std::map<QString, int> v;
    for (const QString& line : info->split('\n'))
      if (line.contains(':')) v[line.section(':', 0, 0).trimmed()] = line.section(':', 1).trimmed().toInt();
    return QRect(v["Absolute upper-left X"], v["Absolute upper-left Y"], v["Width"], v["Height"])
        .adjusted(-extents[0].trimmed().toInt(), -extents[2].trimmed().toInt(), extents[1].trimmed().toInt(),
                  extents[3].trimmed().toInt());
  }
};

TEST_F(SmallScreenTest, TheWholeWindowWithItsLogOpenLiesOnAScaledSmallScreen) {
  const QRect screen(0, 0, 800, 600);
  auto text = [](const std::optional<QRect>& R) {
    return R ? std::to_string(R->x()) + "," + std::to_string(R->y()) + " " + std::to_string(R->width()) + "x" +
                   std::to_string(R->height())
             : std::string("none");
  };
  // Unscaled the window grows when the Log opens (so the key opened it);
  // scaled it already takes the screen's height and the page scrolls. A kept
  // list that cannot be read opens the Log at the start, with its note: the
  // window's first size then has the Log in it.
  const struct {
    const char* Scale;
    bool LogAtStart;
  } cases[] = {{"1", false}, {"1.5", false}, {"1.5", true}};
  for (const auto& c : cases) {
    const std::string scale = c.Scale;
    SCOPED_TRACE("QT_SCALE_FACTOR=" + scale + (c.LogAtStart ? ", the Log open at the start" : ""));
    Env.insert("QT_SCALE_FACTOR", c.Scale);
    if (c.LogAtStart) {
      std::filesystem::create_directories(Home / ".local/state/Vidlomat");
      WriteFile(Home / ".local/state/Vidlomat/list", "not a list at all\n\x01\x02");
    }
    Program.setProcessEnvironment(Env);
    Program.start(QCoreApplication::applicationDirPath() + "/vidlomat", {});
    ASSERT_TRUE(Program.waitForStarted(30000));
    ASSERT_TRUE(Poll([&] { return VisibleWindowsOfProgram() == 1 && ActiveWindowName() == "Vidlomat"; }, 60s));
    const QString window = Xdotool({"getactivewindow"}).value_or(QString());
    QByteArray errors;
    if (c.LogAtStart) {
      EXPECT_TRUE(Poll(
          [&] {
            Program.waitForReadyRead(100);
            errors += Program.readAllStandardError();
            return errors.contains("could not be read");
          },
          10s))
          << "the kept list's note (which opens the Log) was not given: " << errors.toStdString();
    }
    // From the moment the window manager has framed it, and not only once
    // the window has settled: every frame seen in its first second and a
    // half lies on the screen.
    std::optional<QRect> closed;
    ASSERT_TRUE(Poll([&] { return (closed = Frame(window)).has_value(); }, 30s));
    for (int i = 0; i < 15; ++i) {
      EXPECT_TRUE(screen.contains(*closed)) << text(closed) << " after " << i * 100 << " ms";
      QThread::msleep(100);
      if (const std::optional<QRect> now = Frame(window)) closed = now;
    }
    if (!c.LogAtStart) Keys({"alt+g"});
    std::optional<QRect> open;
    if (scale == "1") {
      EXPECT_TRUE(Poll([&] { return (open = Frame(window)) && closed && open->height() > closed->height(); }, 10s))
          << "the window did not make room for the Log: " << text(closed) << " -> " << text(open);
    }
    QThread::msleep(1000);
    open = Frame(window);
    EXPECT_TRUE(open && screen.contains(*open)) << text(open);
    ::kill(static_cast<pid_t>(Program.processId()), SIGTERM);
    EXPECT_TRUE(Program.waitForFinished(60000));
  }
}

}  // namespace
