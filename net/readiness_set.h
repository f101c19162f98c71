// The descriptors a thread with a loop of its own waits on, watched with epoll, and a wake-up
// that any thread may ring to end that thread's wait early. Owns the epoll and wake-up
// descriptors; the descriptors it watches stay their owners' (closing one leaves the set).
// Wait is for the one thread that runs the loop; Wake for any thread.
#pragma once

#include <sys/epoll.h>

#include <cstdint>

class ReadinessSet {
 public:
  ReadinessSet();
  ~ReadinessSet();
  ReadinessSet(const ReadinessSet&) = delete;
  ReadinessSet& operator=(const ReadinessSet&) = delete;

  // Whether the set could be made; when not, errno said why at construction and nothing
  // else works.
  [[nodiscard]] bool IsOpen() const { return m_epoll >= 0 && m_wake >= 0; }

  // Watches `fd` for `events` (EPOLLIN, EPOLLOUT, EPOLLRDHUP, EPOLLET...); Wait reports them
  // with `key`, which must not be kWakeKey. False with errno set.
  bool Watch(int fd, uint32_t events, uint64_t key);
  // Waits up to `timeout_ms` (-1: no bound) and fills `ready` with at most `capacity`
  // descriptors' keys and events; returns how many, 0 after a wake-up or the time-out.
  int Wait(epoll_event* ready, int capacity, int timeout_ms);
  // Ends the current or the next Wait. Any thread; wake-ups before a Wait make one.
  void Wake();

  static constexpr uint64_t kWakeKey = UINT64_MAX;

 private:
  int m_epoll = -1;
  int m_wake = -1;  // an eventfd
};
