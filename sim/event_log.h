// One line per event on stdout, flushed at once so that a test reading the pipe sees it.
#pragma once

#include <cstdint>

namespace sim {

[[gnu::format(printf, 1, 2)]] void LogLine(const char* format, ...);

// Milliseconds of a monotonic clock.
int64_t NowMs();

}  // namespace sim
