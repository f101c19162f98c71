#include "devices/device_registry.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "devices/announcement_protocol.h"
#include "devices/device_events.h"
#include "devices/device_record.h"
#include "devices/device_rows.h"
#include "parse/text.h"
#include "platform/clock.h"

DeviceRecord* DeviceRegistry::FindByUsn(const char* usn) {
  if (usn == nullptr) return nullptr;
  // Every row came through UpdateRow and rows never move: the index answers as the walk
  // would, without comparing the USN with every row's (thousands of devices, every answer).
  if (m_indexed_rows == m_rows.RowCount()) {
    const std::string_view key(usn, strnlen(usn, sizeof DeviceRecord::usn - 1));
    auto it = m_by_usn.find(key);
    if (it == m_by_usn.end()) return nullptr;
    DeviceRecord* record = it->second;
    if (m_rows.RecordAt(record->row_index) == record) return record;
  }
  return WalkRows(usn);
}

DeviceRecord* DeviceRegistry::WalkRows(const char* usn) {
  const int count = m_rows.RowCount();
  for (int row = 0; row < count; ++row) {
    DeviceRecord* record = m_rows.RecordAt(row);
    if (record == nullptr) return nullptr;
    // Records keep only the first 255 characters of a USN; comparing just as many keeps a
    // longer USN finding its record instead of adding a row per announcement.
    if (std::strncmp(record->usn, usn, sizeof record->usn - 1) == 0) {
      record->row_index = row;
      return record;
    }
  }
  return nullptr;
}

bool DeviceRegistry::UpdateRow(DeviceRecord& record) {
  if (record.row_index == -1) {
    const int row = m_rows.AppendRow(record.address_text);
    if (row < 0) return false;
    record.row_index = row;
    m_rows.SetRecord(row, &record);
    // The key points into the record, which lives as long as its row carries it.
    m_by_usn.emplace(std::string_view(record.usn), &record);
    ++m_indexed_rows;
  }
  char validity[kValidityTextSize];
  FormatValidity(record.valid_until, validity);
  m_rows.SetCellText(record.row_index, kColumnAddress, record.address_text);
  m_rows.SetCellText(record.row_index, kColumnHostName, record.host_name);
  m_rows.SetCellText(record.row_index, kColumnDeviceType, record.device_type);
  m_rows.SetCellText(record.row_index, kColumnStatus, record.status);
  m_rows.SetCellText(record.row_index, kColumnValidUntil, validity);
  return true;
}

void DeviceRegistry::UpdateStatusCells(const DeviceRecord& record) {
  char validity[kValidityTextSize];
  FormatValidity(record.valid_until, validity);
  m_rows.SetCellText(record.row_index, kColumnStatus, record.status);
  m_rows.SetCellText(record.row_index, kColumnValidUntil, validity);
}

void DeviceRegistry::ResetForSearch(bool keep_validity) {
  const int count = m_rows.RowCount();
  for (int row = 0; row < count; ++row) {
    DeviceRecord* record = m_rows.RecordAt(row);
    if (record == nullptr) continue;
    if (keep_validity && record->valid_until == 0) continue;
    if (!keep_validity) record->valid_until = 0;
    m_rows.SetCellText(row, kColumnStatus, kCellSearching);
    m_rows.SetCellText(row, kColumnValidUntil, kCellNoTime);
    if (m_events) m_events->Publish({DeviceEventKind::kSearching, Now(), DeviceView(*record)});
  }
}

void DeviceRegistry::ExpirySweep() {
  const int32_t now = Now();
  const int count = m_rows.RowCount();
  for (int row = 0; row < count; ++row) {
    DeviceRecord* record = m_rows.RecordAt(row);
    if (record == nullptr || record->valid_until == 0 || record->valid_until > now) continue;
    MarkLostAt(row, *record);
  }
}

void DeviceRegistry::MarkLost(DeviceRecord& record) {
  MarkLostAt(record.row_index, record);
}

void DeviceRegistry::MarkLostAt(int row, DeviceRecord& record) {
  m_rows.SetCellText(row, kColumnStatus, kCellLost);
  m_rows.SetCellText(row, kColumnValidUntil, kCellNoTime);
  record.valid_until = 0;
  if (m_events) m_events->Publish({DeviceEventKind::kLost, Now(), DeviceView(record)});
}

void DeviceRegistry::Keep(DeviceRecord& record, uint32_t max_age) {
  const int32_t now = Now();
  record.valid_until = ValidUntil(now, max_age);
  UpdateStatusCells(record);
  if (m_events) m_events->Publish({DeviceEventKind::kKept, now, DeviceView(record)});
}

int32_t DeviceRegistry::ValidUntil(int32_t now, uint32_t max_age) {
  const int64_t until = static_cast<int64_t>(now) + max_age;
  return static_cast<int32_t>(std::min<int64_t>(until, INT32_MAX));
}

bool DeviceRegistry::Restore(DeviceRecord& record) {
  if (!UpdateRow(record)) return false;
  m_rows.SetCellText(record.row_index, kColumnStatus, kCellLost);
  return true;
}

bool DeviceRegistry::Forget(const char* usn) {
  DeviceRecord* record = FindByUsn(usn);
  if (record == nullptr) return false;
  const int row = record->row_index;
  const int last = m_rows.RowCount() - 1;
  if (!m_rows.RemoveRow(row)) return false;
  // The last row took the removed one's place.
  if (row != last) {
    if (DeviceRecord* moved = m_rows.RecordAt(row)) moved->row_index = row;
  }
  if (m_events) m_events->Publish({DeviceEventKind::kForgotten, Now(), DeviceView(*record)});
  m_by_usn.erase(std::string_view(record->usn));
  --m_indexed_rows;
  delete record;
  return true;
}

void DeviceRegistry::FreeAll() {
  m_by_usn.clear();
  m_indexed_rows = 0;
  const int count = m_rows.RowCount();
  for (int row = 0; row < count; ++row) {
    DeviceRecord* record = m_rows.RecordAt(row);
    if (record == nullptr) continue;
    m_rows.SetRecord(row, nullptr);
    delete record;
  }
}

int32_t DeviceRegistry::Now() const {
  return m_clock.Now();
}

void DeviceRegistry::FormatValidity(int32_t valid_until, char (&out)[kValidityTextSize]) {
  CopyText(out, kCellNoTime);
  if (valid_until <= 0) return;
  const std::time_t when = valid_until;
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return;
  char* p = PutTwoDigits(out, local.tm_hour);
  *p++ = ':';
  p = PutTwoDigits(p, local.tm_min);
  *p++ = ':';
  *PutTwoDigits(p, local.tm_sec) = '\0';
}
