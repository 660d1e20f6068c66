#include "MainForm.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <cstdio>
#include <filesystem>

#include "AboutForm.h"
#include "AppIcon.h"
#include "BatchSize.h"
#include "FileNames.h"
#include "FolderScan.h"
#include "LauncherEntry.h"
#include "OutputSettings.h"
#include "PowerOff.h"
#include "QueueList.h"
#include "SettingsFile.h"
#include "SizeSampler.h"
#include "SleepGuard.h"
#include "UiQueue.h"

const char* const kAppTitle = "Vidlomat";
const char* const kNotStarted = "The conversion was cancelled before it started: no file was converted.";
const char* const kAddDialogTitle = "Choose Files to Convert";
const char* const kAddFolderTitle = "Choose a Folder to Convert";
// The designed entries, today's formats given entries of their own before
// "All Files". The first entry lists every extension of VideoExtensions(),
// the one list that Add Folder, dropped folders and vidlomat-cli use too
// (with the designed entry's spelling "*.divX").
const char* const kAddDialogFilter = [] {
  static const std::string filter = [] {
    std::string all = "All supported Media Format|";
    for (const std::string& e : VideoExtensions())
      all += (all.back() == '|' ? "*." : ";*.") + (e == "divx" ? std::string("divX") : e);
    return all +
           "|AVI(*.avi)|*.avi|DivX(*.divx;*.div)|*.divx;*.div|Xvid(*.xvid)|*.xvid|MPEG(*.mpeg;*.mpg)|*.mpeg;*.mpg|"
           "WMV(*.wmv)|*.wmv|ASF(*.asf)|*.asf|Real Video(*.rm;*.rmvb)|*.rm;*.rmvb|VCD Format(*.dat)|*.dat|"
           "Quick Time Format(*.mov)|*.mov|SWF(*.swf)|*.swf|MPEG-4(*.mp4;*.m4v)|*.mp4;*.m4v|Matroska(*.mkv)|*.mkv|"
           "WebM(*.webm)|*.webm|3GP(*.3gp;*.3g2)|*.3gp;*.3g2|MPEG Transport Stream(*.ts;*.mts;*.m2ts)|*.ts;*.mts;"
           "*.m2ts|Flash Video(*.flv)|*.flv|Ogg Video(*.ogv)|*.ogv|DVD Video(*.vob)|*.vob|MXF(*.mxf)|*.mxf|"
           "All Files(*.*)|*.*";
  }();
  return filter.c_str();
}();

namespace {
QString Q(const std::string& Text) { return QString::fromStdString(Text); }

// The log panel: three lines at least, and the room it asks for when it
// opens (the window grows by that much).
class TLogView : public QPlainTextEdit {
public:
  using QPlainTextEdit::QPlainTextEdit;
  QSize sizeHint() const override { return QSize(QPlainTextEdit::sizeHint().width(), 140); }
};
std::string FileNameOf(const std::string& Path) { return Path.substr(Path.find_last_of('/') + 1); }
}  // namespace

TForm1::TForm1(IDialogs& Dialogs, IPowerOff* PowerOff, QWidget* Parent)
    : QWidget(Parent), FDialogs(Dialogs), FPowerOff(PowerOff), FUiQueue(new TUiQueue(this)),
      FLibraryFolder(DefaultLibraryFolder()) {
  setWindowTitle(kAppTitle);
  setWindowIcon(AppIcon());
  FreeSpace = FreeBytesFor;

  Lvw = new TQueueList(this);
  Lvw->setMinimumHeight(80);
  auto button = [this](const char* Caption) { return new QPushButton(Caption, this); };
  BtnAdd = button("&Add");
  // Every letter is some control's mnemonic already: Ctrl+Shift+O is its key.
  BtnAddFolder = button("Add Folder...");
  BtnAddFolder->setToolTip("Add the video files of a folder and its subfolders (Ctrl+Shift+O)");
  BtnRemove = button("&Remove");
  BtnClear = button("&Clear");
  BtnMoveUp = button("Move &Up");
  BtnMoveDown = button("Move &Down");
  Label1 = new QLabel("Output &Folder: ", this);
  EdtOutputFolder = new QLineEdit(this);
  EdtOutputFolder->setReadOnly(true);
  BtnChangeOutputFolder = button("...");
  BtnChangeOutputFolder->setFixedWidth(32);
  BtnOpenOutputFolder = button("O&pen output folder");
  Label1->setBuddy(BtnChangeOutputFolder);
  GBOutput = new TOutputSettings(this);
  GBOther = new QGroupBox("Other Settings", this);
  ChkOverwrite = new QCheckBox("Overwrite e&xisting files", GBOther);
  ChkOverwrite->setChecked(true);
  ChkShutdown = new QCheckBox("Shut do&wn computer when completed", GBOther);
  ChkSkipConverted = new QCheckBox("S&kip files already converted", GBOther);
  ChkLowPriority = new QCheckBox("Convert at low priorit&y", GBOther);
  ChkLowPriority->setChecked(true);
  ChkKeepFolders = new QCheckBox("Keep the folder structure", GBOther);
  ChkKeepFolders->setToolTip("Files added from a folder go to the same subfolders below the output folder");
  // Every letter already leads to another control: these two have none.
  ChkEvenVolume = new QCheckBox("Even out the volume", GBOther);
  ChkEvenVolume->setChecked(true);
  ChkEvenVolume->setToolTip("Every output's sound at the same loudness, so quiet and loud videos play at one level");
  ChkBurnSubtitles = new QCheckBox("Burn in subtitles", GBOther);
  ChkBurnSubtitles->setChecked(true);
  ChkBurnSubtitles->setToolTip("A subtitle file beside a video, or a forced subtitle track, is drawn into the picture");
  LblParallel = new QLabel("Files at the same &time:", GBOther);
  SpinParallel = new QSpinBox(GBOther);
  SpinParallel->setRange(1, MaxFilesAtTheSameTime());
  LblParallel->setBuddy(SpinParallel);
  LblProgress = new QLabel(this);
  BatchBar = new QProgressBar(this);
  BatchBar->setRange(0, 100);
  BatchBar->setMinimumWidth(80);
  BatchBar->setMaximumWidth(200);
  LblBatch = new QLabel(this);
  // Hidden while Idle, they keep their room, so that nothing moves at Convert.
  // The two lines take the width they are given (a narrow window cuts them
  // short) and never widen the window.
  for (QWidget* w : std::initializer_list<QWidget*>{LblProgress, BatchBar, LblBatch}) {
    QSizePolicy room = w->sizePolicy();
    room.setRetainSizeWhenHidden(true);
    if (w != BatchBar) room.setHorizontalPolicy(QSizePolicy::Ignored);
    w->setSizePolicy(room);
    w->hide();
  }
  BtnLog = new QToolButton(this);
  BtnLog->setText("Lo&g");
  BtnLog->setCheckable(true);
  BtnLog->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  BtnLog->setArrowType(Qt::RightArrow);
  BtnLog->setAutoRaise(true);
  BtnLog->setToolTip("Show the conversion log");
  MemLog = new TLogView(this);
  MemLog->setReadOnly(true);
  MemLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  MemLog->setMaximumBlockCount(5000);
  // A long line is wrapped at the panel's width rather than scrolled: at its
  // least height (a small screen) a horizontal scroll bar would leave one
  // line to read. Copied, each line stays one line.
  MemLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  MemLog->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  MemLog->setMinimumHeight(3 * MemLog->fontMetrics().lineSpacing() + 2 * MemLog->frameWidth());
  MemLog->hide();
  // The panel follows new lines while it shows the last one; once the user
  // scrolls up it stays where it was put, until scrolled to the end again.
  QScrollBar* logBar = MemLog->verticalScrollBar();
  connect(logBar, &QScrollBar::valueChanged, this, [this, logBar](int Value) { FLogFollows = Value >= logBar->maximum(); });
  connect(logBar, &QScrollBar::rangeChanged, this, [this, logBar](int, int Max) {
    if (FLogFollows) logBar->setValue(Max);
  });
  FBatchTicker = new QTimer(this);
  FBatchTicker->setInterval(1000);
  connect(FBatchTicker, &QTimer::timeout, this, [this] { ShowBatchProgress(); });
  BtnStart = button("Con&vert");
  // Enabled while Running (always shown, so that nothing moves at Convert).
  // Its letters belong to buttons that rest meanwhile (Move Up, Remove).
  BtnPause = button("Pa&use");
  BtnPause->setEnabled(false);
  BtnAbout = button("A&bout");
  BtnHelp = button("&Help");

  auto* side = new QVBoxLayout;
  for (QPushButton* b : {BtnAdd, BtnAddFolder, BtnRemove, BtnClear}) side->addWidget(b);
  side->addSpacing(12);
  side->addWidget(BtnMoveUp);
  side->addWidget(BtnMoveDown);
  side->addStretch(1);
  auto* top = new QHBoxLayout;
  top->addWidget(Lvw, 1);
  top->addLayout(side);

  auto* folder = new QHBoxLayout;
  folder->addWidget(Label1);
  folder->addWidget(EdtOutputFolder, 1);
  folder->addWidget(BtnChangeOutputFolder);
  folder->addWidget(BtnOpenOutputFolder);

  auto* other = new QGridLayout(GBOther);
  other->addWidget(ChkOverwrite, 0, 0);
  // Two columns of boxes, so that the group fits a narrow window.
  other->addWidget(ChkSkipConverted, 0, 1);
  other->addWidget(ChkShutdown, 1, 0);
  other->addWidget(ChkLowPriority, 1, 1);
  auto* parallel = new QHBoxLayout;
  parallel->addWidget(LblParallel);
  parallel->addWidget(SpinParallel);
  parallel->addStretch(1);
  other->addWidget(ChkKeepFolders, 2, 0);
  other->addLayout(parallel, 2, 1);
  other->setColumnStretch(3, 1);
  other->setHorizontalSpacing(12);
  other->setContentsMargins(6, 6, 6, 6);
  // The sound and subtitle boxes: a third column where the screen is wide
  // enough for it (at 800x600 the page is then no taller), else a row of
  // their own (ArrangeOtherSettings).
  other->addWidget(ChkEvenVolume, 0, 2);
  other->addWidget(ChkBurnSubtitles, 1, 2);

  auto* batch = new QHBoxLayout;
  batch->addWidget(BatchBar);
  batch->addWidget(LblBatch, 1);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(LblProgress, 1);
  bottom->addWidget(BtnLog);
  bottom->addWidget(BtnPause);
  bottom->addWidget(BtnStart);
  bottom->addWidget(BtnAbout);
  bottom->addWidget(BtnHelp);

  // Everything lies on one page that fills the window; a window made
  // smaller than the page (a small or scaled screen) scrolls it.
  FPage = new QWidget;
  auto* main = new QVBoxLayout(FPage);
  main->setContentsMargins(6, 6, 6, 6);
  main->addLayout(top, 3);
  main->addLayout(folder);
  main->addWidget(GBOutput);
  main->addWidget(GBOther);
  main->addLayout(batch);
  main->addLayout(bottom);
  main->addWidget(MemLog, 2);
  FScroll = new QScrollArea(this);
  FScroll->setFrameShape(QFrame::NoFrame);
  FScroll->setWidgetResizable(true);
  FScroll->setWidget(FPage);
  auto* window = new QVBoxLayout(this);
  window->setContentsMargins(0, 0, 0, 0);
  window->addWidget(FScroll);
  // The least size follows the page's (captions whole, the note on the
  // players' limits shown or not) as far as the screen allows.
  FPage->installEventFilter(this);
  resize(FirstSize());

  // The list's commands: each is one action, whose button and keys share its
  // enabled state (UpdateActions). Keys of a widget act only while it or a
  // child has the focus: Delete only in the list (in a number field it deletes
  // a digit), and Enter starts the batch only from the list (in a field it
  // confirms the value); the Convert button takes Enter itself when focused.
  auto action = [this](QPushButton* Button, QList<QKeySequence> Keys, QWidget* Where, auto Handler) {
    auto* a = new QAction(Button ? Button->text() : BtnStart->text(), this);
    a->setShortcuts(Keys);
    a->setShortcutContext(Where == this ? Qt::WindowShortcut : Qt::WidgetWithChildrenShortcut);
    Where->addAction(a);
    connect(a, &QAction::triggered, this, Handler);
    if (Button) {
      connect(Button, &QPushButton::clicked, a, &QAction::trigger);
      connect(a, &QAction::enabledChanged, Button, &QWidget::setEnabled);
    }
    return a;
  };
  ActAdd = action(BtnAdd, {QKeySequence::Open}, this, [this] { BtnAddClick(); });
  ActAddFolder = action(BtnAddFolder, {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O)}, this,
                        [this] { BtnAddFolderClick(); });
  ActRemove = action(BtnRemove, {QKeySequence::Delete}, Lvw, [this] { BtnRemoveClick(); });
  ActClear = action(BtnClear, {}, this, [this] { BtnClearClick(); });
  ActMoveUp = action(BtnMoveUp, {QKeySequence(Qt::CTRL | Qt::Key_Up)}, this, [this] { BtnMoveUpClick(); });
  ActMoveDown = action(BtnMoveDown, {QKeySequence(Qt::CTRL | Qt::Key_Down)}, this, [this] { BtnMoveDownClick(); });
  // Enter in the list starts an idle batch; it never stops a running one.
  ActConvert = action(nullptr, {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}, Lvw, [this] {
    if (Lvw->RowCount() > 0) StartRun();
  });
  BtnStart->setAutoDefault(true);
  connect(BtnChangeOutputFolder, &QPushButton::clicked, this, [this] { BtnChangeOutputFolderClick(); });
  connect(BtnStart, &QPushButton::clicked, this, [this] { BtnStartClick(); });
  connect(BtnPause, &QPushButton::clicked, this, [this] { BtnPauseClick(); });
  // The Stop button's menu (its context menu, while Running).
  ActStopAfter = new QAction("Stop after this file", this);
  ActStopAfter->setVisible(false);
  connect(ActStopAfter, &QAction::triggered, this, [this] { StopAfterCurrent(); });
  BtnStart->addAction(ActStopAfter);
  BtnStart->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(BtnAbout, &QPushButton::clicked, this, [this] { BtnAboutClick(); });
  connect(BtnHelp, &QPushButton::clicked, this, [this] { BtnHelpClick(); });
  connect(BtnOpenOutputFolder, &QPushButton::clicked, this, [this] { BtnOpenOutputFolderClick(); });
  Lvw->CanDrop = [this] { return FRun.State() == TBatchRun::Idle && !FBusy; };
  Lvw->OnDropFiles = [this](const std::vector<std::string>& Paths) { return DropFiles(Paths); };
  connect(BtnLog, &QToolButton::toggled, this, [this](bool Open) { ShowLog(Open); });
  Lvw->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Lvw, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
    const QModelIndex index = Lvw->indexAt(At);
    if (!index.isValid()) return;
    // The window (the menu's parent) may go while the menu is open.
    const QPointer<QMenu> menu = RowMenu(index.row()).release();
    menu->exec(Lvw->viewport()->mapToGlobal(At));
    if (menu) menu->deleteLater();
  });
  connect(ChkOverwrite, &QCheckBox::toggled, this, [this] { RefreshOutputNames(); });
  connect(ChkKeepFolders, &QCheckBox::toggled, this, [this] { RefreshOutputNames(); });
  // The Type column says " + subtitles" only while they are burned in.
  connect(ChkBurnSubtitles, &QCheckBox::toggled, this, [this](bool On) { Lvw->SetBurnSubtitles(On); });
  connect(EdtOutputFolder, &QLineEdit::textChanged, this, [this] { RefreshOutputNames(); });

  EdtOutputFolder->setText(TSettingsFile::DefaultOutputFolder());

  // Every change of the list is saved, once its events are through, and
  // written by FListSaver's thread. An add of many files is saved once it is
  // through (EndBusy), not after each file; during a batch, whose progress
  // changes the rows many times a second, at most every kListSaveGapMs. A
  // change while a save is pending does not put it off again.
  FListSaver = std::make_unique<TListSaver>(FListStore);
  FListSave = new QTimer(this);
  FListSave->setSingleShot(true);
  connect(FListSave, &QTimer::timeout, this, [this] {
    if (!FBusy) SaveList();  // else EndBusy starts it again
  });
  QAbstractItemModel* rows = Lvw->model();
  auto save = [this] { ScheduleListSave(); };
  connect(rows, &QAbstractItemModel::rowsInserted, this, save);
  connect(rows, &QAbstractItemModel::rowsRemoved, this, save);
  connect(rows, &QAbstractItemModel::rowsMoved, this, save);
  connect(rows, &QAbstractItemModel::modelReset, this, save);
  connect(rows, &QAbstractItemModel::dataChanged, this, save);
  // The size figures follow the rows, the settings and the output folder.
  FFiguresTimer = new QTimer(this);
  FFiguresTimer->setSingleShot(true);
  FFiguresTimer->setInterval(0);
  connect(FFiguresTimer, &QTimer::timeout, this, [this] { ShowBatchFigures(); });
  auto figures = [this] {
    if (!FFiguresTimer->isActive()) FFiguresTimer->start();
  };
  for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
    connect(rows, signal, this, figures);
  connect(rows, &QAbstractItemModel::modelReset, this, figures);
  connect(EdtOutputFolder, &QLineEdit::textChanged, this, figures);
  for (QSpinBox* spin : {GBOutput->SpinVideo, GBOutput->SpinAudio}) connect(spin, &QSpinBox::valueChanged, this, figures);
  for (QComboBox* box : {GBOutput->CboFrameRate, GBOutput->CboAudioSampleRate})
    connect(box, &QComboBox::currentIndexChanged, this, figures);
}

TForm1::~TForm1() {
  // The component is destroyed after this body; no event of it may reach a
  // window that is going away.
  QuilloC.OnProgress = nullptr;
  QuilloC.OnTerminate = nullptr;
  QuilloC.OnLog = nullptr;
  QuilloC.OnBeforeStart = nullptr;
  // Its thread is joined here; what it posted is dropped with the queue.
  FSampler.reset();
  // The list is destroyed with the window's children, after this body, and
  // its model says so (a reset): that must not save the list from a window
  // that is no longer one.
  disconnect(Lvw->model(), nullptr, this, nullptr);
}

void TForm1::ShowLog(bool Open) {
  if (BtnLog->isChecked() != Open) BtnLog->setChecked(Open);  // comes back here
  BtnLog->setArrowType(Open ? Qt::DownArrow : Qt::RightArrow);
  BtnLog->setToolTip(Open ? "Hide the conversion log" : "Show the conversion log");
  if (MemLog->isHidden() != Open) return;
  // The window grows by the panel's height and gives it back when it closes,
  // as far as the screen allows; maximized, the list makes the room.
  // (The panel of a window not shown yet has not been laid out: it takes the
  // room it asks for.)
  const int spacing = FPage->layout()->spacing();
  const int panel = MemLog->isVisible() ? MemLog->height() : MemLog->sizeHint().height();
  QRect g = geometry();
  MemLog->setVisible(Open);
  if (isMaximized() || isFullScreen()) return;
  UpdateMinimumSize();
  g.setHeight(std::max(minimumHeight(), g.height() + (Open ? 1 : -1) * (panel + spacing)));
  // A window not shown yet is fitted to the screen when it is shown.
  if (isVisible())
    FitOnScreen(g);
  else
    resize(g.size());
}

void TForm1::ArrangeOtherSettings(int RoomWidth) {
  auto* grid = static_cast<QGridLayout*>(GBOther->layout());
  auto widest = [](std::initializer_list<QWidget*> Widgets) {
    int w = 0;
    for (QWidget* widget : Widgets) w = std::max(w, widget->sizeHint().width());
    return w;
  };
  const int parallel = LblParallel->sizeHint().width() + SpinParallel->sizeHint().width() + 6;
  const QMargins m = grid->contentsMargins();
  const int need = m.left() + widest({ChkOverwrite, ChkShutdown, ChkKeepFolders}) +
                   std::max(widest({ChkSkipConverted, ChkLowPriority}), parallel) +
                   widest({ChkEvenVolume, ChkBurnSubtitles}) + 2 * grid->horizontalSpacing() + m.right();
  // The group's frame and the page's margins around the grid.
  const QMargins page = FPage->layout()->contentsMargins();
  const int around = GBOther->minimumSizeHint().width() - grid->minimumSize().width() + page.left() + page.right();
  const bool wide = RoomWidth >= need + around;
  if (wide == FOtherWide) return;
  FOtherWide = wide;
  grid->removeWidget(ChkEvenVolume);
  grid->removeWidget(ChkBurnSubtitles);
  grid->addWidget(ChkEvenVolume, wide ? 0 : 3, wide ? 2 : 0);
  grid->addWidget(ChkBurnSubtitles, wide ? 1 : 3, wide ? 2 : 1);
}

bool TForm1::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == FPage && Event->type() == QEvent::LayoutRequest) {
    // The page's layout would work on this event after the filter: done now,
    // the least size is the new one.
    FPage->layout()->activate();
    UpdateMinimumSize();
  }
  return QWidget::eventFilter(Watched, Event);
}

void TForm1::showEvent(QShowEvent* Event) {
  if (!FPlaced && !Event->spontaneous()) {
    // Before the window is mapped: its first place is the middle of the
    // screen, its size the designed one, both inside the free area.
    FPlaced = true;
    UpdateMinimumSize();
    const QRect area = AvailableArea();
    QRect g(QPoint(), FirstSize());
    g.moveCenter(area.center());
    FitOnScreen(g);
    FFrameChecks = 50;
    QTimer::singleShot(100, this, [this] { CheckFirstFrame(); });
  }
  QWidget::showEvent(Event);
}

void TForm1::CheckFirstFrame() {
  if (FFrameChecks <= 0) return;
  const QRect frame = frameGeometry(), client = geometry();
  if (!isVisible() || frame == client || !frame.contains(client)) {
    // Not framed yet (or never: no window manager).
    if (--FFrameChecks > 0) QTimer::singleShot(100, this, [this] { CheckFirstFrame(); });
    return;
  }
  FFrameChecks = 0;
  if (isMaximized() || isFullScreen() || AvailableArea().contains(frame)) return;
  UpdateMinimumSize();  // the room left by the real frame
  FitOnScreen(client);
}

QRect TForm1::AvailableArea() const {
  const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  return s ? s->availableGeometry() : QRect(0, 0, 800, 600);
}

QMargins TForm1::FrameMargins() const {
  // Known once a window manager has framed the window; until then as much as
  // the common title bars and borders take.
  const QRect frame = frameGeometry(), client = geometry();
  // A scaled screen rounds the frame's pixels to whole ones of the window:
  // one more on each side keeps the frame on the screen.
  // (While the window manager frames the window, the frame may for a moment
  // not contain the window: that one is not taken.)
  if (isVisible() && frame != client && frame.contains(client))
    return QMargins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                    frame.bottom() - client.bottom()) +
           QMargins(1, 1, 1, 1);
  const int title = std::max(32, 2 * fontMetrics().height());
  return QMargins(8, title, 8, 8);
}

QSize TForm1::FirstSize() const {
  // The designed size, or the least that shows every caption whole.
  return QSize(655, 448).expandedTo(FPage->minimumSizeHint());
}

void TForm1::UpdateMinimumSize() {
  const QSize room = AvailableArea().size().shrunkBy(FrameMargins());
  ArrangeOtherSettings(room.width());
  const QSize before = size();
  setMinimumSize(FPage->minimumSizeHint().boundedTo(room));
  // A window that had to grow stays on the screen.
  if (isVisible() && size() != before && !isMaximized() && !isFullScreen()) FitOnScreen(geometry());
}

void TForm1::FitOnScreen(QRect Client) {
  const QRect area = AvailableArea();
  const QMargins frame = FrameMargins();
  QRect outer = Client.marginsAdded(frame);
  outer.setSize(outer.size().boundedTo(area.size()));
  if (outer.right() > area.right()) outer.moveRight(area.right());
  if (outer.bottom() > area.bottom()) outer.moveBottom(area.bottom());
  if (outer.left() < area.left()) outer.moveLeft(area.left());
  if (outer.top() < area.top()) outer.moveTop(area.top());
  // Placed by the window itself, not its frame: before the window manager
  // has framed it, a frame position would be taken for the window's.
  setGeometry(QRect(outer.topLeft() + QPoint(frame.left(), frame.top()), outer.size().shrunkBy(frame)));
}

void TForm1::Message(const QString& Title, const QString& Text, TMessageIcon Icon) {
  FDialogs.Message(this, Title, Text, Icon);
}

bool TForm1::FormCreate() {
  if (!QuilloC.LoadLibraries(FLibraryFolder, true)) {
    Message("Error", Q(QuilloC.LastError()) + " Please re-install the program and try it again.",
            TMessageIcon::Error);
    return false;
  }
  const TStoredSettings s = TSettingsFile().Read();
  EdtOutputFolder->setText(s.OutputPath);
  GBOutput->Load(s);
  ChkOverwrite->setChecked(s.Overwrite);
  ChkShutdown->setChecked(s.ShutdownAfterCompleted);
  ChkSkipConverted->setChecked(s.SkipConverted);
  ChkLowPriority->setChecked(s.LowPriority);
  ChkKeepFolders->setChecked(s.KeepFolders);
  ChkEvenVolume->setChecked(s.EvenVolume);
  ChkBurnSubtitles->setChecked(s.BurnSubtitles);
  SpinParallel->setValue(s.FilesAtTheSameTime);
  FKeyFrameSeconds = s.KeyFrameSeconds;
  FCreated = true;
  RestoreList();
  return true;
}

void TForm1::RestoreList() {
  const TListStore::TLoaded loaded = FListStore.Load();
  for (const TStoredRow& row : loaded.Rows) {
    TFileSetup setup;
    setup.FileName = row.Path;
    setup.Base = row.Base;
    setup.Duration = row.Duration;
    setup.Type = row.Type;
    setup.OutputName = row.OutputName;
    Lvw->AppendRow(setup);
    Lvw->SetStatus(Lvw->RowCount() - 1, {row.State});
    Lvw->SetTreeFolder(Lvw->RowCount() - 1, row.TreeFolder);
    // The tracks are read when the row's menu asks or at Convert; whether
    // subtitles are burned in is what the stored Type says.
    TRowAudio audio;
    audio.Subtitles = row.Type.ends_with(" + subtitles");
    Lvw->SetAudio(Lvw->RowCount() - 1, audio);
    // The streams are not known again until Convert: a video with sound.
    TSizeInputs size;
    size.DurationUs = DurationUsOfText(row.Duration);
    Lvw->SetSizeInputs(Lvw->RowCount() - 1, size);
  }
  if (!loaded.Note.empty()) {
    std::fprintf(stderr, "vidlomat: %s\n", loaded.Note.c_str());
    MemLog->appendPlainText(Q(loaded.Note));
    ShowLog(true);
  }
  FListRestored = true;
  RefreshOutputNames();
  SaveList();
  if (loaded.Interrupted > 0) RemoveLeftoverParts();
}

void TForm1::RemoveLeftoverParts() {
  // The program was ended in a batch: the output it was writing is a part
  // file in the row's output folder, which the next output into that folder
  // would remove. It goes now, and the Log says so.
  std::set<std::string> folders;
  for (int r = 0; r < Lvw->RowCount(); ++r) folders.insert(OutputFolderOf(r));
  std::vector<std::string> removed;
  for (const std::string& folder : folders)
    for (std::string& path : RemoveLeftoverPartFiles(folder)) removed.push_back(std::move(path));
  for (const std::string& path : removed)
    MemLog->appendPlainText("Removed " + Q(path) + ", the unfinished output of the conversion that was under way "
                            "when the program last ended.");
}

void TForm1::ScheduleListSave() {
  if (FBusy) return;
  if (FListSave->isActive() && FListSave->interval() == 0) return;
  // During a batch a row's progress changes the list many times a second,
  // but is not kept: only a change of what is kept (a row that starts,
  // ends, comes or goes) is saved at once.
  bool kept = FRun.State() == TBatchRun::Idle || Lvw->RowCount() != static_cast<int>(FSavedStates.size());
  for (int r = 0; !kept && r < Lvw->RowCount(); ++r) kept = Lvw->Status(r).State != FSavedStates[static_cast<size_t>(r)];
  if (kept)
    FListSave->start(0);
  else if (!FListSave->isActive())
    FListSave->start(kListSaveGapMs);
}

void TForm1::SaveList() {
  if (!FListRestored) return;  // never over a list not yet read
  std::vector<TStoredRow> rows;
  for (int r = 0; r < Lvw->RowCount(); ++r)
    rows.push_back({Lvw->Status(r).State, Lvw->Path(r), Lvw->Cell(r, TQueueList::ColInput).toStdString(),
                    Lvw->Cell(r, TQueueList::ColDuration).toStdString(),
                    Lvw->TypeToKeep(r).toStdString(), Lvw->OutputName(r), Lvw->TreeFolder(r)});
  FSavedStates.clear();
  for (const TStoredRow& row : rows) FSavedStates.push_back(row.State);
  FListSaver->Post(std::move(rows));
}

void TForm1::KeepAwake() {
  if (!FSleepGuard) return;
  const int files = FRun.TaskCount();
  // logind's answer comes later (the guard never waits for it); a pause,
  // the batch's end or the window's close gives the lock back and drops it.
  FSleepGuard->Acquire("Converting " + QString::number(files) + (files == 1 ? " file" : " files"),
                       [self = QPointer<TForm1>(this)](bool Ok, const QString& Error) {
                         if (Ok || !self || self->FSleepNoted) return;
                         self->FSleepNoted = true;
                         self->MemLog->appendPlainText("The computer may go to sleep while converting: logind could not "
                                                 "be asked to keep it awake (" + Error + ").");
                       });
}

void TForm1::FormCloseQuery() {
  if (FClosed) return;
  FClosed = true;
  // No event of a task that is still ending reaches the window any more.
  QuilloC.OnLog = nullptr;
  QuilloC.OnProgress = nullptr;
  QuilloC.OnTerminate = nullptr;
  QuilloC.OnBeforeStart = nullptr;
  // No sample nor reading of an output may still run library code when the
  // libraries are unloaded.
  FSampler.reset();
  FOutputLengths.Wait();
  QuilloC.StopAll();
  if (FRun.State() == TBatchRun::Running) FRun.End();
  if (FSleepGuard) FSleepGuard->Release();
  if (FLauncher) FLauncher->Clear();
  if (!FCreated) return;
  FListSave->stop();
  SaveList();
  FListSaver->Flush();
  // Waits (bounded) until no worker runs library code any more.
  if (!QuilloC.UnloadLibraries()) std::fprintf(stderr, "vidlomat: %s\n", QuilloC.LastError().c_str());
  WriteSettings();
}

void TForm1::WriteSettings() {
  if (!FCreated) return;
  TStoredSettings s;
  s.OutputPath = EdtOutputFolder->text();
  GBOutput->Store(s);
  s.Overwrite = ChkOverwrite->isChecked();
  s.ShutdownAfterCompleted = ChkShutdown->isChecked();
  s.SkipConverted = ChkSkipConverted->isChecked();
  s.LowPriority = ChkLowPriority->isChecked();
  s.EvenVolume = ChkEvenVolume->isChecked();
  s.BurnSubtitles = ChkBurnSubtitles->isChecked();
  s.KeepFolders = ChkKeepFolders->isChecked();
  s.FilesAtTheSameTime = SpinParallel->value();
  s.KeyFrameSeconds = FKeyFrameSeconds;
  QString error;
  if (!TSettingsFile().Write(s, error)) std::fprintf(stderr, "vidlomat: settings not saved: %s\n", qPrintable(error));
}

void TForm1::closeEvent(QCloseEvent* Event) {
  if (FBusy) {
    // The per-file set-up on the stack below uses the libraries: end it
    // first (a refusal's box open in it goes too), then close.
    FCancelBusy = true;
    FCloseWhenIdle = true;
    FDialogs.CloseMessages();
    Event->ignore();
    return;
  }
  FormCloseQuery();
  // A box still open (the output folder's, say) goes with the window.
  FDialogs.CloseMessages();
  Event->accept();
}

TBatchSettings TForm1::CurrentSettings(bool TakeTyped) const {
  TBatchSettings s;
  GBOutput->Fill(s, TakeTyped);
  s.OutputFolder = EdtOutputFolder->text().toStdString();
  s.Overwrite = ChkOverwrite->isChecked();
  s.KeepFolders = ChkKeepFolders->isChecked();
  s.EvenVolume = ChkEvenVolume->isChecked();
  s.BurnSubtitles = ChkBurnSubtitles->isChecked();
  s.KeyFrameSeconds = FKeyFrameSeconds;
  return s;
}

TFileSetup TForm1::SetUpFile(const std::string& FileName, TNameReservations& Reserved, bool AtConvert,
                              bool OpenOutput, const std::string& TreeFolder, TFolderAdd* Refusals, int AudioTrack) {
  TBatchSettings settings = CurrentSettings();
  settings.SkipConverted = AtConvert && ChkSkipConverted->isChecked();
  // A row knows its subtitles whatever the box says when it is added: the
  // box may change before Convert, and the Type column follows it.
  if (!AtConvert) settings.BurnSubtitles = true;
  settings.AudioTrack = AudioTrack;
  TFileSetup setup = ::SetUpFile(QuilloC, settings, FileName, &Reserved, TreeFolder, OpenOutput);
  if (!setup.Ok && !setup.Skipped) {
    if (!setup.Detail.empty()) std::fprintf(stderr, "vidlomat: %s (%s)\n", setup.Message.c_str(), setup.Detail.c_str());
    // At Convert a refusal is its row's status and a line of the finish
    // message: no box holds the batch.
    if (Refusals)
      Refusals->Refuse(FileName, setup.Detail.empty() ? setup.Message : setup.Message + " (" + setup.Detail + ")");
    else if (!AtConvert)
      Message("Error", Q(setup.Message), TMessageIcon::Error);
  }
  return setup;
}

TRowAudio TForm1::RowAudioOf(const TFileSetup& Setup, int Picked) const {
  TRowAudio audio;
  audio.Known = true;
  for (const TAudioTrack& t : Setup.AudioTracks) audio.Tracks.push_back(AudioTrackText(t));
  audio.Automatic = ChosenAudioTrack(CurrentSettings(), Setup.AudioTracks);
  // A choice the file no longer has (it changed since) is dropped.
  audio.Picked = Picked >= 0 && Picked < static_cast<int>(audio.Tracks.size()) ? Picked : -1;
  audio.Subtitles = !Setup.SubtitleFile.empty() || Setup.SubtitleTrack >= 0;
  return audio;
}

std::unique_ptr<QMenu> TForm1::RowMenu(int Row) {
  auto menu = std::make_unique<QMenu>(this);
  QMenu* tracks = menu->addMenu("Audio track");
  TRowAudio audio = Lvw->Audio(Row);
  if (!audio.Known && Row >= 0 && Row < Lvw->RowCount()) {
    // A row of the kept list: its tracks are read now.
    TFileSetup probed;
    probed.AudioTracks = ProbeAudioTracks(QuilloC, Lvw->Path(Row));
    const bool subtitles = audio.Subtitles;
    audio = RowAudioOf(probed, -1);
    audio.Subtitles = subtitles;
    Lvw->SetAudio(Row, audio);
  }
  // The row is found again when a track is picked (rows may have moved).
  const QPersistentModelIndex where(Lvw->model()->index(Row, 0));
  auto* group = new QActionGroup(tracks);
  for (size_t i = 0; i < audio.Tracks.size(); ++i) {
    const int position = static_cast<int>(i);
    QAction* a = tracks->addAction(QString("Track &%1: %2").arg(position + 1).arg(QString::fromStdString(audio.Tracks[i])));
    a->setCheckable(true);
    a->setChecked(position == audio.Choice());
    group->addAction(a);
    connect(a, &QAction::triggered, this, [this, where, position] {
      if (where.isValid()) PickAudioTrack(where.row(), position);
    });
  }
  // A choice is made before Convert: the set-up of a batch reads it.
  tracks->setEnabled(audio.Tracks.size() > 1 && FRun.State() == TBatchRun::Idle && !FBusy);
  return menu;
}

void TForm1::PickAudioTrack(int Row, int Position) {
  TRowAudio audio = Lvw->Audio(Row);
  if (!audio.Known || Position < 0 || Position >= static_cast<int>(audio.Tracks.size())) return;
  audio.Picked = Position;
  Lvw->SetAudio(Row, audio);
}

// ---------------------------------------------------------------------------
// The queue list

void TForm1::BtnAddClick() {
  if (FBusy) return;
  std::vector<std::string> files;
  for (const QString& chosen : FDialogs.OpenFiles(this, kAddDialogTitle, kAddDialogFilter)) {
    std::string path = QFile::encodeName(chosen).toStdString();
    // A name that is not UTF-8 reaches the dialog with replacement
    // characters, and those bytes name no file.
    if (chosen.contains(QChar::ReplacementCharacter) && !IsFile(path)) {
      Message("Error",
              "The name of file \"" + chosen +
                  "\" is not UTF-8 text, and the file dialog cannot give back the name the disk has. "
                  "Drop the file on the list, or give it to vidlomat as an argument.",
              TMessageIcon::Error);
      continue;
    }
    files.push_back(std::move(path));
  }
  AddFiles(files);
}

void TForm1::BtnAddFolderClick() {
  if (FBusy || FRun.State() != TBatchRun::Idle) return;
  const QString chosen = FDialogs.ChooseFolder(this, kAddFolderTitle, QDir::homePath());
  if (chosen.isEmpty()) return;
  AddPaths({QFile::encodeName(chosen).toStdString()});
}

bool TForm1::DropFiles(const std::vector<std::string>& Paths) {
  if (FRun.State() != TBatchRun::Idle || FBusy) return false;
  AddPaths(Paths);
  return true;
}

void TForm1::AddStartupFiles(const std::vector<std::string>& Arguments) {
  std::vector<std::string> paths;
  for (const std::string& a : Arguments)
    if (std::string path = PathOfArgument(a); !path.empty()) paths.push_back(std::move(path));
  AddPaths(paths);
}

void TForm1::OpenHandedOver(const std::vector<std::string>& Files, bool Convert) {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
  FHandedOver.emplace_back(Files, Convert);
  TakeHandedOver();
}

void TForm1::TakeHandedOver() {
  if (!FHandOverRetry) {
    FHandOverRetry = new QTimer(this);
    FHandOverRetry->setInterval(kHandOverRetryMs);
    connect(FHandOverRetry, &QTimer::timeout, this, [this] { TakeHandedOver(); });
  }
  while (!FHandedOver.empty() && !FClosed && !FClosePending) {
    const auto& [files, convert] = FHandedOver.front();
    const bool folder = std::any_of(files.begin(), files.end(),
                                    [](const std::string& F) { return IsFolder(PathOfArgument(F)); });
    if (FBusy || !FCreated || (FRun.State() != TBatchRun::Idle && (convert || folder))) {
      FHandOverRetry->start();
      return;
    }
    const std::vector<std::string> taken = files;
    const bool start = convert;
    FHandedOver.erase(FHandedOver.begin());
    AddStartupFiles(taken);
    if (start && Lvw->RowCount() > 0 && FRun.State() == TBatchRun::Idle && !FBusy) BtnStartClick();
  }
  FHandOverRetry->stop();
}

void TForm1::AddFiles(const std::vector<std::string>& Files) {
  std::vector<TAddItem> items;
  for (const std::string& file : Files) items.push_back({file, ""});
  AddItems(items, nullptr);
}

void TForm1::AddPaths(const std::vector<std::string>& Paths) {
  TFolderAdd add;
  if (std::any_of(Paths.begin(), Paths.end(), [](const std::string& P) { return IsFolder(P); })) {
    // A camera's folder may hold thousands of files: the search shows how
    // many it found so far, and its Cancel (or Stop, or closing the window)
    // ends it with the files found until then.
    BeginBusy();
    {
      std::unique_ptr<IProgress> progress = FDialogs.Progress(this, kAppTitle, "Looking for video files...", 0);
      add.OnProgress = [&](size_t Found, const std::string&) {
        if (progress) {
          progress->SetLabel("Looking for video files... " + QString::number(Found) + " found");
          progress->SetValue(0);
        }
        QCoreApplication::processEvents();
        return !FCancelBusy && !(progress && progress->Cancelled());
      };
      add.Expand(Paths);
    }
    EndBusy();
    if (FClosePending || FClosed) return;
  } else {
    add.Expand(Paths);
  }
  AddItems(add.Items(), add.HadFolder() ? &add : nullptr);
}

void TForm1::AddItems(const std::vector<TAddItem>& Items, TFolderAdd* Report) {
  if (Items.empty() && !Report) return;
  // A file the list holds already is left out and counted (in a summary of
  // its own when the add has none).
  TFolderAdd own;
  TFolderAdd& counts = Report ? *Report : own;  // SetUpFile's refusals still go to Report
  std::vector<std::string> listed;
  for (int r = 0; r < Lvw->RowCount(); ++r) listed.push_back(Lvw->Path(r));
  const std::vector<TAddItem> fresh = counts.NotYetListed(Items, listed);
  std::vector<std::string> files;
  for (const TAddItem& item : fresh) files.push_back(item.Path);
  // The folder is checked once: when it cannot take the outputs (a drive not
  // plugged in, a path through a file) the files are checked as inputs only
  // and listed, and one message says why. A usable folder is made when a
  // conversion starts, not here: while it does not exist (on a first start
  // the default folder does not) the outputs cannot be tried, and Convert
  // checks each of them once it has made the folder.
  const std::string folderProblem = OutputFolderProblem(EdtOutputFolder->text().toStdString());
  const bool folderExists = QFileInfo(EdtOutputFolder->text()).isDir();
  const int rowsBefore = Lvw->RowCount();
  // The rows already listed keep their output names: a new file with the same
  // name is shown with the name the run will give it.
  TNameReservations reserved;
  const std::string folder = FolderWithSlash(EdtOutputFolder->text().toStdString());
  for (int r = 0; r < Lvw->RowCount(); ++r) {
    reserved.Reserve(folder + Lvw->OutputName(r) + kOutputExtension);
    reserved.AddSource(Lvw->Path(r));
  }
  reserved.AddSources(files);
  const int done = RunInSteps(static_cast<int>(files.size()), "Adding files to the list...", [&](int I) {
    // No tree folder yet: the set-up would make the output's folders, which
    // Convert makes. RefreshOutputNames names the output within its folder.
    const TFileSetup setup = SetUpFile(files[static_cast<size_t>(I)], reserved, false, folderProblem.empty() && folderExists, "", Report);
    if (!setup.Ok) return;
    Lvw->AppendRow(setup);
    const int row = Lvw->RowCount() - 1;
    Lvw->SetAudio(row, RowAudioOf(setup, -1));
    Lvw->SetTreeFolder(row, fresh[static_cast<size_t>(I)].TreeFolder);
    Lvw->SetSizeInputs(row, setup.Size);
    counts.Added();
    // Checked and named: the task itself is built again at Convert.
    QuilloC.RemoveTask(setup.TaskIndex);
  });
  QuilloC.ClearTasks();
  RefreshOutputNames();
  // Nothing of the Add follows the boxes: closing the window meanwhile is safe.
  if (!folderProblem.empty() && Lvw->RowCount() > rowsBefore && !FClosePending && !FClosed)
    Message("Warning", Q(OutputFolderText(EdtOutputFolder->text().toStdString(), folderProblem)),
            TMessageIcon::Warning);
  if (FClosePending || FClosed) return;
  if (done < static_cast<int>(files.size())) counts.Cancel();
  // The reasons in the Log; a folder's add ends with one box with the counts.
  // Files added on their own have no summary: those already listed are named
  // in the Log only (no box stops a `--convert` of them).
  for (const std::string& line : counts.LogLines()) MemLog->appendPlainText(Q(line));
  if (!counts.LogLines().empty()) ShowLog(true);
  if (Report) Message("Information", Q(counts.Summary()), TMessageIcon::Information);
}

void TForm1::BeginBusy() {
  FBusy = true;
  FCancelBusy = false;
  UpdateActions();
}

void TForm1::EndBusy() {
  FBusy = false;
  UpdateActions();
  ScheduleListSave();  // what changed meanwhile
  if (FRun.State() == TBatchRun::Idle) FFiguresTimer->start();
  if (FCloseWhenIdle) {
    FCloseWhenIdle = false;
    FClosePending = true;
    QTimer::singleShot(0, this, [this] { close(); });
  }
}

int TForm1::RunInSteps(int Count, const QString& Label, const std::function<void(int)>& Step) {
  BeginBusy();
  int done = 0;
  {
    std::unique_ptr<IProgress> progress = Count > 1 ? FDialogs.Progress(this, kAppTitle, Label, Count) : nullptr;
    for (; done < Count; ++done) {
      if (FCancelBusy || (progress && progress->Cancelled())) break;
      Step(done);
      if (progress) progress->SetValue(done + 1);
      // Rows appear as they are added, and the window repaints.
      QCoreApplication::processEvents();
    }
  }
  EndBusy();
  return done;
}

void TForm1::UpdateActions() {
  // Idle and not working through a list of files: the list can be edited and
  // a batch started; otherwise only the list itself, Stop (or Cancel) and the
  // log stay usable.
  const bool free = FRun.State() == TBatchRun::Idle && !FBusy;
  for (QAction* a : {ActAdd, ActAddFolder, ActRemove, ActClear, ActMoveUp, ActMoveDown, ActConvert})
    a->setEnabled(free);
  for (QWidget* w : std::initializer_list<QWidget*>{BtnChangeOutputFolder, BtnAbout, BtnHelp, GBOutput, GBOther})
    w->setEnabled(free);
  // While files are added, the progress dialog's Cancel ends the work:
  // Convert and the log rest too. Setting up a batch, Stop ends it.
  const bool adding = FBusy && FRun.State() == TBatchRun::Idle;
  BtnStart->setEnabled(!adding);
  BtnLog->setEnabled(!adding);
  Lvw->setEnabled(true);
}

void TForm1::BtnRemoveClick() {
  if (FBusy) return;
  if (Lvw->RowCount() == 0) return;
  Lvw->RemoveSelected();
  RefreshOutputNames();
}

void TForm1::BtnClearClick() {
  if (FBusy) return;
  if (Lvw->RowCount() == 0) return;
  Lvw->clear();
  QuilloC.ClearTasks();
}

void TForm1::BtnMoveUpClick() {
  if (FBusy) return;
  if (Lvw->RowCount() > 0) Lvw->MoveSelected(true);
  RefreshOutputNames();
}

void TForm1::BtnMoveDownClick() {
  if (FBusy) return;
  if (Lvw->RowCount() > 0) Lvw->MoveSelected(false);
  RefreshOutputNames();
}

void TForm1::BtnChangeOutputFolderClick() {
  const QString chosen = FDialogs.ChooseFolder(this, "Please select output folder", EdtOutputFolder->text());
  if (chosen.isEmpty()) return;
  EdtOutputFolder->setText(Q(FolderWithSlash(QDir::cleanPath(chosen).toStdString())));
}

// ---------------------------------------------------------------------------
// About and help

void TForm1::BtnAboutClick() {
  TFrmAbout about(FDialogs, this);
  about.exec();
}

void TForm1::BtnOpenOutputFolderClick() {
  QDir().mkpath(EdtOutputFolder->text());
  OpenOrShow(FDialogs, this, QUrl::fromLocalFile(EdtOutputFolder->text()),
             "No file manager could open the output folder. It is:");
}

void TForm1::BtnHelpClick() {
  OpenOrShow(FDialogs, this, QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/help/index.html"),
             "No program could open the help. It is here:");
}

// ---------------------------------------------------------------------------
// The conversion run

void TForm1::ShowState(TBatchRun::TState State) {
  const bool idle = State == TBatchRun::Idle;
  UpdateActions();
  LblProgress->setVisible(!idle);
  BatchBar->setVisible(!idle);
  LblBatch->setVisible(!idle);
  BtnPause->setEnabled(!idle);
  ActStopAfter->setVisible(!idle);
  ActStopAfter->setEnabled(true);
  if (idle) {
    FBatchTicker->stop();
    if (FSleepGuard) FSleepGuard->Release();
    if (FLauncher) FLauncher->Clear();
    // A pause ends with its batch; the next one starts unpaused.
    if (QuilloC.Paused()) QuilloC.Pause(false);
    if (FSampler) FSampler->Pause(false);
    FPause.Reset();
    FFolderHold.Clear();
    BtnPause->setText("Pa&use");
    LblBatch->setToolTip(QString());
    ShowBatchFigures();
  } else {
    // The measuring of sizes never takes time from a batch: it waits.
    if (FSampler) FSampler->Pause(true);
    FBatchTicker->start();
  }
  BtnStart->setText(idle ? "Con&vert" : "&Stop");
  BtnStart->setToolTip(idle ? QString() : "Shift+click: stop after the files being converted");
}

void TForm1::BtnPauseClick() {
  if (FRun.State() != TBatchRun::Running) return;
  if (FPause.Paused()) {
    // A batch held for its output folder goes on once the folder is back.
    if (!FFolderHold.BringBack()) {
      Message("Warning", Q(TOutputFolderHold::GoneText(FFolderHold.Folder())), TMessageIcon::Warning);
      return;
    }
    FPause.Resume(FRunClock.elapsed());
    QuilloC.Pause(false);
    KeepAwake();
    FBatchTicker->start();
    BtnPause->setText("Pa&use");
  } else {
    FPause.Pause(FRunClock.elapsed());
    QuilloC.Pause(true);
    // The machine may sleep while nothing converts.
    if (FSleepGuard) FSleepGuard->Release();
    FBatchTicker->stop();
    BtnPause->setText("&Resume");
  }
  ShowBatchProgress();
}

void TForm1::StopAfterCurrent() {
  if (FRun.State() != TBatchRun::Running || FRun.Stopping() || FPause.StoppingAfterCurrent()) return;
  FPause.StopAfterCurrent();
  ActStopAfter->setEnabled(false);
  QuilloC.FinishRunning();
  ShowBatchProgress();
}

void TForm1::BtnStartClick() {
  if (FClosed) return;  // the window was closed (a signal while a box was open)
  if (FBusy) {
    // Stop while the batch is being set up ends that work (while files are
    // added the button rests).
    FCancelBusy = true;
    return;
  }
  if (FRun.State() != TBatchRun::Running)
    StartRun();
  else if (QApplication::keyboardModifiers() & Qt::ShiftModifier)
    StopAfterCurrent();
  else
    StopRun();
}

void TForm1::StartRun() {
  if (Lvw->RowCount() == 0) {
    Message("Information", "Please select files to be converted.", TMessageIcon::Information);
    return;
  }
  // A folder that cannot take the outputs stops the batch before anything
  // changes (making a missing drive's folder would fill the system disk).
  const std::string folder = EdtOutputFolder->text().toStdString();
  if (const std::string problem = OutputFolderProblem(folder); !problem.empty()) {
    Message("Error", Q(OutputFolderText(folder, problem)), TMessageIcon::Error);
    return;
  }
  const int rows = Lvw->RowCount();
  // Files already converted (a batch stopped and started again) are converted
  // again only when the user says so; otherwise they keep their row and output.
  std::vector<bool> keep(static_cast<size_t>(rows), false);
  if (const int converted = Lvw->CountRows(TRowState::Completed);
      converted > 0 && !FDialogs.Ask(this, "Question", Q(ConvertAgainText(converted)))) {
    for (int r = 0; r < rows; ++r) keep[static_cast<size_t>(r)] = Lvw->Status(r).State == TRowState::Completed;
    if (converted == rows) return;
  }
  // A batch that clearly does not fit is not started. The figures measured
  // at these settings are the ones each task is checked against below.
  const TBatchSettings sizeSettings = CurrentSettings();
  const std::string sizeKey = TMeasuredSizes::SettingsKey(sizeSettings);
  {
    std::vector<int64_t> expected;
    for (int r = 0; r < rows; ++r)
      if (!keep[static_cast<size_t>(r)]) expected.push_back(RowExpectedBytes(r, sizeSettings, sizeKey));
    const std::string out = EdtOutputFolder->text().toStdString();
    if (const TBatchFigures f = BatchFigures(expected, FreeSpace(out)); BatchTooLarge(f)) {
      Message("Error", Q(TSizeEstimate::TooLargeMessage(out, f.Expected, f.Free)), TMessageIcon::Error);
      return;
    }
  }
  // Created with its parents when missing; a failure shows up as each file's
  // output failing to open.
  QDir().mkpath(EdtOutputFolder->text());
  for (int r = 0; r < rows; ++r)
    if (!keep[static_cast<size_t>(r)]) Lvw->SetStatus(r, {TRowState::Waiting});
  QuilloC.ClearTasks();
  FFileLabels = FileLabels();
  const int parallel = SpinParallel->value();
  FRun.Begin(parallel);
  FEndWhenMeasured = false;
  FPause.Reset();
  FTaskBytes.clear();
  FRunClock.start();
  LblProgress->clear();  // no line of the run before
  ShowState(TBatchRun::Running);
  MemLog->clear();

  // No output may replace a listed file, the later rows' included.
  TNameReservations reserved;
  for (int r = 0; r < rows; ++r) reserved.AddSource(Lvw->Path(r));
  // Nor the outputs of the files kept.
  const std::string outputFolder = FolderWithSlash(folder);
  for (int r = 0; r < rows; ++r)
    if (keep[static_cast<size_t>(r)]) reserved.Reserve(outputFolder + Lvw->OutputName(r) + kOutputExtension);
  const int done = RunInSteps(rows, "Checking the files to convert...", [&](int R) {
    if (keep[static_cast<size_t>(R)]) return;
    const std::string tree = ChkKeepFolders->isChecked() ? Lvw->TreeFolder(R) : std::string();
    const int picked = Lvw->Audio(R).Picked;
    const TFileSetup setup = SetUpFile(Lvw->Path(R), reserved, true, true, tree, nullptr, picked + 1);
    // The tracks as the file has them now, the user's choice kept.
    if (setup.Ok) Lvw->SetAudio(R, RowAudioOf(setup, picked));
    // Below the output folder: its place in the tree, and its name.
    const std::string shown = tree.empty() ? setup.OutputName : tree + "/" + setup.OutputName;
    if (setup.Skipped) {
      Lvw->SetStatus(R, {TRowState::AlreadyConverted});
      Lvw->SetOutputName(R, shown);
    } else if (setup.Ok) {
      FRun.AddTask(R, setup.DurationUs > 0 ? setup.DurationUs / 1000 : -1, setup.OutputPath);
      const int64_t measured = FMeasured.Bytes(Lvw->Path(R), sizeKey);
      FTaskBytes.push_back(measured >= 0 ? measured : setup.ExpectedBytes);
      // The name this run writes (a file made since Add can take the name).
      Lvw->SetOutputName(R, shown);
      // What the conversion leaves out (subtitles that cannot be read).
      if (!setup.Warning.empty()) MemLog->appendPlainText(FileLabel(R) + ": " + Q(setup.Warning));
    } else {
      Lvw->SetStatus(R, {TRowState::Skipped}, Q(setup.Message));
      MemLog->appendPlainText(FileLabel(R) + ": " + Q(setup.Message));
    }
  });
  if (done < rows) {
    // Cancelled before anything started: nothing of the batch runs, and
    // the user is told so (unless the window is closing).
    QuilloC.ClearTasks();
    for (int r = 0; r < rows; ++r)
      if (!keep[static_cast<size_t>(r)]) Lvw->SetStatus(r, {TRowState::Waiting});
    FRun.End();
    ShowState(TBatchRun::Idle);
    if (!FClosePending) Message("Information", kNotStarted, TMessageIcon::Information);
    return;
  }
  ShowBatchProgress();
  if (FRun.TaskCount() == 0) {
    // Every file was refused or converted before: nothing runs, nothing
    // will end the run; the message says why.
    bool failed = false;
    const QString text = EndMessage(TBatchEnd::Finished, &failed);
    FRun.End();
    ShowState(TBatchRun::Idle);
    Message(failed ? "Warning" : "Information", text, failed ? TMessageIcon::Warning : TMessageIcon::Information);
    return;
  }
  const uint64_t run = FRun.RunId();
  QuilloC.OnProgress = [this, run](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float, float,
                                   int64_t, int ATotalOutputDuration) {
    QuilloCProgress(run, AIndex, AFrameNumber, AFPS, ACurrentDuration, ATotalOutputDuration);
  };
  QuilloC.OnTerminate = [this, run](int AIndex, bool AFinished, bool AException, const std::string& AMessage) {
    QuilloCTerminate(run, AIndex, AFinished, AException, AMessage);
  };
  QuilloC.OnLog = [this, run](int AIndex, TLogLevel ALogLevel, const std::string& AMsg) {
    QuilloCLog(run, AIndex, ALogLevel, AMsg);
  };
  // Before each file starts, on the thread that starts it: a file the free
  // space cannot take starts paused (it holds before its first packet, so its
  // row never moves) and the window is told.
  struct TRoomCheck {
    int64_t Expected;
    std::string Folder;
  };
  // A file whose output folder went away starts paused too, before it opens
  // anything; the window says which folder (the output folder when it went
  // whole, else the file's folder in the kept tree).
  auto checks = std::make_shared<std::vector<TRoomCheck>>();
  for (int t = 0; t < FRun.TaskCount(); ++t) {
    const std::string out = FRun.OutputOfTask(t);
    checks->push_back({FTaskBytes[static_cast<size_t>(t)], out.substr(0, out.find_last_of('/') + 1)});
  }
  QuilloC.OnBeforeStart = [this, run, checks = std::shared_ptr<const std::vector<TRoomCheck>>(checks),
                           freeSpace = FreeSpace, root = FolderWithSlash(folder)](int AIndex) {
    if (AIndex < 0 || static_cast<size_t>(AIndex) >= checks->size()) return;
    const TRoomCheck& check = (*checks)[static_cast<size_t>(AIndex)];
    if (!TOutputFolderHold::Present(check.Folder)) {
      QuilloC.Pause(true);
      const std::string gone = TOutputFolderHold::Present(root) ? check.Folder : root;
      FUiQueue->Post([this, run, gone] { FolderGoneArrived(run, gone); });
      return;
    }
    const int64_t free = freeSpace(check.Folder);
    if (!RoomShort(check.Expected, free)) return;
    QuilloC.Pause(true);
    FUiQueue->Post([this, run, AIndex, free] { RoomShortArrived(run, AIndex, free); });
  };
  QuilloC.SetThreadPriority(ChkLowPriority->isChecked() ? tpLowest : tpNormal);
  KeepAwake();
  FRun.Started(RunMs());
  QuilloC.Start(parallel);
}

void TForm1::StopRun() {
  FEndWhenMeasured = false;
  std::vector<int> running;
  QuilloC.StopAll(&running);
  FRun.BeginStop(running);
  QuilloC.ClearTasks();
  // Every event of the run was raised before ClearTasks returned; those still
  // on their way are applied first, so that a file that finished just now
  // reads "Completed", not "Stopped". A batch end among them is the stop's.
  FUiQueue->RunPosted();
  const std::vector<int> rows = FRun.StoppedRows();
  FRun.End();
  ShowState(TBatchRun::Idle);
  // A row that its own end already marked keeps its reason.
  for (int row : rows)
    if (Lvw->Status(row).State != TRowState::Stopped) Lvw->SetStatus(row, {TRowState::Stopped});
  if (FClosed) return;
  // What the batch did before the stop, counted.
  bool failed = false;
  const QString text = EndMessage(TBatchEnd::Stopped, &failed);
  if (FWarningOpen) FDialogs.CloseMessages();
  Message(failed ? "Warning" : "Information", text, failed ? TMessageIcon::Warning : TMessageIcon::Information);
}

void TForm1::EndRun() {
  QuilloC.StopAll();
  QuilloC.ClearTasks();
  const bool early = FPause.StoppingAfterCurrent();
  bool failed = false;
  const QString text = EndMessage(early ? TBatchEnd::StoppedAfterCurrent : TBatchEnd::Finished, &failed);
  FRun.End();
  ShowState(TBatchRun::Idle);
  // Stopped after the files then converting: the files that never started
  // are listed again as before Convert.
  if (early)
    for (int r = 0; r < Lvw->RowCount(); ++r)
      if (Lvw->Status(r).State == TRowState::Waiting) Lvw->SetStatus(r, {TRowState::Listed});
  // Someone working in another window learns that the batch is over.
  if (!isActiveWindow()) FDialogs.Notify(kAppTitle, BatchSummary());
  // A batch stopped after its running files was stopped by the user.
  if (ChkShutdown->isChecked() && FPowerOff && !early) {
    // The power-off ends the program before any close could write them.
    WriteSettings();
    FPowerOff->PowerOffNow();
  }
  // The finish message takes the place of a failure's warning still open: it
  // counts the failures, and boxes never pile up.
  if (FWarningOpen) FDialogs.CloseMessages();
  Message(failed ? "Warning" : "Information", text, failed ? TMessageIcon::Warning : TMessageIcon::Information);
}

QString TForm1::EndMessage(TBatchEnd End, bool* Failed) const {
  // Every file of the batch that did not simply complete, with its reason,
  // in list order. A row converted before and kept is not of this batch.
  std::vector<TFinishEntry> entries;
  TBatchCounts counts;
  *Failed = false;
  for (int r = 0; r < Lvw->RowCount(); ++r) {
    const TRowStatus status = Lvw->Status(r);
    if (status.State == TRowState::Completed && !FRun.HasRow(r)) continue;
    if (status.State == TRowState::Listed) continue;  // not of the batch
    ++counts.Files;
    counts.Converted += status.State == TRowState::Completed;
    counts.AlreadyConverted += status.State == TRowState::AlreadyConverted;
    counts.NotStarted += status.State == TRowState::Waiting;
    const bool shorter = status.State == TRowState::Completed && status.ExpectedMs > 0;
    if (status.State != TRowState::Failed && status.State != TRowState::Stopped &&
        status.State != TRowState::Skipped && !shorter)
      continue;
    *Failed = *Failed || status.State == TRowState::Failed;
    std::string reason = Lvw->topLevelItem(r)->toolTip(TQueueList::ColStatus).toStdString();
    if (reason.empty()) reason = "'" + FileNameOf(Lvw->Path(r)) + "' was stopped before its end.";
    entries.push_back({status.State, reason});
  }
  return Q(EndText(End, counts, entries));
}

QString TForm1::BatchSummary() const {
  const int converted = Lvw->CountRows(TRowState::Completed);
  const int failed = Lvw->CountRows(TRowState::Failed);
  const int skipped = Lvw->CountRows(TRowState::Skipped) + Lvw->CountRows(TRowState::AlreadyConverted);
  QString text = QString::number(converted) + (converted == 1 ? " file converted" : " files converted");
  if (failed > 0) text += ", " + QString::number(failed) + " failed";
  if (skipped > 0) text += ", " + QString::number(skipped) + " skipped";
  return text;
}

void TForm1::QuilloCProgress(uint64_t RunId, int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                             int ATotalOutputDuration) {
  FUiQueue->Post([this, RunId, AIndex, AFrameNumber, AFPS, ACurrentDuration, ATotalOutputDuration] {
    ProgressArrived(RunId, AIndex, AFrameNumber, AFPS, ACurrentDuration, ATotalOutputDuration);
  });
}

void TForm1::QuilloCTerminate(uint64_t RunId, int AIndex, bool AFinished, bool AException,
                              const std::string& AMessage) {
  FUiQueue->Post([this, RunId, AIndex, AFinished, AException, message = Q(AMessage)] {
    TerminateArrived(RunId, AIndex, AFinished, AException, message);
  });
}

void TForm1::QuilloCLog(uint64_t RunId, int AIndex, TLogLevel ALogLevel, const std::string& AMsg) {
  // Errors and information; debugging output stays out of the panel.
  if (ALogLevel == llQuiet || ALogLevel > llInfo) return;
  FUiQueue->Post([this, RunId, AIndex, message = Q(AMsg)] { LogArrived(RunId, AIndex, message); });
}

void TForm1::LogArrived(uint64_t RunId, int AIndex, const QString& AMsg) {
  if (RunId != FRun.RunId()) return;
  const QString text = AMsg.trimmed();
  if (text.isEmpty()) return;
  const int row = FRun.RowOfTask(AIndex);
  MemLog->appendPlainText(row >= 0 ? FileLabel(row) + ": " + text : text);
}

void TForm1::ProgressArrived(uint64_t RunId, int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                             int ATotalOutputDuration) {
  if (RunId != FRun.RunId()) return;  // a late event of a run that has ended
  const int row = FRun.RowOfTask(AIndex);
  if (row < 0) return;
  Lvw->SetStatus(row, ProgressStatus(ACurrentDuration, ATotalOutputDuration));
  // The rate over the file's time so far: the engine's own reads 0 for the
  // first second.
  const int fps = FRun.MeasuredFps(AIndex, AFrameNumber, RunMs());
  const QString line = Q(ProgressLine(AFrameNumber, ACurrentDuration, fps >= 0 ? fps : AFPS));
  // Files at the same time take turns on the line: each names its file.
  LblProgress->setText(FRun.Parallel() > 1 ? FileLabel(row) + ": " + line : line);
  FRun.TaskProgress(AIndex, ACurrentDuration, ATotalOutputDuration);
  ShowBatchProgress();
  Lvw->FollowRow(row);
}

void TForm1::TerminateArrived(uint64_t RunId, int AIndex, bool AFinished, bool AException,
                              const QString& AMessage) {
  if (RunId != FRun.RunId()) return;
  if (AIndex < 0) {
    // Every task of the run has ended, whatever each one's outcome; when the
    // user pressed Stop meanwhile, the stop ends the batch. The outputs still
    // being read back come first (their rows may read shorter).
    if (FRun.Stopping()) return;
    if (FMeasuring > 0)
      FEndWhenMeasured = true;
    else
      EndRun();
    return;
  }
  const int row = FRun.RowOfTask(AIndex);
  const std::optional<TRowState> status =
      FRun.TaskEnded(AIndex, AException ? TTaskEnd::Failed : AFinished ? TTaskEnd::Finished : TTaskEnd::Stopped,
                     RunMs());
  // The list shows the next file as it begins.
  if (const std::vector<int> next = FRun.CurrentRows(); !next.empty()) Lvw->FollowRow(next.front());
  if (row < 0) return;
  ShowBatchProgress();
  if (!AException) {
    if (!status) return;
    QString reason;
    TRowStatus shown{*status};
    if (*status == TRowState::Completed) {
      // A source cut short behind a header that promises more converts
      // without an error: its output is read back off this thread and
      // measured against the header (OutputMeasured); the batch's end
      // waits for it.
      ++FMeasuring;
      const uint64_t run = FRun.RunId();
      const std::string input = Lvw->Path(row);
      FOutputLengths.Measure(FRun.OutputOfTask(AIndex), [this, run, AIndex, row, input](int64_t Us) {
        FUiQueue->Post([this, run, AIndex, row, input, Us] { OutputMeasured(run, AIndex, row, input, Us); });
      });
    } else if (!AMessage.isEmpty()) {
      // What a stopped file left behind.
      reason = Q("'" + FileNameOf(Lvw->Path(row)) + "' was stopped. ") + AMessage;
    }
    Lvw->SetStatus(row, shown, reason);
    if (!reason.isEmpty()) MemLog->appendPlainText(FileLabel(row) + ": " + reason);
    return;
  }
  // A file gone (or no longer readable) since the set-up is skipped as at
  // Convert: its row and the finish message say so, no box.
  if (const std::string problem = InputFileProblem(Lvw->Path(row)); !problem.empty()) {
    const QString text = Q("Cannot convert \"" + Lvw->Path(row) + "\": " + problem + ".");
    Lvw->SetStatus(row, {TRowState::Skipped}, text);
    MemLog->appendPlainText(FileLabel(row) + ": " + text);
    return;
  }
  const QString text = Q(FailureText(AMessage.toStdString(), Lvw->Path(row),
                                     FRun.OutputOfTask(AIndex)));
  Lvw->SetStatus(row, {TRowState::Failed}, text);
  // The engine's own words stay in the log.
  MemLog->appendPlainText(FileLabel(row) + ": " + AMessage);
  // An output whose folder went away: the batch's hold says so, once.
  if (const std::string out = FRun.OutputOfTask(AIndex);
      !out.empty() && !TOutputFolderHold::Present(out.substr(0, out.find_last_of('/') + 1)))
    return;
  // One warning at a time: a failure while one is open is on its row and in
  // the log, and the finish message counts it.
  if (FWarningOpen) return;
  FWarningOpen = true;
  Message(kAppTitle, text, TMessageIcon::Warning);
  FWarningOpen = false;
}

std::vector<QString> TForm1::FileLabels() const {
  std::map<QString, int> uses;
  for (int r = 0; r < Lvw->RowCount(); ++r) ++uses[Lvw->Cell(r, TQueueList::ColInput)];
  std::vector<QString> labels;
  for (int r = 0; r < Lvw->RowCount(); ++r) {
    const QString name = Lvw->Cell(r, TQueueList::ColInput);
    if (uses[name] == 1) {
      labels.push_back(name);
      continue;
    }
    // The row number also tells apart the same file listed twice.
    const QString path = Lvw->Cell(r, TQueueList::ColPath);
    labels.push_back(name + " (row " + QString::number(r + 1) + ", " + path.left(std::max<qsizetype>(1, path.lastIndexOf('/'))) + ")");
  }
  return labels;
}

QString TForm1::FileLabel(int Row) const {
  if (Row >= 0 && static_cast<size_t>(Row) < FFileLabels.size()) return FFileLabels[static_cast<size_t>(Row)];
  return Lvw->Cell(Row, TQueueList::ColInput);
}

std::string TForm1::OutputFolderOf(int Row) const {
  const std::string folder = EdtOutputFolder->text().toStdString();
  const std::string tree = ChkKeepFolders->isChecked() ? Lvw->TreeFolder(Row) : std::string();
  return tree.empty() ? folder : FolderWithSlash(folder) + tree;
}

void TForm1::RefreshOutputNames() {
  if (FRun.State() != TBatchRun::Idle || FBusy) return;
  const std::string folder = EdtOutputFolder->text().toStdString();
  TNameReservations reserved;
  for (int r = 0; r < Lvw->RowCount(); ++r) reserved.AddSource(Lvw->Path(r));
  // A converted row keeps the name its output was written under, and no
  // other row may take it.
  auto converted = [this](int Row) { return Lvw->Status(Row).State == TRowState::Completed; };
  for (int r = 0; r < Lvw->RowCount(); ++r)
    if (converted(r)) reserved.Reserve(FolderWithSlash(folder) + Lvw->OutputName(r) + kOutputExtension);
  for (int r = 0; r < Lvw->RowCount(); ++r) {
    if (converted(r)) continue;
    const std::string input = Lvw->Path(r);
    // With the folder structure kept, the name shows its folder below the
    // output folder ("2019/Summer/clip").
    const std::string rowFolder = OutputFolderOf(r);
    const std::string tree = rowFolder == folder ? std::string() : Lvw->TreeFolder(r) + "/";
    const std::string name = ChooseOutputName(rowFolder, BaseNameOf(input), ChkOverwrite->isChecked(), &reserved, input);
    reserved.Reserve(FolderWithSlash(rowFolder) + name + kOutputExtension);
    Lvw->SetOutputName(r, tree + name);
  }
}

void TForm1::ShowBatchProgress() {
  if (FRun.State() != TBatchRun::Running) return;
  const TBatchProgress p = FRun.Progress(RunMs());
  BatchBar->setValue(p.Percent);
  QString line = Q(BatchProgressLine(p));
  if (FPause.Paused()) line = "Paused: " + line;
  if (FPause.StoppingAfterCurrent()) line += "; stopping after the files being converted";
  LblBatch->setText(line);
  if (FLauncher) FLauncher->Show(p.Percent, p.Total - p.Done);
}

void TForm1::ShowBatchFigures() {
  // While files are added, once at the end (EndBusy).
  if (FRun.State() != TBatchRun::Idle || FBusy) return;
  const TBatchSettings settings = CurrentSettings(false);
  const std::string key = TMeasuredSizes::SettingsKey(settings);
  if (FSampler) {
    // The files without a figure at these settings are measured, in list
    // order; a request is only replaced when that list changes.
    const bool changed = FMeasured.SetSettings(key);
    std::vector<std::string> files;
    for (int r = 0; r < Lvw->RowCount(); ++r)
      if (Lvw->Status(r).State != TRowState::Completed) files.push_back(Lvw->Path(r));
    std::vector<std::string> missing = FMeasured.Missing(files);
    if (changed || missing != FSampleRequest) {
      FSampleGeneration = FSampler->Measure(missing, settings);
      FSampleRequest = std::move(missing);
    }
  }
  std::vector<int64_t> expected;
  int measuredRows = 0;
  for (int r = 0; r < Lvw->RowCount(); ++r) {
    bool measured = false;
    const int64_t bytes = RowExpectedBytes(r, settings, key, &measured);
    Lvw->SetSizeTip(r, Q(ExpectedSizeTip(bytes, measured)));
    if (Lvw->Status(r).State != TRowState::Completed) {
      expected.push_back(bytes);
      measuredRows += measured;
    }
  }
  const TBatchFigures f = BatchFigures(expected, FreeSpace(EdtOutputFolder->text().toStdString()));
  LblBatch->setText(Q(BatchFiguresLine(f)));
  LblBatch->setToolTip(measuredRows == static_cast<int>(expected.size())
                           ? "The sizes are measured on samples of each file."
                           : "The sizes are what the bitrates allow until each file is measured: quiet or simple pictures take less.");
  LblBatch->setVisible(f.Files > 0);
}

int64_t TForm1::RowExpectedBytes(int Row, const TBatchSettings& Settings, const std::string& Key, bool* Measured) const {
  const int64_t measured = FMeasured.Bytes(Lvw->Path(Row), Key);
  if (Measured) *Measured = measured >= 0;
  return measured >= 0 ? measured : ExpectedBytesAt(Lvw->SizeInputs(Row), Settings);
}

void TForm1::MeasureSizes(bool On, TThreadPriority Priority) {
  if (On == static_cast<bool>(FSampler)) return;
  if (!On) {
    FSampler.reset();
    FSampleRequest.clear();
    return;
  }
  FSampler = std::make_unique<TSizeSampler>(
      std::filesystem::temp_directory_path().string(),
      [this](uint64_t Generation, const std::string& File, int64_t Bytes) {
        FUiQueue->Post([this, Generation, File, Bytes] { SizeMeasured(Generation, File, Bytes); });
      },
      Priority);
  if (FRun.State() != TBatchRun::Idle) FSampler->Pause(true);
  FFiguresTimer->start();
}

void TForm1::SizeMeasured(uint64_t Generation, const std::string& File, int64_t Bytes) {
  if (!FSampler || Generation != FSampleGeneration) return;
  FMeasured.Set(File, Bytes);
  FSampleRequest.erase(std::remove(FSampleRequest.begin(), FSampleRequest.end(), File), FSampleRequest.end());
  FFiguresTimer->start();
}

void TForm1::RoomShortArrived(uint64_t RunId, int AIndex, int64_t Free) {
  if (RunId != FRun.RunId() || FRun.Stopping() || AIndex < 0 || static_cast<size_t>(AIndex) >= FTaskBytes.size())
    return;
  // The component holds already; the window's pause follows it (clocks, sleep
  // lock, Resume).
  if (!FPause.Paused()) BtnPauseClick();
  const int row = FRun.RowOfTask(AIndex);
  const std::string out = FRun.OutputOfTask(AIndex);
  const std::string input = row >= 0 ? Lvw->Path(row) : out;
  Message("Warning",
          Q(RoomShortText(out.substr(0, out.find_last_of('/') + 1), input.substr(input.find_last_of('/') + 1),
                          FTaskBytes[static_cast<size_t>(AIndex)], Free)),
          TMessageIcon::Warning);
}

void TForm1::OutputMeasured(uint64_t RunId, int AIndex, int Row, const std::string& Input, int64_t OutputUs) {
  --FMeasuring;
  // Of this run, or of the one that has just ended (its tasks are kept until
  // the next Convert), on the row as it still is.
  const bool ours = RunId == FRun.RunId() || (FRun.State() == TBatchRun::Idle && RunId + 1 == FRun.RunId());
  if (ours && Row < Lvw->RowCount() && Lvw->Path(Row) == Input &&
      Lvw->Status(Row).State == TRowState::Completed) {
    // An output that cannot be read back is not measured.
    const int64_t outputMs = OutputUs / 1000;
    const int64_t expectedMs = FRun.DurationOfTask(AIndex);
    // The length the conversion found replaces a header's that was wrong.
    if (DurationNeedsCorrection(outputMs, FRun.HeaderDurationOfTask(AIndex))) Lvw->SetDuration(Row, OutputUs);
    if (OutputUs > 0 && ClearlyShorter(outputMs, expectedMs)) {
      const QString reason = Q("'" + FileNameOf(Input) + "' came out " + ShorterText(outputMs, expectedMs) +
                               ": the file ends before its header says.");
      Lvw->SetStatus(Row, {TRowState::Completed, -1, outputMs, expectedMs}, reason);
      MemLog->appendPlainText(FileLabel(Row) + ": " + reason);
    }
  }
  if (FMeasuring > 0 || !FEndWhenMeasured) return;
  FEndWhenMeasured = false;
  if (FRun.State() == TBatchRun::Running && !FRun.Stopping()) EndRun();
}

void TForm1::FolderGoneArrived(uint64_t RunId, const std::string& Folder) {
  if (RunId != FRun.RunId() || FRun.Stopping()) return;
  // The component holds already; the window's pause follows it, and one
  // message names the folder.
  if (!FPause.Paused()) BtnPauseClick();
  if (!FFolderHold.Hold(Folder)) return;
  Message("Warning", Q(TOutputFolderHold::GoneText(Folder)), TMessageIcon::Warning);
}
