// Where the fleet agent listens: `--serve [ADDR:]PORT` read into an address and a port. Only
// text is read here; nothing is bound, so a bad value ends the program before any socket.
#pragma once

#include <cstdint>
#include <string>

// A bare port listens on loopback only: anything wider must be asked for by address.
inline constexpr char kServeDefaultAddress[] = "127.0.0.1";

struct ServeAddress {
  std::string host = kServeDefaultAddress;  // numeric IPv4, or IPv6 without brackets
  uint16_t port = 0;
};

// Reads "PORT", "IPV4:PORT" or "[IPV6]:PORT" (port 1 to 65535). True with `address` filled;
// false with a one-line reason in `error` and `address` unchanged.
bool ParseServeAddress(const std::string& text, ServeAddress& address, std::string& error);
