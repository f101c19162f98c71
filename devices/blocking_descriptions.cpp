#include "devices/blocking_descriptions.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/socket_error.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/trace.h"

void BlockingDescriptions::BeginBurst() {
  ++m_burst;
  m_burst_until_ms = INT64_MAX;
  // What an earlier burst fetched serves a new one only within kBurstReuseMs.
  const int64_t now = m_clock.NowMs();
  std::erase_if(m_fetched,
                [now](const auto& entry) { return now - entry.second.at_ms >= kBurstReuseMs; });
}

void BlockingDescriptions::EndBurst() {
  m_burst_until_ms = m_clock.NowMs() + kBurstReuseMs;
}

void BlockingDescriptions::KeepBurstOpen() {
  // Answers are handled one after another, each maybe after a fetch: while they are being
  // worked through they are still the burst's, however late its searches' window closed.
  if (m_burst_until_ms != INT64_MAX) {
    m_burst_until_ms = std::max(m_burst_until_ms, m_clock.NowMs() + kBurstReuseMs);
  }
}

void BlockingDescriptions::Describe(const DescriptionRequest& request, Settle settle) {
  const char* location = request.location.c_str();
  const int64_t now = m_clock.NowMs();
  const bool in_burst = now < m_burst_until_ms;
  if (auto it = m_fetched.find(request.location); it != m_fetched.end()) {
    const Fetched& fetched = it->second;
    if ((fetched.burst == m_burst && now < m_burst_until_ms) ||
        now - fetched.at_ms < kBurstReuseMs) {
      if (in_burst) KeepBurstOpen();
      settle(CachedResult(fetched.response));
      return;
    }
  }
  if (auto it = m_timed_out.find(request.location); it != m_timed_out.end()) {
    if (now - it->second < kTimedOutBackoffMs) {
      // A device that holds the window for the whole bound is not asked again so soon.
      Trace("GetUrl(%s) skipped: timed out %d s ago", location,
            static_cast<int>((now - it->second) / 1000));
      settle(SkippedResult());
      return;
    }
    m_timed_out.erase(it);
  }

  Trace("GetUrl(%s)", location);
  SetLastSocketError(0);
  const auto start = std::chrono::steady_clock::now();
  const uint32_t count = m_fetch(m_buffer, kDescriptionFetchSize, location);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  Trace("GetUrl(%s)=%d", location, static_cast<int>(count));
  // A fetcher must terminate within its size; this keeps a careless one from making the
  // parser read past the buffer.
  m_buffer[count != 0 ? kDescriptionFetchSize : 0] = '\0';
  DescriptionResult result;
  result.response = m_buffer;
  result.count = count;
  result.outcome = count != 0 ? ResponseOutcome(m_buffer) : FailureOutcome(GetLastSocketError());
  result.seconds = took.count();
  const int64_t after = m_clock.NowMs();
  if (in_burst) KeepBurstOpen();
  if (!m_remember) {
  } else if (count != 0) {
    if (m_fetched.size() >= kMaxRememberedLocations) {
      std::erase_if(m_fetched, [&](const auto& e) { return e.second.burst != m_burst; });
    }
    if (m_fetched.size() < kMaxRememberedLocations) {
      m_fetched[request.location] =
          Fetched{std::string(m_buffer, std::strlen(m_buffer)), after, m_burst};
    }
  } else if (result.outcome == FetchOutcome::kTimeout) {
    if (m_timed_out.size() >= kMaxRememberedLocations) {
      std::erase_if(m_timed_out,
                    [after](const auto& e) { return after - e.second >= kTimedOutBackoffMs; });
    }
    if (m_timed_out.size() < kMaxRememberedLocations) m_timed_out[request.location] = after;
  }
  settle(result);
}
