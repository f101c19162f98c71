#include "devices/pooled_descriptions.h"

#include <QTimer>
#include <algorithm>
#include <cstring>

#include "devices/announcement_protocol.h"
#include "http/async_get.h"
#include "http/url.h"
#include "platform/clock.h"
#include "platform/open_file_limit.h"
#include "platform/trace.h"

namespace {

class AsyncFetchJob final : public FetchJob {
 public:
  explicit AsyncFetchJob(const FetchPolicy& policy) : m_policy(policy) {}
  bool Start(const std::string& url, Done done) override {
    return m_get.Start(url.c_str(), kDescriptionFetchSize, m_policy.connect_timeout_ms,
                       m_policy.total_timeout_ms,
                       [this, done = std::move(done)](uint32_t count, int error) {
                         done(count, error, m_get.Response());
                       });
  }

 private:
  FetchPolicy m_policy;
  AsyncGet m_get;
};

// The device a LOCATION names, by its host: fetches to one device never run side by side. A
// LOCATION that names no host is its own key; its fetch fails before any connect.
std::string HostOf(const std::string& location) {
  UrlParts parts;
  return SplitUrl(location, parts) ? parts.host : location;
}

}  // namespace

int FetchConcurrencyFor(uint64_t open_file_limit) {
  if (open_file_limit <= kDescriptorsBesideFetches) return kSmallFetchPool;
  const uint64_t room = open_file_limit - kDescriptorsBesideFetches;
  return static_cast<int>(std::clamp<uint64_t>(room, kSmallFetchPool, kLargeFetchPool));
}

int DefaultFetchConcurrency() {
  return FetchConcurrencyFor(RaiseOpenFileLimit());
}

std::unique_ptr<FetchJob> MakeAsyncFetchJob(const FetchPolicy& policy) {
  return std::make_unique<AsyncFetchJob>(policy);
}

PooledDescriptions::PooledDescriptions(const MonotonicClock& clock, FetchPolicy policy,
                                       FetchJobFactory make_job)
    : m_clock(clock),
      m_policy(policy),
      m_make_job(std::move(make_job)),
      m_free_finished(std::make_unique<QTimer>()) {
  m_free_finished->setSingleShot(true);
  QObject::connect(m_free_finished.get(), &QTimer::timeout, [this] { m_finished.clear(); });
}

PooledDescriptions::~PooledDescriptions() = default;

std::size_t PooledDescriptions::Queued() const {
  return static_cast<std::size_t>(std::count_if(m_entries.begin(), m_entries.end(),
                                                [](const auto& e) { return e.second.queued; }));
}

PooledDescriptions::Entry& PooledDescriptions::Touch(const std::string& location) {
  auto [it, created] = m_entries.try_emplace(location);
  Entry& entry = it->second;
  if (created) {
    entry.host = HostOf(location);
    m_lru.push_front(location);
  } else {
    m_lru.splice(m_lru.begin(), m_lru, entry.lru);
  }
  entry.lru = m_lru.begin();
  return entry;
}

void PooledDescriptions::Describe(const DescriptionRequest& request, Settle settle) {
  const int64_t now = m_clock.NowMs();
  Entry& entry = Touch(request.location);
  if (entry.queued || entry.running) {
    // One fetch serves every announcement that names its LOCATION meanwhile.
    entry.waiters.push_back(std::move(settle));
    return;
  }
  if (entry.has_response && now - entry.fetched_at_ms < m_policy.refresh_ms &&
      entry.boot_id == request.boot_id && entry.config_id == request.config_id) {
    settle(CachedResult(entry.response));
    return;
  }
  if (now < entry.backoff_until_ms) {
    settle(SkippedResult());
    return;
  }
  entry.boot_id = request.boot_id;
  entry.config_id = request.config_id;
  entry.waiters.push_back(std::move(settle));
  entry.queued = true;
  Enqueue(request.location, entry.host);
  Evict();
  Pump();
}

void PooledDescriptions::Refetch(const std::string& location, int total_timeout_ms, Settle settle) {
  Entry& entry = Touch(location);
  entry.waiters.push_back(std::move(settle));
  if (entry.queued || entry.running) return;
  entry.total_timeout_ms = total_timeout_ms;
  entry.queued = true;
  Enqueue(location, entry.host);
  Evict();
  Pump();
}

void PooledDescriptions::Enqueue(const std::string& location, const std::string& host) {
  const uint64_t place = m_next_place++;
  HostLine& line = m_hosts[host];
  if (!line.busy && line.waiting.empty()) m_ready.emplace(place, host);
  line.waiting.emplace_back(place, location);
  ++m_queue_length;
}

void PooledDescriptions::Offer(const std::string& host) {
  auto it = m_hosts.find(host);
  if (it == m_hosts.end() || it->second.busy) return;
  if (it->second.waiting.empty()) {
    m_hosts.erase(it);
  } else {
    m_ready.emplace(it->second.waiting.front().first, host);
  }
}

void PooledDescriptions::Pump() {
  // First come, first served, skipping LOCATIONs whose device is busy with another fetch.
  while (m_running < static_cast<std::size_t>(m_policy.concurrency) && !m_ready.empty()) {
    const std::string host = m_ready.begin()->second;
    m_ready.erase(m_ready.begin());
    HostLine& line = m_hosts[host];
    std::string location;
    Entry* entry = nullptr;
    while (entry == nullptr && !line.waiting.empty()) {
      location = std::move(line.waiting.front().second);
      line.waiting.pop_front();
      --m_queue_length;
      auto found = m_entries.find(location);
      if (found != m_entries.end() && found->second.queued) entry = &found->second;
    }
    if (entry == nullptr) {
      m_hosts.erase(host);  // only LOCATIONs evicted meanwhile were waiting
      continue;
    }
    // Start may settle at once, and settling may queue more: nothing is kept across it.
    Start(location, *entry);
  }
}

void PooledDescriptions::Start(const std::string& location, Entry& entry) {
  entry.queued = false;
  entry.running = true;
  entry.started_ms = m_clock.NowMs();
  m_hosts[entry.host].busy = true;
  ++m_running;
  FetchPolicy policy = m_policy;
  if (entry.total_timeout_ms > 0 && entry.total_timeout_ms < policy.total_timeout_ms) {
    policy.total_timeout_ms = entry.total_timeout_ms;
    policy.connect_timeout_ms = std::min(policy.connect_timeout_ms, entry.total_timeout_ms);
  }
  entry.total_timeout_ms = 0;
  entry.job = m_make_job(policy);
  Trace("GetUrl(%s)", location.c_str());
  const bool started =
      entry.job->Start(location, [this, location](uint32_t count, int error, const char* response) {
        Finish(location, count, error, response);
      });
  if (!started) Finish(location, 0, 0, "");
}

void PooledDescriptions::Finish(const std::string& location, uint32_t count, int error,
                                const char* response) {
  auto it = m_entries.find(location);
  if (it == m_entries.end()) return;
  Entry& entry = it->second;
  const int64_t now = m_clock.NowMs();
  Trace("GetUrl(%s)=%d", location.c_str(), static_cast<int>(count));
  entry.running = false;
  if (auto line = m_hosts.find(entry.host); line != m_hosts.end()) line->second.busy = false;
  Offer(entry.host);
  --m_running;
  // The job is inside its own callback: it goes once the callback has returned.
  m_finished.push_back(std::move(entry.job));
  if (!m_free_finished->isActive()) m_free_finished->start(0);

  DescriptionResult result;
  result.count = count;
  result.outcome = count != 0 ? ResponseOutcome(response) : FailureOutcome(error);
  result.seconds = static_cast<double>(now - entry.started_ms) / 1000.0;
  if (count != 0) {
    entry.response.assign(response, std::strlen(response));
    entry.has_response = true;
    entry.fetched_at_ms = now;
    entry.backoff_ms = 0;
    entry.backoff_until_ms = 0;
  } else {
    entry.response.clear();
    entry.has_response = false;
    entry.backoff_ms = entry.backoff_ms == 0
                           ? m_policy.backoff_first_ms
                           : std::min(entry.backoff_ms * 2, m_policy.backoff_max_ms);
    entry.backoff_until_ms = now + entry.backoff_ms;
  }
  // Settling may describe again (the next announcement of a device), which may touch this
  // entry: work from copies.
  const std::string kept = entry.response;
  result.response = kept.c_str();
  std::vector<Settle> waiters = std::move(entry.waiters);
  entry.waiters.clear();
  for (Settle& settle : waiters) settle(result);
  Pump();
}

void PooledDescriptions::Evict() {
  // Least recently used first; a running fetch stays until it ends, bounded by the pool.
  std::vector<Settle> dropped;
  for (auto it = m_lru.end(); m_entries.size() > m_policy.max_locations && it != m_lru.begin();) {
    --it;
    auto found = m_entries.find(*it);
    if (found->second.running) continue;
    for (Settle& settle : found->second.waiters) dropped.push_back(std::move(settle));
    m_entries.erase(found);
    it = m_lru.erase(it);
  }
  // The line names evicted LOCATIONs until Pump passes them; keep it from growing past what
  // the table holds.
  if (m_queue_length > 2 * m_policy.max_locations) {
    m_ready.clear();
    m_queue_length = 0;
    for (auto it = m_hosts.begin(); it != m_hosts.end();) {
      std::erase_if(it->second.waiting, [this](const auto& waiting) {
        auto found = m_entries.find(waiting.second);
        return found == m_entries.end() || !found->second.queued;
      });
      m_queue_length += it->second.waiting.size();
      if (it->second.busy || !it->second.waiting.empty()) {
        if (!it->second.busy) m_ready.emplace(it->second.waiting.front().first, it->first);
        ++it;
      } else {
        it = m_hosts.erase(it);
      }
    }
  }
  // Settled once the tables are consistent again: settling may describe anew.
  for (Settle& settle : dropped) settle(SkippedResult());
}
