#include "devices/discovery_session.h"

#include "http/get_url.h"
#include "ssdp/ssdp_protocol.h"

DiscoverySession::DiscoverySession(DeviceRows& rows, SessionServices services)
    : m_services(std::move(services)),
      m_timers([this](int id) {
        if (m_services.on_timer) {
          m_services.on_timer(id);
        } else {
          OnTimer(id);
        }
      }),
      m_control(m_timers, m_services.interfaces),
      m_registry(rows, m_services.clock ? *m_services.clock : m_system_clock),
      m_announcements(m_registry, m_services.tones ? *m_services.tones : m_silence,
                      m_services.fetch_url ? m_services.fetch_url : UrlFetcher(GetUrl),
                      m_services.beep_ticked ? m_services.beep_ticked
                                             : std::function<bool()>([] { return false; })) {}

const char* DiscoverySession::Open(SsdpListener* listener) {
  return m_control.Open(listener, m_services.report_error);
}

void DiscoverySession::Search() {
  m_registry.ResetForSearch();
  m_control.StartDiscover();
}

void DiscoverySession::StartExpiry() {
  m_timers.SetTimer(MY_EXPIRY_ID, kExpiryPeriodMs);
}

void DiscoverySession::OnTimer(int id) {
  if (id == MY_EXPIRY_ID) {
    m_registry.ExpirySweep();
  } else if (id == MY_DISCOVER_ID) {
    m_control.OnSearchTick();
  }
}
