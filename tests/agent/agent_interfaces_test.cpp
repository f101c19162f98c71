// tarovue-scan --serve while the host's interfaces change under it, in private networks: a
// link plugged in later is searched at once and its announcements are heard; an agent
// started before its address exists waits, then finds the devices, and keeps finding them
// through an address change and a link going down and up.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "tests/agent/agent_client.h"
#include "tests/sim/sim_harness.h"

namespace {

using namespace agenttest;
using testnet::Side;
using SteadyClock = std::chrono::steady_clock;

class AgentInterfacesTest : public simtest::SimTest {
 protected:
  // Runs `ip -n NAMESPACE ARGS` for that side.
  bool Ip(Side side, const std::string& args) {
    return std::system(("ip -n " + net.Namespace(side) + " " + args + " >/dev/null").c_str()) == 0;
  }

  // The agent's answer to GET `path`, read from the client side's loopback; "" when it does
  // not answer.
  static std::string Get(const std::string& path) {
    return Request("127.0.0.1", kAgentPort, "GET", path);
  }
  static std::string Metrics() { return simtest::Body(Get("/metrics")); }

  static double Value(const std::string& metrics, const std::string& series) {
    return MetricValue(metrics, series);
  }

  // Watch lines of the agent that list a new device at `address`.
  int NewAt(pid_t agent, const std::string& address) {
    const std::string output = net.Output(agent);
    int count = 0;
    for (std::size_t at = 0, end; at < output.size(); at = end + 1) {
      end = output.find('\n', at);
      if (end == std::string::npos) end = output.size();
      const std::string line = output.substr(at, end - at);
      count += line.find("  new ") != std::string::npos &&
                       line.find(" " + address + " ") != std::string::npos
                   ? 1
                   : 0;
    }
    return count;
  }
};

TEST_F(AgentInterfacesTest, ALinkPluggedInLaterIsSearchedAtOnceAndItsAnnouncementsHeard) {
  const pid_t agent = net.Spawn(Side::kClient, {ScanPath(), "--serve", std::to_string(kAgentPort)});
  ASSERT_TRUE(Eventually([] { return !Metrics().empty(); }, 5000)) << net.Output(agent);

  // A second segment, 10.236.0.0/24, reaches the agent through a link of its own, plugged in
  // while the agent runs. Its agent end is still down when the first simulator starts there:
  // that simulator's announcement is lost, so only a search can find its devices.
  ASSERT_TRUE(Ip(Side::kClient,
                 "link add tvc1 type veth peer name tvd1 netns " + net.Namespace(Side::kDevices)));
  ASSERT_TRUE(Ip(Side::kClient, "addr add 10.236.0.1/24 dev tvc1"));
  ASSERT_TRUE(Ip(Side::kDevices, "addr add 10.236.0.2/24 dev tvd1"));
  ASSERT_TRUE(Ip(Side::kDevices, "addr add 10.236.0.3/24 dev tvd1"));
  ASSERT_TRUE(Ip(Side::kDevices, "link set tvd1 up"));
  StartSim({"--devices", "2", "--notify-interval", "600"}, "10.236.0.2");
  const auto plugged = SteadyClock::now();
  ASSERT_TRUE(Ip(Side::kClient, "link set tvc1 up"));
  EXPECT_TRUE(Eventually([&] { return NewAt(agent, "10.236.0.2") == 2; }, 5000))
      << net.Output(agent);
  const double searched_s = SecondsSince(plugged);

  // A simulator started on the segment once the agent has it is heard by its announcement.
  const auto announced = SteadyClock::now();
  StartSim({"--devices", "2"}, "10.236.0.3");
  EXPECT_TRUE(Eventually([&] { return NewAt(agent, "10.236.0.3") == 2; }, 2000))
      << net.Output(agent);
  std::printf(
      "agent: devices behind a link plugged in found %.2f s after it came up, "
      "announced ones listed %.2f s after their simulator started\n",
      searched_s, SecondsSince(announced));
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
}

TEST_F(AgentInterfacesTest, StartedBeforeItsAddressItWaitsThenFollowsAddressAndLinkChanges) {
  const std::string address = net.Address(Side::kClient);
  ASSERT_TRUE(Ip(Side::kClient, "addr del " + address + "/24 dev tvc0"));
  StartSim({"--devices", "2", "--notify-interval", "1"});
  const pid_t agent =
      net.Spawn(Side::kClient, {ScanPath(), "--serve", std::to_string(kAgentPort), "--quiet"});
  ASSERT_TRUE(net.WaitForOutput(agent,
                                "tarovue-scan: no network to search yet: no IPv4 interface is up "
                                "besides loopback; waiting for an interface\n",
                                5000))
      << net.Output(agent);
  ASSERT_TRUE(Eventually([] { return !Metrics().empty(); }, 5000)) << net.Output(agent);
  EXPECT_EQ(Get("/-/ready").substr(0, 12), "HTTP/1.1 503");

  ASSERT_TRUE(Ip(Side::kClient, "addr add " + address + "/24 dev tvc0"));
  std::string metrics;
  EXPECT_TRUE(Eventually([&] { return UpCount(metrics = Metrics()) == 2; }, 5000))
      << metrics << net.Output(agent);
  EXPECT_EQ(Get("/-/ready").substr(0, 12), "HTTP/1.1 200");

  // After each change the devices are seen again: they answer a search sent at once
  // through the interface as it is now, and their announcements still arrive.
  const auto seen_again = [&](const char* change) {
    const std::string responses = "tarovue_datagrams_accepted_total{kind=\"response\"}";
    const std::string alive = "tarovue_datagrams_accepted_total{kind=\"alive\"}";
    const std::string before = Metrics();
    EXPECT_TRUE(Eventually(
        [&] {
          metrics = Metrics();
          return Value(metrics, responses) > Value(before, responses) &&
                 Value(metrics, alive) > Value(before, alive) && UpCount(metrics) == 2;
        },
        5000))
        << change << "\n"
        << metrics << net.Output(agent);
  };
  const std::string moved = address.substr(0, address.rfind('.')) + ".7";
  ASSERT_TRUE(Ip(Side::kClient, "addr del " + address + "/24 dev tvc0"));
  ASSERT_TRUE(Ip(Side::kClient, "addr add " + moved + "/24 dev tvc0"));
  seen_again("an address change");

  ASSERT_TRUE(Ip(Side::kClient, "link set tvc0 down"));
  ASSERT_TRUE(net.WaitForOutput(agent, "no network to search any more", 5000)) << net.Output(agent);
  ASSERT_TRUE(Ip(Side::kClient, "link set tvc0 up"));
  seen_again("the link down and up");
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
}

}  // namespace
