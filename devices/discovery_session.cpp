#include "devices/discovery_session.h"

#include "devices/announcement_protocol.h"
#include "http/get_url.h"
#include "ssdp/ssdp_protocol.h"

DiscoverySession::DiscoverySession(DeviceRows& rows, SessionServices services)
    : m_services(std::move(services)),
      m_fetch_url(m_services.fetch_url ? m_services.fetch_url : UrlFetcher(GetUrl)),
      m_blocking(m_fetch_url, m_services.steady_clock ? *m_services.steady_clock : m_steady_clock),
      m_timers([this](int id) {
        if (m_services.on_timer) {
          m_services.on_timer(id);
        } else {
          OnTimer(id);
        }
      }),
      m_control(m_timers, m_services.interfaces),
      m_registry(rows, m_services.clock ? *m_services.clock : m_system_clock, &m_events),
      m_announcements(m_registry, m_services.tones ? *m_services.tones : m_silence,
                      m_services.descriptions ? *m_services.descriptions : m_blocking,
                      m_services.beep_ticked ? m_services.beep_ticked
                                             : std::function<bool()>([] { return false; }),
                      &m_counters, &m_events) {
  m_announcements.SetMaxDevices(kDefaultMaxDevices);
}

bool DiscoverySession::Forget(const std::string& usn) {
  if (!m_registry.Forget(usn.c_str())) return false;
  ++m_counters.devices_forgotten;
  return true;
}

const char* DiscoverySession::Open(SsdpListener* listener) {
  m_listener = listener;
  return m_control.Open(&m_socket_listener, m_services.report_error);
}

DiscoveryCounters DiscoverySession::Counters() const {
  DiscoveryCounters counters = m_counters;
  const auto at = [](SsdpSocketId id) { return static_cast<std::size_t>(id); };
  counters.received[at(SsdpSocketId::kPort1900)] = m_control.m_ssdp_socket.Received();
  counters.received[at(SsdpSocketId::kSearchSocket)] = m_control.m_port_socket.Received();
  counters.searches[at(SsdpSocketId::kPort1900)] = m_control.m_ssdp_socket.SearchesSent();
  counters.searches[at(SsdpSocketId::kSearchSocket)] = m_control.m_port_socket.SearchesSent();
  counters.searches_unicast = m_control.m_port_socket.UnicastSearchesSent();
  // Per interface only where searches were sent through a chosen one (--interface).
  const auto through = [](const CSsdpSocket& socket) {
    std::vector<std::pair<uint32_t, uint64_t>> counts;
    for (uint32_t i = 0; i < socket.SearchInterfaceCount(); ++i) {
      counts.emplace_back(socket.SearchInterfaces()[i], socket.SearchesThrough(i));
    }
    return counts;
  };
  counters.searches_through[at(SsdpSocketId::kPort1900)] = through(m_control.m_ssdp_socket);
  counters.searches_through[at(SsdpSocketId::kSearchSocket)] = through(m_control.m_port_socket);
  return counters;
}

void DiscoverySession::SocketListener::OnReceive(char* text, uint32_t address) {
  if (m_session.m_listener != nullptr) m_session.m_listener->OnReceive(text, address);
}

void DiscoverySession::SocketListener::OnDropped(DatagramOutcome reason, uint32_t address) {
  m_session.m_counters.Count(reason);
  if (m_session.m_listener != nullptr) m_session.m_listener->OnDropped(reason, address);
}

void DiscoverySession::Search() {
  m_registry.ResetForSearch(m_keep_validity_on_search);
  m_blocking.BeginBurst();
  m_control.StartDiscover();
}

void DiscoverySession::StartExpiry(int period_ms) {
  m_timers.SetTimer(MY_EXPIRY_ID, period_ms);
}

void DiscoverySession::OnTimer(int id) {
  if (id == MY_EXPIRY_ID) {
    m_registry.ExpirySweep();
  } else if (id == MY_DISCOVER_ID) {
    const bool searching = m_control.Searching();
    m_control.OnSearchTick();
    if (searching && !m_control.Searching()) m_blocking.EndBurst();
  }
}
