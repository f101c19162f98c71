// The event-loop GET and the pool above it against scripted servers, in a network of the test
// process's own: an answer cut off by the bound is a time-out (and the pool neither caches it
// nor asks again at once), a refused connection says so, a name look-up given up on ends
// within the bound, and a getter may be destroyed inside its own callback.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <cerrno>
#include <memory>
#include <string>

#include "devices/pooled_descriptions.h"
#include "http/async_get.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "tests/http/scripted_http_server.h"
#include "tests/support/event_loop.h"
#include "tests/support/isolated_network.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSize = 2047;
constexpr char kHead[] = "HTTP/1.1 200 OK\r\n\r\n<root><modelName>X";

struct Outcome {
  bool done = false;
  uint32_t count = 0;
  int error = 0;
};

std::string Url(uint16_t port, const char* host = "127.0.0.1") {
  return "http://" + std::string(host) + ":" + std::to_string(port) + "/d.xml";
}

class AsyncGetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }
  // Starts `get` on `url` with a 300 ms bound and runs the loop until it reports.
  Outcome Fetch(AsyncGet& get, const std::string& url, int connect_ms = 300) {
    Outcome outcome;
    EXPECT_TRUE(get.Start(url.c_str(), kSize, connect_ms, 300, [&](uint32_t count, int error) {
      outcome = {true, count, error};
    }));
    EXPECT_TRUE(RunUntil([&] { return outcome.done; }, 3000));
    return outcome;
  }
};

TEST_F(AsyncGetTest, AnswerCutOffByTheBoundIsATimeout) {
  ScriptedHttpServer server(ScriptedReply({kHead}, 0ms, /*close=*/false));
  AsyncGet get;
  const Outcome outcome = Fetch(get, Url(server.Port()));
  EXPECT_EQ(outcome.count, 0u) << "half a description is no description";
  EXPECT_EQ(outcome.error, kErrTimedOut);
}

TEST_F(AsyncGetTest, RefusedConnectionAndUnansweredNameSayWhy) {
  AsyncGet get;
  const uint16_t closed_port = ScriptedHttpServer(ScriptedReply()).Port();
  Outcome outcome = Fetch(get, Url(closed_port));
  EXPECT_EQ(outcome.count, 0u);
  EXPECT_EQ(outcome.error, ECONNREFUSED);

  // Nobody answers names in this network: the look-up fails or is given up on at the bound,
  // and the getter that gave up on it goes at once.
  QElapsedTimer clock;
  clock.start();
  {
    AsyncGet lookup;
    outcome = Fetch(lookup, "http://scale-1.plant.invalid/d.xml", 200);
  }
  EXPECT_LT(clock.elapsed(), 1500);
  EXPECT_EQ(outcome.count, 0u);
  EXPECT_TRUE(outcome.error == kErrTimedOut || outcome.error == kErrInvalidArgument)
      << outcome.error;
}

TEST_F(AsyncGetTest, GetterMayBeDestroyedInsideItsCallback) {
  ScriptedHttpServer server(ScriptedReply({std::string(kHead) + "</modelName></root>"}));
  auto get = std::make_unique<AsyncGet>();
  Outcome outcome;
  ASSERT_TRUE(
      get->Start(Url(server.Port()).c_str(), kSize, 300, 300, [&](uint32_t count, int error) {
        outcome = {true, count, error};
        get.reset();
      }));
  ASSERT_TRUE(RunUntil([&] { return outcome.done; }, 3000));
  EXPECT_GT(outcome.count, 0u);
  EXPECT_EQ(get, nullptr);
}

TEST_F(AsyncGetTest, PoolNeitherCachesNorRepeatsACutOffAnswer) {
  ScriptedHttpServer server(ScriptedReply({kHead}, 0ms, /*close=*/false));
  SteadyClock clock;
  FetchPolicy policy;
  policy.total_timeout_ms = 300;
  policy.connect_timeout_ms = 300;
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

}  // namespace
