#include "http/get_url.h"

#include <sys/socket.h>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "net/socket.h"
#include "parse/split_cursor.h"
#include "parse/text.h"

namespace {

constexpr uint16_t kDefaultHttpPort = 80;

// The port as a C library would read it: leading white space, a sign, the leading digits
// (none: 0); only the low 16 bits count.
uint16_t ParsePort(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint32_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<uint32_t>(*text - '0');
  if (negative) value = 0u - value;
  return static_cast<uint16_t>(value & 0xFFFFu);
}

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
  CopyText(scratch, size - 1, url);

  SplitCursor cursor(scratch);
  const char* scheme = cursor.Next("://");
  if (scheme == nullptr || !TextEquals(scheme, "http")) return Fail(buffer);
  char* authority = cursor.Next("/");
  if (authority == nullptr) return Fail(buffer);
  const char* path = cursor.Position();

  SplitCursor host_cursor(authority);
  const char* host = host_cursor.Next(":");
  // An empty host has nobody to connect to.
  if (host == nullptr || host[0] == '\0') return Fail(buffer);
  const char* port_text = host_cursor.Position();
  uint16_t port = port_text[0] != '\0' ? ParsePort(port_text) : kDefaultHttpPort;

  char request[kGetUrlRequestArea];
  int length = std::snprintf(request, sizeof request, "GET /%s HTTP/1.1\r\n\r\n", path);
  // A path that does not fit is refused rather than sent cut short.
  if (length < 0 || length >= static_cast<int>(sizeof request)) return Fail(buffer);

  CSocket socket;
  if (!socket.Create(0, SOCK_STREAM, kEventAll)) return Fail(buffer);
  const int on = 1;
  socket.SetSockOpt(SOL_SOCKET, SO_DONTROUTE, &on, sizeof on);
  const linger no_linger{0, 0};
  socket.SetSockOpt(SOL_SOCKET, SO_LINGER, &no_linger, sizeof no_linger);

  // A silent host or an endless answer must not hold the window for ever.
  const auto start = std::chrono::steady_clock::now();
  socket.SetDeadline(start + std::chrono::milliseconds(kGetUrlConnectTimeoutMs));
  if (!socket.Connect(host, port)) {
    socket.Close();
    return Fail(buffer);
  }
  socket.SetDeadline(start + std::chrono::milliseconds(kGetUrlExchangeTimeoutMs));
  socket.Send(request, length);

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
