// The SSDP side of discovery, shared by the dialog and the scanner: the table of usable
// interfaces, the search socket, the socket on port 1900 and the search burst. The owner
// supplies the listener for datagrams and the timers; it dispatches MY_DISCOVER_ID ticks to
// OnSearchTick.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/netlink_messages.h"
#include "platform/network_interfaces.h"
#include "platform/timer_table.h"
#include "ssdp/search_schedule.h"
#include "ssdp/ssdp_socket.h"

// How the host's interfaces are found; tests replace it.
struct InterfaceSource {
  std::function<bool()> probe = ProbeDatagramSocket;
  std::function<bool(std::vector<InterfaceEntry>&)> list = ListIpv4Interfaces;
};

class ControlPoint {
 public:
  explicit ControlPoint(TimerHost& timers, InterfaceSource source = {});
  ControlPoint(const ControlPoint&) = delete;
  ControlPoint& operator=(const ControlPoint&) = delete;

  // Lists the usable interfaces and creates both sockets, handing datagrams to `listener`
  // and receive errors to `reporter`. Returns nullptr on success, or the text of the failure
  // that must stop start-up (the sockets created so far stay as they are).
  const char* Open(SsdpListener* listener, SocketErrorReporter reporter);

  void StartDiscover() {
    if (m_multicast_search) m_schedule.StartDiscover();
    if (m_on_search) m_on_search();
  }
  void OnSearchTick() { m_schedule.OnSearchTick(); }
  // A burst is under way: not all of its searches have gone out.
  [[nodiscard]] bool Searching() const { return m_schedule.PassesLeft() >= 0; }

  // Settings only the scanner uses; the dialog's burst stays as it is without them.
  // Off: StartDiscover arms no multicast burst (the hook still runs).
  void SetMulticastSearch(bool on) { m_multicast_search = on; }
  // Runs at every StartDiscover: the scanner's unicast searches start with each burst.
  void SetOnSearch(std::function<void()> hook) { m_on_search = std::move(hook); }
  // After Open: searches to the group leave through each listed interface rather than the
  // one the routing table picks; the 1900 socket's in turn (the burst sends once per
  // interface per pass), the search socket's through all of them at every send.
  void SearchThroughInterfaces();
  // Both sockets take every waiting datagram per read event (see CSsdpSocket); the dialog
  // keeps one read per event.
  void SetBatchReceive(bool on) {
    m_port_socket.SetBatchReceive(on);
    m_ssdp_socket.SetBatchReceive(on);
  }

  // For the modes that run for long (the dialog lists its interfaces once, at Open): lists
  // the interfaces again and applies the difference. Links that got a usable address (up,
  // not loopback) are joined to the group on the 1900 socket, links left without one are
  // left; the host's own addresses and, after SearchThroughInterfaces, the interfaces
  // searched through follow; the first 16 are used, as at Open. True when an address is new
  // or its link got its carrier back: worth a search at once. A listing that fails changes
  // nothing and gives false.
  bool RefreshInterfaces();
  // Whether a kernel notification can change what RefreshInterfaces would find: a link of
  // the table that went down, was deleted or changed its carrier, another link that came up,
  // an address added, or one of the table removed.
  [[nodiscard]] bool Concerns(const InterfaceChange& change) const;

  [[nodiscard]] uint32_t InterfaceCount() const { return m_interface_count; }
  [[nodiscard]] const uint32_t* Interfaces() const { return m_interfaces; }
  // The name of interface `index` (< InterfaceCount) as `ip link` shows it; "" when unknown.
  [[nodiscard]] const std::string& InterfaceName(uint32_t index) const {
    return m_links[index].name;
  }
  // The interface that datagrams to `address` (network byte order) leave through, as the
  // routing table says, or -1 when none of the table's does.
  [[nodiscard]] int InterfaceOf(uint32_t address) const;

  // For the modes that ask quiet devices directly: a third socket, on a port of its own, whose
  // unicast searches are answered to it alone, so that those answers are told apart from the
  // answers to the searches sent to the group. Call after Open; false when it cannot be made.
  bool OpenProbeSocket(SsdpListener* listener);

  CSsdpSocket m_port_socket;
  CSsdpSocket m_ssdp_socket;
  CSsdpSocket m_probe_socket;  // open only after OpenProbeSocket

 private:
  // What the table knows of the link an address is on.
  struct Link {
    uint32_t index = 0;  // 0: unknown, the address stands for its link
    bool running = true;
    std::string name;
  };

  // Fills the interface table; false when the system cannot list the interfaces.
  bool ListUsableInterfaces();
  [[nodiscard]] const Link* FindLink(uint32_t index) const;

  InterfaceSource m_source;
  uint32_t m_interfaces[kMaxInterfaces] = {};
  Link m_links[kMaxInterfaces] = {};  // the link of each address in m_interfaces
  uint32_t m_interface_count = 0;
  bool m_search_through = false;
  SearchSchedule m_schedule;
  bool m_multicast_search = true;
  std::function<void()> m_on_search;
};
