#include "ssdp/control_point.h"

#include "platform/dotted_address.h"
#include "platform/trace.h"

ControlPoint::ControlPoint(TimerHost& timers, InterfaceSource source)
    : m_source(std::move(source)),
      m_schedule(timers, m_port_socket, m_ssdp_socket, m_interface_count) {}

const char* ControlPoint::Open(SsdpListener* listener, SocketErrorReporter reporter) {
  if (!m_source.probe()) return "WSASocket failed";
  if (!ListUsableInterfaces()) return "m_ssdp_socket.SIO_GET_INTERFACE_LIST failed";
  if (!m_port_socket.Create(nullptr, 0)) return "m_port_socket.Create failed";
  m_port_socket.SetListener(listener);
  m_port_socket.SetErrorReporter(reporter);
  if (!m_ssdp_socket.Create(m_interfaces, m_interface_count)) return "m_ssdp_socket.Create failed";
  m_ssdp_socket.SetListener(listener);
  m_ssdp_socket.SetErrorReporter(std::move(reporter));
  return nullptr;
}

void ControlPoint::SearchThroughInterfaces() {
  m_ssdp_socket.SetSearchInterfaces(m_interfaces, m_interface_count, InterfaceSpread::kRotate);
  m_port_socket.SetSearchInterfaces(m_interfaces, m_interface_count, InterfaceSpread::kEvery);
}

bool ControlPoint::ListUsableInterfaces() {
  std::vector<InterfaceEntry> entries;
  m_interface_count = 0;
  if (!m_source.list(entries)) return false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const InterfaceEntry& entry = entries[i];
    if (entry.loopback || !entry.up) continue;
    char text[kDottedAddressSize];
    FormatDottedAddress(entry.address, text);
    // Hosts with many bridges or tunnels must still start: the first 16 are used.
    if (m_interface_count == kMaxInterfaces) {
      Trace("Interface %d : %s not used (only %u are)", static_cast<int>(i), text, kMaxInterfaces);
      continue;
    }
    Trace("Found Interface %d : %s", static_cast<int>(i), text);
    m_interfaces[m_interface_count++] = entry.address;
  }
  return true;
}
