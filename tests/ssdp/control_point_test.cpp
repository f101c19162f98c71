// Start-up of the SSDP side: which interfaces are used, and the texts that stop start-up.
#include <gtest/gtest.h>

#include <arpa/inet.h>

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

}  // namespace
