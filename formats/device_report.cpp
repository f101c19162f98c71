#include "formats/device_report.h"

#include <algorithm>

#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "formats/csv_writer.h"
#include "formats/json_writer.h"
#include "formats/safe_text.h"
#include "formats/time_text.h"

namespace {

// One value of the JSON and CSV outputs; a value that is not present is JSON's null.
struct Field {
  const char* key;
  std::string_view text;
  bool present = true;
};
using Fields = std::vector<Field>;

// The texts that are not the snapshot's own, kept while its fields are written: a watch
// writes a line for every event, and copying every text twice for it showed.
struct Times {
  std::string time;
  std::string valid_until;
};

void AddDeviceFields(Fields& fields, const DeviceSnapshot& d, const Times& times) {
  const bool timed = d.valid_until > 0;
  fields.insert(fields.end(), {{"address", d.address_text},
                               {"hostname", d.host_name},
                               {"devtype", d.device_type},
                               {"status", d.status},
                               {"valid_until", times.valid_until, timed},
                               {"model_name", d.model_name},
                               {"model_number", d.model_number},
                               {"serial_number", d.serial_number},
                               {"guid", d.guid},
                               {"page_url", d.page_url},
                               {"usn", d.usn},
                               {"fetch", d.fetch}});
}

Times TimesOf(const DeviceSnapshot& d, int64_t time = 0) {
  return {time != 0 ? LocalTimeText(time) : std::string(),
          d.valid_until > 0 ? LocalTimeText(d.valid_until) : std::string()};
}

Fields DeviceFields(const DeviceSnapshot& d, const Times& times) {
  Fields fields;
  fields.reserve(14);
  AddDeviceFields(fields, d, times);
  return fields;
}

Fields EventFields(const DeviceSnapshot& d, const Times& times) {
  Fields fields;
  fields.reserve(14);
  fields.insert(fields.end(), {{"time", times.time}, {"event", d.status}});
  AddDeviceFields(fields, d, times);
  return fields;
}

void WriteFields(JsonWriter& json, const Fields& fields) {
  for (const Field& field : fields) json.Key(field.key).StringOrNull(field.text, field.present);
}

std::string JsonLine(const Fields& fields) {
  JsonWriter json;
  json.BeginObject();
  WriteFields(json, fields);
  return json.End().Finish();
}

// One CSV record of the fields' keys (the header) or texts.
std::string CsvOf(const Fields& fields, bool keys = false) {
  std::vector<std::string_view> texts;
  texts.reserve(fields.size());
  for (const Field& field : fields)
    texts.push_back(keys ? std::string_view(field.key) : field.text);
  return CsvRecord(texts);
}

std::string ValidityText(int32_t valid_until) {
  char text[kValidityTextSize];
  DeviceRegistry::FormatValidity(valid_until, text);
  return text;
}

// An empty cell would leave a gap that reads as a misaligned column.
std::string Cell(const std::string& text) {
  return text.empty() ? "-" : TerminalText(text);
}

std::string Table(const std::vector<DeviceSnapshot>& devices) {
  std::vector<std::vector<std::string>> lines = {{"IP-Addr", "Hostname", "DevType", "Status",
                                                  "Valid until", "Model number", "Serial number",
                                                  "GUID", "Page address"}};
  for (const DeviceSnapshot& d : devices) {
    lines.push_back({Cell(d.address_text), Cell(d.host_name), Cell(d.device_type), Cell(d.status),
                     ValidityText(d.valid_until), Cell(d.model_number), Cell(d.serial_number),
                     Cell(d.guid), Cell(d.page_url)});
  }
  std::vector<std::size_t> widths(lines[0].size(), 0);
  for (const auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      widths[i] = std::max(widths[i], DisplayWidth(line[i]));
    }
  }
  std::string out;
  for (const auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      out += line[i];
      if (i + 1 == line.size()) break;
      out.append(widths[i] - DisplayWidth(line[i]) + 2, ' ');
    }
    out += '\n';
  }
  return out;
}

std::string Padded(std::string text, std::size_t width) {
  const std::size_t shown = DisplayWidth(text);
  if (shown < width) text.append(width - shown, ' ');
  return text;
}

// A watch's line in the table format: columns as wide as the longest event word, a dotted
// address and a host name as long as a record keeps, so that nothing shifts from one line to
// the next; the time is always as long.
std::string WatchTableLine(const std::string& time, const std::string& event,
                           const std::string& address, const std::string& valid,
                           const std::string& host_name, const std::string& device_type,
                           const std::string& serial_number, const std::string& usn) {
  constexpr std::size_t kTimeWidth = 25;     // "2023-11-14T22:13:20+00:00"
  constexpr std::size_t kEventWidth = 9;     // "forgotten"
  constexpr std::size_t kAddressWidth = 15;  // "255.255.255.255"
  constexpr std::size_t kValidWidth = 8;     // "hh:mm:ss"
  constexpr std::size_t kHostNameWidth = sizeof DeviceRecord::host_name - 1;
  return Padded(time, kTimeWidth) + "  " + Padded(event, kEventWidth) + "  " +
         Padded(address, kAddressWidth) + "  " + Padded(valid, kValidWidth) + "  " +
         Padded(host_name, kHostNameWidth) + "  " + device_type + "  " + serial_number + "  " +
         usn + "\n";
}

}  // namespace

std::string FormatReport(ScanFormat format, const std::vector<DeviceSnapshot>& devices) {
  switch (format) {
    case ScanFormat::kTable:
      return Table(devices);
    case ScanFormat::kJson: {
      JsonWriter json;
      json.BeginArray(JsonLayout::kLines);
      for (const DeviceSnapshot& d : devices) {
        json.BeginObject();
        WriteDeviceFields(json, d);
        json.End();
      }
      return json.End().Finish();
    }
    case ScanFormat::kCsv: {
      std::string out = CsvOf(DeviceFields(DeviceSnapshot{}, Times{}), true);
      for (const DeviceSnapshot& d : devices) out += CsvOf(DeviceFields(d, TimesOf(d)));
      return out;
    }
  }
  return std::string();
}

std::string FormatWatchHeader(ScanFormat format) {
  switch (format) {
    case ScanFormat::kTable:
      return WatchTableLine("Time", "Event", "IP-Addr", "Valid", "Hostname", "DevType",
                            "Serial number", "USN");
    case ScanFormat::kJson:
      return std::string();
    case ScanFormat::kCsv:
      return CsvOf(EventFields(DeviceSnapshot{}, Times{}), true);
  }
  return std::string();
}

std::string FormatWatchEvent(ScanFormat format, int64_t time, const DeviceSnapshot& device,
                             int32_t ran_out) {
  switch (format) {
    case ScanFormat::kTable:
      return WatchTableLine(LocalTimeText(time), Cell(device.status), Cell(device.address_text),
                            ValidityText(ran_out != 0 ? ran_out : device.valid_until),
                            Cell(device.host_name), Cell(device.device_type),
                            Cell(device.serial_number), Cell(device.usn));
    case ScanFormat::kJson:
      return JsonLine(EventFields(device, TimesOf(device, time)));
    case ScanFormat::kCsv:
      return CsvOf(EventFields(device, TimesOf(device, time)));
  }
  return std::string();
}

void WriteDeviceFields(JsonWriter& json, const DeviceSnapshot& device) {
  const Times times = TimesOf(device);
  WriteFields(json, DeviceFields(device, times));
}
