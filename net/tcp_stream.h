// One client TCP connection for a thread that runs an epoll loop of its own: a non-blocking
// socket whose request goes out with the connect where the kernel allows it, and a close that
// either ends the exchange as usual or gives it up at once. Owns its descriptor; the caller
// watches it for readiness. Used by one thread at a time.
#pragma once

#include <netinet/in.h>

#include <cstdint>

class TcpStream {
 public:
  TcpStream() = default;
  // Gives up an exchange still open, as Close(true) does.
  ~TcpStream();
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Starts connecting to `address`:`port` and sends as much of `data` as the socket takes at
  // once: all of it when the handshake has ended inside the connect, as it does on a local
  // link, so that no wake-up comes between the two. Returns the bytes sent (0 while the
  // handshake goes on), or -1 with `error` set (no socket; a connect that failed at once) and
  // nothing left open.
  int Start(in_addr address, uint16_t port, const char* data, int length, int& error);
  // Sends more of the request once the socket is writable: the bytes sent (0 while the
  // handshake goes on), or -1 with `error` set, the connect's own error when it failed.
  int Send(const char* data, int length, int& error);
  // One read: the bytes read, 0 when the peer has closed, -1 with errno set (EAGAIN: nothing
  // waits now).
  int Receive(char* buffer, int length);
  // Closes the connection; `abort` resets it at once, for an exchange given up on, so that
  // nothing of it lingers in the system. Safe when closed.
  void Close(bool abort);

  [[nodiscard]] int Handle() const { return m_handle; }

 private:
  int m_handle = -1;
};
