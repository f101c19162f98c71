#include "ui/report_list_ctrl.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <algorithm>

CReportListCtrl::CReportListCtrl(QWidget* parent) : CListCtrl(parent) {
  // actionTriggered comes before the bar's value moves, and so before the view scrolls.
  connect(horizontalScrollBar(), &QAbstractSlider::actionTriggered, this,
          &CReportListCtrl::OnScrollAction);
  connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
          &CReportListCtrl::OnScrollAction);
}

CReportListCtrl::~CReportListCtrl() = default;

bool CReportListCtrl::SetupColumns(const ReportColumn* table, int count) {
  if (!DeleteAllItems()) return false;
  if (count > 0 && !table) return false;
  for (int i = 0; i < count; ++i) {
    const ReportColumn& entry = table[i];
    if (InsertColumn(i, entry.alignment, entry.width, entry.heading, entry.sub_item) < 0) {
      return false;
    }
  }
  return true;
}

bool CReportListCtrl::SetCellText(int row, int column, const char* text) {
  return SetItemText(row, column, text);
}

int CReportListCtrl::HitTestCell(const QPoint& point, int* column) const {
  if (column) *column = 0;
  const int first = GetTopIndex();
  // One row more than fits wholly, so that the partly visible bottom row can be hit.
  const int last = std::min(first + GetCountPerPage(), GetItemCount() - 1);
  const int columns = GetHeaderItemCount();
  for (int row = first; row <= last; ++row) {
    const QRect bounds = GetItemRect(row);
    if (!bounds.contains(point)) continue;
    int x = bounds.left();
    for (int j = 0; j < columns; ++j) {
      const int width = GetColumnWidth(j);
      // Both ends count, and the left column is tried first, so a border belongs to it.
      if (point.x() >= x && point.x() <= x + width) {
        if (column) *column = j;
        return row;
      }
      x += width;
    }
  }
  return -1;
}

void CReportListCtrl::mousePressEvent(QMouseEvent* event) {
  // The second press of a double-click can reach us from the view's own double-click
  // handling; that press keeps the default behaviour only.
  if (event->button() != Qt::LeftButton || event->type() != QEvent::MouseButtonPress) {
    CListCtrl::mousePressEvent(event);
    return;
  }
  CListCtrl::mousePressEvent(event);
  int column = 0;
  const int row = HitTestCell(event->position().toPoint(), &column);
  if (row < 0) return;
  const unsigned both = LIST_STATE_SELECTED | LIST_STATE_FOCUSED;
  SetItemState(row, column == 0 ? both : LIST_STATE_FOCUSED, both);
}

void CReportListCtrl::OnScrollAction() {
  if (!hasFocus()) setFocus(Qt::OtherFocusReason);
}
