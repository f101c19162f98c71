// An inventory of devices compared with a scan: which indicators are missing, new, moved,
// replaced or changed. Pure rules over plain texts, so that the scanner and an agent judge a
// network the same way; reading and writing inventory files belongs to the front end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One device as an inventory keeps it. The USN is its key; address is dotted IPv4.
struct InventoryDevice {
  std::string usn;
  std::string address;
  std::string host_name;
  std::string device_type;
  std::string model_name;
  std::string model_number;
  std::string serial_number;
  std::string guid;
  std::string page_url;

  bool operator==(const InventoryDevice&) const = default;
};

enum class DifferenceKind : uint8_t {
  kMissing,   // in the baseline, not seen
  kNew,       // seen, not in the baseline
  kMoved,     // same USN, another address
  kReplaced,  // same address, another USN or another serial number
  kChanged,   // same USN and address, other identity texts
};

// "missing", "new", "moved", "replaced" or "changed".
const char* DifferenceName(DifferenceKind kind);

struct InventoryDifference {
  DifferenceKind kind = DifferenceKind::kMissing;
  // The seen device's USN and address when there is one, else the baseline's.
  std::string usn;
  std::string address;
  std::optional<InventoryDevice> baseline;
  std::optional<InventoryDevice> seen;
  // For kChanged: the report keys of the texts that differ ("hostname", "model_name",
  // "model_number", "serial_number", "guid"), in that order.
  std::vector<std::string> fields;
};

// The differences between `baseline` and `seen`, ordered by address, then USN; empty when
// they match. Devices are matched by USN. An address that holds exactly one device on
// each side pairs them even with other USNs (kReplaced); where several devices share an
// address on either side (a gateway in front of several indicators) nothing is paired by
// address, so a swap there shows as kMissing plus kNew, and another serial number as kChanged.
// A USN listed twice on one side counts once, its first entry.
std::vector<InventoryDifference> CompareInventories(const std::vector<InventoryDevice>& baseline,
                                                    const std::vector<InventoryDevice>& seen);
