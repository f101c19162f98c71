#include "platform/clock.h"

#include <chrono>
#include <ctime>

#include <time.h>

int32_t SystemClock::Now() const {
  return static_cast<int32_t>(std::time(nullptr));
}

int64_t SteadyClock::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t BootClock::NowMs() const {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
