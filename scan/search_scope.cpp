#include "scan/search_scope.h"

#include <algorithm>
#include <vector>

#include "formats/safe_text.h"
#include "platform/dotted_address.h"
#include "platform/network_interfaces.h"

std::string SearchScopeText(const uint32_t* interfaces, uint32_t count, std::size_t targets) {
  std::vector<InterfaceEntry> host;
  ListIpv4Interfaces(host);
  std::string text;
  for (uint32_t i = 0; i < count; ++i) {
    char dotted[kDottedAddressSize];
    FormatDottedAddress(interfaces[i], dotted);
    const auto entry = std::find_if(host.begin(), host.end(), [&](const InterfaceEntry& e) {
      return e.address == interfaces[i];
    });
    if (!text.empty()) text += ", ";
    text += entry != host.end() && !entry->name.empty()
                ? TerminalText(entry->name) + " (" + dotted + ")"
                : std::string(dotted);
  }
  if (targets > 0) {
    if (!text.empty()) text += " and ";
    text += std::to_string(targets) + (targets == 1 ? " address" : " addresses") + " of --target";
  }
  return text;
}
