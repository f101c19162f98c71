// The socket layer: ties system sockets to the thread's event loop. A CAsyncSocket turns
// readiness into calls of its virtual handlers on the loop's thread, one at a time and in
// arrival order, through one first-in-first-out queue per thread (SocketEventQueue). Each
// socket object owns its handle and notifier; the queue refers to sockets by a serial number
// that is never reused, so events for a closed socket are dropped even when the system hands
// its handle number to a new socket. Single-threaded: every call comes from the loop's thread.
#pragma once

#include <sys/socket.h>
#include <cstdint>
#include <memory>

class QSocketNotifier;

// Event kinds, as bits.
enum SocketEventKind : unsigned {
  kEventRead = 1,
  kEventWrite = 2,
  kEventOutOfBand = 4,
  kEventAccept = 8,
  kEventConnect = 16,
  kEventClose = 32,
  kEventAll = 63,
};

class CAsyncSocket {
 public:
  CAsyncSocket();
  virtual ~CAsyncSocket();
  CAsyncSocket(const CAsyncSocket&) = delete;
  CAsyncSocket& operator=(const CAsyncSocket&) = delete;

  // Creates an IPv4 socket of `type` (SOCK_DGRAM or SOCK_STREAM), asks for `events` and
  // binds it to `address` (dotted form; nullptr for any) and `port` (0: the system chooses).
  // False with the reason in the last-error value; a failed bind closes the socket again.
  bool Create(uint16_t port, int type, unsigned events, const char* address = nullptr);
  // As Create, without the bind.
  bool Socket(int type, unsigned events);
  // False with the last-error value set; kErrInvalidArgument for an address not in dotted form.
  bool Bind(uint16_t port, const char* address);
  // False with the last-error value set.
  bool SetSockOpt(int level, int name, const void* value, socklen_t length);

  // Ends a blocking call of this object (it fails with kErrInterrupted), stops its events and
  // closes the handle. Events still queued for it are ignored. Safe on a closed socket.
  virtual void Close();

  [[nodiscard]] int Handle() const { return m_handle; }
  [[nodiscard]] bool IsOpen() const { return m_handle >= 0; }
  [[nodiscard]] int Type() const { return m_type; }

  // Handlers, called from the event queue with the event's error code (0: none).
  virtual void OnReceive(int error) { (void)error; }
  virtual void OnSend(int error) { (void)error; }
  virtual void OnOutOfBandData(int error) { (void)error; }
  virtual void OnAccept(int error) { (void)error; }
  virtual void OnConnect(int error) { (void)error; }
  virtual void OnClose(int error) { (void)error; }

 protected:
  // Hook for CSocket: a blocking call of this object must end because it was closed.
  virtual void OnClosedWhileWaiting() {}

 private:
  friend class SocketEventQueue;
  void EnableReadNotifier(bool enable);

  int m_handle = -1;
  int m_type = 0;
  unsigned m_events = 0;
  uint64_t m_serial = 0;
  // A read event waits in the queue, or its handler runs: the socket's readiness is taken
  // care of, and a notifier that reports it again meanwhile is turned off until then.
  bool m_read_queued = false;
  bool m_in_read_handler = false;
  bool m_at_end = false;  // a stream whose peer has closed raises no more read events
  std::unique_ptr<QSocketNotifier> m_read_notifier;
};
