// Shared pieces of the window tests: a dialog recorder that answers the file
// and folder dialogs and records every message and opened address, a
// power-off recorder, a fixture with its own configuration folder, and event
// pumping.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <QEventLoop>
#include <QMenu>
#include <QUrl>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Dialogs.h"
#include "MainForm.h"
#include "PowerOff.h"
#include "TestSupport.h"

// Failure messages show texts as text.
inline void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }

struct TRecordedMessage {
  QString Title;
  QString Text;
  TMessageIcon Icon;
};

class TRecorderDialogs : public IDialogs {
public:
  void Message(QWidget* Parent, const QString& Title, const QString& Text, TMessageIcon Icon) override;
  void CloseMessages() override;
  // Records the question and gives the next of Answers (No when none is left).
  bool Ask(QWidget* Parent, const QString& Title, const QString& Text) override;
  QStringList OpenFiles(QWidget* Parent, const QString& Title, const QString& Filter) override;
  QString ChooseFolder(QWidget* Parent, const QString& Title, const QString& Start) override;
  bool OpenUrl(const QUrl& Url) override;
  void Notify(const QString& Title, const QString& Text) override;
  std::unique_ptr<IProgress> Progress(QWidget* Parent, const QString& Title, const QString& Label,
                                      int Maximum) override;

  // A progress dialog the window showed: what it said, the values it was
  // given, and whether it is still open.
  struct TRecordedProgress {
    QString Title, Label;
    int Maximum = 0;
    std::vector<int> Values;
    bool Open = true;
    bool Cancelled = false;
    std::vector<QString> Labels;  // given after it opened
  };
  std::vector<TRecordedProgress> Progresses;
  // The progress dialogs press Cancel once their value reaches this (-1: never).
  int CancelProgressAt = -1;
  // Called with each value a progress dialog is given (the window's events
  // run meanwhile, so a test can look at the window while it works).
  std::function<void(int)> OnProgressValue;

  // Each message box stays open this long, running a nested event loop as a
  // real box does while nobody answers it (0: answered at once). The order
  // records "answered: <text>" when it returns on its own and "closed: <text>"
  // when the window closes it.
  std::chrono::milliseconds MessageOpen{0};
  // Called with each message's text as it opens.
  std::function<void(const QString&)> OnMessage;

  // The questions asked (title, text) and the answers to the next ones.
  std::vector<std::pair<QString, QString>> Questions;
  std::deque<bool> Answers;

  // Answers of the next dialogs (an empty answer: cancelled).
  std::deque<QStringList> FileAnswers;
  std::deque<QString> FolderAnswers;
  // What was asked and shown.
  QString FileTitle, FileFilter, FolderTitle;
  std::vector<TRecordedMessage> Messages;
  std::vector<QUrl> Urls;
  bool UrlsOpen = true;  // what OpenUrl answers
  std::vector<std::pair<QString, QString>> Notifications;  // title, text
  // Every message and power-off in order, for tests of their order.
  std::shared_ptr<std::vector<std::string>> Order = std::make_shared<std::vector<std::string>>();

private:
  struct TOpenBox {
    QString Text;
    QEventLoop* Loop;
  };
  std::vector<TOpenBox> FOpen;  // the message boxes open now, innermost last
};

class TRecorderPowerOff : public IPowerOff {
public:
  explicit TRecorderPowerOff(std::shared_ptr<std::vector<std::string>> Order) : FOrder(std::move(Order)) {}
  void PowerOffNow() override {
    ++Calls;
    FOrder->push_back("power-off");
    if (OnPowerOff) OnPowerOff();
  }
  int Calls = 0;
  std::function<void()> OnPowerOff;

private:
  std::shared_ptr<std::vector<std::string>> FOrder;
};

// Runs the user-interface thread's events until Done() holds or Timeout
// passes; returns Done().
bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout = std::chrono::seconds(60));
void PumpFor(std::chrono::milliseconds Duration);

// Each test gets its own configuration folder (XDG_CONFIG_HOME) and a window.
class WindowTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  // Makes the window (with the power-off recorder when asked); Create runs
  // FormCreate and expects it to succeed.
  TForm1& MakeForm(bool WithPowerOff = false, bool Create = true);
  QString SettingsPath() const;
  // A clip of the media maker (preset, seconds) copied to Dir/Name.
  std::string Clip(const std::string& Preset, const std::string& Name, double Seconds = 1.0);
  // A Matroska film of Seconds with two audio tracks told apart by their
  // tones: English stereo at 440 Hz, then German 5.1 at 1000 Hz (neither
  // flagged default), copied to Dir/Name.
  std::string TwoLanguageFilm(const std::string& Name, double Seconds = 1.0);
  // The entries of a row menu's "Audio track" (null when it has none).
  static QMenu* AudioTrackMenu(QMenu& RowMenu);
  // Adds files through the Add button with the recorder answering the dialog.
  void Add(const QStringList& Files);
  static QStringList Q(const std::vector<std::string>& Files);

  TTempDir Config;
  TTempDir Dir;
  TRecorderDialogs Dialogs;
  TRecorderPowerOff PowerOff{Dialogs.Order};
  std::unique_ptr<TForm1> Form;
};
