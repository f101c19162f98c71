// One rule for taking a URL apart, beside the fetch's own request (http/get_request.h): the
// fetch pool's one-fetch-per-device key, the identity check of announcements and the agent's
// targets all read a URL's host and port this way; and the page rule that says whether a
// device's page is vouched for by the address it announced from. Pure text work; nothing is
// looked up.
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

// Where a device's page points, as the page rule judges it.
enum class PageHome : uint8_t {
  kNone,                // no http or https page address that SplitUrl takes
  kOwn,                 // the description came from the sender's own address and the page is on it
  kForeignPage,         // the page is on another host: a name, another address or another spelling
  kForeignDescription,  // the page is on the sender's address, but the description that names
                        // it came from elsewhere (or from a LOCATION not known)
};

// The page rule. A device that announced from `sender` (dotted IPv4) has `page` as its own
// only when the description naming it was fetched from `location` on exactly that address and
// the page is on exactly that address too: anyone can send an announcement from an address it
// does not hold, and have it point at a description that names any page. Exact text, so that
// "010.0.0.5" or a name is another host. kNone, kForeignPage, kForeignDescription or kOwn, in
// that order of precedence; `parts` is SplitUrl(page) (cleared for kNone).
PageHome DevicePage(std::string_view sender, std::string_view location, std::string_view page,
                    UrlParts& parts);

// "host:port" of `parts`, an IPv6 host in brackets: what a prober is pointed at.
std::string HostAndPort(const UrlParts& parts);
