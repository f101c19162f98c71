#include "platform/clock.h"

#include <chrono>
#include <ctime>

int32_t SystemClock::Now() const {
  return static_cast<int32_t>(std::time(nullptr));
}

int64_t SteadyClock::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
