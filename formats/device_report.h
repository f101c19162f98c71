// What the scanner prints about devices: the table, JSON and CSV reports of device snapshots
// and the lines of a watch, and the report's object for other documents. Device texts are
// untrusted and go through formats/safe_text.h on their way out. Nothing here touches the
// network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/device_snapshot.h"

class JsonWriter;

enum class ScanFormat { kTable, kJson, kCsv };

// The texts that tell a device apart, with the keys every document gives them: the USN first,
// then the address and what the description says.
struct DeviceTextKey {
  const char* key;
  std::string DeviceSnapshot::*text;
};
inline constexpr DeviceTextKey kDeviceTextKeys[] = {
    {"usn", &DeviceSnapshot::usn},
    {"address", &DeviceSnapshot::address_text},
    {"hostname", &DeviceSnapshot::host_name},
    {"devtype", &DeviceSnapshot::device_type},
    {"model_name", &DeviceSnapshot::model_name},
    {"model_number", &DeviceSnapshot::model_number},
    {"serial_number", &DeviceSnapshot::serial_number},
    {"guid", &DeviceSnapshot::guid},
    {"page_url", &DeviceSnapshot::page_url}};

// The whole report in `format`, ending in a line break. The table and CSV always have their
// header; JSON is an array with one object per line.
std::string FormatReport(ScanFormat format, const std::vector<DeviceSnapshot>& devices);

// The header of a watch in `format`: the table's column names (for a terminal), the CSV
// header row, or "" for JSON.
std::string FormatWatchHeader(ScanFormat format);
// One event of a watch, the device's new status, at `time` (seconds since 1970 UTC) as one
// line: in the table format the time, the event and the device's main texts, in columns that
// do not shift; in JSON an object with "time" and "event" before the report's keys; in CSV a
// row of the watch header's columns. `ran_out`, when not 0, is the time the table shows for a
// lost device: when its announcement ran out.
std::string FormatWatchEvent(ScanFormat format, int64_t time, const DeviceSnapshot& device,
                             int32_t ran_out = 0);

// The report's keys and values of `device` (address ... fetch), into the object `json` has
// open, as --format json writes them.
void WriteDeviceFields(JsonWriter& json, const DeviceSnapshot& device);
