#include "devices/event_log.h"

#include <utility>

void EventLog::Add(int64_t time, const DeviceSnapshot& device) {
  if (m_capacity == 0) return;
  LoggedEvent entry{
      time, device.status, device.usn, device.address_text, device.host_name, device.serial_number};
  ++m_total;
  if (m_ring.size() < m_capacity) {
    m_ring.push_back(std::move(entry));
    return;
  }
  m_ring[m_next] = std::move(entry);
  m_next = (m_next + 1) % m_capacity;
}

std::vector<LoggedEvent> EventLog::Newest() const {
  std::vector<LoggedEvent> events;
  events.reserve(m_ring.size());
  // The slot before m_next holds the newest once the ring has wrapped; before that, the last.
  const std::size_t size = m_ring.size();
  const std::size_t newest = size < m_capacity ? size : m_next + size;
  for (std::size_t i = 1; i <= size; ++i) events.push_back(m_ring[(newest - i) % size]);
  return events;
}
