// CSsdpSocket: the program's UDP endpoint for SSDP. The owner keeps two: a search socket on a
// port the system chooses (created without an interface list) and the socket on port 1900,
// joined to the multicast group on every listed interface. Every datagram that is not the
// host's own goes to the listener, which gets it as writable text valid only during the call.
#pragma once

#include <cstdint>
#include <functional>

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

// Shows a receive error to the user and returns once it has been acknowledged.
using SocketErrorReporter = std::function<void(const char* text)>;

class CSsdpSocket final : public CSocket, public DiscoverSender {
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

  void OnReceive(int error) override;

  [[nodiscard]] uint32_t InterfaceCount() const { return m_interface_count; }
  [[nodiscard]] const uint32_t* Interfaces() const { return m_interfaces; }
  // Datagrams that reached this socket, whatever became of them, and searches it sent.
  [[nodiscard]] uint64_t Received() const { return m_received; }
  [[nodiscard]] uint64_t SearchesSent() const { return m_searches_sent; }

 private:
  void Drop(DatagramOutcome reason, uint32_t address);

  [[nodiscard]] bool IsOwnAddress(uint32_t address) const;

  SsdpListener* m_listener = nullptr;
  SocketErrorReporter m_report_error;
  uint32_t m_interfaces[kMaxInterfaces] = {};
  uint32_t m_interface_count = 0;
  uint64_t m_received = 0;
  uint64_t m_searches_sent = 0;
};
