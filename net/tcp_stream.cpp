#include "net/tcp_stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

TcpStream::~TcpStream() {
  Close(true);
}

int TcpStream::Start(in_addr address, uint16_t port, const char* data, int length, int& error) {
  Close(true);
  m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_handle < 0) {
    error = errno;
    return -1;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr = address;
  if (::connect(m_handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
      errno != EINPROGRESS) {
    error = errno;
    Close(false);
    return -1;
  }
  // A send while the handshake goes on fails with EAGAIN and costs one system call; a wait
  // for writability first would cost a wake-up on every link, where most handshakes are over.
  const int sent = Send(data, length, error);
  if (sent < 0) Close(false);
  return sent;
}

int TcpStream::Send(const char* data, int length, int& error) {
  ssize_t sent;
  do {
    sent = ::send(m_handle, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) return static_cast<int>(sent);
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  error = errno;
  // A connect that failed leaves its reason as the socket's pending error; a send may report
  // only that the connection is not there.
  int pending = 0;
  socklen_t size = sizeof pending;
  if (error == EPIPE && ::getsockopt(m_handle, SOL_SOCKET, SO_ERROR, &pending, &size) == 0 &&
      pending != 0) {
    error = pending;
  }
  return -1;
}

int TcpStream::Receive(char* buffer, int length) {
  return static_cast<int>(::recv(m_handle, buffer, static_cast<std::size_t>(length), 0));
}

void TcpStream::Close(bool abort) {
  if (m_handle < 0) return;
  if (abort) {
    const linger reset{1, 0};
    ::setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  ::close(m_handle);
  m_handle = -1;
}
