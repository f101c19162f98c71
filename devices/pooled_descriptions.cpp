#include "devices/pooled_descriptions.h"

#include <algorithm>

#include "devices/announcement_protocol.h"
#include "http/fetch_loop.h"
#include "http/url.h"
#include "parse/header_block.h"
#include "platform/clock.h"
#include "platform/open_file_limit.h"
#include "platform/trace.h"

namespace {

// The device a LOCATION names, by its host: fetches to one device never run side by side. A
// LOCATION that names no host is its own key; its fetch fails before any connect.
std::string HostOf(const std::string& location) {
  UrlParts parts;
  return SplitUrl(location, parts) ? parts.host : location;
}

// What is ever read of a response: its status line and its body, without the header fields
// between them, which ten thousand cached descriptions would otherwise keep. A response is
// text up to its first NUL, as everything that reads it takes it. One without a body is kept
// as it came.
std::string KeptPart(const std::string& response) {
  std::string text(response.c_str());
  HeaderBlock parsed;
  parsed.Parse(text.data());
  if (parsed.StartLine() == nullptr || parsed.Body() == nullptr) return response.c_str();
  return std::string(parsed.StartLine()) + "\r\n\r\n" + parsed.Body();
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

std::unique_ptr<FetchEngine> MakeFetchLoop(const FetchPolicy& policy,
                                           FetchEngine::Deliver deliver) {
  return std::make_unique<FetchLoop>(policy.concurrency, policy.max_locations,
                                     kDescriptionFetchSize, std::move(deliver));
}

PooledDescriptions::PooledDescriptions(const MonotonicClock& clock, FetchPolicy policy,
                                       FetchEngineFactory make_engine)
    : m_clock(clock), m_policy(policy), m_make_engine(std::move(make_engine)) {}

PooledDescriptions::~PooledDescriptions() = default;

std::size_t PooledDescriptions::InState(FetchOrder::State state) const {
  return static_cast<std::size_t>(
      std::count_if(m_entries.begin(), m_entries.end(), [state](const auto& e) {
        return e.second.order != nullptr && e.second.order->Now() == state;
      }));
}

PooledDescriptions::Entry& PooledDescriptions::Touch(const std::string& location) {
  auto [it, created] = m_entries.try_emplace(location);
  Entry& entry = it->second;
  if (created) {
    m_lru.push_front(&it->first);
  } else {
    m_lru.splice(m_lru.begin(), m_lru, entry.lru);
  }
  entry.lru = m_lru.begin();
  return entry;
}

void PooledDescriptions::Describe(const DescriptionRequest& request, Settle settle) {
  const int64_t now = m_clock.NowMs();
  Entry& entry = Touch(request.location);
  if (entry.order) {
    // One fetch serves every announcement that names its LOCATION meanwhile.
    entry.waiters.push_back(std::move(settle));
    return;
  }
  if (entry.response && now - entry.fetched_at_ms < m_policy.refresh_ms &&
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
  Submit(request.location, entry, 0);
  Evict();
}

void PooledDescriptions::Refetch(const std::string& location, int total_timeout_ms, Settle settle) {
  Entry& entry = Touch(location);
  entry.waiters.push_back(std::move(settle));
  if (entry.order) return;
  Submit(location, entry, total_timeout_ms);
  Evict();
}

void PooledDescriptions::Submit(const std::string& location, Entry& entry, int total_timeout_ms) {
  int total = m_policy.total_timeout_ms;
  int connect = m_policy.connect_timeout_ms;
  if (total_timeout_ms > 0 && total_timeout_ms < total) {
    total = total_timeout_ms;
    connect = std::min(connect, total_timeout_ms);
  }
  entry.order = std::make_shared<FetchOrder>(location, HostOf(location), connect, total);
  if (!m_engine) {
    m_engine = m_make_engine(m_policy, [this](std::vector<FetchReport>& batch) { Deliver(batch); });
  }
  Trace("GetUrl(%s)", location.c_str());
  m_engine->Submit(entry.order);
}

void PooledDescriptions::Deliver(std::vector<FetchReport>& batch) {
  for (const FetchReport& report : batch) Finish(report);
}

void PooledDescriptions::Finish(const FetchReport& report) {
  const std::string& location = report.order->url;
  auto it = m_entries.find(location);
  // Evicted while it ran, and perhaps asked for anew since: the report is nobody's.
  if (it == m_entries.end() || it->second.order != report.order) return;
  Entry& entry = it->second;
  const int64_t now = m_clock.NowMs();
  Trace("GetUrl(%s)=%d", location.c_str(), static_cast<int>(report.count));
  entry.order.reset();

  DescriptionResult result;
  result.count = report.count;
  result.outcome =
      report.count != 0 ? ResponseOutcome(report.response.c_str()) : FailureOutcome(report.error);
  result.seconds = report.seconds;
  if (report.count != 0) {
    entry.response = std::make_shared<const std::string>(KeptPart(report.response));
    entry.fetched_at_ms = now;
    entry.backoff_ms = 0;
    entry.backoff_until_ms = 0;
  } else {
    entry.response.reset();
    entry.backoff_ms = entry.backoff_ms == 0
                           ? m_policy.backoff_first_ms
                           : std::min(entry.backoff_ms * 2, m_policy.backoff_max_ms);
    entry.backoff_until_ms = now + entry.backoff_ms;
  }
  // Settling may describe again (the next announcement of a device), which may evict this
  // entry: the result holds the response it points into.
  result.kept = entry.response;
  result.response = result.kept ? result.kept->c_str() : "";
  std::vector<Settle> waiters = std::move(entry.waiters);
  entry.waiters.clear();
  for (Settle& settle : waiters) settle(result);
}

void PooledDescriptions::Evict() {
  // Least recently used first; a running fetch stays until it ends, bounded by the pool, and
  // one still waiting in the engine's line is withdrawn from it.
  std::vector<Settle> dropped;
  for (auto it = m_lru.end(); m_entries.size() > m_policy.max_locations && it != m_lru.begin();) {
    --it;
    auto found = m_entries.find(**it);
    Entry& entry = found->second;
    if (entry.order && !entry.order->Withdraw()) continue;
    for (Settle& settle : entry.waiters) dropped.push_back(std::move(settle));
    m_entries.erase(found);
    it = m_lru.erase(it);
  }
  // Settled once the table is consistent again: settling may describe anew.
  for (Settle& settle : dropped) settle(SkippedResult());
}
