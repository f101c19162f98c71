#include "ssdp/search_schedule.h"

#include "platform/trace.h"

SearchSchedule::SearchSchedule(TimerHost& timers, DiscoverSender& port_socket,
                               DiscoverSender& ssdp_socket, const uint32_t& interface_count)
    : m_timers(timers),
      m_port_socket(port_socket),
      m_ssdp_socket(ssdp_socket),
      m_interface_count(interface_count) {}

void SearchSchedule::StartDiscover() {
  m_passes_left = kSearchPasses;
  m_interface_cursor = 0;
  Trace("SetTimer(MY_DISCOVER_ID)");
  m_timers.SetTimer(MY_DISCOVER_ID, kDiscoverPeriodMs);
}

void SearchSchedule::OnSearchTick() {
  Trace("OnTimer(MY_DISCOVER_ID)");
  if (m_interface_cursor >= m_interface_count) {
    m_port_socket.SendDiscover(SEARCH_TARGET);
    m_interface_cursor = 0;
    m_passes_left = m_passes_left - 1;
  }
  if (m_passes_left < 0) {
    Trace("KillTimer(MY_DISCOVER_ID)");
    m_timers.KillTimer(MY_DISCOVER_ID);
  } else {
    m_ssdp_socket.SendDiscover(SEARCH_TARGET);
    m_interface_cursor = m_interface_cursor + 1;
  }
}
