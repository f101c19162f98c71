#include "agent/bcrypt_budget.h"

#include <algorithm>

#include "platform/clock.h"

void BcryptBudget::Bucket::Refill(std::int64_t now_ms) {
  if (now_ms <= refilled_at_ms) return;
  left_us = std::min(burst_us, left_us + (now_ms - refilled_at_ms) * rate_us_per_ms);
  refilled_at_ms = now_ms;
}

BcryptBudget::BcryptBudget(const MonotonicClock& clock, BcryptRates rates)
    : m_clock(clock), m_rates(rates) {
  const std::int64_t reserved_rate = rates.ms_per_second / std::max(1, rates.reserved_share);
  const std::int64_t reserved_burst = rates.burst_ms / std::max(1, rates.reserved_share);
  const std::int64_t now = clock.NowMs();
  m_open = {rates.ms_per_second - reserved_rate, (rates.burst_ms - reserved_burst) * 1000,
            (rates.burst_ms - reserved_burst) * 1000, now};
  m_reserved = {reserved_rate, reserved_burst * 1000, reserved_burst * 1000, now};
}

BcryptBudget::Bucket BcryptBudget::NewBucket(int share) const {
  // The whole burst, at a share of the rate: a few tries in a row (a wrong password, then the
  // right one) pass on a slow machine too, while a flood gets the share in the long run.
  const std::int64_t burst_us = m_rates.burst_ms * 1000;
  return {m_rates.ms_per_second / std::max(1, share), burst_us, burst_us, m_clock.NowMs()};
}

BcryptBudget::Peer& BcryptBudget::PeerBucket(const std::string& peer) {
  auto [it, created] = m_peers.try_emplace(peer);
  if (created) {
    it->second.bucket = NewBucket(m_rates.peer_share);
    m_recent.push_front(peer);
  } else {
    m_recent.splice(m_recent.begin(), m_recent, it->second.recent);
  }
  it->second.recent = m_recent.begin();
  return it->second;
}

void BcryptBudget::Prune() {
  if (m_peers.size() <= kBcryptBudgetPeers) return;
  const std::int64_t now = m_clock.NowMs();
  for (auto it = m_peers.begin(); it != m_peers.end();) {
    it->second.bucket.Refill(now);
    if (it->second.running == 0 && it->second.bucket.left_us >= it->second.bucket.burst_us) {
      m_recent.erase(it->second.recent);
      it = m_peers.erase(it);
    } else {
      ++it;
    }
  }
  while (m_peers.size() > kBcryptBudgetPeers) {
    m_peers.erase(m_recent.back());
    m_recent.pop_back();
  }
}

bool BcryptBudget::Take(const std::string& peer, std::int64_t estimate_ms, Grant* grant) {
  const std::int64_t now = m_clock.NowMs();
  Peer& own = PeerBucket(peer);
  own.bucket.Refill(now);
  m_open.Refill(now);
  m_reserved.Refill(now);
  // The global buckets may go a burst into debt: one address's run that costs more than what
  // was left must not keep every other address out until it is paid back; its own bucket
  // pays for it.
  Bucket* global = nullptr;
  if (m_open.left_us > -m_open.burst_us) {
    global = &m_open;
  } else if (m_reserved.left_us > -m_reserved.burst_us && Trusted(peer)) {
    global = &m_reserved;
  }
  const bool granted = own.running == 0 && own.bucket.left_us > 0 && global != nullptr;
  if (granted) {
    ++own.running;
    const std::int64_t cost_us = std::max<std::int64_t>(1, estimate_ms) * 1000;
    own.bucket.left_us -= cost_us;
    global->left_us -= cost_us;
    *grant = Grant{peer, std::max<std::int64_t>(1, estimate_ms), global == &m_reserved};
  }
  Prune();
  return granted;
}

void BcryptBudget::Settle(const Grant& grant, std::int64_t actual_ms) {
  const std::int64_t now = m_clock.NowMs();
  const std::int64_t difference_us =
      (std::max<std::int64_t>(1, actual_ms) - grant.estimate_ms) * 1000;
  Bucket& global = grant.reserved ? m_reserved : m_open;
  global.Refill(now);
  global.left_us = std::min(global.burst_us, global.left_us - difference_us);
  if (auto it = m_peers.find(grant.peer); it != m_peers.end()) {
    Bucket& own = it->second.bucket;
    own.Refill(now);
    own.left_us = std::min(own.burst_us, own.left_us - difference_us);
    if (it->second.running > 0) --it->second.running;
  }
}

void BcryptBudget::Trust(const std::string& peer) {
  m_trusted.remove(peer);
  m_trusted.push_front(peer);
  if (m_trusted.size() > kBcryptTrustedPeers) m_trusted.pop_back();
}

bool BcryptBudget::Trusted(const std::string& peer) const {
  return std::find(m_trusted.begin(), m_trusted.end(), peer) != m_trusted.end();
}
