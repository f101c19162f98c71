#include "http/get_request.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstring>
#include <string_view>

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

// No spaces, no control bytes: text that can stand in a request line as one word.
bool IsRequestSafe(const char* text) {
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    if (byte <= ' ' || byte == 0x7F) return false;
  }
  return true;
}

}  // namespace

bool PrepareGetRequest(char* scratch, uint32_t scratch_size, const char* url, GetRequest* out) {
  assert(scratch_size >= 1);
  *out = GetRequest{};
  CopyText(scratch, scratch_size, url);

  SplitCursor cursor(scratch);
  const char* scheme = cursor.Next("://");
  if (scheme == nullptr || !TextEquals(scheme, "http")) return false;
  char* authority = cursor.Next("/");
  if (authority == nullptr) return false;
  const char* path = cursor.Position();

  SplitCursor host_cursor(authority);
  const char* host = host_cursor.Next(":");
  // An empty host has nobody to connect to.
  if (host == nullptr || host[0] == '\0') return false;
  const char* port_text = host_cursor.Position();
  const uint16_t port = port_text[0] != '\0' ? ParsePort(port_text) : kDefaultHttpPort;

  // A LOCATION comes from the network: a line break, space or control byte in the path
  // would let it write lines of its own into the request.
  if (!IsRequestSafe(path) || !IsRequestSafe(host)) return false;

  // "GET /%s HTTP/1.1\r\n\r\n", put together by hand: it is formatted for every announcement.
  static constexpr std::string_view kStart = "GET /";
  static constexpr std::string_view kEnd = " HTTP/1.1\r\n\r\n";
  const std::size_t path_length = std::strlen(path);
  const std::size_t length = kStart.size() + path_length + kEnd.size();
  // A path that does not fit is refused rather than sent cut short.
  if (length >= sizeof out->text) {
    *out = GetRequest{};
    return false;
  }
  char* p = out->text;
  p = std::copy(kStart.begin(), kStart.end(), p);
  p = std::copy(path, path + path_length, p);
  p = std::copy(kEnd.begin(), kEnd.end(), p);
  *p = '\0';
  out->host = host;
  out->port = port;
  out->length = static_cast<int>(length);
  return true;
}
