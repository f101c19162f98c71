// Reads the kernel's routing notifications (rtnetlink) about links and IPv4 addresses into
// plain records. Pure: it opens nothing; the caller owns the bytes (net/netlink_watch reads
// them from the socket). Every record is a copy: nothing points into the buffer afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

// An interface name as the kernel keeps it (IFNAMSIZ), terminator included.
inline constexpr std::size_t kInterfaceNameSize = 16;
// Changes kept from one buffer; a buffer that holds more sets NetlinkBatch::full.
inline constexpr std::size_t kMaxNetlinkChanges = 128;
// Netlink messages and their attributes are laid out on 4-byte boundaries (NLMSG_ALIGNTO).
inline constexpr std::size_t kNetlinkAlignment = 4;

enum class InterfaceChangeKind : uint8_t {
  kLinkNew,         // a link appeared or its state changed (RTM_NEWLINK)
  kLinkDeleted,     // RTM_DELLINK
  kAddressAdded,    // an IPv4 address was added (RTM_NEWADDR)
  kAddressRemoved,  // RTM_DELADDR
};

struct InterfaceChange {
  InterfaceChangeKind kind = InterfaceChangeKind::kLinkNew;
  uint32_t index = 0;  // the interface's index
  // Links: IFLA_IFNAME. Addresses: IFA_LABEL, which may be an alias ("eth0:1"). "" if absent.
  char name[kInterfaceNameSize] = {};
  bool up = false;            // links: IFF_UP
  bool running = false;       // links: IFF_RUNNING
  bool loopback = false;      // links: IFF_LOOPBACK
  uint32_t address = 0;       // addresses, network byte order: IFA_LOCAL, else IFA_ADDRESS
  uint8_t prefix_length = 0;  // addresses: 0..32
};

// What one buffer of messages held.
struct NetlinkBatch {
  InterfaceChange changes[kMaxNetlinkChanges];
  std::size_t count = 0;  // changes[0..count) are filled
  unsigned dropped = 0;   // malformed messages: not read further, nothing kept from them
  unsigned ignored = 0;   // well-formed messages we do not follow (routes, IPv6, acks, no-ops)
  bool full = false;      // more changes than kMaxNetlinkChanges: the rest were not kept
  bool overrun = false;   // NLMSG_OVERRUN: the kernel lost messages
  bool done = false;      // NLMSG_DONE: the end of a dump
  int error = 0;          // the errno value an NLMSG_ERROR reported (0: none, or an ack)
};

// Reads the messages in data[0..size), which must start on a kNetlinkAlignment boundary.
// Resets `batch` first, then fills it; never reads outside the buffer. A message whose header
// is cut, whose length runs past the buffer, whose payload is too short for its type, one of
// whose attributes runs past it, or whose IPv4 address is not 4 bytes counts as dropped; a
// cut header or a length past the buffer also ends the reading.
void ReadNetlinkMessages(const void* data, std::size_t size, NetlinkBatch& batch);
