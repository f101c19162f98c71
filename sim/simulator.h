// The simulator's single-threaded epoll loop: one SSDP socket (port 1900 on every local
// address, joined to the group on the chosen address) for every device, the HTTP server,
// and timers for alive rounds and delayed answers. Each datagram is sent from its device's
// address (IP_PKTINFO), which with --spread is the device's own. Owns every socket; Run()
// returns after SIGINT or SIGTERM.
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
#include "sim/ssdp_messages.h"
#include "sim/unique_fd.h"

namespace sim {

struct SsdpCounters {
  uint64_t searches = 0;            // searches answered by at least one device
  uint64_t searches_unicast = 0;    // M-SEARCH datagrams received on a unicast address
  uint64_t searches_multicast = 0;  // M-SEARCH datagrams received on the group
  uint64_t ignored = 0;             // datagrams that were not a search for our devices
  uint64_t responses = 0;
  uint64_t alive = 0;
  uint64_t byebye = 0;
  uint64_t send_errors = 0;
  uint64_t reboots = 0;  // SIGUSR2 received
  uint64_t updates = 0;  // ssdp:update datagrams sent
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

  // Raises the soft limit of open files to the hard one, then opens the SSDP and HTTP
  // sockets and the signal pipe. Returns true when the simulator can
  // run; false with the reason in `error` (sockets opened so far are closed on destruction).
  bool Start(std::string& error);
  // Announces the devices and serves until SIGINT or SIGTERM, then says byebye. SIGUSR1
  // prints the counts; SIGHUP adds 1 to the config id and announces again; SIGUSR2 reboots
  // every device (see Reboot).
  void Run();
  // One line of counts, "summary: key=value ...", or "counts: ..." for a SIGUSR1 report.
  [[nodiscard]] std::string CountsLine(const char* label) const;

 private:
  enum class Kind { kResponse, kAlive, kByebye, kUpdate };
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

  bool OpenSsdp(std::string& error);
  bool OpenHttp(std::string& error);
  // Returns false when the simulator should stop.
  bool OnSignals();
  void OnSsdpReadable(int64_t now_ms);
  // `to` is the datagram's destination: the group, or one of our unicast addresses.
  void HandleDatagram(std::string_view data, const sockaddr_in& from, in_addr to, int64_t now_ms);
  void WatchSsdpOutput();
  void QueueResponse(const Device& device, const sockaddr_in& to, const std::string& st);
  void QueueAliveRound();
  // The next boot id for every device, no byebye, and an alive round at once; with
  // --planned-reboot an ssdp:update announcing the new id goes first.
  void Reboot();
  void Flush();
  bool SendOne(const Outgoing& out);
  void SayByebye();
  void CountSent(const Outgoing& out);

  const SimOptions& m_options;
  std::string m_address;
  in_addr m_addr{};
  std::string m_cache_control;
  std::string m_http_ports;  // "8080 80"
  DeviceSet m_devices;
  HttpServer m_http;
  IdFields m_ids;
  UniqueFd m_epoll;
  UniqueFd m_ssdp;
  bool m_ssdp_watching_output = false;
  UniqueFd m_signal_read;
  std::deque<Outgoing> m_queue;
  std::priority_queue<Delayed, std::vector<Delayed>, std::greater<>> m_delayed;
  uint64_t m_seq = 0;
  std::mt19937 m_random;
  int64_t m_next_alive = 0;
  SsdpCounters m_counters;
};

}  // namespace sim
