// A headless DeviceRows for the scanner and the tests: a vector of rows, each with five cell
// texts and the record it carries. The table owns the records its rows carry: it deletes
// those still attached when it is destroyed (DeviceRegistry::FreeAll detaches and deletes
// them earlier). Pointers returned by CellText stay valid until that cell is written again.
#pragma once

#include <array>
#include <deque>
#include <string>

#include "devices/device_rows.h"

class RowTable final : public DeviceRows {
 public:
  RowTable() = default;
  ~RowTable() override;
  RowTable(const RowTable&) = delete;
  RowTable& operator=(const RowTable&) = delete;

  [[nodiscard]] int RowCount() const override;
  [[nodiscard]] DeviceRecord* RecordAt(int row) const override;
  int AppendRow(const char* label) override;
  // Replaces the row's record pointer; a record it replaces is not deleted.
  void SetRecord(int row, DeviceRecord* record) override;
  bool SetCellText(int row, int column, const char* text) override;
  // Moves the last row into the removed one's position.
  bool RemoveRow(int row) override;

  // The cell's text, or nullptr when the row or column does not exist.
  [[nodiscard]] const char* CellText(int row, int column) const;

 private:
  struct Row {
    std::array<std::string, kColumnCount> cells;
    DeviceRecord* record = nullptr;
  };
  [[nodiscard]] bool HasRow(int row) const { return row >= 0 && row < RowCount(); }

  // A deque: rows never move as more come, and ten thousand of them cost no spare capacity.
  std::deque<Row> m_rows;
};
