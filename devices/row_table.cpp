#include "devices/row_table.h"

#include "devices/device_record.h"

RowTable::~RowTable() {
  for (Row& row : m_rows) delete row.record;
}

int RowTable::RowCount() const {
  return static_cast<int>(m_rows.size());
}

DeviceRecord* RowTable::RecordAt(int row) const {
  return HasRow(row) ? m_rows[static_cast<std::size_t>(row)].record : nullptr;
}

int RowTable::AppendRow(const char* label) {
  Row row;
  row.cells[kColumnAddress] = label;
  m_rows.push_back(std::move(row));
  return RowCount() - 1;
}

void RowTable::SetRecord(int row, DeviceRecord* record) {
  if (HasRow(row)) m_rows[static_cast<std::size_t>(row)].record = record;
}

bool RowTable::SetCellText(int row, int column, const char* text) {
  if (!HasRow(row) || column < 0 || column >= kColumnCount) return false;
  m_rows[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)] = text;
  return true;
}

bool RowTable::RemoveRow(int row) {
  if (!HasRow(row)) return false;
  const auto at = static_cast<std::size_t>(row);
  if (at + 1 != m_rows.size()) m_rows[at] = std::move(m_rows.back());
  m_rows.pop_back();
  return true;
}

const char* RowTable::CellText(int row, int column) const {
  if (!HasRow(row) || column < 0 || column >= kColumnCount) return nullptr;
  return m_rows[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)].c_str();
}
