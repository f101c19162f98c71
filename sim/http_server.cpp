#include "sim/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/event_log.h"

namespace sim {

struct HttpServer::Connection {
  enum class State { kReading, kWriting, kHanging, kLingering, kClosed };
  UniqueFd fd;
  std::string peer;  // "a.b.c.d:port"
  uint16_t local_port = 0;
  State state = State::kReading;
  std::string in;
  std::string out;
  size_t sent = 0;
  bool peer_done = false;  // the peer half-closed; poll no longer for input
  int64_t deadline = 0;    // next dripped byte, or end of lingering
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
    : m_devices(devices), m_options(options) {}

HttpServer::~HttpServer() = default;

bool HttpServer::Listen(const std::string& address, uint16_t port, std::string& error) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  if (listen(fd.Get(), kListenBacklog) != 0) {
    error = std::string("listen: ") + std::strerror(errno);
    return false;
  }
  m_listeners.push_back({std::move(fd), port});
  return true;
}

void HttpServer::CollectPollFds(std::vector<pollfd>& fds, int64_t& deadline_ms) {
  const bool room = m_connections.size() < kMaxConnections;
  for (const Listener& l : m_listeners) {
    fds.push_back({l.fd.Get(), static_cast<short>(room ? POLLIN : 0), 0});
  }
  for (const auto& c : m_connections) {
    short events = c->peer_done ? 0 : POLLIN;
    if (c->state == Connection::State::kWriting && !m_options.http_drip) events = POLLOUT;
    fds.push_back({c->fd.Get(), events, 0});
    if ((c->state == Connection::State::kWriting && m_options.http_drip) ||
        c->state == Connection::State::kLingering) {
      deadline_ms = std::min(deadline_ms, c->deadline);
    }
  }
  m_polled_connections = m_connections.size();
}

void HttpServer::HandlePoll(const pollfd* fds, int64_t now_ms) {
  for (size_t i = 0; i < m_listeners.size(); ++i) {
    if (fds[i].revents & POLLIN) Accept(m_listeners[i], now_ms);
  }
  const pollfd* cfds = fds + m_listeners.size();
  for (size_t i = 0; i < m_polled_connections; ++i) {
    Connection& c = *m_connections[i];
    const short rev = cfds[i].revents;
    if (rev & (POLLIN | POLLERR | POLLHUP)) {
      OnReadable(c, now_ms);
    }
    if (c.state == Connection::State::kWriting &&
        ((rev & POLLOUT) || (m_options.http_drip && now_ms >= c.deadline))) {
      OnWritable(c, now_ms);
    }
    if (c.state == Connection::State::kLingering && now_ms >= c.deadline) {
      c.state = Connection::State::kClosed;
    }
  }
  std::erase_if(m_connections, [](const std::unique_ptr<Connection>& c) {
    return c->state == Connection::State::kClosed;
  });
}

void HttpServer::Accept(Listener& listener, int64_t now_ms) {
  while (m_connections.size() < kMaxConnections) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(listener.fd.Get(), reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a connection that went away before we took it
    auto c = std::make_unique<Connection>();
    c->fd = UniqueFd(fd);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    c->peer = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    c->local_port = listener.port;
    c->deadline = now_ms;
    ++m_counters.connections;
    m_connections.push_back(std::move(c));
  }
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
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && c.state == Connection::State::kWriting) {
      c.peer_done = true;  // a half-close: the answer still goes out
      return;
    }
    // The peer closed or reset: nothing more can be delivered to it.
    if (c.state == Connection::State::kReading && !c.in.empty()) {
      LogLine("http %s: closed before the end of its request", c.peer.c_str());
    }
    c.state = Connection::State::kClosed;
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
  LogLine("http %s port %u: %s %s -> %d, %zu bytes", c.peer.c_str(), c.local_port,
          method.empty() ? "?" : method.c_str(), target.substr(0, 300).c_str(), doc.status,
          c.out.size());
  c.in.clear();
  c.in.shrink_to_fit();
  c.sent = 0;
  c.state = Connection::State::kWriting;
  c.deadline = now_ms;
  if (!m_options.http_drip) OnWritable(c, now_ms);
}

void HttpServer::OnWritable(Connection& c, int64_t now_ms) {
  while (c.sent < c.out.size()) {
    size_t chunk = m_options.http_drip ? 1 : c.out.size() - c.sent;
    ssize_t n = send(c.fd.Get(), c.out.data() + c.sent, chunk, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      c.state = Connection::State::kClosed;
      return;
    }
    c.sent += static_cast<size_t>(n);
    if (m_options.http_drip && c.sent < c.out.size()) {
      c.deadline = now_ms + m_options.drip_interval_ms;
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
  c.deadline = now_ms + kLingerMs;
}

}  // namespace sim
