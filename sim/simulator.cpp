#include "sim/simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/event_log.h"
#include "sim/ssdp_messages.h"

namespace sim {
namespace {

int g_signal_write = -1;

void OnSignal(int signo) {
  const int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signo);
  [[maybe_unused]] ssize_t ignored = write(g_signal_write, &byte, 1);
  errno = saved;
}

std::string Endpoint(const sockaddr_in& sa) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool PickAddress(std::string& address, std::string& error) {
  address.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    error = Errno("cannot list the host's addresses");
    return false;
  }
  std::vector<std::string> found;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    found.emplace_back(text);
  }
  freeifaddrs(list);
  if (found.size() == 1) {
    address = found[0];
    return true;
  }
  if (found.empty()) {
    error = "no non-loopback IPv4 address is up; pass --address ADDR";
  } else {
    error = "the host has " + std::to_string(found.size()) + " non-loopback IPv4 addresses (";
    for (size_t i = 0; i < found.size(); ++i) error += (i ? ", " : "") + found[i];
    error += "); choose one with --address ADDR";
  }
  return false;
}

Simulator::Simulator(const SimOptions& options, const std::string& address)
    : m_options(options),
      m_address(address),
      m_cache_control(CacheControlValue(options.cache_control, options.max_age)),
      m_devices(options, address),
      m_http(m_devices, options),
      m_random(std::random_device{}()) {
  inet_pton(AF_INET, address.c_str(), &m_addr);
}

Simulator::~Simulator() {
  if (g_signal_write >= 0) close(g_signal_write);
  g_signal_write = -1;
}

bool Simulator::Start(std::string& error) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = Errno("pipe");
    return false;
  }
  m_signal_read = UniqueFd(pipe_fds[0]);
  g_signal_write = pipe_fds[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  m_ssdp = UniqueFd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!m_ssdp.Valid()) {
    error = Errno("SSDP socket");
    return false;
  }
  const int fd = m_ssdp.Get();
  int one = 1, zero = 0, ttl = kMulticastTtl, sndbuf = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &sndbuf, sizeof sndbuf);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &sndbuf, sizeof sndbuf);  // when privileged
  // Our own alive rounds would come back to this socket: with many devices they fill its
  // receive buffer and crowd out the searches we are here to answer.
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &zero, sizeof zero);
  // Only the group memberships of this socket count, not those of other programs.
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(kSsdpPort);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    error = Errno("bind SSDP port 1900");
    return false;
  }
  ip_mreq membership{};
  inet_pton(AF_INET, kSsdpGroup, &membership.imr_multiaddr);
  membership.imr_interface = m_addr;
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    error = Errno(("join 239.255.255.250 on " + m_address).c_str());
    return false;
  }
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &m_addr, sizeof m_addr) != 0) {
    error = Errno(("multicast interface " + m_address).c_str());
    return false;
  }
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);

  if (!m_http.Listen(m_address, m_options.http_port, error)) return false;
  std::string ports = std::to_string(m_options.http_port);
  if (m_options.http_port != kPingPort) {
    std::string why;
    if (m_http.Listen(m_address, kPingPort, why)) {
      ports += ' ';
      ports += std::to_string(kPingPort);
    } else {
      LogLine("port 80 not served (%s); Ping requests to port 80 will fail", why.c_str());
    }
  }
  LogLine("ready: %d devices on %s, SSDP port %u, HTTP ports %s, max-age %u%s", m_options.devices,
          m_address.c_str(), kSsdpPort, ports.c_str(), m_options.max_age,
          m_options.mx_delay ? ", answers delayed by MX" : "");
  return true;
}

void Simulator::Run() {
  QueueAliveRound();
  std::vector<pollfd> fds;
  for (;;) {
    const int64_t now = NowMs();
    if (now >= m_next_alive) QueueAliveRound();
    while (!m_delayed.empty() && m_delayed.top().due <= now) {
      const Delayed& d = m_delayed.top();
      QueueResponse(*d.device, d.to, *d.st);
      m_delayed.pop();
    }
    Flush();

    int64_t deadline = m_next_alive;
    if (!m_delayed.empty()) deadline = std::min(deadline, m_delayed.top().due);
    fds.clear();
    fds.push_back({m_signal_read.Get(), POLLIN, 0});
    fds.push_back({m_ssdp.Get(), static_cast<short>(POLLIN | (m_queue.empty() ? 0 : POLLOUT)), 0});
    m_http.CollectPollFds(fds, deadline);
    const int64_t wait = std::max<int64_t>(0, deadline - NowMs());
    int ready = poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(wait, 60000)));
    if (ready < 0 && errno != EINTR) {
      LogLine("poll failed: %s", std::strerror(errno));
      break;
    }
    const int64_t after = NowMs();
    bool stop = false;
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      unsigned char signo = 0;
      while (read(m_signal_read.Get(), &signo, 1) == 1) {
        if (signo == SIGUSR1) {
          LogLine("%s", CountsLine("counts").c_str());
        } else {
          LogLine("signal %d: leaving", signo);
          stop = true;
        }
      }
    }
    if (stop) break;
    if (ready > 0 && (fds[1].revents & POLLIN)) OnSsdpReadable(after);
    m_http.HandlePoll(fds.data() + 2, after);
  }
  SayByebye();
}

void Simulator::OnSsdpReadable(int64_t now_ms) {
  // Bounded, so that a flood of searches cannot starve HTTP clients.
  for (int i = 0; i < 256; ++i) {
    char buffer[kReceiveBuffer];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(m_ssdp.Get(), buffer, sizeof buffer, MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    if (static_cast<size_t>(n) > sizeof buffer) {
      ++m_counters.ignored;
      LogLine("search from %s dropped: %zd bytes is too long", Endpoint(from).c_str(), n);
      continue;
    }
    HandleDatagram(std::string_view(buffer, static_cast<size_t>(n)), from, now_ms);
  }
}

void Simulator::HandleDatagram(std::string_view data, const sockaddr_in& from, int64_t now_ms) {
  SearchRequest request;
  std::string why;
  if (!ParseSearch(data, request, why)) {
    ++m_counters.ignored;
    // Our own and other hosts' notifications arrive here all the time; say so only on demand.
    if (m_options.verbose || why != "not a search") {
      LogLine("datagram from %s ignored: %s", Endpoint(from).c_str(), why.c_str());
    }
    return;
  }
  std::vector<const Device*> targets;
  if (request.st == kDeviceType || request.st == kSearchAll) {
    for (const Device& d : m_devices.Devices()) targets.push_back(&d);
  } else if (const Device* d = m_devices.FindByUdn(request.st)) {
    targets.push_back(d);
  }
  if (targets.empty()) {
    ++m_counters.ignored;
    LogLine("search from %s ST=%s MX=%d: no matching device", Endpoint(from).c_str(),
            request.st.c_str(), request.mx);
    return;
  }
  ++m_counters.searches;
  // A search for every service type is answered with our one device type.
  const std::string st = request.st == kSearchAll ? std::string(kDeviceType) : request.st;
  const int window_ms = std::min(request.mx, kMxCapSeconds) * 1000;
  LogLine("search from %s ST=%s MX=%d: %zu responses%s", Endpoint(from).c_str(), request.st.c_str(),
          request.mx, targets.size(),
          m_options.mx_delay ? (" within " + std::to_string(window_ms) + " ms").c_str() : "");
  if (!m_options.mx_delay || window_ms == 0) {
    for (const Device* d : targets) QueueResponse(*d, from, st);
    return;
  }
  auto shared_st = std::make_shared<const std::string>(st);
  std::uniform_int_distribution<int> delay(0, window_ms);
  for (const Device* d : targets) {
    m_delayed.push({now_ms + delay(m_random), m_seq++, d, from, shared_st});
  }
}

void Simulator::QueueResponse(const Device& device, const sockaddr_in& to, const std::string& st) {
  std::string data = m_options.empty_response
                         ? std::string()
                         : BuildResponse(device, st, m_cache_control, m_options.pad_response);
  m_queue.push_back({std::move(data), to, Kind::kResponse, &device});
}

void Simulator::QueueAliveRound() {
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
  for (const Device& d : m_devices.Devices()) {
    m_queue.push_back({BuildAlive(d, m_cache_control), group, Kind::kAlive, &d});
  }
  LogLine("notify ssdp:alive for %zu devices", m_devices.Devices().size());
  m_next_alive = NowMs() + static_cast<int64_t>(m_options.notify_interval * 1000);
}

bool Simulator::SendOne(const Outgoing& out) {
  // The source address is set per datagram, so that answers come from the announced address
  // even when the host routes the asker through another one.
  iovec iov{const_cast<char*>(out.data.data()), out.data.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&out.to);
  msg.msg_namelen = sizeof out.to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (out.kind == Kind::kResponse) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = IPPROTO_IP;
    cm->cmsg_type = IP_PKTINFO;
    cm->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = m_addr;
    std::memcpy(CMSG_DATA(cm), &info, sizeof info);
  }
  return sendmsg(m_ssdp.Get(), &msg, 0) >= 0;
}

void Simulator::CountSent(const Outgoing& out) {
  const char* what = "response";
  switch (out.kind) {
    case Kind::kResponse:
      ++m_counters.responses;
      break;
    case Kind::kAlive:
      ++m_counters.alive;
      what = "ssdp:alive";
      break;
    case Kind::kByebye:
      ++m_counters.byebye;
      what = "ssdp:byebye";
      break;
  }
  if (m_options.verbose) {
    LogLine("sent %s, %zu bytes, to %s for %s", what, out.data.size(), Endpoint(out.to).c_str(),
            out.device->usn.c_str());
  }
}

void Simulator::Flush() {
  while (!m_queue.empty()) {
    const Outgoing& out = m_queue.front();
    if (!SendOne(out)) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return;  // POLLOUT
      if (errno == EINTR) continue;
      ++m_counters.send_errors;
      LogLine("send to %s failed: %s", Endpoint(out.to).c_str(), std::strerror(errno));
    } else {
      CountSent(out);
    }
    m_queue.pop_front();
  }
}

void Simulator::SayByebye() {
  // Answers not yet sent belong to devices that are leaving: drop them.
  m_queue.clear();
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
  int flags = fcntl(m_ssdp.Get(), F_GETFL);
  fcntl(m_ssdp.Get(), F_SETFL, flags & ~O_NONBLOCK);
  timeval limit{1, 0};
  setsockopt(m_ssdp.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  for (const Device& d : m_devices.Devices()) {
    Outgoing out{BuildByebye(d), group, Kind::kByebye, &d};
    if (SendOne(out)) {
      CountSent(out);
    } else {
      ++m_counters.send_errors;
    }
  }
  LogLine("notify ssdp:byebye for %zu devices", m_devices.Devices().size());
}

std::string Simulator::CountsLine(const char* label) const {
  const HttpCounters& h = m_http.Counters();
  const SsdpCounters& s = m_counters;
  char line[640];
  std::snprintf(
      line, sizeof line,
      "%s: searches=%llu responses=%llu alive=%llu byebye=%llu ignored=%llu "
      "send_errors=%llu http_requests=%llu http_descriptions=%llu http_pages=%llu "
      "http_backups=%llu http_pings=%llu http_not_found=%llu http_bad=%llu "
      "http_connections=%llu",
      label, static_cast<unsigned long long>(s.searches),
      static_cast<unsigned long long>(s.responses), static_cast<unsigned long long>(s.alive),
      static_cast<unsigned long long>(s.byebye), static_cast<unsigned long long>(s.ignored),
      static_cast<unsigned long long>(s.send_errors), static_cast<unsigned long long>(h.requests),
      static_cast<unsigned long long>(h.descriptions), static_cast<unsigned long long>(h.pages),
      static_cast<unsigned long long>(h.backups), static_cast<unsigned long long>(h.pings),
      static_cast<unsigned long long>(h.not_found), static_cast<unsigned long long>(h.bad),
      static_cast<unsigned long long>(h.connections));
  return line;
}

}  // namespace sim
