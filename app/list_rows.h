// The device list control seen as the rows that carry device records: row position, item
// data and cell texts map one to one onto the list's own operations. The list must outlive
// this view of it.
#pragma once

#include "devices/device_record.h"
#include "devices/device_rows.h"
#include "ui/report_list_ctrl.h"

class ListRows final : public DeviceRows {
 public:
  explicit ListRows(CReportListCtrl& list) : m_list(list) {}

  [[nodiscard]] int RowCount() const override { return m_list.GetItemCount(); }
  [[nodiscard]] DeviceRecord* RecordAt(int row) const override {
    return static_cast<DeviceRecord*>(m_list.GetItemData(row));
  }
  int AppendRow(const char* label) override {
    return m_list.InsertItem(m_list.GetItemCount(), label);
  }
  void SetRecord(int row, DeviceRecord* record) override { m_list.SetItemData(row, record); }
  bool SetCellText(int row, int column, const char* text) override {
    return m_list.SetCellText(row, column, text);
  }

 private:
  CReportListCtrl& m_list;
};
