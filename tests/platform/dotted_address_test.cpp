#include "platform/dotted_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

uint32_t Parse(const char* text) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
  return address.s_addr;
}

TEST(DottedAddressTest, FormsEveryWidthOfEveryByte) {
  for (const char* text : {"0.0.0.0", "255.255.255.255", "10.0.9.1", "192.168.100.99",
                           "1.22.255.100", "127.0.0.1"}) {
    char out[kDottedAddressSize];
    std::memset(out, 'x', sizeof out);
    FormatDottedAddress(Parse(text), out);
    EXPECT_STREQ(out, text);
  }
}

TEST(DottedAddressTest, AgreesWithTheLibraryForEveryByteValue) {
  for (unsigned value = 0; value < 256; ++value) {
    char expected[kDottedAddressSize];
    std::snprintf(expected, sizeof expected, "%u.%u.%u.%u", value, 255 - value, value / 2, 7);
    char out[kDottedAddressSize];
    FormatDottedAddress(Parse(expected), out);
    EXPECT_STREQ(out, expected);
  }
}

}  // namespace
