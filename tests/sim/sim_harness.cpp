#include "tests/sim/sim_harness.h"

#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "sim/sim_protocol.h"

namespace simtest {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

sockaddr_in Endpoint(const std::string& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  return sa;
}

}  // namespace

std::string SimPath() {
  const char* dir = std::getenv("TAROVUE_BUILD_DIR");
  return dir && *dir ? std::string(dir) + "/tarovue-sim" : std::string(TAROVUE_SIM_BINARY);
}

std::string TestScript(const std::string& name) {
  const char* dir = std::getenv("TAROVUE_SOURCE_DIR");
  return (dir && *dir ? std::string(dir) + "/tests/sim" : std::string(TAROVUE_SIM_TEST_DIR)) + "/" +
         name;
}

std::string SearchRequest(const std::string& st, int mx) {
  std::string text = std::string(sim::kSearchLine) + "\r\n";
  if (mx >= 0) text += std::string(sim::kHdrMx) + ": " + std::to_string(mx) + "\r\n";
  text += std::string(sim::kHdrSt) + ": " + st + "\r\n";
  text += std::string(sim::kHdrHost) + ": " + sim::kSsdpHost + "\r\n";
  text += std::string(sim::kHdrMan) + ": " + sim::kDiscoverMan + "\r\n\r\n";
  return text;
}

std::vector<Datagram> WithNts(const std::vector<Datagram>& all, const char* nts) {
  std::vector<Datagram> out;
  for (const Datagram& d : all) {
    if (Header(d.text, sim::kHdrNts) == nts) out.push_back(d);
  }
  return out;
}

std::string Header(const std::string& message, const std::string& name) {
  size_t pos = 0;
  while (pos < message.size()) {
    size_t end = message.find('\n', pos);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon != name.size()) continue;
    if (strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
  }
  return "<absent>";
}

UdpSocket::UdpSocket(uint16_t port, const std::string& join_on) {
  m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0) return;
  int one = 1, big = 8 << 20;
  setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  sockaddr_in any = Endpoint("0.0.0.0", port);
  bool good = bind(m_fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
  if (good && !join_on.empty()) {
    ip_mreq m{};
    inet_pton(AF_INET, sim::kSsdpGroup, &m.imr_multiaddr);
    inet_pton(AF_INET, join_on.c_str(), &m.imr_interface);
    good = setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
  }
  if (!good) {
    close(m_fd);
    m_fd = -1;
  }
}

UdpSocket::~UdpSocket() {
  if (m_fd >= 0) close(m_fd);
}

uint16_t UdpSocket::Port() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

bool UdpSocket::SendTo(const std::string& text, const std::string& address, uint16_t port) {
  sockaddr_in to = Endpoint(address, port);
  return sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(text.size());
}

std::vector<Datagram> UdpSocket::Collect(int window_ms, size_t enough) {
  std::vector<Datagram> got;
  const int64_t end = NowMs() + window_ms;
  while (got.size() < enough) {
    const int64_t left = end - NowMs();
    if (left <= 0) break;
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    static char buffer[70000];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) continue;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    got.push_back({std::string(buffer, static_cast<size_t>(n)), text, ntohs(from.sin_port)});
  }
  return got;
}

HttpResult HttpGet(const std::string& address, uint16_t port, const std::string& path,
                   int timeout_ms) {
  HttpResult result;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = Endpoint(address, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return result;
  }
  const std::string request = "GET " + path + " HTTP/1.1\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  const int64_t end = NowMs() + timeout_ms;
  for (;;) {
    const int64_t left = end - NowMs();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      result.closed = n == 0;
      break;
    }
    result.bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return result;
}

std::string Body(const std::string& response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

void SimTest::SetUp() {
  if (!net.ok()) GTEST_SKIP() << net.error();
  ASSERT_TRUE(net.Enter(testnet::Side::kClient));
}

pid_t SimTest::StartSim(std::vector<std::string> args, const std::string& address) {
  args.insert(args.begin(), {SimPath(), "--address", address.empty() ? DevicesAddress() : address});
  pid_t pid = net.Spawn(testnet::Side::kDevices, args);
  EXPECT_GT(pid, 0) << net.error();
  EXPECT_TRUE(net.WaitForOutput(pid, "ready:", 5000)) << net.Output(pid);
  return pid;
}

}  // namespace simtest
