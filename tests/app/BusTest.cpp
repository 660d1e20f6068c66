// The sleep lock and the launcher icon against a private D-Bus bus started
// here (dbus-daemon), with a stand-in for logind: never the system's own.
#include <gtest/gtest.h>

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QProcess>
#include <QThread>
#include <QVariantMap>
#include <fcntl.h>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <unistd.h>

#include "LauncherEntry.h"
#include "QueueList.h"
#include "SingleInstance.h"
#include "SleepGuard.h"
#include "WindowTestSupport.h"

namespace {

// A bus of its own, ended with the test.
class TPrivateBus {
public:
  TPrivateBus() {
    WriteFile(FDir / "bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>unix:dir=" + FDir.Path() +
              "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
              "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    FDaemon.start("dbus-daemon", {"--nofork", "--nopidfile", "--print-address=1",
                                  "--config-file=" + QString::fromStdString(FDir / "bus.conf")});
    if (FDaemon.waitForStarted(10000) && FDaemon.waitForReadyRead(10000))
      Address = QString::fromLatin1(FDaemon.readLine()).trimmed();
  }
  ~TPrivateBus() {
    for (const QString& name : FNames) QDBusConnection::disconnectFromBus(name);
    FDaemon.kill();
    FDaemon.waitForFinished(10000);
  }
  QDBusConnection Connect() {
    const QString name = "private-" + QString::number(FNames.size()) + "-" + QString::number(reinterpret_cast<quintptr>(this));
    FNames << name;
    return QDBusConnection::connectToBus(Address, name);
  }
  QString Address;

private:
  TTempDir FDir;
  QProcess FDaemon;
  QStringList FNames;
};

// logind's Inhibit: records each call's arguments and hands out the write end
// of a pipe whose read end tells whether any copy of the lock is still open.
class TFakeLogind : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
  ~TFakeLogind() override {
    for (int fd : FReadEnds) ::close(fd);
  }
  std::vector<QStringList> Calls() {
    std::lock_guard<std::mutex> l(FLock);
    return FCalls;
  }
  // The calls that arrived, answered or not.
  size_t Asked() {
    std::lock_guard<std::mutex> l(FLock);
    return FAsked.size();
  }
  // Whether the lock of call I is still held by someone.
  bool Held(size_t I) {
    int fd;
    {
      std::lock_guard<std::mutex> l(FLock);
      fd = FReadEnds.at(I);
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;  // a closed last writer shows as POLLHUP
  }

  // While set, each call waits before it answers (a logind slow to answer).
  std::atomic<bool> Slow{false};

public slots:
  QDBusUnixFileDescriptor Inhibit(const QString& What, const QString& Who, const QString& Why,
                                  const QString& Mode) {
    {
      std::lock_guard<std::mutex> l(FLock);
      FAsked.push_back({What, Who, Why, Mode});
    }
    while (Slow) QThread::msleep(5);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return {};
    QDBusUnixFileDescriptor lock(ends[1]);  // a copy
    ::close(ends[1]);
    std::lock_guard<std::mutex> l(FLock);
    FCalls.push_back({What, Who, Why, Mode});
    FReadEnds.push_back(ends[0]);
    return lock;
  }

private:
  std::mutex FLock;  // FCalls, FAsked and FReadEnds: the bus thread writes, the test reads
  std::vector<QStringList> FCalls;  // answered
  std::vector<QStringList> FAsked;
  std::vector<int> FReadEnds;
};

// logind on its own thread (the guard's call blocks the test's thread).
class TLogindOnBus {
public:
  explicit TLogindOnBus(TPrivateBus& Bus) {
    FThread.start();
    Fake.moveToThread(&FThread);
    QDBusConnection c = Bus.Connect();
    Registered = c.registerService("org.freedesktop.login1") &&
                 c.registerObject("/org/freedesktop/login1", &Fake, QDBusConnection::ExportAllSlots);
  }
  ~TLogindOnBus() {
    Fake.Slow = false;
    FThread.quit();
    FThread.wait();
  }
  TFakeLogind Fake;
  bool Registered = false;

private:
  QThread FThread;
};

// Every Update signal of the launcher entry on the bus.
class TLauncherListener : public QObject {
  Q_OBJECT

public:
  struct TUpdate {
    QString Uri;
    QVariantMap Properties;
  };
  std::vector<TUpdate> Updates;

public slots:
  void Update(const QString& Uri, const QVariantMap& Properties) { Updates.push_back({Uri, Properties}); }
};

// Closes the test's window when it goes: made after the guard and the entry
// the window holds, so the window is gone before they are.
struct TCloseForm {
  std::unique_ptr<TForm1>& Form;
  ~TCloseForm() {
    if (Form) Form->close();
    Form.reset();
  }
};

}  // namespace

// Acquire, then logind's answer (or none within ten seconds).
bool AcquireAndWait(TSleepGuard& Guard, const QString& Why, QString* Error = nullptr) {
  std::optional<bool> answer;
  Guard.Acquire(Why, [&](bool Ok, const QString& Text) {
    answer = Ok;
    if (Error) *Error = Text;
  });
  PumpUntil([&] { return answer.has_value(); }, std::chrono::seconds(10));
  return answer.value_or(false);
}

TEST(SleepGuardTest, TheLockIsHeldFromAcquireToReleaseAndSaysWhy) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty()) << "dbus-daemon did not start";
  TLogindOnBus logind(bus);
  ASSERT_TRUE(logind.Registered);
  TSleepGuard guard(bus.Connect());
  QString error;
  ASSERT_TRUE(AcquireAndWait(guard, "Converting 12 files", &error)) << error.toStdString();
  EXPECT_TRUE(guard.Held());
  ASSERT_EQ(logind.Fake.Calls().size(), 1u);
  EXPECT_EQ(logind.Fake.Calls()[0], (QStringList{"sleep:idle", "Vidlomat", "Converting 12 files", "block"}));
  EXPECT_TRUE(logind.Fake.Held(0));
  // Taken again, the old lock goes: one lock at a time.
  ASSERT_TRUE(AcquireAndWait(guard, "Converting 1 file", &error)) << error.toStdString();
  EXPECT_TRUE(PumpUntil([&] { return !logind.Fake.Held(0); }, std::chrono::seconds(5)));
  EXPECT_TRUE(logind.Fake.Held(1));
  guard.Release();
  EXPECT_FALSE(guard.Held());
  EXPECT_TRUE(PumpUntil([&] { return !logind.Fake.Held(1); }, std::chrono::seconds(5)));
  guard.Release();  // nothing held: nothing happens
  // The guard's end gives the lock back too.
  {
    TSleepGuard other(bus.Connect());
    ASSERT_TRUE(AcquireAndWait(other, "Converting 2 files"));
    EXPECT_TRUE(logind.Fake.Held(2));
  }
  EXPECT_TRUE(PumpUntil([&] { return !logind.Fake.Held(2); }, std::chrono::seconds(5)));
}

TEST(SleepGuardTest, WithoutLogindTheGuardSaysWhyAndHoldsNothing) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty());
  TSleepGuard nobody(bus.Connect());
  QString error;
  EXPECT_FALSE(AcquireAndWait(nobody, "Converting 1 file", &error));
  EXPECT_FALSE(nobody.Held());
  EXPECT_FALSE(error.isEmpty());
  TSleepGuard noBus(QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "no-bus"));
  error.clear();
  EXPECT_FALSE(AcquireAndWait(noBus, "Converting 1 file", &error));
  EXPECT_TRUE(error.contains("no system bus")) << error.toStdString();
  QDBusConnection::disconnectFromBus("no-bus");
}

TEST(LauncherEntryTest, UpdatesCarryTheProgressAndTheFilesLeft) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty());
  TLauncherListener listener;
  QDBusConnection listening = bus.Connect();
  ASSERT_TRUE(listening.connect("", "", "com.canonical.Unity.LauncherEntry", "Update", &listener,
                                SLOT(Update(QString, QVariantMap))));
  TLauncherEntry entry(bus.Connect(), "vidlomat.desktop");
  entry.Clear();  // nothing shown yet: nothing sent
  entry.Show(25, 3);
  entry.Show(25, 3);  // the same again: nothing sent
  entry.Show(140, -2);
  entry.Clear();
  entry.Clear();
  ASSERT_TRUE(PumpUntil([&] { return listener.Updates.size() >= 3; }, std::chrono::seconds(5)));
  PumpFor(std::chrono::milliseconds(100));
  ASSERT_EQ(listener.Updates.size(), 3u);
  for (const auto& u : listener.Updates) EXPECT_EQ(u.Uri, "application://vidlomat.desktop");
  const struct {
    double Progress;
    bool Visible;
    qint64 Count;
    bool CountVisible;
  } expected[] = {{0.25, true, 3, true}, {1.0, true, 0, false}, {0.0, false, 0, false}};
  for (size_t i = 0; i < 3; ++i) {
    const QVariantMap& p = listener.Updates[i].Properties;
    EXPECT_DOUBLE_EQ(p.value("progress").toDouble(), expected[i].Progress) << i;
    EXPECT_EQ(p.value("progress-visible").toBool(), expected[i].Visible) << i;
    EXPECT_EQ(p.value("count").toLongLong(), expected[i].Count) << i;
    EXPECT_EQ(p.value("count-visible").toBool(), expected[i].CountVisible) << i;
  }
  // No bus: nothing sent, nothing fails.
  TLauncherEntry nowhere(QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "no-bus-2"));
  nowhere.Show(10, 1);
  nowhere.Clear();
  QDBusConnection::disconnectFromBus("no-bus-2");
}

TEST_F(WindowTest, ABatchKeepsTheMachineAwakeAndShowsItsProgressOnTheLauncher) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty());
  TLogindOnBus logind(bus);
  ASSERT_TRUE(logind.Registered);
  TSleepGuard guard(bus.Connect());
  TLauncherListener listener;
  ASSERT_TRUE(bus.Connect().connect("", "", "com.canonical.Unity.LauncherEntry", "Update", &listener,
                                    SLOT(Update(QString, QVariantMap))));
  TLauncherEntry entry(bus.Connect());
  TCloseForm closeForm{Form};
  const std::string a = Clip("avi_xvid", "a.avi", 1.0), b = Clip("avi_xvid", "b.avi", 1.0);
  MakeForm(false, false);
  Form->SetSleepGuard(&guard);
  Form->SetLauncherEntry(&entry);
  ASSERT_TRUE(Form->FormCreate());
  Form->EdtOutputFolder->setText(QString::fromStdString(Dir / "out/"));
  Add(Q({a, b}));
  bool heldWhileConverting = false;
  Form->BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] {
    if (Form->Run().State() == TBatchRun::Running && !logind.Fake.Calls().empty())
      heldWhileConverting = heldWhileConverting || logind.Fake.Held(0);
    return Form->Run().State() == TBatchRun::Idle;
  }));
  ASSERT_EQ(logind.Fake.Calls().size(), 1u);
  EXPECT_EQ(logind.Fake.Calls()[0], (QStringList{"sleep:idle", "Vidlomat", "Converting 2 files", "block"}));
  EXPECT_TRUE(heldWhileConverting);
  EXPECT_FALSE(logind.Fake.Held(0)) << "released at the end of the batch";
  // The launcher: progress shown while converting, then hidden.
  ASSERT_TRUE(PumpUntil([&] {
    return !listener.Updates.empty() && !listener.Updates.back().Properties.value("progress-visible").toBool();
  }, std::chrono::seconds(5)));
  EXPECT_EQ(listener.Updates.front().Uri, "application://vidlomat.desktop");
  EXPECT_TRUE(listener.Updates.front().Properties.value("progress-visible").toBool());
  EXPECT_EQ(listener.Updates.front().Properties.value("count").toLongLong(), 2);
  double last = -1;
  for (size_t i = 0; i + 1 < listener.Updates.size(); ++i) {
    const double p = listener.Updates[i].Properties.value("progress").toDouble();
    EXPECT_GE(p, last);
    last = p;
  }

  // Stop gives the lock back at once.
  Dialogs.Answers = {true};  // convert the completed files again
  Form->BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return logind.Fake.Calls().size() == 2; }, std::chrono::seconds(10)));
  Form->BtnStartClick();
  EXPECT_EQ(Form->Run().State(), TBatchRun::Idle);
  EXPECT_FALSE(guard.Held()) << "released on Stop";
  // The stand-in's own copies of the lock go once its reply is sent.
  EXPECT_TRUE(PumpUntil([&] { return !logind.Fake.Held(1); }, std::chrono::seconds(5))) << "released on Stop";
}

TEST_F(WindowTest, PauseGivesTheSleepLockBackAndResumeTakesItAgain) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty());
  TLogindOnBus logind(bus);
  ASSERT_TRUE(logind.Registered);
  TSleepGuard guard(bus.Connect());
  TCloseForm closeForm{Form};
  const std::string a = Clip("avi_xvid", "a.avi", 4.0);
  MakeForm(false, false);
  Form->SetSleepGuard(&guard);
  ASSERT_TRUE(Form->FormCreate());
  Form->EdtOutputFolder->setText(QString::fromStdString(Dir / "out/"));
  Add(Q({a}));
  Form->BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return guard.Held(); }, std::chrono::seconds(10)));
  ASSERT_EQ(logind.Fake.Calls().size(), 1u);
  EXPECT_TRUE(logind.Fake.Held(0));
  Form->BtnPause->click();
  EXPECT_TRUE(PumpUntil([&] { return !logind.Fake.Held(0); }, std::chrono::seconds(5))) << "released while paused";
  EXPECT_EQ(logind.Fake.Calls().size(), 1u);
  Form->BtnPause->click();
  ASSERT_TRUE(PumpUntil([&] { return guard.Held(); }, std::chrono::seconds(10))) << "taken again on Resume";
  ASSERT_EQ(logind.Fake.Calls().size(), 2u);
  EXPECT_TRUE(logind.Fake.Held(1));
  ASSERT_TRUE(PumpUntil([&] { return Form->Run().State() == TBatchRun::Idle; }));
  EXPECT_TRUE(PumpUntil([&] { return !logind.Fake.Held(1); }, std::chrono::seconds(5)));
}

TEST_F(WindowTest, WithoutLogindTheLogSaysSoOnceAndTheBatchGoesOn) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty());
  TSleepGuard guard(bus.Connect());
  TCloseForm closeForm{Form};
  const std::string a = Clip("avi_xvid", "a.avi", 0.5);
  MakeForm(false, false);
  Form->SetSleepGuard(&guard);
  ASSERT_TRUE(Form->FormCreate());
  Form->EdtOutputFolder->setText(QString::fromStdString(Dir / "out/"));
  Add(Q({a}));
  for (int batch = 0; batch < 2; ++batch) {
    if (batch == 1) Dialogs.Answers = {true};  // convert the completed file again
    Form->BtnStartClick();
    ASSERT_TRUE(PumpUntil([&] { return Form->Run().State() == TBatchRun::Idle; }));
    EXPECT_EQ(Form->Lvw->Cell(0, TQueueList::ColStatus), "Completed");
    // The bus's answer may come after a short batch: it is told all the same.
    if (batch == 0) {
      EXPECT_TRUE(PumpUntil([&] { return Form->MemLog->toPlainText().contains("may go to sleep"); },
                            std::chrono::seconds(10)));
    }
    EXPECT_EQ(Form->MemLog->toPlainText().count("may go to sleep"), batch == 0 ? 1 : 0) << "batch " << batch;
  }
}

TEST_F(WindowTest, ConvertAndResumeNeverWaitForLogindsAnswer) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty());
  TLogindOnBus logind(bus);
  ASSERT_TRUE(logind.Registered);
  TSleepGuard guard(bus.Connect());
  TCloseForm closeForm{Form};
  const std::string a = Clip("avi_xvid", "a.avi", 4.0);
  MakeForm(false, false);
  Form->SetSleepGuard(&guard);
  ASSERT_TRUE(Form->FormCreate());
  Form->EdtOutputFolder->setText(QString::fromStdString(Dir / "out/"));
  Add(Q({a}));
  // logind answers only when the test lets it: Convert and Resume return
  // with the question asked and no answer yet, and the batch runs.
  logind.Fake.Slow = true;
  Form->BtnStartClick();
  EXPECT_EQ(Form->Run().State(), TBatchRun::Running);
  ASSERT_TRUE(PumpUntil([&] { return logind.Fake.Asked() == 1; }, std::chrono::seconds(10)));
  EXPECT_FALSE(guard.Held());
  logind.Fake.Slow = false;
  ASSERT_TRUE(PumpUntil([&] { return guard.Held(); }, std::chrono::seconds(10))) << "the late answer was lost";
  Form->BtnPause->click();
  EXPECT_FALSE(guard.Held());
  logind.Fake.Slow = true;
  Form->BtnPause->click();
  EXPECT_FALSE(Form->BatchPause().Paused());
  ASSERT_TRUE(PumpUntil([&] { return logind.Fake.Asked() == 2; }, std::chrono::seconds(10)));
  // Paused again before the answer: the answer is given back when it comes.
  Form->BtnPause->click();
  logind.Fake.Slow = false;
  ASSERT_TRUE(PumpUntil([&] { return logind.Fake.Calls().size() == 2; }, std::chrono::seconds(10)));
  EXPECT_TRUE(PumpUntil([&] { return !logind.Fake.Held(1); }, std::chrono::seconds(5))) << "kept while paused";
  EXPECT_FALSE(guard.Held());
  Form->BtnPause->click();
  ASSERT_TRUE(PumpUntil([&] { return Form->Run().State() == TBatchRun::Idle; }));
  EXPECT_FALSE(guard.Held());
}

TEST_F(WindowTest, ALaterStartHandsItsFilesToTheWindowOpenAndEnds) {
  TPrivateBus bus;
  ASSERT_FALSE(bus.Address.isEmpty());
  TCloseForm closeForm{Form};
  const std::string a = Clip("avi_xvid", "a.avi", 0.5), b = Clip("avi_xvid", "b.avi", 0.5);
  std::filesystem::create_directories(Config / "Vidlomat");
  WriteFile(Config / "Vidlomat/Options.ini", "[Options]\nOutputPath=" + Dir / "out/" + "\n");
  // The window open: it holds the name; a second claim on the bus fails.
  TSingleInstance first(bus.Connect());
  ASSERT_TRUE(first.Claim());
  TSingleInstance other(bus.Connect());
  EXPECT_FALSE(other.Claim());
  MakeForm();
  first.SetOnOpen([this](const std::vector<std::string>& Files, bool Convert) { Form->OpenHandedOver(Files, Convert); });
  Add(Q({a}));

  // "Open with" on b, and `vidlomat --convert` of a (listed already) and b
  // given relative to the folder of the start: the program started ends at
  // once, the window lists b once and converts.
  auto start = [&](const QStringList& Arguments) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.Address);
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QString::fromStdString(Dir / "no-system-bus"));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(Dir / "second-config"));
    env.insert("XDG_STATE_HOME", QString::fromStdString(Dir / "second-state"));
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(QString::fromStdString(Dir.Path()));
    program.start(QCoreApplication::applicationDirPath() + "/vidlomat", Arguments);
    EXPECT_TRUE(program.waitForStarted(30000));
    // The window answers from this process's events.
    const bool ended = PumpUntil([&] { return program.state() == QProcess::NotRunning; }, std::chrono::seconds(60));
    if (!ended) program.kill();
    program.waitForFinished(10000);
    EXPECT_TRUE(ended) << "the second start did not end";
    EXPECT_EQ(program.exitCode(), 0);
  };
  start({QString::fromStdString(b)});
  ASSERT_TRUE(PumpUntil([&] { return Form->Lvw->RowCount() == 2; }));
  start({"--convert", "a.avi", "b.avi"});
  ASSERT_TRUE(PumpUntil([&] { return Form->Run().State() != TBatchRun::Idle; }));
  ASSERT_TRUE(PumpUntil([&] { return Form->Run().State() == TBatchRun::Idle; }));
  EXPECT_EQ(Form->Lvw->RowCount(), 2) << "a and b were listed already";
  for (int r = 0; r < 2; ++r) EXPECT_EQ(Form->Lvw->Cell(r, TQueueList::ColStatus), "Completed") << r;
  // The second starts neither kept a list of their own nor changed settings.
  EXPECT_FALSE(std::filesystem::exists(Dir / "second-state"));
  EXPECT_FALSE(std::filesystem::exists(Dir / "second-config"));
}

#include "BusTest.moc"
