// Start-up of the SSDP side: which interfaces are used, and the texts that stop start-up; and
// the long-running modes' re-listing against the isolated network's own links.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cstdlib>

#include "ssdp/control_point.h"
#include "tests/support/isolated_network.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/trace_recorder.h"

namespace {

class NoTimers : public TimerHost {
 public:
  void SetTimer(int, int) override {}
  void KillTimer(int) override {}
};

class NullListener : public SsdpListener {
 public:
  void OnReceive(char*, uint32_t) override {}
};

InterfaceSource Listing(std::vector<InterfaceEntry> entries) {
  InterfaceSource source;
  source.list = [entries](std::vector<InterfaceEntry>& out) {
    out = entries;
    return true;
  };
  return source;
}

class ControlPointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }
  TraceRecorder m_trace;
  NoTimers m_timers;
  NullListener m_listener;
};

TEST_F(ControlPointTest, SkipsLoopbackAndDownInterfacesCountingEveryEntry) {
  ControlPoint point(m_timers, Listing({{Address("127.0.0.1"), true, true},
                                        {Address(kHostA), false, false},
                                        {Address(kHostB), true, false}}));
  EXPECT_EQ(point.Open(&m_listener, nullptr), nullptr);
  ASSERT_EQ(point.InterfaceCount(), 1u);
  EXPECT_EQ(point.Interfaces()[0], Address(kHostB));
  EXPECT_TRUE(m_trace.Has("Found Interface 2 : 10.77.0.2"));
  EXPECT_EQ(m_trace.CountStartingWith("CSsdpSocket::Create()"), 2);
}

TEST_F(ControlPointTest, OnlyLoopbackLeavesNoInterfaceAndStillStarts) {
  ControlPoint point(m_timers, Listing({{Address("127.0.0.1"), true, true}}));
  EXPECT_EQ(point.Open(&m_listener, nullptr), nullptr);
  EXPECT_EQ(point.InterfaceCount(), 0u);
  EXPECT_TRUE(point.m_ssdp_socket.IsOpen());
}

TEST_F(ControlPointTest, MoreThanSixteenInterfacesKeepTheFirstSixteen) {
  std::vector<InterfaceEntry> entries;
  for (uint32_t i = 0; i < 20; ++i) entries.push_back({htonl(0x0A4E0001u + i), true, false});
  ControlPoint point(m_timers, Listing(entries));
  EXPECT_EQ(point.Open(&m_listener, nullptr), nullptr);
  EXPECT_EQ(point.InterfaceCount(), 16u);
  EXPECT_EQ(point.Interfaces()[15], htonl(0x0A4E0010u));
  EXPECT_EQ(m_trace.CountStartingWith("Found Interface"), 16);
  EXPECT_TRUE(m_trace.Has("Interface 16 : 10.78.0.17 not used (only 16 are)"));
}

TEST_F(ControlPointTest, FailuresThatStopStartUp) {
  InterfaceSource no_socket;
  no_socket.probe = [] { return false; };
  ControlPoint a(m_timers, no_socket);
  EXPECT_STREQ(a.Open(&m_listener, nullptr), "WSASocket failed");

  InterfaceSource no_list;
  no_list.list = [](std::vector<InterfaceEntry>&) { return false; };
  ControlPoint b(m_timers, no_list);
  EXPECT_STREQ(b.Open(&m_listener, nullptr), "m_ssdp_socket.SIO_GET_INTERFACE_LIST failed");
}

// --- re-listing

bool Ip(const std::string& args) {
  return std::system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0;
}

class ControlPointRelistTest : public ControlPointTest {
 protected:
  void TearDown() override {
    Ip("link del tvx");
    Ip("addr del 10.77.0.9/24 dev tv1");
    Ip("addr add " + std::string(kHostB) + "/24 dev tv1");
  }
};

TEST_F(ControlPointRelistTest, LinksAreJoinedAndLeftAndAnAddressChangeKeepsItsMembership) {
  ControlPoint point(m_timers);  // the namespace's own listing: tv0 and tv1
  ASSERT_EQ(point.Open(&m_listener, nullptr), nullptr);
  point.SearchThroughInterfaces();
  ASSERT_EQ(point.InterfaceCount(), 2u);
  EXPECT_FALSE(point.RefreshInterfaces()) << "nothing changed";

  // A new address on tv1 is worth a search; the link keeps its membership, so the group is
  // neither left nor joined, and the own and search addresses follow.
  ASSERT_TRUE(Ip("addr del " + std::string(kHostB) + "/24 dev tv1"));
  ASSERT_TRUE(Ip("addr add 10.77.0.9/24 dev tv1"));
  EXPECT_TRUE(point.RefreshInterfaces());
  EXPECT_EQ(m_trace.CountStartingWith("Group "), 0);
  const uint32_t tv1 = if_nametoindex("tv1");
  EXPECT_FALSE(point.m_ssdp_socket.JoinGroup(tv1, 0)) << "still a member on tv1";
  const auto has = [](const uint32_t* addresses, uint32_t count, const char* dotted) {
    return std::find(addresses, addresses + count, Address(dotted)) != addresses + count;
  };
  for (const CSsdpSocket* socket : {&point.m_ssdp_socket, &point.m_port_socket}) {
    EXPECT_TRUE(has(socket->SearchInterfaces(), socket->SearchInterfaceCount(), "10.77.0.9"));
    EXPECT_FALSE(has(socket->SearchInterfaces(), socket->SearchInterfaceCount(), kHostB));
  }
  EXPECT_TRUE(
      has(point.m_ssdp_socket.Interfaces(), point.m_ssdp_socket.InterfaceCount(), "10.77.0.9"));
  EXPECT_FALSE(has(point.m_ssdp_socket.Interfaces(), point.m_ssdp_socket.InterfaceCount(), kHostB));

  // Links that come and go more often than a socket may hold memberships (20 by default):
  // each is joined, and left again when it is deleted, which frees its place.
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(Ip("link add tvx type veth peer name tvy") && Ip("addr add 10.79.0.1/24 dev tvx") &&
                Ip("link set tvx up"));
    EXPECT_TRUE(point.RefreshInterfaces());
    EXPECT_EQ(point.InterfaceCount(), 3u);
    ASSERT_TRUE(Ip("link del tvx"));
    EXPECT_FALSE(point.RefreshInterfaces());
    EXPECT_EQ(point.InterfaceCount(), 2u);
  }
  EXPECT_EQ(m_trace.CountStartingWith("Group join on 10.79.0.1 "), 25);
  EXPECT_EQ(m_trace.CountStartingWith("Group leave on 10.79.0.1 "), 25);
  for (const std::string& line : TraceRecorder::Lines()) {
    if (line.find("10.79.0.1") != std::string::npos) {
      EXPECT_EQ(line.find("failed"), std::string::npos) << line;
    }
  }
}

}  // namespace
