// The scanner's device rows: a RowTable that also reports every change of a row's status
// cell, for --watch. The registry writes a row's status cell and then, always next, its
// validity cell; a change is reported after that second write, when the row is complete.
// "searching", which only marks the start of a search, is not reported. Writing the same
// status again is no change.
#pragma once

#include <functional>
#include <string>

#include "devices/device_rows.h"
#include "devices/row_table.h"

class WatchedRows final : public DeviceRows {
 public:
  // Called with the row, its new status cell and its validity cell; the texts are valid only
  // during the call.
  using StatusObserver = std::function<void(int row, const char* status, const char* validity)>;

  WatchedRows() = default;
  WatchedRows(const WatchedRows&) = delete;
  WatchedRows& operator=(const WatchedRows&) = delete;

  // Without an observer (the default) changes are not reported.
  void SetObserver(StatusObserver observer) { m_observer = std::move(observer); }

  [[nodiscard]] const RowTable& Table() const { return m_table; }

  [[nodiscard]] int RowCount() const override { return m_table.RowCount(); }
  [[nodiscard]] DeviceRecord* RecordAt(int row) const override { return m_table.RecordAt(row); }
  int AppendRow(const char* label) override { return m_table.AppendRow(label); }
  void SetRecord(int row, DeviceRecord* record) override { m_table.SetRecord(row, record); }
  bool SetCellText(int row, int column, const char* text) override;

 private:
  RowTable m_table;
  StatusObserver m_observer;
  int m_changed_row = -1;  // row whose status changed and whose validity is due next
};
