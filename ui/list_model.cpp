#include "ui/list_model.h"

#include <algorithm>

ListModel::ListModel(QObject* parent) : QAbstractTableModel(parent) {}

int ListModel::InsertRow(int row, const QString& label) {
  if (row < 0) return -1;
  row = std::min(row, RowCount());
  beginInsertRows(QModelIndex(), row, row);
  Row fresh;
  fresh.texts.push_back(label);
  m_rows.insert(m_rows.begin() + row, std::move(fresh));
  endInsertRows();
  return row;
}

void ListModel::RemoveAllRows() {
  // A reset rather than a removal: the views drop selection and current row without
  // announcing each one, as a list does when it is emptied.
  beginResetModel();
  m_rows.clear();
  endResetModel();
}

bool ListModel::SetText(int row, int sub_item, const QString& text) {
  if (!HasRow(row) || sub_item < 0) return false;
  std::vector<QString>& texts = m_rows[row].texts;
  if (sub_item >= static_cast<int>(texts.size())) texts.resize(sub_item + 1);
  // Refreshes mostly write what a cell already shows; telling the view would repaint it for
  // nothing, once per cell of every announcement.
  if (texts[sub_item] == text) return true;
  texts[sub_item] = text;
  for (int column = 0; column < ColumnCount(); ++column) {
    if (m_columns[column].sub_item == sub_item) {
      const QModelIndex cell = index(row, column);
      emit dataChanged(cell, cell, {Qt::DisplayRole});
    }
  }
  return true;
}

QString ListModel::Text(int row, int sub_item) const {
  if (!HasRow(row) || sub_item < 0) return {};
  const std::vector<QString>& texts = m_rows[row].texts;
  return sub_item < static_cast<int>(texts.size()) ? texts[sub_item] : QString();
}

bool ListModel::SetItemData(int row, void* data) {
  if (!HasRow(row)) return false;
  m_rows[row].data = data;
  return true;
}

void* ListModel::ItemData(int row) const {
  return HasRow(row) ? m_rows[row].data : nullptr;
}

int ListModel::InsertColumn(int column, Qt::Alignment alignment, const QString& heading,
                            int sub_item) {
  if (column < 0 || sub_item < 0) return -1;
  column = std::min(column, ColumnCount());
  beginInsertColumns(QModelIndex(), column, column);
  m_columns.insert(m_columns.begin() + column, Column{alignment, heading, sub_item});
  endInsertColumns();
  return column;
}

int ListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : RowCount();
}

int ListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount();
}

QVariant ListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || !HasRow(index.row()) || index.column() >= ColumnCount()) return {};
  const Column& column = m_columns[index.column()];
  switch (role) {
    case Qt::DisplayRole:
      return Text(index.row(), column.sub_item);
    case Qt::TextAlignmentRole:
      return (column.alignment | Qt::AlignVCenter).toInt();
    default:
      return {};
  }
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount()) return {};
  switch (role) {
    case Qt::DisplayRole:
      return m_columns[section].heading;
    case Qt::TextAlignmentRole:
      return (m_columns[section].alignment | Qt::AlignVCenter).toInt();
    default:
      return {};
  }
}

Qt::ItemFlags ListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
