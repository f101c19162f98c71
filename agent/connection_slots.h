// The fleet agent's connections under limits, so that no client can hold up discovery or
// the next scrape: at most kMaxConnections open, of which one client address keeps at most
// kPeerShare once others need room; a deadline and a size bound for each request from its
// first byte, and one for each answer from its first byte; answers held back while a client
// does not read, or while its address holds its share of the unsent bytes. Each admitted
// socket gets a ConnectionGuard as its child, which dies with it; guards still alive when the
// slots go are detached from them. Single-threaded, on the agent's event loop.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "agent/http_counters.h"
#include "platform/clock.h"

class QSslSocket;
class QTcpSocket;
class ConnectionSlots;

// One admitted connection: its request deadline, its idle and write-progress timer, the
// bytes of its current request, and its answers not yet taken by the client.
class ConnectionGuard final : public QObject {
 public:
  ConnectionGuard(QTcpSocket* socket, QSslSocket* tls, ConnectionSlots& pool);
  ~ConnectionGuard() override;
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  // QHttpServer has read a whole request: its deadline ends, and what is still buffered
  // belongs to the next one.
  void RequestDone();
  // Runs `write`, which writes one answer and returns its size in bytes, now or, while the
  // client has kMaxUnsentAnswers or kMaxUnsentBytes not taken yet, once it has taken enough.
  // With kMaxHeldRequests held already, the connection is cut instead (kBacklog).
  void Answer(std::function<int64_t()> write);
  // Keeps the place of an answer not known yet (a login being checked), so that answers to
  // later requests wait behind it. Returns its ticket for Resolve, or 0 when the connection
  // is closing or was cut for holding too many (kBacklog).
  uint64_t Defer();
  // Gives the answer kept by `ticket` its `write`; it goes out in its turn.
  void Resolve(uint64_t ticket, std::function<int64_t()> write);
  // Closes the connection at once and counts it under `reason`; the socket is deleted later.
  void Cut(ConnectionCut reason);

 private:
  friend class ConnectionSlots;

  void OnReadyRead();
  void OnWritten();
  // Writes held answers while neither this client nor all together hold back too much.
  void ReleaseHeld();
  void OnQuiet();
  void RefuseOversized();
  void Write(const std::function<int64_t()>& write);
  // Forgets answers sent whole and aims the answer deadline at the oldest one still going out.
  void ForgetSent();
  // Bytes written by answers and not yet sent: in Qt's buffers, encrypted or not.
  [[nodiscard]] int64_t Unsent() const;
  // Forgets answers sent whole; true while this client, or all of them together, hold back
  // too much.
  bool BackedUp();
  // Whether the connection may make room for a newcomer: nothing of it waits to be sent.
  [[nodiscard]] bool Evictable() const;

  // An answer held back: its write, or none yet while its place is kept (Defer).
  struct Held {
    uint64_t ticket = 0;
    std::function<int64_t()> write;
  };

  QTcpSocket* m_socket;
  QSslSocket* m_tls;  // the same socket when it speaks TLS, else null
  ConnectionSlots* m_slots;
  QHostAddress m_peer;
  // Ends the current request (with TLS, from the connection's start: the handshake counts).
  QTimer m_deadline;
  // Ends a connection that is idle, or whose unsent answers make no progress.
  QTimer m_quiet;
  // Ends a connection whose oldest answer still going out was written kAnswerDeadlineMs ago.
  QTimer m_answer_deadline;
  bool m_in_request = false;
  bool m_answered = false;  // a whole request came in once
  bool m_encrypted = false;
  bool m_closing = false;  // refused; only the answer to that goes out
  bool m_cut = false;
  int64_t m_request_bytes = 0;
  int64_t m_counted_available = 0;    // buffered bytes already counted for an earlier request
  uint64_t m_order = 0;               // when admitted or last done with a request; smaller is older
  int64_t m_written = 0;              // answer bytes written since the connection opened
  std::deque<int64_t> m_answer_ends;  // m_written at the end of each answer not yet sent
  std::deque<int64_t> m_answer_starts;  // when each of them was written (monotonic ms)
  std::deque<Held> m_held;
  uint64_t m_last_ticket = 0;
};

class ConnectionSlots final {
 public:
  explicit ConnectionSlots(HttpCounters& counters);
  ~ConnectionSlots();
  ConnectionSlots(const ConnectionSlots&) = delete;
  ConnectionSlots& operator=(const ConnectionSlots&) = delete;

  // Takes `socket`, just accepted by one of the agent's servers (`tls`: the same socket, a
  // QSslSocket at the start of its handshake), under the limits. With every slot taken, one
  // connection makes room, in this order: one of another address that holds more than
  // kPeerShare and more than the newcomer's, even one being answered; for a newcomer whose
  // address holds kPeerShare already, one of its own that is not being answered (else the
  // newcomer is refused); else one not being answered, from the address with the most
  // connections. Among those, one that never sent a whole request goes before one that did,
  // the oldest first.
  // True with `socket` admitted; false when it was refused: `socket` is then closed and
  // deleted later.
  bool Admit(QTcpSocket* socket, QSslSocket* tls);

  // The guard of `socket`, or null for one that was not admitted or is cut.
  [[nodiscard]] ConnectionGuard* GuardOf(const QTcpSocket* socket) const;
  [[nodiscard]] std::size_t Open() const { return m_open.size(); }
  HttpCounters& Counters() { return m_counters; }

 private:
  friend class ConnectionGuard;

  void Forget(ConnectionGuard* guard);
  [[nodiscard]] ConnectionGuard* Victim(const QHostAddress& newcomer) const;
  uint64_t NextOrder() { return ++m_order; }
  [[nodiscard]] int64_t NowMs() const { return m_clock.NowMs(); }
  // Unsent answer bytes of every connection.
  [[nodiscard]] int64_t Unsent() const;
  // Unsent answer bytes of the connections from `peer`.
  [[nodiscard]] int64_t UnsentOf(const QHostAddress& peer) const;
  // Lets every connection write what it holds, from the event loop: room was made.
  void ReleaseSoon() { m_release.start(); }

  HttpCounters& m_counters;
  SteadyClock m_clock;
  std::vector<ConnectionGuard*> m_open;
  uint64_t m_order = 0;
  QTimer m_release;
};
