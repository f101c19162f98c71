// What a timed scan that found nothing says about where it searched, so that an empty report
// can be told from a scan that looked in the wrong place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// "eth0 (10.0.0.2), eth1 (10.0.1.2) and 3 addresses of --target": the `count` interface
// addresses (network order) named as `ip link` shows them while the host lists them, and
// the number of unicast targets. Safe for a terminal.
std::string SearchScopeText(const uint32_t* interfaces, uint32_t count, std::size_t targets);
