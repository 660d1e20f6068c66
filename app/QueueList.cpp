#include "QueueList.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

#include "BatchSettings.h"
#include "FileNames.h"

namespace {

// Draws a cell with a grid line on its right and bottom, in the palette's
// colours (selection included), as a report-style list does.
class TGridDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    PaintCell(Painter, Option, Index);
    Painter->save();
    Painter->setPen(Option.palette.color(QPalette::Midlight));
    Painter->drawLine(Option.rect.topRight(), Option.rect.bottomRight());
    Painter->drawLine(Option.rect.bottomLeft(), Option.rect.bottomRight());
    Painter->restore();
  }

protected:
  virtual void PaintCell(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const {
    QStyledItemDelegate::paint(Painter, Option, Index);
  }
};

// Draws the Status of a converting row with a percentage as a progress bar
// carrying its text. A status too long for its cell keeps its start ("Completed
// (shorter: …"): what happened comes first, its details follow in the tooltip.
class TStatusDelegate : public TGridDelegate {
public:
  using TGridDelegate::TGridDelegate;

protected:
  void initStyleOption(QStyleOptionViewItem* Option, const QModelIndex& Index) const override {
    TGridDelegate::initStyleOption(Option, Index);
    Option->textElideMode = Qt::ElideRight;
  }
  void PaintCell(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    const bool converting = Index.data(TQueueList::StateRole).toInt() == static_cast<int>(TRowState::Converting);
    const int percent = Index.data(TQueueList::PercentRole).toInt();
    if (!converting || percent < 0) {
      TGridDelegate::PaintCell(Painter, Option, Index);
      return;
    }
    // The cell's background (selection included) without its text, then the bar.
    QStyleOptionViewItem cell = Option;
    initStyleOption(&cell, Index);
    cell.text.clear();
    QStyle* style = cell.widget ? cell.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, Painter, cell.widget);
    QStyleOptionProgressBar bar;
    bar.rect = Option.rect.adjusted(2, 2, -2, -2);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = percent;
    bar.text = Index.data(Qt::DisplayRole).toString();
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
    bar.palette = Option.palette;
    bar.fontMetrics = Option.fontMetrics;
    style->drawControl(QStyle::CE_ProgressBar, &bar, Painter, cell.widget);
  }
};

}  // namespace

TQueueList::TQueueList(QWidget* Parent) : QTreeWidget(Parent) {
  setColumnCount(ColumnCount);
  setHeaderLabels({"Input Filename", "Duration", "Type", "Output Filename", "Status", "Path"});
  // Status takes the rest of the width, so that "100% Completed" shows whole
  // and no horizontal scroll bar is needed.
  const int widths[] = {150, 70, 50, 150};
  for (int c = 0; c < ColStatus; ++c) setColumnWidth(c, widths[c]);
  setColumnHidden(ColPath, true);
  setItemDelegate(new TGridDelegate(this));
  setItemDelegateForColumn(ColStatus, new TStatusDelegate(this));
  header()->setStretchLastSection(true);
  header()->setMinimumSectionSize(40);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // File names keep their start and their end; the Status column keeps its
  // start (TStatusDelegate).
  setTextElideMode(Qt::ElideMiddle);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

void TQueueList::SetDuration(int Row, int64_t DurationUs) {
  if (QTreeWidgetItem* item = topLevelItem(Row)) item->setText(ColDuration, QString::fromStdString(DurationText(DurationUs)));
}

void TQueueList::AppendRow(const TFileSetup& Setup) {
  auto* item = new QTreeWidgetItem;
  item->setText(ColInput, QString::fromStdString(Setup.Base));
  item->setText(ColDuration, QString::fromStdString(Setup.Duration));
  SetTypeText(item, QString::fromStdString(Setup.Type));
  item->setText(ColPath, ShownPath(Setup.FileName));
  item->setData(ColPath, BytesRole, QByteArray::fromStdString(Setup.FileName));
  item->setToolTip(ColInput, item->text(ColPath));
  addTopLevelItem(item);
  SetOutputName(RowCount() - 1, Setup.OutputName);
  SetStatus(RowCount() - 1, TRowStatus{});
}

QString TQueueList::Cell(int Row, TColumn Column) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  return item ? item->text(Column) : QString();
}

std::string TQueueList::Path(int Row) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  return item ? item->data(ColPath, BytesRole).toByteArray().toStdString() : std::string();
}

std::string TQueueList::OutputName(int Row) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  return item ? item->data(ColOutput, BytesRole).toByteArray().toStdString() : std::string();
}

void TQueueList::SetOutputName(int Row, const std::string& Name) {
  QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return;
  item->setText(ColOutput, ShownPath(Name));
  item->setData(ColOutput, BytesRole, QByteArray::fromStdString(Name));
}

std::string TQueueList::TreeFolder(int Row) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  return item ? item->data(ColPath, TreeFolderRole).toByteArray().toStdString() : std::string();
}

void TQueueList::SetTreeFolder(int Row, const std::string& Folder) {
  if (QTreeWidgetItem* item = topLevelItem(Row)) item->setData(ColPath, TreeFolderRole, QByteArray::fromStdString(Folder));
}

TSizeInputs TQueueList::SizeInputs(int Row) const {
  TSizeInputs inputs;
  const QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return inputs;
  // Duration (microseconds), video, audio, the source's frame rate.
  const QVariantList v = item->data(ColPath, SizeRole).toList();
  if (v.size() != 4) return inputs;
  inputs.DurationUs = v[0].toLongLong();
  inputs.HasVideo = v[1].toBool();
  inputs.HasAudio = v[2].toBool();
  inputs.FrameRate = v[3].toDouble();
  return inputs;
}

void TQueueList::SetSizeInputs(int Row, const TSizeInputs& Inputs) {
  if (QTreeWidgetItem* item = topLevelItem(Row))
    item->setData(ColPath, SizeRole,
                  QVariantList{QVariant::fromValue<qlonglong>(Inputs.DurationUs), Inputs.HasVideo, Inputs.HasAudio,
                               Inputs.FrameRate});
}

namespace {

QString TypeText(const std::string& Path, const TRowAudio& Audio, int Choice) {
  const bool named = Audio.Tracks.size() > 1 && Choice >= 0 && Choice < static_cast<int>(Audio.Tracks.size());
  return QString::fromStdString(
      TypeColumnText(Path, named ? Audio.Tracks[static_cast<size_t>(Choice)] : std::string(), Audio.Subtitles));
}

}  // namespace

TRowAudio TQueueList::Audio(int Row) const {
  TRowAudio audio;
  const QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return audio;
  // Known, the tracks, automatic, picked, subtitles.
  const QVariantList v = item->data(ColType, AudioRole).toList();
  if (v.size() != 5) return audio;
  audio.Known = v[0].toBool();
  for (const QString& t : v[1].toStringList()) audio.Tracks.push_back(t.toStdString());
  audio.Automatic = v[2].toInt();
  audio.Picked = v[3].toInt();
  audio.Subtitles = v[4].toBool();
  return audio;
}

void TQueueList::SetAudio(int Row, const TRowAudio& Audio) {
  QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return;
  QStringList tracks;
  for (const std::string& t : Audio.Tracks) tracks << QString::fromStdString(t);
  item->setData(ColType, AudioRole, QVariantList{Audio.Known, tracks, Audio.Automatic, Audio.Picked, Audio.Subtitles});
  if (!Audio.Known) return;
  SetTypeText(item, TypeText(Path(Row), Audio, Audio.Choice()));
}

void TQueueList::SetTypeText(QTreeWidgetItem* Item, const QString& Full) {
  static const QString subtitles = " + subtitles";
  Item->setData(ColType, TypeRole, Full);
  Item->setText(ColType, FBurnSubtitles || !Full.endsWith(subtitles) ? Full : Full.chopped(subtitles.size()));
  FitTypeColumn(Item->text(ColType));
}

void TQueueList::SetBurnSubtitles(bool On) {
  if (On == FBurnSubtitles) return;
  FBurnSubtitles = On;
  for (int r = 0; r < RowCount(); ++r) {
    QTreeWidgetItem* item = topLevelItem(r);
    SetTypeText(item, item->data(ColType, TypeRole).toString());
  }
}

QString TQueueList::TypeToKeep(int Row) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return QString();
  const TRowAudio audio = Audio(Row);
  if (!audio.Known || audio.Picked < 0) return item->data(ColType, TypeRole).toString();
  return TypeText(Path(Row), audio, audio.Automatic);
}

void TQueueList::SetSizeTip(int Row, const QString& Tip) {
  QTreeWidgetItem* item = topLevelItem(Row);
  if (item && item->toolTip(ColOutput) != Tip) item->setToolTip(ColOutput, Tip);
}

void TQueueList::SetStatus(int Row, const TRowStatus& Status, const QString& Tip) {
  QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return;
  item->setData(ColStatus, StateRole, static_cast<int>(Status.State));
  item->setData(ColStatus, PercentRole, Status.Percent);
  item->setData(ColStatus, ConvertedMsRole, static_cast<qlonglong>(Status.ConvertedMs));
  item->setData(ColStatus, ExpectedMsRole, static_cast<qlonglong>(Status.ExpectedMs));
  item->setText(ColStatus, QString::fromStdString(StatusText(Status)));
  item->setToolTip(ColStatus, Tip);
}

TRowStatus TQueueList::Status(int Row) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return {};
  return {static_cast<TRowState>(item->data(ColStatus, StateRole).toInt()), item->data(ColStatus, PercentRole).toInt(),
          item->data(ColStatus, ConvertedMsRole).toLongLong(), item->data(ColStatus, ExpectedMsRole).toLongLong()};
}

int TQueueList::CountRows(TRowState State) const {
  int n = 0;
  for (int r = 0; r < RowCount(); ++r) n += Status(r).State == State;
  return n;
}

int TQueueList::SelectedRow() const {
  for (int r = 0; r < RowCount(); ++r)
    if (topLevelItem(r)->isSelected()) return r;
  return -1;
}

void TQueueList::SelectRow(int Row) {
  clearSelection();
  if (QTreeWidgetItem* item = topLevelItem(Row)) {
    setCurrentItem(item);
    item->setSelected(true);
  }
}

void TQueueList::RemoveSelected() {
  for (int r = RowCount() - 1; r >= 0; --r)
    if (topLevelItem(r)->isSelected()) delete takeTopLevelItem(r);
}

void TQueueList::MoveSelected(bool Up) {
  // Each run of selected rows changes places with the unselected row before
  // it (Up) or after it (Down); a run already at that end of the list stays.
  // Only unselected rows are taken out and put back, so the selection and the
  // current row stay as they are.
  const int rows = RowCount();
  auto selected = [this](int Row) { return topLevelItem(Row)->isSelected(); };
  QTreeWidgetItem* edge = nullptr;  // the selected row nearest the way it moves
  setUpdatesEnabled(false);
  for (int i = 0; i < rows; ++i) {
    const int r = Up ? i : rows - 1 - i;
    if (!selected(r)) continue;
    if (!edge) edge = topLevelItem(r);
    const int neighbour = Up ? r - 1 : r + 1;
    if (neighbour < 0 || neighbour >= rows || selected(neighbour)) continue;
    // The run that begins at r reaches back to last; the neighbour goes to
    // its other end (taken out first, it leaves the run's rows above it one
    // place higher).
    const int back = Up ? 1 : -1;
    int last = r;
    while (last + back >= 0 && last + back < rows && selected(last + back)) last += back;
    insertTopLevelItem(last, takeTopLevelItem(neighbour));
    i += (last - r) * back;
  }
  setUpdatesEnabled(true);
  if (edge) scrollToItem(edge, QAbstractItemView::EnsureVisible);
}

void TQueueList::resizeEvent(QResizeEvent* Event) {
  QTreeWidget::resizeEvent(Event);
  FitNameColumns();
}

void TQueueList::FitTypeColumn(const QString& Text) {
  // Wide enough for "MKV · de 5.1 + subtitles", taken from the name columns.
  const int needed = std::min(fontMetrics().horizontalAdvance(Text) + 12, 160);
  if (needed <= columnWidth(ColType)) return;
  setColumnWidth(ColType, needed);
  FitNameColumns();
}

void TQueueList::FitNameColumns() {
  // A narrow list (a small screen) takes the width for Status from the two
  // name columns, down to 60 pixels each, and gives it back up to their
  // designed 150 as it widens; a column the user made wider is left alone
  // while there is room for it.
  const int status = fontMetrics().horizontalAdvance("100% Completed") + 16;
  const int room = viewport()->width() - columnWidth(ColDuration) - columnWidth(ColType) - status;
  const int each = std::clamp(room / 2, 60, 150);
  const bool tight = columnWidth(ColInput) + columnWidth(ColOutput) > room;
  for (TColumn c : {ColInput, ColOutput})
    if (tight || columnWidth(c) < each) setColumnWidth(c, each);
}

void TQueueList::FollowRow(int Row) {
  QTreeWidgetItem* item = topLevelItem(Row);
  if (!item || (FUserScrolled.isValid() && FUserScrolled.elapsed() < FollowPauseMs)) return;
  FFollowing = true;
  scrollToItem(item, QAbstractItemView::EnsureVisible);
  FFollowing = false;
}

void TQueueList::scrollContentsBy(int Dx, int Dy) {
  QTreeWidget::scrollContentsBy(Dx, Dy);
  if (Dy != 0 && !FFollowing) FUserScrolled.start();
}

namespace {

// The dropped local files as bytes: a URL carries them percent-encoded.
std::vector<std::string> LocalFiles(const QMimeData* Data) {
  std::vector<std::string> files;
  if (Data && Data->hasUrls())
    for (const QUrl& url : Data->urls())
      if (std::string path = PathOfUrl(url); !path.empty()) files.push_back(std::move(path));
  return files;
}

}  // namespace

void TQueueList::dragEnterEvent(QDragEnterEvent* Event) {
  if (!LocalFiles(Event->mimeData()).empty() && CanDrop && CanDrop())
    Event->acceptProposedAction();
  else
    Event->ignore();
}

void TQueueList::dragMoveEvent(QDragMoveEvent* Event) {
  if (!LocalFiles(Event->mimeData()).empty() && CanDrop && CanDrop())
    Event->acceptProposedAction();
  else
    Event->ignore();
}

void TQueueList::dropEvent(QDropEvent* Event) {
  const std::vector<std::string> files = LocalFiles(Event->mimeData());
  if (!files.empty() && OnDropFiles && OnDropFiles(files))
    Event->acceptProposedAction();
  else
    Event->ignore();
}
