// The simulator's HTTP side: the bare request that Tarovue sends (no Host field) is
// answered and the connection closed, on the chosen port and on port 80, for every page the
// client asks for, also with many connections open at once.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/sim_protocol.h"
#include "tests/sim/sim_harness.h"

using simtest::Body;
using simtest::Header;
using simtest::HttpGet;
using simtest::SimTest;

namespace {

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  size_t a = text.find(open);
  if (a == std::string::npos) return "<absent>";
  a += open.size();
  size_t b = text.find(close, a);
  return b == std::string::npos ? "<absent>" : text.substr(a, b - a);
}

std::string StatusLine(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

}  // namespace

TEST_F(SimTest, DescriptionAnswersTheBareRequestAndCloses) {
  StartSim({"--devices", "2"});
  for (uint16_t port : {sim::kDefaultHttpPort, sim::kPingPort}) {
    SCOPED_TRACE(port);
    auto r = HttpGet(DevicesAddress(), port, "/dev/2/description.xml");
    ASSERT_TRUE(r.closed) << "the client reads until the server closes";
    EXPECT_EQ(StatusLine(r.bytes), "HTTP/1.1 200 OK");
    const std::string body = Body(r.bytes);
    EXPECT_EQ(Header(r.bytes, "Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(Between(body, "<deviceType>", "</deviceType>"), sim::kDeviceType);
    EXPECT_EQ(Between(body, "<modelDescription>", "</modelDescription>"), "Indicator \"scale-2\"");
    EXPECT_EQ(Between(body, "<modelName>", "</modelName>"), sim::kModelName);
    EXPECT_EQ(Between(body, "<manufacturer>", "</manufacturer>"), sim::kManufacturer);
    EXPECT_NE(Between(body, "<friendlyName>", "</friendlyName>"), "<absent>");
    EXPECT_NE(Between(body, "<modelNumber>", "</modelNumber>"), "<absent>");
    EXPECT_NE(Between(body, "<serialNumber>", "</serialNumber>"), "<absent>");
    EXPECT_EQ(Between(body, "<UDN>uuid:", "</UDN>").size(), 36u);
    const std::string page = Between(body, "<presentationURL>", "</presentationURL>");
    EXPECT_EQ(page, "http://" + DevicesAddress() + ":8080/dev/2/");
  }
}

TEST_F(SimTest, PagePingAndBackupAnswerOnBothPorts) {
  StartSim({});
  for (uint16_t port : {sim::kDefaultHttpPort, sim::kPingPort}) {
    SCOPED_TRACE(port);
    for (const char* path : {"/ping", "/dev/3/", "/dev/3/backup.html", "/"}) {
      SCOPED_TRACE(path);
      auto r = HttpGet(DevicesAddress(), port, path);
      EXPECT_TRUE(r.closed);
      EXPECT_EQ(StatusLine(r.bytes), "HTTP/1.1 200 OK");
      EXPECT_NE(Body(r.bytes).find("</html>"), std::string::npos);
    }
    for (const char* path : {"/dev/4/description.xml", "/dev/0/", "/nothing", "/dev/x/"}) {
      SCOPED_TRACE(path);
      auto r = HttpGet(DevicesAddress(), port, path);
      EXPECT_TRUE(r.closed);
      EXPECT_EQ(StatusLine(r.bytes), "HTTP/1.1 404 Not Found");
    }
  }
}

TEST_F(SimTest, MalformedRequestsAreAnsweredAndClosed) {
  StartSim({});
  struct Case {
    const char* label;
    std::string request;
    const char* status;
  } cases[] = {
      {"not GET", "POST /ping HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
      {"no version", "GET /ping\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"head without end", std::string(9000, 'A'), "HTTP/1.1 400 Bad Request"},
      {"bare LF lines", "GET /ping HTTP/1.0\n\n", "HTTP/1.1 200 OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(sim::kDefaultHttpPort);
    inet_pton(AF_INET, DevicesAddress().c_str(), &to.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    send(fd, c.request.data(), c.request.size(), MSG_NOSIGNAL);
    std::string got;
    char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 3000) == 1) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_EQ(StatusLine(got), c.status);
  }
}

TEST_F(SimTest, ManyConcurrentConnectionsAreAllServed) {
  StartSim({"--devices", "50"});
  constexpr int kConnections = 300;
  std::vector<int> fds;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(sim::kDefaultHttpPort);
  inet_pton(AF_INET, DevicesAddress().c_str(), &to.sin_addr);
  for (int i = 0; i < kConnections; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    fds.push_back(fd);
  }
  // Every connection is open before the first request is sent: none may wait for another.
  for (int i = kConnections - 1; i >= 0; --i) {
    const std::string request =
        "GET /dev/" + std::to_string(i % 50 + 1) + "/description.xml HTTP/1.1\r\n\r\n";
    send(fds[static_cast<size_t>(i)], request.data(), request.size(), MSG_NOSIGNAL);
  }
  int complete = 0;
  for (int i = 0; i < kConnections; ++i) {
    std::string got;
    char buffer[4096];
    pollfd p{fds[static_cast<size_t>(i)], POLLIN, 0};
    bool closed = false;
    while (poll(&p, 1, 3000) == 1) {
      ssize_t n = recv(p.fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed = n == 0;
        break;
      }
      got.append(buffer, static_cast<size_t>(n));
    }
    close(p.fd);
    const std::string device = "scale-" + std::to_string(i % 50 + 1) + "\"";
    if (closed && got.find(device) != std::string::npos) ++complete;
  }
  EXPECT_EQ(complete, kConnections);
}
