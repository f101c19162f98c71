// CSsdpSocket: the program's UDP endpoint for SSDP. The owner keeps two: a search socket on a
// port the system chooses (created without an interface list) and the socket on port 1900,
// joined to the multicast group on every listed interface. Every datagram that is not the
// host's own goes to the listener, which gets it as writable text valid only during the call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "net/socket.h"
#include "ssdp/datagram_outcome.h"
#include "ssdp/ssdp_protocol.h"

// Receives accepted datagrams. `text` is NUL-terminated and writable (the listener parses
// it in place) and valid only during the call; `address` is the sender, network byte order.
class SsdpListener {
 public:
  virtual ~SsdpListener() = default;
  virtual void OnReceive(char* text, uint32_t address) = 0;
  // A datagram the socket itself dropped (too long, empty, or this host's own).
  virtual void OnDropped(DatagramOutcome reason, uint32_t address) {
    (void)reason;
    (void)address;
  }
};

// Anything that can send the search request; the search schedule drives two of them.
class DiscoverSender {
 public:
  virtual ~DiscoverSender() = default;
  virtual void SendDiscover(const char* search_target) = 0;
};

// Anything that can send the search request to one address; the unicast search drives one.
class UnicastSender {
 public:
  virtual ~UnicastSender() = default;
  // Sends one search for `search_target` to port 1900 of `address` (network byte order).
  // False when it could not be sent (traced).
  virtual bool SendSearchTo(uint32_t address, const char* search_target) = 0;
};

// How searches to the group use the interfaces given to SetSearchInterfaces: each send
// through the next one in turn, or each send through all of them.
enum class InterfaceSpread : uint8_t { kRotate, kEvery };

// Shows a receive error to the user and returns once it has been acknowledged.
using SocketErrorReporter = std::function<void(const char* text)>;

class CSsdpSocket final : public CSocket, public DiscoverSender, public UnicastSender {
 public:
  CSsdpSocket() = default;

  // Without an interface list (`interfaces` nullptr): a datagram socket on any address and
  // a system-chosen port. With a list (even of 0 entries): the multicast socket on port 1900,
  // joined to the group on each of the first `count` (at most 16) interfaces. False only when
  // the socket cannot be created (for the first form, also when it cannot be bound) or
  // broadcast cannot be enabled; optional options, the bind to 1900 and memberships are
  // traced when they fail and do not count.
  bool Create(const uint32_t* interfaces, uint32_t count);

  void SetListener(SsdpListener* listener) { m_listener = listener; }
  // Where receive errors are shown (the owner's window); without one they are only traced.
  void SetErrorReporter(SocketErrorReporter reporter) { m_report_error = std::move(reporter); }

  // Sends one search request for `search_target` to the group. Failures are traced only.
  void SendDiscover(const char* search_target) override;
  bool SendSearchTo(uint32_t address, const char* search_target) override;

  // Opt-in: searches to the group leave through these interfaces (IP_MULTICAST_IF per send,
  // the first `count`, at most 16) instead of the one the routing table picks. Without it,
  // the system chooses as before; once given, a list of 0 sends no search to the group (the
  // user's interfaces are all gone, and no other may stand in). Called again, the counts of
  // interfaces that stay are kept.
  void SetSearchInterfaces(const uint32_t* interfaces, uint32_t count, InterfaceSpread spread);
  [[nodiscard]] uint32_t SearchInterfaceCount() const { return m_search_interface_count; }
  [[nodiscard]] const uint32_t* SearchInterfaces() const { return m_search_interfaces; }
  // Searches to the group sent through search interface `index`.
  [[nodiscard]] uint64_t SearchesThrough(uint32_t index) const { return m_sent_through[index]; }

  // Opt-in: each read event takes every datagram already waiting, up to kReceiveBatch, in one
  // system call; each one then goes the way a single read would send it. Off (the default),
  // a read event takes one datagram.
  void SetBatchReceive(bool on);

  void OnReceive(int error) override;

  // For a re-listing of the interfaces (the dialog never re-lists): the group joined or left
  // on one link, by its index when known (an address change keeps the index; a link that is
  // gone can still be left by it), else by its address. True when the kernel agreed; a
  // failure is traced and leaves the memberships as they were.
  bool JoinGroup(uint32_t index, uint32_t address);
  bool LeaveGroup(uint32_t index, uint32_t address);
  // Replaces the host's own addresses, whose datagrams are dropped: the first `count`, at
  // most 16.
  void SetOwnAddresses(const uint32_t* addresses, uint32_t count);

  [[nodiscard]] uint32_t InterfaceCount() const { return m_interface_count; }
  [[nodiscard]] const uint32_t* Interfaces() const { return m_interfaces; }
  // Datagrams that reached this socket, whatever became of them, and searches it sent to the
  // group and to single addresses.
  [[nodiscard]] uint64_t Received() const { return m_received; }
  [[nodiscard]] uint64_t SearchesSent() const { return m_searches_sent; }
  [[nodiscard]] uint64_t UnicastSearchesSent() const { return m_unicast_sent; }

 private:
  // What becomes of one datagram taken off the socket: `length` bytes of `text` (which has
  // room for one more), cut when `too_long`.
  void Take(char* text, int length, bool too_long, const sockaddr_in& sender);
  // A receive failed: traced, shown, and the socket closed.
  void Fail();
  void Drop(DatagramOutcome reason, uint32_t address);
  // Sends the formatted request to the group; through search interface `index` unless it is
  // kNoSearchInterface.
  void SendToGroup(const char* request, int length, uint32_t index);
  bool ChangeMembership(int option, uint32_t index, uint32_t address);
  static constexpr uint32_t kNoSearchInterface = kMaxInterfaces;

  [[nodiscard]] bool IsOwnAddress(uint32_t address) const;

  SsdpListener* m_listener = nullptr;
  SocketErrorReporter m_report_error;
  uint32_t m_interfaces[kMaxInterfaces] = {};
  uint32_t m_interface_count = 0;
  uint64_t m_received = 0;
  uint64_t m_searches_sent = 0;
  uint64_t m_unicast_sent = 0;
  uint32_t m_search_interfaces[kMaxInterfaces] = {};
  uint32_t m_search_interface_count = 0;
  bool m_search_interfaces_set = false;  // SetSearchInterfaces was called
  InterfaceSpread m_spread = InterfaceSpread::kRotate;
  uint32_t m_next_search_interface = 0;
  uint64_t m_sent_through[kMaxInterfaces] = {};
  // kReceiveBatch areas of kReceiveBufferSize + 1 bytes while batch receiving is on.
  std::unique_ptr<char[]> m_batch;
};
