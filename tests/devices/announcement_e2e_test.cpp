// Announcements through the real description fetch: a device's HTTP server on loopback
// behind LOCATION, real GetUrl, rows, a settable clock and recorded tones. The fake-fetcher
// tests prove the rules; these prove what only a real exchange shows: bodies assembled from
// segments, a 404 body, a failed or endless fetch, and datagrams queued behind a fetch.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/blocking_descriptions.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/row_table.h"
#include "http/get_url.h"
#include "platform/clock.h"
#include "ssdp/ssdp_socket.h"
#include "tests/http/scripted_http_server.h"
#include "tests/support/event_loop.h"
#include "tests/support/isolated_network.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/recording_tones.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using Tones = std::vector<RecordingTones::Entry>;

constexpr int32_t kNow = 1'700'000'000;

std::string Field(const char* name, const std::string& value) {
  return std::string(name) + ": " + value + "\r\n";
}

std::string Description(const std::string& model_description, const std::string& model_name) {
  return std::string("<?xml version=\"1.0\"?>\n<root><device>") + kModelDescriptionOpen +
         model_description + kModelDescriptionClose + kModelNameOpen + model_name +
         kModelNameClose + "</device></root>\n";
}
const std::string kBody = Description("Indicator \"ind-7\" bench", "X900");
const std::string kResponse = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + kBody;

Tones Tune(const Tone* tones, std::size_t count) {
  Tones tune;
  for (std::size_t i = 0; i < count; ++i)
    tune.emplace_back(tones[i].frequency_hz, tones[i].duration_ms);
  return tune;
}
const RecordingTones::Entry kClick = {kClickTone.frequency_hz, kClickTone.duration_ms};
Tones ClickAnd(const Tone (&tune)[3]) {
  Tones tones = Tune(tune, 3);
  tones.insert(tones.begin(), kClick);
  return tones;
}

class AnnouncementEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }

  [[nodiscard]] std::string Location() const {
    return "http://127.0.0.1:" + std::to_string(device.Port()) + "/desc.xml";
  }
  [[nodiscard]] std::string Response(const char* usn, const std::string& cache = "max-age=1800",
                                     const std::string& location = "") const {
    return std::string(kSearchResponseStartLine) + "\r\n" + Field(kFieldSt, SEARCH_TARGET) +
           Field(kFieldLocation, location.empty() ? Location() : location) + Field(kFieldUsn, usn) +
           Field(kFieldCacheControl, cache) + "\r\n";
  }
  [[nodiscard]] std::string Notify(const char* nts, const char* usn) const {
    return std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNt, SEARCH_TARGET) +
           Field(kFieldNts, nts) + Field(kFieldLocation, Location()) + Field(kFieldUsn, usn) +
           Field(kFieldCacheControl, "max-age=1800") + "\r\n";
  }
  void Receive(std::string datagram, const char* from = kHostB) {
    announcements.OnReceive(datagram.data(), Address(from));
  }
  [[nodiscard]] DeviceRecord& Record(int row) const { return *rows.RecordAt(row); }
  [[nodiscard]] std::string Cell(int row, int column) const { return rows.CellText(row, column); }

  ScriptedHttpServer device{ScriptedReply{{kResponse}}};
  TraceRecorder trace;
  RowTable rows;
  ManualClock clock{kNow};
  DeviceRegistry registry{rows, clock};
  RecordingTones tones;
  Announcements announcements{registry, tones, GetUrl, [] { return true; }};
};

TEST_F(AnnouncementEndToEnd, DescriptionInSegmentsFillsTheRow) {
  // Cut inside the markers too, so that nothing works only on a single read.
  std::vector<std::string> segments;
  for (std::size_t at = 0; at < kResponse.size(); at += 11)
    segments.push_back(kResponse.substr(at, 11));
  device.SetReply(ScriptedReply{segments, 3ms});

  Receive(Response("uuid:a"));
  ASSERT_EQ(rows.RowCount(), 1);
  EXPECT_EQ(device.Requests(), std::vector<std::string>{"GET /desc.xml HTTP/1.1\r\n\r\n"});
  EXPECT_EQ(Record(0).description, kBody);
  EXPECT_EQ(Cell(0, kColumnAddress), kHostB);
  EXPECT_EQ(Cell(0, kColumnHostName), "ind-7");
  EXPECT_EQ(Cell(0, kColumnDeviceType), "X900");
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusNew);
  EXPECT_EQ(Record(0).valid_until, kNow + 1800);
  EXPECT_EQ(tones.Played(), ClickAnd(kRisingTune));
  EXPECT_TRUE(trace.Has("GetUrl(" + Location() + ")=" + std::to_string(kResponse.size())));
}

TEST_F(AnnouncementEndToEnd, OnlyAcceptedAnnouncementsReachTheDevice) {
  const std::string ours = Field(kFieldSt, SEARCH_TARGET);
  auto with_nt = [&](const char* nt, const char* st) {
    std::string text = Notify(kNtsAlive, "uuid:a");
    text.replace(text.find(Field(kFieldNt, SEARCH_TARGET)), Field(kFieldNt, SEARCH_TARGET).size(),
                 Field(kFieldNt, nt) + Field(kFieldSt, st));
    return text;
  };
  const struct {
    const char* label;
    std::string datagram;
    bool accepted;
  } cases[] = {
      {"space before the equals sign", Response("uuid:a", "max-age = 1800"), false},
      {"zero", Response("uuid:a", "max-age=0"), false},
      {"trailing tab", Response("uuid:a", "max-age=1800\t"), false},
      {"further directive", Response("uuid:a", "max-age=1800, private"), false},
      {"NT of another type, ST ours", with_nt("upnp:rootdevice", SEARCH_TARGET), false},
      {"NT ours, ST of another type", with_nt(SEARCH_TARGET, "upnp:rootdevice"), true},
      {"negative max-age", Response("uuid:a", "max-age=-1800"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const int before = device.Connections();
    const int rows_before = rows.RowCount();
    Receive(c.datagram);
    EXPECT_EQ(device.Connections() - before, c.accepted ? 1 : 0);
    EXPECT_EQ(rows.RowCount(), c.accepted && rows_before == 0 ? 1 : rows_before);
  }
  ASSERT_EQ(rows.RowCount(), 1);
  EXPECT_EQ(Record(0).valid_until, kNow - 1800) << "the negative max-age came last";
  registry.ExpirySweep();
  EXPECT_EQ(Cell(0, kColumnStatus), kCellLost);
}

TEST_F(AnnouncementEndToEnd, DeviceLifeAndItsTunes) {
  Receive(Response("uuid:a"));
  EXPECT_EQ(tones.Played(), ClickAnd(kRisingTune)) << "new";

  tones.Clear();
  clock.Advance(3);
  Receive(Response("uuid:a"));
  EXPECT_EQ(tones.Played(), Tones{kClick}) << "3 s later: validity grows by 3 s only";
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusOnline);

  tones.Clear();
  clock.Advance(10);
  Receive(Response("uuid:a"));
  EXPECT_EQ(tones.Played(), ClickAnd(kRisingTune)) << "10 s later: more than 5 s gained";
  EXPECT_EQ(Record(0).valid_until, kNow + 13 + 1800);
  EXPECT_EQ(device.Connections(), 3) << "every accepted announcement fetches";

  tones.Clear();
  Receive(Notify(kNtsByebye, "uuid:a"));
  EXPECT_EQ(tones.Played(), ClickAnd(kFallingTune));
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusByebye);
  EXPECT_EQ(Cell(0, kColumnValidUntil), kCellNoTime);

  tones.Clear();
  Receive(Notify(kNtsByebye, "uuid:a"));
  EXPECT_EQ(tones.Played(), Tones{kClick}) << "already invalid: no falling tune";
  Receive(Notify(kNtsByebye, "uuid:unknown"));
  EXPECT_EQ(rows.RowCount(), 1);
  EXPECT_EQ(device.Connections(), 3) << "a byebye never fetches";

  tones.Clear();
  Receive(Response("uuid:a"));
  EXPECT_EQ(tones.Played(), ClickAnd(kRisingTune)) << "returning";
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusOnline);
}

TEST_F(AnnouncementEndToEnd, FetchOutcomes) {
  {
    SCOPED_TRACE("the body after a 404 is still the description");
    device.SetReply(ScriptedReply{
        {"HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n", "<html>no such page</html>"},
        5ms});
    Receive(Response("uuid:a"));
    EXPECT_EQ(Record(0).description, "<html>no such page</html>");
    EXPECT_EQ(Cell(0, kColumnHostName), "");
    EXPECT_EQ(Cell(0, kColumnDeviceType), "");
  }
  {
    SCOPED_TRACE("a good description");
    device.SetReply(ScriptedReply{{kResponse}});
    Receive(Response("uuid:a"));
    EXPECT_EQ(Cell(0, kColumnHostName), "ind-7");
  }
  {
    SCOPED_TRACE("a failed fetch empties the description and keeps the texts");
    const std::string nobody = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/desc.xml";
    clock.Advance(60);
    Receive(Response("uuid:a", "max-age=1800", nobody));
    EXPECT_EQ(Record(0).description, "");
    EXPECT_EQ(Cell(0, kColumnHostName), "ind-7");
    EXPECT_EQ(Cell(0, kColumnDeviceType), "X900");
    EXPECT_EQ(Record(0).model_description, "Indicator \"ind-7\" bench");
    EXPECT_EQ(Record(0).valid_until, kNow + 60 + 1800) << "the row is still refreshed";
    EXPECT_TRUE(trace.Has("GetUrl(" + nobody + ")=0"));
  }
}

// A device that answers and never hangs up holds the handler only until the exchange bound;
// what it sent is its description.
TEST_F(AnnouncementEndToEnd, EndlessDeviceIsCutOffAndItsAnswerKept) {
  device.SetReply(ScriptedReply{{kResponse}, 0ms, false});
  const auto start = SteadyClock::now();
  Receive(Response("uuid:a"));
  EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(kGetUrlExchangeTimeoutMs + 1500));
  ASSERT_EQ(rows.RowCount(), 1);
  EXPECT_EQ(Record(0).description, kBody);
  EXPECT_EQ(Cell(0, kColumnHostName), "ind-7");
}

// The dialog's two bounds on blocking fetches, with a real device: a burst's answers cost one
// fetch, and a device that accepts and never answers holds the window once a minute.
TEST_F(AnnouncementEndToEnd, BlockingFetchesOncePerBurstAndOncePerMinuteForAHungDevice) {
  ManualMonotonicClock steady;
  BlockingDescriptions descriptions(GetUrl, steady);
  Announcements dialog_handling{registry, tones, descriptions, [] { return false; }};
  const auto receive = [&](const char* usn) {
    std::string datagram = Response(usn);
    dialog_handling.OnReceive(datagram.data(), Address(kHostB));
  };
  descriptions.BeginBurst();
  for (int answer = 0; answer < 8; ++answer) receive("uuid:a");
  EXPECT_EQ(device.Connections(), 1) << "eight answers of one burst, one fetch";
  descriptions.EndBurst();
  steady.AdvanceMs(kBurstReuseMs - 1);
  receive("uuid:a");
  EXPECT_EQ(device.Connections(), 1) << "a late answer of the burst, still being worked through";
  steady.AdvanceMs(kBurstReuseMs);
  receive("uuid:a");
  EXPECT_EQ(device.Connections(), 2) << "the burst is over: a NOTIFY now is fetched";
  EXPECT_EQ(Cell(0, kColumnHostName), "ind-7");

  device.SetReply(ScriptedReply{{}, 0ms, false});
  steady.AdvanceMs(kBurstReuseMs);
  receive("uuid:a");  // holds the window until the bound
  EXPECT_EQ(device.Connections(), 3);
  steady.AdvanceMs(kTimedOutBackoffMs - 1000);
  receive("uuid:a");
  EXPECT_EQ(device.Connections(), 3) << "not asked again within the minute";
  EXPECT_TRUE(trace.Has("GetUrl(" + Location() + ") skipped: timed out 59 s ago"));
  EXPECT_EQ(Record(0).description, "") << "handled as a failed fetch";
  EXPECT_EQ(Cell(0, kColumnHostName), "ind-7") << "its texts are kept";
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusOnline);
}

// Hands the socket's datagrams on to the announcements and logs when each handler begins and
// ends, by the datagram's USN.
class LoggingListener final : public SsdpListener {
 public:
  LoggingListener(Announcements& announcements, std::vector<std::string>& log)
      : m_announcements(announcements), m_log(log) {}
  void OnReceive(char* text, uint32_t address) override {
    const std::string copy = text;
    const std::string name = std::string(kFieldUsn) + ": ";
    const std::size_t at = copy.find(name) + name.size();
    const std::string usn = copy.substr(at, copy.find("\r\n", at) - at);
    m_log.push_back("begin " + usn);
    m_announcements.OnReceive(text, address);
    m_log.push_back("end " + usn);
  }

 private:
  Announcements& m_announcements;
  std::vector<std::string>& m_log;
};

class AnnouncementsThroughTheSocket : public AnnouncementEndToEnd {
 protected:
  void SetUp() override {
    AnnouncementEndToEnd::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(socket.Create(nullptr, 0));
    socket.SetListener(&listener);
    port = LocalPort(socket.Handle());
  }

  std::vector<std::string> log;
  LoggingListener listener{announcements, log};
  CSsdpSocket socket;
  uint16_t port = 0;
};

TEST_F(AnnouncementsThroughTheSocket, DatagramsArrivingDuringAFetchAreHandledAfterItInOrder) {
  const std::string second = Response("uuid:b");
  const std::string third = Response("uuid:c");
  ScriptedReply reply({kResponse});
  reply.on_request = [&](int connection) {
    if (connection != 1) return;
    SendDatagram(second, kHostA, port, kHostA);
    SendDatagram(third, kHostA, port, kHostB);
    std::this_thread::sleep_for(300ms);  // both are waiting while the first handler fetches
  };
  device.SetReply(reply);

  ASSERT_TRUE(SendDatagram(Response("uuid:a"), "127.0.0.1", port));
  ASSERT_TRUE(RunUntil([&] { return log.size() >= 6; }, 10000));
  EXPECT_EQ(log, (std::vector<std::string>{"begin uuid:a", "end uuid:a", "begin uuid:b",
                                           "end uuid:b", "begin uuid:c", "end uuid:c"}));
  ASSERT_EQ(rows.RowCount(), 3);
  EXPECT_EQ(Cell(0, kColumnAddress), "127.0.0.1");
  EXPECT_EQ(Cell(1, kColumnAddress), kHostA);
  EXPECT_EQ(Cell(2, kColumnAddress), kHostB);
  for (int row = 0; row < 3; ++row) EXPECT_EQ(Cell(row, kColumnHostName), "ind-7");
  EXPECT_EQ(device.Connections(), 3);
}

TEST_F(AnnouncementsThroughTheSocket, SameUsnFromAnotherAddressIsTheSameRowChanged) {
  ASSERT_TRUE(SendDatagram(Response("uuid:a"), kHostA, port, kHostA));
  ASSERT_TRUE(RunUntil([&] { return log.size() >= 2; }));
  ASSERT_TRUE(SendDatagram(Response("uuid:a"), kHostA, port, kHostB));
  ASSERT_TRUE(RunUntil([&] { return log.size() >= 4; }));
  ASSERT_EQ(rows.RowCount(), 1);
  EXPECT_EQ(Cell(0, kColumnStatus), kStatusChanged);
  EXPECT_EQ(Cell(0, kColumnAddress), kHostB);
  EXPECT_EQ(Record(0).address, Address(kHostB));
}

}  // namespace
