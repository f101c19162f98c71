// The dotted text of an IPv4 address ("192.168.0.5"), as rows and trace lines show it, and
// back from what a user typed.
#pragma once

#include <cstddef>
#include <cstdint>

// Longest dotted form, "255.255.255.255", plus its terminator.
inline constexpr std::size_t kDottedAddressSize = 16;

// Writes the dotted form of `address` (network byte order) into `out` and terminates it.
void FormatDottedAddress(uint32_t address, char (&out)[kDottedAddressSize]);

// Reads a dotted address: four decimal numbers 0..255, no leading zeros (they would read as
// octal elsewhere), nothing else. True with `address` in network byte order; false leaves it
// unchanged.
bool ParseDottedAddress(const char* text, uint32_t& address);
