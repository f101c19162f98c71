// The scanner's table over the core's events with a hand-set clock: the bound on devices,
// and devices gone long enough being forgotten, which frees their place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/blocking_descriptions.h"
#include "devices/device_registry.h"
#include "devices/device_table.h"
#include "devices/row_table.h"
#include "parse/text.h"
#include "platform/clock.h"
#include "platform/tones.h"

namespace {

constexpr int32_t kNow = 1'700'000'000;

std::string Notify(const char* nts, const std::string& usn) {
  return std::string(kNotifyStartLine) + "\r\nNT: " + SEARCH_TARGET + "\r\nNTS: " + nts +
         "\r\nLOCATION: http://10.0.0.9/" + usn + "\r\nUSN: " + usn +
         "\r\nCACHE-CONTROL: max-age=60\r\n\r\n";
}

// The core as a headless front end runs it, on hand-set clocks, with descriptions that are
// always there, and the device table fed from its events.
class DeviceTableTest : public ::testing::Test {
 protected:
  DeviceTableTest() {
    events.Subscribe([this](const DeviceEvent& e) {
      if (e.kind == DeviceEventKind::kForgotten) forgotten.push_back(e.device.Usn());
      seen.push_back(DeviceEventName(e.kind));
      table.Apply(e);
    });
  }
  // Handles a NOTIFY of `usn` (max-age 60) with `extra` header fields.
  DatagramOutcome Receive(const char* nts, const std::string& usn, const std::string& extra = "",
                          uint32_t address = 0x0900000a) {
    std::string text = Notify(nts, usn);
    text.insert(text.size() - 2, extra);
    return handling.OnReceive(text.data(), address);
  }
  bool Up(const char* usn) const { return IsUp(*table.Find(usn)); }

  RowTable rows;
  ManualClock clock{kNow};
  ManualMonotonicClock steady;
  DeviceEvents events;
  DiscoveryCounters counters;
  DeviceRegistry registry{rows, clock, &events};
  SilentTones tones;
  BlockingDescriptions descriptions{
      [](char* buffer, uint32_t size, const char*) {
        return static_cast<uint32_t>(
            CopyText(buffer, size + 1, "HTTP/1.1 200 OK\r\n\r\n<modelName>M</modelName>"));
      },
      steady, /*remember=*/false};
  Announcements handling{registry, tones, descriptions, [] { return false; }, &counters, &events};
  DeviceTable table{&steady};
  std::vector<std::string> forgotten;
  std::vector<std::string> seen;
};

TEST_F(DeviceTableTest, BoundedAndForgettingWhatIsGoneLongEnough) {
  handling.SetMaxDevices(3);
  const auto receive = [this](const char* nts, const std::string& usn) {
    return Receive(nts, usn);
  };

  for (const char* usn : {"uuid:a", "uuid:b", "uuid:c"}) receive(kNtsAlive, usn);
  EXPECT_EQ(receive(kNtsAlive, "uuid:d"), DatagramOutcome::kTableFull);
  EXPECT_EQ(receive(kNtsAlive, "uuid:a"), DatagramOutcome::kAlive) << "known devices go on";
  EXPECT_EQ(table.Size(), 3u);

  receive(kNtsByebye, "uuid:a");
  clock.Advance(-86400);  // a step of the wall clock forgets nothing
  steady.AdvanceMs(3'600'000);
  EXPECT_TRUE(table.GoneFor(3'601'000).empty()) << "not gone long enough yet";
  const std::vector<std::string> gone = table.GoneFor(3'600'000);
  ASSERT_EQ(gone, std::vector<std::string>{"uuid:a"});
  EXPECT_TRUE(registry.Forget("uuid:a"));
  EXPECT_EQ(forgotten, gone);
  EXPECT_EQ(table.Find("uuid:a"), nullptr);
  EXPECT_EQ(rows.RowCount(), 2);
  // The rows left are found, and their records know where they are now.
  for (const char* usn : {"uuid:b", "uuid:c"}) {
    const DeviceRecord* record = registry.FindByUsn(usn);
    ASSERT_NE(record, nullptr) << usn;
    EXPECT_EQ(rows.RecordAt(record->row_index), record);
  }
  EXPECT_EQ(receive(kNtsAlive, "uuid:d"), DatagramOutcome::kAlive) << "the place is free again";
  EXPECT_EQ(counters.Datagrams(DatagramOutcome::kTableFull), 1u);
}

// A long watch: a search does not erase what devices announced. One that answers stays up
// throughout; one that was unplugged is lost when its announcement runs out, and may then be
// forgotten.
TEST_F(DeviceTableTest, SearchingDeviceIsLostAtItsExpiryAndUpUntilThen) {
  const auto alive = [this](const std::string& usn) { Receive(kNtsAlive, usn); };
  const auto up = [this](const char* usn) { return Up(usn); };

  alive("uuid:live");
  alive("uuid:unplugged");
  clock.Advance(30);
  registry.ResetForSearch(/*keep_validity=*/true);
  EXPECT_EQ(table.Find("uuid:live")->status, "searching");
  EXPECT_TRUE(up("uuid:live")) << "a search in flight says nothing about being down";
  EXPECT_TRUE(up("uuid:unplugged"));
  clock.Advance(5);
  alive("uuid:live");  // answers the search
  clock.Advance(24);
  registry.ExpirySweep();
  EXPECT_TRUE(up("uuid:unplugged")) << "valid until the second it announced";
  clock.Advance(1);
  registry.ExpirySweep();
  EXPECT_EQ(table.Find("uuid:unplugged")->status, "lost");
  EXPECT_FALSE(up("uuid:unplugged"));
  EXPECT_TRUE(up("uuid:live"));
  EXPECT_EQ(table.GoneFor(0), std::vector<std::string>{"uuid:unplugged"})
      << "the forget clock runs from the loss";

  // The dialog's search still marks every row not valid until it answers.
  registry.ResetForSearch();
  EXPECT_FALSE(up("uuid:live"));
}

// UPnP 1.1 boot ids: a new one is a reboot, counted once; one announced by ssdp:update
// before is a planned restart and counts none; an answer without one says nothing.
TEST_F(DeviceTableTest, RebootsAreNewBootIdsNobodyAnnounced) {
  handling.SetFollowReboots(true);
  const auto notify = [this](const char* nts, const std::string& extra) {
    return Receive(nts, "uuid:a", extra);
  };

  notify(kNtsAlive, "BOOTID.UPNP.ORG: 7\r\n");
  notify(kNtsAlive, "BOOTID.UPNP.ORG: 7\r\n");
  notify(kNtsAlive, "");  // an answer without one
  notify(kNtsAlive, "BOOTID.UPNP.ORG: 8\r\nCONFIGID.UPNP.ORG: 3\r\n");
  notify(kNtsAlive, "BOOTID.UPNP.ORG: 8\r\n");
  EXPECT_EQ(seen,
            (std::vector<std::string>{"new", "online", "online", "rebooted", "online", "online"}));
  EXPECT_EQ(table.Find("uuid:a")->reboots, 1u);
  EXPECT_EQ(table.Find("uuid:a")->boot_id, "8");
  EXPECT_EQ(table.Find("uuid:a")->config_id, "3");

  EXPECT_EQ(notify(kNtsUpdate, "BOOTID.UPNP.ORG: 8\r\nNEXTBOOTID.UPNP.ORG: 9\r\n"),
            DatagramOutcome::kUpdate);
  notify(kNtsAlive, "BOOTID.UPNP.ORG: 9\r\n");
  EXPECT_EQ(table.Find("uuid:a")->reboots, 1u) << "announced before: a planned restart";
  notify(kNtsAlive, "BOOTID.UPNP.ORG: 10\r\n");
  EXPECT_EQ(table.Find("uuid:a")->reboots, 2u) << "the announcement was for one boot only";
  EXPECT_EQ(counters.reboots, 2u);

  // Cloned firmware: a second sender with the same USN and a boot id of its own is an
  // identity conflict, not a reboot every time the two take turns.
  for (int turn = 0; turn < 4; ++turn) {
    Receive(kNtsAlive, "uuid:a", "BOOTID.UPNP.ORG: 10\r\n");
    Receive(kNtsAlive, "uuid:a", "BOOTID.UPNP.ORG: 55\r\n", 0x0b00000a);
  }
  EXPECT_EQ(counters.reboots, 2u);
}

}  // namespace
