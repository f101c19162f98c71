// The netlink watch against the real kernel, in the test process's own network namespace:
// `ip` adds a veth pair and an address and removes them, and the watch must report each step,
// coalesce a burst into one callback, and ask for a re-listing when the kernel drops
// notifications.
#include "net/netlink_watch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/event_loop.h"
#include "tests/support/isolated_network.h"

namespace {

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

uint32_t Ipv4(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

class NetlinkWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }
  void TearDown() override { Shell("ip link del nw0"); }

  // Starts `watch`, recording every callback.
  void Start(NetlinkWatch& watch, const NetlinkWatchOptions& options = {}) {
    ASSERT_TRUE(watch.Start(
        [this](const NetlinkChanges& batch) {
          ++callbacks;
          resyncs += batch.resync ? 1 : 0;
          seen.insert(seen.end(), batch.changes.begin(), batch.changes.end());
        },
        options));
  }

  // How many changes seen so far match.
  int Count(InterfaceChangeKind kind, const std::string& name, uint32_t address = 0) const {
    int n = 0;
    for (const InterfaceChange& c : seen) {
      n += c.kind == kind && c.name == name && (address == 0 || c.address == address) ? 1 : 0;
    }
    return n;
  }

  std::vector<InterfaceChange> seen;
  int callbacks = 0;
  int resyncs = 0;
};

TEST_F(NetlinkWatchTest, ReportsALinkAndItsAddressThenTheirRemoval) {
  NetlinkWatch watch;
  Start(watch);
  const uint32_t address = Ipv4("10.66.0.1");

  ASSERT_TRUE(Shell("ip link add nw0 type veth peer name nw1"));
  EXPECT_TRUE(RunUntil([&] { return Count(InterfaceChangeKind::kLinkNew, "nw0") > 0; }));
  const uint32_t index = if_nametoindex("nw0");
  ASSERT_NE(index, 0u);
  EXPECT_FALSE(seen.back().up);

  ASSERT_TRUE(Shell("ip addr add 10.66.0.1/24 dev nw0 && ip link set nw0 up"));
  EXPECT_TRUE(RunUntil([&] {
    return Count(InterfaceChangeKind::kAddressAdded, "nw0", address) > 0 && !seen.empty() &&
           seen.back().kind == InterfaceChangeKind::kLinkNew && seen.back().up;
  }));
  for (const InterfaceChange& c : seen) {
    if (c.kind != InterfaceChangeKind::kAddressAdded) continue;
    EXPECT_EQ(c.index, index);
    EXPECT_EQ(c.prefix_length, 24);
  }

  ASSERT_TRUE(Shell("ip addr del 10.66.0.1/24 dev nw0"));
  EXPECT_TRUE(
      RunUntil([&] { return Count(InterfaceChangeKind::kAddressRemoved, "nw0", address) == 1; }));
  ASSERT_TRUE(Shell("ip link del nw0"));
  EXPECT_TRUE(RunUntil([&] {
    return Count(InterfaceChangeKind::kLinkDeleted, "nw0") == 1 &&
           Count(InterfaceChangeKind::kLinkDeleted, "nw1") == 1;
  }));
  EXPECT_EQ(resyncs, 0);
  EXPECT_EQ(watch.Counters().malformed, 0u);
  EXPECT_EQ(watch.Counters().foreign, 0u);
}

TEST_F(NetlinkWatchTest, ChangesWithinTheWindowMakeOneCallbackWithoutStaleRepeats) {
  NetlinkWatch watch;
  Start(watch, {.coalesce_ms = 600});
  // Steps apart in time, as a network manager's would be; each brings new link states of nw0.
  ASSERT_TRUE(Shell("ip link add nw0 type veth peer name nw1"));
  RunFor(30);
  ASSERT_TRUE(Shell("ip addr add 10.66.0.1/24 dev nw0"));
  RunFor(30);
  ASSERT_TRUE(Shell("ip link set nw0 up"));
  EXPECT_TRUE(RunUntil([&] { return callbacks > 0; }, 2000));
  RunFor(200);
  EXPECT_EQ(callbacks, 1);
  EXPECT_EQ(Count(InterfaceChangeKind::kAddressAdded, "nw0"), 1);
  ASSERT_EQ(Count(InterfaceChangeKind::kLinkNew, "nw0"), 1) << "the latest state only";
  for (const InterfaceChange& c : seen) {
    if (c.kind == InterfaceChangeKind::kLinkNew && std::string(c.name) == "nw0") {
      EXPECT_TRUE(c.up);
    }
  }
}

TEST_F(NetlinkWatchTest, NotificationsTheKernelDroppedAskForARelisting) {
  NetlinkWatch watch;
  Start(watch, {.coalesce_ms = 0, .receive_buffer_bytes = 1});  // the kernel's smallest
  ASSERT_TRUE(Shell("ip link add nw0 type veth peer name nw1"));
  // Many changes while the loop does not read: the small buffer overflows.
  std::string lines;
  for (int i = 1; i <= 100; ++i)
    lines += "addr add 10.67.0." + std::to_string(i) + "/32 dev nw0\\n";
  ASSERT_TRUE(Shell("printf '" + lines + "' | ip -batch -"));
  EXPECT_TRUE(RunUntil([&] { return resyncs > 0; }));
  EXPECT_LT(Count(InterfaceChangeKind::kAddressAdded, "nw0"), 100);

  // The watch goes on after the overrun.
  ASSERT_TRUE(Shell("ip addr add 10.68.0.1/24 dev nw0"));
  EXPECT_TRUE(RunUntil(
      [&] { return Count(InterfaceChangeKind::kAddressAdded, "nw0", Ipv4("10.68.0.1")) == 1; }));
  EXPECT_GE(watch.Counters().resyncs, 1u);
}

}  // namespace
