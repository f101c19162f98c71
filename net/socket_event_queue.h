// The per-thread table of live sockets and the first-in-first-out queue of their pending
// events. Handlers run to completion one at a time; while a blocking call waits, events are
// only appended, and the queue is drained once the handler that started the call returns.
// Handlers run back to back for a time slice, then the event loop runs before the next one;
// a handler that blocks past the slice's end ends it, and the loop runs at once. The clock
// that measures slices is borrowed and must outlive its use.
#pragma once

#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

class CAsyncSocket;
class MonotonicClock;

// How long handlers may run back to back before input and timers get their turn: short
// enough that nobody notices, long enough that a burst of answers is not taken one loop
// iteration per datagram, nor a thousand quick description fetches one list layout each.
inline constexpr int64_t kSocketSliceMs = 4;

struct SocketEvent {
  uint64_t serial;  // the socket's serial number, never reused
  unsigned kind;    // one SocketEventKind bit
  int error;
};

class SocketEventQueue {
 public:
  static SocketEventQueue& ForThisThread();

  void Register(CAsyncSocket* socket);
  void Unregister(CAsyncSocket* socket);
  [[nodiscard]] CAsyncSocket* Find(uint64_t serial) const;

  // Appends an event. A socket raises no further read event while one waits.
  void Append(CAsyncSocket* socket, unsigned kind, int error);
  // Hands queued events to their handlers in order, unless a blocking call is waiting: back
  // to back until a slice has passed, then the rest is left to a drain from the event loop.
  // A socket that is still readable after its handler queues its next read event behind the
  // others.
  void Drain();
  // For a socket's own notifier: a drain at once when its event is the only one queued, so
  // that a quiet discovery costs no extra loop turn; behind others, a drain from the loop.
  void DrainOne();
  // Arranges a drain from the event loop, after the current handler has returned.
  void ScheduleDrain();

  // Blocking calls bracket their waits with these.
  void EnterWait() {
    ++m_wait_depth;
    ++m_waits;
  }
  void LeaveWait();

  // The live sockets other than `except` that would raise a read event when readable: the
  // ones a blocking call watches itself, since notifiers are not dispatched while it waits.
  [[nodiscard]] std::vector<CAsyncSocket*> ReadWatchers(const CAsyncSocket* except) const;

  // The clock that measures slices; nullptr restores the host's steady clock.
  void SetClock(const MonotonicClock* clock) { m_clock = clock; }

 private:
  void Dispatch(const SocketEvent& event);

  std::unordered_map<uint64_t, CAsyncSocket*> m_live;
  std::deque<SocketEvent> m_queue;
  uint64_t m_next_serial = 1;
  int m_wait_depth = 0;
  // A zero timer, not a posted event: it fires once the window system's events are handled,
  // so input gets its turn between two socket events. Owned by the application object.
  QPointer<QTimer> m_drain_timer;
  uint64_t m_waits = 0;                     // blocking waits so far
  bool m_yielding = false;                  // letting input and timers run between two handlers
  const MonotonicClock* m_clock = nullptr;  // the host's steady clock when null

  friend class CAsyncSocket;
};
