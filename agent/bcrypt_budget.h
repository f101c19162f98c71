// The share of the machine that bcrypt may take for the agent's logins, kept per client
// address: each address spends a bucket of its own, all of them together a global bucket that
// caps the sum, and a part of the global bucket is kept for addresses that gave the right
// credentials before, so that a flood of made-up passwords from newcomers, even from several
// addresses, never keeps out a scraper that has logged in once. Buckets hold milliseconds of
// bcrypt and refill with time; a run may start while its address has none under way, its
// address's bucket holds anything and the global one is less than a burst in debt; it takes
// its expected time out of both at once (runs go on in parallel, off the event loop), settled
// when it ends. Single-threaded, on the agent's event loop; the clock must outlive the budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

class MonotonicClock;

struct BcryptRates {
  std::int64_t ms_per_second = 250;  // all addresses together
  std::int64_t burst_ms = 500;
  int peer_share = 4;      // one address may spend 1 / peer_share of the global rate
  int reserved_share = 4;  // 1 / reserved_share of it is kept for trusted addresses
};

// Addresses with a bucket of their own at most; beyond it full buckets are let go of first
// (a full bucket is what a newcomer gets anyway), then the least recently used.
inline constexpr std::size_t kBcryptBudgetPeers = 4096;
// Addresses remembered as trusted; the least recently trusted goes first.
inline constexpr std::size_t kBcryptTrustedPeers = 256;

class BcryptBudget final {
 public:
  BcryptBudget(const MonotonicClock& clock, BcryptRates rates);
  BcryptBudget(const BcryptBudget&) = delete;
  BcryptBudget& operator=(const BcryptBudget&) = delete;

  // A run granted by Take, to be settled once it ended.
  struct Grant {
    std::string peer;
    std::int64_t estimate_ms = 0;
    bool reserved = false;  // taken from the trusted addresses' part
  };

  // Whether a run of about `estimate_ms` for `peer` (its address as text) may start now:
  // true with the estimate taken out of its buckets and `*grant` filled; false with nothing
  // taken (the request is answered 429). One run at a time per address: what a run really
  // costs is known only once it ends.
  bool Take(const std::string& peer, std::int64_t estimate_ms, Grant* grant);
  // The run of `grant` took `actual_ms`: the difference to its estimate is settled. A run
  // shorter than a millisecond still costs one: a flood of cheap runs adds up.
  void Settle(const Grant& grant, std::int64_t actual_ms);
  // `peer` gave the right credentials: from now on it may use the part kept for trusted ones.
  void Trust(const std::string& peer);
  [[nodiscard]] bool Trusted(const std::string& peer) const;

 private:
  struct Bucket {
    std::int64_t rate_us_per_ms = 0;  // microseconds gained per millisecond
    std::int64_t burst_us = 0;
    std::int64_t left_us = 0;
    std::int64_t refilled_at_ms = 0;
    void Refill(std::int64_t now_ms);
  };
  struct Peer {
    Bucket bucket;
    int running = 0;  // runs granted and not settled
    std::list<std::string>::iterator recent;
  };
  Bucket NewBucket(int share) const;
  Peer& PeerBucket(const std::string& peer);
  void Prune();

  const MonotonicClock& m_clock;
  BcryptRates m_rates;
  Bucket m_open;      // what any address may spend
  Bucket m_reserved;  // what only trusted addresses may spend, once the open part is gone
  std::unordered_map<std::string, Peer> m_peers;
  std::list<std::string> m_recent;   // most recently used first
  std::list<std::string> m_trusted;  // most recently trusted first
};
