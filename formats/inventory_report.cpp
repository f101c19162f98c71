#include "formats/inventory_report.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "devices/announcement_protocol.h"
#include "devices/device_events.h"
#include "formats/csv_writer.h"
#include "formats/inventory_file.h"
#include "formats/json_writer.h"
#include "formats/safe_text.h"

namespace {

std::string Joined(const std::vector<std::string>& texts, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out += separator;
    out += texts[i];
  }
  return out;
}

// One line of the table's conflict section or of standard error.
std::string ConflictText(const IdentityConflict& c) {
  std::string text = std::string(IdentityConflictName(c.kind)) + ": ";
  switch (c.kind) {
    case IdentityConflictKind::kAddressShared:
      text += Joined(c.addresses, ", ") + " answers for " + Joined(c.usns, ", ");
      break;
    case IdentityConflictKind::kLocationMismatch:
      text += Joined(c.usns, ", ") + " from " + Joined(c.addresses, ", ") + " gives the LOCATION " +
              c.location;
      break;
    case IdentityConflictKind::kUsnMoved:
      text += Joined(c.usns, ", ") + " answers from " + Joined(c.addresses, ", ");
      break;
  }
  return TerminalText(text);
}

std::string ConflictSection(const std::vector<IdentityConflict>& conflicts) {
  if (conflicts.empty()) return std::string();
  std::string out = "\nIdentity conflicts:\n";
  for (const IdentityConflict& conflict : conflicts) out += "  " + ConflictText(conflict) + "\n";
  return out;
}

// The text of `device` under the report key `key` ("hostname", "serial_number", ...).
std::string_view TextOf(const InventoryDevice& device, std::string_view key) {
  const std::vector<std::string_view> texts = InventoryDeviceTexts(device);
  for (std::size_t i = 0; i < std::size(kInventoryDeviceKeys); ++i) {
    if (key == kInventoryDeviceKeys[i]) return texts[i];
  }
  return {};
}

// A text as a difference line shows it; an empty one must still be seen.
std::string Shown(std::string_view text) {
  return text.empty() ? std::string("\"\"") : std::string(text);
}

// What a table line says about a difference besides its kind, address, host name and USN.
std::string DifferenceDetail(const InventoryDifference& d) {
  switch (d.kind) {
    case DifferenceKind::kMissing:
    case DifferenceKind::kNew:
      return "serial " + (d.baseline ? d.baseline : d.seen)->serial_number;
    case DifferenceKind::kMoved:
      return "was at " + d.baseline->address;
    case DifferenceKind::kReplaced:
      return "serial " + d.baseline->serial_number + " -> " + d.seen->serial_number +
             (d.baseline->usn != d.seen->usn ? ", was " + d.baseline->usn : std::string());
    case DifferenceKind::kChanged: {
      std::vector<std::string> changes;
      for (const std::string& field : d.fields) {
        changes.push_back(field + " " + Shown(TextOf(*d.baseline, field)) + " -> " +
                          Shown(TextOf(*d.seen, field)));
      }
      return Joined(changes, ", ");
    }
  }
  return std::string();
}

// The host name a difference line names: the one seen now, else the baseline's.
std::string HostNameOf(const InventoryDifference& d) {
  return TerminalText(Shown((d.seen ? d.seen : d.baseline)->host_name));
}

std::string DifferenceTable(const std::vector<InventoryDifference>& differences,
                            std::size_t baseline_size) {
  if (differences.empty()) {
    return "No differences from the baseline (" + std::to_string(baseline_size) + " device" +
           (baseline_size == 1 ? "" : "s") + ").\n\n";
  }
  std::size_t host_width = 0;
  for (const InventoryDifference& d : differences) {
    host_width = std::max(host_width, HostNameOf(d).size());
  }
  std::string out = "Differences from the baseline:\n";
  for (const InventoryDifference& d : differences) {
    std::string kind = DifferenceName(d.kind);
    std::string address = TerminalText(d.address);
    std::string host = HostNameOf(d);
    kind.resize(std::max<std::size_t>(kind.size(), 8), ' ');
    address.resize(std::max<std::size_t>(address.size(), 15), ' ');
    host.resize(host_width, ' ');
    out += "  " + kind + "  " + address + "  " + host + "  " + TerminalText(d.usn) + "  " +
           TerminalText(DifferenceDetail(d)) + "\n";
  }
  return out + "\n";
}

void AppendDevice(std::vector<std::string>& row, const std::optional<InventoryDevice>& device) {
  if (!device) {
    row.resize(row.size() + std::size(kInventoryDeviceKeys));
    return;
  }
  for (const std::string_view text : InventoryDeviceTexts(*device)) row.emplace_back(text);
}

void WriteConflict(JsonWriter& json, const IdentityConflict& conflict) {
  json.BeginObject(JsonLayout::kIndented).Key("addresses").BeginArray(JsonLayout::kIndented);
  for (const std::string& address : conflict.addresses) json.String(address);
  json.End().Field("kind", IdentityConflictName(conflict.kind));
  json.Key("location").StringOrNull(conflict.location, !conflict.location.empty());
  json.Key("usns").BeginArray(JsonLayout::kIndented);
  for (const std::string& usn : conflict.usns) json.String(usn);
  json.End().End();
}

void WriteDifference(JsonWriter& json, const InventoryDifference& d) {
  json.BeginObject(JsonLayout::kIndented).Field("address", d.address).Key("baseline");
  if (d.baseline) {
    WriteInventoryDevice(json, *d.baseline, JsonLayout::kIndented);
  } else {
    json.Null();
  }
  if (d.kind == DifferenceKind::kChanged) {
    json.Key("fields").BeginArray(JsonLayout::kIndented);
    for (const std::string& field : d.fields) json.String(field);
    json.End();
  }
  json.Field("kind", DifferenceName(d.kind)).Key("seen");
  if (d.seen) {
    WriteInventoryDevice(json, *d.seen, JsonLayout::kIndented);
  } else {
    json.Null();
  }
  json.Field("usn", d.usn).End();
}

std::string DifferenceJson(const std::vector<InventoryDifference>& differences,
                           const std::vector<DeviceSnapshot>& devices,
                           const std::vector<IdentityConflict>& conflicts) {
  JsonWriter json;
  json.BeginObject(JsonLayout::kIndented).Key("conflicts").BeginArray(JsonLayout::kIndented);
  for (const IdentityConflict& c : conflicts) WriteConflict(json, c);
  json.End().Key("devices").BeginArray(JsonLayout::kIndented);
  for (const DeviceSnapshot& device : devices) {
    json.BeginObject(JsonLayout::kIndented);
    WriteDeviceFields(json, device);
    json.End();
  }
  json.End().Key("differences").BeginArray(JsonLayout::kIndented);
  for (const InventoryDifference& d : differences) WriteDifference(json, d);
  return json.End().End().Finish();
}

// kind, usn, address, fields, location, then the baseline's and the seen device's texts.
// Conflicts use the first five: lists space-separated, the LOCATION for location_mismatch.
std::string DifferenceCsv(const std::vector<InventoryDifference>& differences,
                          const std::vector<IdentityConflict>& conflicts) {
  std::vector<std::string> header = {"kind", "usn", "address", "fields", "location"};
  for (const char* side : {"baseline_", "seen_"}) {
    for (const char* key : kInventoryDeviceKeys) header.push_back(std::string(side) + key);
  }
  std::string out = CsvRecord(header);
  for (const InventoryDifference& d : differences) {
    std::vector<std::string> row = {DifferenceName(d.kind), d.usn, d.address, Joined(d.fields, " "),
                                    ""};
    AppendDevice(row, d.baseline);
    AppendDevice(row, d.seen);
    out += CsvRecord(row);
  }
  for (const IdentityConflict& c : conflicts) {
    std::vector<std::string> row = {IdentityConflictName(c.kind), Joined(c.usns, " "),
                                    Joined(c.addresses, " "), "", c.location};
    row.resize(header.size());
    out += CsvRecord(row);
  }
  return out;
}

}  // namespace

std::vector<InventoryDevice> PresentDevices(const std::vector<DeviceSnapshot>& devices) {
  std::vector<InventoryDevice> present;
  for (const DeviceSnapshot& device : devices) {
    if (device.status == kStatusByebye || device.status == DeviceEventName(DeviceEventKind::kLost))
      continue;
    present.push_back(ToInventoryDevice(device));
  }
  return present;
}

InventoryReport FormatInventoryReport(ScanFormat format, const std::vector<DeviceSnapshot>& devices,
                                      const std::vector<InventoryDevice>* baseline,
                                      const std::vector<IdentityConflict>& conflicts) {
  InventoryReport report;
  if (baseline == nullptr) {
    report.out = FormatReport(format, devices);
    if (format == ScanFormat::kTable) {
      report.out += ConflictSection(conflicts);
    } else {
      for (const IdentityConflict& c : conflicts) {
        report.err += "tarovue-scan: identity conflict " + ConflictText(c) + "\n";
      }
    }
    return report;
  }

  const std::vector<InventoryDifference> differences =
      CompareInventories(*baseline, PresentDevices(devices));
  report.status = differences.empty() ? 0 : 3;
  switch (format) {
    case ScanFormat::kTable:
      report.out = DifferenceTable(differences, baseline->size()) + FormatReport(format, devices) +
                   ConflictSection(conflicts);
      break;
    case ScanFormat::kJson:
      report.out = DifferenceJson(differences, devices, conflicts);
      break;
    case ScanFormat::kCsv:
      report.out = DifferenceCsv(differences, conflicts);
      break;
  }
  return report;
}
