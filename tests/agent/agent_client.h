// What the agent's end-to-end tests share: the program under test, a plain HTTP client that
// speaks to the agent (and to prometheus) from the calling thread's namespace, reading
// /metrics, polling for a condition, and bcrypt hashes for web configurations. Nothing here
// builds a network: the tests do (tests/net/private_network.h).
#pragma once

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "tests/sim/sim_harness.h"

namespace agenttest {

// The port every test's agent serves on, inside its own network.
inline constexpr int kAgentPort = 9731;

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#ifdef TAROVUE_SCAN_BINARY
// "$TAROVUE_BUILD_DIR/tarovue-scan", or the built target's path without that variable.
inline std::string ScanPath() {
  const char* dir = std::getenv("TAROVUE_BUILD_DIR");
  return dir && *dir ? std::string(dir) + "/tarovue-scan" : std::string(TAROVUE_SCAN_BINARY);
}
#endif

// Polls `check` every poll_ms until it holds (true) or deadline_ms pass (false).
inline bool Eventually(const std::function<bool()>& check, int deadline_ms, int poll_ms = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    if (check()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
}

// A TCP connection from the calling thread's namespace, or -1; from a given source address
// (one host among several) and with a small receive window (a client that reads slowly) when
// asked.
inline int Connect(const std::string& address, int port, const std::string& source = {},
                   int receive_window = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receive_window > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_window, sizeof receive_window);
  }
  sockaddr_in from{};
  from.sin_family = AF_INET;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  if ((!source.empty() && (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
                           bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)) ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the response is whole (its head and Content-Length bytes), the peer closes, or
// timeout_ms pass. A HEAD response is whole after its head.
inline std::string ReadResponse(int fd, int timeout_ms, bool head_only = false) {
  std::string in;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::size_t head_end = in.find("\r\n\r\n");
    if (head_end != std::string::npos) {
      const std::string head = simtest::Header(in.substr(0, head_end), "Content-Length");
      const std::size_t length = head_only || head == "<absent>" ? 0 : std::stoul(head);
      if (in.size() >= head_end + 4 + length) return in;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return in;
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return in;
    in.append(buffer, static_cast<std::size_t>(n));
  }
}

// One request on a fresh connection; "" when no connection could be made.
inline std::string Request(const std::string& address, int port, const std::string& method,
                           const std::string& target, int timeout_ms = 5000) {
  const int fd = Connect(address, port);
  if (fd < 0) return "";
  const std::string request = method + " " + target + " HTTP/1.1\r\nHost: " + address + ":" +
                              std::to_string(port) + "\r\nConnection: close\r\n\r\n";
  std::string response;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    response = ReadResponse(fd, timeout_ms, method == "HEAD");
  }
  close(fd);
  return response;
}

// The body of `response`, its chunks joined when it came chunked (Prometheus's larger answers).
inline std::string BodyOf(const std::string& response) {
  const std::string body = simtest::Body(response);
  const std::string head = response.substr(0, response.find("\r\n\r\n"));
  if (simtest::Header(head, "Transfer-Encoding") != "chunked") return body;
  std::string joined;
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t line_end = body.find("\r\n", at);
    if (line_end == std::string::npos) break;
    const std::size_t size = std::stoul(body.substr(at, line_end - at), nullptr, 16);
    if (size == 0) break;
    joined += body.substr(line_end + 2, size);
    at = line_end + 2 + size + 2;
  }
  return joined;
}

inline std::string StatusLine(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

// The value of `series` in an exposition ("tarovue_device_up{usn=\"...\"}"), or -1.
inline double MetricValue(const std::string& metrics, const std::string& series) {
  const std::size_t at = metrics.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::stod(metrics.substr(at + series.size() + 2));
}

// Devices up in an exposition.
inline int UpCount(const std::string& metrics) {
  int count = 0;
  for (std::size_t at = 0; (at = metrics.find("\ntarovue_device_up{", at)) != std::string::npos;) {
    at = metrics.find("} ", at);
    count += metrics.compare(at, 3, "} 1") == 0 ? 1 : 0;
  }
  return count;
}

// A bcrypt hash of `password`, as htpasswd -nBC COST makes it; "" when libxcrypt cannot.
inline std::string Bcrypt(const std::string& password, int cost) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$2y$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                       sizeof setting) == nullptr) {
    return "";
  }
  crypt_data data{};
  const char* hash = crypt_rn(password.c_str(), setting, &data, sizeof data);
  return hash != nullptr ? hash : "";
}

}  // namespace agenttest
