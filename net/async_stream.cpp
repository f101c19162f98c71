#include "net/async_stream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>

#include "net/pending_lookup.h"
#include "platform/error_text.h"

namespace {

// How often a running name look-up is looked at.
constexpr int kLookupPollMs = 10;

}  // namespace

AsyncStream::AsyncStream() = default;

AsyncStream::~AsyncStream() {
  Close();
}

bool AsyncStream::Connect(const std::string& host, uint16_t port, Connected connected,
                          Readable readable) {
  Close();
  m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_handle < 0) return false;
  // An unanswered connection must not linger in the system after we give up on it.
  const linger no_linger{1, 0};
  ::setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);
  m_port = port;
  m_connected = std::move(connected);
  m_readable = std::move(readable);
  m_later = std::make_unique<QTimer>();
  m_later->setSingleShot(true);

  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    StartConnect(address);
    return true;
  }
  ForgetFinishedLookups();
  m_lookup = std::make_unique<PendingLookup>(host.c_str());
  gaicb* list[] = {&m_lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    m_lookup.reset();
    QObject::connect(m_later.get(), &QTimer::timeout, [this] { Finish(kErrInvalidArgument); });
    m_later->start(0);
    return true;
  }
  m_lookup_timer = std::make_unique<QTimer>();
  QObject::connect(m_lookup_timer.get(), &QTimer::timeout, [this] { PollLookup(); });
  m_lookup_timer->start(kLookupPollMs);
  return true;
}

void AsyncStream::PollLookup() {
  if (gai_error(&m_lookup->request) == EAI_INPROGRESS) return;
  m_lookup_timer.reset();
  const addrinfo* found = m_lookup->request.ar_result;
  const bool resolved = gai_error(&m_lookup->request) == 0 && found != nullptr;
  in_addr address{};
  if (resolved) address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  m_lookup.reset();
  if (!resolved) {
    Finish(kErrInvalidArgument);
    return;
  }
  StartConnect(address);
}

void AsyncStream::StartConnect(in_addr address) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(m_port);
  peer.sin_addr = address;
  const int rc = ::connect(m_handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  if (rc == 0 || errno != EINPROGRESS) {
    // Settled at once (loopback may do that): report it from the loop, never from Connect.
    const int result = rc == 0 ? 0 : errno;
    QObject::connect(m_later.get(), &QTimer::timeout, [this, result] { Finish(result); });
    m_later->start(0);
    return;
  }
  m_write_notifier = std::make_unique<QSocketNotifier>(m_handle, QSocketNotifier::Write);
  QObject::connect(m_write_notifier.get(), &QSocketNotifier::activated, [this] {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    Finish(error);
  });
}

void AsyncStream::Finish(int error) {
  m_write_notifier.reset();
  if (error == 0) {
    m_read_notifier = std::make_unique<QSocketNotifier>(m_handle, QSocketNotifier::Read);
    QObject::connect(m_read_notifier.get(), &QSocketNotifier::activated, [this] {
      if (m_readable) m_readable();  // may destroy this stream: nothing after it
    });
  }
  Connected connected = std::move(m_connected);
  m_connected = nullptr;
  if (connected) connected(error);  // may destroy this stream: nothing after it
}

bool AsyncStream::Send(const char* data, int length) {
  const ssize_t sent = ::send(m_handle, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  return sent == length;
}

int AsyncStream::Receive(char* buffer, int length) {
  const ssize_t n = ::recv(m_handle, buffer, static_cast<std::size_t>(length), 0);
  return static_cast<int>(n);
}

void AsyncStream::Close() {
  m_write_notifier.reset();
  m_read_notifier.reset();
  m_lookup_timer.reset();
  m_later.reset();
  if (m_lookup) AbandonLookup(std::move(m_lookup));
  m_connected = nullptr;
  m_readable = nullptr;
  if (m_handle >= 0) ::close(m_handle);
  m_handle = -1;
}
