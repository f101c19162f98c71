// CListCtrl: a single-selection list in report form (rows of cells under a header) with the
// row operations the device list is written against. Texts come in as NUL-terminated bytes
// and are copied, read as UTF-8 when they are valid UTF-8 and as Latin-1 otherwise, since
// devices send either (ui/device_string.h). Each row carries an opaque item-data
// pointer that the list stores but never owns or frees. Points and rectangles are in the
// coordinates of viewport() (the area below the header); rows and columns count from 0.
#pragma once

#include <QPoint>
#include <QRect>
#include <QTreeView>

class ListModel;

// Row state bits for SetItemState and GetItemState.
inline constexpr unsigned LIST_STATE_FOCUSED = 0x1;   // the current row
inline constexpr unsigned LIST_STATE_SELECTED = 0x2;  // the selected row (at most one)

class CListCtrl : public QTreeView {
  Q_OBJECT

 public:
  explicit CListCtrl(QWidget* parent = nullptr);
  ~CListCtrl() override;
  CListCtrl(const CListCtrl&) = delete;
  CListCtrl& operator=(const CListCtrl&) = delete;

  [[nodiscard]] int GetItemCount() const;
  // Inserts a row labelled `label` (nullptr reads as empty); a position past the end
  // appends. Returns the row's position, or -1 for a negative position.
  int InsertItem(int row, const char* label);
  // Removes every row without freeing item data and without raising ItemChanged. Always true.
  bool DeleteAllItems();
  // Sets one cell's text (sub-item 0 is the label); nothing else of the row changes. A label
  // set to a different text raises ItemChanged. False when the row does not exist or the
  // sub-item is negative or not below the column count (the label is always there).
  bool SetItemText(int row, int sub_item, const char* text);
  // The text as displayed; empty for a missing row or sub-item.
  [[nodiscard]] QString GetItemText(int row, int sub_item) const;
  // Raises ItemChanged when `data` differs from what the row carried. False when the row
  // does not exist.
  bool SetItemData(int row, void* data);
  // nullptr when the row does not exist or carries nothing.
  [[nodiscard]] void* GetItemData(int row) const;

  // Inserts a column showing `sub_item`, `width` pixels wide (negative reads as 0); a
  // position past the end appends. Returns its position, or -1 for a negative position or
  // sub-item.
  int InsertColumn(int column, Qt::Alignment alignment, int width, const char* heading,
                   int sub_item);
  // Width in pixels; 0 for a column that does not exist.
  [[nodiscard]] int GetColumnWidth(int column) const;
  [[nodiscard]] int GetHeaderItemCount() const;

  // The row whose cell lies under `point`, or -1.
  [[nodiscard]] int HitTest(const QPoint& point) const;
  // The first row at the top of the viewport; 0 for an empty list.
  [[nodiscard]] int GetTopIndex() const;
  // How many rows fit wholly into the viewport (a partly visible one is not counted).
  [[nodiscard]] int GetCountPerPage() const;
  // The row's rectangle across all columns; an empty rectangle when the row or all columns
  // are missing.
  [[nodiscard]] QRect GetItemRect(int row) const;

  // Writes the bits of `state` selected by `mask`. Selecting a row takes the selection from
  // any other; focusing it makes it the current row, with or without selection. False when
  // the row does not exist.
  bool SetItemState(int row, unsigned state, unsigned mask);
  [[nodiscard]] unsigned GetItemState(int row, unsigned mask) const;
  // The selected row, or -1.
  [[nodiscard]] int GetFirstSelectedItem() const;

 signals:
  // A row's selected or focused state changed, its item data was replaced, or its label was
  // set to a different text. Inserting an unselected row, the other cells and a text that
  // stays the same raise nothing.
  void ItemChanged();
  // A left double-click anywhere in the viewport, after the list's own handling of it.
  void DoubleClick(QPoint position);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void initViewItemOption(QStyleOptionViewItem* option) const override;
  [[nodiscard]] QItemSelectionModel::SelectionFlags selectionCommand(
      const QModelIndex& index, const QEvent* event = nullptr) const override;

 private:
  [[nodiscard]] int RowHeight() const;

  ListModel* m_model;
};
