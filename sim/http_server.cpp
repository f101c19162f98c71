#include "sim/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/event_log.h"

namespace sim {

struct HttpServer::Connection {
  enum class State {
    kReading,    // until the end of the request head
    kDelayed,    // answer ready, held back until `deadline`
    kWriting,    // sending the answer (dripped: next byte at `deadline`)
    kHanging,    // --http-hang: answered, never closed
    kHung,       // --hung: never answered
    kLingering,  // answered and half-closed, waiting for the peer's close until `deadline`
    kClosed
  };
  uint64_t id = 0;
  UniqueFd fd;
  std::string peer;  // "a.b.c.d:port"
  uint16_t local_port = 0;
  const Device* device = nullptr;  // the device whose address was connected to (--spread)
  State state = State::kReading;
  std::string in;
  std::string out;
  size_t sent = 0;
  bool peer_done = false;  // the peer half-closed; wait no longer for input
  int64_t deadline = 0;    // see State
  uint32_t events = 0;     // what epoll watches for
};

namespace {

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    default:
      return "Error";
  }
}

// Makes `body` exactly `size` bytes with a comment at its end, which neither XML nor HTML
// readers take for content.
void PadBody(std::string& body, size_t size) {
  const std::string open = "<!--", close = "-->\n";
  if (body.size() >= size) return;
  size_t room = size - body.size();
  if (room >= open.size() + close.size()) {
    body += open;
    body.append(room - open.size() - close.size(), 'x');
    body += close;
  } else {
    body.append(room, '\n');
  }
}

}  // namespace

HttpServer::HttpServer(const DeviceSet& devices, const SimOptions& options)
    : m_devices(devices), m_options(options), m_random(std::random_device{}()) {}

HttpServer::~HttpServer() = default;

bool HttpServer::Listen(const in_addr& address, uint16_t port, const Device* device,
                        std::string& error) {
  char dotted[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, dotted, sizeof dotted);
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    error = std::string("socket: ") + std::strerror(errno);
    if (errno == EMFILE) error += " (the hard limit of open files, ulimit -Hn, is too low)";
    return false;
  }
  int one = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = address;
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    error =
        std::string("bind ") + dotted + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  if (listen(fd.Get(), kListenBacklog) != 0) {
    error = std::string("listen: ") + std::strerror(errno);
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = (kHttpListenerTag << kKeyTagShift) | m_listeners.size();
  if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd.Get(), &ev) != 0) {
    error = std::string("epoll_ctl: ") + std::strerror(errno);
    return false;
  }
  m_listeners.push_back({std::move(fd), port, device});
  return true;
}

void HttpServer::OnEvent(uint64_t key, uint32_t events, int64_t now_ms) {
  const uint64_t index = key & kKeyIndexMask;
  if ((key >> kKeyTagShift) == kHttpListenerTag) {
    if (index < m_listeners.size()) Accept(m_listeners[index], now_ms);
    return;
  }
  auto it = m_connections.find(index);
  if (it == m_connections.end()) return;
  Connection& c = *it->second;
  if (c.state == Connection::State::kClosed) return;
  if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) OnReadable(c, now_ms);
  if (c.state == Connection::State::kWriting && !m_options.http_drip && (events & EPOLLOUT)) {
    OnWritable(c, now_ms);
  }
  if (c.state != Connection::State::kClosed) Rearm(c);
}

void HttpServer::OnTimers(int64_t now_ms) {
  while (!m_timers.empty() && m_timers.top().first <= now_ms) {
    const auto [due, id] = m_timers.top();
    m_timers.pop();
    auto it = m_connections.find(id);
    if (it == m_connections.end()) continue;
    Connection& c = *it->second;
    if (c.deadline != due) continue;  // superseded by a later timer
    switch (c.state) {
      case Connection::State::kDelayed:
        StartWriting(c, now_ms);
        break;
      case Connection::State::kWriting:
        if (m_options.http_drip) OnWritable(c, now_ms);
        break;
      case Connection::State::kLingering:
        Close(c);
        break;
      default:
        break;
    }
    if (c.state != Connection::State::kClosed) Rearm(c);
  }
}

int64_t HttpServer::NextDeadline() const {
  return m_timers.empty() ? INT64_MAX : m_timers.top().first;
}

void HttpServer::Sweep() {
  for (uint64_t id : m_closed) m_connections.erase(id);  // closing removes it from epoll
  m_closed.clear();
  if (m_listeners_paused && m_connections.size() < kMaxConnections) PauseListeners(false);
}

void HttpServer::PauseListeners(bool pause) {
  // Full: leave further connections in the backlog rather than spin on a ready listener.
  m_listeners_paused = pause;
  for (size_t i = 0; i < m_listeners.size(); ++i) {
    epoll_event ev{};
    ev.events = pause ? 0u : uint32_t{EPOLLIN};
    ev.data.u64 = (kHttpListenerTag << kKeyTagShift) | i;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listeners[i].fd.Get(), &ev);
  }
}

void HttpServer::Close(Connection& c) {
  if (c.state == Connection::State::kClosed) return;
  c.state = Connection::State::kClosed;
  c.fd.Reset();
  m_closed.push_back(c.id);
}

void HttpServer::SetTimer(Connection& c, int64_t due) {
  c.deadline = due;
  m_timers.push({due, c.id});
}

void HttpServer::Rearm(Connection& c) {
  uint32_t want = c.peer_done ? 0u : uint32_t{EPOLLIN};
  if (c.state == Connection::State::kWriting && !m_options.http_drip) want |= EPOLLOUT;
  if (want == c.events) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = (kHttpConnectionTag << kKeyTagShift) | c.id;
  epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd.Get(), &ev);
  c.events = want;
}

void HttpServer::Accept(Listener& listener, int64_t now_ms) {
  while (m_connections.size() < kMaxConnections) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(listener.fd.Get(), reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a connection that went away before we took it
    auto c = std::make_unique<Connection>();
    c->id = m_next_id++;
    c->fd = UniqueFd(fd);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    c->peer = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    c->local_port = listener.port;
    c->device = listener.device;
    c->deadline = now_ms;
    c->events = EPOLLIN;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = (kHttpConnectionTag << kKeyTagShift) | c->id;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
      LogLine("http %s: cannot watch the connection: %s", c->peer.c_str(), std::strerror(errno));
      continue;
    }
    ++m_counters.connections;
    if (c->device && c->device->number <= m_options.hung) {
      // A hung device takes the connection and then says nothing at all.
      c->state = Connection::State::kHung;
      ++m_counters.hung;
      LogLine("http %s port %u: device %d is hung, no answer", c->peer.c_str(), c->local_port,
              c->device->number);
    }
    const uint64_t id = c->id;
    m_connections.emplace(id, std::move(c));
  }
  PauseListeners(true);
}

void HttpServer::OnReadable(Connection& c, int64_t now_ms) {
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(c.fd.Get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      if (c.state != Connection::State::kReading) continue;  // anything after the request
      c.in.append(buffer, static_cast<size_t>(n));
      if (c.in.find("\r\n\r\n") != std::string::npos || c.in.find("\n\n") != std::string::npos ||
          c.in.size() > kMaxRequestBytes) {
        Answer(c, now_ms);
        if (c.state == Connection::State::kClosed) return;
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 &&
        (c.state == Connection::State::kWriting || c.state == Connection::State::kDelayed)) {
      c.peer_done = true;  // a half-close: the answer still goes out
      return;
    }
    // The peer closed or reset: nothing more can be delivered to it.
    if (c.state == Connection::State::kReading && !c.in.empty()) {
      LogLine("http %s: closed before the end of its request", c.peer.c_str());
    }
    Close(c);
    return;
  }
}

void HttpServer::Answer(Connection& c, int64_t now_ms) {
  const size_t head_end = std::min(c.in.find('\n'), c.in.size());
  std::string line = c.in.substr(0, head_end);
  if (!line.empty() && line.back() == '\r') line.pop_back();

  std::string method, target, version;
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 != std::string::npos) {
    method = line.substr(0, sp1);
    target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    version = line.substr(sp2 + 1);
  }
  std::string path = target;
  if (path.rfind("http://", 0) == 0) {  // absolute form, as proxies send it
    size_t slash = path.find('/', 7);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  path = path.substr(0, path.find('?'));

  Document doc{};
  if (c.in.size() > kMaxRequestBytes || version.rfind("HTTP/", 0) != 0 || path.empty() ||
      path[0] != '/') {
    doc = {400, "text/plain", "Bad request\n", Document::Kind::kNotFound};
    ++m_counters.bad;
  } else if (method != "GET" && method != "HEAD") {
    doc = {405, "text/plain", "Only GET\n", Document::Kind::kNotFound};
    ++m_counters.bad;
  } else if (const int number = m_devices.DeviceNumber(path);
             !c.device && number != 0 && number <= m_options.hung) {
    // Without --spread the devices share one address: a hung device is known by its path.
    c.state = Connection::State::kHung;
    c.in.clear();
    ++m_counters.hung;
    LogLine("http %s port %u: %s %s -> device %d is hung, no answer", c.peer.c_str(), c.local_port,
            method.c_str(), target.substr(0, 300).c_str(), number);
    return;
  } else {
    doc = m_devices.Resolve(path);
    switch (doc.kind) {
      case Document::Kind::kDescription:
        ++m_counters.descriptions;
        break;
      case Document::Kind::kPage:
      case Document::Kind::kIndex:
        ++m_counters.pages;
        break;
      case Document::Kind::kBackup:
        ++m_counters.backups;
        break;
      case Document::Kind::kPing:
        ++m_counters.pings;
        break;
      case Document::Kind::kNotFound:
        ++m_counters.not_found;
        break;
    }
  }
  ++m_counters.requests;
  if (m_options.http_huge != 0) PadBody(doc.body, m_options.http_huge);

  c.out = "HTTP/1.1 " + std::to_string(doc.status) + " " + StatusText(doc.status) +
          "\r\nContent-Type: " + doc.content_type +
          "\r\nContent-Length: " + std::to_string(doc.body.size()) +
          "\r\nConnection: close\r\nServer: " + kServerText + "\r\n";
  if (doc.status == 405) c.out += "Allow: GET, HEAD\r\n";
  c.out += "\r\n";
  if (method != "HEAD") c.out += doc.body;
  int delay = m_options.http_delay_ms;
  if (m_options.http_jitter_ms > 0) {
    delay += std::uniform_int_distribution<int>(0, m_options.http_jitter_ms)(m_random);
  }
  LogLine("http %s port %u: %s %s -> %d, %zu bytes%s", c.peer.c_str(), c.local_port,
          method.empty() ? "?" : method.c_str(), target.substr(0, 300).c_str(), doc.status,
          c.out.size(), delay > 0 ? (", after " + std::to_string(delay) + " ms").c_str() : "");
  c.in.clear();
  c.in.shrink_to_fit();
  if (delay > 0) {
    // Each request waits on its own timer, so that slow answers overlap instead of queueing.
    ++m_counters.delayed;
    c.state = Connection::State::kDelayed;
    SetTimer(c, now_ms + delay);
    return;
  }
  StartWriting(c, now_ms);
}

void HttpServer::StartWriting(Connection& c, int64_t now_ms) {
  c.sent = 0;
  c.state = Connection::State::kWriting;
  c.deadline = now_ms;
  OnWritable(c, now_ms);
}

void HttpServer::OnWritable(Connection& c, int64_t now_ms) {
  while (c.sent < c.out.size()) {
    size_t chunk = m_options.http_drip ? 1 : c.out.size() - c.sent;
    ssize_t n = send(c.fd.Get(), c.out.data() + c.sent, chunk, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (m_options.http_drip) SetTimer(c, now_ms + m_options.drip_interval_ms);
        return;  // without drip: EPOLLOUT (Rearm) says when to go on
      }
      Close(c);
      return;
    }
    c.sent += static_cast<size_t>(n);
    if (m_options.http_drip && c.sent < c.out.size()) {
      SetTimer(c, now_ms + m_options.drip_interval_ms);
      return;
    }
  }
  FinishWriting(c, now_ms);
}

void HttpServer::FinishWriting(Connection& c, int64_t now_ms) {
  c.out.clear();
  c.out.shrink_to_fit();
  if (m_options.http_hang) {
    c.state = Connection::State::kHanging;  // until the peer gives up or we exit
    return;
  }
  // Half-close and wait for the peer's close, so that unread bytes cannot turn our close
  // into a reset that destroys the end of the answer.
  shutdown(c.fd.Get(), SHUT_WR);
  c.state = Connection::State::kLingering;
  SetTimer(c, now_ms + kLingerMs);
}

}  // namespace sim
