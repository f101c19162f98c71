// The rows and columns behind CListCtrl: a flat table of byte texts decoded once into
// display strings, plus one opaque item-data pointer per row. The model never owns or
// frees what an item-data pointer points to; that belongs to whoever stored it.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <vector>

class ListModel final : public QAbstractTableModel {
 public:
  explicit ListModel(QObject* parent = nullptr);

  [[nodiscard]] int RowCount() const { return static_cast<int>(m_rows.size()); }
  [[nodiscard]] int ColumnCount() const { return static_cast<int>(m_columns.size()); }

  // Inserts a row whose label (sub-item 0) is `label`; a position past the end appends.
  // Returns the new row's position, or -1 for a negative position.
  int InsertRow(int row, const QString& label);
  // Removes every row; item-data pointers are dropped, never freed.
  void RemoveAllRows();
  // Sets the text of one sub-item of an existing row; false when the row does not exist
  // or the sub-item is negative.
  bool SetText(int row, int sub_item, const QString& text);
  [[nodiscard]] QString Text(int row, int sub_item) const;
  // false when the row does not exist.
  bool SetItemData(int row, void* data);
  // nullptr for a row that does not exist.
  [[nodiscard]] void* ItemData(int row) const;

  // Inserts a column that shows `sub_item`; a position past the end appends. Returns the
  // new column's position, or -1 for a negative position or sub-item.
  int InsertColumn(int column, Qt::Alignment alignment, const QString& heading, int sub_item);

  // QAbstractTableModel
  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Row {
    std::vector<QString> texts;  // by sub-item; missing entries are empty
    void* data = nullptr;
  };
  struct Column {
    Qt::Alignment alignment;
    QString heading;
    int sub_item = 0;
  };

  [[nodiscard]] bool HasRow(int row) const { return row >= 0 && row < RowCount(); }

  std::vector<Row> m_rows;
  std::vector<Column> m_columns;
};
