// The scanner's unicast searches: each round sends one search to port 1900 of every target
// address, paced to a rate on the event loop, so that devices beyond a router (which the
// multicast burst never crosses) answer too. Answers reach the sender's socket like any
// other. Owns its timer; the sender must outlive it. Runs on the event loop's thread.
#pragma once

#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "ssdp/ssdp_socket.h"

class UnicastSearch {
 public:
  // Monotonic milliseconds; tests pass a clock they move by hand.
  using MsClock = std::function<int64_t()>;

  // `rate_per_second` must be at least 1.
  UnicastSearch(UnicastSender& sender, std::vector<uint32_t> targets, int rate_per_second,
                MsClock now = {});
  UnicastSearch(const UnicastSearch&) = delete;
  UnicastSearch& operator=(const UnicastSearch&) = delete;

  // Starts a round; nothing without targets. Asked during a round, another round follows
  // once it ends: starting over would starve the addresses at the end of a long list.
  void Start();
  // Sends what is due by now: never more than the rate allows since the round began. The
  // timer calls it.
  void OnTick();

  [[nodiscard]] bool Running() const { return m_next < m_targets.size(); }
  [[nodiscard]] std::size_t TargetCount() const { return m_targets.size(); }

 private:
  UnicastSender& m_sender;
  std::vector<uint32_t> m_targets;
  int m_rate;
  MsClock m_now;
  QTimer m_timer;
  std::size_t m_next = 0;  // == size: no round is running
  int64_t m_round_start_ms = 0;
  bool m_again = false;
};
