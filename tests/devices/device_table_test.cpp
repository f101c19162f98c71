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

TEST(DeviceTable, BoundedAndForgettingWhatIsGoneLongEnough) {
  RowTable rows;
  ManualClock clock{kNow};
  ManualMonotonicClock steady;
  DeviceEvents events;
  DiscoveryCounters counters;
  DeviceRegistry registry(rows, clock, &events);
  SilentTones tones;
  BlockingDescriptions descriptions(
      [](char* buffer, uint32_t size, const char*) {
        return static_cast<uint32_t>(
            CopyText(buffer, size + 1, "HTTP/1.1 200 OK\r\n\r\n<modelName>M</modelName>"));
      },
      steady, /*remember=*/false);
  Announcements handling(
      registry, tones, descriptions, [] { return false; }, &counters, &events);
  handling.SetMaxDevices(3);
  DeviceTable table;
  std::vector<std::string> forgotten;
  events.Subscribe([&](const DeviceEvent& e) {
    if (e.kind == DeviceEventKind::kForgotten) forgotten.push_back(e.device.Usn());
    table.Apply(e);
  });
  const auto receive = [&](const char* nts, const std::string& usn) {
    std::string text = Notify(nts, usn);
    return handling.OnReceive(text.data(), 0x0900000a);
  };

  for (const char* usn : {"uuid:a", "uuid:b", "uuid:c"}) receive(kNtsAlive, usn);
  EXPECT_EQ(receive(kNtsAlive, "uuid:d"), DatagramOutcome::kTableFull);
  EXPECT_EQ(receive(kNtsAlive, "uuid:a"), DatagramOutcome::kAlive) << "known devices go on";
  EXPECT_EQ(table.Size(), 3u);

  receive(kNtsByebye, "uuid:a");
  clock.Advance(3600);
  EXPECT_TRUE(table.GoneSince(clock.Now() - 3601).empty()) << "not gone long enough yet";
  const std::vector<std::string> gone = table.GoneSince(clock.Now() - 3600);
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
TEST(DeviceTable, SearchingDeviceIsLostAtItsExpiryAndUpUntilThen) {
  RowTable rows;
  ManualClock clock{kNow};
  ManualMonotonicClock steady;
  DeviceEvents events;
  DeviceRegistry registry(rows, clock, &events);
  SilentTones tones;
  BlockingDescriptions descriptions(
      [](char* buffer, uint32_t size, const char*) {
        return static_cast<uint32_t>(CopyText(buffer, size + 1, "HTTP/1.1 200 OK\r\n\r\n<x/>"));
      },
      steady, /*remember=*/false);
  Announcements handling(
      registry, tones, descriptions, [] { return false; }, nullptr, &events);
  DeviceTable table;
  events.Subscribe([&](const DeviceEvent& e) { table.Apply(e); });
  const auto alive = [&](const std::string& usn) {
    std::string text = Notify(kNtsAlive, usn);  // max-age=60
    handling.OnReceive(text.data(), 0x0900000a);
  };
  const auto up = [&](const char* usn) { return IsUp(*table.Find(usn)); };

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
  EXPECT_EQ(table.GoneSince(clock.Now()), std::vector<std::string>{"uuid:unplugged"})
      << "the forget clock runs from the loss";

  // The dialog's search still marks every row not valid until it answers.
  registry.ResetForSearch();
  EXPECT_FALSE(up("uuid:live"));
}

}  // namespace
