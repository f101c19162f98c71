// Private test networks for end-to-end tests: two network namespaces, "client" and
// "devices", joined by a veth pair with multicast routed over it; nothing reaches the host's
// own network. Building one needs root (ip netns add). The object owns both namespaces and
// every process it spawned; its destructor kills those processes and deletes the
// namespaces, also when the test failed. Not thread-safe; use it from the test's thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testnet {

enum class Side { kClient, kDevices };

class PrivateNetwork {
 public:
  // Builds the network. Check ok(): on failure error() says why (for GTEST_SKIP).
  PrivateNetwork();
  ~PrivateNetwork();
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  [[nodiscard]] bool ok() const { return m_ok; }
  [[nodiscard]] const std::string& error() const { return m_error; }

  // Dotted address of that side's veth end: 10.231.X.1 (client) and 10.231.X.2 (devices).
  [[nodiscard]] std::string Address(Side side) const;
  // Name of the namespace, as `ip netns exec NAME` takes it.
  [[nodiscard]] std::string Namespace(Side side) const;
  // Name of the veth end inside that namespace ("tvc0" or "tvd0").
  [[nodiscard]] std::string Interface(Side side) const;

  // Adds `count` consecutive addresses from 10.232.0.2 to the devices side (a /16 of its
  // own, so up to 65532 of them) and routes that /16 from the client side, for simulators
  // that give every device its own address. Returns the first address, or an empty text
  // with error() set. Call it once per network.
  std::string AddDeviceAddresses(int count);

  // Moves the calling thread into that side's namespace; sockets it creates afterwards live
  // there. Returns false (thread unchanged) on failure.
  bool Enter(Side side);
  // Moves the calling thread back to where it was before the first Enter. Returns false when
  // it could not; a thread that never entered stays where it is and gets true.
  bool Leave();

  // Starts argv[0] (searched in PATH) with its arguments inside that side's namespace, its
  // stdout and stderr going to a log that Output() reads. Returns the process id, or -1
  // (with error() set) when it could not be started.
  pid_t Spawn(Side side, const std::vector<std::string>& argv);
  // Everything the process wrote so far (stdout and stderr interleaved).
  [[nodiscard]] std::string Output(pid_t pid) const;
  // Waits until the process's output contains `text`. Returns false after timeout_ms, or
  // as soon as the process has ended without writing it.
  bool WaitForOutput(pid_t pid, const std::string& text, int timeout_ms);
  // Sends SIGTERM and reaps the process, killing it after timeout_ms. Returns its exit
  // status, 128 + signal number when a signal ended it, or -1 for an unknown pid.
  int Stop(pid_t pid, int timeout_ms = 5000);
  // Waits for the process to end by itself. Returns the status as Stop() does, or -1 when it
  // is still running after timeout_ms (it is left running) or the pid is unknown.
  int Wait(pid_t pid, int timeout_ms);

 private:
  struct Child {
    std::string log_path;
    bool reaped = false;
    int status = 0;
  };
  bool Build();
  bool RunIp(const std::vector<std::string>& args);
  void Teardown();
  bool Reap(pid_t pid, Child& child, bool block);

  bool m_ok = false;
  std::string m_error;
  std::string m_ns[2];
  std::string m_if[2];
  std::string m_addr[2];
  std::string m_log_dir;
  int m_home_ns = -1;  // the test thread's namespace before Enter()
  bool m_built[2] = {false, false};
  std::map<pid_t, Child> m_children;
};

}  // namespace testnet
