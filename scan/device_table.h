// The scanner's own table of devices, kept from the discovery session's events: the latest
// snapshot of every device by USN and the status word a watch last saw. The report, --watch
// and what comes after them read it instead of the registry's rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/device_events.h"
#include "scan/device_report.h"

// The report's order: by address, then USN.
bool ReportOrder(const ScannedDevice& a, const ScannedDevice& b);

class DeviceTable {
 public:
  DeviceTable() = default;
  DeviceTable(const DeviceTable&) = delete;
  DeviceTable& operator=(const DeviceTable&) = delete;

  // Takes `event` into the table. Returns true when the device's status word changed to one
  // a watch shows: a search's "searching" is only noted, and the same word again is no change.
  // A forgotten device leaves the table.
  bool Apply(const DeviceEvent& event);

  // The device with this USN, or nullptr; valid until the next Apply.
  [[nodiscard]] const ScannedDevice* Find(const std::string& usn) const;
  // Every device, ordered by address, then USN.
  [[nodiscard]] std::vector<ScannedDevice> Devices() const;
  [[nodiscard]] std::size_t Size() const { return m_devices.size(); }
  // When the device last announced or answered (seconds since 1970 UTC), 0 when never.
  [[nodiscard]] int64_t LastSeen(const std::string& usn) const;
  // USNs of the devices gone (byebye or lost) at or before `time`.
  [[nodiscard]] std::vector<std::string> GoneSince(int64_t time) const;

 private:
  struct Entry {
    ScannedDevice device;
    int64_t last_seen = 0;
    int64_t gone_since = 0;  // 0 while the device is there
  };
  std::unordered_map<std::string, Entry> m_devices;
};
