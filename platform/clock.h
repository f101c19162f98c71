// The one source of "now" for the program. Times are signed 32-bit counts of seconds since
// 1970-01-01 00:00 UTC; 0 means no time. Intervals (deadlines, back-off, cache ages) are
// measured in milliseconds on a monotonic clock. Tests install clocks they can set.
#pragma once

#include <cstdint>

class Clock {
 public:
  virtual ~Clock() = default;
  [[nodiscard]] virtual int32_t Now() const = 0;
};

// Wall-clock time of the host.
class SystemClock final : public Clock {
 public:
  [[nodiscard]] int32_t Now() const override;
};

// A clock that only moves when told to.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(int32_t now) : m_now(now) {}
  [[nodiscard]] int32_t Now() const override { return m_now; }
  void Set(int32_t now) { m_now = now; }
  void Advance(int32_t seconds) { m_now += seconds; }

 private:
  int32_t m_now;
};

// Milliseconds from an arbitrary start that never goes back: for intervals, not dates.
class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  [[nodiscard]] virtual int64_t NowMs() const = 0;
};

// The host's steady clock.
class SteadyClock final : public MonotonicClock {
 public:
  [[nodiscard]] int64_t NowMs() const override;
};

// Milliseconds since the host booted, suspended time included: a watch that sleeps through
// a suspend still expires what it missed, and a step of the wall clock moves nothing.
class BootClock final : public MonotonicClock {
 public:
  [[nodiscard]] int64_t NowMs() const override;
};

// A monotonic clock that only moves when told to.
class ManualMonotonicClock final : public MonotonicClock {
 public:
  explicit ManualMonotonicClock(int64_t now_ms = 0) : m_now_ms(now_ms) {}
  [[nodiscard]] int64_t NowMs() const override { return m_now_ms; }
  void AdvanceMs(int64_t ms) { m_now_ms += ms; }

 private:
  int64_t m_now_ms;
};
