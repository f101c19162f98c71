// The scanner's description pool with fake fetches and a hand-set clock: its bounds, the
// cache and what makes it fetch anew, one fetch for many waiters, and the back-off schedule;
// and announcement handling above it while fetches hang.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/pooled_descriptions.h"
#include "devices/row_table.h"
#include "http/fetch_line.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/tones.h"

namespace {

constexpr char kOk[] = "HTTP/1.1 200 OK\r\n\r\n<root/>";

// Fetches that end when the test says so, taken from the engine's own line.
struct FakeFetches {
  struct Running {
    std::string url;
    std::shared_ptr<FetchOrder> order;
  };
  std::vector<Running> running;
  int started = 0;
  std::size_t most_at_once = 0;
  std::unique_ptr<FetchLine> line;
  FetchEngine::Deliver deliver;

  FetchEngineFactory Factory() {
    return [this](const FetchPolicy& policy, FetchEngine::Deliver to) {
      class Engine final : public FetchEngine {
       public:
        explicit Engine(FakeFetches& fakes) : m_fakes(fakes) {}
        void Submit(std::shared_ptr<FetchOrder> order) override {
          m_fakes.line->Add(std::move(order));
          m_fakes.StartWhatMay();
        }

       private:
        FakeFetches& m_fakes;
      };
      line = std::make_unique<FetchLine>(policy.concurrency, policy.max_locations);
      deliver = std::move(to);
      return std::make_unique<Engine>(*this);
    };
  }
  void StartWhatMay() {
    while (std::shared_ptr<FetchOrder> order = line->Next()) {
      running.push_back({order->url, std::move(order)});
      ++started;
      most_at_once = std::max(most_at_once, running.size());
    }
  }
  // Ends the oldest running fetch of each of `urls` with `response`, or with `error` when it
  // is empty, and delivers them in one batch, as the loop does.
  void End(const std::vector<std::string>& urls, const std::string& response, int error = 0) {
    std::vector<FetchReport> batch;
    for (const std::string& url : urls) {
      auto it = std::find_if(running.begin(), running.end(),
                             [&](const Running& r) { return r.url == url; });
      if (it == running.end()) {
        ADD_FAILURE() << "no fetch of " << url << " runs";
        return;
      }
      FetchReport& report = batch.emplace_back();
      report.order = std::move(it->order);
      report.response = response;
      report.count = static_cast<uint32_t>(response.size());
      report.error = error;
      running.erase(it);
      line->Done(*report.order);
    }
    StartWhatMay();
    deliver(batch);
  }
  void End(const std::string& url, const std::string& response, int error = 0) {
    End(std::vector<std::string>{url}, response, error);
  }
};

struct Settled {
  std::vector<DescriptionResult::Source> sources;
  std::vector<uint32_t> counts;
  DescriptionSource::Settle Sink() {
    return [this](const DescriptionResult& r) {
      sources.push_back(r.source);
      counts.push_back(r.count);
    };
  }
};

DescriptionRequest Request(const std::string& location, const std::string& config_id = "") {
  return DescriptionRequest{location, "", config_id};
}

std::string Url(int device, int host) {
  return "http://10.0.0." + std::to_string(host) + "/" + std::to_string(device) + ".xml";
}

TEST(PooledDescriptions, NeverMoreThanTheLimitAndNeverTwoToOneAddress) {
  ManualMonotonicClock clock;
  FakeFetches fakes;
  FetchPolicy policy;
  policy.concurrency = 3;
  PooledDescriptions pool(clock, policy, fakes.Factory());
  Settled settled;
  // Ten devices on five hosts, two LOCATIONs each.
  for (int device = 0; device < 10; ++device)
    pool.Describe(Request(Url(device, device % 5)), settled.Sink());
  EXPECT_EQ(fakes.running.size(), 3u);
  while (!fakes.running.empty()) {
    std::map<std::string, int> per_host;
    for (const auto& r : fakes.running) {
      const std::string host = r.url.substr(7, r.url.find('/', 7) - 7);
      EXPECT_EQ(++per_host[host], 1) << "two fetches to " << host;
    }
    fakes.End(fakes.running.front().url, kOk);
  }
  EXPECT_EQ(fakes.started, 10);
  EXPECT_EQ(fakes.most_at_once, 3u);
  EXPECT_EQ(settled.sources.size(), 10u);
}

TEST(PooledDescriptions, OneFetchServesTheWaitersThenTheCacheUntilRefreshOrNewConfig) {
  ManualMonotonicClock clock;
  FakeFetches fakes;
  FetchPolicy policy;
  policy.refresh_ms = 300000;
  PooledDescriptions pool(clock, policy, fakes.Factory());
  Settled settled;
  const std::string url = Url(1, 1);
  for (int i = 0; i < 8; ++i) pool.Describe(Request(url, "7"), settled.Sink());
  ASSERT_EQ(fakes.started, 1) << "the burst's eight answers wait for one fetch";
  fakes.End(url, kOk);
  ASSERT_EQ(settled.sources.size(), 8u);
  EXPECT_EQ(settled.counts[7], sizeof kOk - 1);

  clock.AdvanceMs(299999);
  pool.Describe(Request(url, "7"), settled.Sink());
  EXPECT_EQ(settled.sources.back(), DescriptionResult::Source::kCached);
  EXPECT_EQ(settled.counts.back(), sizeof kOk - 1);
  pool.Describe(Request(url, "8"), settled.Sink());
  EXPECT_EQ(fakes.started, 2) << "another CONFIGID: the description may have changed";
  fakes.End(url, kOk);
  clock.AdvanceMs(300000);
  pool.Describe(Request(url, "8"), settled.Sink());
  EXPECT_EQ(fakes.started, 3) << "older than --refresh";
}

TEST(PooledDescriptions, FailingLocationsAreLeftAloneForADoublingWhile) {
  ManualMonotonicClock clock;
  FakeFetches fakes;
  PooledDescriptions pool(clock, FetchPolicy{}, fakes.Factory());
  Settled settled;
  const std::string url = Url(1, 1);
  // After each failure: skipped until the wait is over, fetched again right after.
  for (const int64_t wait : {5000, 10000, 20000, 40000, 80000, 160000, 300000, 300000}) {
    pool.Describe(Request(url), settled.Sink());
    ASSERT_EQ(fakes.running.size(), 1u);
    fakes.End(url, "", kErrTimedOut);
    clock.AdvanceMs(wait - 1);
    pool.Describe(Request(url), settled.Sink());
    EXPECT_EQ(settled.sources.back(), DescriptionResult::Source::kSkipped) << wait;
    clock.AdvanceMs(1);
  }
  pool.Describe(Request(url), settled.Sink());
  fakes.End(url, kOk);
  pool.Describe(Request(Url(2, 1)), settled.Sink());
  fakes.End(Url(2, 1), "", ECONNREFUSED);
  clock.AdvanceMs(5000);
  pool.Describe(Request(Url(2, 1)), settled.Sink());
  EXPECT_EQ(fakes.running.size(), 1u) << "a success reset the schedule of the first; "
                                         "the second starts at 5 s";
}

TEST(PooledDescriptions, TheTablesStayWithinTheirBound) {
  ManualMonotonicClock clock;
  FakeFetches fakes;
  FetchPolicy policy;
  policy.max_locations = 100;
  policy.concurrency = 4;
  PooledDescriptions pool(clock, policy, fakes.Factory());
  Settled settled;
  for (int i = 0; i < 1000; ++i) pool.Describe(Request(Url(i, i % 250)), settled.Sink());
  EXPECT_LE(pool.Locations(), 100u);
  EXPECT_LE(fakes.line->Waiting(), 200u);
  // The first four run; the least recently asked for that wait are let go of, as skipped.
  ASSERT_EQ(fakes.running.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(fakes.running[i].url, Url(i, i));
  EXPECT_EQ(pool.Queued(), 96u);
  EXPECT_EQ(settled.sources.size(), 900u);
  for (const auto source : settled.sources) EXPECT_EQ(source, DescriptionResult::Source::kSkipped);
  // Those kept are the newest: they are fetched next, first come first served.
  fakes.End(Url(0, 0), kOk);
  ASSERT_EQ(fakes.running.size(), 4u);
  EXPECT_EQ(fakes.running.back().url, Url(904, 904 % 250));
}

// Settling one fetch of a batch asks for another description, whose room is made by evicting
// the LOCATION just settled: the rest of the batch is still delivered, and nothing freed is
// read again (ASan reports it).
TEST(PooledDescriptions, SettlingInsideABatchMayEvictAndAskAgain) {
  ManualMonotonicClock clock;
  FakeFetches fakes;
  FetchPolicy policy;
  policy.max_locations = 2;
  PooledDescriptions pool(clock, policy, fakes.Factory());
  Settled settled;
  pool.Describe(Request(Url(1, 1)), [&](const DescriptionResult& result) {
    settled.Sink()(result);
    pool.Describe(Request(Url(3, 3)), settled.Sink());
    pool.Refetch(Url(2, 2), 200, settled.Sink());
  });
  pool.Describe(Request(Url(2, 2)), settled.Sink());
  fakes.End({Url(1, 1), Url(2, 2)}, kOk);
  EXPECT_EQ(settled.sources,
            (std::vector<DescriptionResult::Source>{DescriptionResult::Source::kFetched,
                                                    DescriptionResult::Source::kFetched,
                                                    DescriptionResult::Source::kFetched}))
      << "the first, the second and the refetch that joined it";
  EXPECT_EQ(pool.Locations(), 2u);
  ASSERT_EQ(fakes.running.size(), 1u);
  EXPECT_EQ(fakes.running[0].url, Url(3, 3));
}

// A device gone quiet is asked afresh: past the cache and the back-off, but in its device's
// line, joined by a second ask, with the shorter of its bound and the policy's.
TEST(PooledDescriptions, RefetchGoesPastCacheAndBackOffInItsDevicesLine) {
  ManualMonotonicClock clock;
  FakeFetches fakes;
  PooledDescriptions pool(clock, FetchPolicy{}, fakes.Factory());
  Settled settled;
  const std::string url = Url(1, 1), beside = Url(2, 1);
  pool.Describe(Request(url), settled.Sink());
  fakes.End(url, kOk);
  pool.Describe(Request(beside), settled.Sink());
  pool.Refetch(url, 200, settled.Sink());
  pool.Refetch(url, 200, settled.Sink());
  EXPECT_EQ(fakes.running.size(), 1u) << "behind the fetch to its device";
  fakes.End(beside, "", kErrTimedOut);
  ASSERT_EQ(fakes.running.size(), 1u);
  EXPECT_EQ(fakes.running[0].order->total_timeout_ms, 200);
  EXPECT_EQ(fakes.running[0].order->connect_timeout_ms, 200);
  fakes.End(url, "", kErrTimedOut);
  ASSERT_EQ(settled.counts.size(), 4u);
  EXPECT_EQ(settled.sources[3], DescriptionResult::Source::kFetched);
  EXPECT_EQ(settled.counts[3], 0u) << "both asks settled by the one fetch";

  pool.Describe(Request(url), settled.Sink());
  EXPECT_EQ(settled.sources.back(), DescriptionResult::Source::kSkipped);
  pool.Refetch(url, 60000, settled.Sink());
  ASSERT_EQ(fakes.running.size(), 1u) << "past the back-off";
  EXPECT_EQ(fakes.running[0].order->total_timeout_ms, FetchPolicy{}.total_timeout_ms);
  fakes.End(url, kOk);
  pool.Describe(Request(url), settled.Sink());
  EXPECT_EQ(settled.sources.back(), DescriptionResult::Source::kCached);
}

// --- announcement handling above the pool, fetches held by the test

std::string Alive(const std::string& usn, int device) {
  return std::string(kNotifyStartLine) + "\r\nNT: " + SEARCH_TARGET + "\r\nNTS: " + kNtsAlive +
         "\r\nLOCATION: " + Url(device, device % 250) + "\r\nUSN: " + usn +
         "\r\nCACHE-CONTROL: max-age=1800\r\n\r\n";
}

std::string Byebye(const std::string& usn) {
  return std::string(kNotifyStartLine) + "\r\nNT: " + SEARCH_TARGET + "\r\nNTS: " + kNtsByebye +
         "\r\nUSN: " + usn + "\r\n\r\n";
}

class AbovePoolTest : public ::testing::Test {
 protected:
  explicit AbovePoolTest(FetchPolicy policy = {})
      : m_pool(m_steady, policy, m_fakes.Factory()),
        m_registry(m_rows, m_clock, &m_events),
        m_handling(
            m_registry, m_tones, m_pool, [] { return false; }, &m_counters, &m_events) {
    m_events.Subscribe([this](const DeviceEvent& e) {
      m_seen.push_back(std::string(e.device.Usn()) + " " + DeviceEventName(e.kind));
    });
  }
  DatagramOutcome Receive(const std::string& datagram) {
    std::string copy = datagram;
    return m_handling.OnReceive(copy.data(), 0x0900000A);
  }

  ManualMonotonicClock m_steady;
  ManualClock m_clock{1'700'000'000};
  FakeFetches m_fakes;
  PooledDescriptions m_pool;
  RowTable m_rows;
  DeviceEvents m_events;
  DeviceRegistry m_registry;
  SilentTones m_tones;
  DiscoveryCounters m_counters;
  Announcements m_handling;
  std::vector<std::string> m_seen;
};

TEST_F(AbovePoolTest, RepeatsWhileAFetchHangsAreCoalesced) {
  const std::string alive = Alive("uuid:hung", 1);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(Receive(alive), DatagramOutcome::kAlive);
  EXPECT_EQ(m_handling.Pending(), 1u);
  EXPECT_EQ(m_counters.announcements_coalesced, 99998u)
      << "one being described, one waiting: every further repeat replaces the waiting one";
  m_fakes.End(Url(1, 1), kOk);
  EXPECT_EQ(m_handling.Pending(), 0u);
  EXPECT_EQ(m_seen, (std::vector<std::string>{"uuid:hung new", "uuid:hung online"}));
}

TEST_F(AbovePoolTest, ByebyeWhileAFetchIsPendingFollowsItsAnnouncement) {
  ASSERT_EQ(Receive(Alive("uuid:a", 1)), DatagramOutcome::kAlive);
  EXPECT_EQ(Receive(Byebye("uuid:a")), DatagramOutcome::kByebye);
  // Gone and back while the first is described: the byebye between stays.
  ASSERT_EQ(Receive(Alive("uuid:b", 2)), DatagramOutcome::kAlive);
  Receive(Alive("uuid:b", 2));
  Receive(Byebye("uuid:b"));
  Receive(Alive("uuid:b", 2));
  EXPECT_TRUE(m_seen.empty());
  m_fakes.End(Url(1, 1), kOk);
  m_fakes.End(Url(2, 2), kOk);
  EXPECT_EQ(m_seen, (std::vector<std::string>{"uuid:a new", "uuid:a byebye", "uuid:b new",
                                              "uuid:b byebye", "uuid:b online"}));
  EXPECT_EQ(m_counters.announcements_coalesced, 1u);
}

// Two devices behind one LOCATION, the second answered from the cache: each record holds the
// body, texts taken from it, and the one copy the cache keeps, whatever header fields came.
TEST_F(AbovePoolTest, DevicesShareTheCachedBodyOfTheirDescription) {
  const std::string body = "<root><modelName>M-1</modelName></root>";
  Receive(Alive("uuid:a", 1));
  m_fakes.End(Url(1, 1), "HTTP/1.1 200 OK\r\nServer: x\r\nContent-Type: text/xml\r\n\r\n" + body);
  Receive(Alive("uuid:b", 1));
  const DeviceRecord* a = m_registry.FindByUsn("uuid:a");
  const DeviceRecord* b = m_registry.FindByUsn("uuid:b");
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_EQ(a->description, body);
  EXPECT_STREQ(b->device_type, "M-1");
  EXPECT_EQ(a->description.c_str(), b->description.c_str()) << "one copy for both";
}

class SmallPoolTest : public AbovePoolTest {
 protected:
  static FetchPolicy Small() {
    FetchPolicy policy;
    policy.max_locations = 10;
    policy.concurrency = 1;
    return policy;
  }
  SmallPoolTest() : AbovePoolTest(Small()) {}
};

TEST_F(SmallPoolTest, EvictionSettlesTheWaitingAnnouncements) {
  for (int i = 0; i < 50; ++i) Receive(Alive("uuid:" + std::to_string(i), i));
  // Ten LOCATIONs kept; the announcements of the others settle without a description.
  EXPECT_EQ(m_handling.Pending(), 10u);
  EXPECT_EQ(m_seen.size(), 40u);
  EXPECT_EQ(m_seen.front(), "uuid:1 new");
  while (!m_fakes.running.empty()) m_fakes.End(m_fakes.running.front().url, kOk);
  EXPECT_EQ(m_handling.Pending(), 0u);
  EXPECT_EQ(m_seen.size(), 50u) << "every device is in the table, described or not";
}

// The pool grows to what the process may open, keeping room for its other descriptors.
TEST(PooledDescriptions, DefaultPoolFollowsTheOpenFileLimit) {
  EXPECT_EQ(FetchConcurrencyFor(0), kSmallFetchPool) << "limit unknown";
  EXPECT_EQ(FetchConcurrencyFor(100), kSmallFetchPool);
  EXPECT_EQ(FetchConcurrencyFor(kDescriptorsBesideFetches + 40), 40);
  EXPECT_EQ(FetchConcurrencyFor(1024), kLargeFetchPool);
  EXPECT_EQ(FetchConcurrencyFor(UINT64_MAX), kLargeFetchPool);

  // A soft limit below the hard one is raised, as servers do at start.
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  if (before.rlim_max < 2 * kDescriptorsBesideFetches) GTEST_SKIP() << "hard limit too low";
  rlimit lowered = before;
  lowered.rlim_cur = kDescriptorsBesideFetches;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const int pool = DefaultFetchConcurrency();
  rlimit after{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
  EXPECT_EQ(after.rlim_cur, before.rlim_max);
  EXPECT_EQ(pool,
            FetchConcurrencyFor(after.rlim_cur == RLIM_INFINITY ? UINT64_MAX : after.rlim_cur));
  EXPECT_GT(pool, kSmallFetchPool);
}

}  // namespace
