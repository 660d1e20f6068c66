// The main window: the queue list with its buttons, the output folder, the
// output and other settings, Convert/Stop with the progress line, About and
// Help. It drives the converter component QuilloC through the per-file set-up
// of BatchSettings.h.
//
// Threads: everything here runs on the user-interface thread except
// QuilloCProgress, QuilloCTerminate and QuilloCLog, which the component calls
// on a worker thread while it holds its lock. Those two only hand their arguments
// to the user-interface thread through FUiQueue (never waiting for it: the
// user-interface thread may itself be waiting for the component's lock in
// StopAll), and read nothing of the window but FUiQueue, which is set once in
// the constructor.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BatchEnd.h"
#include "BatchPause.h"
#include "BatchRun.h"
#include "BatchSize.h"
#include "BatchSettings.h"
#include "Dialogs.h"
#include "FolderAdd.h"
#include "ListSaver.h"
#include "ListStore.h"
#include "OutputFolderHold.h"
#include "OutputLengths.h"
#include "QueueList.h"
#include "QuilloConverter.h"

class IPowerOff;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QScrollArea;
class QSpinBox;
class QPushButton;
class QTimer;
class QToolButton;
class TLauncherEntry;
class TOutputSettings;
class TSleepGuard;
class TQueueList;
class TUiQueue;

// The title of the program's windows and message boxes.
extern const char* const kAppTitle;  // "Vidlomat"
// What a Cancel during the set-up of a batch says.
extern const char* const kNotStarted;
// The Add dialog's title and filter list.
extern const char* const kAddDialogTitle;
extern const char* const kAddDialogFilter;
// The Add Folder dialog's title.
extern const char* const kAddFolderTitle;

class TSizeSampler;

class TForm1 : public QWidget {
public:
  // PowerOff: what a finished batch calls when "Shut down computer when
  // completed" is checked; none by default, so a window made without it can
  // never turn the machine off.
  explicit TForm1(IDialogs& Dialogs, IPowerOff* PowerOff = nullptr, QWidget* Parent = nullptr);
  ~TForm1() override;

  // Where the media libraries are loaded from (default: LibAV/ next to the
  // executable). Set before FormCreate.
  void SetLibraryFolder(const std::string& Folder) { FLibraryFolder = Folder; }
  // What keeps the computer awake from Convert to the end of the batch, and
  // the launcher icon's progress; none by default (a window without them
  // reaches no D-Bus service). Set before FormCreate; the window does not own
  // them. A pause gives the sleep lock back and a resume takes it again.
  void SetSleepGuard(TSleepGuard* Guard) { FSleepGuard = Guard; }
  TSleepGuard* SleepGuard() const { return FSleepGuard; }
  void SetLauncherEntry(TLauncherEntry* Entry) { FLauncher = Entry; }
  // Measures each listed file's output size in the background, from samples
  // of it encoded with the settings shown (TSizeSampler, held while a batch
  // converts); the size figures take each measured one as it comes. The
  // program turns it on; off, the figures are the bitrate bound. The samples
  // are encoded at Priority (see TSizeSampler).
  void MeasureSizes(bool On, TThreadPriority Priority = tpIdle);
  // Files a later start of the program handed over (TSingleInstance), with
  // Convert for `vidlomat --convert`: the window comes to the front and adds
  // them as if given at its own start, and converts them when asked. While
  // the window is adding or checking files, and while a batch runs when they
  // are to be converted or hold a folder, they wait (polled every
  // kHandOverRetryMs) and are taken in the order they came.
  void OpenHandedOver(const std::vector<std::string>& Files, bool Convert);
  static constexpr int kHandOverRetryMs = 500;

  // Where the list is kept between starts (default TListStore::DefaultPath(),
  // read when the window is made).
  const TListStore& ListStore() const { return FListStore; }
  // What writes it (tests count its saves and wait for them).
  TListSaver& ListSaver() { return *FListSaver; }

  // Loads the media libraries, reads the settings file and brings back the
  // list of the last start. When the libraries cannot be loaded it shows why
  // and returns false; the settings file and the list are then neither read
  // nor written.
  bool FormCreate();
  // Stops a run and waits for its workers (bounded), unloads the libraries
  // and writes the settings file. Runs once, when the window closes.
  void FormCloseQuery();

  // Button handlers.
  void BtnAddClick();
  // Add Folder: a folder chosen, then AddPaths.
  void BtnAddFolderClick();
  // Files and folders dropped on the list, through AddPaths. Refused (false)
  // while Running.
  bool DropFiles(const std::vector<std::string>& Paths);
  // Files and folders given to the program (a desktop entry's %F, "Open
  // with"): local paths or file: URLs, through AddPaths.
  void AddStartupFiles(const std::vector<std::string>& Arguments);
  // Pause/Resume of a running batch: the conversions hold, the clocks and the
  // estimate stand still, the sleep lock is given back (and taken again).
  void BtnPauseClick();
  // "Stop after this file" (Shift+Stop, or the Stop button's menu): the files
  // converting now finish, no other one starts.
  void StopAfterCurrent();
  const TBatchPause& BatchPause() const { return FPause; }
  void BtnRemoveClick();
  void BtnClearClick();
  void BtnMoveUpClick();
  void BtnMoveDownClick();
  void BtnChangeOutputFolderClick();
  void BtnStartClick();
  void BtnAboutClick();
  void BtnHelpClick();
  // Opens the output folder (made when missing) with the default file manager.
  void BtnOpenOutputFolderClick();

  // The component's events of run RunId, called on worker threads.
  void QuilloCProgress(uint64_t RunId, int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                       int ATotalOutputDuration);
  void QuilloCTerminate(uint64_t RunId, int AIndex, bool AFinished, bool AException, const std::string& AMessage);
  void QuilloCLog(uint64_t RunId, int AIndex, TLogLevel ALogLevel, const std::string& AMsg);

  // Opens or closes the log panel.
  void ShowLog(bool Open);

  IPowerOff* PowerOff() const { return FPowerOff; }
  // Whether the window is working through a list of files (adding them, or
  // setting up a batch) with its progress dialog.
  bool Busy() const { return FBusy; }
  const TBatchRun& Run() const { return FRun; }
  // The settings the next per-file set-up uses. Work in the background
  // (the size figures) passes TakeTyped false: it must not enter, and so
  // bring into range, a number the user is still typing.
  TBatchSettings CurrentSettings(bool TakeTyped = true) const;
  // Places "Even out the volume" and "Burn in subtitles" in Other Settings'
  // third column when a page with it fits RoomWidth (the screen's free
  // width), else in a row of their own below the others, so that the page is
  // no wider than the screen (a scaled small screen) for them.
  void ArrangeOtherSettings(int RoomWidth);

  // A row's context menu (what a right click on the row shows): "Audio
  // track", which lists the file's audio tracks with the one converted
  // checked; a file with one track shows it and offers no choice, and the
  // choice waits while a batch runs. A row of the kept list has its tracks
  // probed here.
  std::unique_ptr<QMenu> RowMenu(int Row);
  // Converts Row's file with its audio track at Position (from 0) in this
  // run's batches, and shows it in the Type column.
  void PickAudioTrack(int Row, int Position);

  // The free space of a folder's file system (FreeBytesFor; a test hands in
  // its own figures). A run takes a copy at Convert and calls it on the
  // thread that starts each file.
  std::function<int64_t(const std::string&)> FreeSpace;

  TQuilloConverter QuilloC;
  TQueueList* Lvw;
  QPushButton* BtnAdd;
  QPushButton* BtnAddFolder;  // Ctrl+Shift+O
  QPushButton* BtnRemove;
  QPushButton* BtnClear;
  QPushButton* BtnMoveUp;
  QPushButton* BtnMoveDown;
  QLabel* Label1;
  QLineEdit* EdtOutputFolder;
  QPushButton* BtnChangeOutputFolder;
  QPushButton* BtnOpenOutputFolder;
  TOutputSettings* GBOutput;
  QGroupBox* GBOther;
  QCheckBox* ChkOverwrite;
  QCheckBox* ChkShutdown;
  QCheckBox* ChkSkipConverted;
  QCheckBox* ChkLowPriority;
  QCheckBox* ChkKeepFolders;
  // Every output's sound at one loudness; subtitles beside a file (or forced
  // in it) drawn into its picture.
  QCheckBox* ChkEvenVolume;
  QCheckBox* ChkBurnSubtitles;
  QLabel* LblParallel;
  QSpinBox* SpinParallel;  // "Files at the same time", 1..cores
  QLabel* LblProgress;
  // The whole batch while Running: a bar and "1 of 3 files done, ..." above
  // the progress line.
  QProgressBar* BatchBar;
  QLabel* LblBatch;
  // The log panel: the component's lines of the current batch, each after
  // its file's name; opened and closed with BtnLog (the window grows by the
  // panel's height). Read-only, its text can be selected and copied.
  QToolButton* BtnLog;
  QPlainTextEdit* MemLog;
  QPushButton* BtnStart;
  QPushButton* BtnPause;  // enabled while Running
  // The list's commands, shared by their buttons and keys.
  QAction* ActAdd;
  QAction* ActAddFolder;
  QAction* ActStopAfter;  // in the Stop button's menu while Running
  QAction* ActRemove;
  QAction* ActClear;
  QAction* ActMoveUp;
  QAction* ActMoveDown;
  QAction* ActConvert;  // Enter in the list
  QPushButton* BtnAbout;
  QPushButton* BtnHelp;

protected:
  void closeEvent(QCloseEvent* Event) override;
  // The first show places the window in the middle of the screen's free
  // area, at the designed size as far as it fits.
  void showEvent(QShowEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  // The per-file set-up with the window's settings; a refused file's message
  // is shown here. AtConvert: the set-up of a run, which skips a file
  // converted already when the box asks for it (no message for that). Without
  // OpenOutput the output is named but not tried (its folder does not exist yet,
  // or cannot take outputs: the file is then checked as an input only).
  // TreeFolder: the file's folder below a folder added (kept folder
  // structure). Refusals: where a refusal goes instead of a box.
  // AudioTrack: the audio track chosen by the user (from 1; 0: the
  // set-up's own choice).
  TFileSetup SetUpFile(const std::string& FileName, TNameReservations& Reserved, bool AtConvert = false,
                       bool OpenOutput = true, const std::string& TreeFolder = "", TFolderAdd* Refusals = nullptr,
                       int AudioTrack = 0);
  // The audio of a row as a set-up found it (Picked: the user's choice kept).
  TRowAudio RowAudioOf(const TFileSetup& Setup, int Picked) const;
  void Message(const QString& Title, const QString& Text, TMessageIcon Icon);
  // Add's per-file set-up for each file, appending the accepted ones; a
  // cancel keeps the rows added so far. An output folder that cannot be used
  // is checked once: the files are listed and one box says why.
  void AddFiles(const std::vector<std::string>& Files);
  // Files and folders: each folder's video files through its tree
  // (TFolderAdd, under a progress dialog whose Cancel ends the search), then
  // AddItems. When a folder was among them, the refusals go to the Log and
  // one box says how many files were added and refused.
  void AddPaths(const std::vector<std::string>& Paths);
  void AddItems(const std::vector<TAddItem>& Items, TFolderAdd* Report);
  // The start and end of work in steps (RunInSteps, a folder's search).
  void BeginBusy();
  void EndBusy();
  // Runs Step for 0..Count-1 on this thread, letting the window's events
  // through after each step, under a progress dialog saying Label whose Cancel
  // ends the work (as do Stop and closing the window). Returns the number of
  // steps done.
  int RunInSteps(int Count, const QString& Label, const std::function<void(int)>& Step);
  // Enables the actions and controls that edit the list, its settings or
  // start a batch: only while Idle and not busy. The one place for them.
  void UpdateActions();
  // Idle: every control enabled, the progress line hidden, "Convert".
  // Running: list and folder buttons, About, Help and both groups disabled,
  // the progress line shown, "Stop"; the list stays enabled.
  void ShowState(TBatchRun::TState State);
  // The screen's area free of panels, the window manager's frame around the
  // window (estimated until it is known), the size a window starts with.
  QRect AvailableArea() const;
  QMargins FrameMargins() const;
  QSize FirstSize() const;
  // The least size: the page's, as far as the screen has room for it (on a
  // smaller screen the page scrolls).
  void UpdateMinimumSize();
  // Gives the window the size and place of Client (without the frame),
  // shrunk and moved as far as needed to keep the frame inside the free area.
  void FitOnScreen(QRect Client);
  // Once the window manager has framed the window after its first show, its
  // real frame is known: a frame the estimate left partly off the screen is
  // moved back (looks again every 100 ms for five seconds until it is known).
  void CheckFirstFrame();
  // Writes the settings file from the controls (not when FormCreate failed).
  void WriteSettings();
  void StartRun();
  void StopRun();
  void EndRun();
  // The message at the batch's end, from the rows' statuses and the run's
  // tasks (also after FRun.End); Failed: a file failed.
  QString EndMessage(TBatchEnd End, bool* Failed) const;
  // "3 files converted, 1 failed" from the rows' statuses.
  QString BatchSummary() const;
  void ProgressArrived(uint64_t RunId, int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                       int ATotalOutputDuration);
  void TerminateArrived(uint64_t RunId, int AIndex, bool AFinished, bool AException, const QString& AMessage);
  void LogArrived(uint64_t RunId, int AIndex, const QString& AMsg);
  // Idle: each row's Output Filename as the next run would choose it, in
  // list order, after any change to the list (Add, Remove, Move Up/Down) and
  // after Overwrite or the output folder changed; a "Completed" row keeps the
  // name its output has.
  void RefreshOutputNames();
  // The batch bar and line from the run and the time since Convert.
  void ShowBatchProgress();
  // Idle: each row's expected output in its tooltip, and the batch line's
  // size figures ("12 files, about 1.4 GB, 6.2 GB free") for the rows a
  // Convert would convert (all but the completed ones).
  void ShowBatchFigures();
  // The folder a row's output goes to (with the kept folder structure, its
  // tree folder below the output folder).
  std::string OutputFolderOf(int Row) const;
  // A task that the free space could not take was held before its start
  // (the component's OnBeforeStart, with Free bytes free): the batch shows as
  // paused, with a message.
  void RoomShortArrived(uint64_t RunId, int AIndex, int64_t Free);
  // The output folder Folder was gone when a task was to start: the task
  // holds before it opens anything and the batch shows as paused, with a
  // message; Resume goes on once the folder is back (FFolderHold).
  void FolderGoneArrived(uint64_t RunId, const std::string& Folder);
  // The length of a finished file's output (read back by FOutputLengths off
  // this thread; 0 or less: unreadable), for task AIndex of run RunId on Row
  // (whose file is Input): the Duration cell corrected, a clearly shorter
  // output's status and reason; the last one awaited ends the batch when its
  // end was waiting for it.
  void OutputMeasured(uint64_t RunId, int AIndex, int Row, const std::string& Input, int64_t OutputUs);
  // The run's time: since Convert, less its pauses.
  int64_t RunMs() const { return FPause.RunMs(FRunClock.elapsed()); }
  // The list of the last start back in Lvw (FormCreate); a damaged list's
  // note goes to the log, which opens.
  void RestoreList();
  // Removes the part files a batch that was cut off left in the rows' output
  // folders, each named in the log.
  void RemoveLeftoverParts();
  // Starts FListSave after a change of the list (rows added, removed, moved,
  // a status changed): at once when no batch runs or a row's state changed,
  // else (a row's progress during a batch) kListSaveGapMs later; not while
  // adding (EndBusy starts it).
  void ScheduleListSave();
  static constexpr int kListSaveGapMs = 3000;
  // Hands the rows to FListSaver, which writes them to FListStore.
  void SaveList();
  // Takes the sleep lock for the batch's files; a missing logind is said once
  // in the log.
  void KeepAwake();
  // Each row's name in the log and the progress line: its Input Filename,
  // followed by "(row 2, /its/folder)" when another row has the same one.
  std::vector<QString> FileLabels() const;
  // Row's name of the current batch (its Input Filename when it has none).
  QString FileLabel(int Row) const;

  IDialogs& FDialogs;
  IPowerOff* FPowerOff;
  TUiQueue* FUiQueue;  // set once here; used by the worker-thread handlers
  std::string FLibraryFolder;
  TBatchRun FRun;
  TBatchPause FPause;  // the run's pause and early end (user-interface thread)
  TOutputFolderHold FFolderHold;  // the output folder the batch holds for (user-interface thread)
  // Finished files' outputs read back off this thread; the answers come
  // through FUiQueue (OutputMeasured). The counts: user-interface thread.
  TOutputLengths FOutputLengths;
  int FMeasuring = 0;             // outputs asked for and not answered yet
  bool FEndWhenMeasured = false;  // the run's all-done came while FMeasuring > 0
  std::vector<int64_t> FTaskBytes;  // each task's expected output at Convert (user-interface thread)
  // The background size measuring (MeasureSizes), all on the user-interface
  // thread; the sampler's figures come through FUiQueue (SizeMeasured).
  std::unique_ptr<TSizeSampler> FSampler;
  TMeasuredSizes FMeasured;                 // the figures come so far, at FMeasured.Key()
  std::vector<std::string> FSampleRequest;  // the files asked of FSampler and not yet answered
  uint64_t FSampleGeneration = 0;           // FSampler's number of that request
  void SizeMeasured(uint64_t Generation, const std::string& File, int64_t Bytes);
  // A row's expected output at Settings (whose SettingsKey is Key): measured
  // when known (Measured set), else the bitrate bound.
  int64_t RowExpectedBytes(int Row, const TBatchSettings& Settings, const std::string& Key, bool* Measured = nullptr) const;
  QTimer* FFiguresTimer;            // ShowBatchFigures once the events of a change are through
  QElapsedTimer FRunClock;  // started at Convert
  QTimer* FBatchTicker;     // refreshes the elapsed time between events
  QWidget* FPage;           // every control, in FScroll
  QScrollArea* FScroll;
  bool FPlaced = false;     // the first show has placed the window
  bool FOtherWide = true;   // the sound and subtitle boxes in Other Settings' third column (UI thread)
  int FFrameChecks = 0;     // looks left for the window manager's first frame
  bool FCreated = false;  // the libraries were loaded and the settings read
  // The settings file's seconds between key frames, kept from start to close
  // (no control shows it). User-interface thread.
  int FKeyFrameSeconds = kDefaultKeyFrameSeconds;
  bool FClosed = false;   // FormCloseQuery has run
  bool FWarningOpen = false;  // a failure's warning box is open
  bool FLogFollows = true;  // the log panel shows its last line (user-interface thread)
  std::vector<QString> FFileLabels;  // FileLabels() at Convert (user-interface thread)
  bool FBusy = false;          // inside RunInSteps
  bool FCancelBusy = false;    // the work of RunInSteps is to end after its step
  bool FCloseWhenIdle = false; // the window was closed while busy
  bool FClosePending = false;  // the close asked for while busy is on its way
  TSleepGuard* FSleepGuard = nullptr;  // not owned
  TLauncherEntry* FLauncher = nullptr;  // not owned
  bool FSleepNoted = false;    // the log said that the lock could not be taken
  // Files handed over and not yet added (user-interface thread), and the
  // timer that tries again.
  std::vector<std::pair<std::vector<std::string>, bool>> FHandedOver;
  QTimer* FHandOverRetry = nullptr;
  void TakeHandedOver();
  TListStore FListStore;       // Load on the user-interface thread before FListSaver's first save
  std::unique_ptr<TListSaver> FListSaver;  // made and ended on the user-interface thread
  QTimer* FListSave;           // saves the list once the events of a change are through
  std::vector<TRowState> FSavedStates;  // each row's state as last saved (user-interface thread)
  bool FListRestored = false;  // the list was brought back: from now on it is saved
};
