// The events of --watch: every change of a row's status cell, reported once the row is
// complete, from the same announcement handling and registry the dialog runs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "parse/text.h"
#include "platform/clock.h"
#include "platform/tones.h"
#include "scan/device_report.h"
#include "scan/watched_rows.h"

namespace {

constexpr int32_t kNow = 1'700'000'000;
constexpr char kUsn[] = "uuid:one::urn:schemas-velmorant-com:device:indicator:1";
constexpr char kLocation[] = "http://10.0.0.5/description.xml";
const uint32_t kFirst = 0x0500000A;   // 10.0.0.5 in network order
const uint32_t kSecond = 0x0600000A;  // 10.0.0.6

std::string Field(const char* name, const std::string& value) {
  return std::string(name) + ": " + value + "\r\n";
}
std::string Response() {
  return std::string(kSearchResponseStartLine) + "\r\n" + Field(kFieldSt, SEARCH_TARGET) +
         Field(kFieldLocation, kLocation) + Field(kFieldUsn, kUsn) +
         Field(kFieldCacheControl, "max-age=60") + "\r\n";
}
std::string Byebye() {
  return std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNt, SEARCH_TARGET) +
         Field(kFieldNts, kNtsByebye) + Field(kFieldUsn, kUsn) + "\r\n";
}

struct Event {
  int row;
  std::string status;
  std::string validity;
  int32_t valid_until;  // as the report takes it at that moment
};

class WatchedRowsTest : public ::testing::Test {
 protected:
  WatchedRowsTest() {
    m_rows.SetObserver([this](int row, const char* status, const char* validity) {
      const DeviceRecord* record = m_rows.RecordAt(row);
      ASSERT_NE(record, nullptr);
      m_events.push_back(
          {row, status, validity, DescribeDevice(*record, status, validity).valid_until});
    });
  }
  void Receive(const std::string& datagram, uint32_t from) {
    std::string text = datagram;
    m_announcements.OnReceive(text.data(), from);
  }
  std::vector<std::string> Statuses() const {
    std::vector<std::string> out;
    for (const Event& e : m_events) out.push_back(e.status);
    return out;
  }

  WatchedRows m_rows;
  ManualClock m_clock{kNow};
  SilentTones m_tones;
  DeviceRegistry m_registry{m_rows, m_clock};
  Announcements m_announcements{
      m_registry, m_tones,
      [](char* buffer, uint32_t size, const char*) {
        const char response[] = "HTTP/1.1 200 OK\r\n\r\n<modelName>VI-100</modelName>";
        return static_cast<uint32_t>(CopyText(buffer, size + 1, response));
      },
      [] { return false; }};
  std::vector<Event> m_events;
};

TEST_F(WatchedRowsTest, FirstAnswerIsNewWithItsTime) {
  Receive(Response(), kFirst);
  ASSERT_EQ(m_events.size(), 1u);
  EXPECT_EQ(m_events[0].row, 0);
  EXPECT_EQ(m_events[0].status, kStatusNew);
  EXPECT_NE(m_events[0].validity, kCellNoTime);
  EXPECT_EQ(m_events[0].valid_until, kNow + 60);
  EXPECT_STREQ(m_rows.Table().CellText(0, kColumnDeviceType), "VI-100") << "row complete";
}

TEST_F(WatchedRowsTest, RepeatedAnswersReportOnlyTheChangeToOnline) {
  Receive(Response(), kFirst);
  Receive(Response(), kFirst);
  Receive(Response(), kFirst);
  EXPECT_EQ(Statuses(), (std::vector<std::string>{kStatusNew, kStatusOnline}));
}

TEST_F(WatchedRowsTest, SearchingIsNotAnEventButTheAnswerAfterItIs) {
  Receive(Response(), kFirst);
  Receive(Response(), kFirst);
  m_events.clear();
  m_registry.ResetForSearch();
  EXPECT_TRUE(m_events.empty());
  EXPECT_STREQ(m_rows.Table().CellText(0, kColumnStatus), kCellSearching);
  Receive(Response(), kFirst);
  EXPECT_EQ(Statuses(), (std::vector<std::string>{kStatusOnline}));
}

TEST_F(WatchedRowsTest, NewAddressIsChanged) {
  Receive(Response(), kFirst);
  Receive(Response(), kSecond);
  EXPECT_EQ(Statuses(), (std::vector<std::string>{kStatusNew, kStatusChanged}));
}

TEST_F(WatchedRowsTest, ByebyeAndOnlineAgain) {
  Receive(Response(), kFirst);
  Receive(Byebye(), kFirst);
  Receive(Response(), kFirst);
  EXPECT_EQ(Statuses(), (std::vector<std::string>{kStatusNew, kStatusByebye, kStatusOnline}));
  EXPECT_EQ(m_events[1].validity, kCellNoTime);
  EXPECT_EQ(m_events[1].valid_until, 0);
}

TEST_F(WatchedRowsTest, ExpiryIsLostWithNoTimeWhileTheRecordStillHoldsIt) {
  Receive(Response(), kFirst);
  m_clock.Advance(61);
  m_registry.ExpirySweep();
  ASSERT_EQ(Statuses(), (std::vector<std::string>{kStatusNew, kCellLost}));
  EXPECT_EQ(m_events[1].validity, kCellNoTime);
  EXPECT_EQ(m_events[1].valid_until, 0) << "reported as the row shows it";
  m_registry.ExpirySweep();
  EXPECT_EQ(m_events.size(), 2u) << "a lost row is swept once";
}

TEST_F(WatchedRowsTest, UnknownByebyeAndForeignDatagramsAreNoEvents) {
  Receive(Byebye(), kFirst);
  Receive("M-SEARCH * HTTP/1.1\r\nST: ssdp:all\r\n\r\n", kFirst);
  EXPECT_TRUE(m_events.empty());
  EXPECT_EQ(m_rows.RowCount(), 0);
}

TEST_F(WatchedRowsTest, WithoutObserverRowsAreStillWritten) {
  m_rows.SetObserver(nullptr);
  Receive(Response(), kFirst);
  EXPECT_TRUE(m_events.empty());
  EXPECT_STREQ(m_rows.Table().CellText(0, kColumnStatus), kStatusNew);
}

TEST_F(WatchedRowsTest, WritesOutsideTheTableFail) {
  EXPECT_FALSE(m_rows.SetCellText(0, kColumnStatus, kStatusNew));
  EXPECT_TRUE(m_events.empty());
}

}  // namespace
