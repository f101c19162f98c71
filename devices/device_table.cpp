#include "devices/device_table.h"

#include <algorithm>

bool DeviceTable::Apply(const DeviceEvent& event) {
  if (event.kind == DeviceEventKind::kForgotten) return m_devices.erase(event.device.Usn()) != 0;
  const char* word = DeviceEventName(event.kind);
  auto [it, created] = m_devices.try_emplace(event.device.Usn());
  Entry& entry = it->second;
  DeviceSnapshot& device = entry.device;
  const bool changed = created || device.status != word;
  switch (event.kind) {
    case DeviceEventKind::kNew:
    case DeviceEventKind::kOnline:
    case DeviceEventKind::kChanged:
      device = DescribeDevice(event.device, word, event.device.ValidUntil());
      device.fetch = DescriptionFetchName(event.fetch);
      device.last_seen = event.time;
      entry.gone_since = 0;
      break;
    case DeviceEventKind::kByebye:
    case DeviceEventKind::kLost:
    case DeviceEventKind::kSearching:
    case DeviceEventKind::kForgotten:
      // The device's texts stand as they were; only its status and validity change. A search
      // leaves the validity a device announced when the session keeps it.
      if (created) device = DescribeDevice(event.device, word, 0);
      device.status = word;
      device.valid_until =
          event.kind == DeviceEventKind::kSearching ? event.device.ValidUntil() : 0;
      if (event.kind != DeviceEventKind::kSearching && entry.gone_since == 0) {
        entry.gone_since = event.time;
      }
      break;
  }
  return changed && event.kind != DeviceEventKind::kSearching;
}

const DeviceSnapshot* DeviceTable::Find(const std::string& usn) const {
  auto it = m_devices.find(usn);
  return it == m_devices.end() ? nullptr : &it->second.device;
}

std::vector<std::string> DeviceTable::GoneSince(int64_t time) const {
  std::vector<std::string> gone;
  for (const auto& [usn, entry] : m_devices) {
    if (entry.gone_since != 0 && entry.gone_since <= time) gone.push_back(usn);
  }
  return gone;
}

std::vector<DeviceSnapshot> DeviceTable::Devices() const {
  std::vector<DeviceSnapshot> devices;
  devices.reserve(m_devices.size());
  for (const auto& entry : m_devices) devices.push_back(entry.second.device);
  std::sort(devices.begin(), devices.end(), ReportOrder);
  return devices;
}
