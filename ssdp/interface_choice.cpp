#include "ssdp/interface_choice.h"

#include <algorithm>

#include "platform/dotted_address.h"

namespace {

bool Usable(const InterfaceEntry& entry) {
  return entry.up && !entry.loopback;
}

bool Matches(const InterfaceEntry& entry, const std::string& item) {
  uint32_t address = 0;
  if (ParseDottedAddress(item.c_str(), address)) return entry.address == address;
  return entry.name == item;
}

// "eth0 (192.168.1.5), tvc0 (10.231.5.1)", or "none".
std::string UsableList(const std::vector<InterfaceEntry>& entries) {
  std::string list;
  for (const InterfaceEntry& entry : entries) {
    if (!Usable(entry)) continue;
    char dotted[kDottedAddressSize];
    FormatDottedAddress(entry.address, dotted);
    list += (list.empty() ? "" : ", ") + entry.name + " (" + dotted + ")";
  }
  return list.empty() ? "none" : list;
}

}  // namespace

bool ChooseInterfaces(const std::vector<std::string>& wanted, std::vector<InterfaceEntry>& entries,
                      std::string& error) {
  bool all_known = true;
  for (const std::string& item : wanted) {
    const bool known = std::any_of(entries.begin(), entries.end(), [&](const InterfaceEntry& e) {
      return Usable(e) && Matches(e, item);
    });
    if (!known) {
      error = "no usable interface '" + item + "'; usable: " + UsableList(entries);
      all_known = false;
      break;
    }
  }
  std::vector<InterfaceEntry> chosen;
  for (const InterfaceEntry& entry : entries) {
    const bool wanted_here = std::any_of(wanted.begin(), wanted.end(),
                                         [&](const std::string& i) { return Matches(entry, i); });
    if (Usable(entry) && wanted_here) chosen.push_back(entry);
  }
  entries = std::move(chosen);
  return all_known;
}
