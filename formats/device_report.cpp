#include "formats/device_report.h"

#include <algorithm>

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
  return format == ScanFormat::kCsv ? CsvOf(EventFields(DeviceSnapshot{}, Times{}), true)
                                    : std::string();
}

std::string FormatWatchEvent(ScanFormat format, int64_t time, const DeviceSnapshot& device) {
  switch (format) {
    case ScanFormat::kTable: {
      // Columns as wide as "changed" and 255.255.255.255, as they have always been: the two
      // rarer words, "rebooted" and "forgotten", push their own line's rest aside.
      std::string line = LocalTimeText(time) + "  " + Padded(Cell(device.status), 7) + "  " +
                         Padded(Cell(device.address_text), 15) + "  " +
                         Padded(ValidityText(device.valid_until), 8);
      for (const std::string* text :
           {&device.host_name, &device.device_type, &device.serial_number, &device.usn}) {
        line += "  " + Cell(*text);
      }
      return line + "\n";
    }
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
