// What the scanner prints about devices: a snapshot of one row and its record, and the
// table, JSON and CSV texts made of such snapshots. Device texts are untrusted and go through
// scan/safe_text.h on their way out. Nothing here touches the network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/scan_options.h"

class DeviceView;
class RowTable;
struct DeviceRecord;

// One device as its row shows it, plus the texts of its description.
struct ScannedDevice {
  uint32_t address = 0;  // network byte order; orders the report
  std::string address_text;
  std::string host_name;
  std::string device_type;
  std::string status;       // the status cell: also "searching" or "lost"
  int32_t valid_until = 0;  // 0 when the row shows no time
  std::string model_name;
  std::string model_number;
  std::string serial_number;
  std::string guid;
  std::string page_url;
  std::string usn;
  std::string fetch = "ok";  // how its description was settled: ok, cached, failed, pending
};

// The snapshot of `record` under the row cells `status` and `validity` ("????" when the row
// shows no time: its valid until then counts as 0, whatever the record still holds).
ScannedDevice DescribeDevice(const DeviceRecord& record, const char* status, const char* validity);
// The snapshot of `device` with `status` and `valid_until` (0: no time).
ScannedDevice DescribeDevice(const DeviceView& device, const char* status, int32_t valid_until);

// Every row of `rows` that carries a record, ordered by address, then USN.
std::vector<ScannedDevice> CollectDevices(const RowTable& rows);

// `seconds` since 1970 UTC as ISO 8601 local time with its offset,
// "2024-05-01T14:30:05+02:00".
std::string LocalTimeText(int64_t seconds);

// The whole report in `format`, ending in a line break. The table and CSV always have their
// header; JSON is an array with one object per line.
std::string FormatReport(ScanFormat format, const std::vector<ScannedDevice>& devices);

// The header of a watch in `format` (the CSV header row), or "" when it has none.
std::string FormatWatchHeader(ScanFormat format);
// One event of a watch, the device's new status, at `time` (seconds since 1970 UTC) as one
// line: in the table format the time, the event and the device's main texts; in JSON an
// object with "time" and "event" before the report's keys; in CSV a row of the watch
// header's columns.
std::string FormatWatchEvent(ScanFormat format, int64_t time, const ScannedDevice& device);

// One device as --format json writes it: a single-line object, without a line break.
std::string FormatJsonObject(const ScannedDevice& device);
