// The simulator's HTTP server: one non-blocking listening socket per port, shared by all
// devices, and any number of connections, each answering one request and then closing.
// Driven by the simulator's poll loop; owns its sockets; single-threaded.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/device_set.h"
#include "sim/sim_options.h"
#include "sim/unique_fd.h"

namespace sim {

struct HttpCounters {
  uint64_t connections = 0;
  uint64_t requests = 0;  // answered requests of every kind
  uint64_t descriptions = 0;
  uint64_t pages = 0;  // device pages and the index
  uint64_t backups = 0;
  uint64_t pings = 0;
  uint64_t not_found = 0;
  uint64_t bad = 0;  // malformed, too long or not GET
};

class HttpServer {
 public:
  HttpServer(const DeviceSet& devices, const SimOptions& options);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // Listens on address:port. Returns true when listening; false with the reason in `error`
  // and nothing changed.
  bool Listen(const std::string& address, uint16_t port, std::string& error);

  // Appends the descriptors to wait for and lowers `deadline_ms` to the next drip or linger
  // time. HandlePoll takes the same descriptors back, in the same order, after poll().
  void CollectPollFds(std::vector<pollfd>& fds, int64_t& deadline_ms);
  void HandlePoll(const pollfd* fds, int64_t now_ms);

  [[nodiscard]] const HttpCounters& Counters() const { return m_counters; }
  [[nodiscard]] size_t OpenConnections() const { return m_connections.size(); }

 private:
  struct Connection;
  struct Listener {
    UniqueFd fd;
    uint16_t port;
  };

  void Accept(Listener& listener, int64_t now_ms);
  void OnReadable(Connection& c, int64_t now_ms);
  void OnWritable(Connection& c, int64_t now_ms);
  void Answer(Connection& c, int64_t now_ms);
  void FinishWriting(Connection& c, int64_t now_ms);

  const DeviceSet& m_devices;
  const SimOptions& m_options;
  std::vector<Listener> m_listeners;
  std::vector<std::unique_ptr<Connection>> m_connections;
  size_t m_polled_connections = 0;  // how many connections the last CollectPollFds listed
  HttpCounters m_counters;
};

}  // namespace sim
