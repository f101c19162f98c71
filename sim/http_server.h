// The simulator's HTTP server: non-blocking listening sockets (one per port, or one per
// device address and port with --spread) and any number of connections, each answering one
// request and then closing. Its sockets are registered with the simulator's epoll instance;
// the simulator hands back the events whose key has kHttpKeyTag. Owns its sockets;
// single-threaded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sim/device_set.h"
#include "sim/sim_options.h"
#include "sim/unique_fd.h"

namespace sim {

// epoll keys: the top byte says whose descriptor it is, the rest which one.
inline constexpr uint64_t kKeyTagShift = 56;
inline constexpr uint64_t kKeyIndexMask = (uint64_t{1} << kKeyTagShift) - 1;
inline constexpr uint64_t kHttpListenerTag = 1;
inline constexpr uint64_t kHttpConnectionTag = 2;

struct HttpCounters {
  uint64_t connections = 0;
  uint64_t requests = 0;  // answered requests of every kind
  uint64_t descriptions = 0;
  uint64_t pages = 0;  // device pages and the index
  uint64_t backups = 0;
  uint64_t pings = 0;
  uint64_t not_found = 0;
  uint64_t bad = 0;      // malformed, too long or not GET
  uint64_t hung = 0;     // connections of --hung devices, never answered
  uint64_t delayed = 0;  // answers held back by --http-delay or --http-jitter
};

class HttpServer {
 public:
  HttpServer(const DeviceSet& devices, const SimOptions& options);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // The epoll instance to register sockets with; set before Listen.
  void Attach(int epoll_fd) { m_epoll = epoll_fd; }
  // Listens on address:port for `device` (nullptr: for every device). Returns true when
  // listening; false with the reason in `error` and nothing changed.
  bool Listen(const in_addr& address, uint16_t port, const Device* device, std::string& error);

  // Handles an epoll event whose key carries one of our tags.
  void OnEvent(uint64_t key, uint32_t events, int64_t now_ms);
  // Runs what is due by now_ms: delayed answers, dripped bytes, ends of lingering.
  void OnTimers(int64_t now_ms);
  // The next time OnTimers has work, or INT64_MAX.
  [[nodiscard]] int64_t NextDeadline() const;
  // Frees connections closed since the last call; call after each batch of events, so that no
  // event of the batch refers to a freed connection.
  void Sweep();

  [[nodiscard]] const HttpCounters& Counters() const { return m_counters; }
  [[nodiscard]] size_t OpenConnections() const { return m_connections.size(); }

 private:
  struct Connection;
  struct Listener {
    UniqueFd fd;
    uint16_t port;
    const Device* device;
  };
  using Timer = std::pair<int64_t, uint64_t>;  // due, connection id

  void Accept(Listener& listener, int64_t now_ms);
  void OnReadable(Connection& c, int64_t now_ms);
  void OnWritable(Connection& c, int64_t now_ms);
  void Answer(Connection& c, int64_t now_ms);
  void StartWriting(Connection& c, int64_t now_ms);
  void FinishWriting(Connection& c, int64_t now_ms);
  void Close(Connection& c);
  void SetTimer(Connection& c, int64_t due);
  // Registers the connection for what its state waits on, when that changed.
  void Rearm(Connection& c);
  void PauseListeners(bool pause);

  const DeviceSet& m_devices;
  const SimOptions& m_options;
  int m_epoll = -1;
  std::vector<Listener> m_listeners;
  bool m_listeners_paused = false;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> m_connections;
  std::vector<uint64_t> m_closed;
  uint64_t m_next_id = 1;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> m_timers;
  std::mt19937 m_random;
  HttpCounters m_counters;
};

}  // namespace sim
