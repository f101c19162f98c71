// The headless front ends' table of devices, kept from a discovery session's events: the
// latest snapshot of every device by USN, with the status word a watch last saw and when it
// was last heard. The scanner's report, its watch and the agent read it instead of the
// registry's rows. Plain bookkeeping on the event loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/device_events.h"
#include "devices/device_snapshot.h"

class DeviceTable {
 public:
  DeviceTable() = default;
  DeviceTable(const DeviceTable&) = delete;
  DeviceTable& operator=(const DeviceTable&) = delete;

  // Takes `event` into the table. Returns true when a watch shows it: the device's status
  // word changed (a search's "searching" is only noted, the same word again is no change),
  // or it rebooted, which counts without changing the word. A forgotten device leaves.
  bool Apply(const DeviceEvent& event);

  // Takes back a device known from before a restart: lost until it is heard again, gone
  // since it was last seen.
  void Restore(DeviceSnapshot device);

  // The device with this USN, or nullptr; valid until the next Apply.
  [[nodiscard]] const DeviceSnapshot* Find(const std::string& usn) const;
  // Every device, in the report's order.
  [[nodiscard]] std::vector<DeviceSnapshot> Devices() const;
  [[nodiscard]] std::size_t Size() const { return m_devices.size(); }
  // USNs of the devices gone (byebye or lost) at or before `time`.
  [[nodiscard]] std::vector<std::string> GoneSince(int64_t time) const;

 private:
  struct Entry {
    DeviceSnapshot device;
    int64_t gone_since = 0;  // 0 while the device is there
  };
  std::unordered_map<std::string, Entry> m_devices;
};
