// The web configuration's rate_limit, kept per client address: each address has a bucket of
// `burst` requests that gains one every interval, so that one client's burst never spends
// another's (the exporter toolkit keeps one bucket for all, which lets any client lock
// Prometheus out). Single-threaded, on the agent's event loop; the clock must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "agent/web_config.h"

class MonotonicClock;

// Addresses with a bucket of their own at most; beyond it full buckets are let go of first
// (a full bucket is what a newcomer gets anyway), then the least recently used.
inline constexpr std::size_t kRateLimitPeers = 4096;

class RequestRateLimit final {
 public:
  explicit RequestRateLimit(const MonotonicClock& clock) : m_clock(clock) {}
  RequestRateLimit(const RequestRateLimit&) = delete;
  RequestRateLimit& operator=(const RequestRateLimit&) = delete;

  // Puts `limit` in force; a changed limit starts every address with a full bucket.
  void Set(const WebRateLimit& limit);
  // Whether `peer` (its address as text) may make a request now: true takes one from its
  // bucket (always true without a limit), false takes nothing.
  bool Allow(const std::string& peer);
  // Seconds until `peer` may make its next request, at least 1: for Retry-After.
  [[nodiscard]] int RetryAfterSeconds() const;

 private:
  struct Peer {
    std::int64_t left_ms = 0;  // credit: a request costs the interval
    std::int64_t refilled_at_ms = 0;
    std::list<std::string>::iterator recent;
  };
  void Prune(std::int64_t now_ms);
  void Refill(Peer& peer, std::int64_t now_ms) const;

  const MonotonicClock& m_clock;
  WebRateLimit m_limit;
  std::unordered_map<std::string, Peer> m_peers;
  std::list<std::string> m_recent;  // most recently used first
};
