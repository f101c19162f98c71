// The rows that carry device records: the dialog's list control, or a headless table for
// the scanner and tests. Rows are numbered from 0 in insertion order and never removed
// while discovery runs. Columns: 0 address, 1 host name, 2 device type, 3 status,
// 4 valid until.
#pragma once

struct DeviceRecord;

inline constexpr int kColumnAddress = 0;
inline constexpr int kColumnHostName = 1;
inline constexpr int kColumnDeviceType = 2;
inline constexpr int kColumnStatus = 3;
inline constexpr int kColumnValidUntil = 4;
inline constexpr int kColumnCount = 5;

class DeviceRows {
 public:
  virtual ~DeviceRows() = default;

  [[nodiscard]] virtual int RowCount() const = 0;
  // The record the row carries, or nullptr (also for a row that does not exist).
  [[nodiscard]] virtual DeviceRecord* RecordAt(int row) const = 0;
  // Appends a row whose first cell is `label`; returns its position, or -1 on failure.
  virtual int AppendRow(const char* label) = 0;
  // Attaches `record` to the row as its item data (ownership passes to the row).
  virtual void SetRecord(int row, DeviceRecord* record) = 0;
  // Sets one cell's text; returns whether the row and column exist.
  virtual bool SetCellText(int row, int column, const char* text) = 0;
  // Removes the row, handing its record back to the caller; the last row may take its
  // position. False (nothing changes) for rows that are never removed, as in the dialog.
  virtual bool RemoveRow(int row) {
    (void)row;
    return false;
  }
};
