// The scanner's description source: fetches run in a bounded pool on a loop of their own (a
// FetchEngine, the FetchLoop's thread in the program), at most one per device address, each
// bounded in time; a description fetched within the refresh time is answered from a cache by
// LOCATION unless the device's boot or config id changed; announcements for a LOCATION being
// fetched wait for that one fetch; a LOCATION that keeps failing is left alone for a growing
// while. Every table here is bounded and evicts the least recently used entry first. Borrows
// its clock, which must outlive it. Everything here runs on the event loop's thread, which
// must run for fetches to settle; the engine sees only the orders it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/description_source.h"
#include "http/fetch_engine.h"

class MonotonicClock;

// Fetches at once by default: the large pool where the open-file limit leaves room for it
// beside the descriptors the rest of the process may hold (sockets, the agent's clients,
// files), fewer as the room shrinks, never fewer than the small pool.
inline constexpr int kLargeFetchPool = 128;
inline constexpr int kSmallFetchPool = 32;
inline constexpr uint64_t kDescriptorsBesideFetches = 128;
// The default for an open-file limit of `open_file_limit` (0: unknown, the small pool).
[[nodiscard]] int FetchConcurrencyFor(uint64_t open_file_limit);
// Raises the process's open-file limit to its hard limit and returns FetchConcurrencyFor it:
// the default of the scanner's --fetch-concurrency. Call once, at start.
[[nodiscard]] int DefaultFetchConcurrency();

struct FetchPolicy {
  int concurrency = kSmallFetchPool;  // fetches at once
  int connect_timeout_ms = 2000;      // bound of the connect
  int total_timeout_ms = 5000;        // bound of the whole exchange
  int64_t refresh_ms = 300000;        // how long a fetched description is answered from the cache
  int64_t backoff_first_ms = 5000;
  int64_t backoff_max_ms = 300000;
  std::size_t max_locations = 10000;  // cache, back-off and waiting entries together
};

// Makes the engine the pool's fetches run on; `deliver` hears the finished ones.
using FetchEngineFactory = std::function<std::unique_ptr<FetchEngine>(
    const FetchPolicy& policy, FetchEngine::Deliver deliver)>;

// The fetch loop on a thread of its own, with the policy's limits and descriptions of up to
// kDescriptionFetchSize bytes.
std::unique_ptr<FetchEngine> MakeFetchLoop(const FetchPolicy& policy, FetchEngine::Deliver deliver);

class PooledDescriptions final : public DescriptionSource {
 public:
  PooledDescriptions(const MonotonicClock& clock, FetchPolicy policy = {},
                     FetchEngineFactory make_engine = MakeFetchLoop);
  ~PooledDescriptions() override;
  PooledDescriptions(const PooledDescriptions&) = delete;
  PooledDescriptions& operator=(const PooledDescriptions&) = delete;

  // Settles at once from the cache or the back-off, else when the fetch ends.
  void Describe(const DescriptionRequest& request, Settle settle) override;
  // Fetches `location` afresh, whatever the cache or the back-off say, for a device that has
  // gone quiet: in its device's line like any fetch (one of it already waiting or running
  // answers this too), bounded by `total_timeout_ms` where that is shorter than the policy's.
  // The answer refreshes the cache and a failure backs off, as for any fetch.
  void Refetch(const std::string& location, int total_timeout_ms, Settle settle);

  // LOCATIONs whose fetch waits in the engine's line, and those whose fetch runs.
  [[nodiscard]] std::size_t Queued() const { return InState(FetchOrder::kWaiting); }
  [[nodiscard]] std::size_t Running() const { return InState(FetchOrder::kStarted); }
  [[nodiscard]] std::size_t Locations() const { return m_entries.size(); }

 private:
  struct Entry {
    std::shared_ptr<const std::string> response;  // shared with the records that took it
    int64_t fetched_at_ms = 0;
    std::string boot_id, config_id;  // of the request the response answers
    int64_t backoff_ms = 0;          // the current step; 0 when not failing
    int64_t backoff_until_ms = 0;
    std::vector<Settle> waiters;
    std::shared_ptr<FetchOrder> order;  // the fetch asked for, until its report
    std::list<const std::string*>::iterator lru;
  };

  Entry& Touch(const std::string& location);
  // Asks the engine for a fetch of `location`, bounded by `total_timeout_ms` where that is
  // shorter than the policy's (0: the policy's).
  void Submit(const std::string& location, Entry& entry, int total_timeout_ms);
  void Deliver(std::vector<FetchReport>& batch);
  void Finish(const FetchReport& report);
  void Evict();
  [[nodiscard]] std::size_t InState(FetchOrder::State state) const;

  const MonotonicClock& m_clock;
  FetchPolicy m_policy;
  FetchEngineFactory m_make_engine;
  std::unordered_map<std::string, Entry> m_entries;
  std::list<const std::string*> m_lru;  // the entries' keys, most recently used first
  // Made with the first fetch, and gone first: nothing is delivered to a pool being destroyed.
  std::unique_ptr<FetchEngine> m_engine;
};
