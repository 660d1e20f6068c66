// vidlomat-screenshots FOLDER: renders what a user sees into PNG files: the
// main window with three files added, a row selected after Move Down (in the
// desktop's palette and in a dark one), the About window, the main window in
// the middle of a run (batch bar, estimate and log panel open), and the note on
// the players' limits.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QToolButton>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QPalette>
#include <QThread>
#include <cstdio>

#include "AboutForm.h"
#include "MainForm.h"
#include "MediaMaker.h"
#include "OutputSettings.h"
#include "QueueList.h"

namespace {

// Answers the file dialog with the given files; shows nothing.
class TScriptedDialogs : public IDialogs {
public:
  QStringList Files;
  void Message(QWidget*, const QString& Title, const QString& Text, TMessageIcon) override {
    std::fprintf(stderr, "message: %s: %s\n", qPrintable(Title), qPrintable(Text));
  }
  QStringList OpenFiles(QWidget*, const QString&, const QString&) override { return Files; }
  QString ChooseFolder(QWidget*, const QString&, const QString&) override { return {}; }
  bool OpenUrl(const QUrl&) override { return true; }
  void Notify(const QString&, const QString&) override {}
  std::unique_ptr<IProgress> Progress(QWidget*, const QString&, const QString&, int) override {
    struct TSilent : IProgress {
      void SetValue(int) override {}
      bool Cancelled() override { return false; }
    };
    return std::make_unique<TSilent>();
  }
};

bool Save(QWidget& W, const QString& Path) {
  QApplication::processEvents();
  const bool ok = W.grab().save(Path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(Path));
  return ok;
}

bool Make(const char* Preset, double Seconds, const QString& Path, int Width = 0, int Height = 0) {
  TClipSpec recipe = ClipSpecByName(Preset);
  recipe.DurationSeconds = Seconds;
  if (Width > 0) {
    recipe.Width = Width;
    recipe.Height = Height;
    recipe.Noise = 20;
  }
  std::string error;
  if (!MakeClip(recipe, Path.toStdString(), &error)) {
    std::fprintf(stderr, "cannot make %s: %s\n", qPrintable(Path), error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vidlomat-screenshots FOLDER\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config, media;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(kAppTitle);
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);

  TScriptedDialogs dialogs;
  TForm1 form(dialogs);
  if (!form.FormCreate()) return 1;
  form.EdtOutputFolder->setText(media.path() + "/My iPod Files/");
  const QString files[] = {media.path() + "/Summer Holiday 2009.avi", media.path() + "/interview.mpg",
                           media.path() + "/trailer.mov"};
  // The first file is long enough to be caught in the middle of a run.
  if (!Make("avi_xvid", 60, files[0], 640, 480) || !Make("mpeg1_ps", 2, files[1]) ||
      !Make("mov_mpeg4_aac", 2, files[2]))
    return 1;
  dialogs.Files = QStringList(std::begin(files), std::end(files));
  form.show();
  form.BtnAddClick();
  bool ok = Save(form, out + "/main-window.png");

  // A row selected after Move Down: its text must read on the selection.
  form.Lvw->SelectRow(0);
  form.BtnMoveDownClick();
  ok = Save(form, out + "/selected-row.png") && ok;
  {
    // The same under a dark palette, as a dark desktop theme gives it.
    const QPalette light = QApplication::palette();
    QPalette dark;
    const QColor window(53, 53, 53), base(35, 35, 35), text(230, 230, 230);
    for (auto [role, colour] : {std::pair{QPalette::Window, window}, {QPalette::WindowText, text},
                                {QPalette::Base, base}, {QPalette::AlternateBase, window},
                                {QPalette::Text, text}, {QPalette::Button, window},
                                {QPalette::ButtonText, text}, {QPalette::Highlight, QColor(42, 130, 218)},
                                {QPalette::HighlightedText, QColor(Qt::white)}, {QPalette::Midlight, QColor(80, 80, 80)}})
      dark.setColor(role, colour);
    QApplication::setPalette(dark);
    form.GBOutput->CboResolution->setCurrentText("720x306");  // the note, in the dark theme too
    ok = Save(form, out + "/selected-row-dark.png") && ok;
    form.GBOutput->CboResolution->setCurrentText("320x240");
    QApplication::setPalette(light);
  }
  form.BtnMoveUpClick();  // the long file first again, for the run below

  {
    TFrmAbout about(dialogs, &form);
    about.show();
    ok = Save(about, out + "/about.png") && ok;
  }

  // A run, caught while the first file converts, with the log panel open.
  form.BtnLog->setChecked(true);
  const QRect before = form.Lvw->geometry();
  form.BtnStartClick();
  const bool still = form.Lvw->geometry() == before;
  if (!still) std::fprintf(stderr, "the list moved at Convert\n");
  bool caught = false;
  for (int i = 0; i < 3000 && !caught; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
    caught = form.Lvw->Status(0).Percent >= 10 && form.LblBatch->text().contains("about");
  }
  if (!caught) std::fprintf(stderr, "the run showed no progress\n");
  ok = Save(form, out + "/running.png") && caught && still && ok;
  form.BtnStartClick();  // Stop
  form.BtnLog->setChecked(false);

  // A size beyond what the players play.
  form.GBOutput->CboResolution->setCurrentText("720x306");
  ok = Save(form, out + "/player-limit.png") && !form.GBOutput->LblPlayerLimit->isHidden() && ok;
  form.close();
  return ok ? 0 : 1;
}
