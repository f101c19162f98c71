// A search is a short burst, not one request: every 50 ms tick sends from the 1900 socket,
// and once per pass (one tick per interface) from the search socket too, for three passes and
// one closing tick. Restarting during a burst starts it over on the same timer id, so there is
// never more than one burst.
#pragma once

#include <cstdint>

#include "platform/timer_table.h"
#include "ssdp/ssdp_socket.h"

class SearchSchedule {
 public:
  // `interface_count` is read at every tick; all references must outlive the schedule.
  SearchSchedule(TimerHost& timers, DiscoverSender& port_socket, DiscoverSender& ssdp_socket,
                 const uint32_t& interface_count);
  SearchSchedule(const SearchSchedule&) = delete;
  SearchSchedule& operator=(const SearchSchedule&) = delete;

  // Arms the burst: three passes, cursor at 0, timer MY_DISCOVER_ID every 50 ms.
  void StartDiscover();
  // One tick of MY_DISCOVER_ID.
  void OnSearchTick();

  [[nodiscard]] int32_t PassesLeft() const { return m_passes_left; }
  [[nodiscard]] uint32_t InterfaceCursor() const { return m_interface_cursor; }

 private:
  TimerHost& m_timers;
  DiscoverSender& m_port_socket;
  DiscoverSender& m_ssdp_socket;
  const uint32_t& m_interface_count;
  int32_t m_passes_left = -1;
  uint32_t m_interface_cursor = 0;
};
