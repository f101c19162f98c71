// The TLS port's connections from their accept to their first byte, before QSslServer sees
// them: a TLS handshake record goes on to the server, which owns the descriptor from then on;
// anything else (plain HTTP to the wrong port) gets the one-line 400 that says to use https,
// as Go's servers answer it; a connection that says nothing within kRequestDeadlineMs is
// closed. At most kMaxGreetings wait at once; a newcomer beyond them takes the place of the
// oldest waiting connection of the address with the most of them. Every refusal is counted
// under its reason in the agent's counters. Descriptors not yet handed on are this gate's,
// closed when it goes. Single-threaded, on the agent's event loop.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "agent/http_counters.h"
#include "platform/clock.h"

class QSocketNotifier;

class TlsGreeting final : public QObject {
 public:
  // Hands a descriptor whose first byte opens a TLS handshake on; that byte is still unread.
  using HandOn = std::function<void(qintptr handle)>;

  TlsGreeting(HttpCounters& counters, HandOn hand_on, QObject* parent = nullptr);
  ~TlsGreeting() override;
  TlsGreeting(const TlsGreeting&) = delete;
  TlsGreeting& operator=(const TlsGreeting&) = delete;

  // Takes `handle`, just accepted, until its first byte shows what it speaks.
  void Wait(qintptr handle);

 private:
  struct Greeting {
    int fd = -1;
    QHostAddress peer;
    int64_t since_ms = 0;
    bool answered = false;  // got the 400; its request is drained until it closes
    std::unique_ptr<QSocketNotifier> notifier;
  };
  using Entry = std::list<Greeting>::iterator;

  void OnReadable(Entry entry);
  // Drops `entry`; its descriptor is closed unless it was handed on.
  void Drop(Entry entry, bool close_fd);
  void Sweep();
  void MakeRoom(const QHostAddress& newcomer);

  HttpCounters& m_counters;
  HandOn m_hand_on;
  SteadyClock m_clock;
  std::list<Greeting> m_waiting;  // oldest first
  QTimer m_sweep;
};
