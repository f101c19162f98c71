#include "tests/support/isolated_network.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool g_isolated = false;
std::string g_failure = "IsolateNetwork() was not called";

bool WriteFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

bool EnterNamespace(std::string* why) {
  if (unshare(CLONE_NEWNET) == 0) return true;
  // Without root: a user namespace of our own gives us the right to make one.
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    *why = std::string("unshare: ") + std::strerror(errno);
    return false;
  }
  WriteFile("/proc/self/setgroups", "deny");
  if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
    *why = "cannot map the user into the new namespace";
    return false;
  }
  return true;
}

}  // namespace

bool IsolateNetwork(std::string* why) {
  std::string reason;
  if (!EnterNamespace(&reason)) {
    g_failure = "no private network namespace: " + reason;
    if (why) *why = g_failure;
    return false;
  }
  const std::string setup = std::string(
                                "ip link set lo up && "
                                "ip link add tv0 type veth peer name tv1 && "
                                "ip addr add ") +
                            kHostA + "/24 dev tv0 && ip addr add " + kHostB +
                            "/24 dev tv1 && ip link set tv0 up && ip link set tv1 up && "
                            "ip route add 224.0.0.0/4 dev tv0";
  if (std::system((setup + " >/dev/null 2>&1").c_str()) != 0) {
    g_failure = "cannot set up the private network (is iproute2 installed?)";
    if (why) *why = g_failure;
    return false;
  }
  g_isolated = true;
  return true;
}

bool NetworkIsolated() {
  return g_isolated;
}
const std::string& IsolationFailure() {
  return g_failure;
}
