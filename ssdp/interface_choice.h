// The user's choice of interfaces (the scanner's --interface) applied to the host's listing.
// Pure: it reads the listing it is given and opens nothing.
#pragma once

#include <string>
#include <vector>

#include "platform/network_interfaces.h"

// Keeps in `entries` the usable interfaces (up, not loopback) that one of `wanted` names:
// by name as `ip link` shows it (every address of that interface) or by one of the host's
// dotted addresses. True when every item named one; false with `error` naming the first
// item that matches no usable interface and listing the usable ones, `entries` still
// keeping those that matched (a long watch takes them and waits for the rest).
bool ChooseInterfaces(const std::vector<std::string>& wanted, std::vector<InterfaceEntry>& entries,
                      std::string& error);
