#include "scan/device_report.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "devices/announcement_protocol.h"
#include "devices/description_fields.h"
#include "devices/device_events.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/row_table.h"
#include "parse/text.h"
#include "scan/safe_text.h"

namespace {

// One value of the JSON and CSV outputs; a value that is not present is JSON's null.
struct Field {
  const char* key;
  std::string text;
  bool present = true;
};
using Fields = std::vector<Field>;

Fields DeviceFields(const ScannedDevice& d) {
  const bool timed = d.valid_until > 0;
  return {{"address", d.address_text},
          {"hostname", d.host_name},
          {"devtype", d.device_type},
          {"status", d.status},
          {"valid_until", timed ? LocalTimeText(d.valid_until) : std::string(), timed},
          {"model_name", d.model_name},
          {"model_number", d.model_number},
          {"serial_number", d.serial_number},
          {"guid", d.guid},
          {"page_url", d.page_url},
          {"usn", d.usn},
          {"fetch", d.fetch}};
}

Fields EventFields(int64_t time, const ScannedDevice& d) {
  Fields fields = {{"time", LocalTimeText(time)}, {"event", d.status}};
  for (Field& field : DeviceFields(d)) fields.push_back(std::move(field));
  return fields;
}

std::string JsonObject(const Fields& fields) {
  std::string out = "{";
  for (const Field& field : fields) {
    if (out.size() > 1) out += ", ";
    out += std::string("\"") + field.key + "\": ";
    out += field.present ? JsonString(field.text) : "null";
  }
  return out + "}";
}

// One CSV record of the fields' keys (the header) or texts. RFC 4180 ends every record, the
// last one too, with CR LF.
std::string CsvRecord(const Fields& fields, bool keys = false) {
  std::string out;
  out.reserve(512);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ',';
    out += CsvField(keys ? std::string_view(fields[i].key) : std::string_view(fields[i].text));
  }
  return out + "\r\n";
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

std::string Table(const std::vector<ScannedDevice>& devices) {
  std::vector<std::vector<std::string>> lines = {{"IP-Addr", "Hostname", "DevType", "Status",
                                                  "Valid until", "Model number", "Serial number",
                                                  "GUID", "Page address"}};
  for (const ScannedDevice& d : devices) {
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

ScannedDevice DescribeDevice(const DeviceView& device, const char* status, int32_t valid_until) {
  ScannedDevice d;
  d.address = device.Address();
  d.address_text = device.AddressText();
  d.host_name = device.HostName();
  d.device_type = device.DeviceType();
  d.status = status;
  d.valid_until = valid_until;
  d.usn = device.Usn();
  d.model_name = device.Field(DescriptionField::kModelName);
  d.model_number = device.Field(DescriptionField::kModelNumber);
  d.serial_number = device.Field(DescriptionField::kSerialNumber);
  d.guid = device.Field(DescriptionField::kGuid);
  d.page_url = device.Field(DescriptionField::kPageUrl);
  return d;
}

ScannedDevice DescribeDevice(const DeviceRecord& record, const char* status, const char* validity) {
  return DescribeDevice(DeviceView(record), status,
                        TextEquals(validity, kCellNoTime) ? 0 : record.valid_until);
}

std::vector<ScannedDevice> CollectDevices(const RowTable& rows) {
  std::vector<ScannedDevice> devices;
  for (int row = 0; row < rows.RowCount(); ++row) {
    const DeviceRecord* record = rows.RecordAt(row);
    if (record == nullptr) continue;
    devices.push_back(DescribeDevice(*record, rows.CellText(row, kColumnStatus),
                                     rows.CellText(row, kColumnValidUntil)));
  }
  std::sort(devices.begin(), devices.end(), [](const ScannedDevice& a, const ScannedDevice& b) {
    const uint32_t left = ntohl(a.address), right = ntohl(b.address);
    return left != right ? left < right : a.usn < b.usn;
  });
  return devices;
}

std::string LocalTimeText(int64_t seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  const long offset_minutes = local.tm_gmtoff / 60;
  const long offset = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  const int year = local.tm_year + 1900;
  char text[64];
  if (year < 0 || year > 9999 || offset / 60 > 99) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", year,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
  }
  // "YYYY-MM-DDThh:mm:ss+hh:mm", by hand: a watch writes two of them for every event.
  char* p = PutTwoDigits(PutTwoDigits(text, year / 100), year % 100);
  *p++ = '-';
  p = PutTwoDigits(p, local.tm_mon + 1);
  *p++ = '-';
  p = PutTwoDigits(p, local.tm_mday);
  *p++ = 'T';
  p = PutTwoDigits(p, local.tm_hour);
  *p++ = ':';
  p = PutTwoDigits(p, local.tm_min);
  *p++ = ':';
  p = PutTwoDigits(p, local.tm_sec);
  *p++ = offset_minutes < 0 ? '-' : '+';
  p = PutTwoDigits(p, static_cast<int>(offset / 60));
  *p++ = ':';
  p = PutTwoDigits(p, static_cast<int>(offset % 60));
  return std::string(text, p);
}

std::string FormatReport(ScanFormat format, const std::vector<ScannedDevice>& devices) {
  switch (format) {
    case ScanFormat::kTable:
      return Table(devices);
    case ScanFormat::kJson: {
      if (devices.empty()) return "[]\n";
      std::string out = "[\n";
      for (std::size_t i = 0; i < devices.size(); ++i) {
        out += "  " + JsonObject(DeviceFields(devices[i]));
        out += i + 1 < devices.size() ? ",\n" : "\n";
      }
      return out + "]\n";
    }
    case ScanFormat::kCsv: {
      std::string out = CsvRecord(DeviceFields(ScannedDevice{}), true);
      for (const ScannedDevice& d : devices) out += CsvRecord(DeviceFields(d));
      return out;
    }
  }
  return std::string();
}

std::string FormatWatchHeader(ScanFormat format) {
  return format == ScanFormat::kCsv ? CsvRecord(EventFields(0, ScannedDevice{}), true)
                                    : std::string();
}

std::string FormatWatchEvent(ScanFormat format, int64_t time, const ScannedDevice& device) {
  switch (format) {
    case ScanFormat::kTable: {
      // "changed" is the longest event and 255.255.255.255 the longest address.
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
      return JsonObject(EventFields(time, device)) + "\n";
    case ScanFormat::kCsv:
      return CsvRecord(EventFields(time, device));
  }
  return std::string();
}

std::string FormatJsonObject(const ScannedDevice& device) {
  return JsonObject(DeviceFields(device));
}
