#include "devices/discovery_session.h"

#include <memory>

#include "devices/announcement_protocol.h"
#include "devices/device_record.h"
#include "devices/device_snapshot.h"
#include "http/get_url.h"
#include "platform/trace.h"
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
  m_announcements.Boots().Forget(usn);
  ++m_counters.devices_forgotten;
  return true;
}

bool DiscoverySession::Restore(const DeviceSnapshot& device) {
  if (device.usn.empty() || m_registry.FindByUsn(device.usn.c_str()) != nullptr) return false;
  auto record = std::make_unique<DeviceRecord>();
  RestoreRecord(device, *record);
  if (!m_registry.Restore(*record)) return false;
  record.release();  // its row owns it now
  if (!device.boot_id.empty()) {
    m_announcements.Boots().Observe(device.usn, device.address, device.boot_id);
  }
  if (m_liveness) m_liveness->Restored(device.usn, device.address);
  return true;
}

void DiscoverySession::FollowLiveness(DeviceLiveness::Refetch refetch, LivenessPolicy policy) {
  m_liveness = std::make_unique<DeviceLiveness>(
      m_registry, m_events, m_services.boot_clock ? *m_services.boot_clock : m_own_boot_clock,
      m_control.m_probe_socket, std::move(refetch),
      [this](uint32_t address) {
        const int index = m_control.InterfaceOf(address);
        return index < 0 ? std::string() : m_control.InterfaceName(static_cast<uint32_t>(index));
      },
      [this] {
        std::vector<std::string> names;
        for (uint32_t i = 0; i < m_control.InterfaceCount(); ++i) {
          names.push_back(m_control.InterfaceName(i));
        }
        return names;
      },
      policy);
  m_announcements.SetLiveness(m_liveness.get());
}

const char* DiscoverySession::Open(SsdpListener* listener) {
  m_listener = listener;
  const char* failure = m_control.Open(&m_socket_listener, m_services.report_error);
  if (failure == nullptr && m_liveness && !m_control.OpenProbeSocket(&m_probe_listener)) {
    // Devices are then asked only for their descriptions.
    Trace("m_probe_socket.Create failed");
  }
  return failure;
}

DiscoveryCounters DiscoverySession::Counters() const {
  DiscoveryCounters counters = m_counters;
  const auto at = [](SsdpSocketId id) { return static_cast<std::size_t>(id); };
  counters.received[at(SsdpSocketId::kPort1900)] = m_control.m_ssdp_socket.Received();
  counters.received[at(SsdpSocketId::kSearchSocket)] = m_control.m_port_socket.Received();
  counters.searches[at(SsdpSocketId::kPort1900)] = m_control.m_ssdp_socket.SearchesSent();
  counters.searches[at(SsdpSocketId::kSearchSocket)] = m_control.m_port_socket.SearchesSent();
  counters.searches_unicast = m_control.m_port_socket.UnicastSearchesSent();
  if (m_liveness) {
    // The probe socket sends a watch's unicast searches besides the devices' questions.
    counters.searches_unicast +=
        m_control.m_probe_socket.UnicastSearchesSent() - m_liveness->SearchesSent();
  }
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
  if (m_liveness) {
    counters.probes = m_liveness->Outcomes();
    counters.probe_searches = m_liveness->SearchesSent();
    for (const MulticastPath& path : m_liveness->Paths()) {
      counters.multicast_paths.emplace_back(path.interface, path.up);
    }
  }
  return counters;
}

void DiscoverySession::SocketListener::OnReceive(char* text, uint32_t address) {
  if (m_session.m_listener == nullptr) return;
  // The front end hands the datagram back to OnReceive, which tells announcements how it came.
  m_session.m_receiving_via = m_via;
  m_session.m_listener->OnReceive(text, address);
  m_session.m_receiving_via = HeardVia::kGroup;
}

void DiscoverySession::SocketListener::OnDropped(DatagramOutcome reason, uint32_t address) {
  m_session.m_counters.Count(reason);
  if (m_session.m_listener != nullptr) m_session.m_listener->OnDropped(reason, address);
}

void DiscoverySession::Search() {
  m_registry.ResetForSearch(m_keep_validity_on_search);
  if (m_liveness) m_liveness->AskGone();
  m_blocking.BeginBurst();
  m_control.StartDiscover();
}

void DiscoverySession::StartExpiry(int period_ms) {
  m_timers.SetTimer(MY_EXPIRY_ID, period_ms);
}

void DiscoverySession::OnTimer(int id) {
  if (id == MY_EXPIRY_ID) {
    if (m_liveness) {
      m_liveness->Sweep();
    } else {
      m_registry.ExpirySweep();
    }
  } else if (id == MY_DISCOVER_ID) {
    const bool searching = m_control.Searching();
    m_control.OnSearchTick();
    if (searching && !m_control.Searching()) m_blocking.EndBurst();
  }
}
