// CSocket adds blocking operations to CAsyncSocket. A blocking call that would block waits
// for its socket with poll(), waking every kWaitTickMs to retry; meanwhile only painting
// goes on: input, timers and socket handlers wait, and readiness of other sockets is queued
// for their handlers, which run after the handler that started the call has returned.
// There is no overall limit unless the caller sets a deadline.
#pragma once

#include <netinet/in.h>
#include <chrono>

#include "net/async_socket.h"

// One slot of a batch receive: the caller sets where the datagram goes; the call fills in
// the rest.
struct WaitingDatagram {
  char* buffer = nullptr;
  int capacity = 0;       // bytes `buffer` can take
  int length = 0;         // bytes taken
  bool too_long = false;  // the datagram did not fit and was taken off cut
  sockaddr_in sender{};
};

class CSocket : public CAsyncSocket {
 public:
  // Largest batch ReceiveWaiting takes at once.
  static constexpr int kMaxBatch = 64;

  static constexpr int kWaitTickMs = 2000;

  CSocket() = default;
  ~CSocket() override;

  // A dotted address is used as it is; anything else is resolved as an IPv4 host name, within
  // the deadline when one is set. True once connected; false with the last-error value set
  // (kErrInvalidArgument when the name does not resolve, the connect's own error otherwise).
  bool Connect(const char* host, uint16_t port);
  // Sends every byte: the full length, or -1 on error.
  int Send(const void* data, int length);
  // One read: bytes read (possibly fewer than asked), 0 when the peer has closed, -1 on error.
  int Receive(void* buffer, int length);
  // One datagram of at most `length` bytes: its size, or -1 on error. A longer datagram is
  // taken off the socket and reported as -1 with EMSGSIZE.
  int ReceiveFrom(void* buffer, int length, sockaddr_in* sender);
  // The datagrams already waiting, up to `count` (at most kMaxBatch), in one system call and
  // without waiting for more: how many slots were filled, in arrival order (0 when none
  // waits, or while another blocking call of this object waits), or -1 with the last-error
  // value set when the first receive failed.
  int ReceiveWaiting(WaitingDatagram* batch, int count);
  // Bytes sent, or -1 on error.
  int SendTo(const void* data, int length, const sockaddr_in& destination);

  // Blocking calls that wait past this moment fail with kErrTimedOut.
  void SetDeadline(std::chrono::steady_clock::time_point deadline);
  void ClearDeadline();

  // Every blocking call refuses with kErrInProgress while another one of this object waits:
  // Connect, Send, Receive and ReceiveFrom then return 0, SendTo -1.

 protected:
  void OnClosedWhileWaiting() override;

 private:
  enum class WaitResult { kReady, kTick, kClosed, kDeadline };
  enum class LookupResult { kFound, kNotFound, kGivenUp };
  // A dotted address as it is, else the name's first IPv4 address from the resolver, which
  // works in the background while only painting goes on. kGivenUp (with the last-error value
  // set) when the socket is closed or the deadline passes first.
  LookupResult LookUp(const char* host, in_addr* address);
  WaitResult WaitFor(short poll_events);
  // Maps a wait that did not end in readiness to the last-error value; false if it did.
  bool WaitFailed(WaitResult result);
  // Repeats `attempt` (one non-blocking call: bytes, or -1 with errno) while it would block,
  // waiting for `poll_events` in between. Bytes, or -1 with the last-error value set.
  template <typename Attempt>
  int RunBlocking(short poll_events, Attempt attempt);
  // True, with kErrInProgress as the last error, while another blocking call waits.
  bool RefuseNested();

  bool m_blocking = false;
  bool m_closed_while_waiting = false;
  int m_connect_error = -1;
  bool m_has_deadline = false;
  std::chrono::steady_clock::time_point m_deadline{};
};
