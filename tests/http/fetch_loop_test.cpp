// The fetch loop against scripted servers, in a network of the test process's own: every way
// an exchange ends as the pool reads it, a look-up nobody answers, exchanges reset when the
// loop goes, and a device's deadlines and chain kept while the owner's loop is busy; then the
// pool above it: a cut-off answer neither cached nor asked again at once, and a refetch past
// the cache that ends at its own shorter bound.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/pooled_descriptions.h"
#include "http/fetch_loop.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "tests/http/scripted_http_server.h"
#include "tests/support/event_loop.h"
#include "tests/support/isolated_network.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSize = 2047;
constexpr int kBoundMs = 300;
constexpr char kHead[] = "HTTP/1.1 200 OK\r\n\r\n<root><modelName>X";
const std::string kAnswer = std::string(kHead) + "</modelName></root>";

std::string Url(uint16_t port, const char* host = "127.0.0.1") {
  std::string url = "http://";
  url.append(host).append(":").append(std::to_string(port)).append("/d.xml");
  return url;
}

class FetchLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }
  // Orders `url` with kBoundMs bounds; exchanges of one `host` run one after another.
  void Order(const std::string& url, const std::string& host = "") {
    m_loop->Submit(
        std::make_shared<FetchOrder>(url, host.empty() ? url : host, kBoundMs, kBoundMs));
  }
  // The report of `url`, once the owner's loop has delivered it.
  const FetchReport* Report(const std::string& url) {
    const FetchReport* found = nullptr;
    RunUntil(
        [&] {
          for (const FetchReport& r : m_reports) {
            if (r.order->url == url) found = &r;
          }
          return found != nullptr;
        },
        3000);
    return found;
  }

  std::vector<FetchReport> m_reports;
  std::vector<std::size_t> m_batches;
  std::unique_ptr<FetchLoop> m_loop =
      std::make_unique<FetchLoop>(8, 100, kSize, [this](std::vector<FetchReport>& batch) {
        m_batches.push_back(batch.size());
        for (FetchReport& r : batch) m_reports.push_back(std::move(r));
      });
};

TEST_F(FetchLoopTest, EveryWayAnExchangeEnds) {
  struct Case {
    const char* label;
    ScriptedReply reply;
    uint32_t count;  // expected bytes
    int error;
  };
  const std::string longer(5000, 'x');
  Case cases[] = {
      {"answered", ScriptedReply({kAnswer}), static_cast<uint32_t>(kAnswer.size()), 0},
      {"answered in pieces", ScriptedReply({kHead, "</modelName></root>"}, 30ms),
       static_cast<uint32_t>(kAnswer.size()), 0},
      {"longer than the buffer", ScriptedReply({longer}), kSize, 0},
      {"hung", ScriptedReply({}, 0ms, /*close=*/false), 0, kErrTimedOut},
      {"cut off by the bound", ScriptedReply({kHead}, 0ms, /*close=*/false), 0, kErrTimedOut},
      {"closed without a byte", ScriptedReply(), 0, ECONNRESET},
  };
  std::vector<std::unique_ptr<ScriptedHttpServer>> servers;
  for (Case& c : cases) {
    servers.push_back(std::make_unique<ScriptedHttpServer>(c.reply));
    Order(Url(servers.back()->Port()));
  }
  const uint16_t closed_port = ScriptedHttpServer(ScriptedReply()).Port();
  Order(Url(closed_port));

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const FetchReport* report = Report(Url(servers[i]->Port()));
    ASSERT_NE(report, nullptr) << cases[i].label;
    EXPECT_EQ(report->count, cases[i].count) << cases[i].label;
    EXPECT_EQ(report->response.size(), cases[i].count) << cases[i].label;
    EXPECT_EQ(report->error, cases[i].error) << cases[i].label;
    if (cases[i].error == kErrTimedOut) {
      EXPECT_GE(report->seconds, kBoundMs / 1000.0 - 0.01) << cases[i].label;
    }
  }
  EXPECT_EQ(Report(Url(servers[0]->Port()))->response, kAnswer);
  const FetchReport* refused = Report(Url(closed_port));
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->count, 0u);
  EXPECT_EQ(refused->error, ECONNREFUSED);
}

TEST_F(FetchLoopTest, UnansweredNameIsGivenUpWithinTheBound) {
  // Nobody answers names in this network: the look-up fails or is given up on at the bound.
  QElapsedTimer clock;
  clock.start();
  Order("http://scale-1.plant.invalid/d.xml");
  const FetchReport* report = Report("http://scale-1.plant.invalid/d.xml");
  ASSERT_NE(report, nullptr);
  EXPECT_LT(clock.elapsed(), 1500);
  EXPECT_EQ(report->count, 0u);
  EXPECT_TRUE(report->error == kErrTimedOut || report->error == kErrInvalidArgument)
      << report->error;
}

// Ctrl-C and --time end the loop with exchanges open: they are reset at once, the thread ends
// without waiting for any bound, and nothing is delivered afterwards.
TEST_F(FetchLoopTest, DestroyedLoopResetsItsExchangesAndDeliversNothing) {
  ScriptedHttpServer server(ScriptedReply({kAnswer}, 400ms));
  Order(Url(server.Port()));
  ASSERT_TRUE(RunUntil([&] { return !server.Requests().empty(); }, 3000));
  QElapsedTimer clock;
  clock.start();
  m_loop.reset();
  EXPECT_LT(clock.elapsed(), 200);
  EXPECT_TRUE(RunUntil([&] { return server.ClientClosedEarly(); }, 3000))
      << "the device's answer met a reset connection";
  EXPECT_TRUE(m_reports.empty());
}

// The owner's loop is busy for a second (a long /metrics render): a device's hung fetch still
// ends at its bound, the next in that device's line runs at once, and both arrive together.
TEST_F(FetchLoopTest, BusyOwnerDelaysNeitherDeadlinesNorADevicesLine) {
  ScriptedHttpServer hung(ScriptedReply({}, 0ms, /*close=*/false));
  ScriptedReply answer({kAnswer});
  std::atomic<int64_t> answered_at{0};
  answer.on_request = [&](int) {
    answered_at = std::chrono::steady_clock::now().time_since_epoch().count();
  };
  ScriptedHttpServer next(answer);
  const auto start = std::chrono::steady_clock::now();
  Order(Url(hung.Port()), "127.0.0.1");
  Order(Url(next.Port()), "127.0.0.1");
  std::this_thread::sleep_for(1000ms);
  const auto woke = std::chrono::steady_clock::now();

  const FetchReport* report = Report(Url(next.Port()));
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->response, kAnswer);
  EXPECT_EQ(Report(Url(hung.Port()))->error, kErrTimedOut);
  const auto asked = std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(answered_at.load()));
  EXPECT_GE(asked - start, std::chrono::milliseconds(kBoundMs - 10)) << "not beside the first";
  EXPECT_LT(asked, woke) << "the device's line went on while the owner was busy";
  EXPECT_EQ(m_batches, std::vector<std::size_t>{2});
}

TEST_F(FetchLoopTest, PoolNeitherCachesNorRepeatsACutOffAnswer) {
  ScriptedHttpServer server(ScriptedReply({kHead}, 0ms, /*close=*/false));
  SteadyClock clock;
  FetchPolicy policy;
  policy.total_timeout_ms = kBoundMs;
  policy.connect_timeout_ms = kBoundMs;
  PooledDescriptions pool(clock, policy);
  std::vector<DescriptionResult> results;
  const auto keep = [&](const DescriptionResult& r) { results.push_back(r); };
  pool.Describe({Url(server.Port()), "", ""}, keep);
  ASSERT_TRUE(RunUntil([&] { return !results.empty(); }, 3000));
  EXPECT_EQ(results[0].source, DescriptionResult::Source::kFetched);
  EXPECT_EQ(results[0].outcome, FetchOutcome::kTimeout);
  EXPECT_EQ(results[0].count, 0u);
  pool.Describe({Url(server.Port()), "", ""}, keep);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].source, DescriptionResult::Source::kSkipped) << "backed off, not cached";
  EXPECT_EQ(server.Connections(), 1);
}

// What the liveness prober relies on: a refetch is a real exchange past the cache, and a
// device that has gone quiet costs the refetch's bound, not the policy's.
TEST_F(FetchLoopTest, PoolRefetchGoesPastTheCacheAndEndsAtItsOwnBound) {
  ScriptedHttpServer server(ScriptedReply({kAnswer}));
  SteadyClock clock;
  PooledDescriptions pool(clock, FetchPolicy{});
  std::vector<DescriptionResult> results;
  const auto keep = [&](const DescriptionResult& r) { results.push_back(r); };
  pool.Describe({Url(server.Port()), "", ""}, keep);
  ASSERT_TRUE(RunUntil([&] { return results.size() == 1; }, 3000));
  pool.Describe({Url(server.Port()), "", ""}, keep);
  EXPECT_EQ(results.back().source, DescriptionResult::Source::kCached);
  pool.Refetch(Url(server.Port()), kBoundMs, keep);
  ASSERT_TRUE(RunUntil([&] { return results.size() == 3; }, 3000));
  EXPECT_EQ(results.back().outcome, FetchOutcome::kOk);
  EXPECT_EQ(server.Connections(), 2);

  server.SetReply(ScriptedReply({}, 0ms, /*close=*/false));
  QElapsedTimer elapsed;
  elapsed.start();
  pool.Refetch(Url(server.Port()), kBoundMs, keep);
  ASSERT_TRUE(RunUntil([&] { return results.size() == 4; }, 3000));
  EXPECT_EQ(results.back().outcome, FetchOutcome::kTimeout);
  EXPECT_LT(elapsed.elapsed(), 2000) << "the policy's bound is 5 s";
}

}  // namespace
