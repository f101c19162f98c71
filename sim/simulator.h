// The simulator's single-threaded poll() loop: one SSDP socket (port 1900, joined to the
// group on the chosen address) for every device, the HTTP server, and timers for alive
// rounds and delayed answers. Owns every socket; Run() returns after SIGINT or SIGTERM.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "sim/device_set.h"
#include "sim/http_server.h"
#include "sim/sim_options.h"
#include "sim/unique_fd.h"

namespace sim {

struct SsdpCounters {
  uint64_t searches = 0;  // searches answered by at least one device
  uint64_t ignored = 0;   // datagrams that were not a search for our devices
  uint64_t responses = 0;
  uint64_t alive = 0;
  uint64_t byebye = 0;
  uint64_t send_errors = 0;
};

// The address to use when none was given: the host's only non-loopback IPv4 address that is
// up. Returns true with `address` set; false with the reason in `error`.
bool PickAddress(std::string& address, std::string& error);

class Simulator {
 public:
  Simulator(const SimOptions& options, const std::string& address);
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  ~Simulator();

  // Opens the SSDP and HTTP sockets and the signal pipe. Returns true when the simulator can
  // run; false with the reason in `error` (sockets opened so far are closed on destruction).
  bool Start(std::string& error);
  // Announces the devices and serves until SIGINT or SIGTERM, then says byebye.
  void Run();
  // One line of counts, "summary: key=value ...", or "counts: ..." for a SIGUSR1 report.
  [[nodiscard]] std::string CountsLine(const char* label) const;

 private:
  enum class Kind { kResponse, kAlive, kByebye };
  struct Outgoing {
    std::string data;
    sockaddr_in to;
    Kind kind;
    const Device* device;
  };
  struct Delayed {
    int64_t due;
    uint64_t seq;  // keeps equal due times in arrival order
    const Device* device;
    sockaddr_in to;
    std::shared_ptr<const std::string> st;
    bool operator>(const Delayed& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };

  void OnSsdpReadable(int64_t now_ms);
  void HandleDatagram(std::string_view data, const sockaddr_in& from, int64_t now_ms);
  void QueueResponse(const Device& device, const sockaddr_in& to, const std::string& st);
  void QueueAliveRound();
  void Flush();
  bool SendOne(const Outgoing& out);
  void SayByebye();
  void CountSent(const Outgoing& out);

  const SimOptions& m_options;
  std::string m_address;
  in_addr m_addr{};
  std::string m_cache_control;
  DeviceSet m_devices;
  HttpServer m_http;
  UniqueFd m_ssdp;
  UniqueFd m_signal_read;
  std::deque<Outgoing> m_queue;
  std::priority_queue<Delayed, std::vector<Delayed>, std::greater<>> m_delayed;
  uint64_t m_seq = 0;
  std::mt19937 m_random;
  int64_t m_next_alive = 0;
  SsdpCounters m_counters;
};

}  // namespace sim
