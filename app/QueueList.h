// The queue list `Lvw`: one row per input file, in conversion order, with the
// columns Input Filename, Duration, Type, Output Filename, Status and a hidden
// Path that the run reads the inputs from. User-interface thread only.
#pragma once

#include <QElapsedTimer>
#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "BatchRun.h"
#include "SizeEstimate.h"

struct TFileSetup;

// The audio tracks of a row's file, as the Type column and the row's "Audio
// track" menu name them ("de 5.1"), and which of them is converted.
struct TRowAudio {
  bool Known = false;               // probed (a row of the kept list is not, until asked or converted)
  std::vector<std::string> Tracks;  // in stream order
  int Automatic = -1;  // the position the set-up chooses by itself; -1 none
  int Picked = -1;     // the position the user chose for this run; -1 none
  bool Subtitles = false;  // the file has subtitles to burn in (shown while burning is on)
  int Choice() const { return Picked >= 0 ? Picked : Automatic; }
  bool operator==(const TRowAudio&) const = default;
};

class TQueueList : public QTreeWidget {
public:
  enum TColumn { ColInput, ColDuration, ColType, ColOutput, ColStatus, ColPath, ColumnCount };
  // The Status cell keeps the row's TRowStatus as data; its text is drawn
  // from that, and a converting row with a percentage is drawn as a bar.
  enum TRole { StateRole = Qt::UserRole, PercentRole, ConvertedMsRole, BytesRole, ExpectedMsRole, TreeFolderRole, SizeRole,
               AudioRole, TypeRole };

  explicit TQueueList(QWidget* Parent = nullptr);

  int RowCount() const { return topLevelItemCount(); }
  // Appends the row of an accepted file, with an empty Status.
  void AppendRow(const TFileSetup& Setup);
  QString Cell(int Row, TColumn Column) const;
  // The input path and the output name as the bytes the system gave (kept in
  // BytesRole); their cells show them with replacement characters.
  std::string Path(int Row) const;
  std::string OutputName(int Row) const;
  void SetOutputName(int Row, const std::string& Name);
  // Shows DurationUs in Row's Duration cell ("00:06:40").
  void SetDuration(int Row, int64_t DurationUs);
  // The folder a row's file was found in below a folder added, relative to
  // it ("" for a file added on its own), as bytes.
  std::string TreeFolder(int Row) const;
  void SetTreeFolder(int Row, const std::string& Folder);
  // What the row's expected output size is estimated from (its duration and
  // streams; the bitrates are the settings'), and the Output Filename cell's
  // tooltip that shows the estimate.
  TSizeInputs SizeInputs(int Row) const;
  void SetSizeInputs(int Row, const TSizeInputs& Inputs);
  void SetSizeTip(int Row, const QString& Tip);
  // A row's audio tracks and choice; setting them shows the track converted
  // in the Type cell (when they are known). TypeToKeep: the Type cell with
  // the track the set-up chooses by itself, as the kept list stores it (a
  // choice is kept for this run only).
  TRowAudio Audio(int Row) const;
  void SetAudio(int Row, const TRowAudio& Audio);
  QString TypeToKeep(int Row) const;
  // Whether subtitles are burned in (the "Burn in subtitles" box): the Type
  // cell of a row whose file has them ends in " + subtitles" only while on.
  // A row keeps its full text (TypeRole) to show again when the box changes.
  void SetBurnSubtitles(bool On);
  // Sets a row's Status and its text (and its tooltip; empty clears it).
  void SetStatus(int Row, const TRowStatus& Status, const QString& Tip = QString());
  TRowStatus Status(int Row) const;
  // The number of rows whose Status is in State.
  int CountRows(TRowState State) const;

  // The first selected row in list order, or -1.
  int SelectedRow() const;
  void SelectRow(int Row);
  // Deletes every selected row, from the last to the first.
  void RemoveSelected();
  // Moves the selected rows one place up or down, each run of them past the
  // row next to it; a run at the edge of the list stays. The rows stay
  // selected, and the first of them in the direction of travel is scrolled
  // into view.
  void MoveSelected(bool Up);

  // Scrolls Row into view, unless the user scrolled the list in the last
  // FollowPauseMs: a batch's list follows the file being converted without
  // taking the list from a user who is looking at other rows.
  void FollowRow(int Row);
  int FollowPauseMs = 5000;

  // Files and folders dropped on the list go to OnDropFiles, which says
  // whether it took them; CanDrop tells a drag whether a drop would be taken.
  std::function<bool()> CanDrop;
  std::function<bool(const std::vector<std::string>&)> OnDropFiles;

protected:
  // Any scroll but FollowRow's is the user's (wheel, keys, scroll bar, a
  // resize): the list stops following for a while.
  void scrollContentsBy(int Dx, int Dy) override;
  void resizeEvent(QResizeEvent* Event) override;
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dragMoveEvent(QDragMoveEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;

private:
  // The Type column widens for a longer text (up to a limit), and the name
  // columns share what is left with Status.
  void FitTypeColumn(const QString& Text);
  void FitNameColumns();
  // Keeps Full as the item's Type and shows it, " + subtitles" only while
  // burning is on.
  void SetTypeText(QTreeWidgetItem* Item, const QString& Full);
  bool FBurnSubtitles = true;
  QElapsedTimer FUserScrolled;  // since the user's last scroll; invalid before it
  bool FFollowing = false;      // inside FollowRow
};
