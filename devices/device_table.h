// The headless front ends' table of devices, kept from a discovery session's events: the
// latest snapshot of every device by USN, with the status word a watch last saw and when it
// was last heard. The scanner's report, its watch and the agent read it instead of the
// registry's rows. Plain bookkeeping on the event loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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

  // The device with this USN, or nullptr; valid until the next Apply, Restore or Devices.
  [[nodiscard]] const DeviceSnapshot* Find(std::string_view usn) const;
  // Every device, in the report's order: the table's own, not a copy (an agent's scrape of
  // ten thousand devices copies none), valid until the next Apply or Restore.
  [[nodiscard]] const std::vector<DeviceSnapshot>& Devices() const;
  [[nodiscard]] std::size_t Size() const { return m_list.size(); }
  // USNs of the devices gone (byebye or lost) for at least `ms` milliseconds.
  [[nodiscard]] std::vector<std::string> GoneFor(int64_t ms) const;

 private:
  struct Gone {
    bool gone = false;
    int64_t since_ms = 0;  // on the clock, while gone
  };
  static constexpr std::size_t kNone = SIZE_MAX;

  [[nodiscard]] int64_t NowMs() const;
  // Where the device with `usn` lies, or kNone.
  [[nodiscard]] std::size_t Slot(std::string_view usn) const;
  // A new device with `usn`, at the end until the order is next asked for.
  std::size_t Append(std::string_view usn);
  void Erase(std::size_t slot);
  void SortIfNeeded() const;

  const MonotonicClock* m_clock;
  std::unique_ptr<MonotonicClock> m_own_clock;
  // The devices, in the report's order once sorted, and beside each at the same position
  // whether and since when it is gone; their positions by the hash of their USN, so that no
  // USN is kept twice.
  mutable std::vector<DeviceSnapshot> m_list;
  mutable std::vector<Gone> m_gone;
  mutable std::unordered_multimap<std::size_t, std::size_t> m_slots;
  mutable bool m_sorted = true;
};
