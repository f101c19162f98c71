#include "platform/dotted_address.h"

#include <arpa/inet.h>

#include <cstring>

void FormatDottedAddress(uint32_t address, char (&out)[kDottedAddressSize]) {
  // Network byte order is the order of the bytes in memory, whatever the host's order is.
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  // By hand: every announcement is formatted twice, and snprintf costs ten times as much.
  char* p = out;
  for (int i = 0; i < 4; ++i) {
    const unsigned value = bytes[i];
    if (value >= 100) *p++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *p++ = static_cast<char>('0' + value / 10 % 10);
    *p++ = static_cast<char>('0' + value % 10);
    *p++ = i < 3 ? '.' : '\0';
  }
}

bool ParseDottedAddress(const char* text, uint32_t& address) {
  // The C library's reader takes exactly that form and refuses leading zeros.
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}
