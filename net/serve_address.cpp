#include "net/serve_address.h"

#include <arpa/inet.h>

#include "parse/text.h"

bool ParseServeAddress(const std::string& text, ServeAddress& address, std::string& error) {
  error.clear();
  const std::size_t colon = text.rfind(':');
  std::string host = colon == std::string::npos ? kServeDefaultAddress : text.substr(0, colon);
  const std::string port_text = colon == std::string::npos ? text : text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    error = "needs an IPv6 address in brackets: [ADDRESS]:PORT";
    return false;
  }
  uint16_t port = 0;
  if (!ParsePortNumber(port_text, port)) {
    error = "needs a port from 1 to 65535";
    return false;
  }
  unsigned char parsed[sizeof(in6_addr)];
  if (inet_pton(AF_INET, host.c_str(), parsed) != 1 &&
      inet_pton(AF_INET6, host.c_str(), parsed) != 1) {
    error = "needs a numeric address before the colon (or a bare port for " +
            std::string(kServeDefaultAddress) + ")";
    return false;
  }
  address.host = host;
  address.port = port;
  return true;
}
