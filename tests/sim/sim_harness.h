// Test harness for the simulator: starts tarovue-sim in the devices namespace of a private
// network and talks to it from the client namespace with plain sockets, independent of
// Tarovue's own SSDP and HTTP code. Datagrams and requests are built from sim_protocol.h.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "tests/net/private_network.h"

namespace simtest {

struct Datagram {
  std::string text;
  std::string from;  // "a.b.c.d"
  uint16_t from_port = 0;
};

struct HttpResult {
  std::string bytes;
  bool closed = false;  // the server closed the connection before the time-out
};

// "$TAROVUE_BUILD_DIR/tarovue-sim", or the built target's path without that variable.
std::string SimPath();
// A file of tests/sim in the source tree, found through $TAROVUE_SOURCE_DIR or the build.
std::string TestScript(const std::string& name);

// An M-SEARCH for `st` with the MX value given (no MX line when mx < 0).
std::string SearchRequest(const std::string& st, int mx);

// Value of header `name` (any case) in a datagram or HTTP head, trimmed; "<absent>" if none.
std::string Header(const std::string& message, const std::string& name);

// A UDP socket in the calling thread's namespace, bound to any address and `port` (0: the
// system's choice), with a large receive buffer; joined to the SSDP group on `join_on` when
// that is not empty. Closed on destruction.
class UdpSocket {
 public:
  explicit UdpSocket(uint16_t port = 0, const std::string& join_on = "");
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  [[nodiscard]] bool ok() const { return m_fd >= 0; }
  [[nodiscard]] uint16_t Port() const;
  bool SendTo(const std::string& text, const std::string& address, uint16_t port);
  // Every datagram that arrives within window_ms (counted from the call); stops early once
  // `enough` have arrived.
  std::vector<Datagram> Collect(int window_ms, size_t enough = SIZE_MAX);

 private:
  int m_fd = -1;
};

// The datagrams of `all` whose NTS is `nts`.
std::vector<Datagram> WithNts(const std::vector<Datagram>& all, const char* nts);

// Sends the bare "GET path HTTP/1.1" request with no header field and reads until the server
// closes or timeout_ms pass.
HttpResult HttpGet(const std::string& address, uint16_t port, const std::string& path,
                   int timeout_ms = 3000);

// Body of an HTTP response: everything after the first empty line.
std::string Body(const std::string& response);

// Fixture: a private network with the test thread in the client namespace, and a helper to
// start the simulator on the devices side. Skips when the network cannot be built.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Starts the simulator with `args` plus --address (`address`, or the devices side's own
  // when empty); waits for its "ready:" line.
  pid_t StartSim(std::vector<std::string> args, const std::string& address = "");
  std::string DevicesAddress() const { return net.Address(testnet::Side::kDevices); }

  testnet::PrivateNetwork net;
};

}  // namespace simtest
