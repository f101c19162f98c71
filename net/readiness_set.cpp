#include "net/readiness_set.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

ReadinessSet::ReadinessSet() {
  m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
  m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!IsOpen()) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeKey;
  if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event) != 0) {
    ::close(m_wake);
    m_wake = -1;
  }
}

ReadinessSet::~ReadinessSet() {
  if (m_wake >= 0) ::close(m_wake);
  if (m_epoll >= 0) ::close(m_epoll);
}

bool ReadinessSet::Watch(int fd, uint32_t events, uint64_t key) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = key;
  return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

int ReadinessSet::Wait(epoll_event* ready, int capacity, int timeout_ms) {
  int count = ::epoll_wait(m_epoll, ready, capacity, timeout_ms);
  if (count < 0) return 0;  // EINTR: the caller's loop looks at its deadlines and comes back
  for (int i = 0; i < count; ++i) {
    if (ready[i].data.u64 != kWakeKey) continue;
    uint64_t rings;
    (void)!::read(m_wake, &rings, sizeof rings);
    ready[i] = ready[--count];
    break;
  }
  return count;
}

void ReadinessSet::Wake() {
  const uint64_t one = 1;
  (void)!::write(m_wake, &one, sizeof one);
}
