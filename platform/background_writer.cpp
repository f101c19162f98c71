#include "platform/background_writer.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <thread>

// Shared with the thread, which keeps it alive when the writer leaves it behind.
struct BackgroundWriter::State {
  Sink sink;
  std::size_t max_waiting;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  std::deque<std::string> queue;
  std::size_t waiting = 0;  // bytes in the queue and in the write under way
  uint64_t dropped = 0;
  int error = 0;
  bool stop = false;
  bool finished = false;
};

namespace {

void Run(const std::shared_ptr<BackgroundWriter::State>& state) {
  // A reader that went away must end the writing, not the process.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->wake.wait(lock, [&] { return state->stop || !state->queue.empty(); });
    if (state->queue.empty()) break;
    const std::string text = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    const int error = state->sink(text);
    lock.lock();
    state->waiting -= text.size();
    if (error != 0) {
      state->error = error;
      state->dropped += state->queue.size();
      state->queue.clear();
      state->waiting = 0;
    }
    if (state->queue.empty()) state->idle.notify_all();
  }
  state->finished = true;
  state->idle.notify_all();
}

}  // namespace

BackgroundWriter::Sink BackgroundWriter::DescriptorSink(int fd) {
  return [fd](const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t count = write(fd, text.data() + done, text.size() - done);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) return count < 0 ? errno : EIO;
      done += static_cast<std::size_t>(count);
    }
    return 0;
  };
}

BackgroundWriter::BackgroundWriter(Sink sink, std::size_t max_waiting_bytes)
    : m_state(std::make_shared<State>()) {
  m_state->sink = std::move(sink);
  m_state->max_waiting = max_waiting_bytes;
  std::thread([state = m_state] { Run(state); }).detach();
}

BackgroundWriter::~BackgroundWriter() {
  std::unique_lock lock(m_state->mutex);
  m_state->stop = true;
  m_state->wake.notify_one();
  // Joined in effect when it finishes in time; otherwise it holds its own share of the state.
  m_state->idle.wait_for(lock, kLeaveAfter, [this] { return m_state->finished; });
}

bool BackgroundWriter::Write(std::string text) {
  {
    std::lock_guard lock(m_state->mutex);
    if (m_state->error != 0 || m_state->waiting + text.size() > m_state->max_waiting) {
      ++m_state->dropped;
      return false;
    }
    m_state->waiting += text.size();
    m_state->queue.push_back(std::move(text));
  }
  m_state->wake.notify_one();
  return true;
}

bool BackgroundWriter::Flush(std::chrono::milliseconds bound) {
  std::unique_lock lock(m_state->mutex);
  return m_state->idle.wait_for(lock, bound, [this] { return m_state->waiting == 0; });
}

uint64_t BackgroundWriter::Dropped() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->dropped;
}

int BackgroundWriter::Error() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->error;
}
