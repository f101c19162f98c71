// Small loopback peers for tests: a UDP sender and a one-connection TCP server whose
// behaviour a test scripts. Everything stays on 127.0.0.1 unless the test's private network
// gives other addresses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// The IPv4 address in network byte order of a dotted text.
inline uint32_t Address(const char* dotted) {
  in_addr in{};
  inet_pton(AF_INET, dotted, &in);
  return in.s_addr;
}

// Sends one datagram from an ephemeral port of `from` (dotted) to `to`:`port`.
inline bool SendDatagram(const std::string& payload, const char* to, uint16_t port,
                         const char* from = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  inet_pton(AF_INET, to, &peer.sin_addr);
  ssize_t n = sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                     sizeof peer);
  close(fd);
  return n == static_cast<ssize_t>(payload.size());
}

inline uint16_t LocalPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

// A loopback port nobody listens on: a connection to it is refused at once.
inline uint16_t ClosedPort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local);
  const uint16_t port = LocalPort(probe);
  close(probe);
  return port;
}

// Accepts connections on 127.0.0.1 in a thread of its own and hands each connected socket to
// `serve`, which owns it (and closes it, or not). Stops and joins on destruction.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::function<void(int fd)> serve, int connections = 1)
      : m_serve(std::move(serve)) {
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listener, reinterpret_cast<sockaddr*>(&local), sizeof local);
    listen(m_listener, 16);
    m_port = LocalPort(m_listener);
    m_thread = std::thread([this, connections] {
      for (int i = 0; i < connections; ++i) {
        int fd = accept(m_listener, nullptr, nullptr);
        if (fd < 0) return;
        m_serve(fd);
      }
    });
  }
  ~LoopbackServer() {
    shutdown(m_listener, SHUT_RDWR);
    close(m_listener);
    if (m_thread.joinable()) m_thread.join();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  [[nodiscard]] uint16_t Port() const { return m_port; }

 private:
  std::function<void(int)> m_serve;
  int m_listener = -1;
  uint16_t m_port = 0;
  std::thread m_thread;
};

// Reads what the client sent up to the empty line that ends a request head.
inline std::string ReadRequestHead(int fd) {
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) head += c;
  return head;
}

inline void SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}
