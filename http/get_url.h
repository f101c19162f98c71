// A minimal blocking HTTP/1.1 GET for device pages: "GET /path HTTP/1.1" and an empty line,
// nothing else; the response is read until the device closes the connection.
#pragma once

#include <cstdint>

// Deadlines of one exchange, so that a silent or endless device cannot freeze the caller.
inline constexpr int kGetUrlConnectTimeoutMs = 2000;
inline constexpr int kGetUrlExchangeTimeoutMs = 5000;
// The request is formatted in an area of this size, terminator included.
inline constexpr int kGetUrlRequestArea = 256;

// Fetches `url` ("http://host[:port][/path]") into `buffer`, which has room for `size` + 1
// bytes. Returns the number of response bytes stored (status line, header fields and body,
// terminated), or 0 on any failure, which leaves `buffer` holding the empty string.
// Blocks the calling handler; only painting goes on meanwhile.
uint32_t GetUrl(char* buffer, uint32_t size, const char* url);
