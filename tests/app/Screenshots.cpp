// vidlomat-screenshots FOLDER: renders what a user sees into PNG files: the
// main window with three files added (and with its Log open on the 800x600
// screen, which a run with --scaled renders alone), a row selected after Move Down (in the
// desktop's palette and in a dark one), the About window, the main window in
// the middle of a run (batch bar, estimate and log panel open), the note on
// the players' limits, a batch whose last file failed with its finish message,
// a finish message that lists several files with their reasons, an output
// folder that cannot be used, a file refused during Add with its box in
// front of the progress, Add Folder's progress while it looks through a tree,
// the idle batch line's size figures, a paused batch, the messages after a
// Stop and after "Stop after this file", a row's Audio track menu, and a
// picture of an output with its subtitle burned in.
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPainter>
#include <QProgressDialog>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QToolButton>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QPalette>
#include <QScreen>
#include <QThread>
#include <QMenu>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "AboutForm.h"
#include "ConvertHelper.h"
#include "MainForm.h"
#include "MediaMaker.h"
#include "OutputSettings.h"
#include "QueueList.h"

namespace {

// Answers the file dialog with the given files; shows nothing, but hands each
// message to OnMessage (which may picture it) and keeps the open progress.
class TScriptedDialogs : public IDialogs {
public:
  QStringList Files;
  QString Folder;  // what the folder dialog answers
  std::function<void(const QString& Title, const QString& Text, TMessageIcon Icon)> OnMessage;
  // Called with each new label of the open progress dialog.
  std::function<void(const QString& Label)> OnProgressLabel;
  QString ProgressLabel;  // of the progress dialog open now; empty when none
  int ProgressMaximum = 0, ProgressValue = 0;
  void Message(QWidget*, const QString& Title, const QString& Text, TMessageIcon Icon) override {
    std::fprintf(stderr, "message: %s: %s\n", qPrintable(Title), qPrintable(Text));
    if (OnMessage) OnMessage(Title, Text, Icon);
  }
  bool Ask(QWidget*, const QString&, const QString&) override { return false; }
  QStringList OpenFiles(QWidget*, const QString&, const QString&) override { return Files; }
  QString ChooseFolder(QWidget*, const QString&, const QString&) override { return Folder; }
  bool OpenUrl(const QUrl&) override { return true; }
  void Notify(const QString&, const QString&) override {}
  std::unique_ptr<IProgress> Progress(QWidget*, const QString&, const QString& Label, int Maximum) override {
    struct TSilent : IProgress {
      TScriptedDialogs& Owner;
      explicit TSilent(TScriptedDialogs& O) : Owner(O) {}
      ~TSilent() override { Owner.ProgressLabel.clear(); }
      void SetValue(int Value) override { Owner.ProgressValue = Value; }
      bool Cancelled() override { return false; }
      void SetLabel(const QString& Label) override {
        Owner.ProgressLabel = Label;
        if (Owner.OnProgressLabel) Owner.OnProgressLabel(Label);
      }
    };
    ProgressLabel = Label;
    ProgressMaximum = Maximum;
    ProgressValue = 0;
    return std::make_unique<TSilent>(*this);
  }
};

bool Save(QWidget& W, const QString& Path) {
  QApplication::processEvents();
  const bool ok = W.grab().save(Path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(Path));
  return ok;
}

// The window with dialogs in front of it, each one lower than the one before
// so that both show (offscreen there is no window frame: each gets a thin
// border).
bool SaveWithDialogs(QWidget& Window, const std::vector<QWidget*>& Dialogs, const QString& Path) {
  QApplication::processEvents();
  QImage image = Window.grab().toImage();
  QPainter painter(&image);
  for (size_t i = 0; i < Dialogs.size(); ++i) {
    QWidget* d = Dialogs[i];
    d->resize(d->sizeHint().expandedTo(QSize(320, 0)));
    d->show();
    QApplication::processEvents();
    const QPixmap picture = d->grab();
    const int middle = image.height() * (30 + 22 * static_cast<int>(i)) / 100;
    const QPoint at((image.width() - picture.width()) / 2, middle - picture.height() / 2);
    painter.drawPixmap(at, picture);
    painter.setPen(QColor(90, 90, 90));
    painter.drawRect(QRect(at, picture.size()).adjusted(-1, -1, 0, 0));
  }
  painter.end();
  const bool ok = image.save(Path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(Path));
  return ok;
}

// A menu and its open submenu over the window: the menu at At, the submenu
// beside the menu's active entry.
bool SaveWithMenu(QWidget& Window, QMenu& Menu, QMenu& Submenu, QPoint At, const QString& Path) {
  QApplication::processEvents();
  QImage image = Window.grab().toImage();
  QPainter painter(&image);
  Menu.popup(Window.mapToGlobal(At));
  QApplication::processEvents();
  const QRect entry = Menu.actionGeometry(Menu.activeAction());
  Submenu.popup(Window.mapToGlobal(At + QPoint(Menu.width() - 2, entry.top())));
  QApplication::processEvents();
  const QPoint subAt = At + QPoint(Menu.width() - 2, entry.top());
  for (auto [menu, where] : {std::pair<QMenu*, QPoint>{&Menu, At}, {&Submenu, subAt}}) {
    const QPixmap picture = menu->grab();
    painter.drawPixmap(where, picture);
    painter.setPen(QColor(90, 90, 90));
    painter.drawRect(QRect(where, picture.size()).adjusted(-1, -1, 0, 0));
  }
  painter.end();
  Submenu.hide();
  Menu.hide();
  const bool ok = image.save(Path);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(Path));
  return ok;
}

// A decoded 4:2:0 picture as RGB (BT.601, limited range); null for another
// pixel format.
QImage PictureOf(const AVFrame& F) {
  if (F.format != AV_PIX_FMT_YUV420P) return {};
  QImage image(F.width, F.height, QImage::Format_RGB32);
  auto level = [](double V) { return std::clamp(static_cast<int>(std::lround(V)), 0, 255); };
  for (int y = 0; y < F.height; ++y) {
    const uint8_t* luma = F.data[0] + y * F.linesize[0];
    const uint8_t* u = F.data[1] + (y / 2) * F.linesize[1];
    const uint8_t* v = F.data[2] + (y / 2) * F.linesize[2];
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < F.width; ++x) {
      const double c = 1.164 * (luma[x] - 16), d = u[x / 2] - 128, e = v[x / 2] - 128;
      line[x] = qRgb(level(c + 1.596 * e), level(c - 0.392 * d - 0.813 * e), level(c + 2.017 * d));
    }
  }
  return image;
}

// The number of bright pixels (luma above 160) in rows From..To of a picture.
int BrightPixels(const AVFrame& F, int From, int To) {
  int n = 0;
  for (int y = std::max(From, 0); y < std::min(To, F.height); ++y)
    for (int x = 0; x < F.width; ++x) n += F.data[0][y * F.linesize[0] + x] > 160;
  return n;
}

QMessageBox::Icon BoxIcon(TMessageIcon Icon) {
  return Icon == TMessageIcon::Information ? QMessageBox::Information
         : Icon == TMessageIcon::Warning   ? QMessageBox::Warning
                                           : QMessageBox::Critical;
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

// The window as placed on the screen with the Log opened (the offscreen
// screen is 800x600): its frame must lie on the screen.
bool SaveWithLogOnScreen(TForm1& Form, const QString& Path) {
  Form.BtnLog->setChecked(true);
  QApplication::processEvents();
  const QRect screen = Form.screen()->availableGeometry(), frame = Form.frameGeometry();
  const bool fits = screen.contains(frame);
  std::printf("window frame %d,%d %dx%d on a screen of %dx%d%s\n", frame.x(), frame.y(), frame.width(), frame.height(),
              screen.width(), screen.height(), fits ? "" : ": NOT ON THE SCREEN");
  const bool ok = Save(Form, Path) && fits;
  Form.BtnLog->setChecked(false);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  // --scaled: only the window with its Log open, for a run with
  // QT_SCALE_FACTOR set.
  const bool scaled = argc == 3 && std::string(argv[1]) == "--scaled";
  if (argc != 2 && !scaled) {
    std::fprintf(stderr, "usage: vidlomat-screenshots [--scaled] FOLDER\n");
    return 2;
  }
  QTemporaryDir config, media;
  // Qt's offscreen platform with one screen of 800x600, a small laptop's.
  const QString screen = config.path() + "/screen.json";
  QFile screenFile(screen);
  if (!screenFile.open(QIODevice::WriteOnly) ||
      screenFile.write(R"({"screens": [{"name": "screen", "x": 0, "y": 0, "width": 800, "height": 600,
                       "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})") < 0)
    return 1;
  screenFile.close();
  qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screen).toUtf8());
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  qputenv("XDG_STATE_HOME", config.path().toUtf8());
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(kAppTitle);
  const QString out = QString::fromLocal8Bit(argv[argc - 1]);
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
  if (scaled) {
    const bool fits = SaveWithLogOnScreen(form, out + "/log-open-800x600-scaled.png");
    form.close();
    return fits ? 0 : 1;
  }
  bool ok = Save(form, out + "/main-window.png");
  ok = SaveWithLogOnScreen(form, out + "/log-open-800x600.png") && ok;

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
    // Disabled controls (Pause while idle) in grey, as a dark theme has them.
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
      dark.setColor(QPalette::Disabled, role, QColor(127, 127, 127));
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
  form.GBOutput->CboResolution->setCurrentText("320x240");

  // A batch whose last file fails (its output is a device that takes
  // nothing), with the finish message that counts it, the log panel open.
  const QString failing = media.path() + "/Birthday Party.avi";
  QFile::copy(files[1], failing);
  QFile::link("/dev/full", media.path() + "/My iPod Files/Birthday Party.mp4");
  form.BtnClearClick();
  dialogs.Files = {files[1], files[2], failing};
  form.BtnAddClick();
  form.BtnLog->setChecked(true);
  bool finished = false;
  dialogs.OnMessage = [&](const QString& Title, const QString& Text, TMessageIcon Icon) {
    if (!Text.startsWith("File conversion process finished.")) return;
    QMessageBox box(BoxIcon(Icon), Title, Text, QMessageBox::Ok, &form);
    finished = SaveWithDialogs(form, {&box}, out + "/failed-last-file.png") && Text.contains("1 of 3 files failed");
  };
  form.BtnStartClick();
  for (int i = 0; i < 6000 && form.Run().State() != TBatchRun::Idle; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
  if (!finished) std::fprintf(stderr, "the failed batch gave no finish message\n");
  ok = finished && ok;
  form.BtnLog->setChecked(false);

  // A batch where several files fail and one is gone by Convert: the finish
  // message lists each with its reason.
  const QString second = media.path() + "/Wedding.avi", gone = media.path() + "/Old Tape.avi";
  QFile::copy(files[1], second);
  QFile::copy(files[2], gone);
  QFile::link("/dev/full", media.path() + "/My iPod Files/Wedding.mp4");
  form.BtnClearClick();
  dialogs.Files = {files[1], failing, gone, second, files[2]};
  form.BtnAddClick();
  QFile::remove(gone);
  bool listed = false;
  dialogs.OnMessage = [&](const QString& Title, const QString& Text, TMessageIcon Icon) {
    if (!Text.startsWith("File conversion process finished.")) return;
    QMessageBox box(BoxIcon(Icon), Title, Text, QMessageBox::Ok, &form);
    listed = SaveWithDialogs(form, {&box}, out + "/finish-reasons.png") &&
             Text.contains("2 of 5 files failed, 1 skipped:") && Text.contains("not found") &&
             Icon == TMessageIcon::Warning;
  };
  form.BtnStartClick();
  for (int i = 0; i < 6000 && form.Run().State() != TBatchRun::Idle; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
  if (!listed) std::fprintf(stderr, "the finish message did not list the files\n");
  ok = listed && ok;

  // An output folder that cannot be used (a stick that is not plugged in is
  // pictured by a path through a file): one box, the files are listed.
  const QString outputFolder = form.EdtOutputFolder->text();
  QFile blocker(media.path() + "/USB STICK");
  if (blocker.open(QIODevice::WriteOnly)) blocker.write("a file where a folder should be");
  blocker.close();
  form.EdtOutputFolder->setText(media.path() + "/USB STICK/Videos/");
  form.BtnClearClick();
  dialogs.Files = {files[1], files[2]};
  bool folderTold = false;
  dialogs.OnMessage = [&](const QString& Title, const QString& Text, TMessageIcon Icon) {
    QMessageBox box(BoxIcon(Icon), Title, Text, QMessageBox::Ok, &form);
    folderTold = SaveWithDialogs(form, {&box}, out + "/output-folder-unusable.png") && Text.contains("is not a folder");
  };
  form.BtnAddClick();
  if (!folderTold) std::fprintf(stderr, "the unusable output folder was not told\n");
  ok = folderTold && form.Lvw->RowCount() == 2 && ok;
  form.EdtOutputFolder->setText(outputFolder);

  // A file refused while files are added, its box in front of the progress.
  const QString text = media.path() + "/readme.avi";
  QFile notes(text);
  if (notes.open(QIODevice::WriteOnly)) notes.write("a text file, not a video");
  notes.close();
  form.BtnClearClick();
  dialogs.Files = {files[1], text, files[2]};
  bool refused = false;
  dialogs.OnMessage = [&](const QString& Title, const QString& Text, TMessageIcon Icon) {
    if (dialogs.ProgressLabel.isEmpty()) return;
    QProgressDialog progress(dialogs.ProgressLabel, "Cancel", 0, dialogs.ProgressMaximum, &form);
    progress.setWindowTitle(kAppTitle);
    progress.setValue(dialogs.ProgressValue);
    QMessageBox box(BoxIcon(Icon), Title, Text, QMessageBox::Ok, &progress);
    refused = SaveWithDialogs(form, {&progress, &box}, out + "/refused-during-add.png");
  };
  form.BtnAddClick();
  if (!refused) std::fprintf(stderr, "the refusal was not shown during the Add\n");
  ok = refused && form.Lvw->RowCount() == 2 && ok;
  dialogs.OnMessage = nullptr;

  // Add Folder looking through a camera's tree, its progress in front.
  const QString camera = media.path() + "/Camera";
  for (const char* sub : {"/2019/Summer", "/2019/Winter", "/2020"}) QDir().mkpath(camera + sub);
  QFile::copy(files[0], camera + "/2019/Summer/beach.avi");
  QFile::copy(files[1], camera + "/2019/Winter/snow.mpg");
  QFile::copy(files[2], camera + "/2020/party.mov");
  QFile::copy(files[2], camera + "/intro.mov");
  form.BtnClearClick();
  form.ChkKeepFolders->setChecked(true);
  dialogs.Folder = camera;
  bool looking = false;
  dialogs.OnProgressLabel = [&](const QString& Label) {
    if (looking || !Label.endsWith("3 found")) return;
    QProgressDialog progress(Label, "Cancel", 0, 0, &form);
    progress.setWindowTitle(kAppTitle);
    looking = SaveWithDialogs(form, {&progress}, out + "/add-folder-progress.png");
  };
  QString added;
  dialogs.OnMessage = [&](const QString&, const QString& Text, TMessageIcon) { added = Text; };
  form.BtnAddFolderClick();
  dialogs.OnProgressLabel = nullptr;
  dialogs.OnMessage = nullptr;
  if (!looking) std::fprintf(stderr, "Add Folder showed no progress\n");
  ok = looking && added == "4 files added." && form.Lvw->RowCount() == 4 && ok;

  // Idle, the batch line sums the expected outputs against the free space.
  QApplication::processEvents();
  const bool figures = form.LblBatch->isVisible() && form.LblBatch->text().startsWith("4 files, about ");
  if (!figures) std::fprintf(stderr, "no size figures: %s\n", qPrintable(form.LblBatch->text()));
  ok = Save(form, out + "/size-figures.png") && figures && ok;

  // A paused batch: the clocks stand still, the button reads Resume.
  form.BtnStartClick();
  bool converting = false;
  for (int i = 0; i < 3000 && !converting; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
    converting = form.Lvw->Status(1).Percent >= 5;  // the minute-long beach
  }
  form.BtnPause->click();
  for (int i = 0; i < 30; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
  const bool paused = converting && form.LblBatch->text().startsWith("Paused: ");
  if (!paused) std::fprintf(stderr, "the batch was not caught paused: %s\n", qPrintable(form.LblBatch->text()));
  ok = Save(form, out + "/paused.png") && paused && ok;
  // Stop: the message counts what was converted, stopped and not started.
  bool stopTold = false;
  dialogs.OnMessage = [&](const QString& Title, const QString& Text, TMessageIcon Icon) {
    QMessageBox box(BoxIcon(Icon), Title, Text, QMessageBox::Ok, &form);
    stopTold = SaveWithDialogs(form, {&box}, out + "/finish-after-stop.png") &&
               Text.startsWith("File conversion stopped. ") && Text.contains(" not started");
  };
  form.BtnStartClick();  // Stop
  for (int i = 0; i < 6000 && form.Run().State() != TBatchRun::Idle; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
  if (!stopTold) std::fprintf(stderr, "the stop gave no message that counts the files\n");
  ok = stopTold && ok;

  // "Stop after this file" as the batch starts: the first file converts, the
  // others are counted as not started.
  form.BtnClearClick();
  const QString garden = media.path() + "/Garden.avi";
  QFile::copy(files[2], garden);
  dialogs.Files = {files[1], files[2], garden};
  dialogs.OnMessage = nullptr;
  form.BtnAddClick();
  bool stopAfterTold = false;
  dialogs.OnMessage = [&](const QString& Title, const QString& Text, TMessageIcon Icon) {
    QMessageBox box(BoxIcon(Icon), Title, Text, QMessageBox::Ok, &form);
    stopAfterTold = SaveWithDialogs(form, {&box}, out + "/finish-after-stop-after-this-file.png") &&
                    Text.startsWith("File conversion process finished after the files being converted. 1 of 3 files "
                                    "converted, 2 not started.");
  };
  form.BtnStartClick();
  form.StopAfterCurrent();
  for (int i = 0; i < 6000 && form.Run().State() != TBatchRun::Idle; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
  if (!stopAfterTold) std::fprintf(stderr, "\"Stop after this file\" gave no message that counts the files\n");
  ok = stopAfterTold && ok;
  dialogs.OnMessage = nullptr;

  // A film with two audio tracks and its row's Audio track menu, beside a
  // dark clip with a subtitle file of the same name.
  form.BtnClearClick();
  form.ChkKeepFolders->setChecked(false);
  const QString film = media.path() + "/Our Film.mkv", night = media.path() + "/Night Walk.avi";
  {
    TClipSpec recipe = ClipSpecByName("mkv");
    recipe.DurationSeconds = 2;
    recipe.AudioCodec = "aac";
    recipe.SampleRate = 48000;
    recipe.AudioTracks = {{"eng", false, 2, 440}, {"ger", false, 6, 1000}};
    recipe.MuxerOptions = {{"default_mode", "passthrough"}};
    TClipSpec dark = ClipSpecByName("avi_xvid");
    dark.DurationSeconds = 2;
    dark.FlatLuma = 40;
    std::string error;
    if (!MakeClip(recipe, film.toStdString(), &error) || !MakeClip(dark, night.toStdString(), &error)) {
      std::fprintf(stderr, "cannot make the clips: %s\n", error.c_str());
      return 1;
    }
    std::ofstream(media.path().toStdString() + "/Night Walk.srt")
        << "1\n00:00:00,000 --> 00:00:05,000\nWhere are you going?\n";
  }
  {
    // The user's language: English, so the English track comes first.
    const QByteArray lang = qgetenv("LANG"), language = qgetenv("LANGUAGE"), all = qgetenv("LC_ALL"),
                     messages = qgetenv("LC_MESSAGES");
    qputenv("LANG", "en_GB.UTF-8");
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) qunsetenv(name);
    dialogs.Files = {film, night};
    form.BtnAddClick();
    for (auto [name, value] : {std::pair{"LANG", lang}, {"LANGUAGE", language}, {"LC_ALL", all}, {"LC_MESSAGES", messages}})
      if (value.isEmpty()) qunsetenv(name); else qputenv(name, value);
  }
  const bool types = form.Lvw->RowCount() == 2 &&
                     form.Lvw->Cell(0, TQueueList::ColType) == "MKV \u00B7 en stereo" &&
                     form.Lvw->Cell(1, TQueueList::ColType) == "AVI + subtitles";
  if (!types) std::fprintf(stderr, "the Type column does not show the track and the subtitles\n");
  {
    const std::unique_ptr<QMenu> menu = form.RowMenu(0);
    QMenu* tracks = nullptr;
    for (QAction* a : menu->actions())
      if (a->text() == "Audio track") {
        tracks = a->menu();
        menu->setActiveAction(a);
      }
    // Below the rows, so that their Type cells show.
    const QRect cell = form.Lvw->visualRect(form.Lvw->model()->index(1, TQueueList::ColOutput));
    const QPoint at = form.Lvw->viewport()->mapTo(&form, cell.bottomLeft() + QPoint(20, 4));
    ok = tracks && tracks->isEnabled() && tracks->actions().size() == 2 &&
         SaveWithMenu(form, *menu, *tracks, at, out + "/audio-track-menu.png") && types && ok;
    if (tracks) tracks->actions()[1]->trigger();  // German
  }
  ok = form.Lvw->Cell(0, TQueueList::ColType) == "MKV \u00B7 de 5.1" && ok;

  // The two converted; one picture of the dark clip's output, half a second
  // in, with its subtitle drawn in the lower third and nothing above.
  form.BtnStartClick();
  for (int i = 0; i < 6000 && form.Run().State() != TBatchRun::Idle; ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
  bool burned = false;
  // (The pictures go before the window, which unloads the libraries.)
  if (const std::vector<TFramePtr> frames =
          DecodeVideo(media.path().toStdString() + "/My iPod Files/Night Walk.mp4", 16);
      frames.size() == 16) {
    const AVFrame& f = *frames.back();
    const int lower = BrightPixels(f, f.height * 2 / 3, f.height), upper = BrightPixels(f, 0, f.height / 3);
    std::printf("subtitle: %d bright pixels in the lower third, %d in the upper\n", lower, upper);
    const QImage picture = PictureOf(f);
    burned = lower > 100 && upper == 0 && picture.save(out + "/burned-subtitle.png");
    std::printf("%s %s\n", burned ? "wrote" : "could not write", qPrintable(out + "/burned-subtitle.png"));
  }
  if (!burned) std::fprintf(stderr, "no subtitle burned into the output\n");
  ok = burned && ok;
  form.close();
  return ok ? 0 : 1;
}
