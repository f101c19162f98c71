// The fleet agent's protocol constants: its endpoints, their content types, and the limits
// that keep HTTP clients from starving discovery on the shared event loop.
#pragma once

#include <cstdint>

inline constexpr char kPathIndex[] = "/";
inline constexpr char kPathMetrics[] = "/metrics";
inline constexpr char kPathTargets[] = "/targets";
inline constexpr char kPathDevices[] = "/devices.json";

// Prometheus text exposition format 0.0.4.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr char kJsonContentType[] = "application/json";
inline constexpr char kTextContentType[] = "text/plain; charset=utf-8";
inline constexpr char kHtmlContentType[] = "text/html; charset=utf-8";

// Request line and header fields of one request, in bytes.
inline constexpr int64_t kMaxRequestHeadBytes = 8 * 1024;
// Connections open at once; further ones are closed as soon as they are accepted.
inline constexpr int kMaxConnections = 64;
// A connection that neither sends nor takes a byte this long is closed.
inline constexpr int kIdleTimeoutMs = 10'000;
