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
