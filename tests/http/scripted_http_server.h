// A TCP server for HTTP tests, in a thread of its own: it accepts every connection, keeps
// the request head each client sent, and answers with a scripted reply — in separate
// segments with pauses, and closed or held open until the server is destroyed.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_peer.h"

struct ScriptedReply {
  explicit ScriptedReply(std::vector<std::string> segments_ = {},
                         std::chrono::milliseconds pause_ = std::chrono::milliseconds(0),
                         bool close_ = true)
      : segments(std::move(segments_)), pause(pause_), close(close_) {}

  std::vector<std::string> segments;  // sent one by one, each its own TCP segment
  std::chrono::milliseconds pause;    // before each segment
  bool close;                         // false: hold the connection open until destroyed
  // Runs in the server's thread once the request head is in, before the reply; gets the
  // connection's number, counted from 1.
  std::function<void(int connection)> on_request;
};

class ScriptedHttpServer {
 public:
  // Listens on `address`:`port` (0: a port the system chooses).
  explicit ScriptedHttpServer(ScriptedReply reply, const char* address = "127.0.0.1",
                              uint16_t port = 0)
      : m_reply(std::move(reply)) {
    m_listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address, &local.sin_addr);
    m_listening = bind(m_listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                  listen(m_listener, 16) == 0;
    m_port = LocalPort(m_listener);
    if (m_listening) m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedHttpServer() {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    m_stopped.notify_all();
    if (m_thread.joinable()) m_thread.join();
    close(m_listener);
  }
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  [[nodiscard]] bool Listening() const { return m_listening; }
  [[nodiscard]] uint16_t Port() const { return m_port; }
  // Connections accepted so far.
  [[nodiscard]] int Connections() const { return m_connections; }
  // The request heads received so far, in order.
  [[nodiscard]] std::vector<std::string> Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  // The reply for connections accepted from now on.
  void SetReply(ScriptedReply reply) {
    std::lock_guard lock(m_mutex);
    m_reply = std::move(reply);
  }
  // Whether the client had closed its end when the server tried to send more (set for a
  // reply longer than the client reads).
  [[nodiscard]] bool ClientClosedEarly() const { return m_client_closed_early; }

 private:
  void Serve() {
    for (;;) {
      pollfd listener{m_listener, POLLIN, 0};
      if (poll(&listener, 1, 20) > 0) {
        int fd = accept(m_listener, nullptr, nullptr);
        if (fd >= 0) Answer(fd);
      }
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
    }
  }

  void Answer(int fd) {
    const int connection = ++m_connections;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval limit{10, 0};  // a client that never ends its request must not hang the test
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string head = ReadRequestHead(fd);
    ScriptedReply reply;
    {
      std::lock_guard lock(m_mutex);
      m_requests.push_back(head);
      reply = m_reply;
    }
    if (reply.on_request) reply.on_request(connection);
    for (const std::string& segment : reply.segments) {
      if (reply.pause.count() > 0) std::this_thread::sleep_for(reply.pause);
      if (!SendEvery(fd, segment)) {
        m_client_closed_early = true;
        break;
      }
    }
    if (!reply.close) {
      std::unique_lock lock(m_mutex);
      m_stopped.wait(lock, [this] { return m_stopping; });
    }
    close(fd);
  }

  static bool SendEvery(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_stopped;
  bool m_stopping = false;
  ScriptedReply m_reply;
  std::vector<std::string> m_requests;
  std::atomic<int> m_connections{0};
  std::atomic<bool> m_client_closed_early{false};
  int m_listener = -1;
  bool m_listening = false;
  uint16_t m_port = 0;
  std::thread m_thread;
};
