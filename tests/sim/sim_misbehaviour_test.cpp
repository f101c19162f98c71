// The misbehaviour switches: each makes the simulator fail in exactly the way a client test
// asks for, and in no other.
#include <chrono>

#include "sim/sim_protocol.h"
#include "tests/sim/sim_harness.h"

using simtest::Body;
using simtest::Datagram;
using simtest::Header;
using simtest::HttpGet;
using simtest::SearchRequest;
using simtest::SimTest;
using simtest::UdpSocket;

namespace {

std::vector<Datagram> SearchOnce(UdpSocket& client, size_t enough) {
  EXPECT_TRUE(client.SendTo(SearchRequest(sim::kDeviceType, 1), sim::kSsdpGroup, sim::kSsdpPort));
  return client.Collect(800, enough);
}

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  size_t a = text.find(open);
  if (a == std::string::npos) return "<absent>";
  a += open.size();
  size_t b = text.find(close, a);
  return b == std::string::npos ? "<absent>" : text.substr(a, b - a);
}

}  // namespace

TEST_F(SimTest, PadResponseGivesDatagramsOfExactlyThatSize) {
  // 513 is one past the client's receive buffer; 300 leaves room only for spaces; 100 cuts.
  for (size_t size : {513u, 302u, 4000u, 100u}) {
    SCOPED_TRACE(size);
    pid_t pid = StartSim({"--devices", "2", "--pad-response", std::to_string(size)});
    UdpSocket client;
    auto got = SearchOnce(client, 2);
    ASSERT_EQ(got.size(), 2u);
    for (const Datagram& d : got) {
      EXPECT_EQ(d.text.size(), size);
      if (size > 300) {
        EXPECT_EQ(Header(d.text, "ST"), sim::kDeviceType) << "padding keeps the fields readable";
        EXPECT_EQ(d.text.substr(d.text.size() - 4), "\r\n\r\n");
      } else {
        EXPECT_EQ(d.text.rfind(sim::kResponseLine, 0), 0u);
      }
    }
    net.Stop(pid);
  }
}

TEST_F(SimTest, EmptyResponseSendsEmptyDatagrams) {
  StartSim({"--devices", "3", "--empty-response"});
  UdpSocket client;
  auto got = SearchOnce(client, 3);
  ASSERT_EQ(got.size(), 3u);
  for (const Datagram& d : got) EXPECT_TRUE(d.text.empty());
}

TEST_F(SimTest, CacheControlIsSentVerbatim) {
  UdpSocket listener(sim::kSsdpPort, net.Address(testnet::Side::kClient));
  StartSim({"--devices", "1", "--cache-control", "max-age = 1800, private"});
  UdpSocket client;
  auto got = SearchOnce(client, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Header(got[0].text, "CACHE-CONTROL"), "max-age = 1800, private");
  // The listener also hears our own search, looped back: pick the notification.
  bool seen = false;
  for (const Datagram& d : listener.Collect(300)) {
    if (Header(d.text, sim::kHdrNts) != sim::kAlive) continue;
    EXPECT_EQ(Header(d.text, "CACHE-CONTROL"), "max-age = 1800, private");
    seen = true;
  }
  EXPECT_TRUE(seen) << "no ssdp:alive";
}

TEST_F(SimTest, HttpHangAnswersButNeverCloses) {
  StartSim({"--http-hang"});
  auto r = HttpGet(DevicesAddress(), sim::kDefaultHttpPort, "/ping", 1500);
  EXPECT_FALSE(r.closed);
  EXPECT_EQ(Header(r.bytes, "Content-Length"), std::to_string(Body(r.bytes).size()))
      << "the whole answer arrived";
}

TEST_F(SimTest, HttpDripSendsOneByteAtATime) {
  StartSim({"--http-drip", "--drip-interval-ms", "100"});
  auto r = HttpGet(DevicesAddress(), sim::kDefaultHttpPort, "/ping", 1050);
  EXPECT_FALSE(r.closed);
  EXPECT_GE(r.bytes.size(), 5u);
  EXPECT_LE(r.bytes.size(), 13u);
  EXPECT_EQ(std::string("HTTP/1.1 200 OK").rfind(r.bytes, 0), 0u) << r.bytes;
}

TEST_F(SimTest, HttpHugeBodyIsExactlyThatLong) {
  StartSim({"--http-huge", "1048576"});
  auto r = HttpGet(DevicesAddress(), sim::kDefaultHttpPort, "/dev/1/description.xml", 5000);
  ASSERT_TRUE(r.closed);
  const std::string body = Body(r.bytes);
  EXPECT_EQ(body.size(), 1048576u);
  EXPECT_EQ(Header(r.bytes, "Content-Length"), "1048576");
  EXPECT_EQ(Between(body, "<modelName>", "</modelName>"), sim::kModelName)
      << "the real content comes first";
}

TEST_F(SimTest, MarkupInHostNamesIsSentVerbatim) {
  StartSim({"--devices", "2", "--host-name", "<b>&amp \"x\" {n}</b>"});
  auto r = HttpGet(DevicesAddress(), sim::kDefaultHttpPort, "/dev/2/description.xml");
  EXPECT_EQ(Between(Body(r.bytes), "<modelDescription>", "</modelDescription>"),
            "Indicator \"<b>&amp \"x\" 2</b>\"");
}

TEST_F(SimTest, TextLengthMakesEveryTextThatLong) {
  for (size_t length : {33u, 257u, 2049u}) {
    SCOPED_TRACE(length);
    pid_t pid = StartSim({"--devices", "1", "--text-length", std::to_string(length)});
    auto r = HttpGet(DevicesAddress(), sim::kDefaultHttpPort, "/dev/1/description.xml");
    const std::string body = Body(r.bytes);
    const std::string description = Between(body, "<modelDescription>", "</modelDescription>");
    EXPECT_EQ(description.size(), length + 12) << "Indicator \"...\" around the host name";
    for (const char* tag : {"friendlyName", "modelName", "modelNumber", "serialNumber"}) {
      EXPECT_EQ(Between(body, std::string("<") + tag + ">", std::string("</") + tag + ">").size(),
                length)
          << tag;
    }
    EXPECT_GT(body.size(), 5 * length);
    net.Stop(pid);
  }
}
