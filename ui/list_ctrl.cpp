#include "ui/list_ctrl.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPalette>
#include <QScrollBar>
#include <QStyleOptionViewItem>
#include <algorithm>

#include "ui/device_string.h"
#include "ui/list_model.h"

CListCtrl::CListCtrl(QWidget* parent) : QTreeView(parent), m_model(new ListModel(this)) {
  setModel(m_model);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setExpandsOnDoubleClick(false);
  setUniformRowHeights(true);  // keeps a thousand rows cheap to lay out
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setAllColumnsShowFocus(true);
  setSortingEnabled(false);
  // Whole rows vertically, so the top row is always a whole row and the scroll value is its
  // index; pixels horizontally.
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

  QHeaderView* heading = header();
  heading->setSectionsMovable(false);
  heading->setSectionsClickable(false);
  heading->setStretchLastSection(false);
  heading->setMinimumSectionSize(0);

  // The selection must stay as visible as with focus when the operator works elsewhere.
  QPalette colours = palette();
  for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
    colours.setColor(QPalette::Inactive, role, colours.color(QPalette::Active, role));
  }
  setPalette(colours);

  connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, &CListCtrl::ItemChanged);
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this, &CListCtrl::ItemChanged);
}

CListCtrl::~CListCtrl() = default;

int CListCtrl::GetItemCount() const {
  return m_model->RowCount();
}

int CListCtrl::InsertItem(int row, const char* label) {
  return m_model->InsertRow(row, DeviceString(label));
}

bool CListCtrl::DeleteAllItems() {
  m_model->RemoveAllRows();
  return true;
}

bool CListCtrl::SetItemText(int row, int sub_item, const char* text) {
  if (sub_item > 0 && sub_item >= GetHeaderItemCount()) return false;
  const QString value = DeviceString(text);
  // The label belongs to the row itself, the other cells are only shown: the details panel
  // follows a device that answers from a new address, and a status refresh costs nothing.
  const bool relabelled = sub_item == 0 && m_model->Text(row, 0) != value;
  if (!m_model->SetText(row, sub_item, value)) return false;
  if (relabelled) emit ItemChanged();
  return true;
}

QString CListCtrl::GetItemText(int row, int sub_item) const {
  return m_model->Text(row, sub_item);
}

bool CListCtrl::SetItemData(int row, void* data) {
  const bool replaced = m_model->ItemData(row) != data;
  if (!m_model->SetItemData(row, data)) return false;
  if (replaced) emit ItemChanged();
  return true;
}

void* CListCtrl::GetItemData(int row) const {
  return m_model->ItemData(row);
}

int CListCtrl::InsertColumn(int column, Qt::Alignment alignment, int width, const char* heading,
                            int sub_item) {
  const int position = m_model->InsertColumn(column, alignment, DeviceString(heading), sub_item);
  if (position >= 0) header()->resizeSection(position, std::max(0, width));
  return position;
}

int CListCtrl::GetColumnWidth(int column) const {
  if (column < 0 || column >= GetHeaderItemCount()) return 0;
  return header()->sectionSize(column);
}

int CListCtrl::GetHeaderItemCount() const {
  return header()->count();
}

int CListCtrl::HitTest(const QPoint& point) const {
  const QModelIndex cell = indexAt(point);
  return cell.isValid() ? cell.row() : -1;
}

int CListCtrl::GetTopIndex() const {
  if (GetItemCount() == 0) return 0;
  return std::clamp(verticalScrollBar()->value(), 0, GetItemCount() - 1);
}

int CListCtrl::GetCountPerPage() const {
  return viewport()->height() / RowHeight();
}

QRect CListCtrl::GetItemRect(int row) const {
  if (row < 0 || row >= GetItemCount() || GetHeaderItemCount() == 0) return {};
  const QRect cell = visualRect(m_model->index(row, 0));
  if (!cell.isValid()) return {};
  return QRect(-header()->offset(), cell.top(), header()->length(), cell.height());
}

bool CListCtrl::SetItemState(int row, unsigned state, unsigned mask) {
  if (row < 0 || row >= GetItemCount()) return false;
  const QModelIndex first = m_model->index(row, 0);
  QItemSelectionModel* selection = selectionModel();
  if (mask & LIST_STATE_SELECTED) {
    const bool select = (state & LIST_STATE_SELECTED) != 0;
    if (select != selection->isRowSelected(row)) {
      selection->select(
          first, (select ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::Deselect) |
                     QItemSelectionModel::Rows);
    }
  }
  if (mask & LIST_STATE_FOCUSED) {
    const bool current = selection->currentIndex().row() == row;
    if ((state & LIST_STATE_FOCUSED) && !current) {
      selection->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
    } else if (!(state & LIST_STATE_FOCUSED) && current) {
      selection->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
  }
  return true;
}

unsigned CListCtrl::GetItemState(int row, unsigned mask) const {
  if (row < 0 || row >= GetItemCount()) return 0;
  unsigned state = 0;
  if (selectionModel()->isRowSelected(row)) state |= LIST_STATE_SELECTED;
  if (selectionModel()->currentIndex().row() == row) state |= LIST_STATE_FOCUSED;
  return state & mask;
}

int CListCtrl::GetFirstSelectedItem() const {
  int first = -1;
  for (const QModelIndex& index : selectionModel()->selectedRows()) {
    if (first < 0 || index.row() < first) first = index.row();
  }
  return first;
}

void CListCtrl::mousePressEvent(QMouseEvent* event) {
  QTreeView::mousePressEvent(event);
  // The view would drop the selection only on the release; a press beside the rows does it
  // now, since releases never touch the selection here.
  if (!indexAt(event->position().toPoint()).isValid()) selectionModel()->clearSelection();
}

void CListCtrl::mouseMoveEvent(QMouseEvent* event) {
  // A list selects on press, not by dragging: a press that left a row focused but not
  // selected must stay so however much the hand shakes before the release.
  if (event->buttons() & Qt::LeftButton) {
    event->accept();
    return;
  }
  QTreeView::mouseMoveEvent(event);
}

void CListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  QTreeView::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton) emit DoubleClick(event->position().toPoint());
}

void CListCtrl::initViewItemOption(QStyleOptionViewItem* option) const {
  QTreeView::initViewItemOption(option);
  // Some styles draw the focus frame only after keyboard use; a row that is focused but not
  // selected would then look like any other row.
  option->state |= QStyle::State_KeyboardFocusChange;
}

QItemSelectionModel::SelectionFlags CListCtrl::selectionCommand(const QModelIndex& index,
                                                                const QEvent* event) const {
  // The selection is decided when the button goes down. The view would otherwise select a
  // row pressed while already selected on the release, undoing a press that only focused it.
  if (event &&
      (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseMove)) {
    return QItemSelectionModel::NoUpdate;
  }
  return QTreeView::selectionCommand(index, event);
}

int CListCtrl::RowHeight() const {
  if (GetItemCount() > 0 && GetHeaderItemCount() > 0) {
    const int height = visualRect(m_model->index(0, 0)).height();
    if (height > 0) return height;
  }
  return std::max(1, fontMetrics().height());
}
