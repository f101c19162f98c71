#include "net/socket_event_queue.h"

#include <poll.h>
#include <sys/socket.h>
#include <cerrno>

#include <QCoreApplication>

#include "net/async_socket.h"
#include "platform/clock.h"

namespace {

constexpr short kReadable = POLLIN | POLLHUP | POLLERR;

// Whether a read would return at once (data, end of stream or an error), taking nothing.
bool IsReadable(int handle) {
  pollfd probe{handle, POLLIN, 0};
  return ::poll(&probe, 1, 0) > 0 && (probe.revents & kReadable) != 0;
}

}  // namespace

SocketEventQueue& SocketEventQueue::ForThisThread() {
  thread_local SocketEventQueue queue;
  return queue;
}

void SocketEventQueue::Register(CAsyncSocket* socket) {
  socket->m_serial = m_next_serial++;
  m_live[socket->m_serial] = socket;
}

void SocketEventQueue::Unregister(CAsyncSocket* socket) {
  m_live.erase(socket->m_serial);
  // Nothing can be delivered any more: forget what is still queued.
  if (m_live.empty()) m_queue.clear();
}

CAsyncSocket* SocketEventQueue::Find(uint64_t serial) const {
  auto it = m_live.find(serial);
  return it == m_live.end() ? nullptr : it->second;
}

void SocketEventQueue::Append(CAsyncSocket* socket, unsigned kind, int error) {
  if (kind == kEventRead) socket->m_read_queued = true;
  m_queue.push_back({socket->m_serial, kind, error});
}

void SocketEventQueue::Drain() {
  if (m_wait_depth != 0 || m_queue.empty() || m_yielding) return;
  static const SteadyClock steady;
  const MonotonicClock& clock = m_clock != nullptr ? *m_clock : steady;
  const int64_t slice_end = clock.NowMs() + kSocketSliceMs;
  const uint64_t waits = m_waits;
  // A handler that blocked for a moment (a description fetched from a quick device) does not
  // end the slice: a turn of the loop after each would cost the dialog a layout of its whole
  // list per device. One that blocked past the slice's end does.
  do {
    SocketEvent event = m_queue.front();
    m_queue.pop_front();
    Dispatch(event);
  } while (!m_queue.empty() && clock.NowMs() < slice_end);
  if (m_queue.empty()) return;
  if (m_waits != waits && QCoreApplication::instance() != nullptr) {
    // Input and timers waited for the blocking handler: they go first, before the next
    // socket event, which may block again. The loop's own timers cannot be relied on for
    // that: one that fires inside a long handler may be followed by the next at once.
    m_yielding = true;
    QCoreApplication::processEvents(QEventLoop::ExcludeSocketNotifiers);
    m_yielding = false;
  }
  // The rest from the loop, after the window system's events and the timers that are due: a
  // series of handlers that each block (one description fetch after another) never holds the
  // window for much more than one of them.
  ScheduleDrain();
}

void SocketEventQueue::DrainOne() {
  if (m_queue.size() == 1) {
    Drain();
  } else {
    ScheduleDrain();
  }
}

void SocketEventQueue::ScheduleDrain() {
  if (QCoreApplication::instance() == nullptr) return;
  if (m_drain_timer.isNull()) {
    m_drain_timer = new QTimer(QCoreApplication::instance());
    m_drain_timer->setSingleShot(true);
    QObject::connect(m_drain_timer.data(), &QTimer::timeout, [this] { Drain(); });
  }
  if (!m_drain_timer->isActive()) m_drain_timer->start(0);
}

void SocketEventQueue::LeaveWait() {
  --m_wait_depth;
  if (m_wait_depth == 0 && !m_queue.empty()) ScheduleDrain();
}

void SocketEventQueue::Dispatch(const SocketEvent& event) {
  CAsyncSocket* socket = Find(event.serial);
  if (socket == nullptr) return;  // closed since the event was queued
  const uint64_t serial = event.serial;
  // Readiness to read is the one kind the notifiers queue; blocking calls wait for the
  // others themselves.
  if (event.kind != kEventRead) return;
  socket->m_read_queued = false;
  // Look without taking anything: a pending error must stay for the handler's receive.
  pollfd probe{socket->Handle(), POLLIN, 0};
  ::poll(&probe, 1, 0);
  const bool deliver = event.error != 0 || (probe.revents & kReadable) != 0;
  if (deliver && !(probe.revents & POLLERR) && socket->Type() == SOCK_STREAM) {
    char byte;
    if (::recv(socket->Handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
      // The peer has closed: a close event, and no more read events for this stream.
      socket->m_at_end = true;
      socket->EnableReadNotifier(false);
      socket->OnClose(0);
      return;
    }
  }
  const int error = event.error;
  if (deliver) {
    socket->m_in_read_handler = true;
    socket->OnReceive(error);
  }
  // The handler may have closed or destroyed the socket.
  if (CAsyncSocket* still = Find(serial); still != nullptr) {
    still->m_in_read_handler = false;
    if (still->m_read_queued) return;
    // More waiting: its turn comes behind the events queued meanwhile, without a loop
    // iteration of its own; the notifier stays as it is until the socket runs dry.
    if (deliver && IsReadable(still->Handle())) {
      Append(still, kEventRead, 0);
    } else {
      still->EnableReadNotifier(true);
    }
  }
}

std::vector<CAsyncSocket*> SocketEventQueue::ReadWatchers(const CAsyncSocket* except) const {
  std::vector<CAsyncSocket*> watchers;
  for (const auto& [serial, socket] : m_live) {
    if (socket != except && socket->m_read_notifier && !socket->m_read_queued &&
        !socket->m_at_end) {
      watchers.push_back(socket);
    }
  }
  return watchers;
}
