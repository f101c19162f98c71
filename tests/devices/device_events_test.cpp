// One device's life as the event stream the core publishes: every change of its row, in
// order, with the previous address for a move and the counters beside it.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/blocking_descriptions.h"
#include "devices/device_events.h"
#include "devices/device_registry.h"
#include "devices/row_table.h"
#include "parse/text.h"
#include "platform/clock.h"
#include "platform/tones.h"

namespace {

constexpr int32_t kNow = 1'700'000'000;
constexpr char kUsn[] = "uuid:life::urn:schemas-velmorant-com:device:indicator:1";
constexpr char kDescription[] =
    "HTTP/1.1 200 OK\r\n\r\n<modelDescription>Scale \"hall\"</modelDescription>"
    "<serialNumber>S-1</serialNumber><presentationURL>http://10.0.0.1/</presentationURL>";

std::string Datagram(const char* nts) {
  return std::string(kNotifyStartLine) + "\r\nNT: " + SEARCH_TARGET + "\r\nNTS: " + nts +
         "\r\nLOCATION: http://10.0.0.1/d.xml\r\nUSN: " + kUsn +
         "\r\nCACHE-CONTROL: max-age=60\r\n\r\n";
}

TEST(DeviceEvents, OneDeviceLifeFromNewToLost) {
  RowTable rows;
  ManualClock clock{kNow};
  DeviceEvents events;
  DiscoveryCounters counters;
  DeviceRegistry registry(rows, clock, &events);
  SilentTones tones;
  ManualMonotonicClock steady;
  BlockingDescriptions descriptions(
      [](char* buffer, uint32_t size, const char*) {
        return static_cast<uint32_t>(CopyText(buffer, size + 1, kDescription));
      },
      steady);
  Announcements announcements(
      registry, tones, descriptions, [] { return false; }, &counters, &events);

  struct Seen {
    std::string kind, address, previous, serial;
    int32_t time, valid_until;
  };
  std::vector<Seen> seen;
  const int id = events.Subscribe([&](const DeviceEvent& e) {
    char previous[INET_ADDRSTRLEN] = "";
    if (e.previous_address != 0) inet_ntop(AF_INET, &e.previous_address, previous, sizeof previous);
    seen.push_back({DeviceEventName(e.kind), e.device.AddressText(), previous,
                    e.device.Field(DescriptionField::kSerialNumber), e.time,
                    e.device.ValidUntil()});
    EXPECT_STREQ(e.device.Usn(), kUsn);
    EXPECT_STREQ(e.device.HostName(), "hall");
  });
  const auto receive = [&](const char* nts, const char* from) {
    std::string text = Datagram(nts);
    in_addr address{};
    inet_pton(AF_INET, from, &address);
    return announcements.OnReceive(text.data(), address.s_addr);
  };

  EXPECT_EQ(receive(kNtsAlive, "10.0.0.1"), DatagramOutcome::kAlive);
  clock.Advance(1);
  receive(kNtsAlive, "10.0.0.1");
  receive(kNtsAlive, "10.0.0.2");
  EXPECT_EQ(receive(kNtsByebye, "10.0.0.2"), DatagramOutcome::kByebye);
  receive(kNtsAlive, "10.0.0.2");
  registry.ResetForSearch();
  receive(kNtsAlive, "10.0.0.2");
  clock.Advance(61);
  registry.ExpirySweep();
  registry.ExpirySweep();  // nothing left to expire: no second event

  const std::vector<std::string> kinds = {"new",    "online",    "changed", "byebye",
                                          "online", "searching", "online",  "lost"};
  ASSERT_EQ(seen.size(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(seen[i].kind, kinds[i]) << i;
  EXPECT_EQ(seen[0].address, "10.0.0.1");
  EXPECT_EQ(seen[0].serial, "S-1");
  EXPECT_EQ(seen[0].valid_until, kNow + 60);
  EXPECT_EQ(seen[2].previous, "10.0.0.1") << "a move says where the device was";
  EXPECT_EQ(seen[2].address, "10.0.0.2");
  EXPECT_EQ(seen[3].valid_until, 0);
  EXPECT_EQ(seen[5].valid_until, 0);
  EXPECT_EQ(seen[7].time, kNow + 62);

  EXPECT_EQ(counters.Datagrams(DatagramOutcome::kAlive), 5u);
  EXPECT_EQ(counters.Datagrams(DatagramOutcome::kByebye), 1u);
  EXPECT_EQ(counters.Fetches(FetchOutcome::kOk), 1u) << "one fetch while the time stands still";
  EXPECT_EQ(counters.fetches_cached, 4u);

  events.Unsubscribe(id);
  receive(kNtsByebye, "10.0.0.2");
  EXPECT_EQ(seen.size(), kinds.size()) << "an observer that left hears nothing more";
}

}  // namespace
