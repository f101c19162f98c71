// The boot ids devices announce (BOOTID.UPNP.ORG, UPnP 1.1): a device that announces a new
// one has started again, unless it said beforehand that it would (an ssdp:update carrying it
// as NEXTBOOTID): a failing power supply or a crashing firmware shows as reboots that nobody
// sees otherwise, because the device is back before anyone looks. Bookkeeping by USN for
// the devices in the table; the owner forgets a device with its record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

class BootIds {
 public:
  BootIds() = default;
  BootIds(const BootIds&) = delete;
  BootIds& operator=(const BootIds&) = delete;

  // Notes `boot_id` ("" when the announcement had none) for `usn`, announced from `address`
  // (network byte order). True when the device had announced another one before from the
  // same address and did not announce this one as its next: it rebooted. From another address
  // the boot id is only noted: two devices sharing one USN (cloned firmware) each have their
  // own, and that is an identity conflict, not a reboot.
  bool Observe(const std::string& usn, uint32_t address, std::string_view boot_id);
  // An ssdp:update: the device's next boot will have `next_boot_id`.
  void Announce(const std::string& usn, std::string_view next_boot_id);
  void Forget(const std::string& usn) { m_devices.erase(usn); }

 private:
  struct Ids {
    std::string current;
    std::string next;      // announced by ssdp:update, "" when none
    uint32_t address = 0;  // where `current` came from
  };
  std::unordered_map<std::string, Ids> m_devices;
};
