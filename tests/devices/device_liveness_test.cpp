// A long watch's verdicts on hand-set clocks: a device is lost only after its announcement ran
// out on the boot clock and it answered nothing when asked, whatever the wall clock does; a
// search leaves the words of gone devices alone; an interface whose devices are kept only by
// being asked has lost its multicast path.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/blocking_descriptions.h"
#include "devices/device_liveness.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/device_snapshot.h"
#include "devices/device_table.h"
#include "devices/row_table.h"
#include "parse/text.h"
#include "platform/clock.h"
#include "platform/tones.h"
#include "ssdp/ssdp_socket.h"

namespace {

constexpr int32_t kNow = 1'700'000'000;

uint32_t Address(int host) {
  return htonl(0x0A000000u + static_cast<uint32_t>(host));
}

std::string Usn(int host) {
  return "uuid:dev-" + std::to_string(host) + "::" + SEARCH_TARGET;
}

class RecordingSender final : public UnicastSender {
 public:
  bool SendSearchTo(uint32_t address, const char*) override {
    sent.push_back(address);
    return true;
  }
  std::vector<uint32_t> sent;
};

class DeviceLivenessTest : public ::testing::Test {
 protected:
  DeviceLivenessTest() {
    events.Subscribe([this](const DeviceEvent& e) {
      if (table.Apply(e)) shown.push_back(DeviceEventName(e.kind));
    });
    Follow(LivenessPolicy{});
  }
  void Follow(LivenessPolicy policy) {
    liveness = std::make_unique<DeviceLiveness>(
        registry, events, boot, sender,
        [this](const std::string& usn, int, DescriptionSource::Settle settle) {
          fetches.emplace_back(usn, std::move(settle));
          return true;
        },
        [](uint32_t) { return std::string("eth0"); },
        [] { return std::vector<std::string>{"eth0"}; }, policy);
    handling.SetLiveness(liveness.get());
  }

  // An alive (or, `answer`, a search answer) of device `host`, max-age 30.
  void Hear(int host, HeardVia via = HeardVia::kGroup, bool answer = false) {
    std::string text = std::string(answer ? kSearchResponseStartLine : kNotifyStartLine) +
                       "\r\nNT: " + SEARCH_TARGET +
                       "\r\nNTS: ssdp:alive\r\nLOCATION: http://10.0.0." + std::to_string(host) +
                       "/d.xml\r\nUSN: " + Usn(host) + "\r\nCACHE-CONTROL: max-age=30\r\n\r\n";
    handling.OnReceive(text.data(), Address(host), via);
  }
  // Both clocks move; the liveness sweeps every second as the scanner's timer does.
  void Pass(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      wall.Advance(1);
      boot.AdvanceMs(1000);
      liveness->Sweep();
    }
  }
  const std::string& Status(int host) { return table.Find(Usn(host))->status; }
  uint64_t Outcome(ProbeOutcome outcome) {
    return liveness->Outcomes()[static_cast<std::size_t>(outcome)];
  }

  RowTable rows;
  ManualClock wall{kNow};
  ManualMonotonicClock boot;
  DeviceEvents events;
  DeviceRegistry registry{rows, wall, &events};
  SilentTones tones;
  BlockingDescriptions descriptions{
      [](char* buffer, uint32_t size, const char*) {
        return static_cast<uint32_t>(CopyText(buffer, size + 1, "HTTP/1.1 200 OK\r\n\r\n<x/>"));
      },
      boot, /*remember=*/false};
  Announcements handling{registry, tones, descriptions, [] { return false; }, nullptr, &events};
  RecordingSender sender;
  std::vector<std::pair<std::string, DescriptionSource::Settle>> fetches;
  std::unique_ptr<DeviceLiveness> liveness;
  DeviceTable table{&boot};
  std::vector<std::string> shown;
};

TEST_F(DeviceLivenessTest, SilentDeviceIsAskedThenLostWithinTheWindowWhateverTheWallClockDoes) {
  Hear(1);
  wall.Advance(600);  // a time server reached after start: the boot clock does not move
  Pass(29);
  EXPECT_EQ(Status(1), "new");
  EXPECT_TRUE(sender.sent.empty()) << "nobody is asked before the announcement runs out";
  Pass(1);
  EXPECT_EQ(sender.sent, std::vector<uint32_t>{Address(1)});
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].first, Usn(1));
  fetches[0].second(DescriptionResult{});  // the fetch fails too
  Pass(19);
  EXPECT_TRUE(IsUp(*table.Find(Usn(1)))) << "still being asked";
  EXPECT_EQ(sender.sent.size(), 4u);
  EXPECT_EQ(fetches.size(), 2u);
  Pass(1);
  EXPECT_EQ(Status(1), "lost") << "max-age plus 20 s after it was last heard, a fetch or not";
  EXPECT_EQ(Outcome(ProbeOutcome::kUnanswered), 1u);
  Pass(60);
  EXPECT_EQ(sender.sent.size(), 4u) << "a lost device is asked again only with a search";
  liveness->AskGone();
  Pass(1);
  EXPECT_EQ(sender.sent.size(), 5u);
}

TEST_F(DeviceLivenessTest, AnyAnswerKeepsTheDeviceAndAnotherDevicesDescriptionDoesNot) {
  for (int host : {1, 2, 3, 4}) Hear(host);
  Pass(31);
  ASSERT_EQ(fetches.size(), 4u);
  Hear(1, HeardVia::kUnicast, /*answer=*/true);  // answers the unicast search
  const std::string own = "HTTP/1.1 200 OK\r\n\r\n<UDN>uuid:dev-2</UDN>";
  const std::string other = "HTTP/1.1 200 OK\r\n\r\n<UDN>uuid:someone-else</UDN>";
  for (auto& [usn, settle] : fetches) {
    if (usn == Usn(2)) settle(CachedResult(own));
    if (usn == Usn(3)) settle(CachedResult(other));
  }
  Hear(4);  // announces itself meanwhile
  Pass(20);
  EXPECT_EQ(Status(1), "online");
  EXPECT_EQ(Status(2), "new");
  EXPECT_TRUE(IsUp(*table.Find(Usn(2))));
  EXPECT_EQ(table.Find(Usn(2))->valid_until, kNow + 31 + 30) << "valid for its max-age again";
  EXPECT_EQ(Status(3), "lost") << "another host answering at its address does not keep it";
  EXPECT_TRUE(IsUp(*table.Find(Usn(4))));
  EXPECT_EQ(Outcome(ProbeOutcome::kSearch), 1u);
  EXPECT_EQ(Outcome(ProbeOutcome::kDescription), 1u);
  EXPECT_EQ(Outcome(ProbeOutcome::kAnnounced), 1u);
  EXPECT_EQ(Outcome(ProbeOutcome::kUnanswered), 1u);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), "kept"), 2) << "a watch says who was kept";
}

TEST_F(DeviceLivenessTest, ASearchLeavesTheWordsOfGoneDevices) {
  for (int host : {1, 2, 3}) Hear(host);
  std::string byebye = std::string(kNotifyStartLine) + "\r\nNT: " + SEARCH_TARGET +
                       "\r\nNTS: ssdp:byebye\r\nUSN: " + Usn(2) + "\r\n\r\n";
  handling.OnReceive(byebye.data(), Address(2));
  Pass(25);
  Hear(3);
  Pass(30);              // device 1 went silent and is lost
  DeviceSnapshot known;  // and device 4 is known from before a restart
  known.usn = Usn(4);
  known.address = Address(4);
  auto* record = new DeviceRecord{};
  RestoreRecord(known, *record);
  ASSERT_TRUE(registry.Restore(*record));
  table.Restore(known, 0);
  registry.ResetForSearch(/*keep_validity=*/true);
  EXPECT_EQ(Status(1), "lost");
  EXPECT_EQ(Status(2), "byebye");
  EXPECT_EQ(Status(3), "searching");
  EXPECT_EQ(Status(4), "lost");
}

TEST_F(DeviceLivenessTest, AskingIsPacedFirstTriesFirst) {
  Follow(LivenessPolicy{.rate_per_second = 10});
  for (int host = 1; host <= 40; ++host) Hear(host);
  Pass(30);
  EXPECT_EQ(sender.sent.size(), 10u) << "a second's worth";
  Pass(3);
  EXPECT_EQ(sender.sent.size(), 40u);
  EXPECT_EQ(std::set<uint32_t>(sender.sent.begin(), sender.sent.end()).size(), 40u)
      << "every device is asked once before any is asked twice";
  EXPECT_EQ(fetches.size(), 0u) << "no rate was left for fetches";
}

TEST_F(DeviceLivenessTest, PathIsDownWhileItsDevicesAreKeptOnlyByBeingAsked) {
  Hear(1);
  Hear(2);
  std::vector<MulticastPath> changes;
  liveness->SetPathObserver([&](const MulticastPath& path) { changes.push_back(path); });
  for (int round = 0; round < 3; ++round) {
    Pass(31);
    Hear(1, HeardVia::kUnicast, true);
    Hear(2, HeardVia::kUnicast, true);
  }
  ASSERT_EQ(liveness->Paths().size(), 1u);
  EXPECT_FALSE(liveness->Paths()[0].up);
  EXPECT_TRUE(IsUp(*table.Find(Usn(1))));
  Hear(2);  // multicast crosses again
  EXPECT_TRUE(liveness->Paths()[0].up);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].interface, "eth0");
  EXPECT_FALSE(changes[0].up);
  EXPECT_TRUE(changes[1].up);
}

}  // namespace
