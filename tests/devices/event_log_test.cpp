// The fleet page's event log: a ring that keeps the newest events in order once it wraps.
#include <gtest/gtest.h>

#include "devices/event_log.h"

namespace {

TEST(EventLog, KeepsTheNewestInOrderOnceFull) {
  EventLog log(3);
  EXPECT_TRUE(log.Newest().empty());
  DeviceSnapshot device;
  for (int i = 1; i <= 5; ++i) {
    device.status = i == 5 ? "byebye" : "online";
    device.usn = "uuid:" + std::to_string(i);
    log.Add(1000 + i, device);
    const std::vector<LoggedEvent> events = log.Newest();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(std::min(i, 3)));
    for (std::size_t k = 0; k < events.size(); ++k) {
      EXPECT_EQ(events[k].time, 1000 + i - static_cast<int>(k)) << "after " << i << " events";
    }
  }
  EXPECT_EQ(log.Newest().front().event, "byebye");
  EXPECT_EQ(log.Newest().back().usn, "uuid:3");
  EXPECT_EQ(log.Total(), 5u);
}

}  // namespace
