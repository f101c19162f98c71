// The dotted text of an IPv4 address ("192.168.0.5"), as rows and trace lines show it.
#pragma once

#include <cstddef>
#include <cstdint>

// Longest dotted form, "255.255.255.255", plus its terminator.
inline constexpr std::size_t kDottedAddressSize = 16;

// Writes the dotted form of `address` (network byte order) into `out` and terminates it.
void FormatDottedAddress(uint32_t address, char (&out)[kDottedAddressSize]);
