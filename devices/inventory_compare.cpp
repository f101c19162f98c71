#include "devices/inventory_compare.h"

#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <unordered_map>

namespace {

struct ComparedText {
  const char* key;
  std::string InventoryDevice::*text;
};
// The texts that make a device's identity besides its USN and address. The device type and
// page address are left out: the first follows the model, the second the address.
constexpr ComparedText kComparedTexts[] = {
    {"hostname", &InventoryDevice::host_name},
    {"model_name", &InventoryDevice::model_name},
    {"model_number", &InventoryDevice::model_number},
    {"serial_number", &InventoryDevice::serial_number},
    {"guid", &InventoryDevice::guid},
};

// Devices by USN, the first entry of each; pointers into `devices`.
std::unordered_map<std::string, const InventoryDevice*> ByUsn(
    const std::vector<InventoryDevice>& devices) {
  std::unordered_map<std::string, const InventoryDevice*> by_usn;
  for (const InventoryDevice& device : devices) by_usn.try_emplace(device.usn, &device);
  return by_usn;
}

std::map<std::string, int> CountByAddress(
    const std::unordered_map<std::string, const InventoryDevice*>& devices) {
  std::map<std::string, int> counts;
  for (const auto& entry : devices) ++counts[entry.second->address];
  return counts;
}

// Host-order value of a dotted address for ordering; texts that are none sort last.
uint64_t AddressOrder(const std::string& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return UINT64_MAX;
  return ntohl(parsed.s_addr);
}

InventoryDifference Difference(DifferenceKind kind, const InventoryDevice* baseline,
                               const InventoryDevice* seen) {
  InventoryDifference difference;
  difference.kind = kind;
  const InventoryDevice& shown = seen != nullptr ? *seen : *baseline;
  difference.usn = shown.usn;
  difference.address = shown.address;
  if (baseline != nullptr) difference.baseline = *baseline;
  if (seen != nullptr) difference.seen = *seen;
  return difference;
}

}  // namespace

const char* DifferenceName(DifferenceKind kind) {
  switch (kind) {
    case DifferenceKind::kMissing:
      return "missing";
    case DifferenceKind::kNew:
      return "new";
    case DifferenceKind::kMoved:
      return "moved";
    case DifferenceKind::kReplaced:
      return "replaced";
    case DifferenceKind::kChanged:
      return "changed";
  }
  return "unknown";
}

std::vector<InventoryDifference> CompareInventories(const std::vector<InventoryDevice>& baseline,
                                                    const std::vector<InventoryDevice>& seen) {
  const auto old_by_usn = ByUsn(baseline);
  const auto new_by_usn = ByUsn(seen);
  const auto old_per_address = CountByAddress(old_by_usn);
  const auto new_per_address = CountByAddress(new_by_usn);
  auto alone = [&](const std::string& address) {
    auto old_count = old_per_address.find(address);
    auto new_count = new_per_address.find(address);
    return old_count != old_per_address.end() && old_count->second == 1 &&
           new_count != new_per_address.end() && new_count->second == 1;
  };

  std::vector<InventoryDifference> differences;
  // Baseline devices whose USN was not seen; those alone at their address may be replaced.
  std::vector<const InventoryDevice*> unmatched_old;
  std::unordered_map<std::string, const InventoryDevice*> replaceable;
  for (const auto& [usn, old_device] : old_by_usn) {
    auto found = new_by_usn.find(usn);
    if (found == new_by_usn.end()) {
      unmatched_old.push_back(old_device);
      if (alone(old_device->address)) replaceable.emplace(old_device->address, old_device);
      continue;
    }
    const InventoryDevice* new_device = found->second;
    if (new_device->address != old_device->address) {
      differences.push_back(Difference(DifferenceKind::kMoved, old_device, new_device));
      continue;
    }
    // A spare that took over the USN with its configuration still carries its own serial.
    if (new_device->serial_number != old_device->serial_number && alone(new_device->address)) {
      differences.push_back(Difference(DifferenceKind::kReplaced, old_device, new_device));
      continue;
    }
    InventoryDifference changed = Difference(DifferenceKind::kChanged, old_device, new_device);
    for (const ComparedText& compared : kComparedTexts) {
      if (old_device->*compared.text != new_device->*compared.text) {
        changed.fields.emplace_back(compared.key);
      }
    }
    if (!changed.fields.empty()) differences.push_back(std::move(changed));
  }
  for (const auto& [usn, new_device] : new_by_usn) {
    if (old_by_usn.count(usn) != 0) continue;
    auto old_device = replaceable.find(new_device->address);
    if (old_device != replaceable.end()) {
      differences.push_back(Difference(DifferenceKind::kReplaced, old_device->second, new_device));
      std::erase(unmatched_old, old_device->second);
    } else {
      differences.push_back(Difference(DifferenceKind::kNew, nullptr, new_device));
    }
  }
  for (const InventoryDevice* old_device : unmatched_old) {
    differences.push_back(Difference(DifferenceKind::kMissing, old_device, nullptr));
  }

  std::sort(differences.begin(), differences.end(),
            [](const InventoryDifference& a, const InventoryDifference& b) {
              const uint64_t left = AddressOrder(a.address), right = AddressOrder(b.address);
              if (left != right) return left < right;
              return a.usn != b.usn ? a.usn < b.usn : a.kind < b.kind;
            });
  return differences;
}
