// Protects how datagrams become device records, rows, tones and trace lines. Datagrams and
// descriptions are built from the same constants the handler reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/row_table.h"
#include "parse/text.h"
#include "platform/clock.h"
#include "platform/tones.h"
#include "platform/trace.h"

namespace {

constexpr int32_t kNow = 1'700'000'000;
constexpr char kLocation[] = "http://192.168.0.5/desc.xml";

uint32_t Address(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  const unsigned char bytes[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}
const uint32_t kFirst = Address(192, 168, 0, 5);
const uint32_t kSecond = Address(192, 168, 0, 6);

std::string Field(const char* name, const std::string& value) {
  return std::string(name) + ": " + value + "\r\n";
}
std::string Response(const char* usn, const std::string& cache = "max-age=1800") {
  return std::string(kSearchResponseStartLine) + "\r\n" + Field(kFieldSt, SEARCH_TARGET) +
         Field(kFieldLocation, kLocation) + Field(kFieldUsn, usn) +
         Field(kFieldCacheControl, cache) + "\r\n";
}
std::string Notify(const char* nts, const char* usn) {
  return std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNt, SEARCH_TARGET) +
         Field(kFieldNts, nts) + Field(kFieldLocation, kLocation) + Field(kFieldUsn, usn) +
         Field(kFieldCacheControl, "max-age=1800") + "\r\n";
}
std::string Description(const std::string& model_description, const std::string& model_name) {
  return std::string("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n<root>") +
         kModelDescriptionOpen + model_description + kModelDescriptionClose + kModelNameOpen +
         model_name + kModelNameClose + "</root>";
}
const std::string kGoodDescription = Description("Scale \"ind-7\" v2", "X900");

std::vector<std::string>* g_trace = nullptr;
void CaptureTrace(const char* line) {
  g_trace->push_back(line);
}

class RecordingTones final : public ToneGenerator {
 public:
  void Beep(unsigned frequency_hz, unsigned duration_ms) override {
    played.emplace_back(frequency_hz, duration_ms);
  }
  std::vector<std::pair<unsigned, unsigned>> played;
};

// Rows of a list that cannot take another row.
class FullRows final : public DeviceRows {
 public:
  int RowCount() const override { return 0; }
  DeviceRecord* RecordAt(int) const override { return nullptr; }
  int AppendRow(const char*) override { return -1; }
  void SetRecord(int, DeviceRecord*) override {}
  bool SetCellText(int, int, const char*) override { return false; }
};

std::vector<std::pair<unsigned, unsigned>> Tune(const Tone (&tones)[3]) {
  std::vector<std::pair<unsigned, unsigned>> tune;
  for (const Tone& tone : tones) tune.emplace_back(tone.frequency_hz, tone.duration_ms);
  return tune;
}

class AnnouncementsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_trace = &trace;
    previous_sink = SetTraceSink(CaptureTrace);
  }
  void TearDown() override {
    SetTraceSink(previous_sink);
    g_trace = nullptr;
  }

  DatagramOutcome Receive(const std::string& datagram, uint32_t from = kFirst) {
    std::vector<char> text(datagram.begin(), datagram.end());
    text.push_back('\0');
    return announcements.OnReceive(text.data(), from);
  }
  DeviceRecord& Row(int row) { return *rows.RecordAt(row); }
  std::string Cell(int row, int column) { return rows.CellText(row, column); }

  RowTable rows;
  ManualClock clock{kNow};
  DeviceRegistry registry{rows, clock};
  RecordingTones tones;
  bool beep = false;
  std::string reply = kGoodDescription;  // what the fake device answers; empty = fetch fails
  int fetches = 0;
  Announcements announcements{
      registry, tones,
      [this](char* buffer, uint32_t size, const char* url) -> uint32_t {
        ++fetches;
        EXPECT_EQ(size, kDescriptionFetchSize);
        EXPECT_STREQ(url, kLocation);
        return static_cast<uint32_t>(CopyText(buffer, size + 1, reply.c_str()));
      },
      [this] { return beep; }};
  std::vector<std::string> trace;
  TraceSink previous_sink = nullptr;
};

TEST_F(AnnouncementsTest, NewDeviceGetsRowTextsTuneAndTrace) {
  beep = true;
  Receive(Response("uuid:a"));
  ASSERT_EQ(rows.RowCount(), 1);
  DeviceRecord& record = Row(0);
  EXPECT_STREQ(record.status, kStatusNew);
  EXPECT_STREQ(record.address_text, "192.168.0.5");
  EXPECT_EQ(record.valid_until, kNow + 1800);
  EXPECT_STREQ(record.host_name, "ind-7");
  EXPECT_STREQ(record.device_type, "X900");
  EXPECT_EQ(record.model_description, "Scale \"ind-7\" v2");
  EXPECT_EQ(record.description.view().rfind("<root>", 0), 0u) << "body only";
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusNew);
  EXPECT_EQ(Cell(0, kColumnHostName), "ind-7");

  auto expected = Tune(kRisingTune);
  expected.insert(expected.begin(), {kClickTone.frequency_hz, kClickTone.duration_ms});
  EXPECT_EQ(tones.played, expected);
  const std::vector<std::string> lines = {
      "OnReceive(192.168.0.5)\n", std::string("GetUrl(") + kLocation + ")\n",
      "GetUrl(" + std::string(kLocation) + ")=" + std::to_string(kGoodDescription.size()) + "\n"};
  EXPECT_EQ(trace, lines);
}

TEST_F(AnnouncementsTest, CacheControlValues) {
  struct Case {
    const char* label;
    const char* value;
    bool accepted;
    int32_t valid_until;
  } cases[] = {
      {"plain", "max-age=1800", true, kNow + 1800},
      {"space before equals", "max-age = 1800", false, 0},
      {"upper case", "MAX-AGE=1800", false, 0},
      {"zero", "max-age=0", false, 0},
      {"no digits", "max-age=", false, 0},
      {"sign only", "max-age=-", false, 0},
      {"negative: already past", "max-age=-1800", true, kNow - 1800},
      {"plus sign", "max-age=+60", true, kNow + 60},
      {"trailing spaces trimmed by the parser", "max-age=1800   ", true, kNow + 1800},
      {"trailing tab", "max-age=1800\t", false, 0},
      {"further directive", "max-age=1800, private", false, 0},
      {"leading space", "max-age= 1800", true, kNow + 1800},
      {"leading tab", "max-age=\t1800", true, kNow + 1800},
      {"2^32 clamps, it does not wrap to 0", "max-age=4294967296", true, kNow - 1},
      {"huge clamps", "max-age=99999999999999999999999", true, kNow - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RowTable case_rows;
    DeviceRegistry case_registry(case_rows, clock);
    int case_fetches = 0;
    Announcements handler(
        case_registry, tones,
        [&](char* buffer, uint32_t, const char*) {
          ++case_fetches;
          buffer[0] = '\0';
          return uint32_t{0};
        },
        [] { return false; });
    std::string datagram = Response("uuid:a", c.value);
    handler.OnReceive(datagram.data(), kFirst);
    ASSERT_EQ(case_rows.RowCount(), c.accepted ? 1 : 0);
    EXPECT_EQ(case_fetches, c.accepted ? 1 : 0);
    if (c.accepted) {
      EXPECT_EQ(case_rows.RecordAt(0)->valid_until, c.valid_until);
    }
    case_registry.FreeAll();
  }
}

TEST_F(AnnouncementsTest, MaxAgeConversionIn32Bits) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t seconds;
  } cases[] = {
      {"4294967295", true, 4294967295u},
      {"4294967296", true, 4294967295u},
      {"-1", true, 4294967295u},
      {"-4294967295", true, 1u},
      {"-4294967296", true, 4294967295u},
      {"18446744073709551617", true, 4294967295u},
      {" \t\n+7", true, 7u},
      {"7x", false, 0u},
      {"", false, 0u},
      {"+-7", false, 0u},
  };
  for (const Case& c : cases) {
    uint32_t seconds = 99;
    EXPECT_EQ(ParseMaxAgeSeconds(c.text, seconds), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(seconds, c.seconds) << '"' << c.text << '"';
  }
}

TEST_F(AnnouncementsTest, IgnoredDatagramsTouchNothing) {
  beep = true;
  const std::string good = Response("uuid:a");
  auto without = [&](const char* name) {
    std::string text = good;
    const std::size_t at = text.find(std::string(name) + ":");
    return text.erase(at, text.find("\r\n", at) + 2 - at);
  };
  using O = DatagramOutcome;
  struct Case {
    const char* label;
    std::string datagram;
    DatagramOutcome outcome;
  } cases[] = {
      {"no ST or NT", without(kFieldSt), O::kOtherType},
      {"other target",
       std::string(kSearchResponseStartLine) + "\r\nST: upnp:rootdevice\r\n" +
           Field(kFieldLocation, kLocation) + Field(kFieldUsn, "uuid:a") +
           Field(kFieldCacheControl, "max-age=1800") + "\r\n",
       O::kOtherType},
      {"no LOCATION", without(kFieldLocation), O::kNoLocation},
      {"no USN", without(kFieldUsn), O::kNoUsn},
      {"no CACHE-CONTROL", without(kFieldCacheControl), O::kBadMaxAge},
      {"empty text", "", O::kNoStartLine},
      {"search request", "M-SEARCH * HTTP/1.1\r\n" + good.substr(good.find("\r\n") + 2),
       O::kOtherMethod},
      {"other status", "HTTP/1.1 404 Not Found\r\n" + good.substr(good.find("\r\n") + 2),
       O::kOtherMethod},
      {"NOTIFY without NTS",
       std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNt, SEARCH_TARGET), O::kNoNts},
      {"NOTIFY with other NTS", Notify("ssdp:update", "uuid:a"), O::kOtherNts},
      {"byebye of an unknown USN", Notify(kNtsByebye, "uuid:unknown"), O::kByebyeUnknown},
      {"NT names another target though ST is ours",
       std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNt, "upnp:rootdevice") +
           Field(kFieldNts, kNtsAlive) + good.substr(good.find("\r\n") + 2),
       O::kOtherType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    tones.played.clear();
    trace.clear();
    EXPECT_EQ(Receive(c.datagram), c.outcome) << DatagramOutcomeName(c.outcome);
    EXPECT_EQ(rows.RowCount(), 0);
    EXPECT_EQ(fetches, 0);
    EXPECT_EQ(tones.played.size(), 1u) << "only the click";
    EXPECT_EQ(trace, std::vector<std::string>{"OnReceive(192.168.0.5)\n"});
  }
}

// The scanner's traces name the reason of every drop, and a LOCATION that could never be
// fetched is counted as such while its row is still written.
TEST_F(AnnouncementsTest, DropsAreTracedWithTheirReasonWhenAsked) {
  announcements.SetTraceDrops(true);
  Receive(Notify("ssdp:update", "uuid:a"));
  EXPECT_EQ(trace.back(), "Dropped(other_nts) from 192.168.0.5\n");
  std::string bad = Response("uuid:b");
  bad.replace(bad.find(kLocation), std::strlen(kLocation), "https://192.168.0.5/desc.xml");
  EXPECT_EQ(Receive(bad), DatagramOutcome::kBadLocation);
  EXPECT_EQ(trace.back(), "Dropped(bad_location) from 192.168.0.5\n");
  EXPECT_EQ(fetches, 0) << "refused before any connect";
  ASSERT_EQ(rows.RowCount(), 1);
  EXPECT_STREQ(Row(0).status, kStatusNew);
}

TEST_F(AnnouncementsTest, NtIsJudgedBeforeSt) {
  std::string datagram = Notify(kNtsAlive, "uuid:a");
  datagram.insert(datagram.size() - 2, Field(kFieldSt, "upnp:rootdevice"));
  Receive(datagram);
  EXPECT_EQ(rows.RowCount(), 1);
}

TEST_F(AnnouncementsTest, RowsFollowUsnNotAddress) {
  Receive(Response("uuid:a"), kFirst);
  Receive(Response("uuid:a"), kSecond);
  ASSERT_EQ(rows.RowCount(), 1);
  EXPECT_STREQ(Row(0).status, kStatusChanged);
  EXPECT_EQ(Cell(0, kColumnAddress), "192.168.0.6");
  Receive(Response("uuid:a"), kSecond);
  EXPECT_STREQ(Row(0).status, kStatusOnline);

  Receive(Response("uuid:b"), kSecond);
  ASSERT_EQ(rows.RowCount(), 2) << "another USN from the same address is another device";
  EXPECT_STREQ(Row(1).status, kStatusNew);
}

TEST_F(AnnouncementsTest, RisingTuneOnlyForNewOrExtendedValidity) {
  beep = true;
  Receive(Response("uuid:a"));
  tones.played.clear();
  clock.Advance(3);
  Receive(Response("uuid:a"));
  EXPECT_EQ(tones.played.size(), 1u) << "3 s later: only the click";
  clock.Advance(10);
  tones.played.clear();
  Receive(Response("uuid:a"));
  EXPECT_EQ(tones.played.size(), 4u) << "10 s later: click and rising tune";

  beep = false;
  tones.played.clear();
  Receive(Response("uuid:b"));
  EXPECT_TRUE(tones.played.empty()) << "box unticked";
}

TEST_F(AnnouncementsTest, Byebye) {
  beep = true;
  Receive(Response("uuid:valid"));
  Receive(Response("uuid:reset"));
  registry.FindByUsn("uuid:reset")->valid_until = 0;
  tones.played.clear();

  Receive(Notify(kNtsByebye, "uuid:reset"));
  EXPECT_STREQ(Row(1).status, kStatusByebye);
  EXPECT_EQ(tones.played.size(), 1u) << "already invalid: no falling tune";

  tones.played.clear();
  Receive(Notify(kNtsByebye, "uuid:valid"), kSecond);
  auto expected = Tune(kFallingTune);
  expected.insert(expected.begin(), {kClickTone.frequency_hz, kClickTone.duration_ms});
  EXPECT_EQ(tones.played, expected);
  EXPECT_EQ(Row(0).valid_until, 0);
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusByebye);
  EXPECT_EQ(Cell(0, kColumnValidUntil), kCellNoTime);
  EXPECT_STREQ(Row(0).address_text, "192.168.0.5") << "matched by USN alone";
  EXPECT_EQ(fetches, 2);

  tones.played.clear();
  Receive(Response("uuid:valid"));
  EXPECT_STREQ(Row(0).status, kStatusOnline);
  EXPECT_EQ(tones.played.size(), 4u) << "a returning device signals";
}

TEST_F(AnnouncementsTest, DescriptionFetchOutcomes) {
  Receive(Response("uuid:a"));
  {
    SCOPED_TRACE("failed fetch: description empty, texts kept");
    reply.clear();
    Receive(Response("uuid:a"));
    EXPECT_EQ(Row(0).description, "");
    EXPECT_STREQ(Row(0).host_name, "ind-7");
    EXPECT_STREQ(Row(0).device_type, "X900");
    EXPECT_EQ(Row(0).model_description, "Scale \"ind-7\" v2");
    EXPECT_TRUE(trace.back().ends_with(")=0\n"));
  }
  {
    SCOPED_TRACE("response without body");
    reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n";
    Receive(Response("uuid:a"));
    EXPECT_EQ(Row(0).description, kDescriptionNoBody);
    EXPECT_STREQ(Row(0).host_name, kTextUnknown);
    EXPECT_STREQ(Row(0).device_type, kTextUnknown);
    EXPECT_EQ(Row(0).model_description, kTextUnknown);
  }
  {
    SCOPED_TRACE("body after a 404 is still the description; missing elements are empty");
    reply = "HTTP/1.1 404 Not Found\r\n\r\nno such page";
    Receive(Response("uuid:a"));
    EXPECT_EQ(Row(0).description, "no such page");
    EXPECT_STREQ(Row(0).host_name, "");
    EXPECT_STREQ(Row(0).device_type, "");
  }
  {
    SCOPED_TRACE("texts longer than their fields are cut");
    const std::string long_description = "\"" + std::string(40, 'h') + "\"" + std::string(300, 'd');
    reply = Description(long_description, std::string(40, 't')) + std::string(3000, 'z');
    Receive(Response("uuid:a"));
    const std::size_t header = reply.find("\r\n\r\n") + 4;
    EXPECT_EQ(Row(0).description.size(), kDescriptionFetchSize - header);
    EXPECT_EQ(std::string(Row(0).model_description), long_description.substr(0, 255));
    EXPECT_EQ(std::string(Row(0).host_name), std::string(31, 'h'));
    EXPECT_EQ(std::string(Row(0).device_type), std::string(31, 't'));
  }
}

TEST_F(AnnouncementsTest, NegativeMaxAgeIsLostAtNextSweep) {
  Receive(Response("uuid:a", "max-age=-1800"));
  EXPECT_EQ(Row(0).valid_until, kNow - 1800);
  registry.ExpirySweep();
  EXPECT_EQ(Cell(0, kColumnStatus), kCellLost);
}

TEST_F(AnnouncementsTest, NewRecordIsReleasedWhenTheListRefusesARow) {
  FullRows full;
  DeviceRegistry full_registry(full, clock);
  Announcements handler(
      full_registry, tones,
      [](char* buffer, uint32_t, const char*) {
        buffer[0] = '\0';
        return uint32_t{0};
      },
      [] { return false; });
  std::string datagram = Response("uuid:a");
  // Under the sanitizer build, the leak checker reports a record that nobody owns.
  handler.OnReceive(datagram.data(), kFirst);
  EXPECT_EQ(full.RowCount(), 0);
}

}  // namespace
