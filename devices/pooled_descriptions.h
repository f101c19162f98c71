// The scanner's description source: fetches run on the event loop in a bounded pool, at most
// one per device address, each bounded in time; a description fetched within the refresh
// time is answered from a cache by LOCATION unless the device's boot or config id changed;
// announcements for a LOCATION being fetched wait for that one fetch; a LOCATION that keeps
// failing is left alone for a growing while. Every table here is bounded and evicts the
// least recently used entry first. Borrows its clock, which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/description_source.h"

class MonotonicClock;
class QTimer;

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

// One fetch in flight. Start returns false when nothing was started; otherwise `done` runs
// once, later, with the response bytes (0 on failure, with the socket error saying why).
class FetchJob {
 public:
  using Done = std::function<void(uint32_t count, int error, const char* response)>;
  virtual ~FetchJob() = default;
  virtual bool Start(const std::string& url, Done done) = 0;
};
using FetchJobFactory = std::function<std::unique_ptr<FetchJob>(const FetchPolicy& policy)>;

// Fetches with AsyncGet, GetUrl's request and reading on the event loop.
std::unique_ptr<FetchJob> MakeAsyncFetchJob(const FetchPolicy& policy);

class PooledDescriptions final : public DescriptionSource {
 public:
  PooledDescriptions(const MonotonicClock& clock, FetchPolicy policy = {},
                     FetchJobFactory make_job = MakeAsyncFetchJob);
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

  [[nodiscard]] std::size_t Running() const { return m_running; }
  [[nodiscard]] std::size_t Queued() const;
  [[nodiscard]] std::size_t Locations() const { return m_entries.size(); }
  // Entries of the waiting line, evicted ones it has not passed yet included.
  [[nodiscard]] std::size_t QueueLength() const { return m_queue_length; }

 private:
  struct Entry {
    std::string host;  // one fetch at a time per host
    std::string response;
    int64_t fetched_at_ms = 0;
    bool has_response = false;
    std::string boot_id, config_id;  // of the request the response answers
    int64_t backoff_ms = 0;          // the current step; 0 when not failing
    int64_t backoff_until_ms = 0;
    bool queued = false;
    bool running = false;
    std::vector<Settle> waiters;
    std::unique_ptr<FetchJob> job;
    int64_t started_ms = 0;
    int total_timeout_ms = 0;  // a shorter bound than the policy's for this fetch; 0: none
    std::list<std::string>::iterator lru;
  };

  // One device's waiting line: LOCATIONs by their place in the common line.
  struct HostLine {
    std::deque<std::pair<uint64_t, std::string>> waiting;
    bool busy = false;  // a fetch to this host runs
  };

  Entry& Touch(const std::string& location);
  void Enqueue(const std::string& location, const std::string& host);
  // Offers the host's first waiting LOCATION to Pump, or forgets a host with nothing to do.
  void Offer(const std::string& host);
  void Pump();
  void Start(const std::string& location, Entry& entry);
  void Finish(const std::string& location, uint32_t count, int error, const char* response);
  void Evict();

  const MonotonicClock& m_clock;
  FetchPolicy m_policy;
  FetchJobFactory m_make_job;
  std::unordered_map<std::string, Entry> m_entries;
  std::list<std::string> m_lru;  // most recently used first
  // The waiting line, first come first served, kept per host so that hosts busy with a fetch
  // cost nothing to pass: hosts with a fetch running or LOCATIONs waiting, and the idle ones
  // among them by the place of their first waiting LOCATION.
  std::unordered_map<std::string, HostLine> m_hosts;
  std::map<uint64_t, std::string> m_ready;
  uint64_t m_next_place = 0;
  std::size_t m_queue_length = 0;
  std::size_t m_running = 0;
  // Jobs that reported: freed from the loop once their callbacks have returned, never while
  // one of their frames may still be on the stack.
  std::vector<std::unique_ptr<FetchJob>> m_finished;
  std::unique_ptr<QTimer> m_free_finished;
};
