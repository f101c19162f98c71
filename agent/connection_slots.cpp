#include "agent/connection_slots.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QHash>
#include <QSslSocket>
#include <QTcpSocket>
#include <algorithm>
#include <functional>
#include <tuple>

#include "agent/agent_protocol.h"

namespace {

constexpr char kTooLarge[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

}  // namespace

ConnectionGuard::ConnectionGuard(QTcpSocket* socket, QSslSocket* tls, ConnectionSlots& pool)
    : QObject(socket),
      m_socket(socket),
      m_tls(tls),
      m_slots(&pool),
      m_peer(socket->peerAddress()),
      m_order(pool.NextOrder()) {
  // Qt reads no further ahead of the parser: a client that pipelines without end is held
  // back by its own TCP window, not by our memory.
  socket->setReadBufferSize(kReadBufferBytes);
  m_deadline.setSingleShot(true);
  // A coarse timer may fire 5 % early: a request whole after 9.6 s is within its deadline.
  m_deadline.setTimerType(Qt::PreciseTimer);
  m_quiet.setSingleShot(true);
  m_answer_deadline.setSingleShot(true);
  connect(&m_answer_deadline, &QTimer::timeout, this, [this] { ForgetSent(); });
  connect(&m_deadline, &QTimer::timeout, this, [this] {
    Cut(m_tls != nullptr && !m_encrypted ? ConnectionCut::kTlsHandshake
                                         : ConnectionCut::kRequestTimeout);
  });
  connect(&m_quiet, &QTimer::timeout, this, [this] { OnQuiet(); });
  // Connected before QHttpServer's reader (which connects once the socket is pending), so
  // this sees every arrival before the parser takes it.
  connect(socket, &QIODevice::readyRead, this, [this] { OnReadyRead(); });
  if (tls != nullptr) {
    connect(tls, &QSslSocket::encryptedBytesWritten, this, [this] { OnWritten(); });
    connect(tls, &QSslSocket::encrypted, this, [this] { m_encrypted = true; });
    m_in_request = true;
    m_deadline.start(kRequestDeadlineMs);
  } else {
    connect(socket, &QIODevice::bytesWritten, this, [this] { OnWritten(); });
    m_quiet.start(kIdleTimeoutMs);
  }
}

ConnectionGuard::~ConnectionGuard() {
  // The socket is being destroyed: only our own state may be touched here.
  if (m_cut || m_slots == nullptr) return;
  // QSslServer drops plain HTTP and failed handshakes without a word: count them here.
  if (m_tls != nullptr && !m_encrypted) m_slots->Counters().Cut(ConnectionCut::kTlsHandshake);
  m_slots->Forget(this);
}

void ConnectionGuard::Cut(ConnectionCut reason) {
  if (m_cut) return;
  m_cut = true;
  m_deadline.stop();
  m_quiet.stop();
  m_answer_deadline.stop();
  m_held.clear();
  if (m_slots != nullptr) {
    m_slots->Counters().Cut(reason);
    m_slots->Forget(this);
  }
  // Bytes still queued for a client that does not take them would keep the kernel sending
  // them, and the closing after them, to a window that never opens: a reset ends it at once,
  // and tells the client.
  const int fd = static_cast<int>(m_socket->socketDescriptor());
  int queued = 0;
  if (fd >= 0 && (Unsent() > 0 || (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0))) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  m_socket->abort();
  m_socket->deleteLater();
}

void ConnectionGuard::OnReadyRead() {
  if (m_cut || m_closing || (m_tls != nullptr && !m_encrypted)) return;
  const int64_t available = m_socket->bytesAvailable();
  if (available <= 0) return;
  // The parser takes every buffered byte unless it completes a request, and RequestDone says
  // what it left: what is beyond that arrived since.
  m_request_bytes += std::max<int64_t>(0, available - m_counted_available);
  m_counted_available = 0;
  if (!m_in_request) {
    m_in_request = true;
    m_deadline.start(kRequestDeadlineMs);
    // The deadline rules now; the quiet timer only watches answers still going out.
    if (Unsent() == 0 && m_held.empty()) m_quiet.stop();
  }
  if (m_request_bytes > kMaxRequestHeadBytes) RefuseOversized();
}

void ConnectionGuard::RefuseOversized() {
  // The parser must not see these bytes: it would keep them all.
  QObject::disconnect(m_socket, &QIODevice::readyRead, nullptr, nullptr);
  if (m_socket->isTransactionStarted()) m_socket->rollbackTransaction();
  m_socket->readAll();
  m_closing = true;
  m_held.clear();
  m_deadline.stop();
  if (m_slots != nullptr) {
    m_slots->Counters().Cut(ConnectionCut::kHeadTooLarge);
    ++m_slots->Counters().answers[431];
  }
  m_socket->write(kTooLarge);
  m_socket->disconnectFromHost();
  // A client that does not take even this answer is cut when the quiet timer runs out.
  m_quiet.start(kIdleTimeoutMs);
}

void ConnectionGuard::RequestDone() {
  m_in_request = false;
  m_answered = true;
  m_deadline.stop();
  m_request_bytes = 0;
  m_counted_available = m_socket->bytesAvailable();
  if (m_slots != nullptr) m_order = m_slots->NextOrder();
  m_quiet.start(kIdleTimeoutMs);
}

void ConnectionGuard::Answer(std::function<int64_t()> write) {
  if (m_cut || m_closing) return;
  if (!m_held.empty() || BackedUp()) {
    if (m_held.size() >= static_cast<std::size_t>(kMaxHeldRequests)) {
      Cut(ConnectionCut::kBacklog);
      return;
    }
    m_held.push_back({0, std::move(write)});
    return;
  }
  Write(write);
}

uint64_t ConnectionGuard::Defer() {
  if (m_cut || m_closing) return 0;
  if (m_held.size() >= static_cast<std::size_t>(kMaxHeldRequests)) {
    Cut(ConnectionCut::kBacklog);
    return 0;
  }
  m_held.push_back({++m_last_ticket, {}});
  return m_last_ticket;
}

void ConnectionGuard::Resolve(uint64_t ticket, std::function<int64_t()> write) {
  const auto held = std::find_if(m_held.begin(), m_held.end(),
                                 [ticket](const Held& h) { return h.ticket == ticket; });
  if (m_cut || held == m_held.end()) return;
  held->write = std::move(write);
  ReleaseHeld();
}

void ConnectionGuard::Write(const std::function<int64_t()>& write) {
  const int64_t size = write();
  if (size <= 0) return;
  m_written += size;
  m_answer_ends.push_back(m_written);
  m_answer_starts.push_back(m_slots != nullptr ? m_slots->NowMs() : 0);
  m_quiet.start(kIdleTimeoutMs);
  if (!m_answer_deadline.isActive()) m_answer_deadline.start(kAnswerDeadlineMs);
}

void ConnectionGuard::ForgetSent() {
  if (m_cut) return;
  // With TLS the unsent bytes are partly ciphertext, a little longer than the answers: an
  // answer counts as sent a little late, never early.
  const int64_t sent = m_written - Unsent();
  while (!m_answer_ends.empty() && m_answer_ends.front() <= sent) {
    m_answer_ends.pop_front();
    m_answer_starts.pop_front();
  }
  if (m_answer_starts.empty() || m_slots == nullptr) {
    m_answer_deadline.stop();
    return;
  }
  // A client that takes a few bytes now and then keeps the quiet timer away, never this one.
  const int64_t left = m_answer_starts.front() + kAnswerDeadlineMs - m_slots->NowMs();
  if (left <= 0) {
    Cut(ConnectionCut::kAnswerTimeout);
    return;
  }
  m_answer_deadline.start(static_cast<int>(left));
}

void ConnectionGuard::OnWritten() {
  if (m_cut) return;
  m_quiet.start(kIdleTimeoutMs);
  ForgetSent();
  if (m_cut) return;
  ReleaseHeld();
  // Drained: what others hold back for want of room overall may go now.
  if (m_slots != nullptr && Unsent() == 0) m_slots->ReleaseSoon();
}

void ConnectionGuard::ReleaseHeld() {
  // A loop, not a recursion: each answer written may be the one that backs it up again.
  while (!m_held.empty() && m_held.front().write && !m_cut && !BackedUp()) {
    const std::function<int64_t()> write = std::move(m_held.front().write);
    m_held.pop_front();
    Write(write);
  }
}

void ConnectionGuard::OnQuiet() {
  if (m_cut) return;
  if (Unsent() == 0 && !m_held.empty()) {
    // Held back only for the others' unsent answers, which are sent or cut within this
    // time: not this client's fault.
    m_quiet.start(kIdleTimeoutMs);
  } else if (Unsent() > 0 || !m_held.empty()) {
    Cut(ConnectionCut::kWriteStalled);
  } else if (m_closing) {
    Cut(ConnectionCut::kWriteStalled);
  } else if (!m_in_request) {
    // Idle between requests: an ordinary end, not counted.
    m_socket->disconnectFromHost();
  }
}

int64_t ConnectionGuard::Unsent() const {
  return m_socket->bytesToWrite() + (m_tls != nullptr ? m_tls->encryptedBytesToWrite() : 0);
}

bool ConnectionGuard::BackedUp() {
  ForgetSent();
  if (m_cut) return true;
  // No address holds most of what all may leave unsent: others' answers still go out.
  return m_answer_ends.size() >= static_cast<std::size_t>(kMaxUnsentAnswers) ||
         Unsent() >= kMaxUnsentBytes ||
         (m_slots != nullptr && (m_slots->UnsentOf(m_peer) >= kMaxUnsentBytesPerPeer ||
                                 m_slots->Unsent() >= kMaxUnsentBytesTotal));
}

bool ConnectionGuard::Evictable() const {
  return !m_cut && m_held.empty() && Unsent() == 0;
}

ConnectionSlots::ConnectionSlots(HttpCounters& counters) : m_counters(counters) {
  m_release.setSingleShot(true);
  m_release.setInterval(0);
  QObject::connect(&m_release, &QTimer::timeout, &m_release, [this] {
    // A copy: writing may close a connection, and its guard leaves the list.
    const std::vector<ConnectionGuard*> open = m_open;
    for (ConnectionGuard* guard : open) {
      if (std::find(m_open.begin(), m_open.end(), guard) != m_open.end()) guard->ReleaseHeld();
    }
  });
}

ConnectionSlots::~ConnectionSlots() {
  for (ConnectionGuard* guard : m_open) guard->m_slots = nullptr;
}

bool ConnectionSlots::Admit(QTcpSocket* socket, QSslSocket* tls) {
  if (m_open.size() >= static_cast<std::size_t>(kMaxConnections)) {
    ConnectionGuard* victim = Victim(socket->peerAddress());
    if (victim == nullptr) {
      m_counters.Cut(ConnectionCut::kFull);
      socket->abort();
      socket->deleteLater();
      return false;
    }
    victim->Cut(ConnectionCut::kEvicted);
  }
  m_open.push_back(new ConnectionGuard(socket, tls, *this));
  return true;
}

ConnectionGuard* ConnectionSlots::GuardOf(const QTcpSocket* socket) const {
  const auto found = std::find_if(m_open.begin(), m_open.end(), [socket](const ConnectionGuard* g) {
    return g->m_socket == socket;
  });
  return found == m_open.end() ? nullptr : *found;
}

void ConnectionSlots::Forget(ConnectionGuard* guard) {
  m_open.erase(std::remove(m_open.begin(), m_open.end(), guard), m_open.end());
  ReleaseSoon();
}

int64_t ConnectionSlots::Unsent() const {
  int64_t unsent = 0;
  for (const ConnectionGuard* guard : m_open) unsent += guard->Unsent();
  return unsent;
}

int64_t ConnectionSlots::UnsentOf(const QHostAddress& peer) const {
  int64_t unsent = 0;
  for (const ConnectionGuard* guard : m_open) {
    if (guard->m_peer == peer) unsent += guard->Unsent();
  }
  return unsent;
}

ConnectionGuard* ConnectionSlots::Victim(const QHostAddress& newcomer) const {
  // An attacker that reconnects at once makes every eviction the cause of the next: an
  // address at its share makes room only among its own idle connections, or is refused, so
  // that such a storm costs nobody else a slot and no answer is rendered twice. Taking the
  // oldest first leaves a newcomer the whole round of the others to send its request.
  QHash<QHostAddress, int> per_peer;
  for (const ConnectionGuard* guard : m_open) ++per_peer[guard->m_peer];
  const auto worst = [this](const std::function<bool(const ConnectionGuard&)>& eligible,
                            bool busiest_first, const QHash<QHostAddress, int>& counts) {
    ConnectionGuard* victim = nullptr;
    std::tuple<int, bool, bool, uint64_t> worst_rank{};
    for (ConnectionGuard* guard : m_open) {
      if (guard->m_cut || !eligible(*guard)) continue;
      // Larger is worse: more connections from the peer, nothing to send, no whole request
      // yet, older.
      const std::tuple<int, bool, bool, uint64_t> rank{
          busiest_first ? counts.value(guard->m_peer) : 0, guard->Evictable(), !guard->m_answered,
          ~guard->m_order};
      if (victim == nullptr || rank > worst_rank) {
        victim = guard;
        worst_rank = rank;
      }
    }
    return victim;
  };
  // The busiest other address beyond its share, and busier than the newcomer's, yields first.
  QHostAddress busiest;
  int most = 0;
  for (auto it = per_peer.cbegin(); it != per_peer.cend(); ++it) {
    if (it.key() != newcomer && it.value() > most) {
      busiest = it.key();
      most = it.value();
    }
  }
  const int own = per_peer.value(newcomer);
  if (most > kPeerShare && most > own) {
    return worst([&](const ConnectionGuard& g) { return g.m_peer == busiest; }, false, per_peer);
  }
  if (own >= kPeerShare) {
    return worst([&](const ConnectionGuard& g) { return g.m_peer == newcomer && g.Evictable(); },
                 false, per_peer);
  }
  return worst([](const ConnectionGuard& g) { return g.Evictable(); }, true, per_peer);
}
