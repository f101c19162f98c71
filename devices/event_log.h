// The last events a watch shows (new, online, changed, byebye, lost, forgotten, rebooted),
// kept for the agent's fleet page: a ring of plain values, the oldest overwritten first.
// The scanner owns it and adds to it where it decides a watch line; readers take copies.
// Plain bookkeeping on the event loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devices/device_snapshot.h"

// Events kept: enough for a shift's changes on a site without letting a flapping device
// grow the agent.
inline constexpr std::size_t kEventLogSize = 200;

struct LoggedEvent {
  int64_t time = 0;   // seconds since 1970 UTC
  std::string event;  // the watch line's word
  std::string usn;
  std::string address;
  std::string host_name;
  std::string serial_number;
};

class EventLog {
 public:
  explicit EventLog(std::size_t capacity = kEventLogSize) : m_capacity(capacity) {}

  // Keeps `device`'s event at `time`, its word being the snapshot's status (as a watch line
  // shows it); the oldest event goes when the log is full.
  void Add(int64_t time, const DeviceSnapshot& device);

  // The events kept, newest first.
  [[nodiscard]] std::vector<LoggedEvent> Newest() const;
  // Events added since the start, those overwritten included.
  [[nodiscard]] uint64_t Total() const { return m_total; }

 private:
  std::size_t m_capacity;
  std::vector<LoggedEvent> m_ring;
  std::size_t m_next = 0;  // where the next event goes once the ring is full
  uint64_t m_total = 0;
};
