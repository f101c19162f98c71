#include "ssdp/unicast_search.h"

#include <algorithm>
#include <chrono>

#include "platform/trace.h"

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

UnicastSearch::UnicastSearch(UnicastSender& sender, std::vector<uint32_t> targets,
                             int rate_per_second, MsClock now)
    : m_sender(sender),
      m_targets(std::move(targets)),
      m_rate(std::max(rate_per_second, 1)),
      m_now(now ? std::move(now) : MsClock(SteadyMs)),
      m_next(m_targets.size()) {
  // One tick per search up to 1000 a second; above that a tick sends several.
  m_timer.setTimerType(Qt::PreciseTimer);
  m_timer.setInterval(std::max(1, 1000 / m_rate));
  QObject::connect(&m_timer, &QTimer::timeout, [this] { OnTick(); });
}

void UnicastSearch::Start() {
  if (m_targets.empty()) return;
  if (Running()) {
    m_again = true;
    return;
  }
  Trace("UnicastSearch: %zu targets at %d/s", m_targets.size(), m_rate);
  m_next = 0;
  m_round_start_ms = m_now();
  m_timer.start();
  OnTick();
}

void UnicastSearch::OnTick() {
  if (!Running()) return;
  // The first search goes at once, then one per 1/rate s, counted from the round's start so
  // that a late tick catches up without ever running ahead of the rate.
  const int64_t elapsed = std::max<int64_t>(m_now() - m_round_start_ms, 0);
  const auto due = static_cast<std::size_t>(
      std::min<int64_t>(1 + elapsed * m_rate / 1000, static_cast<int64_t>(m_targets.size())));
  while (m_next < due) m_sender.SendSearchTo(m_targets[m_next++], SEARCH_TARGET);
  if (Running()) return;
  m_timer.stop();
  if (m_again) {
    m_again = false;
    Start();
  }
}
