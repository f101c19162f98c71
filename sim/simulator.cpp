#include "sim/simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/event_log.h"
#include "sim/ssdp_messages.h"

namespace sim {
namespace {

int g_signal_write = -1;

// epoll keys of the simulator's own descriptors; the HTTP server's tags are 1 and 2.
constexpr uint64_t kSignalKey = uint64_t{3} << kKeyTagShift;
constexpr uint64_t kSsdpKey = uint64_t{4} << kKeyTagShift;
constexpr int kMaxEvents = 256;

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

sockaddr_in GroupAddress() {
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
  return group;
}

std::string Dotted(in_addr address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// Many devices under --spread need a listening socket each, and a test may hold hundreds of
// connections open: lift the soft limit as far as we may.
void RaiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
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
  m_ids.boot_id = options.boot_id;
  m_ids.config_id = options.config_id;
}

Simulator::~Simulator() {
  if (g_signal_write >= 0) close(g_signal_write);
  g_signal_write = -1;
}

bool Simulator::Start(std::string& error) {
  RaiseFileLimit();
  m_epoll = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
  if (!m_epoll.Valid()) {
    error = Errno("epoll");
    return false;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = Errno("pipe");
    return false;
  }
  m_signal_read = UniqueFd(pipe_fds[0]);
  g_signal_write = pipe_fds[1];
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kSignalKey;
  epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_signal_read.Get(), &ev);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  sigaction(SIGUSR2, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!OpenSsdp(error) || !OpenHttp(error)) return false;
  std::string extras;
  if (m_options.spread) {
    extras += ", spread to " + Dotted(m_devices.Devices().back().address);
  }
  if (m_options.mx_delay) extras += ", answers delayed by MX";
  if (m_options.http_delay_ms || m_options.http_jitter_ms) {
    extras += ", HTTP delay " + std::to_string(m_options.http_delay_ms) + "+0.." +
              std::to_string(m_options.http_jitter_ms) + " ms";
  }
  if (m_options.hung) extras += ", devices 1.." + std::to_string(m_options.hung) + " hung";
  LogLine("ready: %d devices on %s, SSDP port %u, HTTP ports %s, max-age %u%s", m_options.devices,
          m_address.c_str(), kSsdpPort, m_http_ports.c_str(), m_options.max_age, extras.c_str());
  return true;
}

bool Simulator::OpenSsdp(std::string& error) {
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
  // The destination of each search tells a unicast search (answered at once, and with
  // --spread by one device) from one to the group.
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
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
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kSsdpKey;
  if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
    error = Errno("epoll_ctl");
    return false;
  }
  return true;
}

bool Simulator::OpenHttp(std::string& error) {
  m_http.Attach(m_epoll.Get());
  // Without --spread one listener per port serves every device; with it, each device has
  // its own on its own address, so that a connection tells which device it reached.
  auto listen_all = [&](uint16_t port, std::string& why) {
    if (!m_options.spread) return m_http.Listen(m_addr, port, nullptr, why);
    for (const Device& d : m_devices.Devices()) {
      if (!m_http.Listen(d.address, port, &d, why)) {
        why += " (with --spread every device's address must exist on the interface)";
        return false;
      }
    }
    return true;
  };
  if (!listen_all(m_options.http_port, error)) return false;
  m_http_ports = std::to_string(m_options.http_port);
  if (m_options.http_port != kPingPort) {
    std::string why;
    if (!m_http.Listen(m_devices.Devices().front().address, kPingPort,
                       m_options.spread ? &m_devices.Devices().front() : nullptr, why)) {
      LogLine("port 80 not served (%s); Ping requests to port 80 will fail", why.c_str());
      return true;
    }
    if (m_options.spread) {
      for (size_t i = 1; i < m_devices.Devices().size(); ++i) {
        const Device& d = m_devices.Devices()[i];
        if (!m_http.Listen(d.address, kPingPort, &d, error)) return false;
      }
    }
    m_http_ports += ' ';
    m_http_ports += std::to_string(kPingPort);
  }
  return true;
}

void Simulator::Run() {
  QueueAliveRound();
  epoll_event events[kMaxEvents];
  for (;;) {
    const int64_t now = NowMs();
    if (now >= m_next_alive) QueueAliveRound();
    while (!m_delayed.empty() && m_delayed.top().due <= now) {
      const Delayed& d = m_delayed.top();
      QueueResponse(*d.device, d.to, *d.st);
      m_delayed.pop();
    }
    m_http.OnTimers(now);
    m_http.Sweep();
    Flush();
    WatchSsdpOutput();

    int64_t deadline = std::min(m_next_alive, m_http.NextDeadline());
    if (!m_delayed.empty()) deadline = std::min(deadline, m_delayed.top().due);
    const int64_t wait = std::max<int64_t>(0, deadline - NowMs());
    const int ready = epoll_wait(m_epoll.Get(), events, kMaxEvents,
                                 static_cast<int>(std::min<int64_t>(wait, 60000)));
    if (ready < 0 && errno != EINTR) {
      LogLine("epoll_wait failed: %s", std::strerror(errno));
      break;
    }
    const int64_t after = NowMs();
    bool stop = false;
    for (int i = 0; i < ready; ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == kSignalKey) {
        stop = !OnSignals() || stop;
      } else if (key == kSsdpKey) {
        if (events[i].events & (EPOLLIN | EPOLLERR)) OnSsdpReadable(after);
      } else {
        m_http.OnEvent(key, events[i].events, after);
      }
    }
    m_http.Sweep();
    if (stop) break;
  }
  SayByebye();
}

bool Simulator::OnSignals() {
  bool keep_running = true;
  unsigned char signo = 0;
  while (read(m_signal_read.Get(), &signo, 1) == 1) {
    if (signo == SIGUSR1) {
      LogLine("%s", CountsLine("counts").c_str());
    } else if (signo == SIGHUP) {
      // A changed configuration, as a device has after its settings were edited: clients
      // that cache descriptions learn of it from the next announcement.
      if (m_ids.config_id) {
        m_ids.config_id = (*m_ids.config_id + 1) % (kMaxConfigId + 1);
        m_devices.SetConfigId(m_ids.config_id);
        LogLine("sighup: config id %u; announcing again", *m_ids.config_id);
      } else {
        LogLine("sighup: no --config-id; announcing again");
      }
      QueueAliveRound();
    } else if (signo == SIGUSR2) {
      Reboot();
    } else {
      LogLine("signal %d: leaving", signo);
      keep_running = false;
    }
  }
  return keep_running;
}

void Simulator::WatchSsdpOutput() {
  const bool want = !m_queue.empty();
  if (want == m_ssdp_watching_output) return;
  epoll_event ev{};
  ev.events = EPOLLIN | (want ? uint32_t{EPOLLOUT} : 0u);
  ev.data.u64 = kSsdpKey;
  epoll_ctl(m_epoll.Get(), EPOLL_CTL_MOD, m_ssdp.Get(), &ev);
  m_ssdp_watching_output = want;
}

void Simulator::OnSsdpReadable(int64_t now_ms) {
  // Bounded, so that a flood of searches cannot starve HTTP clients.
  for (int i = 0; i < 256; ++i) {
    char buffer[kReceiveBuffer];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    sockaddr_in from{};
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(m_ssdp.Get(), &msg, MSG_TRUNC);
    if (n < 0) return;
    if (static_cast<size_t>(n) > sizeof buffer) {
      ++m_counters.ignored;
      LogLine("search from %s dropped: %zd bytes is too long", Endpoint(from).c_str(), n);
      continue;
    }
    in_addr to{};
    inet_pton(AF_INET, kSsdpGroup, &to);  // when the kernel does not say, take the group
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
      if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(cm), sizeof info);
        to = info.ipi_addr;
      }
    }
    HandleDatagram(std::string_view(buffer, static_cast<size_t>(n)), from, to, now_ms);
  }
}

void Simulator::HandleDatagram(std::string_view data, const sockaddr_in& from, in_addr to,
                               int64_t now_ms) {
  const bool unicast = !IN_MULTICAST(ntohl(to.s_addr));
  SearchRequest request;
  std::string why;
  const bool parsed = ParseSearch(data, request, why);
  if (data.substr(0, std::string_view(kSearchLine).size()) == kSearchLine) {
    ++(unicast ? m_counters.searches_unicast : m_counters.searches_multicast);
    if (m_options.verbose) {
      // One line per search received, with the time, so that a test can count searches per
      // second as the devices saw them.
      LogLine("received search t=%lld %s to %s from %s ST=%s MX=%d%s%s",
              static_cast<long long>(now_ms), unicast ? "unicast" : "multicast", Dotted(to).c_str(),
              Endpoint(from).c_str(), request.st.c_str(), request.mx,
              parsed ? "" : ", not answered: ", why.c_str());
    }
  }
  if (!parsed) {
    ++m_counters.ignored;
    // Our own and other hosts' notifications arrive here all the time; say so only on demand.
    if (m_options.verbose || why != "not a search") {
      LogLine("datagram from %s ignored: %s", Endpoint(from).c_str(), why.c_str());
    }
    return;
  }
  // A unicast search under --spread reaches the one device living on that address.
  const Device* only = nullptr;
  if (unicast && m_options.spread) {
    only = m_devices.FindByAddress(to);
    if (!only) {
      ++m_counters.ignored;
      LogLine("search from %s to %s: no device on that address", Endpoint(from).c_str(),
              Dotted(to).c_str());
      return;
    }
  }
  std::vector<const Device*> targets;
  if (request.st == kDeviceType || request.st == kSearchAll) {
    if (only) {
      targets.push_back(only);
    } else {
      for (const Device& d : m_devices.Devices()) targets.push_back(&d);
    }
  } else if (const Device* d = m_devices.FindByUdn(request.st); d && (!only || d == only)) {
    targets.push_back(d);
  }
  const std::string target_text = unicast ? " to " + Dotted(to) + " (unicast)" : std::string();
  if (targets.empty()) {
    ++m_counters.ignored;
    LogLine("search from %s%s ST=%s MX=%d: no matching device", Endpoint(from).c_str(),
            target_text.c_str(), request.st.c_str(), request.mx);
    return;
  }
  ++m_counters.searches;
  // A search for every service type is answered with our one device type.
  const std::string st = request.st == kSearchAll ? std::string(kDeviceType) : request.st;
  // A unicast search is answered at once: MX applies to the group only.
  const int window_ms = unicast ? 0 : std::min(request.mx, kMxCapSeconds) * 1000;
  LogLine("search from %s%s ST=%s MX=%d: %zu responses%s", Endpoint(from).c_str(),
          target_text.c_str(), request.st.c_str(), request.mx, targets.size(),
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
  std::string data = m_options.empty_response ? std::string()
                                              : BuildResponse(device, st, m_cache_control,
                                                              m_options.pad_response, m_ids);
  m_queue.push_back({std::move(data), to, Kind::kResponse, &device});
}

void Simulator::QueueAliveRound() {
  const sockaddr_in group = GroupAddress();
  for (const Device& d : m_devices.Devices()) {
    m_queue.push_back({BuildAlive(d, m_cache_control, m_ids), group, Kind::kAlive, &d});
  }
  LogLine("notify ssdp:alive for %zu devices", m_devices.Devices().size());
  m_next_alive = NowMs() + static_cast<int64_t>(m_options.notify_interval * 1000);
}

void Simulator::Reboot() {
  // A device that crashed and came back says no byebye for its old life; only the boot id
  // tells a client that it rebooted. A planned restart names the coming id first.
  ++m_counters.reboots;
  const uint32_t next = m_ids.boot_id ? (*m_ids.boot_id + 1) % (kMaxBootId + 1) : kFirstRebootId;
  if (m_options.planned_reboot && m_ids.boot_id) {
    const sockaddr_in group = GroupAddress();
    for (const Device& d : m_devices.Devices()) {
      m_queue.push_back({BuildUpdate(d, m_ids, next), group, Kind::kUpdate, &d});
    }
    LogLine("sigusr2: planned reboot, ssdp:update from boot id %u to %u for %zu devices",
            *m_ids.boot_id, next, m_devices.Devices().size());
  } else {
    LogLine("sigusr2: reboot, boot id %u", next);
  }
  m_ids.boot_id = next;
  QueueAliveRound();
}

bool Simulator::SendOne(const Outgoing& out) {
  // The source address is set per datagram, so that everything comes from the device's
  // address even when the host routes the asker through another one, and so that with
  // --spread each device speaks from its own.
  iovec iov{const_cast<char*>(out.data.data()), out.data.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&out.to);
  msg.msg_namelen = sizeof out.to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* cm = CMSG_FIRSTHDR(&msg);
  cm->cmsg_level = IPPROTO_IP;
  cm->cmsg_type = IP_PKTINFO;
  cm->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst = out.device->address;
  std::memcpy(CMSG_DATA(cm), &info, sizeof info);
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
    case Kind::kUpdate:
      ++m_counters.updates;
      what = "ssdp:update";
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
  const sockaddr_in group = GroupAddress();
  int flags = fcntl(m_ssdp.Get(), F_GETFL);
  fcntl(m_ssdp.Get(), F_SETFL, flags & ~O_NONBLOCK);
  timeval limit{1, 0};
  setsockopt(m_ssdp.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  for (const Device& d : m_devices.Devices()) {
    Outgoing out{BuildByebye(d, m_ids), group, Kind::kByebye, &d};
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
  char line[1024];
  std::snprintf(
      line, sizeof line,
      "%s: searches=%llu responses=%llu alive=%llu byebye=%llu ignored=%llu "
      "send_errors=%llu http_requests=%llu http_descriptions=%llu http_pages=%llu "
      "http_backups=%llu http_pings=%llu http_not_found=%llu http_bad=%llu "
      "http_connections=%llu searches_unicast=%llu searches_multicast=%llu http_hung=%llu "
      "http_delayed=%llu reboots=%llu updates=%llu",
      label, static_cast<unsigned long long>(s.searches),
      static_cast<unsigned long long>(s.responses), static_cast<unsigned long long>(s.alive),
      static_cast<unsigned long long>(s.byebye), static_cast<unsigned long long>(s.ignored),
      static_cast<unsigned long long>(s.send_errors), static_cast<unsigned long long>(h.requests),
      static_cast<unsigned long long>(h.descriptions), static_cast<unsigned long long>(h.pages),
      static_cast<unsigned long long>(h.backups), static_cast<unsigned long long>(h.pings),
      static_cast<unsigned long long>(h.not_found), static_cast<unsigned long long>(h.bad),
      static_cast<unsigned long long>(h.connections),
      static_cast<unsigned long long>(s.searches_unicast),
      static_cast<unsigned long long>(s.searches_multicast),
      static_cast<unsigned long long>(h.hung), static_cast<unsigned long long>(h.delayed),
      static_cast<unsigned long long>(s.reboots), static_cast<unsigned long long>(s.updates));
  return line;
}

}  // namespace sim
