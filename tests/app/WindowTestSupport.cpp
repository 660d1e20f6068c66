#include "WindowTestSupport.h"

#include <QAction>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <filesystem>

#include "ComponentSupport.h"
#include "MediaLibraries.h"
#include "MediaMaker.h"

void TRecorderDialogs::Message(QWidget*, const QString& Title, const QString& Text, TMessageIcon Icon) {
  // A box's icon matches its title wherever the title names a kind.
  const std::pair<const char*, TMessageIcon> kinds[] = {
      {"Information", TMessageIcon::Information}, {"Warning", TMessageIcon::Warning}, {"Error", TMessageIcon::Error}};
  for (const auto& [title, icon] : kinds) {
    if (Title != title) continue;
    EXPECT_EQ(Icon, icon) << "the box \"" << Title.toStdString() << "\": " << Text.toStdString();
  }
  Messages.push_back({Title, Text, Icon});
  Order->push_back("message: " + Text.toStdString());
  if (OnMessage) OnMessage(Text);
  if (MessageOpen.count() <= 0) return;
  QEventLoop loop;
  FOpen.push_back({Text, &loop});
  QTimer::singleShot(MessageOpen, &loop, [&] {
    if (std::erase_if(FOpen, [&](const TOpenBox& b) { return b.Loop == &loop; }) == 0) return;  // closed
    Order->push_back("answered: " + Text.toStdString());
    loop.quit();
  });
  loop.exec();
  std::erase_if(FOpen, [&](const TOpenBox& b) { return b.Loop == &loop; });
}

void TRecorderDialogs::CloseMessages() {
  for (const TOpenBox& box : FOpen) {
    Order->push_back("closed: " + box.Text.toStdString());
    box.Loop->quit();
  }
  FOpen.clear();
}

bool TRecorderDialogs::Ask(QWidget*, const QString& Title, const QString& Text) {
  Questions.emplace_back(Title, Text);
  Order->push_back("question: " + Text.toStdString());
  if (Answers.empty()) return false;
  const bool yes = Answers.front();
  Answers.pop_front();
  return yes;
}

QStringList TRecorderDialogs::OpenFiles(QWidget*, const QString& Title, const QString& Filter) {
  FileTitle = Title;
  FileFilter = Filter;
  if (FileAnswers.empty()) return {};
  QStringList answer = FileAnswers.front();
  FileAnswers.pop_front();
  return answer;
}

QString TRecorderDialogs::ChooseFolder(QWidget*, const QString& Title, const QString&) {
  FolderTitle = Title;
  if (FolderAnswers.empty()) return {};
  QString answer = FolderAnswers.front();
  FolderAnswers.pop_front();
  return answer;
}

void TRecorderDialogs::Notify(const QString& Title, const QString& Text) { Notifications.emplace_back(Title, Text); }

std::unique_ptr<IProgress> TRecorderDialogs::Progress(QWidget*, const QString& Title, const QString& Label,
                                                      int Maximum) {
  struct TRecorded : IProgress {
    TRecorderDialogs* Owner;
    size_t Index;
    TRecorded(TRecorderDialogs* O, size_t I) : Owner(O), Index(I) {}
    ~TRecorded() override { Owner->Progresses[Index].Open = false; }
    void SetValue(int Value) override {
      TRecordedProgress& p = Owner->Progresses[Index];
      p.Values.push_back(Value);
      if (Owner->CancelProgressAt >= 0 && Value >= Owner->CancelProgressAt) p.Cancelled = true;
      if (Owner->OnProgressValue) Owner->OnProgressValue(Value);
    }
    bool Cancelled() override { return Owner->Progresses[Index].Cancelled; }
    void SetLabel(const QString& Label) override { Owner->Progresses[Index].Labels.push_back(Label); }
  };
  Progresses.push_back({Title, Label, Maximum, {}, true, false});
  return std::make_unique<TRecorded>(this, Progresses.size() - 1);
}

bool TRecorderDialogs::OpenUrl(const QUrl& Url) {
  Urls.push_back(Url);
  return UrlsOpen;
}

bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout) {
  const auto end = std::chrono::steady_clock::now() + Timeout;
  while (!Done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

void PumpFor(std::chrono::milliseconds Duration) {
  PumpUntil([] { return false; }, Duration);
}

void WindowTest::SetUp() {
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(Config.Path()));
  // The list kept between starts: this test's own.
  qputenv("XDG_STATE_HOME", QByteArray::fromStdString(Config / "state"));
}

void WindowTest::TearDown() {
  if (Form) Form->close();
  Form.reset();
  // Later tests (and the media maker) expect the libraries in place.
  EnsureLibrariesLoaded();
}

TForm1& WindowTest::MakeForm(bool WithPowerOff, bool Create) {
  Form = std::make_unique<TForm1>(Dialogs, WithPowerOff ? &PowerOff : nullptr);
  if (Create) {
    EXPECT_TRUE(Form->FormCreate());
  }
  return *Form;
}

QString WindowTest::SettingsPath() const { return QString::fromStdString(Config.Path()) + "/Vidlomat/Options.ini"; }

std::string WindowTest::Clip(const std::string& Preset, const std::string& Name, double Seconds) {
  EnsureLibrariesLoaded();
  const std::string path = Dir / Name;
  std::filesystem::copy_file(TestClip(Preset, Seconds), path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

std::string WindowTest::TwoLanguageFilm(const std::string& Name, double Seconds) {
  EnsureLibrariesLoaded();
  TClipSpec film = ClipSpecByName("mkv");
  film.DurationSeconds = Seconds;
  film.AudioCodec = "aac";
  film.SampleRate = 48000;
  film.AudioTracks = {{"eng", false, 2, 440}, {"ger", false, 6, 1000}};
  film.MuxerOptions = {{"default_mode", "passthrough"}};
  const std::string path = Dir / Name;
  std::string error;
  EXPECT_TRUE(MakeClip(film, path, &error)) << error;
  return path;
}

QMenu* WindowTest::AudioTrackMenu(QMenu& RowMenu) {
  for (QAction* a : RowMenu.actions())
    if (a->text() == "Audio track") return a->menu();
  return nullptr;
}

void WindowTest::Add(const QStringList& Files) {
  Dialogs.FileAnswers.push_back(Files);
  Form->BtnAddClick();
}

QStringList WindowTest::Q(const std::vector<std::string>& Files) {
  QStringList list;
  for (const auto& f : Files) list << QString::fromStdString(f);
  return list;
}
