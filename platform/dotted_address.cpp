#include "platform/dotted_address.h"

#include <cstdio>
#include <cstring>

void FormatDottedAddress(uint32_t address, char (&out)[kDottedAddressSize]) {
  // Network byte order is the order of the bytes in memory, whatever the host's order is.
  unsigned char bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  std::snprintf(out, sizeof out, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}
