// Texts and numbers of SSDP as this program speaks it, shared by the search sender and by
// announcement handling so that both use the same values.
#pragma once

// Sent as ST in every search request; an announcement must carry it as NT (or, without NT,
// as ST) to be taken.
inline constexpr char SEARCH_TARGET[] = "urn:schemas-velmorant-com:device:indicator:1";

#include <cstdint>
#include <cstdio>

// The SSDP multicast group and port.
inline constexpr char kSsdpGroup[] = "239.255.255.250";
inline constexpr uint16_t kSsdpPort = 1900;
// Hops a search may travel: enough for a plant network with a few routers.
inline constexpr int kMulticastTtl = 4;
// Largest datagram taken; one byte more is kept for the terminator.
inline constexpr int kReceiveBufferSize = 512;
// Datagrams one read event takes at most when batch receiving is on: a burst's answers
// cost one system call per this many, and other sockets still get their turn in between.
inline constexpr int kReceiveBatch = 32;
// Receive buffer asked for on both SSDP sockets, in bytes. Datagrams wait in it while a
// handler fetches a description; a thousand devices answering a burst of eight searches
// need several megabytes, far beyond the system's default.
inline constexpr int kSocketReceiveBufferBytes = 8 << 20;
// Interfaces used for group membership and for recognising the host's own datagrams.
inline constexpr uint32_t kMaxInterfaces = 16;
// MX sent in every search: a hundred, as devices in the field expect it.
inline constexpr int kSearchMx = 100;
// A search request is formatted in an area of this size.
inline constexpr int kSearchRequestArea = 512;

// Unicast searches sent per second when the user sets no rate: a /24 in little more than a
// second, gentle on the routers and devices between.
inline constexpr int kDefaultUnicastRate = 200;

// Timers by id. A search burst ticks every 50 ms; validity is swept every minute.
inline constexpr int MY_EXPIRY_ID = 1234;
inline constexpr int MY_DISCOVER_ID = 1235;
inline constexpr int kDiscoverPeriodMs = 50;
inline constexpr int kExpiryPeriodMs = 60000;
// Passes of one burst, counted down to below zero.
inline constexpr int32_t kSearchPasses = 3;

// Formats the search request for `search_target` into `out` (room for `size` bytes,
// terminated). Returns its length on the wire, or 0 when it does not fit.
inline int FormatSearchRequest(char* out, int size, const char* search_target) {
  int n = std::snprintf(out, static_cast<std::size_t>(size),
                        "M-SEARCH * HTTP/1.1\r\n"
                        "MX: %d\r\n"
                        "ST: %s\r\n"
                        "HOST: %s:%d\r\n"
                        "MAN: \"ssdp:discover\"\r\n"
                        "\r\n",
                        kSearchMx, search_target, kSsdpGroup, kSsdpPort);
  return n < 0 || n >= size ? 0 : n;
}

// Formats the search request sent to one device's port 1900 (`address`: dotted text) into
// `out` (room for `size` bytes, terminated). It has no MX, so the device answers at once.
// Returns its length on the wire, or 0 when it does not fit.
inline int FormatUnicastSearchRequest(char* out, int size, const char* address,
                                      const char* search_target) {
  int n = std::snprintf(out, static_cast<std::size_t>(size),
                        "M-SEARCH * HTTP/1.1\r\n"
                        "HOST: %s:%d\r\n"
                        "MAN: \"ssdp:discover\"\r\n"
                        "ST: %s\r\n"
                        "\r\n",
                        address, kSsdpPort, search_target);
  return n < 0 || n >= size ? 0 : n;
}
