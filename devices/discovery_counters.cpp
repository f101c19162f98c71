#include "devices/discovery_counters.h"

#include <algorithm>
#include <numeric>

const char* FetchOutcomeName(FetchOutcome outcome) {
  switch (outcome) {
    case FetchOutcome::kOk:
      return "ok";
    case FetchOutcome::kHttpError:
      return "http_error";
    case FetchOutcome::kRefused:
      return "refused";
    case FetchOutcome::kTimeout:
      return "timeout";
    case FetchOutcome::kFailed:
      return "failed";
  }
  return "unknown";
}

const char* SsdpSocketName(SsdpSocketId socket) {
  return socket == SsdpSocketId::kPort1900 ? "port_1900" : "search_socket";
}

void DiscoveryCounters::CountFetch(FetchOutcome outcome, double seconds) {
  ++fetches[static_cast<std::size_t>(outcome)];
  std::size_t bucket = 0;
  while (bucket < kFetchBucketBounds.size() && seconds > kFetchBucketBounds[bucket]) ++bucket;
  ++fetch_buckets[bucket];
  fetch_seconds_sum += seconds;
  fetch_seconds_max = std::max(fetch_seconds_max, seconds);
}

uint64_t DiscoveryCounters::FetchCount() const {
  return std::accumulate(fetches.begin(), fetches.end(), uint64_t{0});
}

double DiscoveryCounters::FetchQuantile(double q) const {
  const uint64_t total = FetchCount();
  if (total == 0) return 0;
  const double rank = std::clamp(q, 0.0, 1.0) * static_cast<double>(total);
  double below = 0;
  for (std::size_t i = 0; i < fetch_buckets.size(); ++i) {
    const double count = static_cast<double>(fetch_buckets[i]);
    if (count > 0 && below + count >= rank) {
      // The last bucket has no upper bound: the maximum seen stands in for it.
      const double lower = i == 0 ? 0 : kFetchBucketBounds[i - 1];
      const double upper =
          i < kFetchBucketBounds.size() ? kFetchBucketBounds[i] : fetch_seconds_max;
      const double value = lower + (upper - lower) * (rank - below) / count;
      return std::min(value, fetch_seconds_max);
    }
    below += count;
  }
  return fetch_seconds_max;
}
