// A fetch engine's waiting line: orders kept per host, so that a host busy with a fetch costs
// nothing to pass; first come first served among the hosts that are free, and at most
// `concurrency` orders started and not yet done. An order withdrawn while it waits is dropped
// when the line reaches it, and the whole line is swept of them once it holds more than
// twice `max_waiting`. Plain bookkeeping on the engine's one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "http/fetch_engine.h"

class FetchLine {
 public:
  FetchLine(int concurrency, std::size_t max_waiting);
  FetchLine(const FetchLine&) = delete;
  FetchLine& operator=(const FetchLine&) = delete;

  void Add(std::shared_ptr<FetchOrder> order);
  // The next order to run, already started, or nullptr when the limit is reached or no free
  // host has an order waiting.
  std::shared_ptr<FetchOrder> Next();
  // A started order's fetch has ended: its host may fetch again.
  void Done(const FetchOrder& order);

  // Orders in the line, withdrawn ones not passed yet included.
  [[nodiscard]] std::size_t Waiting() const { return m_waiting; }
  [[nodiscard]] std::size_t Running() const { return m_running; }

 private:
  struct HostLine {
    std::deque<std::pair<uint64_t, std::shared_ptr<FetchOrder>>> waiting;  // by place
    bool busy = false;  // a fetch to this host runs
  };

  // Makes the host's first waiting order a candidate, or forgets a host with nothing to do.
  void Offer(const std::string& host);
  void Sweep();

  std::size_t m_concurrency;
  std::size_t m_sweep_at;  // line length that starts a sweep
  // Hosts with a fetch running or orders waiting, and the free ones among them by the place
  // of their first waiting order.
  std::unordered_map<std::string, HostLine> m_hosts;
  std::map<uint64_t, std::string> m_ready;
  uint64_t m_next_place = 0;
  std::size_t m_waiting = 0;
  std::size_t m_running = 0;
};
