#include "parse/device_text.h"
#include "scan/scan_inventory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>

#include "devices/announcement_protocol.h"
#include "devices/device_events.h"
#include "devices/device_record.h"
#include "parse/header_block.h"
#include "scan/inventory_file.h"
#include "scan/safe_text.h"

namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(DeviceTextToUtf8(text));
}

QJsonArray TextList(const std::vector<std::string>& texts) {
  QJsonArray list;
  for (const std::string& text : texts) list.append(Text(text));
  return list;
}

std::string Joined(const std::vector<std::string>& texts, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out += separator;
    out += texts[i];
  }
  return out;
}

// Qt leaves DEL and the C1 controls as they are; like the plain report, write them escaped
// so that no device text can steer a terminal. In UTF-8 they occur only inside strings.
std::string JsonText(const QJsonDocument& document) {
  const QByteArray bytes = document.toJson(QJsonDocument::Indented);
  std::string out;
  out.reserve(static_cast<std::size_t>(bytes.size()));
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const auto next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    if (byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte == 0x7F ? 0x7F : next);
      out += escaped;
      if (byte == 0xC2) ++i;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

QJsonObject ConflictJson(const IdentityConflict& conflict) {
  return {{"kind", IdentityConflictName(conflict.kind)},
          {"usns", TextList(conflict.usns)},
          {"addresses", TextList(conflict.addresses)},
          {"location", conflict.location.empty() ? QJsonValue() : Text(conflict.location)}};
}

QJsonObject DifferenceJson(const InventoryDifference& d) {
  QJsonObject object{{"kind", DifferenceName(d.kind)},
                     {"usn", Text(d.usn)},
                     {"address", Text(d.address)},
                     {"baseline", d.baseline ? InventoryDeviceJson(*d.baseline) : QJsonValue()},
                     {"seen", d.seen ? InventoryDeviceJson(*d.seen) : QJsonValue()}};
  if (d.kind == DifferenceKind::kChanged) object.insert("fields", TextList(d.fields));
  return object;
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

// What a table line says about a difference besides its kind, address and USN.
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
    case DifferenceKind::kChanged:
      return Joined(d.fields, ", ");
  }
  return std::string();
}

std::string DifferenceTable(const std::vector<InventoryDifference>& differences,
                            std::size_t baseline_size) {
  if (differences.empty()) {
    return "No differences from the baseline (" + std::to_string(baseline_size) + " device" +
           (baseline_size == 1 ? "" : "s") + ").\n\n";
  }
  std::string out = "Differences from the baseline:\n";
  for (const InventoryDifference& d : differences) {
    std::string kind = DifferenceName(d.kind);
    std::string address = TerminalText(d.address);
    kind.resize(std::max<std::size_t>(kind.size(), 8), ' ');
    address.resize(std::max<std::size_t>(address.size(), 15), ' ');
    out += "  " + kind + "  " + address + "  " + TerminalText(d.usn) + "  " +
           TerminalText(DifferenceDetail(d)) + "\n";
  }
  return out + "\n";
}

std::string CsvRecord(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ',';
    out += CsvField(fields[i]);
  }
  return out + "\r\n";
}

void AppendDevice(std::vector<std::string>& row, const std::optional<InventoryDevice>& device) {
  const QJsonObject object = device ? InventoryDeviceJson(*device) : QJsonObject();
  for (const char* key : kInventoryDeviceKeys)
    row.push_back(object.value(key).toString().toStdString());
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

bool IsAnnouncement(DatagramOutcome outcome) {
  // A refused LOCATION still writes the device's row, so it counts for who answers.
  return outcome == DatagramOutcome::kAlive || outcome == DatagramOutcome::kResponse ||
         outcome == DatagramOutcome::kBadLocation;
}

}  // namespace

AnnouncedIdentity ReadIdentity(const char* text) {
  std::string copy(text);
  HeaderBlock block;
  block.Parse(copy.data());
  AnnouncedIdentity identity;
  if (const char* usn = block.Get(kFieldUsn)) {
    identity.usn.assign(usn, strnlen(usn, sizeof DeviceRecord::usn - 1));
  }
  if (const char* location = block.Get(kFieldLocation)) identity.location = location;
  return identity;
}

std::vector<InventoryDevice> PresentDevices(const std::vector<ScannedDevice>& devices) {
  std::vector<InventoryDevice> present;
  for (const ScannedDevice& device : devices) {
    if (device.status == kStatusByebye || device.status == DeviceEventName(DeviceEventKind::kLost))
      continue;
    present.push_back(ToInventoryDevice(device));
  }
  return present;
}

InventoryReport FormatInventoryReport(ScanFormat format, const std::vector<ScannedDevice>& devices,
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
    case ScanFormat::kJson: {
      QJsonArray difference_list;
      for (const InventoryDifference& d : differences) difference_list.append(DifferenceJson(d));
      QJsonArray conflict_list;
      for (const IdentityConflict& c : conflicts) conflict_list.append(ConflictJson(c));
      // The devices exactly as the plain report lists them, whatever keys it grows.
      const QJsonDocument plain =
          QJsonDocument::fromJson(QByteArray::fromStdString(FormatReport(format, devices)));
      report.out = JsonText(QJsonDocument(QJsonObject{{"differences", difference_list},
                                                      {"devices", plain.array()},
                                                      {"conflicts", conflict_list}}));
      break;
    }
    case ScanFormat::kCsv:
      report.out = DifferenceCsv(differences, conflicts);
      break;
  }
  return report;
}

bool ScanInventory::LoadBaseline(std::string& error) {
  error.clear();
  if (m_baseline_path.empty()) return true;
  m_has_baseline = LoadInventory(m_baseline_path, m_baseline, error);
  return m_has_baseline;
}

void ScanInventory::Note(const AnnouncedIdentity& identity, uint32_t address,
                         DatagramOutcome outcome) {
  if (IsAnnouncement(outcome) && !identity.usn.empty()) {
    m_conflicts.Observe(identity.usn, address, identity.location);
  }
}

InventoryReport ScanInventory::Report(ScanFormat format,
                                      const std::vector<ScannedDevice>& devices) const {
  return FormatInventoryReport(
      format, devices, m_has_baseline ? &m_baseline : nullptr,
      Active() ? m_conflicts.Conflicts() : std::vector<IdentityConflict>());
}

bool ScanInventory::Save(const std::vector<ScannedDevice>& devices, int64_t now,
                         std::string& error) const {
  error.clear();
  if (m_save_path.empty()) return true;
  return SaveInventory(m_save_path, PresentDevices(devices), now, error);
}
