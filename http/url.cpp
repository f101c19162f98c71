#include "http/url.h"

#include "parse/text.h"

namespace {

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

bool Split(std::string_view url, UrlParts& parts) {
  std::string_view rest;
  if (StartsWithIgnoringCase(url, "http://")) {
    parts.scheme = "http";
    parts.port = 80;
    rest = url.substr(7);
  } else if (StartsWithIgnoringCase(url, "https://")) {
    parts.scheme = "https";
    parts.port = 443;
    rest = url.substr(8);
  } else {
    return false;
  }
  const std::size_t end = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, end);
  if (end != std::string_view::npos) parts.path = rest.substr(end);
  if (authority.find('@') != std::string_view::npos) return false;

  std::string_view host = authority;
  std::string_view port_text;
  bool has_port = false;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port_text = after.substr(1);
      has_port = true;
    }
    for (const char c : host) {
      if (!IsHostCharacter(c) && c != ':') return false;
    }
    parts.ipv6 = true;
  } else {
    if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port_text = authority.substr(colon + 1);
      has_port = true;
    }
    for (const char c : host) {
      if (!IsHostCharacter(c)) return false;
    }
  }
  if (host.empty()) return false;
  if (has_port && !port_text.empty() && !ParsePortNumber(port_text, parts.port)) return false;
  parts.host = host;
  return true;
}

}  // namespace

bool SplitUrl(std::string_view url, UrlParts& parts) {
  parts = UrlParts{};
  if (Split(url, parts)) return true;
  parts = UrlParts{};
  return false;
}

PageHome DevicePage(std::string_view sender, std::string_view location, std::string_view page,
                    UrlParts& parts) {
  if (!SplitUrl(page, parts)) return PageHome::kNone;
  if (parts.ipv6 || parts.host != sender) return PageHome::kForeignPage;
  UrlParts from;
  if (!SplitUrl(location, from) || from.ipv6 || from.host != sender) {
    return PageHome::kForeignDescription;
  }
  return PageHome::kOwn;
}

std::string HostAndPort(const UrlParts& parts) {
  const std::string host = parts.ipv6 ? "[" + parts.host + "]" : parts.host;
  return host + ':' + std::to_string(parts.port);
}
