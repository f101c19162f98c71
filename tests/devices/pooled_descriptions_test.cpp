// The scanner's description pool with fake fetches and a hand-set clock: its bounds, the
// cache and what makes it fetch anew, one fetch for many waiters, and the back-off schedule;
// and announcement handling above it while fetches hang.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/device_registry.h"
#include "devices/pooled_descriptions.h"
#include "devices/row_table.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/tones.h"

namespace {

constexpr char kOk[] = "HTTP/1.1 200 OK\r\n\r\n<root/>";

// Fetches that end when the test says so.
struct FakeFetches {
  struct Running {
    std::string url;
    FetchJob::Done done;
  };
  std::vector<Running> running;
  int started = 0;
  std::size_t most_at_once = 0;

  FetchJobFactory Factory() {
    return [this](const FetchPolicy&) {
      class Job final : public FetchJob {
       public:
        explicit Job(FakeFetches& fakes) : m_fakes(fakes) {}
        bool Start(const std::string& url, Done done) override {
          m_fakes.running.push_back({url, std::move(done)});
          ++m_fakes.started;
          m_fakes.most_at_once = std::max(m_fakes.most_at_once, m_fakes.running.size());
          return true;
        }

       private:
        FakeFetches& m_fakes;
      };
      return std::make_unique<Job>(*this);
    };
  }
  // Ends the oldest running fetch of `url` with `response`, or with `error` when it is empty.
  void End(const std::string& url, const std::string& response, int error = 0) {
    for (auto it = running.begin(); it != running.end(); ++it) {
      if (it->url != url) continue;
      FetchJob::Done done = std::move(it->done);
      running.erase(it);
      done(static_cast<uint32_t>(response.size()), error, response.c_str());
      return;
    }
    ADD_FAILURE() << "no fetch of " << url << " runs";
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
  EXPECT_LE(pool.QueueLength(), 200u);
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

// A fetch that reports from inside itself and then still touches its own members, as a real
// one may: freeing it inside its callback is a use after free that ASan reports.
TEST(PooledDescriptions, JobOutlivesItsCallback) {
  class SelfReporting final : public FetchJob {
   public:
    explicit SelfReporting(std::vector<SelfReporting*>& jobs) : m_jobs(jobs) {}
    bool Start(const std::string&, Done done) override {
      m_done = std::move(done);
      m_jobs.push_back(this);
      return true;
    }
    void Report() {
      Done done = std::move(m_done);
      done(sizeof kOk - 1, 0, kOk);
      m_reported = true;
    }
    bool m_reported = false;

   private:
    std::vector<SelfReporting*>& m_jobs;
    Done m_done;
  };
  ManualMonotonicClock clock;
  std::vector<SelfReporting*> jobs;
  PooledDescriptions pool(clock, FetchPolicy{}, [&](const FetchPolicy&) {
    return std::make_unique<SelfReporting>(jobs);
  });
  // Settling the first asks for another description, which passes the pool's pump.
  pool.Describe(Request(Url(1, 1)), [&](const DescriptionResult&) {
    pool.Describe(Request(Url(2, 2)), [](const DescriptionResult&) {});
  });
  ASSERT_EQ(jobs.size(), 1u);
  jobs[0]->Report();
  EXPECT_TRUE(jobs[0]->m_reported);
  ASSERT_EQ(jobs.size(), 2u);
  QCoreApplication::processEvents();  // the finished job goes now
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

}  // namespace
