#include "tests/net/private_network.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testnet {
namespace {

constexpr const char kNetnsDir[] = "/run/netns/";
constexpr const char kPrefix[] = "tvnet-";
// Per-device addresses live in a /16 apart from the /24 of the veth ends.
constexpr const char kSpreadNet[] = "10.232.0.0/16";
constexpr int kSpreadFirstHost = 2;  // 10.232.0.2
constexpr int kSpreadMaxCount = 65532;
int g_instances = 0;

int Index(Side side) {
  return side == Side::kClient ? 0 : 1;
}

int StatusCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Runs a command, collecting its stdout and stderr. Returns its exit status, -1 when it
// could not be started.
int RunCommand(const std::vector<std::string>& argv, std::string& output) {
  output.clear();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return StatusCode(status);
}

// Namespaces left by test processes that died without their destructor: name tvnet-PID-...
void RemoveStaleNamespaces() {
  DIR* dir = opendir(kNetnsDir);
  if (!dir) return;
  std::vector<std::string> stale;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name.rfind(kPrefix, 0) != 0) continue;
    pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + std::strlen(kPrefix)));
    if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) stale.push_back(name);
  }
  closedir(dir);
  std::string ignored;
  for (const std::string& name : stale) RunCommand({"ip", "netns", "del", name}, ignored);
}

}  // namespace

PrivateNetwork::PrivateNetwork() {
  m_ok = Build();
  if (!m_ok) Teardown();
}

PrivateNetwork::~PrivateNetwork() {
  Teardown();
}

std::string PrivateNetwork::Address(Side side) const {
  return m_addr[Index(side)];
}
std::string PrivateNetwork::Namespace(Side side) const {
  return m_ns[Index(side)];
}
std::string PrivateNetwork::Interface(Side side) const {
  return m_if[Index(side)];
}

bool PrivateNetwork::RunIp(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ip"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  int status = RunCommand(argv, output);
  if (status == 0) return true;
  std::string line;
  for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
  while (!output.empty() && output.back() == '\n') output.pop_back();
  m_error = "cannot build a private network: '" + line + "' " +
            (status == 127 || status < 0 ? std::string("could not run (is iproute2 installed?)")
                                         : "failed: " + output);
  return false;
}

bool PrivateNetwork::Build() {
  if (geteuid() != 0) {
    m_error = "a private network needs root (ip netns add, veth); run the test as root, as CI does";
    return false;
  }
  RemoveStaleNamespaces();
  const int k = g_instances++;
  const pid_t pid = getpid();
  const std::string base = kPrefix + std::to_string(pid) + "-" + std::to_string(k);
  const int x =
      static_cast<int>((static_cast<unsigned>(pid) * 7u + static_cast<unsigned>(k)) % 250u) + 1;
  m_ns[0] = base + "-c";
  m_ns[1] = base + "-d";
  m_if[0] = "tvc0";
  m_if[1] = "tvd0";
  m_addr[0] = "10.231." + std::to_string(x) + ".1";
  m_addr[1] = "10.231." + std::to_string(x) + ".2";

  char log_dir[] = "/tmp/tvnet-XXXXXX";
  if (!mkdtemp(log_dir)) {
    m_error = std::string("cannot create a log folder: ") + std::strerror(errno);
    return false;
  }
  m_log_dir = log_dir;

  for (int i = 0; i < 2; ++i) {
    if (!RunIp({"netns", "add", m_ns[i]})) return false;
    m_built[i] = true;
  }
  // The pair is created inside the client namespace with its peer already in the devices
  // namespace, so that neither end ever appears in the host's namespace.
  if (!RunIp({"-n", m_ns[0], "link", "add", m_if[0], "type", "veth", "peer", "name", m_if[1],
              "netns", m_ns[1]})) {
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    if (!RunIp({"-n", m_ns[i], "link", "set", "lo", "up"}) ||
        !RunIp({"-n", m_ns[i], "addr", "add", m_addr[i] + "/24", "dev", m_if[i]}) ||
        !RunIp({"-n", m_ns[i], "link", "set", m_if[i], "up"}) ||
        !RunIp({"-n", m_ns[i], "route", "add", "224.0.0.0/4", "dev", m_if[i]})) {
      return false;
    }
  }
  return true;
}

std::string PrivateNetwork::AddDeviceAddresses(int count) {
  if (!m_ok) return {};
  if (count < 1 || count > kSpreadMaxCount) {
    m_error = "AddDeviceAddresses: count " + std::to_string(count) + " is not 1.." +
              std::to_string(kSpreadMaxCount);
    return {};
  }
  // One `ip -batch` instead of a process per address: a thousand take a moment, not seconds.
  const std::string batch_path = m_log_dir + "/addresses.batch";
  {
    std::ofstream batch(batch_path);
    for (int i = 0; i < count; ++i) {
      const int host = kSpreadFirstHost + i;
      batch << "addr add 10.232." << host / 256 << "." << host % 256 << "/16 dev " << m_if[1]
            << "\n";
    }
    if (!batch) {
      m_error = "AddDeviceAddresses: cannot write " + batch_path;
      return {};
    }
  }
  if (!RunIp({"-n", m_ns[1], "-batch", batch_path}) ||
      !RunIp({"-n", m_ns[0], "route", "add", kSpreadNet, "dev", m_if[0]})) {
    return {};
  }
  return "10.232.0." + std::to_string(kSpreadFirstHost);
}

bool PrivateNetwork::Enter(Side side) {
  if (!m_ok) return false;
  int target = open((kNetnsDir + m_ns[Index(side)]).c_str(), O_RDONLY | O_CLOEXEC);
  if (target < 0) return false;
  if (m_home_ns < 0) {
    m_home_ns = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (m_home_ns < 0) {
      close(target);
      return false;
    }
  }
  bool entered = setns(target, CLONE_NEWNET) == 0;
  close(target);
  return entered;
}

bool PrivateNetwork::Leave() {
  if (m_home_ns < 0) return true;
  return setns(m_home_ns, CLONE_NEWNET) == 0;
}

pid_t PrivateNetwork::Spawn(Side side, const std::vector<std::string>& argv) {
  if (!m_ok || argv.empty()) return -1;
  // Everything the child needs is prepared before fork(): after it only plain system calls.
  const std::string log_path = m_log_dir + "/" + std::to_string(m_children.size()) + ".log";
  int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int ns = open((kNetnsDir + m_ns[Index(side)]).c_str(), O_RDONLY | O_CLOEXEC);
  int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = (log < 0 || ns < 0 || null_in < 0) ? -1 : fork();
  if (pid == 0) {
    setpgid(0, 0);
    // A test process that dies without its destructor takes its children along.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    if (setns(ns, CLONE_NEWNET) != 0) _exit(126);
    dup2(null_in, 0);
    dup2(log, 1);
    dup2(log, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  for (int fd : {log, ns, null_in}) {
    if (fd >= 0) close(fd);
  }
  if (pid < 0) {
    m_error = "cannot start " + argv[0] + ": " + std::strerror(errno);
    return -1;
  }
  m_children[pid] = Child{log_path};
  return pid;
}

std::string PrivateNetwork::Output(pid_t pid) const {
  auto it = m_children.find(pid);
  if (it == m_children.end()) return {};
  std::ifstream in(it->second.log_path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PrivateNetwork::Reap(pid_t pid, Child& child, bool block) {
  if (child.reaped) return true;
  int status = 0;
  pid_t r;
  while ((r = waitpid(pid, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  if (r != pid) return false;
  child.reaped = true;
  child.status = status;
  return true;
}

bool PrivateNetwork::WaitForOutput(pid_t pid, const std::string& text, int timeout_ms) {
  auto it = m_children.find(pid);
  if (it == m_children.end()) return false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const bool ended = Reap(pid, it->second, false);
    if (Output(pid).find(text) != std::string::npos) return true;
    if (ended || std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int PrivateNetwork::Wait(pid_t pid, int timeout_ms) {
  auto it = m_children.find(pid);
  if (it == m_children.end()) return -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!Reap(pid, it->second, false)) {
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return StatusCode(it->second.status);
}

int PrivateNetwork::Stop(pid_t pid, int timeout_ms) {
  auto it = m_children.find(pid);
  if (it == m_children.end()) return -1;
  if (!it->second.reaped) kill(pid, SIGTERM);
  int status = Wait(pid, timeout_ms);
  if (status >= 0) return status;
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  Reap(pid, it->second, true);
  return StatusCode(it->second.status);
}

void PrivateNetwork::Teardown() {
  Leave();
  if (m_home_ns >= 0) close(m_home_ns);
  m_home_ns = -1;
  for (auto& [pid, child] : m_children) {
    if (child.reaped) continue;
    kill(-pid, SIGKILL);  // its process group: whatever it started goes too
    kill(pid, SIGKILL);
    Reap(pid, child, true);
  }
  std::string ignored;
  for (int i = 0; i < 2; ++i) {
    if (!m_built[i]) continue;
    // A process that entered the namespace some other way would keep it alive unnamed.
    RunCommand({"ip", "netns", "pids", m_ns[i]}, ignored);
    std::istringstream pids(ignored);
    for (pid_t p; pids >> p;) {
      if (p != getpid()) kill(p, SIGKILL);
    }
    RunCommand({"ip", "netns", "del", m_ns[i]}, ignored);
    m_built[i] = false;
  }
  if (!m_log_dir.empty()) {
    RunCommand({"rm", "-rf", m_log_dir}, ignored);
    m_log_dir.clear();
  }
  m_ok = false;
}

}  // namespace testnet
