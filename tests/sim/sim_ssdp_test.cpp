// The simulator's SSDP side as a client sees it from the other namespace: search responses,
// alive rounds, byebye, delayed answers and the counts it reports on exit.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "sim/sim_protocol.h"
#include "tests/sim/sim_harness.h"

using simtest::Datagram;
using simtest::Header;
using simtest::SearchRequest;
using simtest::SimTest;
using simtest::UdpSocket;
using simtest::WithNts;

namespace {

std::vector<Datagram> Search(UdpSocket& socket, const std::string& st, int mx, int window_ms,
                             size_t enough = SIZE_MAX) {
  EXPECT_TRUE(socket.SendTo(SearchRequest(st, mx), sim::kSsdpGroup, sim::kSsdpPort));
  return socket.Collect(window_ms, enough);
}

}  // namespace

TEST_F(SimTest, SearchGetsOneResponsePerDeviceWithEveryField) {
  StartSim({});
  UdpSocket client;
  ASSERT_TRUE(client.ok());
  auto got = Search(client, sim::kDeviceType, 100, 1000, 3);
  auto late = client.Collect(300);
  got.insert(got.end(), late.begin(), late.end());
  ASSERT_EQ(got.size(), 3u) << "default --devices is 3";
  std::set<std::string> usns, locations;
  for (const Datagram& d : got) {
    SCOPED_TRACE(d.text);
    EXPECT_EQ(d.text.rfind(std::string(sim::kResponseLine) + "\r\n", 0), 0u);
    EXPECT_EQ(d.text.substr(d.text.size() - 4), "\r\n\r\n");
    EXPECT_EQ(d.from, DevicesAddress()) << "unicast from the device's own address";
    EXPECT_EQ(d.from_port, sim::kSsdpPort);
    EXPECT_EQ(Header(d.text, "ST"), sim::kDeviceType);
    const std::string usn = Header(d.text, "USN");
    EXPECT_EQ(usn.rfind("uuid:", 0), 0u);
    EXPECT_EQ(usn.substr(usn.find("::") + 2), sim::kDeviceType);
    EXPECT_EQ(Header(d.text, "CACHE-CONTROL"), "max-age=1800");
    EXPECT_EQ(Header(d.text, "EXT"), "");
    EXPECT_NE(Header(d.text, "SERVER"), "<absent>");
    const std::string location = Header(d.text, "LOCATION");
    EXPECT_EQ(location.rfind("http://" + DevicesAddress() + ":8080/", 0), 0u);
    usns.insert(usn);
    locations.insert(location);
  }
  EXPECT_EQ(usns.size(), 3u);
  EXPECT_EQ(locations.size(), 3u);
}

TEST_F(SimTest, SearchTargetsSelectWhoAnswers) {
  StartSim({"--devices", "2", "--max-age", "77"});
  UdpSocket client;
  auto all = Search(client, sim::kSearchAll, 1, 800, 2);
  ASSERT_EQ(all.size(), 2u) << "ssdp:all";
  EXPECT_EQ(Header(all[0].text, "ST"), sim::kDeviceType) << "answered with the device type";
  EXPECT_EQ(Header(all[0].text, "CACHE-CONTROL"), "max-age=77");

  const std::string usn = Header(all[1].text, "USN");
  const std::string udn = usn.substr(0, usn.find("::"));
  auto by_udn = Search(client, udn, 1, 500);
  ASSERT_EQ(by_udn.size(), 1u) << "search for one device's UDN";
  EXPECT_EQ(Header(by_udn[0].text, "ST"), udn);
  EXPECT_EQ(Header(by_udn[0].text, "USN"), udn);

  EXPECT_TRUE(Search(client, "urn:schemas-upnp-org:device:MediaServer:1", 1, 400).empty())
      << "foreign device type";
  std::string no_man = SearchRequest(sim::kDeviceType, 1);
  no_man.replace(no_man.find("MAN:"), 4, "XYZ:");
  client.SendTo(no_man, sim::kSsdpGroup, sim::kSsdpPort);
  EXPECT_TRUE(client.Collect(400).empty()) << "search without MAN";
  client.SendTo(SearchRequest(sim::kDeviceType, -1), DevicesAddress(), sim::kSsdpPort);
  EXPECT_EQ(client.Collect(500, 2).size(), 2u) << "unicast search without MX";
}

TEST_F(SimTest, AliveAtStartAndAgainEveryInterval) {
  UdpSocket listener(sim::kSsdpPort, net.Address(testnet::Side::kClient));
  ASSERT_TRUE(listener.ok());
  StartSim({"--devices", "2", "--notify-interval", "0.4", "--max-age", "60"});
  auto alive = WithNts(listener.Collect(1000), sim::kAlive);
  ASSERT_GE(alive.size(), 4u) << "two rounds of two devices";
  std::set<std::string> usns;
  for (const Datagram& d : alive) {
    SCOPED_TRACE(d.text);
    EXPECT_EQ(d.text.rfind(std::string(sim::kNotifyLine) + "\r\n", 0), 0u);
    EXPECT_EQ(Header(d.text, "NT"), sim::kDeviceType);
    EXPECT_EQ(Header(d.text, "HOST"), sim::kSsdpHost);
    EXPECT_EQ(Header(d.text, "CACHE-CONTROL"), "max-age=60");
    EXPECT_EQ(Header(d.text, "LOCATION").rfind("http://" + DevicesAddress(), 0), 0u);
    EXPECT_NE(Header(d.text, "SERVER"), "<absent>");
    usns.insert(Header(d.text, "USN"));
  }
  EXPECT_EQ(usns.size(), 2u);
}

TEST_F(SimTest, ByebyeForEveryDeviceOnSigtermAndSigint) {
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signo == SIGTERM ? "SIGTERM" : "SIGINT");
    UdpSocket listener(sim::kSsdpPort, net.Address(testnet::Side::kClient));
    pid_t pid = StartSim({"--devices", "4"});
    listener.Collect(200);
    kill(pid, signo);
    EXPECT_EQ(net.Wait(pid, 5000), 0);
    auto byebye = WithNts(listener.Collect(500), sim::kByebye);
    ASSERT_EQ(byebye.size(), 4u);
    std::set<std::string> usns;
    for (const Datagram& d : byebye) {
      EXPECT_EQ(Header(d.text, "NT"), sim::kDeviceType);
      EXPECT_EQ(Header(d.text, "LOCATION"), "<absent>");
      usns.insert(Header(d.text, "USN"));
    }
    EXPECT_EQ(usns.size(), 4u);
    EXPECT_NE(net.Output(pid).find("summary: "), std::string::npos) << net.Output(pid);
  }
}

TEST_F(SimTest, MxDelaySpreadsAnswersOverTheWindow) {
  StartSim({"--devices", "20", "--mx-delay"});
  UdpSocket client;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.SendTo(SearchRequest(sim::kDeviceType, 1), sim::kSsdpGroup, sim::kSsdpPort));
  std::vector<int> arrival_ms;
  for (int i = 0; i < 20; ++i) {
    if (client.Collect(1500, 1).empty()) break;
    arrival_ms.push_back(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count()));
  }
  ASSERT_EQ(arrival_ms.size(), 20u);
  EXPECT_LE(arrival_ms.back(), 1400) << "MX 1 bounds the delay";
  EXPECT_GE(arrival_ms.back() - arrival_ms.front(), 100) << "answers are spread, not a burst";

  auto immediate = Search(client, sim::kDeviceType, 0, 300, 20);
  EXPECT_EQ(immediate.size(), 20u) << "MX 0 leaves no window";
}

TEST_F(SimTest, ThousandDevicesAnswerOneSearchWithinASecond) {
  StartSim({"--devices", "1000"});
  UdpSocket client;
  auto got = Search(client, sim::kDeviceType, 100, 1000, 1000);
  EXPECT_EQ(got.size(), 1000u);
  std::set<std::string> usns;
  for (const Datagram& d : got) usns.insert(Header(d.text, "USN"));
  EXPECT_EQ(usns.size(), got.size());
}

TEST_F(SimTest, SummaryCountsWhatWasSentAndServed) {
  UdpSocket listener(sim::kSsdpPort, net.Address(testnet::Side::kClient));
  pid_t pid = StartSim({"--devices", "3"});
  UdpSocket client;
  EXPECT_EQ(Search(client, sim::kDeviceType, 1, 600, 3).size(), 3u);
  EXPECT_EQ(Search(client, sim::kDeviceType, 1, 600, 3).size(), 3u);
  EXPECT_TRUE(simtest::HttpGet(DevicesAddress(), 8080, "/dev/1/description.xml").closed);
  EXPECT_TRUE(simtest::HttpGet(DevicesAddress(), 80, sim::kPingPath).closed);
  EXPECT_EQ(net.Stop(pid), 0);
  const std::string out = net.Output(pid);
  EXPECT_NE(out.find("summary: searches=2 responses=6 alive=3 byebye=3 "), std::string::npos)
      << out;
  EXPECT_NE(out.find("http_requests=2 http_descriptions=1 "), std::string::npos) << out;
  EXPECT_NE(out.find("http_pings=1 "), std::string::npos) << out;
}
