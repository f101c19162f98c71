#include "devices/boot_ids.h"

bool BootIds::Observe(const std::string& usn, uint32_t address, std::string_view boot_id) {
  // Devices that do not speak UPnP 1.1 send none, and an answer without one says nothing.
  if (boot_id.empty()) return false;
  Ids& ids = m_devices[usn];
  const bool rebooted = !ids.current.empty() && ids.address == address && ids.current != boot_id &&
                        ids.next != boot_id;
  ids.address = address;
  if (ids.current != boot_id) ids.next.clear();
  ids.current = boot_id;
  return rebooted;
}

void BootIds::Announce(const std::string& usn, std::string_view next_boot_id) {
  m_devices[usn].next = next_boot_id;
}
