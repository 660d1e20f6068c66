#include "QueueList.h"

#include <QHeaderView>

#include "BatchSettings.h"

TQueueList::TQueueList(QWidget* Parent) : QTreeWidget(Parent) {
  setColumnCount(ColumnCount);
  setHeaderLabels({"Input Filename", "Duration", "Type", "Output Filename", "Status", "Path"});
  // Status takes the rest of the width, so that "100% Completed" shows whole
  // and no horizontal scroll bar is needed.
  const int widths[] = {150, 70, 50, 150};
  for (int c = 0; c < ColStatus; ++c) setColumnWidth(c, widths[c]);
  setColumnHidden(ColPath, true);
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
  // Grid lines between the cells, as in a report-style list.
  setStyleSheet("QTreeView::item { border-right: 1px solid palette(midlight); "
                "border-bottom: 1px solid palette(midlight); }");
}

void TQueueList::AppendRow(const TFileSetup& Setup) {
  auto* item = new QTreeWidgetItem;
  item->setText(ColInput, QString::fromStdString(Setup.Base));
  item->setText(ColDuration, QString::fromStdString(Setup.Duration));
  item->setText(ColType, QString::fromStdString(Setup.Type));
  item->setText(ColOutput, QString::fromStdString(Setup.OutputName));
  item->setText(ColStatus, QString());
  item->setText(ColPath, QString::fromStdString(Setup.FileName));
  item->setToolTip(ColInput, item->text(ColPath));
  addTopLevelItem(item);
}

QString TQueueList::Cell(int Row, TColumn Column) const {
  const QTreeWidgetItem* item = topLevelItem(Row);
  return item ? item->text(Column) : QString();
}

void TQueueList::SetStatus(int Row, const QString& Status, const QString& Tip) {
  QTreeWidgetItem* item = topLevelItem(Row);
  if (!item) return;
  item->setText(ColStatus, Status);
  item->setToolTip(ColStatus, Tip);
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
