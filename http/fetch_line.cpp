#include "http/fetch_line.h"

#include <algorithm>

FetchLine::FetchLine(int concurrency, std::size_t max_waiting)
    : m_concurrency(static_cast<std::size_t>(std::max(concurrency, 1))),
      m_sweep_at(2 * std::max<std::size_t>(max_waiting, 1)) {}

void FetchLine::Add(std::shared_ptr<FetchOrder> order) {
  const uint64_t place = m_next_place++;
  HostLine& line = m_hosts[order->host];
  if (!line.busy && line.waiting.empty()) m_ready.emplace(place, order->host);
  line.waiting.emplace_back(place, std::move(order));
  // Withdrawn orders of a busy host are passed only when the host is free again: a flood of
  // them for one hung device must not grow the line without bound meanwhile.
  if (++m_waiting > m_sweep_at) Sweep();
}

std::shared_ptr<FetchOrder> FetchLine::Next() {
  while (m_running < m_concurrency && !m_ready.empty()) {
    const std::string host = std::move(m_ready.begin()->second);
    m_ready.erase(m_ready.begin());
    auto it = m_hosts.find(host);
    if (it == m_hosts.end()) continue;
    HostLine& line = it->second;
    while (!line.waiting.empty()) {
      std::shared_ptr<FetchOrder> order = std::move(line.waiting.front().second);
      line.waiting.pop_front();
      --m_waiting;
      if (!order->Start()) continue;  // withdrawn while it waited
      line.busy = true;
      ++m_running;
      return order;
    }
    m_hosts.erase(it);
  }
  return nullptr;
}

void FetchLine::Done(const FetchOrder& order) {
  --m_running;
  auto it = m_hosts.find(order.host);
  if (it == m_hosts.end()) return;
  it->second.busy = false;
  Offer(order.host);
}

void FetchLine::Offer(const std::string& host) {
  auto it = m_hosts.find(host);
  if (it == m_hosts.end() || it->second.busy) return;
  if (it->second.waiting.empty()) {
    m_hosts.erase(it);
  } else {
    m_ready.emplace(it->second.waiting.front().first, host);
  }
}

void FetchLine::Sweep() {
  m_ready.clear();
  m_waiting = 0;
  for (auto it = m_hosts.begin(); it != m_hosts.end();) {
    HostLine& line = it->second;
    std::erase_if(line.waiting, [](const auto& waiting) {
      return waiting.second->Now() == FetchOrder::kWithdrawn;
    });
    m_waiting += line.waiting.size();
    if (line.busy) {
      ++it;
    } else if (line.waiting.empty()) {
      it = m_hosts.erase(it);
    } else {
      m_ready.emplace(line.waiting.front().first, it->first);
      ++it;
    }
  }
  // A line that holds more than the bound in orders still wanted is not swept at every Add.
  m_sweep_at = std::max(m_sweep_at, 2 * m_waiting);
}
