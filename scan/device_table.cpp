#include "scan/device_table.h"

#include <arpa/inet.h>

#include <algorithm>

bool ReportOrder(const ScannedDevice& a, const ScannedDevice& b) {
  const uint32_t left = ntohl(a.address), right = ntohl(b.address);
  return left != right ? left < right : a.usn < b.usn;
}

bool DeviceTable::Apply(const DeviceEvent& event) {
  const char* word = DeviceEventName(event.kind);
  auto [it, created] = m_devices.try_emplace(event.device.Usn());
  ScannedDevice& device = it->second;
  const bool changed = created || device.status != word;
  switch (event.kind) {
    case DeviceEventKind::kNew:
    case DeviceEventKind::kOnline:
    case DeviceEventKind::kChanged:
      device = DescribeDevice(event.device, word, event.device.ValidUntil());
      device.fetch = DescriptionFetchName(event.fetch);
      m_last_seen[it->first] = event.time;
      break;
    case DeviceEventKind::kByebye:
    case DeviceEventKind::kLost:
    case DeviceEventKind::kSearching:
      // The device's texts stand as they were; only its status and validity change.
      if (created) device = DescribeDevice(event.device, word, 0);
      device.status = word;
      device.valid_until = 0;
      break;
  }
  return changed && event.kind != DeviceEventKind::kSearching;
}

const ScannedDevice* DeviceTable::Find(const std::string& usn) const {
  auto it = m_devices.find(usn);
  return it == m_devices.end() ? nullptr : &it->second;
}

int64_t DeviceTable::LastSeen(const std::string& usn) const {
  auto it = m_last_seen.find(usn);
  return it == m_last_seen.end() ? 0 : it->second;
}

std::vector<ScannedDevice> DeviceTable::Devices() const {
  std::vector<ScannedDevice> devices;
  devices.reserve(m_devices.size());
  for (const auto& entry : m_devices) devices.push_back(entry.second);
  std::sort(devices.begin(), devices.end(), ReportOrder);
  return devices;
}
