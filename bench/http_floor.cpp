// tarovue-bench-http-floor: the least a client must spend on N description fetches. Reads
// URLs (http://host[:port]/path), one a line, from standard input, then fetches each of them
// in turn the way the dialog does, one connection per request, reading until the server
// closes. Prints one line: "http_floor: exchanges=N ok=K bytes=B seconds=S".
//
// With --search it first sends the search Tarovue sends, and the clock starts with it: the
// devices then answer while the loop runs, as they do while a front end fetches. A simulator
// serves descriptions and answers searches from one thread, so a loop against an idle one
// would be faster than any client can be.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ssdp/ssdp_protocol.h"

namespace {

struct Target {
  sockaddr_in address{};
  std::string request;
};

// False for anything but http://a.b.c.d[:port][/path].
bool ParseUrl(const std::string& url, Target& target) {
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  const std::size_t host_start = scheme.size();
  std::size_t slash = url.find('/', host_start);
  if (slash == std::string::npos) slash = url.size();
  std::string host = url.substr(host_start, slash - host_start);
  int port = 80;
  if (const std::size_t colon = host.find(':'); colon != std::string::npos) {
    port = std::atoi(host.c_str() + colon + 1);
    host.resize(colon);
  }
  target.address.sin_family = AF_INET;
  target.address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &target.address.sin_addr) != 1) return false;
  const std::string path = slash < url.size() ? url.substr(slash + 1) : std::string();
  target.request = "GET /" + path + " HTTP/1.1\r\n\r\n";
  return true;
}

// Bytes received until the server closed, or -1 when the exchange failed.
long Exchange(const Target& target) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  long total = -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target.address), sizeof target.address) == 0 &&
      send(fd, target.request.data(), target.request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(target.request.size())) {
    total = 0;
    char buffer[8192];
    for (;;) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n < 0) {
        total = -1;
        break;
      }
      if (n == 0) break;
      total += n;
    }
  }
  close(fd);
  return total;
}

// Sends one search for the indicators to the SSDP group and returns the socket, which stays
// open so that the answers have somewhere to go; -1 on failure.
int SendSearch() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // As large as the front ends ask for: the answers are queued, not dropped.
  const int buffer_size = kSocketReceiveBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer_size, sizeof buffer_size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  }
  char request[kSearchRequestArea];
  const int length = FormatSearchRequest(request, sizeof request, SEARCH_TARGET);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kSsdpPort);
  inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
  if (sendto(fd, request, static_cast<std::size_t>(length), 0,
             reinterpret_cast<const sockaddr*>(&group), sizeof group) != length) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
  const bool search = argc == 2 && std::strcmp(argv[1], "--search") == 0;
  if (argc > 2 || (argc == 2 && !search)) {
    std::fputs("Usage: tarovue-bench-http-floor [--search] < URLS\n", help ? stdout : stderr);
    return help ? 0 : 2;
  }
  std::vector<Target> targets;
  for (std::string line; std::getline(std::cin, line);) {
    if (line.empty()) continue;
    Target target;
    if (!ParseUrl(line, target)) {
      std::fprintf(stderr, "tarovue-bench-http-floor: not an http://address URL: %s\n",
                   line.c_str());
      return 2;
    }
    targets.push_back(std::move(target));
  }
  int search_socket = -1;
  if (search && (search_socket = SendSearch()) < 0) {
    std::perror("tarovue-bench-http-floor: search");
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  long ok = 0, bytes = 0;
  for (const Target& target : targets) {
    const long n = Exchange(target);
    if (n > 0) {
      ++ok;
      bytes += n;
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (search_socket >= 0) close(search_socket);
  std::printf("http_floor: exchanges=%zu ok=%ld bytes=%ld seconds=%.6f\n", targets.size(), ok,
              bytes, elapsed.count());
  return ok == static_cast<long>(targets.size()) ? 0 : 1;
}
