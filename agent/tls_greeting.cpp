#include "agent/tls_greeting.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QHash>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "agent/agent_protocol.h"

namespace {

// How often deadlines are looked at, and how long a client that got the 400 may take to close
// before its connection is closed on it.
constexpr int kSweepMs = 250;
constexpr int kLingerMs = 2'000;

QHostAddress PeerOf(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

}  // namespace

TlsGreeting::TlsGreeting(HttpCounters& counters, HandOn hand_on, QObject* parent)
    : QObject(parent), m_counters(counters), m_hand_on(std::move(hand_on)) {
  m_sweep.setInterval(kSweepMs);
  connect(&m_sweep, &QTimer::timeout, this, [this] { Sweep(); });
}

TlsGreeting::~TlsGreeting() {
  while (!m_waiting.empty()) Drop(m_waiting.begin(), true);
}

void TlsGreeting::Wait(qintptr handle) {
  const int fd = static_cast<int>(handle);
  const QHostAddress peer = PeerOf(fd);
  if (m_waiting.size() >= static_cast<std::size_t>(kMaxGreetings)) MakeRoom(peer);
  m_waiting.push_back(Greeting{fd, peer, m_clock.NowMs(), false, nullptr});
  const Entry entry = std::prev(m_waiting.end());
  // A child as well: one whose deferred deletion is still pending goes with the gate.
  entry->notifier = std::make_unique<QSocketNotifier>(handle, QSocketNotifier::Read, this);
  connect(entry->notifier.get(), &QSocketNotifier::activated, this,
          [this, entry] { OnReadable(entry); });
  if (!m_sweep.isActive()) m_sweep.start();
}

void TlsGreeting::MakeRoom(const QHostAddress& newcomer) {
  // The address with the most waiting gives up its oldest: a flood of silent connections
  // pushes out its own.
  QHash<QHostAddress, int> per_peer;
  for (const Greeting& g : m_waiting) ++per_peer[g.peer];
  ++per_peer[newcomer];
  Entry victim = m_waiting.end();
  int most = 0;
  for (Entry it = m_waiting.begin(); it != m_waiting.end(); ++it) {
    if (per_peer.value(it->peer) > most) {
      most = per_peer.value(it->peer);
      victim = it;
    }
  }
  if (victim == m_waiting.end()) victim = m_waiting.begin();
  m_counters.Cut(ConnectionCut::kEvicted);
  Drop(victim, true);
}

void TlsGreeting::OnReadable(Entry entry) {
  char byte = 0;
  if (entry->answered) {
    // Draining the request of a client that got the 400, so that closing sends no reset that
    // could overtake the answer.
    char discard[4096];
    const ssize_t n = ::recv(entry->fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      Drop(entry, true);
    }
    return;
  }
  const ssize_t n = ::recv(entry->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    // Closed or failed before a word: an abandoned handshake.
    m_counters.Cut(ConnectionCut::kTlsHandshake);
    Drop(entry, true);
    return;
  }
  if (byte == kTlsHandshakeRecord) {
    const int fd = entry->fd;
    // Our notifier goes before QSslServer makes its own on the same descriptor.
    Drop(entry, false);
    m_hand_on(fd);
    return;
  }
  m_counters.Cut(ConnectionCut::kTlsHandshake);
  // A fresh connection's send buffer takes these few bytes whole.
  [[maybe_unused]] const ssize_t sent =
      ::send(entry->fd, kPlainHttpOnTlsAnswer, std::strlen(kPlainHttpOnTlsAnswer),
             MSG_DONTWAIT | MSG_NOSIGNAL);
  ::shutdown(entry->fd, SHUT_WR);
  entry->answered = true;
  entry->since_ms = m_clock.NowMs();
}

void TlsGreeting::Drop(Entry entry, bool close_fd) {
  // Disabled before its descriptor is closed or handed on, and deleted later: this may run
  // inside the notifier's own signal.
  entry->notifier->setEnabled(false);
  entry->notifier.release()->deleteLater();
  if (close_fd) ::close(entry->fd);
  m_waiting.erase(entry);
  if (m_waiting.empty()) m_sweep.stop();
}

void TlsGreeting::Sweep() {
  const int64_t now = m_clock.NowMs();
  for (Entry it = m_waiting.begin(); it != m_waiting.end();) {
    const Entry next = std::next(it);
    if (it->answered && now - it->since_ms >= kLingerMs) {
      Drop(it, true);
    } else if (!it->answered && now - it->since_ms >= kRequestDeadlineMs) {
      m_counters.Cut(ConnectionCut::kTlsHandshake);
      Drop(it, true);
    }
    it = next;
  }
}
