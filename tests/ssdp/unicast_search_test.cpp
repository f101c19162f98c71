// The scanner's unicast rounds: pacing by the round's own clock, and a round asked for
// during another one.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ssdp/unicast_search.h"

namespace {

class RecordingSender : public UnicastSender {
 public:
  bool SendSearchTo(uint32_t address, const char* search_target) override {
    EXPECT_STREQ(search_target, SEARCH_TARGET);
    sent.push_back(address);
    return true;
  }
  std::vector<uint32_t> sent;
};

TEST(UnicastSearch, KeepsToTheRateAndRunsARoundAskedForDuringOneAfterIt) {
  RecordingSender sender;
  int64_t now = 1000;
  UnicastSearch search(sender, {1, 2, 3, 4, 5}, 10, [&now] { return now; });

  search.Start();
  EXPECT_EQ(sender.sent, (std::vector<uint32_t>{1})) << "the first goes at once";
  now += 250;
  search.OnTick();
  EXPECT_EQ(sender.sent.size(), 3u) << "one per 100 ms, never ahead";
  search.Start();
  EXPECT_EQ(sender.sent.size(), 3u) << "a running round is not started over";

  now += 10000;  // a tick long overdue: the rest of the round, and the next begins
  search.OnTick();
  EXPECT_EQ(sender.sent, (std::vector<uint32_t>{1, 2, 3, 4, 5, 1}));
  EXPECT_TRUE(search.Running());
  now += 450;
  search.OnTick();
  EXPECT_EQ(sender.sent.size(), 10u);
  EXPECT_FALSE(search.Running());
  now += 10000;
  search.OnTick();
  EXPECT_EQ(sender.sent.size(), 10u) << "only one round was asked for meanwhile";
}

}  // namespace
