// The scanner's --target list: IPv4 addresses and CIDR blocks, comma-separated, expanded to
// the addresses a unicast search round goes to. Pure: it reads text and opens nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A round never goes to more addresses than this: a /16, with room to spare.
inline constexpr std::size_t kMaxTargets = 65536;

// Expands `list` ("10.1.5.0/24,10.1.9.17"; blanks around items allowed) into `addresses`
// (network byte order, in the order given, each once). A block's network and broadcast
// addresses are left out, except in a /31 or /32, whose addresses are all hosts. True on
// success; false with `addresses` empty and a one-line `error` that names the bad item.
bool ParseTargetList(const std::string& list, std::vector<uint32_t>& addresses, std::string& error);
