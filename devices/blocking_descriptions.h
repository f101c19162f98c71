// The dialog's description source: a blocking fetch inside the handler that received the
// announcement, as the window's one-thread design has it, with two bounds on how long that
// may hold the window: a LOCATION whose fetch ran into a time bound is not fetched again for
// a minute, and one fetched successfully during the current search burst (or less than 2 s
// ago) is answered with that response, so a burst costs one fetch per device. Borrows the
// clock, which must outlive it; the fetcher is GetUrl in the program.
#pragma once

#include "devices/announcement_protocol.h"
#include "devices/description_source.h"

#include <cstdint>
#include <string>
#include <unordered_map>

class MonotonicClock;

// A LOCATION whose fetch ended on a time bound is skipped for this long.
inline constexpr int64_t kTimedOutBackoffMs = 60000;
// A burst's responses serve its announcements until this long after its last search, and a
// response serves repeats for this long in any case.
inline constexpr int64_t kBurstReuseMs = 2000;
// Entries kept in each of the two tables; no real segment comes near it.
inline constexpr std::size_t kMaxRememberedLocations = 10000;

class BlockingDescriptions final : public DescriptionSource {
 public:
  // With `remember` false every announcement is fetched as it comes, nothing is reused.
  BlockingDescriptions(UrlFetcher fetch, const MonotonicClock& clock, bool remember = true)
      : m_fetch(std::move(fetch)), m_clock(clock), m_remember(remember) {}
  BlockingDescriptions(const BlockingDescriptions&) = delete;
  BlockingDescriptions& operator=(const BlockingDescriptions&) = delete;

  // Fetches at once and settles before returning, tracing "GetUrl(URL)" and "GetUrl(URL)=N";
  // settles at once with a response of this burst, or as failed after a recent time-out.
  void Describe(const DescriptionRequest& request, Settle settle) override;

  // A search starts a burst; it lasts until kBurstReuseMs after EndBurst (its last search).
  void BeginBurst();
  void EndBurst();

 private:
  void KeepBurstOpen();

  struct Fetched {
    std::string response;
    int64_t at_ms = 0;
    uint64_t burst = 0;
  };

  UrlFetcher m_fetch;
  const MonotonicClock& m_clock;
  bool m_remember;
  char m_buffer[kDescriptionFetchSize + 1] = {};
  std::unordered_map<std::string, Fetched> m_fetched;    // by LOCATION
  std::unordered_map<std::string, int64_t> m_timed_out;  // LOCATION -> when
  uint64_t m_burst = 0;
  int64_t m_burst_until_ms = INT64_MIN;  // the current burst's end; none before the first
};
