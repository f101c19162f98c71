// GetUrl against real servers in the test's private network: the exact bytes it sends, where
// it connects, what it stores, and how long a silent or endless device can hold it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "http/get_url.h"
#include "tests/http/scripted_http_server.h"
#include "tests/support/isolated_network.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr char kResponse[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n<root><modelName>X900</modelName></root>";
constexpr uint32_t kResponseLength = sizeof kResponse - 1;
constexpr uint32_t kSize = 2047;
constexpr char kCanary = '#';
// No host answers this address on host A's network (see SetUp of the silent-host test).
constexpr char kSilentHost[] = "10.77.0.99";

ScriptedReply Reply(std::vector<std::string> segments, std::chrono::milliseconds pause = 0ms,
                    bool close = true) {
  return ScriptedReply(std::move(segments), pause, close);
}

std::string Request(const std::string& path) {
  return "GET /" + path + " HTTP/1.1\r\n\r\n";
}

// `url` with "PORT" replaced by `port`.
std::string WithPort(std::string url, uint32_t port) {
  const std::size_t at = url.find("PORT");
  if (at != std::string::npos) url.replace(at, 4, std::to_string(port));
  return url;
}

struct Fetched {
  uint32_t count;
  std::string text;  // the buffer up to its first NUL
  bool terminated_at_count;
  bool canary_intact;  // the byte just past the buffer's size + 1 bytes
  std::chrono::milliseconds took;
};

// Calls GetUrl on a buffer of `size` + 1 bytes that starts full of junk and is followed by a
// canary.
Fetched Fetch(const std::string& url, uint32_t size = kSize) {
  std::vector<char> buffer(size + 2, 'x');
  buffer[size + 1] = kCanary;
  const auto start = SteadyClock::now();
  const uint32_t count = GetUrl(buffer.data(), size, url.c_str());
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
  return {count, std::string(buffer.data()), count <= size && buffer[count] == '\0',
          buffer[size + 1] == kCanary, took};
}

// Lets the server thread take any connection that the client's connect completed.
void LetServerCatchUp() {
  std::this_thread::sleep_for(100ms);
}

class GetUrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }
};

TEST_F(GetUrlTest, SendsOnlyTheRequestLineAndEmptyLineAndReturnsTheWholeResponse) {
  const struct {
    const char* label;
    const char* url;
    std::string request;
  } cases[] = {
      {"path", "http://127.0.0.1:PORT/desc.xml", Request("desc.xml")},
      {"slash only", "http://127.0.0.1:PORT/", Request("")},
      {"no slash after the host", "http://127.0.0.1:PORT", Request("")},
      {"path with slashes and query", "http://127.0.0.1:PORT/a/b?c=d&e", Request("a/b?c=d&e")},
      {"port text with trailing junk", "http://127.0.0.1:PORTxyz/p", Request("p")},
      {"port with a plus sign", "http://127.0.0.1:+PORT/p", Request("p")},
      {"host name", "http://localhost:PORT/desc.xml", Request("desc.xml")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptedHttpServer server(Reply({kResponse}));
    const Fetched fetched = Fetch(WithPort(c.url, server.Port()));
    EXPECT_EQ(fetched.count, kResponseLength);
    EXPECT_EQ(fetched.text, kResponse);
    EXPECT_TRUE(fetched.terminated_at_count);
    EXPECT_EQ(server.Requests(), std::vector<std::string>{c.request});
  }
}

TEST_F(GetUrlTest, PortRules) {
  {
    SCOPED_TRACE("no port, and an empty port text: port 80");
    ScriptedHttpServer server(Reply({kResponse}), "127.0.0.1", 80);
    ASSERT_TRUE(server.Listening());
    EXPECT_EQ(Fetch("http://127.0.0.1/desc.xml").count, kResponseLength);
    EXPECT_EQ(Fetch("http://127.0.0.1:/x").count, kResponseLength);
    EXPECT_EQ(server.Requests(), (std::vector<std::string>{Request("desc.xml"), Request("x")}));
  }
  {
    SCOPED_TRACE("above 65535: only the low 16 bits count");
    ScriptedHttpServer server(Reply({kResponse}));
    EXPECT_EQ(Fetch(WithPort("http://127.0.0.1:PORT/a", server.Port() + 65536u)).count,
              kResponseLength);
    EXPECT_EQ(Fetch(WithPort("http://127.0.0.1:PORT/b", server.Port() + 3 * 65536u)).count,
              kResponseLength);
    EXPECT_EQ(server.Connections(), 2);
  }
  {
    SCOPED_TRACE("no digits: port 0, which nobody can serve");
    const Fetched fetched = Fetch("http://127.0.0.1:abc/x");
    EXPECT_EQ(fetched.count, 0u);
    EXPECT_EQ(fetched.text, "");
  }
}

TEST_F(GetUrlTest, ResponseSplitOverSegmentsIsPutTogether) {
  const std::string response = kResponse;
  std::vector<std::string> segments;
  for (std::size_t at = 0; at < response.size(); at += 7)
    segments.push_back(response.substr(at, 7));
  ScriptedHttpServer server(Reply(segments, 5ms));
  const Fetched fetched = Fetch(WithPort("http://127.0.0.1:PORT/desc.xml", server.Port()));
  EXPECT_EQ(fetched.count, kResponseLength);
  EXPECT_EQ(fetched.text, response);
}

// The layer wakes every 2000 ms to retry; a device slower than that is still waited for.
TEST_F(GetUrlTest, WakeUpTicksDoNotEndTheExchange) {
  ScriptedHttpServer server(Reply({kResponse}, 2500ms));
  const Fetched fetched = Fetch(WithPort("http://127.0.0.1:PORT/", server.Port()));
  EXPECT_EQ(fetched.text, kResponse);
  EXPECT_GE(fetched.took, 2400ms);
}

TEST_F(GetUrlTest, ResponseLongerThanSizeStopsAtSizeAndHangsUp) {
  constexpr uint32_t kSmall = 100;
  // More than the client reads, and more again later, so that the server notices the hang-up.
  std::vector<std::string> segments(20, std::string(1024, 'z'));
  segments.front() = kResponse + segments.front();
  const std::string response = segments.front();
  ScriptedHttpServer server(Reply(segments, 20ms));
  const Fetched fetched = Fetch(WithPort("http://127.0.0.1:PORT/", server.Port()), kSmall);
  EXPECT_EQ(fetched.count, kSmall);
  EXPECT_EQ(fetched.text, response.substr(0, kSmall));
  EXPECT_TRUE(fetched.terminated_at_count);
  EXPECT_TRUE(fetched.canary_intact);
  // The rest is never read: the server's sending fails once the client has closed.
  const auto limit = SteadyClock::now() + 3s;
  while (!server.ClientClosedEarly() && SteadyClock::now() < limit)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(server.ClientClosedEarly());
}

TEST_F(GetUrlTest, PathLengthLimit) {
  // "GET /" + path + " HTTP/1.1\r\n\r\n" and its terminator fill 256 bytes at 237 characters.
  const std::string longest(237, 'p');
  ScriptedHttpServer server(Reply({kResponse}));
  EXPECT_EQ(Fetch(WithPort("http://127.0.0.1:PORT/", server.Port()) + longest).count,
            kResponseLength);
  const Fetched refused = Fetch(WithPort("http://127.0.0.1:PORT/", server.Port()) + longest + "p");
  EXPECT_EQ(refused.count, 0u);
  EXPECT_EQ(refused.text, "");
  LetServerCatchUp();
  EXPECT_EQ(server.Requests(), std::vector<std::string>{Request(longest)})
      << "the longer path is refused, not sent cut short";
}

TEST_F(GetUrlTest, UnusableUrlsFailWithoutConnecting) {
  ScriptedHttpServer server(Reply({kResponse}));
  const char* urls[] = {
      "https://127.0.0.1:PORT/x",  // only plain http
      "HTTP://127.0.0.1:PORT/x",   // the scheme is case-sensitive
      "127.0.0.1:PORT/x",          // no scheme
      "http:/127.0.0.1:PORT/x",    // no "://"
      "http://",                   // nothing after the scheme
      "http:///x",                 // empty host
      "http://:PORT/x",            // empty host with a port
      "",
  };
  for (const char* url : urls) {
    SCOPED_TRACE(url);
    const Fetched fetched = Fetch(WithPort(url, server.Port()));
    EXPECT_EQ(fetched.count, 0u);
    EXPECT_EQ(fetched.text, "") << "a failure leaves the empty string";
    EXPECT_LT(fetched.took, 100ms);
  }
  LetServerCatchUp();
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(GetUrlTest, BuffersTooSmallForAnyUrlFail) {
  ScriptedHttpServer server(Reply({kResponse}));
  for (uint32_t size : {0u, 1u}) {
    const Fetched fetched = Fetch(WithPort("http://127.0.0.1:PORT/", server.Port()), size);
    EXPECT_EQ(fetched.count, 0u);
    EXPECT_EQ(fetched.text, "");
    EXPECT_TRUE(fetched.canary_intact);
  }
  LetServerCatchUp();
  EXPECT_EQ(server.Connections(), 0);
}

TEST_F(GetUrlTest, ConnectionFailuresGiveZeroAndTheEmptyString) {
  const uint16_t closed_port = ClosedPort();
  for (const std::string& url : {WithPort("http://127.0.0.1:PORT/x", closed_port),
                                 std::string("http://no-such-host.invalid/x")}) {
    SCOPED_TRACE(url);
    const Fetched fetched = Fetch(url);
    EXPECT_EQ(fetched.count, 0u);
    EXPECT_EQ(fetched.text, "");
  }
}

TEST_F(GetUrlTest, PeerThatNeverClosesIsCutOffAtTheExchangeBound) {
  {
    SCOPED_TRACE("what arrived counts as the response");
    ScriptedHttpServer server(Reply({kResponse}, 0ms, false));
    const Fetched fetched = Fetch(WithPort("http://127.0.0.1:PORT/", server.Port()));
    EXPECT_EQ(fetched.text, kResponse);
    EXPECT_EQ(fetched.count, kResponseLength);
    EXPECT_GE(fetched.took, std::chrono::milliseconds(kGetUrlExchangeTimeoutMs - 100));
    EXPECT_LT(fetched.took, std::chrono::milliseconds(kGetUrlExchangeTimeoutMs + 1500));
  }
  {
    SCOPED_TRACE("nothing arrived: failure");
    ScriptedHttpServer server(Reply({}, 0ms, false));
    const Fetched fetched = Fetch(WithPort("http://127.0.0.1:PORT/", server.Port()));
    EXPECT_EQ(fetched.count, 0u);
    EXPECT_EQ(fetched.text, "");
    EXPECT_LT(fetched.took, std::chrono::milliseconds(kGetUrlExchangeTimeoutMs + 1500));
  }
}

TEST_F(GetUrlTest, SilentHostIsGivenUpAtTheConnectBound) {
  // A neighbour entry to a hardware address that nobody has: frames leave host A's end of the
  // private link and are dropped on the other, so the connect never hears back.
  ASSERT_EQ(std::system((std::string("ip neigh replace ") + kSilentHost +
                         " lladdr 02:00:00:00:00:99 dev tv0 nud permanent")
                            .c_str()),
            0);
  const Fetched fetched = Fetch(std::string("http://") + kSilentHost + "/desc.xml");
  EXPECT_EQ(fetched.count, 0u);
  EXPECT_EQ(fetched.text, "");
  EXPECT_GE(fetched.took, std::chrono::milliseconds(kGetUrlConnectTimeoutMs - 100));
  EXPECT_LT(fetched.took, std::chrono::milliseconds(kGetUrlConnectTimeoutMs + 1000));
}

}  // namespace
