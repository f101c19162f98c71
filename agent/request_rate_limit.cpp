#include "agent/request_rate_limit.h"

#include <algorithm>

#include "platform/clock.h"

void RequestRateLimit::Set(const WebRateLimit& limit) {
  if (limit.interval_ms == m_limit.interval_ms && limit.burst == m_limit.burst) return;
  m_limit = limit;
  m_peers.clear();
  m_recent.clear();
}

void RequestRateLimit::Refill(Peer& peer, std::int64_t now_ms) const {
  const std::int64_t full = m_limit.interval_ms * m_limit.burst;
  if (now_ms > peer.refilled_at_ms) {
    peer.left_ms = std::min(full, peer.left_ms + (now_ms - peer.refilled_at_ms));
    peer.refilled_at_ms = now_ms;
  }
}

void RequestRateLimit::Prune(std::int64_t now_ms) {
  if (m_peers.size() <= kRateLimitPeers) return;
  const std::int64_t full = m_limit.interval_ms * m_limit.burst;
  for (auto it = m_peers.begin(); it != m_peers.end();) {
    Refill(it->second, now_ms);
    if (it->second.left_ms >= full) {
      m_recent.erase(it->second.recent);
      it = m_peers.erase(it);
    } else {
      ++it;
    }
  }
  while (m_peers.size() > kRateLimitPeers) {
    m_peers.erase(m_recent.back());
    m_recent.pop_back();
  }
}

bool RequestRateLimit::Allow(const std::string& peer) {
  if (m_limit.interval_ms <= 0) return true;
  const std::int64_t now = m_clock.NowMs();
  auto [it, created] = m_peers.try_emplace(peer);
  Peer& entry = it->second;
  if (created) {
    entry.left_ms = m_limit.interval_ms * m_limit.burst;
    entry.refilled_at_ms = now;
    m_recent.push_front(peer);
  } else {
    m_recent.splice(m_recent.begin(), m_recent, entry.recent);
    Refill(entry, now);
  }
  entry.recent = m_recent.begin();
  const bool allowed = entry.left_ms >= m_limit.interval_ms;
  if (allowed) entry.left_ms -= m_limit.interval_ms;
  Prune(now);
  return allowed;
}

int RequestRateLimit::RetryAfterSeconds() const {
  return static_cast<int>(std::max<std::int64_t>(1, (m_limit.interval_ms + 999) / 1000));
}
