#include "ssdp/control_point.h"

#include <algorithm>

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

bool ControlPoint::OpenProbeSocket(SsdpListener* listener) {
  if (!m_probe_socket.Create(nullptr, 0)) return false;
  m_probe_socket.SetListener(listener);
  m_probe_socket.SetOwnAddresses(m_interfaces, m_interface_count);
  return true;
}

int ControlPoint::InterfaceOf(uint32_t address) const {
  const uint32_t source = SourceAddressFor(address);
  const uint32_t* found = std::find(m_interfaces, m_interfaces + m_interface_count, source);
  return source != 0 && found != m_interfaces + m_interface_count
             ? static_cast<int>(found - m_interfaces)
             : -1;
}

void ControlPoint::SearchThroughInterfaces() {
  m_search_through = true;
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
    m_links[m_interface_count] = {entry.index, entry.running, entry.name};
    m_interfaces[m_interface_count++] = entry.address;
  }
  return true;
}

bool ControlPoint::RefreshInterfaces() {
  std::vector<InterfaceEntry> entries;
  if (!m_source.list(entries)) {
    Trace("RefreshInterfaces: the interfaces cannot be listed");
    return false;
  }
  uint32_t addresses[kMaxInterfaces] = {};
  Link links[kMaxInterfaces] = {};
  uint32_t count = 0;
  for (const InterfaceEntry& entry : entries) {
    if (entry.loopback || !entry.up || count == kMaxInterfaces) continue;
    addresses[count] = entry.address;
    links[count++] = {entry.index, entry.running, entry.name};
  }
  // A membership belongs to a link; a link with several addresses holds one.
  const auto same_link = [](uint32_t a_address, Link a, uint32_t b_address, Link b) {
    return a.index != 0 || b.index != 0 ? a.index == b.index : a_address == b_address;
  };
  const auto holds = [&](const uint32_t* in_addresses, const Link* in_links, uint32_t in_count,
                         uint32_t address, Link link) {
    for (uint32_t i = 0; i < in_count; ++i) {
      if (same_link(in_addresses[i], in_links[i], address, link)) return true;
    }
    return false;
  };
  // Left first: a socket holds only so many memberships (igmp_max_memberships).
  for (uint32_t i = 0; i < m_interface_count; ++i) {
    if (holds(m_interfaces, m_links, i, m_interfaces[i], m_links[i]) ||
        holds(addresses, links, count, m_interfaces[i], m_links[i])) {
      continue;
    }
    m_ssdp_socket.LeaveGroup(m_links[i].index, m_interfaces[i]);
  }
  bool worth_searching = false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t* before =
        std::find(m_interfaces, m_interfaces + m_interface_count, addresses[i]);
    const bool known = before != m_interfaces + m_interface_count;
    if (!known || (!m_links[before - m_interfaces].running && links[i].running)) {
      worth_searching = true;
    }
    if (!holds(addresses, links, i, addresses[i], links[i]) &&
        !holds(m_interfaces, m_links, m_interface_count, addresses[i], links[i])) {
      m_ssdp_socket.JoinGroup(links[i].index, addresses[i]);
    }
  }
  std::copy(addresses, addresses + count, m_interfaces);
  std::move(links, links + count, m_links);
  m_interface_count = count;
  m_ssdp_socket.SetOwnAddresses(m_interfaces, m_interface_count);
  if (m_probe_socket.IsOpen()) m_probe_socket.SetOwnAddresses(m_interfaces, m_interface_count);
  if (m_search_through) SearchThroughInterfaces();
  return worth_searching;
}

bool ControlPoint::Concerns(const InterfaceChange& change) const {
  switch (change.kind) {
    case InterfaceChangeKind::kAddressAdded:
      return true;
    case InterfaceChangeKind::kAddressRemoved:
      return FindLink(change.index) != nullptr ||
             std::find(m_interfaces, m_interfaces + m_interface_count, change.address) !=
                 m_interfaces + m_interface_count;
    case InterfaceChangeKind::kLinkDeleted:
      return FindLink(change.index) != nullptr;
    case InterfaceChangeKind::kLinkNew:
      break;
  }
  if (change.loopback) return false;
  // The kernel tells of every change of a link (a wireless scan, a new MTU): only up, down
  // and the carrier matter here.
  const Link* known = FindLink(change.index);
  if (known == nullptr) return change.up;
  return !change.up || change.running != known->running;
}

const ControlPoint::Link* ControlPoint::FindLink(uint32_t index) const {
  for (uint32_t i = 0; i < m_interface_count; ++i) {
    if (index != 0 && m_links[i].index == index) return &m_links[i];
  }
  return nullptr;
}
