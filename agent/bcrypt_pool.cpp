#include "agent/bcrypt_pool.h"

#include <crypt.h>

#include <chrono>
#include <memory>

BcryptPool::BcryptPool(int threads, std::size_t max_queued) : m_max_queued(max_queued) {
  for (int i = 0; i < threads; ++i) m_threads.emplace_back([this] { Work(); });
}

BcryptPool::~BcryptPool() {
  {
    const std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_queue.clear();
  }
  m_wake.notify_all();
  for (std::thread& thread : m_threads) thread.join();
  // Completions already posted go with m_home: Qt drops events for an object destroyed.
}

bool BcryptPool::Submit(BcryptJob job, Done done) {
  {
    const std::lock_guard lock(m_mutex);
    if (m_queue.size() >= m_max_queued) return false;
    m_queue.push_back({std::move(job), std::move(done)});
  }
  m_wake.notify_one();
  return true;
}

void BcryptPool::Work() {
  // crypt_data is some 32 KiB: one per thread, never on a small stack.
  auto scratch = std::make_unique<crypt_data>();
  for (;;) {
    Item item;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
      if (m_stopping) return;
      item = std::move(m_queue.front());
      m_queue.pop_front();
    }
    const auto start = std::chrono::steady_clock::now();
    const bool match = RunBcryptJob(item.job, *scratch);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    // The password leaves this thread's memory with the job; only the verdict goes back.
    item.job = BcryptJob{};
    QMetaObject::invokeMethod(
        &m_home, [done = std::move(item.done), match, took] { done(match, took); },
        Qt::QueuedConnection);
  }
}
