// CReportListCtrl: the device list. On top of CListCtrl it sets up columns from a table,
// writes single cells, finds the cell under a point, and applies its own mouse and scroll
// rules: a left press selects the row only in the first column (elsewhere the row is left
// focused, not selected), and any scroll-bar action first pulls the keyboard focus into the
// list. All row data stays in CListCtrl.
#pragma once

#include <QPoint>
#include <Qt>
#include <iterator>

#include "ui/list_ctrl.h"

// One column of a column table. `heading` is UTF-8 and must outlive the SetupColumns call.
struct ReportColumn {
  Qt::Alignment alignment;
  int width;  // pixels
  const char* heading;
  int sub_item;
};

inline constexpr ReportColumn kDeviceListColumns[] = {
    {Qt::AlignRight, 90, "IP-Addr", 0},    {Qt::AlignLeft, 120, "Hostname", 1},
    {Qt::AlignLeft, 120, "DevType", 2},    {Qt::AlignLeft, 50, "Status", 3},
    {Qt::AlignLeft, 60, "Valid until", 4},
};
inline constexpr int kDeviceListColumnCount = 5;
static_assert(std::size(kDeviceListColumns) == kDeviceListColumnCount);

class CReportListCtrl : public CListCtrl {
  Q_OBJECT

 public:
  explicit CReportListCtrl(QWidget* parent = nullptr);
  ~CReportListCtrl() override;

  // Removes all rows (their item data is not freed), then inserts the `count` columns of
  // `table` at positions 0 to count-1. False when a column could not be inserted (those
  // before it stay) or when `table` is nullptr with a positive count.
  bool SetupColumns(const ReportColumn* table, int count);
  // Sets the text of one cell; nothing else of the row changes. False when the row or the
  // column does not exist.
  bool SetCellText(int row, int column, const char* text);
  // The row under `point` (viewport coordinates), with its column written to `*column`; -1
  // with column 0 when no cell is there. A point on the border between two columns belongs
  // to the left one; a partly visible row at the bottom can be hit. `column` may be nullptr.
  [[nodiscard]] int HitTestCell(const QPoint& point, int* column) const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void OnScrollAction();
};
