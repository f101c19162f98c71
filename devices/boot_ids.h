// The boot ids devices announce (BOOTID.UPNP.ORG, UPnP 1.1): a device that announces a new
// one has started again, unless it said beforehand that it would (an ssdp:update carrying it
// as NEXTBOOTID): a failing power supply or a crashing firmware shows as reboots that nobody
// sees otherwise, because the device is back before anyone looks. Bookkeeping by USN for
// the devices in the table; the owner forgets a device with its record.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

class BootIds {
 public:
  BootIds() = default;
  BootIds(const BootIds&) = delete;
  BootIds& operator=(const BootIds&) = delete;

  // Notes `boot_id` ("" when the announcement had none) for `usn`. True when the device had
  // announced another one before and did not announce this one as its next: it rebooted.
  bool Observe(const std::string& usn, std::string_view boot_id);
  // An ssdp:update: the device's next boot will have `next_boot_id`.
  void Announce(const std::string& usn, std::string_view next_boot_id);
  void Forget(const std::string& usn) { m_devices.erase(usn); }

 private:
  struct Ids {
    std::string current;
    std::string next;  // announced by ssdp:update, "" when none
  };
  std::unordered_map<std::string, Ids> m_devices;
};
