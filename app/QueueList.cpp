#include "QueueList.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>

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
// carrying its text.
class TStatusDelegate : public TGridDelegate {
public:
  using TGridDelegate::TGridDelegate;

protected:
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

void TQueueList::AppendRow(const TFileSetup& Setup) {
  auto* item = new QTreeWidgetItem;
  item->setText(ColInput, QString::fromStdString(Setup.Base));
  item->setText(ColDuration, QString::fromStdString(Setup.Duration));
  item->setText(ColType, QString::fromStdString(Setup.Type));
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

void TQueueList::SetStatus(int Row, const TRowStatus& Status, const QString& Tip) {
  QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return;
  item->setData(ColStatus, StateRole, static_cast<int>(Status.State));
  item->setData(ColStatus, PercentRole, Status.Percent);
  item->setData(ColStatus, ConvertedMsRole, static_cast<qlonglong>(Status.ConvertedMs));
  item->setText(ColStatus, QString::fromStdString(StatusText(Status)));
  item->setToolTip(ColStatus, Tip);
}

TRowStatus TQueueList::Status(int Row) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return {};
  return {static_cast<TRowState>(item->data(ColStatus, StateRole).toInt()), item->data(ColStatus, PercentRole).toInt(),
          item->data(ColStatus, ConvertedMsRole).toLongLong()};
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
  const int row = SelectedRow();
  if (row < 0) return;
  if (Up ? row == 0 : row == RowCount() - 1) return;
  setUpdatesEnabled(false);
  QTreeWidgetItem* item = takeTopLevelItem(row);
  const int to = Up ? row - 1 : row + 1;
  insertTopLevelItem(to, item);
  SelectRow(to);
  setUpdatesEnabled(true);
  scrollToItem(item, QAbstractItemView::EnsureVisible);
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
