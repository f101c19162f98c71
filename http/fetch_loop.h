// Description fetches on a thread of their own, so that neither waits for the other: the
// event loop that handles discovery and serves HTTP, and the chain of exchanges with a device.
// One thread with an epoll loop owns the line (FetchLine) and every exchange's socket, name
// look-up and deadlines, and hands finished fetches to the thread that made the FetchLoop in
// batches, through that thread's Qt event loop (which must run for anything to arrive).
// Each GET is GetUrl's request, read until the device closes or `response_size` bytes are
// in; an answer still coming in at the total bound is a time-out, not a response.
// Threads: the constructor, Submit, the deliveries and the destructor belong to the owner's
// thread; the loop's thread starts with the first order, touches only what the orders and
// reports carry, and ends in the destructor, which resets every exchange still open.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http/fetch_engine.h"
#include "http/fetch_line.h"
#include "net/readiness_set.h"

class QObject;

class FetchLoop final : public FetchEngine {
 public:
  // `deliver` must not destroy the loop.
  FetchLoop(int concurrency, std::size_t max_waiting, uint32_t response_size, Deliver deliver);
  ~FetchLoop() override;
  FetchLoop(const FetchLoop&) = delete;
  FetchLoop& operator=(const FetchLoop&) = delete;

  void Submit(std::shared_ptr<FetchOrder> order) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Exchange;

  // The owner's side.
  void DeliverBatch();
  // Moves `reports` to the owner, waking it when nothing waited for it yet. Either thread.
  void Hand(std::vector<FetchReport>& reports);

  // The loop's side.
  void Run();
  void Begin(std::shared_ptr<FetchOrder> order);
  void Connect(uint64_t key, Exchange& exchange, const in_addr& address);
  void OnReady(uint64_t key, uint32_t events);
  void Read(uint64_t key, Exchange& exchange, uint32_t events);
  // The exchange's deadline is now its total bound.
  void Connected(uint64_t key, Exchange& exchange);
  void PollLookups();
  void ExpireDeadlines();
  [[nodiscard]] int WaitMs() const;
  // Reports the exchange (`error` as FetchReport says) and lets its host fetch again.
  void Finish(uint64_t key, int error);

  const uint32_t m_response_size;
  const Deliver m_deliver;
  std::unique_ptr<QObject> m_owner;  // on the owner's thread: batches arrive through it
  ReadinessSet m_readiness;
  int m_readiness_error = 0;  // why the readiness set could not be made

  std::mutex m_mutex;  // guards the three below, never held across a system call or a callback
  std::vector<std::shared_ptr<FetchOrder>> m_inbox;
  std::vector<FetchReport> m_outbox;
  bool m_stopping = false;
  std::thread m_thread;
  std::atomic<bool> m_idle{false};  // the loop waits with no exchange running
  bool m_wake_posted = false;       // the owner's: a wake-up waits for its turn to end

  // The loop thread's own.
  FetchLine m_line;
  std::unordered_map<uint64_t, std::unique_ptr<Exchange>> m_exchanges;  // by key
  std::set<std::pair<Clock::time_point, uint64_t>> m_deadlines;         // each exchange's one
  Clock::time_point m_handed;                      // when reports were last handed over
  std::vector<FetchReport> m_finished;             // reports not handed over yet
  std::vector<std::unique_ptr<Exchange>> m_ended;  // to be closed once the next have started
  uint64_t m_next_key = 0;
  std::size_t m_lookups = 0;  // exchanges whose host name is being looked up
};
