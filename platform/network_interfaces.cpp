#include "platform/network_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

bool ListIpv4Interfaces(std::vector<InterfaceEntry>& entries) {
  entries.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    const char* name = it->ifa_name != nullptr ? it->ifa_name : "";
    // An alias's label ("eth0:1") still names its link here: the kernel reads the index
    // up to the colon.
    entries.push_back({in->sin_addr.s_addr, (it->ifa_flags & IFF_UP) != 0,
                       (it->ifa_flags & IFF_LOOPBACK) != 0, name, if_nametoindex(name),
                       (it->ifa_flags & IFF_RUNNING) != 0});
  }
  freeifaddrs(list);
  return true;
}

bool ProbeDatagramSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

uint32_t SourceAddressFor(uint32_t destination) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  // Connecting a datagram socket only asks the routing table; nothing is sent.
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = destination;
  sockaddr_in from{};
  socklen_t length = sizeof from;
  uint32_t source = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&from), &length) == 0) {
    source = from.sin_addr.s_addr;
  }
  close(fd);
  return source;
}
