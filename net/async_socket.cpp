#include "net/async_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>
#include <cerrno>

#include <QSocketNotifier>

#include "net/socket_error.h"
#include "net/socket_event_queue.h"
#include "platform/error_text.h"

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() {
  if (IsOpen()) CAsyncSocket::Close();
}

bool CAsyncSocket::Create(uint16_t port, int type, unsigned events, const char* address) {
  if (!Socket(type, events)) return false;
  if (Bind(port, address)) return true;
  int error = GetLastSocketError();
  Close();
  SetLastSocketError(error);
  return false;
}

bool CAsyncSocket::Socket(int type, unsigned events) {
  if (IsOpen()) Close();
  int handle = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (handle < 0) {
    SetLastSocketError(errno);
    return false;
  }
  m_handle = handle;
  m_type = type;
  m_events = events;
  m_read_queued = false;
  m_in_read_handler = false;
  m_at_end = false;
  SocketEventQueue& queue = SocketEventQueue::ForThisThread();
  queue.Register(this);
  if (events & (kEventRead | kEventAccept | kEventClose)) {
    m_read_notifier = std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Read);
    QObject::connect(m_read_notifier.get(), &QSocketNotifier::activated, [this] {
      // A waiting datagram raises one event, not a flood. The notifier is turned off only when
      // it reports readiness that is already taken care of: turning it off and on again for
      // every datagram would cost a busy discovery two event loop updates a datagram.
      if (m_read_queued || m_in_read_handler) {
        EnableReadNotifier(false);
        return;
      }
      SocketEventQueue& q = SocketEventQueue::ForThisThread();
      q.Append(this, kEventRead, 0);
      q.DrainOne();  // may destroy this socket: nothing after it
    });
  }
  return true;
}

bool CAsyncSocket::Bind(uint16_t port, const char* address) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (address != nullptr && inet_pton(AF_INET, address, &local.sin_addr) != 1) {
    SetLastSocketError(kErrInvalidArgument);
    return false;
  }
  if (::bind(m_handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    SetLastSocketError(errno);
    return false;
  }
  return true;
}

bool CAsyncSocket::SetSockOpt(int level, int name, const void* value, socklen_t length) {
  if (::setsockopt(m_handle, level, name, value, length) != 0) {
    SetLastSocketError(errno);
    return false;
  }
  return true;
}

void CAsyncSocket::Close() {
  if (!IsOpen()) return;
  OnClosedWhileWaiting();
  m_read_notifier.reset();
  SocketEventQueue::ForThisThread().Unregister(this);
  ::close(m_handle);
  m_handle = -1;
}

void CAsyncSocket::EnableReadNotifier(bool enable) {
  if (m_read_notifier) m_read_notifier->setEnabled(enable && !m_at_end);
}
