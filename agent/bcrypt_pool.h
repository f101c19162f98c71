// A small pool of threads that run the agent's bcrypt jobs, so that a login of any cost never
// stalls the event loop that reads SSDP and answers the other clients. The queue is bounded:
// a job beyond it is refused at once, not kept. Submit and the completions belong to the
// thread that made the pool (the event loop); the workers touch only the jobs they were
// handed. A pool that is destroyed drops the jobs it has not finished, without completing them.
#pragma once

#include <QObject>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/basic_auth.h"

class BcryptPool final {
 public:
  // Whether the password matched, and how long the job's runs took in milliseconds.
  using Done = std::function<void(bool match, std::int64_t took_ms)>;

  BcryptPool(int threads, std::size_t max_queued);
  ~BcryptPool();
  BcryptPool(const BcryptPool&) = delete;
  BcryptPool& operator=(const BcryptPool&) = delete;

  // Queues `job`; `done` is called later from the event loop of the pool's thread. False when
  // max_queued jobs wait already: nothing is queued and `done` is never called.
  bool Submit(BcryptJob job, Done done);

 private:
  struct Item {
    BcryptJob job;
    Done done;
  };
  void Work();

  QObject m_home;  // lives on the pool's thread: completions are delivered through it
  std::size_t m_max_queued;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Item> m_queue;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};
