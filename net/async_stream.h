// A TCP connection driven by the event loop instead of blocking calls: a non-blocking connect
// (a name is looked up in the resolver's background first), then readiness callbacks. For
// fetches that many devices answer at once; the window's blocking calls stay in CSocket.
// Owns its handle, notifiers and look-up; destroying it ends everything at once, and no
// callback runs after that. Single-threaded, on the loop's thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;
class QTimer;
struct PendingLookup;

class AsyncStream final {
 public:
  // Called once when the connect has ended: 0 when connected, else the error (errno value,
  // kErrInvalidArgument for a name that does not resolve).
  using Connected = std::function<void(int error)>;
  // Called whenever bytes (or the peer's close) wait to be read.
  using Readable = std::function<void()>;

  AsyncStream();
  ~AsyncStream();
  AsyncStream(const AsyncStream&) = delete;
  AsyncStream& operator=(const AsyncStream&) = delete;

  // Starts connecting to `host` (dotted form, or a name) and `port`. `connected` runs later,
  // never from inside this call. False, with nothing started, when no socket can be made.
  bool Connect(const std::string& host, uint16_t port, Connected connected, Readable readable);
  // Non-blocking send of all `length` bytes: false when the socket could not take them at once
  // (a request of a few hundred bytes always fits a fresh connection's buffer).
  bool Send(const char* data, int length);
  // One non-blocking read: bytes read, 0 when the peer has closed, -1 when nothing waits
  // (errno EAGAIN) or on error (errno set).
  int Receive(char* buffer, int length);
  // Ends the connection and stops every callback.
  void Close();

 private:
  void StartConnect(in_addr address);
  void PollLookup();
  void Finish(int error);

  int m_handle = -1;
  uint16_t m_port = 0;
  Connected m_connected;
  Readable m_readable;
  std::unique_ptr<QSocketNotifier> m_write_notifier;
  std::unique_ptr<QSocketNotifier> m_read_notifier;
  std::unique_ptr<PendingLookup> m_lookup;
  std::unique_ptr<QTimer> m_lookup_timer;
  std::unique_ptr<QTimer> m_later;
};
