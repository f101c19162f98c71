// One rule for taking a URL apart, beside the fetch's own request (http/get_request.h): the
// fetch pool's one-fetch-per-device key, the identity check of announcements and the agent's
// targets all read a URL's host and port this way. Pure text work; nothing is looked up.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct UrlParts {
  std::string scheme;  // "http" or "https", in lower case
  std::string host;    // as written; an IPv6 literal without its brackets; never empty
  uint16_t port = 0;   // the URL's port, or the scheme's (80, 443)
  std::string path;    // from the first '/', '?' or '#' after the host on; "" when none
  bool ipv6 = false;   // the host was written in brackets
};

// Splits an http or https URL (scheme in any case). True with `parts` filled; false with
// `parts` cleared for any other scheme, a URL with user information ("user@host", which the
// fetch refuses too), an empty host or one with characters no host name or address has, and
// a port that is not 1 to 65535 in decimal digits (an empty port means the scheme's).
bool SplitUrl(std::string_view url, UrlParts& parts);

// "host:port" of `parts`, an IPv6 host in brackets: what a prober is pointed at.
std::string HostAndPort(const UrlParts& parts);
