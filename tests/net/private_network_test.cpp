// The private network helper: what every end-to-end test relies on to keep its traffic off
// the host's network and to clean up after itself.
#include "tests/net/private_network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using testnet::PrivateNetwork;
using testnet::Side;

#define REQUIRE_NETWORK(net) \
  if (!(net).ok()) GTEST_SKIP() << (net).error()

namespace {

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

}  // namespace

TEST(PrivateNetwork, SidesHaveTheirOwnAddressesInOneTestSubnet) {
  PrivateNetwork net;
  REQUIRE_NETWORK(net);
  const std::string client = net.Address(Side::kClient);
  const std::string devices = net.Address(Side::kDevices);
  EXPECT_EQ(client.rfind("10.231.", 0), 0u) << client;
  EXPECT_EQ(client.substr(0, client.rfind('.')), devices.substr(0, devices.rfind('.')));
  EXPECT_NE(client, devices);
  EXPECT_NE(net.Namespace(Side::kClient), net.Namespace(Side::kDevices));
  EXPECT_TRUE(Exists("/run/netns/" + net.Namespace(Side::kClient)));
}

TEST(PrivateNetwork, SpawnedProcessSeesOnlyItsSideOfTheNetwork) {
  PrivateNetwork net;
  REQUIRE_NETWORK(net);
  pid_t pid = net.Spawn(Side::kDevices, {"ip", "-4", "-o", "addr"});
  ASSERT_GT(pid, 0) << net.error();
  EXPECT_EQ(net.Wait(pid, 5000), 0);
  const std::string out = net.Output(pid);
  EXPECT_NE(out.find(net.Address(Side::kDevices)), std::string::npos) << out;
  EXPECT_NE(out.find(net.Interface(Side::kDevices)), std::string::npos) << out;
  EXPECT_EQ(out.find(net.Address(Side::kClient)), std::string::npos) << out;
}

TEST(PrivateNetwork, MulticastCrossesFromClientToDevices) {
  PrivateNetwork net;
  REQUIRE_NETWORK(net);
  ASSERT_TRUE(net.Enter(Side::kDevices));
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(41900);
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ip_mreq m{};
  inet_pton(AF_INET, "239.255.255.250", &m.imr_multiaddr);
  inet_pton(AF_INET, net.Address(Side::kDevices).c_str(), &m.imr_interface);
  ASSERT_EQ(setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0);

  ASSERT_TRUE(net.Enter(Side::kClient));
  int sender = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_TRUE(net.Leave());
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(41900);
  inet_pton(AF_INET, "239.255.255.250", &group.sin_addr);
  ASSERT_EQ(sendto(sender, "hello", 5, 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 5);

  pollfd p{receiver, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  char buffer[16];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ASSERT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len),
            5);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  EXPECT_EQ(std::string(text), net.Address(Side::kClient));
  close(sender);
  close(receiver);
}

TEST(PrivateNetwork, StopTerminatesAndReportsTheSignal) {
  PrivateNetwork net;
  REQUIRE_NETWORK(net);
  pid_t pid = net.Spawn(Side::kClient, {"sh", "-c", "echo started; exec sleep 30"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(net.WaitForOutput(pid, "started", 5000));
  EXPECT_EQ(net.Stop(pid), 128 + SIGTERM);
  EXPECT_EQ(net.Stop(12345678), -1) << "unknown pid";
}

TEST(PrivateNetwork, WaitForOutputGivesUpWhenTheProcessEnds) {
  PrivateNetwork net;
  REQUIRE_NETWORK(net);
  pid_t pid = net.Spawn(Side::kClient, {"sh", "-c", "echo other; exit 3"});
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(net.WaitForOutput(pid, "never", 10000));
  EXPECT_EQ(net.Wait(pid, 1000), 3);
  pid_t missing = net.Spawn(Side::kClient, {"/nonexistent/program"});
  ASSERT_GT(missing, 0);
  EXPECT_EQ(net.Wait(missing, 5000), 127);
}

TEST(PrivateNetwork, DestructorKillsChildrenAndDeletesNamespaces) {
  std::string client_ns, devices_ns;
  pid_t pid = -1;
  {
    PrivateNetwork net;
    REQUIRE_NETWORK(net);
    client_ns = net.Namespace(Side::kClient);
    devices_ns = net.Namespace(Side::kDevices);
    pid = net.Spawn(Side::kDevices, {"sleep", "30"});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(net.Enter(Side::kClient));  // the destructor must also bring the thread home
  }
  EXPECT_FALSE(Exists("/run/netns/" + client_ns));
  EXPECT_FALSE(Exists("/run/netns/" + devices_ns));
  EXPECT_NE(kill(pid, 0), 0) << "the spawned process outlived its network";
}

TEST(PrivateNetwork, TwoNetworksInOneProcessDoNotCollide) {
  PrivateNetwork a;
  REQUIRE_NETWORK(a);
  PrivateNetwork b;
  ASSERT_TRUE(b.ok()) << b.error();
  EXPECT_NE(a.Namespace(Side::kClient), b.Namespace(Side::kClient));
}
