#include "platform/file_saver.h"

#include <QObject>
#include <algorithm>

FileSaver::FileSaver(Done done)
    : m_done(std::move(done)),
      m_context(std::make_unique<QObject>()),
      m_thread([this] { Run(); }) {}

FileSaver::~FileSaver() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_one();
  m_thread.join();
}

void FileSaver::Save(const std::string& path, std::string bytes, mode_t mode) {
  {
    std::lock_guard lock(m_mutex);
    auto same = std::find_if(m_jobs.begin(), m_jobs.end(),
                             [&](const Job& job) { return job.path == path; });
    if (same != m_jobs.end()) {
      same->bytes = std::move(bytes);
      same->mode = mode;
    } else {
      m_jobs.push_back({path, std::move(bytes), mode});
    }
  }
  m_wake.notify_one();
}

void FileSaver::Flush() {
  std::unique_lock lock(m_mutex);
  m_idle.wait(lock, [this] { return m_jobs.empty() && !m_busy; });
}

void FileSaver::Run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
    if (m_jobs.empty()) break;  // stopping, with everything written
    Job job = std::move(m_jobs.front());
    m_jobs.pop_front();
    m_busy = true;
    lock.unlock();
    AtomicWriteFailure failure;
    const bool ok = WriteFileAtomically(job.path, job.bytes, job.mode, failure);
    // Queued to the maker's thread; dropped by Qt if the saver is gone by then.
    QMetaObject::invokeMethod(
        m_context.get(),
        [this, path = std::move(job.path), ok, failure] { m_done(path, ok, failure); },
        Qt::QueuedConnection);
    lock.lock();
    m_busy = false;
    m_idle.notify_all();
  }
}
