#include "http/get_url.h"

#include <sys/socket.h>
#include <chrono>

#include "http/get_request.h"
#include "net/socket.h"

namespace {

uint32_t Fail(char* buffer) {
  buffer[0] = '\0';
  return 0;
}

}  // namespace

uint32_t GetUrl(char* buffer, uint32_t size, const char* url) {
  if (size < 2) return Fail(buffer);
  buffer[0] = '\0';
  // The URL is taken apart in the caller's buffer, behind the empty string it returns.
  char* scratch = buffer + 1;
  GetRequest request;
  if (!PrepareGetRequest(scratch, size - 1, url, &request)) return Fail(buffer);

  CSocket socket;
  // Unbound: connect gives it any local address and a port of the system's choosing, one
  // system call sooner than binding to port 0 first.
  if (!socket.Socket(SOCK_STREAM, kEventAll)) return Fail(buffer);
  const int on = 1;
  socket.SetSockOpt(SOL_SOCKET, SO_DONTROUTE, &on, sizeof on);
  const linger no_linger{0, 0};
  socket.SetSockOpt(SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);

  // A silent host or an endless answer must not hold the window for ever.
  const auto start = std::chrono::steady_clock::now();
  socket.SetDeadline(start + std::chrono::milliseconds(kGetUrlConnectTimeoutMs));
  if (!socket.Connect(request.host, request.port)) {
    socket.Close();
    return Fail(buffer);
  }
  socket.SetDeadline(start + std::chrono::milliseconds(kGetUrlExchangeTimeoutMs));
  socket.Send(request.text, request.length);

  // What has arrived when the deadline passes counts as if the peer had closed.
  uint32_t received = 0;
  while (received < size) {
    int n = socket.Receive(buffer + received, static_cast<int>(size - received));
    if (n <= 0) break;
    received += static_cast<uint32_t>(n);
  }
  buffer[received] = '\0';
  socket.Close();
  return received;
}
