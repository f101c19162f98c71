// Tarovue on a shared network where anything may arrive: malformed and oversized datagrams,
// floods, devices whose HTTP answers stall or lie, and description texts meant to break the
// row texts, the scales page or the shell. Everything goes through real sockets in the test's
// private network. After each case the process must still answer within the fetch bound,
// keep both SSDP sockets, keep every row sound, and turn the next valid announcement into
// its row. Each test prints how many cases it tried and passed; the floods print memory.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/main_dialog.h"
#include "devices/announcement_protocol.h"
#include "devices/description_fields.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/discovery_session.h"
#include "devices/row_table.h"
#include "http/get_url.h"
#include "ssdp/ssdp_protocol.h"
#include "tests/http/scripted_http_server.h"
#include "tests/support/isolated_network.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/recording_shell.h"
#include "tests/support/recording_tones.h"
#include "ui/list_ctrl.h"
#include "ui/scales_page.h"
#include "ui/shell.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// A handler that fetches may hold the loop for the whole exchange; anything else must be
// quick. The margin covers a loaded build machine, not slack in the program.
constexpr int kQuickBoundMs = 2000;
constexpr int kFetchBoundMs = kGetUrlExchangeTimeoutMs + 2000;

// Cases tried and passed, per test and for the whole run.
struct Tally {
  int tried = 0;
  int passed = 0;
};
Tally g_total;

struct Figures {
  long hwm_before_kb = 0;
  long hwm_after_flood_kb = 0;
  long hwm_after_usn_flood_kb = 0;
  int flood_sent = 0;
  int flood_handled = 0;
  int usn_records = 0;
  double bytes_per_record = 0;
};
Figures g_figures;

// A line of /proc/self/status in kB ("VmHWM", "VmRSS"), or -1.
long StatusKb(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(name) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

class FiguresPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf("[hostile] cases tried %d, passed %d\n", g_total.tried, g_total.passed);
    if (g_figures.flood_sent > 0) {
      std::printf(
          "[hostile] flood: %d datagrams sent, %d handled; peak RSS %ld kB before, "
          "%ld kB after\n",
          g_figures.flood_sent, g_figures.flood_handled, g_figures.hwm_before_kb,
          g_figures.hwm_after_flood_kb);
    }
    if (g_figures.usn_records > 0) {
      std::printf(
          "[hostile] distinct USNs: %d records, %.0f bytes per record (record %zu), "
          "peak RSS %ld kB after\n",
          g_figures.usn_records, g_figures.bytes_per_record, sizeof(DeviceRecord),
          g_figures.hwm_after_usn_flood_kb);
    }
  }
};
[[maybe_unused]] auto* const g_printer = ::testing::AddGlobalTestEnvironment(new FiguresPrinter);

std::string Field(const char* name, const std::string& value) {
  return std::string(name) + ": " + value + "\r\n";
}

std::string Description(const std::string& model_description, const std::string& model_name,
                        const std::string& extra = "") {
  return std::string("<?xml version=\"1.0\"?>\n<root><device>") + kModelDescriptionOpen +
         model_description + kModelDescriptionClose + kModelNameOpen + model_name +
         kModelNameClose + extra + "</device></root>\n";
}
std::string Ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + body;
}
const std::string kGoodResponse = Ok(Description("Indicator \"good\" bench", "X900"));

// A search response for our target; `more` goes in before the empty line.
std::string Announcement(const std::string& usn, const std::string& location,
                         const std::string& cache = "max-age=1800", const std::string& more = "") {
  return std::string(kSearchResponseStartLine) + "\r\n" + Field(kFieldSt, SEARCH_TARGET) +
         Field(kFieldLocation, location) + Field(kFieldUsn, usn) +
         Field(kFieldCacheControl, cache) + more + "\r\n";
}

// An announcement padded with one more field to exactly `size` bytes.
std::string AnnouncementOfSize(const std::string& usn, const std::string& location,
                               std::size_t size) {
  const std::string bare = Announcement(usn, location);
  const std::size_t frame = bare.size() + std::strlen("X-PAD: \r\n");
  EXPECT_GE(size, frame);
  return Announcement(usn, location, "max-age=1800",
                      Field("X-PAD", std::string(size > frame ? size - frame : 0, 'p')));
}

// Runs the event loop without sleeping between events, so that floods are taken as fast as
// the program can; the tick only makes sure the condition is looked at.
bool Pump(const std::function<bool()>& done, int limit_ms) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  tick.start(5);
  while (!done()) {
    if (clock.elapsed() > limit_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

bool IsValidityText(const std::string& text) {
  if (text == kCellNoTime) return true;
  if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
  for (std::size_t i : {0, 1, 3, 4, 6, 7}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Hands the sockets' datagrams to the session and counts them.
class CountingListener final : public SsdpListener {
 public:
  explicit CountingListener(DiscoverySession& session) : m_session(session) {}
  void OnReceive(char* text, uint32_t address) override {
    ++handled;
    m_session.OnReceive(text, address);
  }
  int handled = 0;

 private:
  DiscoverySession& m_session;
};

InterfaceSource OnlyHostA() {
  InterfaceSource source;
  source.list = [](std::vector<InterfaceEntry>& out) {
    out = {{Address(kHostA), true, false}};
    return true;
  };
  return source;
}

// Ten seconds pass between any two looks at it: each hostile datagram is fetched on its own
// instead of reusing the description fetched for the one before.
class FarApartClock final : public MonotonicClock {
 public:
  [[nodiscard]] int64_t NowMs() const override { return m_now_ms += 10000; }

 private:
  mutable int64_t m_now_ms = 0;
};

// A real session with both sockets open on the private network; hostile datagrams come from
// kHostB, which is not in its interface table, to kHostA:1900.
class HostileNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
    ASSERT_TRUE(device.Listening());
    ASSERT_EQ(session.Open(&listener), nullptr);
  }
  void TearDown() override {
    std::printf("[hostile] %s: cases tried %d, passed %d\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), m_tally.tried,
                m_tally.passed);
    g_total.tried += m_tally.tried;
    g_total.passed += m_tally.passed;
  }

  [[nodiscard]] std::string GoodLocation() const {
    return "http://127.0.0.1:" + std::to_string(device.Port()) + "/desc.xml";
  }
  static void Send(const std::string& datagram) {
    ASSERT_TRUE(SendDatagram(datagram, kHostA, kSsdpPort, kHostB)) << datagram.size();
  }
  DeviceRecord* Find(const std::string& usn) { return session.Registry().FindByUsn(usn.c_str()); }

  // Sends the next valid announcement and waits for its row; what arrived before it on the
  // same socket has been handled by then.
  std::string FollowUp(int limit_ms) {
    const std::string usn = "uuid:follow-up-" + std::to_string(++m_follow_ups);
    // A LOCATION of its own: a description fetched moments ago would be reused instead.
    Send(Announcement(usn, "http://127.0.0.1:" + std::to_string(device.Port()) + "/" + usn));
    if (!Pump([&] { return Find(usn) != nullptr; }, limit_ms)) {
      return "the follow-up announcement made no row within " + std::to_string(limit_ms) + " ms";
    }
    const DeviceRecord& record = *Find(usn);
    if (std::string(rows.CellText(record.row_index, kColumnHostName)) != "good") {
      return "the follow-up row lacks its host name";
    }
    return "";
  }

  // What is wrong with the session and its rows after a case; empty when nothing is.
  std::string Unsound() {
    if (!session.Control().m_ssdp_socket.IsOpen()) return "the socket on port 1900 was closed";
    if (!session.Control().m_port_socket.IsOpen()) return "the search socket was closed";
    if (!m_receive_errors.empty()) return "a receive error was reported: " + m_receive_errors[0];
    for (int row = 0; row < rows.RowCount(); ++row) {
      const std::string at = " in row " + std::to_string(row);
      const DeviceRecord* record = rows.RecordAt(row);
      if (record == nullptr) return "no record" + at;
      if (record->row_index != row) return "wrong row index" + at;
      if (!Terminated(record->address_text) || !Terminated(record->status) ||
          !Terminated(record->host_name) || !Terminated(record->device_type) ||
          !Terminated(record->usn) || record->model_description.size() >= kDescriptionFieldSize) {
        return "an unterminated record field" + at;
      }
      if (record->description.size() > kDescriptionFetchSize) return "a description too long" + at;
      for (int column = 0; column < kColumnCount; ++column) {
        if (rows.CellText(row, column) == nullptr) return "a missing cell" + at;
      }
      if (std::string(rows.CellText(row, kColumnAddress)) != record->address_text ||
          std::string(record->address_text) != kHostB) {
        return "address cell differs from the sender" + at;
      }
      if (std::string(rows.CellText(row, kColumnHostName)) != record->host_name ||
          std::string(rows.CellText(row, kColumnDeviceType)) != record->device_type) {
        return "text cells differ from the record" + at;
      }
      const std::string status = rows.CellText(row, kColumnStatus);
      if (status != kStatusNew && status != kStatusOnline && status != kStatusChanged &&
          status != kStatusByebye) {
        return "status cell \"" + status + "\"" + at;
      }
      if (!IsValidityText(rows.CellText(row, kColumnValidUntil))) return "validity cell" + at;
    }
    return "";
  }

  // One case: `hostile` runs, then the process must answer a timer and the follow-up within
  // `limit_ms`, stay sound, and `check` (when given) must find nothing wrong.
  void Case(const std::string& label, const std::function<void()>& hostile,
            const std::function<std::string()>& check = {}, int limit_ms = kQuickBoundMs) {
    SCOPED_TRACE(label);
    ++m_tally.tried;
    bool timer_ran = false;
    QTimer::singleShot(0, [&] { timer_ran = true; });
    hostile();
    std::string fault = FollowUp(limit_ms);
    if (fault.empty() && !timer_ran) fault = "a timer did not run";
    if (fault.empty()) fault = Unsound();
    if (fault.empty() && check) fault = check();
    EXPECT_EQ(fault, "") << label;
    if (fault.empty()) ++m_tally.passed;
  }

  ScriptedHttpServer device{ScriptedReply{{kGoodResponse}}};
  RowTable rows;
  std::vector<std::string> m_receive_errors;
  FarApartClock far_apart;
  DiscoverySession session{rows, [this] {
                             SessionServices services;
                             services.interfaces = OnlyHostA();
                             services.steady_clock = &far_apart;
                             services.report_error = [this](const char* text) {
                               m_receive_errors.emplace_back(text);
                             };
                             return services;
                           }()};
  CountingListener listener{session};
  Tally m_tally;
  int m_follow_ups = 0;
};

struct DatagramCase {
  std::string label;
  std::string datagram;
  std::string usn;         // the USN it announces; empty when it announces none
  bool makes_row = false;  // whether that USN then has a row
  int fetches = -1;        // connections to the device server it causes; -1: any
};

class HostileDatagrams : public HostileNetwork {
 protected:
  void Run(const std::vector<DatagramCase>& cases) {
    for (const DatagramCase& c : cases) {
      int connections_before = 0;
      Case(
          c.label,
          [&] {
            connections_before = device.Connections();
            Send(c.datagram);
          },
          [&]() -> std::string {
            if (!c.usn.empty() && (Find(c.usn) != nullptr) != c.makes_row) {
              return c.makes_row ? "no row for the announced USN" : "a row for the announced USN";
            }
            // The follow-up fetched once.
            const int fetched = device.Connections() - connections_before - 1;
            if (c.fetches >= 0 && fetched != c.fetches) {
              return "fetched " + std::to_string(fetched) + " times";
            }
            return "";
          });
    }
  }
};

TEST_F(HostileDatagrams, SizesAroundTheReceiveBuffer) {
  const std::string at = GoodLocation();
  Run({
      {"0 bytes", "", "", false, 0},
      {"511 bytes", AnnouncementOfSize("uuid:size-511", at, 511), "uuid:size-511", true, 1},
      {"512 bytes", AnnouncementOfSize("uuid:size-512", at, 512), "uuid:size-512", true, 1},
      {"513 bytes", AnnouncementOfSize("uuid:size-513", at, 513), "uuid:size-513", false, 0},
      {"1472 bytes", AnnouncementOfSize("uuid:size-1472", at, 1472), "uuid:size-1472", false, 0},
      {"65507 bytes", AnnouncementOfSize("uuid:size-65507", at, 65507), "uuid:size-65507", false,
       0},
      {"one byte", "H", "", false, 0},
      {"512 NULs", std::string(512, '\0'), "", false, 0},
  });
}

TEST_F(HostileDatagrams, OddBytesAndLineEnds) {
  const std::string at = GoodLocation();
  std::string nul_in_location = std::string(kSearchResponseStartLine) + "\r\n" +
                                Field(kFieldSt, SEARCH_TARGET) + Field(kFieldUsn, "uuid:nul-loc") +
                                Field(kFieldCacheControl, "max-age=1800") +
                                Field(kFieldLocation, at + std::string(1, '\0') + "tail") + "\r\n";
  std::string lf_only = Announcement("uuid:lf-only", at);
  for (std::size_t i; (i = lf_only.find("\r\n")) != std::string::npos;) lf_only.erase(i, 1);
  std::string no_end = Announcement("uuid:no-end", at);
  no_end.resize(no_end.size() - 2);
  std::string lone_cr = Announcement("uuid:lone-cr", at);
  lone_cr.erase(lone_cr.find("\r\n") + 1, 1);  // the start line ends in CR only
  Run({
      {"NUL inside LOCATION, the rest cut off", nul_in_location, "uuid:nul-loc", true, 1},
      {"NUL inside USN, the fields after it cut off",
       Announcement(std::string("uuid:nul") + '\0' + "usn", at), "uuid:nul", false, 0},
      {"NUL as the first byte", '\0' + Announcement("uuid:nul-first", at), "uuid:nul-first", false,
       0},
      {"lone CR after the start line", lone_cr, "uuid:lone-cr", false, 0},
      {"lone CR inside the USN", Announcement("uuid:cr\rinside", at), "uuid:cr\rinside", true, 1},
      {"LF-only lines", lf_only, "uuid:lf-only", false, 0},
      {"no empty line at the end", no_end, "uuid:no-end", true, 1},
      {"bytes above 127",
       Announcement("uuid:\xff\xfe\x80", at, "max-age=1800", Field("X-\xc3\x28", "\xe2\x82")),
       "uuid:\xff\xfe\x80", true, 1},
      {"colon-less lines and bare colons",
       Announcement("uuid:colons", at, "max-age=1800", ":\r\nnothing\r\n::::\r\n"), "uuid:colons",
       true, 1},
      {"M-SEARCH from a peer",
       "M-SEARCH * HTTP/1.1\r\nST: ssdp:all\r\nMAN: \"ssdp:discover\"\r\n\r\n", "", false, 0},
      {"byebye of nobody",
       std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNt, SEARCH_TARGET) +
           Field(kFieldNts, kNtsByebye) + Field(kFieldUsn, "uuid:nobody") + "\r\n",
       "uuid:nobody", false, 0},
      {"NOTIFY without NTS",
       std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNt, SEARCH_TARGET) +
           Field(kFieldUsn, "uuid:no-nts") + Field(kFieldLocation, at) + "\r\n",
       "uuid:no-nts", false, 0},
  });
}

TEST_F(HostileDatagrams, DuplicatedFieldsAndManyLines) {
  const std::string at = GoodLocation();
  std::string seventeen_last_usn = std::string(kSearchResponseStartLine) + "\r\n" +
                                   Field(kFieldSt, SEARCH_TARGET) + Field(kFieldLocation, at) +
                                   Field(kFieldCacheControl, "max-age=1800");
  for (int i = 0; i < 13; ++i) seventeen_last_usn += Field("X", std::to_string(i));
  seventeen_last_usn += Field(kFieldUsn, "uuid:seventeenth") + "\r\n";
  std::string padding_14;
  for (int i = 0; i < 13; ++i) padding_14 += Field("X", std::to_string(i));
  std::string hundred;
  for (int i = 0; i < 96; ++i) hundred += "a\r\n";
  Run({
      {"LOCATION twice, the first is no web address",
       Announcement("uuid:dup-loc", "ftp://127.0.0.1/d", "max-age=1800", Field(kFieldLocation, at)),
       "uuid:dup-loc", true, 0},
      {"USN twice",
       Announcement("uuid:dup-first", at, "max-age=1800", Field(kFieldUsn, "uuid:dup-second")),
       "uuid:dup-second", false, 1},
      {"CACHE-CONTROL twice, the first zero",
       Announcement("uuid:dup-cache", at, "max-age=0", Field(kFieldCacheControl, "max-age=1800")),
       "uuid:dup-cache", false, 0},
      {"17 lines, the fields first", Announcement("uuid:seventeen", at, "max-age=1800", padding_14),
       "uuid:seventeen", true, 1},
      {"17 lines, USN the 17th", seventeen_last_usn, "uuid:seventeenth", false, 0},
      {"100 lines", Announcement("uuid:hundred", at, "max-age=1800", hundred), "uuid:hundred", true,
       1},
      {"header name of 10 000 bytes",
       Announcement("uuid:long-name", at, "max-age=1800",
                    Field(std::string(10000, 'N').c_str(), "v")),
       "uuid:long-name", false, 0},
      {"header value of 10 000 bytes",
       Announcement("uuid:long-value", at, "max-age=1800", Field("X", std::string(10000, 'v'))),
       "uuid:long-value", false, 0},
      {"header name of 300 bytes",
       Announcement("uuid:name-300", at, "max-age=1800", Field(std::string(300, 'N').c_str(), "v")),
       "uuid:name-300", true, 1},
      {"USN of 1 000 characters", Announcement(std::string(1000, 'u'), at), std::string(1000, 'u'),
       false, 0},
  });
}

TEST_F(HostileDatagrams, CacheControlOddities) {
  const std::string at = GoodLocation();
  const struct {
    const char* cache;
    bool makes_row;
  } oddities[] = {
      {"max-age=", false},
      {"max-age=0", false},
      {"max-age=abc", false},
      {"MAX-AGE=1800", false},
      {"no-cache", false},
      {"", false},
      {"max-age=1800, no-cache", false},
      {"max-age=0x10", false},
      {"max-age=+1800", true},
      {"max-age=-1", true},
      {"max-age=4294967295", true},
      {"max-age=99999999999999999999999999999999999", true},
      {"max-age=2147483648", true},
  };
  std::vector<DatagramCase> cases;
  int n = 0;
  for (const auto& odd : oddities) {
    const std::string usn = "uuid:cache-" + std::to_string(++n);
    cases.push_back({std::string("CACHE-CONTROL \"") + odd.cache + "\"",
                     Announcement(usn, at, odd.cache), usn, odd.makes_row, odd.makes_row ? 1 : 0});
  }
  Run(cases);
}

TEST_F(HostileDatagrams, LocationsThatAreNoUsableAddress) {
  const std::string port = std::to_string(device.Port());
  const std::string path_237(237, 'p');
  const std::string path_238(238, 'p');
  const struct {
    const char* label;
    std::string location;
    int fetches;
  } locations[] = {
      {"ftp", "ftp://127.0.0.1:" + port + "/desc.xml", 0},
      {"https", "https://127.0.0.1:" + port + "/desc.xml", 0},
      {"file", "file:///etc/passwd", 0},
      {"javascript", "javascript:alert(1)", 0},
      {"upper-case scheme", "HTTP://127.0.0.1:" + port + "/desc.xml", 0},
      {"empty host", "http:///desc.xml", 0},
      {"empty host with port", "http://:" + port + "/desc.xml", 0},
      {"empty", "", 0},
      {"scheme only", "http://", 0},
      {"huge port", "http://127.0.0.1:99999999999999999999/desc.xml", -1},
      {"port of letters", "http://127.0.0.1:http/desc.xml", -1},
      {"negative port", "http://127.0.0.1:-" + port + "/desc.xml", -1},
      {"userinfo", "http://user:pw@127.0.0.1:" + port + "/desc.xml", 0},
      {"IPv6 literal", "http://[::1]:" + port + "/desc.xml", 0},
      {"markup host", "http://<script>:" + port + "/", 0},
      {"path of 237 characters", "http://127.0.0.1:" + port + "/" + path_237, 1},
      {"path of 238 characters", "http://127.0.0.1:" + port + "/" + path_238, 0},
  };
  std::vector<DatagramCase> cases;
  int n = 0;
  for (const auto& l : locations) {
    const std::string usn = "uuid:location-" + std::to_string(++n);
    cases.push_back(
        {std::string("LOCATION ") + l.label, Announcement(usn, l.location), usn, true, l.fetches});
  }
  Run(cases);
  for (const std::string& request : device.Requests()) {
    EXPECT_EQ(request.find("GET /" + path_238), std::string::npos);
  }
}

// The record keeps as much of a long USN as its field holds; a USN that differs only beyond
// that is the same device, not a second row.
TEST_F(HostileDatagrams, LongUsnsAreCutAndStillOneDevice) {
  const std::string at = GoodLocation();
  const std::string usn_255 = "uuid:" + std::string(250, 'a');
  Run({
      {"USN of 255 characters", Announcement(usn_255, at), usn_255, true, 1},
      {"USN of 256 characters, same first 255", Announcement(usn_255 + "b", at), usn_255, true, 1},
  });
  int rows_with_it = 0;
  for (int row = 0; row < rows.RowCount(); ++row) {
    if (std::string(rows.RecordAt(row)->usn) == usn_255) ++rows_with_it;
  }
  EXPECT_EQ(rows_with_it, 1);
}

// Each case points LOCATION at a device server of its own with a scripted answer.
struct AnswerCase {
  std::string label;
  ScriptedReply reply;
  std::function<std::string(const DeviceRecord&)> check;
};

class HostileAnswers : public HostileNetwork {
 protected:
  void Run(const std::vector<AnswerCase>& cases) {
    int n = 0;
    for (const AnswerCase& c : cases) {
      const std::string usn = "uuid:answer-" + std::to_string(++n);
      auto server = std::make_unique<ScriptedHttpServer>(c.reply);
      const std::string location =
          "http://127.0.0.1:" + std::to_string(server->Port()) + "/desc.xml";
      SteadyClock::time_point start;
      SteadyClock::duration took{};
      Case(
          c.label,
          [&] {
            start = SteadyClock::now();
            Send(Announcement(usn, location));
            Pump([&] { return Find(usn) != nullptr; }, kFetchBoundMs);
            took = SteadyClock::now() - start;
          },
          [&]() -> std::string {
            if (took > std::chrono::milliseconds(kFetchBoundMs)) return "the fetch overran";
            const DeviceRecord* record = Find(usn);
            if (record == nullptr) return "no row";
            if (server->Connections() != 1) return "not exactly one fetch";
            return c.check ? c.check(*record) : "";
          },
          kFetchBoundMs);
      server.reset();  // joins before the next case
    }
  }
};

// What `record` shows; "" when it is as expected.
std::string Shows(const DeviceRecord& record, const std::string& host_name,
                  const std::string& device_type) {
  if (record.host_name != host_name) return std::string("host name \"") + record.host_name + "\"";
  if (record.device_type != device_type) {
    return std::string("device type \"") + record.device_type + "\"";
  }
  return "";
}
auto Expect(std::string host_name, std::string device_type) {
  return [=](const DeviceRecord& record) { return Shows(record, host_name, device_type); };
}

TEST_F(HostileAnswers, StatusesAndBrokenFraming) {
  const std::string body = Description("Indicator \"framed\"", "F1");
  const std::string nul_body = Ok(std::string("<modelDescription>\"n") + '\0' +
                                  "ul\"</modelDescription><modelName>N</modelName>");
  Run({
      {"301 to a file",
       ScriptedReply{{"HTTP/1.1 301 Moved\r\nLocation: file:///etc/passwd\r\n\r\n"}},
       Expect("", "")},
      {"302 with a body",
       ScriptedReply{{"HTTP/1.1 302 Found\r\nLocation: http://10.0.0.9/\r\n\r\n" + body}},
       Expect("framed", "F1")},
      {"404", ScriptedReply{{"HTTP/1.1 404 Not Found\r\n\r\n<html>no</html>"}}, Expect("", "")},
      {"500", ScriptedReply{{"HTTP/1.1 500 Internal Server Error\r\n\r\n"}}, Expect("", "")},
      {"no empty line", ScriptedReply{{"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n" + body}},
       Expect(kTextUnknown, kTextUnknown)},
      {"not HTTP at all", ScriptedReply{{"SSH-2.0-OpenSSH\r\n"}},
       Expect(kTextUnknown, kTextUnknown)},
      {"closed without a byte", ScriptedReply{{}}, Expect("", "")},
      {"NUL inside the answer", ScriptedReply{{nul_body}}, Expect("", "")},
      {"NUL inside the status line",
       ScriptedReply{{std::string("HTTP/1.1\0 200", 13) + "\r\n\r\n" + body}},
       Expect(kTextUnknown, kTextUnknown)},
      {"header name of 10 000 bytes",
       ScriptedReply{{"HTTP/1.1 200 OK\r\n" + std::string(10000, 'N') + ": v\r\n\r\n" + body}},
       Expect(kTextUnknown, kTextUnknown)},
      {"header value of 10 000 bytes",
       ScriptedReply{{"HTTP/1.1 200 OK\r\nX: " + std::string(10000, 'v') + "\r\n\r\n" + body}},
       Expect(kTextUnknown, kTextUnknown)},
      {"1 MB long", ScriptedReply{{Ok(body + std::string(1 << 20, 'x'))}},
       [](const DeviceRecord& record) {
         if (record.description.size() > kDescriptionFetchSize) return std::string("long");
         return Shows(record, "framed", "F1");
       }},
  });
}

TEST_F(HostileAnswers, DescriptionTextsAgainstTheFields) {
  const std::string long_host(100, 'h');
  const std::string long_type(300, 't');
  const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
  // The response with its opening marker `marker` starting `from_end` bytes before the end
  // of what a fetch keeps.
  auto marker_at_the_end = [&](const std::string& marker, std::size_t from_end) {
    const std::string head = "HTTP/1.1 200 OK\r\nX: ";
    const std::string tail = "\r\n\r\n";
    const std::size_t pad = kDescriptionFetchSize - from_end - head.size() - tail.size();
    return head + std::string(pad, 'x') + tail + marker + "\"late\"" + kModelDescriptionClose;
  };
  std::vector<std::string> split;
  const std::string split_body = Ok(Description("Indicator \"split\"", "S7"));
  for (std::size_t at = 0; at < split_body.size(); at += 7)
    split.push_back(split_body.substr(at, 7));
  Run({
      {"longer than every field",
       ScriptedReply{{Ok(
           Description("Indicator \"" + long_host + "\" " + std::string(400, 'd'), long_type))}},
       [&](const DeviceRecord& record) {
         if (record.model_description.size() != kDescriptionFieldSize - 1 ||
             std::strlen(record.host_name) != sizeof record.host_name - 1 ||
             std::strlen(record.device_type) != sizeof record.device_type - 1) {
           return std::string("a field is not filled to its size");
         }
         return Shows(record, long_host.substr(0, 31), long_type.substr(0, 31));
       }},
      {"markers nested",
       ScriptedReply{{header +
                      "<modelDescription><modelDescription>\"nest\"</modelDescription>"
                      "</modelDescription><modelName><modelName>N</modelName></modelName>"}},
       Expect("nest", "<modelName>N")},
      {"markers repeated",
       ScriptedReply{{Ok(Description("\"first\"", "A") + Description("\"second\"", "B"))}},
       Expect("first", "A")},
      {"closing marker first",
       ScriptedReply{
           {header + "</modelName>x<modelName></modelDescription>\"c\"<modelDescription>"}},
       Expect("", "")},
      {"split across reads", ScriptedReply{split, 5ms}, Expect("split", "S7")},
      {"opening marker in the last bytes",
       ScriptedReply{{marker_at_the_end(kModelDescriptionOpen, 6)}}, Expect("", "")},
      {"whole marker in the last bytes",
       ScriptedReply{
           {marker_at_the_end(kModelDescriptionOpen, std::strlen(kModelDescriptionOpen))}},
       Expect("", "")},
      {"no quote", ScriptedReply{{Ok(Description("Indicator bench", "Q0"))}}, Expect("", "Q0")},
      {"one quote", ScriptedReply{{Ok(Description("Indicator \"bench", "Q1"))}}, Expect("", "Q1")},
      {"empty quotes", ScriptedReply{{Ok(Description("\"\"", "Q2"))}}, Expect("", "Q2")},
      {"markup in the texts",
       ScriptedReply{{Ok(Description("\"<script>alert(1)</script>\"", "<b>&amp;</b>"))}},
       Expect("<script>alert(1)</script>", "<b>&amp;</b>")},
  });
  // The host name that came with markup reaches the page only as text.
  const std::string page = ScalesPageText(ScaleEntries(rows));
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
}

// Devices that never finish: each costs the whole exchange bound, so there are only two.
TEST_F(HostileAnswers, StalledDevicesAreCutOffAtTheBound) {
  const std::string answer = Ok(Description("\"drip\"", "D1"));
  std::vector<std::string> bytes;
  for (char c : answer) bytes.emplace_back(1, c);
  Run({
      {"never closes", ScriptedReply{{Ok(Description("\"open\"", "O1"))}, 0ms, false},
       Expect("open", "O1")},
      {"drips a byte a second", ScriptedReply{bytes, 1000ms},
       [](const DeviceRecord& record) {
         // Five or six seconds give only the first bytes of the status line.
         if (!record.description.empty() && record.description[0] != '?') {
           return "a body from a status line: " + std::string(record.description.view());
         }
         return std::string();
       }},
  });
}

// Floods: the loop must keep up or drop (the receive buffer is the network's), never stall.
class HostileFloods : public HostileNetwork {};

TEST_F(HostileFloods, TenThousandDatagramsFromOneSender) {
  const std::string location = "ftp://127.0.0.1/";  // refused without a socket: cheap
  const std::vector<std::string> mix = {
      Announcement("uuid:flood", location),
      "",
      "\r\n\r\n",
      std::string(600, 'x'),
      std::string(kNotifyStartLine) + "\r\n" + Field(kFieldNts, kNtsByebye) +
          Field(kFieldUsn, "uuid:flood") + "\r\n",
      Announcement("uuid:flood", location, "max-age=0"),
  };
  constexpr int kDatagrams = 10000;
  g_figures.hwm_before_kb = StatusKb("VmHWM");
  ++m_tally.tried;
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, kHostB, &local.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(kSsdpPort);
    inet_pton(AF_INET, kHostA, &peer.sin_addr);
    for (int i = 0; i < kDatagrams; ++i) {
      const std::string& d = mix[static_cast<std::size_t>(i) % mix.size()];
      sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
    close(fd);
    sent = true;
  });
  int timer_ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++timer_ticks; });
  ticker.start(10);
  const auto start = SteadyClock::now();
  Pump([&] { return sent.load(); }, 30000);
  sender.join();
  // Take what is still queued: the count stops growing once the buffer is empty.
  int seen = -1;
  while (seen != listener.handled) {
    seen = listener.handled;
    Pump([] { return false; }, 50);
  }
  const auto took = SteadyClock::now() - start;
  g_figures.flood_sent = kDatagrams;
  g_figures.flood_handled = listener.handled;
  g_figures.hwm_after_flood_kb = StatusKb("VmHWM");
  std::printf(
      "[hostile] flood of %d datagrams: %d handled in %lld ms, %d timer ticks\n", kDatagrams,
      listener.handled,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
      timer_ticks);
  EXPECT_GT(timer_ticks, 0) << "timers ran during the flood";
  EXPECT_GT(listener.handled, 0);
  const std::string fault = [&] {
    std::string f = FollowUp(kQuickBoundMs);
    return f.empty() ? Unsound() : f;
  }();
  EXPECT_EQ(fault, "");
  EXPECT_LE(rows.RowCount(), 2) << "one flooded device and the follow-up";
  if (fault.empty() && timer_ticks > 0) ++m_tally.passed;
}

// Forged announcements with ever new USNs fill the table to its bound and no further; the
// devices it holds are still updated.
TEST_F(HostileFloods, DistinctUsnsFillTheTableAndNoFurther) {
  constexpr int kUsns = static_cast<int>(kDefaultMaxDevices) - 1;  // the follow-up takes the last
  constexpr int kBatch = 100;  // what the receive buffer surely holds, so that none is lost
  const std::string location = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/d.xml";
  ++m_tally.tried;
  const long rss_before = StatusKb("VmRSS");
  int sent = 0;
  const auto start = SteadyClock::now();
  while (sent < kUsns) {
    const int target = std::min(sent + kBatch, kUsns);
    for (; sent < target; ++sent) Send(Announcement("uuid:many-" + std::to_string(sent), location));
    if (!Pump([&] { return listener.handled >= target; }, kQuickBoundMs)) break;
  }
  const auto took = SteadyClock::now() - start;
  const long rss_after = StatusKb("VmRSS");
  g_figures.usn_records = rows.RowCount();
  g_figures.bytes_per_record =
      rows.RowCount() > 0 ? (rss_after - rss_before) * 1024.0 / rows.RowCount() : 0;
  g_figures.hwm_after_usn_flood_kb = StatusKb("VmHWM");
  std::printf(
      "[hostile] %d distinct USNs: %d records in %lld ms, RSS %ld -> %ld kB\n", sent,
      rows.RowCount(),
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
      rss_before, rss_after);
  EXPECT_EQ(rows.RowCount(), kUsns);
  const std::string fault = [&] {
    std::string f = FollowUp(kQuickBoundMs);
    return f.empty() ? Unsound() : f;
  }();
  EXPECT_EQ(fault, "");

  constexpr int kBeyond = 300;
  for (int i = 0; i < kBeyond; ++i)
    Send(Announcement("uuid:beyond-" + std::to_string(i), location));
  Send(Announcement("uuid:many-0", location));
  const int handled = listener.handled + kBeyond + 1;
  EXPECT_TRUE(Pump([&] { return listener.handled >= handled; }, kQuickBoundMs));
  EXPECT_EQ(rows.RowCount(), kUsns + 1) << "no row beyond the bound";
  EXPECT_EQ(session.Counters().Datagrams(DatagramOutcome::kTableFull),
            static_cast<uint64_t>(kBeyond));
  EXPECT_STREQ(Find("uuid:many-0")->status, kStatusOnline) << "known devices are still updated";
  if (fault.empty() && rows.RowCount() == kUsns + 1) ++m_tally.passed;
}

// The real dialog: what device texts can do to the scales page and to the shell.
class HostileDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
    DialogServices services;
    services.session.interfaces = OnlyHostA();
    services.session.steady_clock = &far_apart;
    services.session.tones = &tones;
    services.shell = &shell;
    services.fatal = [this](const char* text) { fatal.emplace_back(text); };
    dialog = std::make_unique<CMainDialog>(true, std::move(services));
    ASSERT_TRUE(dialog->OnInitDialog());
  }
  void TearDown() override {
    std::printf("[hostile] %s: cases tried %d, passed %d\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), m_tally.tried,
                m_tally.passed);
    g_total.tried += m_tally.tried;
    g_total.passed += m_tally.passed;
  }

  // Announces a device whose description is `body` and waits for its row; returns the row.
  int Announce(const std::string& usn, const std::string& body) {
    device.SetReply(ScriptedReply{{Ok(body)}});
    // Each device has its description at a LOCATION of its own, as real ones do.
    const std::string location = "http://127.0.0.1:" + std::to_string(device.Port()) + "/" + usn;
    EXPECT_TRUE(SendDatagram(Announcement(usn, location), kHostA, kSsdpPort, kHostB));
    DeviceRegistry& registry = dialog->Session().Registry();
    if (!Pump([&] { return registry.FindByUsn(usn.c_str()) != nullptr; }, kFetchBoundMs)) {
      return -1;
    }
    return registry.FindByUsn(usn.c_str())->row_index;
  }
  void Select(int row) {
    dialog->DeviceList().SetItemState(row, LIST_STATE_SELECTED | LIST_STATE_FOCUSED,
                                      LIST_STATE_SELECTED | LIST_STATE_FOCUSED);
  }
  // Whatever reached the shell: only web addresses and dotted addresses.
  std::string ShellFault() const {
    for (const std::string& url : shell.urls) {
      if (!IsWebAddress(url)) return "the shell was asked to open " + url.substr(0, 60);
    }
    for (const std::string& address : shell.telnet_addresses) {
      if (!IsDottedAddress(address)) return "telnet to " + address.substr(0, 60);
    }
    return "";
  }

  ScriptedHttpServer device{ScriptedReply{{kGoodResponse}}};
  FarApartClock far_apart;
  RecordingTones tones;
  RecordingShell shell;
  std::vector<std::string> fatal;
  std::unique_ptr<CMainDialog> dialog;
  Tally m_tally;
};

TEST_F(HostileDialog, PageAddressesThatAreNoWebPageNeverReachTheShell) {
  const struct {
    const char* label;
    std::string page;
    bool opened;
  } pages[] = {
      {"file", "file:///etc/passwd", false},
      {"javascript", "javascript:alert(1)", false},
      {"ftp", "ftp://10.0.0.7/", false},
      {"10 000 characters", "http://10.0.0.7/" + std::string(10000, 'a'), false},
      {"space inside", "http://10.0.0.7/ -x", false},
      {"control byte", "http://10.0.0.7/\x1b[2J", false},
      {"scheme only", "http://", false},
      {"leading space", " http://10.0.0.7/", false},
      {"data", "data:text/html,<script>alert(1)</script>", false},
      {"upper-case web page", "HTTP://10.0.0.7/", true},
      {"300 characters, cut to 255", "http://10.0.0.7/" + std::string(284, 'a'), true},
  };
  int n = 0;
  for (const auto& p : pages) {
    SCOPED_TRACE(p.label);
    ++m_tally.tried;
    shell.urls.clear();
    const int row =
        Announce("uuid:page-" + std::to_string(++n),
                 Description("\"page\"", "P", "<presentationURL>" + p.page + "</presentationURL>"));
    ASSERT_GE(row, 0);
    Select(row);
    dialog->OnOK();
    dialog->OnBackup();
    dialog->OnTelnet();
    std::string fault = ShellFault();
    if (fault.empty() && shell.urls.size() != (p.opened ? 2u : 0u)) {
      fault = std::to_string(shell.urls.size()) + " addresses opened";
    }
    EXPECT_EQ(fault, "");
    if (fault.empty()) ++m_tally.passed;
  }
  EXPECT_TRUE(fatal.empty());
  EXPECT_TRUE(dialog->Session().Control().m_ssdp_socket.IsOpen());
}

// "http://" is no web address, but with "backup.html" appended it was one: Backup opened
// the host "backup.html" for a device that named no page.
TEST_F(HostileDialog, BackupOfAPageAddressThatIsNoWebAddressOpensNothing) {
  int n = 0;
  for (const char* page : {"http://", "HTTPS://", "http:/"}) {
    SCOPED_TRACE(page);
    ++m_tally.tried;
    const int row =
        Announce("uuid:bare-" + std::to_string(++n),
                 Description("\"bare\"", "B",
                             std::string("<presentationURL>") + page + "</presentationURL>"));
    ASSERT_GE(row, 0);
    Select(row);
    dialog->OnBackup();
    EXPECT_EQ(shell.urls, std::vector<std::string>{});
    if (shell.urls.empty()) ++m_tally.passed;
    shell.urls.clear();
  }
}

TEST_F(HostileDialog, HostNamesWithMarkupAreOnlyTextInTheScalesPage) {
  const std::vector<std::string> hosts = {
      "<script>alert(1)</script>",
      "<img src=x onerror=alert(1)>",
      "a'b&c",
      "</th><b>",
      "x' onmouseover='alert(1)",
      "&copy;",
      "<!--",
  };
  int n = 0;
  for (const std::string& host : hosts) {
    ++m_tally.tried;
    ASSERT_GE(Announce("uuid:markup-" + std::to_string(++n),
                       Description("Indicator \"" + host + "\"\"", "M")),
              0)
        << host;
  }
  ASSERT_EQ(dialog->DeviceList().GetItemCount(), static_cast<int>(hosts.size()));
  dialog->OnShowScales();
  ASSERT_EQ(shell.files.size(), 1u);
  std::ifstream file(shell.files[0]);
  std::stringstream text;
  text << file.rdbuf();
  const std::string page = text.str();
  std::size_t rows_on_page = 0;
  for (std::size_t at = 0; (at = page.find("<tr><th>", at)) != std::string::npos; ++at) {
    ++rows_on_page;
  }
  EXPECT_EQ(rows_on_page, hosts.size()) << "no heading was opened or closed by a host name";
  for (const std::string& host : hosts) {
    SCOPED_TRACE(host);
    const bool raw_absent = page.find(host) == std::string::npos;
    const bool escaped_present =
        page.find("<tr><th>" + EscapeHtml(host) + "</th>") != std::string::npos;
    EXPECT_TRUE(raw_absent);
    EXPECT_TRUE(escaped_present);
    if (raw_absent && escaped_present) ++m_tally.passed;
  }
  for (const char* markup : {"<script", "<img", "<!--", "onmouseover='"}) {
    EXPECT_EQ(page.find(markup), std::string::npos) << markup;
  }
}

}  // namespace
