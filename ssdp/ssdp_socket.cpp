#include "ssdp/ssdp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <algorithm>
#include <cerrno>

#include "net/socket_error.h"
#include "platform/dotted_address.h"
#include "platform/error_text.h"
#include "platform/trace.h"

namespace {

static_assert(kReceiveBatch <= CSocket::kMaxBatch);

const char* Dotted(uint32_t address, char (&out)[kDottedAddressSize]) {
  FormatDottedAddress(address, out);
  return out;
}

sockaddr_in GroupAddress() {
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
  return group;
}

// Asks for kSocketReceiveBufferBytes: beyond net.core.rmem_max when privileged, else up to
// that limit. Failure only leaves the smaller buffer, so discovery goes on either way.
void EnlargeReceiveBuffer(CAsyncSocket& socket) {
  const int wanted = kSocketReceiveBufferBytes;
  if (!socket.SetSockOpt(SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) &&
      !socket.SetSockOpt(SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted)) {
    Trace("SO_RCVBUF failed(%s)", ErrorText(GetLastSocketError()));
  }
  // The system reports twice what it grants for data, the rest being its own bookkeeping.
  int granted = 0;
  socklen_t length = sizeof granted;
  if (::getsockopt(socket.Handle(), SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0) {
    Trace("SO_RCVBUF=%d", granted);
  }
}

}  // namespace

bool CSsdpSocket::Create(const uint32_t* interfaces, uint32_t count) {
  Trace("CSsdpSocket::Create()");
  m_interface_count = 0;
  if (interfaces == nullptr) {
    if (!CSocket::Create(0, SOCK_DGRAM, kEventAll)) return false;
    EnlargeReceiveBuffer(*this);
    return true;
  }

  while (m_interface_count < count && m_interface_count < kMaxInterfaces) {
    m_interfaces[m_interface_count] = interfaces[m_interface_count];
    ++m_interface_count;
  }
  if (!Socket(SOCK_DGRAM, kEventRead | kEventWrite)) return false;
  EnlargeReceiveBuffer(*this);

  const int ttl = kMulticastTtl;
  if (!SetSockOpt(IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl)) {
    Trace("IP_MULTICAST_TTL failed(%s)", ErrorText(GetLastSocketError()));
  }
  const int on = 1;
  if (!SetSockOpt(SOL_SOCKET, SO_BROADCAST, &on, sizeof on)) {
    Trace("SO_BROADCAST failed(%s)", ErrorText(GetLastSocketError()));
    return false;
  }
  if (!SetSockOpt(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on)) {
    Trace("SetSockOpt failed(%s)", ErrorText(GetLastSocketError()));
  }
  if (!Bind(kSsdpPort, nullptr)) {
    Trace("Bind failed(%s)", ErrorText(GetLastSocketError()));
  }
  for (uint32_t i = 0; i < m_interface_count; ++i) {
    ip_mreq request{};
    inet_pton(AF_INET, kSsdpGroup, &request.imr_multiaddr);
    request.imr_interface.s_addr = m_interfaces[i];
    char text[kDottedAddressSize];
    Trace("imr_multiaddr=%s", Dotted(request.imr_multiaddr.s_addr, text));
    Trace("imr_interface=%s", Dotted(request.imr_interface.s_addr, text));
    if (!SetSockOpt(IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request)) {
      Trace("IP_ADD_MEMBERSHIP failed(%s)", ErrorText(GetLastSocketError()));
    }
  }
  return true;
}

void CSsdpSocket::SendDiscover(const char* search_target) {
  char request[kSearchRequestArea];
  int length = FormatSearchRequest(request, sizeof request, search_target);
  if (m_search_interface_count == 0) {
    if (!m_search_interfaces_set) SendToGroup(request, length, kNoSearchInterface);
  } else if (m_spread == InterfaceSpread::kRotate) {
    SendToGroup(request, length, m_next_search_interface);
    m_next_search_interface = (m_next_search_interface + 1) % m_search_interface_count;
  } else {
    for (uint32_t i = 0; i < m_search_interface_count; ++i) SendToGroup(request, length, i);
  }
}

void CSsdpSocket::SendToGroup(const char* request, int length, uint32_t index) {
  if (index != kNoSearchInterface) {
    in_addr through{};
    through.s_addr = m_search_interfaces[index];
    // Not sent at all when the interface cannot be set: the user asked for these only.
    if (!SetSockOpt(IPPROTO_IP, IP_MULTICAST_IF, &through, sizeof through)) {
      int error = GetLastSocketError();
      Trace("IP_MULTICAST_IF failed(%d:%s)", error, ErrorText(error));
      return;
    }
  }
  Trace("SendDiscover:SentTo()");
  if (length != 0 && SendTo(request, length, GroupAddress()) >= 1) {
    ++m_searches_sent;
    if (index != kNoSearchInterface) ++m_sent_through[index];
  } else {
    int error = GetLastSocketError();
    Trace("SendDiscover:SentTo()failed(%d:%s)", error, ErrorText(error));
  }
}

bool CSsdpSocket::SendSearchTo(uint32_t address, const char* search_target) {
  char dotted[kDottedAddressSize];
  char request[kSearchRequestArea];
  int length =
      FormatUnicastSearchRequest(request, sizeof request, Dotted(address, dotted), search_target);
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(kSsdpPort);
  destination.sin_addr.s_addr = address;
  if (length != 0 && SendTo(request, length, destination) >= 1) {
    ++m_unicast_sent;
    return true;
  }
  int error = GetLastSocketError();
  Trace("SendSearchTo(%s) failed(%d:%s)", dotted, error, ErrorText(error));
  return false;
}

void CSsdpSocket::SetSearchInterfaces(const uint32_t* interfaces, uint32_t count,
                                      InterfaceSpread spread) {
  uint32_t kept[kMaxInterfaces] = {};
  uint64_t kept_sent[kMaxInterfaces] = {};
  const uint32_t kept_count = m_search_interface_count;
  std::copy(m_search_interfaces, m_search_interfaces + kept_count, kept);
  std::copy(m_sent_through, m_sent_through + kept_count, kept_sent);
  m_search_interface_count = 0;
  m_next_search_interface = 0;
  m_spread = spread;
  m_search_interfaces_set = true;
  while (m_search_interface_count < count && m_search_interface_count < kMaxInterfaces) {
    const uint32_t address = interfaces[m_search_interface_count];
    // Counts only grow: an interface that stays keeps what was sent through it.
    const uint32_t* before = std::find(kept, kept + kept_count, address);
    m_search_interfaces[m_search_interface_count] = address;
    m_sent_through[m_search_interface_count] =
        before != kept + kept_count ? kept_sent[before - kept] : 0;
    ++m_search_interface_count;
  }
}

void CSsdpSocket::SetBatchReceive(bool on) {
  if (!on) {
    m_batch.reset();
  } else if (!m_batch) {
    m_batch = std::make_unique<char[]>(static_cast<std::size_t>(kReceiveBatch) *
                                       (kReceiveBufferSize + 1));
  }
}

bool CSsdpSocket::JoinGroup(uint32_t index, uint32_t address) {
  return ChangeMembership(IP_ADD_MEMBERSHIP, index, address);
}

bool CSsdpSocket::LeaveGroup(uint32_t index, uint32_t address) {
  return ChangeMembership(IP_DROP_MEMBERSHIP, index, address);
}

bool CSsdpSocket::ChangeMembership(int option, uint32_t index, uint32_t address) {
  ip_mreqn request{};
  inet_pton(AF_INET, kSsdpGroup, &request.imr_multiaddr);
  request.imr_ifindex = static_cast<int>(index);
  if (index == 0) request.imr_address.s_addr = address;
  const char* what = option == IP_ADD_MEMBERSHIP ? "join" : "leave";
  char text[kDottedAddressSize];
  if (SetSockOpt(IPPROTO_IP, option, &request, sizeof request)) {
    Trace("Group %s on %s (link %u)", what, Dotted(address, text), index);
    return true;
  }
  const int error = GetLastSocketError();
  Trace("Group %s on %s (link %u) failed(%d:%s)", what, Dotted(address, text), index, error,
        ErrorText(error));
  return false;
}

void CSsdpSocket::SetOwnAddresses(const uint32_t* addresses, uint32_t count) {
  m_interface_count = std::min(count, kMaxInterfaces);
  std::copy(addresses, addresses + m_interface_count, m_interfaces);
}

void CSsdpSocket::OnReceive(int error) {
  if (m_batch) {
    WaitingDatagram batch[kReceiveBatch];
    for (int i = 0; i < kReceiveBatch; ++i) {
      batch[i].buffer = m_batch.get() + static_cast<std::ptrdiff_t>(i) * (kReceiveBufferSize + 1);
      batch[i].capacity = kReceiveBufferSize;
    }
    const int taken = ReceiveWaiting(batch, kReceiveBatch);
    if (taken < 0) Fail();
    // A listener may close the socket: what is left of the batch goes with it.
    for (int i = 0; i < taken && IsOpen(); ++i) {
      Take(batch[i].buffer, batch[i].length, batch[i].too_long, batch[i].sender);
    }
  } else {
    char text[kReceiveBufferSize + 1];  // a full-size datagram still gets its terminator
    sockaddr_in sender{};
    const int n = ReceiveFrom(text, kReceiveBufferSize, &sender);
    if (n < 0 && GetLastSocketError() == EMSGSIZE) {
      Take(text, 0, true, sender);
    } else if (n < 0) {
      Fail();
    } else {
      Take(text, n, false, sender);
    }
  }
  CSocket::OnReceive(error);
}

void CSsdpSocket::Take(char* text, int length, bool too_long, const sockaddr_in& sender) {
  ++m_received;
  const uint32_t address = sender.sin_addr.s_addr;
  if (too_long) {
    // Other UPnP devices send long NOTIFYs; dropping one must not end discovery.
    Drop(DatagramOutcome::kTooLong, address);
  } else if (length == 0) {
    // Anyone can send an empty datagram; it must not cost us the socket.
    Drop(DatagramOutcome::kEmpty, address);
  } else if (IsOwnAddress(address)) {
    char dotted[kDottedAddressSize];
    Trace("Receive from myself at %s", Dotted(address, dotted));
    if (m_listener != nullptr) m_listener->OnDropped(DatagramOutcome::kOwnAddress, address);
  } else if (m_listener != nullptr) {
    text[length] = '\0';
    m_listener->OnReceive(text, address);
  }
}

void CSsdpSocket::Fail() {
  const int code = GetLastSocketError();
  Trace("OnReceive: ReceiveFrom failed(%d:%s)", code, ErrorText(code));
  if (m_report_error) m_report_error("Error occurred");
  Close();
}

void CSsdpSocket::Drop(DatagramOutcome reason, uint32_t address) {
  TraceDrop(reason, address);
  if (m_listener != nullptr) m_listener->OnDropped(reason, address);
}

bool CSsdpSocket::IsOwnAddress(uint32_t address) const {
  for (uint32_t i = 0; i < m_interface_count; ++i) {
    if (m_interfaces[i] == address) return true;
  }
  return false;
}
