// The host's IPv4 interfaces, in the order the system lists them. Plain copies: nothing
// points into the system's listing afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct InterfaceEntry {
  uint32_t address;  // network byte order
  bool up;
  bool loopback;
  std::string name = {};  // as `ip link` shows it; several addresses may share one
  // The link's index, which an address change keeps; 0 when unknown.
  uint32_t index = 0;
  bool running = true;  // the link has its carrier (IFF_RUNNING)
};

// Fills `entries` with every IPv4 interface address. Returns false (entries empty) when the
// system cannot list them.
bool ListIpv4Interfaces(std::vector<InterfaceEntry>& entries);

// The host's address that datagrams to `destination` (network byte order) leave from, as the
// routing table says, without sending anything; 0 when no route leads there.
uint32_t SourceAddressFor(uint32_t destination);

// Opens and closes a temporary IPv4 datagram socket, the way the listing was asked for on
// systems that need a socket for it. Returns false when no such socket can be opened.
bool ProbeDatagramSocket();
