// The headless front ends' table of devices, kept from a discovery session's events: the
// latest snapshot of every device by USN, with the status word a watch last saw and when it
// was last heard. The scanner's report, its watch and the agent read it instead of the
// registry's rows. Plain bookkeeping on the event loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/device_events.h"
#include "devices/device_snapshot.h"

class MonotonicClock;

class DeviceTable {
 public:
  // How long a device has been gone is counted on `clock` (the boot clock when null), which
  // must outlive the table: a step of the wall clock forgets nothing.
  explicit DeviceTable(const MonotonicClock* clock = nullptr);
  ~DeviceTable();
  DeviceTable(const DeviceTable&) = delete;
  DeviceTable& operator=(const DeviceTable&) = delete;

  // Takes `event` into the table. Returns true when a watch shows it, that is when it is
  // news: the device is seen for the first time, moved, has new texts, is back after byebye
  // or lost, said byebye, was lost or forgotten, rebooted, or was kept by being asked. Its
  // next answer after the first, a search ("searching" is only noted) and a search answered
  // with what was known are not. A forgotten device leaves.
  bool Apply(const DeviceEvent& event);

  // Takes back a device known from before a restart: lost until it is heard again, and gone
  // for `gone_for_ms` already (since it was last seen).
  void Restore(DeviceSnapshot device, int64_t gone_for_ms);

  // The device with this USN, or nullptr; valid until the next Apply.
  [[nodiscard]] const DeviceSnapshot* Find(const std::string& usn) const;
  // Every device, in the report's order.
  [[nodiscard]] std::vector<DeviceSnapshot> Devices() const;
  [[nodiscard]] std::size_t Size() const { return m_devices.size(); }
  // USNs of the devices gone (byebye or lost) for at least `ms` milliseconds.
  [[nodiscard]] std::vector<std::string> GoneFor(int64_t ms) const;

 private:
  struct Entry {
    DeviceSnapshot device;
    bool gone = false;
    int64_t gone_since_ms = 0;  // on the clock, while gone
  };
  [[nodiscard]] int64_t NowMs() const;

  const MonotonicClock* m_clock;
  std::unique_ptr<MonotonicClock> m_own_clock;
  std::unordered_map<std::string, Entry> m_devices;
};
