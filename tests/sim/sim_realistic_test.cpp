// The simulator's realistic-device options, as a client in the other namespace meets them:
// devices on addresses of their own, slow and hung HTTP, boot and config ids, reboots (sudden
// and planned), and unicast searches that skip the MX wait.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "sim/sim_protocol.h"
#include "tests/sim/sim_harness.h"

using simtest::Body;
using simtest::Datagram;
using simtest::Header;
using simtest::HttpGet;
using simtest::SearchRequest;
using simtest::SimTest;
using simtest::UdpSocket;
using simtest::WithNts;

namespace {

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// "http://a.b.c.d:port/..." -> "a.b.c.d"
std::string UrlHost(const std::string& url) {
  const size_t from = url.find("://") + 3;
  return url.substr(from, url.find_first_of(":/", from) - from);
}

std::string Plus(const std::string& dotted, int n) {
  in_addr a{};
  inet_pton(AF_INET, dotted.c_str(), &a);
  a.s_addr = htonl(ntohl(a.s_addr) + static_cast<uint32_t>(n));
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace

// 300 devices need the /16: more than a /24 holds.
TEST_F(SimTest, SpreadDevicesSpeakAndServeFromTheirOwnAddresses) {
  constexpr int kDevices = 300;
  const std::string first = net.AddDeviceAddresses(kDevices);
  ASSERT_FALSE(first.empty()) << net.error();
  UdpSocket listener(sim::kSsdpPort, net.Address(testnet::Side::kClient));
  ASSERT_TRUE(listener.ok());
  pid_t pid = StartSim(
      {"--spread", "--devices", std::to_string(kDevices), "--mx-delay", "--verbose"}, first);

  UdpSocket client;
  ASSERT_TRUE(client.SendTo(SearchRequest(sim::kDeviceType, 1), sim::kSsdpGroup, sim::kSsdpPort));
  auto got = client.Collect(2000, kDevices);
  ASSERT_EQ(got.size(), static_cast<size_t>(kDevices));
  std::set<std::string> senders;
  for (const Datagram& d : got) {
    SCOPED_TRACE(d.text);
    EXPECT_EQ(UrlHost(Header(d.text, "LOCATION")), d.from) << "LOCATION names the sender";
    EXPECT_EQ(d.from_port, sim::kSsdpPort);
    EXPECT_EQ(Header(d.text, sim::kHdrBootId), "<absent>") << "only when asked for";
    senders.insert(d.from);
  }
  EXPECT_EQ(senders.size(), static_cast<size_t>(kDevices));
  EXPECT_EQ(senders.count(Plus(first, kDevices - 1)), 1u);

  size_t alive = 0;
  for (const Datagram& d : WithNts(listener.Collect(300), sim::kAlive)) {
    EXPECT_EQ(UrlHost(Header(d.text, "LOCATION")), d.from);
    ++alive;
  }
  EXPECT_EQ(alive, static_cast<size_t>(kDevices)) << "one alive round, each from its device";

  // The last device serves its description on its own address.
  const std::string last = Plus(first, kDevices - 1);
  const std::string path = "/dev/" + std::to_string(kDevices) + "/description.xml";
  auto r = HttpGet(last, sim::kDefaultHttpPort, path);
  ASSERT_TRUE(r.closed);
  EXPECT_NE(Body(r.bytes).find("<presentationURL>http://" + last + ":8080/"), std::string::npos);
  // A unicast search reaches one device, and at once although MX allows 5 s.
  const std::string seventh = Plus(first, 6);
  const auto start = Clock::now();
  ASSERT_TRUE(client.SendTo(SearchRequest(sim::kSearchAll, 5), seventh, sim::kSsdpPort));
  auto one = client.Collect(400, 1);
  EXPECT_LT(MsSince(start), 400);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].from, seventh);
  EXPECT_EQ(UrlHost(Header(one[0].text, "LOCATION")), seventh);
  EXPECT_TRUE(client.Collect(300).empty()) << "no other device answers";

  EXPECT_EQ(net.Stop(pid), 0);
  const std::string out = net.Output(pid);
  EXPECT_NE(out.find("received search t="), std::string::npos) << "a line per search, timed";
  EXPECT_NE(out.find(" unicast to " + seventh + " from "), std::string::npos);
  EXPECT_NE(out.find(" multicast to 239.255.255.250 from "), std::string::npos);
  EXPECT_NE(out.find(" searches_unicast=1 searches_multicast=1 "), std::string::npos) << out;
}

TEST_F(SimTest, HttpDelayHoldsEachRequestNotAQueue) {
  StartSim({"--devices", "5", "--http-delay", "100", "--http-jitter", "20"});
  constexpr int kRequests = 100;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(sim::kDefaultHttpPort);
  inet_pton(AF_INET, DevicesAddress().c_str(), &to.sin_addr);
  std::vector<pollfd> fds;
  std::vector<std::string> answers(kRequests);
  const auto start = Clock::now();
  for (int i = 0; i < kRequests; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string request = "GET /dev/" + std::to_string(i % 5 + 1) + "/ HTTP/1.1\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    fds.push_back({fd, POLLIN, 0});
  }
  int open = kRequests, first_ms = -1;
  while (open > 0 && MsSince(start) < 5000) {
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (int i = 0; i < kRequests; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        if (first_ms < 0) first_ms = MsSince(start);
        answers[i].append(buffer, static_cast<size_t>(n));
        continue;
      }
      close(fds[i].fd);
      fds[i].fd = -1;
      --open;
    }
  }
  const int all_ms = MsSince(start);
  EXPECT_EQ(open, 0);
  for (const std::string& a : answers) EXPECT_EQ(a.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << a;
  EXPECT_GE(first_ms, 95) << "no answer before the delay";
  EXPECT_LT(all_ms, 2500) << "100 delays of 100 ms overlap: a queue would take 10 s";
}

TEST_F(SimTest, HungDevicesAcceptButNeverAnswer) {
  const std::string first = net.AddDeviceAddresses(3);
  ASSERT_FALSE(first.empty()) << net.error();
  pid_t pid = StartSim({"--spread", "--devices", "3", "--hung", "2"}, first);
  for (int n : {1, 2}) {
    SCOPED_TRACE(n);
    auto r = HttpGet(Plus(first, n - 1), sim::kDefaultHttpPort, "/ping", 1000);
    EXPECT_TRUE(r.bytes.empty());
    EXPECT_FALSE(r.closed) << "held open, not refused or closed";
  }
  EXPECT_TRUE(HttpGet(Plus(first, 2), sim::kDefaultHttpPort, "/ping").closed) << "device 3";
  EXPECT_EQ(net.Stop(pid), 0);
  EXPECT_NE(net.Output(pid).find(" http_hung=2 "), std::string::npos) << "both were accepted";

  // Sharing one address, a hung device is known by its path.
  StartSim({"--devices", "2", "--hung", "1"});
  auto hung = HttpGet(DevicesAddress(), sim::kDefaultHttpPort, "/dev/1/description.xml", 1000);
  EXPECT_TRUE(hung.bytes.empty());
  EXPECT_FALSE(hung.closed);
  EXPECT_TRUE(HttpGet(DevicesAddress(), sim::kDefaultHttpPort, "/dev/2/description.xml").closed);
}

TEST_F(SimTest, BootAndConfigIdsAndSighupAnnouncesTheNextConfig) {
  UdpSocket listener(sim::kSsdpPort, net.Address(testnet::Side::kClient));
  ASSERT_TRUE(listener.ok());
  pid_t pid = StartSim({"--devices", "2", "--boot-id", "7", "--config-id", "41", "--mx-delay"});
  for (const Datagram& d : WithNts(listener.Collect(300), sim::kAlive)) {
    EXPECT_EQ(Header(d.text, sim::kHdrBootId), "7");
    EXPECT_EQ(Header(d.text, sim::kHdrConfigId), "41");
  }
  const std::string path = "/dev/1/description.xml";
  EXPECT_NE(
      Body(HttpGet(DevicesAddress(), sim::kDefaultHttpPort, path).bytes).find("configId=\"41\""),
      std::string::npos);

  ASSERT_EQ(kill(pid, SIGHUP), 0);
  EXPECT_TRUE(net.WaitForOutput(pid, "sighup: config id 42", 2000)) << net.Output(pid);
  auto again = WithNts(listener.Collect(500, 3), sim::kAlive);
  ASSERT_EQ(again.size(), 2u) << "a fresh alive round";
  for (const Datagram& d : again) EXPECT_EQ(Header(d.text, sim::kHdrConfigId), "42");
  EXPECT_NE(
      Body(HttpGet(DevicesAddress(), sim::kDefaultHttpPort, path).bytes).find("configId=\"42\""),
      std::string::npos);

  // Sent to the devices' address, a search with MX 5 is answered at once despite --mx-delay.
  UdpSocket client;
  const auto start = Clock::now();
  ASSERT_TRUE(client.SendTo(SearchRequest(sim::kDeviceType, 5), DevicesAddress(), sim::kSsdpPort));
  auto got = client.Collect(400, 2);
  EXPECT_LT(MsSince(start), 400);
  ASSERT_EQ(got.size(), 2u);
  for (const Datagram& d : got) {
    EXPECT_EQ(Header(d.text, sim::kHdrBootId), "7");
    EXPECT_EQ(Header(d.text, sim::kHdrConfigId), "42");
  }
}

TEST_F(SimTest, Sigusr2RebootsWithTheNextBootIdAndAPlannedRebootAnnouncesItFirst) {
  UdpSocket listener(sim::kSsdpPort, net.Address(testnet::Side::kClient));
  ASSERT_TRUE(listener.ok());
  UdpSocket client;

  // As after a crash: no byebye, no update, only alives with the next boot id (from 1 when
  // none was given), and searches answered with it.
  pid_t pid = StartSim({"--devices", "2"});
  for (const Datagram& d : WithNts(listener.Collect(500, 2), sim::kAlive)) {
    EXPECT_EQ(Header(d.text, sim::kHdrBootId), "<absent>");
  }
  for (const char* boot_id : {"1", "2"}) {
    SCOPED_TRACE(boot_id);
    ASSERT_EQ(kill(pid, SIGUSR2), 0);
    const auto after = listener.Collect(500, 2);
    ASSERT_EQ(after.size(), 2u);
    for (const Datagram& d : after) {
      EXPECT_EQ(Header(d.text, sim::kHdrNts), sim::kAlive);
      EXPECT_EQ(Header(d.text, sim::kHdrBootId), boot_id);
    }
  }
  ASSERT_TRUE(client.SendTo(SearchRequest(sim::kDeviceType, 1), DevicesAddress(), sim::kSsdpPort));
  const auto answers = client.Collect(500, 2);
  ASSERT_EQ(answers.size(), 2u);
  for (const Datagram& d : answers) EXPECT_EQ(Header(d.text, sim::kHdrBootId), "2");
  EXPECT_EQ(net.Stop(pid), 0);
  EXPECT_NE(net.Output(pid).find(" reboots=2 updates=0"), std::string::npos) << net.Output(pid);
  listener.Collect(300);  // the byebyes of the stop

  // Planned: first an ssdp:update per device naming the current and the coming boot id, then
  // the alives with the coming one.
  pid = StartSim({"--devices", "2", "--boot-id", "7", "--config-id", "3", "--planned-reboot"});
  listener.Collect(500, 2);
  ASSERT_EQ(kill(pid, SIGUSR2), 0);
  const auto planned = listener.Collect(800, 4);
  ASSERT_EQ(planned.size(), 4u);
  std::set<std::string> updated, announced;
  for (size_t i = 0; i < planned.size(); ++i) {
    const std::string& text = planned[i].text;
    SCOPED_TRACE(text);
    EXPECT_EQ(text.rfind(std::string(sim::kNotifyLine) + "\r\n", 0), 0u);
    EXPECT_EQ(Header(text, sim::kHdrNt), sim::kDeviceType);
    EXPECT_EQ(Header(text, sim::kHdrHost), sim::kSsdpHost);
    EXPECT_EQ(Header(text, sim::kHdrLocation).rfind("http://" + DevicesAddress() + ":", 0), 0u);
    EXPECT_EQ(Header(text, sim::kHdrConfigId), "3");
    if (i < 2) {
      EXPECT_EQ(Header(text, sim::kHdrNts), sim::kUpdate);
      EXPECT_EQ(Header(text, sim::kHdrBootId), "7");
      EXPECT_EQ(Header(text, sim::kHdrNextBootId), "8");
      EXPECT_EQ(Header(text, sim::kHdrCacheControl), "<absent>");
      updated.insert(Header(text, sim::kHdrUsn));
    } else {
      EXPECT_EQ(Header(text, sim::kHdrNts), sim::kAlive);
      EXPECT_EQ(Header(text, sim::kHdrBootId), "8");
      EXPECT_EQ(Header(text, sim::kHdrNextBootId), "<absent>");
      announced.insert(Header(text, sim::kHdrUsn));
    }
  }
  EXPECT_EQ(updated.size(), 2u);
  EXPECT_EQ(updated, announced);
  EXPECT_EQ(net.Stop(pid), 0);
  EXPECT_NE(net.Output(pid).find(" reboots=1 updates=2"), std::string::npos) << net.Output(pid);
}
