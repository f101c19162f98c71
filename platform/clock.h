// The one source of "now" for the program. Times are signed 32-bit counts of seconds since
// 1970-01-01 00:00 UTC; 0 means no time. Tests install a clock they can set.
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
