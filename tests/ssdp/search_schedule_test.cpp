// The search burst: which socket sends on each tick, and when the burst stops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ssdp/search_schedule.h"
#include "tests/support/trace_recorder.h"

namespace {

// Logs each tick's sends as one string: "ssdp", "port+ssdp", "port".
struct Recorder {
  std::vector<std::string> ticks;
  std::string current;
  void Send(const char* who) { current += current.empty() ? who : std::string("+") + who; }
};

class RecordingSender : public DiscoverSender {
 public:
  RecordingSender(Recorder& recorder, const char* name) : m_recorder(recorder), m_name(name) {}
  void SendDiscover(const char* target) override {
    EXPECT_STREQ(target, SEARCH_TARGET);
    m_recorder.Send(m_name);
  }

 private:
  Recorder& m_recorder;
  const char* m_name;
};

class RecordingTimers : public TimerHost {
 public:
  void SetTimer(int id, int period_ms) override {
    calls.push_back("set " + std::to_string(id) + " " + std::to_string(period_ms));
    running = true;
  }
  void KillTimer(int id) override {
    calls.push_back("kill " + std::to_string(id));
    running = false;
  }
  std::vector<std::string> calls;
  bool running = false;
};

class SearchScheduleTest : public ::testing::Test {
 protected:
  // Ticks until the timer stops (at most 100 ticks) and returns what each tick sent.
  std::vector<std::string> RunBurst(uint32_t interfaces) {
    m_interface_count = interfaces;
    m_schedule.StartDiscover();
    for (int i = 0; i < 100 && m_timers.running; ++i) Tick();
    return m_recorder.ticks;
  }
  void Tick() {
    m_recorder.current.clear();
    m_schedule.OnSearchTick();
    m_recorder.ticks.push_back(m_recorder.current);
  }

  TraceRecorder m_trace;
  Recorder m_recorder;
  RecordingSender m_port{m_recorder, "port"};
  RecordingSender m_ssdp{m_recorder, "ssdp"};
  RecordingTimers m_timers;
  uint32_t m_interface_count = 0;
  SearchSchedule m_schedule{m_timers, m_port, m_ssdp, m_interface_count};
};

TEST_F(SearchScheduleTest, OneInterface) {
  EXPECT_EQ(RunBurst(1),
            (std::vector<std::string>{"ssdp", "port+ssdp", "port+ssdp", "port+ssdp", "port"}));
  EXPECT_EQ(m_timers.calls, (std::vector<std::string>{"set 1235 50", "kill 1235"}));
  EXPECT_TRUE(m_trace.Has("SetTimer(MY_DISCOVER_ID)"));
  EXPECT_TRUE(m_trace.Has("KillTimer(MY_DISCOVER_ID)"));
  EXPECT_EQ(m_trace.CountStartingWith("OnTimer(MY_DISCOVER_ID)"), 5);
}

TEST_F(SearchScheduleTest, TwoInterfaces) {
  EXPECT_EQ(RunBurst(2), (std::vector<std::string>{"ssdp", "ssdp", "port+ssdp", "ssdp", "port+ssdp",
                                                   "ssdp", "port+ssdp", "ssdp", "port"}));
}

TEST_F(SearchScheduleTest, NoInterfaceStillSearchesFromBothSockets) {
  EXPECT_EQ(RunBurst(0), (std::vector<std::string>{"port+ssdp", "port+ssdp", "port+ssdp", "port"}));
}

TEST_F(SearchScheduleTest, SearchDuringABurstStartsItOverOnTheSameTimer) {
  m_interface_count = 1;
  m_schedule.StartDiscover();
  Tick();
  Tick();
  Tick();
  m_recorder.ticks.clear();
  m_schedule.StartDiscover();
  for (int i = 0; i < 100 && m_timers.running; ++i) Tick();
  EXPECT_EQ(m_recorder.ticks,
            (std::vector<std::string>{"ssdp", "port+ssdp", "port+ssdp", "port+ssdp", "port"}));
  EXPECT_EQ(m_timers.calls, (std::vector<std::string>{"set 1235 50", "set 1235 50", "kill 1235"}));
}

}  // namespace
