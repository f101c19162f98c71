// Saves files atomically (platform/atomic_file.h) from a thread of its own, so that a disk
// flush never stalls the event loop. Saves of one path that queue up while the disk is busy
// are merged: only the newest contents are written. Each result is handed back on the
// thread that made the saver, from its event loop. Owns its thread; destroying the saver
// writes what is still queued first.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/atomic_file.h"

class QObject;

class FileSaver final {
 public:
  // `done` hears of every save that was written or failed (`ok` false with `failure`).
  using Done = std::function<void(const std::string& path, bool ok, AtomicWriteFailure failure)>;

  explicit FileSaver(Done done);
  ~FileSaver();
  FileSaver(const FileSaver&) = delete;
  FileSaver& operator=(const FileSaver&) = delete;

  // Queues `bytes` for `path`, replacing contents for it that still wait.
  void Save(const std::string& path, std::string bytes, mode_t mode);
  // Waits until everything queued so far is on disk (results are still handed back later).
  void Flush();

 private:
  struct Job {
    std::string path;
    std::string bytes;
    mode_t mode;
  };
  void Run();

  Done m_done;
  std::unique_ptr<QObject> m_context;  // results are posted to it, on the maker's thread
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_idle;
  std::deque<Job> m_jobs;
  bool m_busy = false;
  bool m_stop = false;
  std::thread m_thread;
};
