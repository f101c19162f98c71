#include "net/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>

#include "net/pending_lookup.h"
#include "net/socket_error.h"
#include "net/socket_event_queue.h"
#include "platform/error_text.h"

namespace {

using WaitClock = std::chrono::steady_clock;

// Slice of one poll while waiting, so that painting keeps up.
constexpr int kPaintSliceMs = 15;

// Marks the object as inside a blocking call for the call's whole length.
class BlockingScope {
 public:
  explicit BlockingScope(bool& flag) : m_flag(flag) { m_flag = true; }
  ~BlockingScope() { m_flag = false; }
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  bool& m_flag;
};

// A name look-up the resolver carries on in the background. One that is given up while the
// resolver still works on it must stay alive until the resolver is done with it.

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

CSocket::~CSocket() {
  if (IsOpen()) Close();
}

void CSocket::OnClosedWhileWaiting() {
  if (m_blocking) m_closed_while_waiting = true;
}

void CSocket::SetDeadline(WaitClock::time_point deadline) {
  m_has_deadline = true;
  m_deadline = deadline;
}

void CSocket::ClearDeadline() {
  m_has_deadline = false;
}

CSocket::WaitResult CSocket::WaitFor(short poll_events) {
  SocketEventQueue& queue = SocketEventQueue::ForThisThread();
  queue.EnterWait();
  const auto tick = WaitClock::now() + std::chrono::milliseconds(kWaitTickMs);
  auto last_paint = WaitClock::now();  // the event loop has just been free
  WaitResult result;
  for (;;) {
    if (m_closed_while_waiting || !IsOpen()) {
      result = WaitResult::kClosed;
      break;
    }
    const auto now = WaitClock::now();
    if (m_has_deadline && now >= m_deadline) {
      result = WaitResult::kDeadline;
      break;
    }
    if (now >= tick) {
      result = WaitResult::kTick;
      break;
    }
    auto until = tick;
    if (m_has_deadline && m_deadline < until) until = m_deadline;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    int timeout = static_cast<int>(left < kPaintSliceMs ? left : kPaintSliceMs);

    std::vector<CAsyncSocket*> watchers = queue.ReadWatchers(this);
    std::vector<pollfd> fds;
    fds.reserve(watchers.size() + 1);
    fds.push_back({Handle(), poll_events, 0});
    for (CAsyncSocket* other : watchers) fds.push_back({other->Handle(), POLLIN, 0});
    int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready > 0) {
      // Other sockets' readiness is kept for their handlers, in the order seen.
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents != 0) queue.Append(watchers[i - 1], kEventRead, 0);
      }
      if (fds[0].revents != 0) {
        result = WaitResult::kReady;
        break;
      }
    }
    // Painting only: no input, no timers, no socket notifiers. Posted events do run, and a
    // drain they ask for is put off by the queue while this wait lasts. Once a slice is
    // enough: other sockets' readiness can wake the poll far more often than a screen shows.
    if (WaitClock::now() - last_paint >= std::chrono::milliseconds(kPaintSliceMs)) {
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                      QEventLoop::ExcludeSocketNotifiers |
                                      QEventLoop::X11ExcludeTimers);
      last_paint = WaitClock::now();
    }
  }
  queue.LeaveWait();
  return result;
}

CSocket::LookupResult CSocket::LookUp(const char* host, in_addr* address) {
  if (inet_pton(AF_INET, host, address) == 1) return LookupResult::kFound;
  ForgetFinishedLookups();
  auto lookup = std::make_unique<PendingLookup>(host);
  gaicb* list[] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) return LookupResult::kNotFound;

  // A slow resolver must not hold the window: paint while it works, stop at the deadline.
  SocketEventQueue& queue = SocketEventQueue::ForThisThread();
  queue.EnterWait();
  WaitResult given_up = WaitResult::kReady;
  while (gai_error(&lookup->request) == EAI_INPROGRESS) {
    if (m_closed_while_waiting || !IsOpen()) {
      given_up = WaitResult::kClosed;
    } else if (m_has_deadline && WaitClock::now() >= m_deadline) {
      given_up = WaitResult::kDeadline;
    }
    if (given_up != WaitResult::kReady) break;
    const timespec slice{0, kPaintSliceMs * 1000000L};
    gai_suspend(list, 1, &slice);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers |
                                    QEventLoop::X11ExcludeTimers);
  }
  queue.LeaveWait();

  if (given_up != WaitResult::kReady) {
    AbandonLookup(std::move(lookup));
    WaitFailed(given_up);
    return LookupResult::kGivenUp;
  }
  const addrinfo* found = lookup->request.ar_result;
  if (gai_error(&lookup->request) != 0 || found == nullptr) return LookupResult::kNotFound;
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  return LookupResult::kFound;
}

bool CSocket::WaitFailed(WaitResult result) {
  switch (result) {
    case WaitResult::kClosed:
      SetLastSocketError(kErrInterrupted);
      return true;
    case WaitResult::kDeadline:
      SetLastSocketError(kErrTimedOut);
      return true;
    default:
      return false;
  }
}

bool CSocket::Connect(const char* host, uint16_t port) {
  if (RefuseNested()) return false;
  BlockingScope scope(m_blocking);
  m_closed_while_waiting = false;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  if (host == nullptr) {
    SetLastSocketError(kErrInvalidArgument);
    return false;
  }
  switch (LookUp(host, &peer.sin_addr)) {
    case LookupResult::kFound:
      break;
    case LookupResult::kNotFound:
      SetLastSocketError(kErrInvalidArgument);
      return false;
    case LookupResult::kGivenUp:
      return false;  // WaitFailed has set the reason
  }
  if (::connect(Handle(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
    m_connect_error = 0;
    return true;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    m_connect_error = errno;
    SetLastSocketError(errno);
    return false;
  }
  // The connect event: the socket turns writable (or fails) when the attempt ends. The
  // wake-up ticks only make it look again.
  for (;;) {
    WaitResult result = WaitFor(POLLOUT);
    if (WaitFailed(result)) return false;
    if (result == WaitResult::kReady) break;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(Handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  m_connect_error = error;
  if (error != 0) {
    SetLastSocketError(error);
    return false;
  }
  return true;
}

template <typename Attempt>
int CSocket::RunBlocking(short poll_events, Attempt attempt) {
  for (;;) {
    if (!IsOpen()) {
      SetLastSocketError(EBADF);
      return -1;
    }
    ssize_t n = attempt();
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (!WouldBlock(errno)) {
      SetLastSocketError(errno);
      return -1;
    }
    if (WaitFailed(WaitFor(poll_events))) return -1;
  }
}

bool CSocket::RefuseNested() {
  if (!m_blocking) return false;
  SetLastSocketError(kErrInProgress);
  return true;
}

int CSocket::Send(const void* data, int length) {
  if (RefuseNested()) return 0;
  BlockingScope scope(m_blocking);
  m_closed_while_waiting = false;
  const char* bytes = static_cast<const char*>(data);
  int sent = 0;
  while (sent < length) {
    int n = RunBlocking(POLLOUT, [&] {
      return ::send(Handle(), bytes + sent, static_cast<std::size_t>(length - sent),
                    MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (n < 0) return -1;
    sent += n;
  }
  return sent;
}

int CSocket::Receive(void* buffer, int length) {
  if (RefuseNested()) return 0;
  BlockingScope scope(m_blocking);
  m_closed_while_waiting = false;
  return RunBlocking(POLLIN, [&] {
    return ::recv(Handle(), buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
  });
}

int CSocket::ReceiveFrom(void* buffer, int length, sockaddr_in* sender) {
  if (RefuseNested()) return 0;
  BlockingScope scope(m_blocking);
  m_closed_while_waiting = false;
  sockaddr_in from{};
  iovec part{buffer, static_cast<std::size_t>(length)};
  msghdr message{};
  int n = RunBlocking(POLLIN, [&] {
    message = msghdr{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    return ::recvmsg(Handle(), &message, MSG_DONTWAIT);
  });
  if (n < 0) return -1;
  if (sender != nullptr) *sender = from;
  if (message.msg_flags & MSG_TRUNC) {
    SetLastSocketError(EMSGSIZE);
    return -1;
  }
  return n;
}

int CSocket::ReceiveWaiting(WaitingDatagram* batch, int count) {
  if (RefuseNested()) return 0;
  if (count > kMaxBatch) count = kMaxBatch;
  mmsghdr messages[kMaxBatch];
  iovec parts[kMaxBatch];
  for (int i = 0; i < count; ++i) {
    parts[i].iov_base = batch[i].buffer;
    parts[i].iov_len = static_cast<std::size_t>(batch[i].capacity);
    batch[i].sender = sockaddr_in{};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &batch[i].sender;
    messages[i].msg_hdr.msg_namelen = sizeof batch[i].sender;
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int taken =
      ::recvmmsg(Handle(), messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  if (taken < 0) {
    if (WouldBlock(errno) || errno == EINTR) return 0;
    SetLastSocketError(errno);
    return -1;
  }
  for (int i = 0; i < taken; ++i) {
    batch[i].too_long = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    batch[i].length = static_cast<int>(messages[i].msg_len);
  }
  return taken;
}

int CSocket::SendTo(const void* data, int length, const sockaddr_in& destination) {
  if (RefuseNested()) return -1;
  BlockingScope scope(m_blocking);
  m_closed_while_waiting = false;
  return RunBlocking(POLLOUT, [&] {
    return ::sendto(Handle(), data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  });
}
