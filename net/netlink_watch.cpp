#include "net/netlink_watch.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>

namespace {

// A change that a later one about the same thing makes stale.
bool SameSubject(const InterfaceChange& a, const InterfaceChange& b) {
  if (a.kind != b.kind || a.index != b.index) return false;
  const bool link =
      a.kind == InterfaceChangeKind::kLinkNew || a.kind == InterfaceChangeKind::kLinkDeleted;
  return link || (a.address == b.address && a.prefix_length == b.prefix_length);
}

}  // namespace

NetlinkWatch::NetlinkWatch() = default;

NetlinkWatch::~NetlinkWatch() {
  Stop();
}

bool NetlinkWatch::Start(Changed changed, const NetlinkWatchOptions& options) {
  Stop();
  const int handle = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (handle < 0) return false;
  // A larger buffer rides out a burst (a bridge with many ports going up); forcing it past
  // the system's cap needs privileges we may not have, and the plain request is the fallback.
  const int bytes = options.receive_buffer_bytes;
  if (::setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int saved = errno;
    ::close(handle);
    errno = saved;
    return false;
  }
  m_handle = handle;
  m_options = options;
  m_changed = std::move(changed);
  m_buffer = std::make_unique<uint32_t[]>(kNetlinkReadBytes / sizeof(uint32_t));
  m_batch = std::make_unique<NetlinkBatch>();
  m_coalesce = std::make_unique<QTimer>();
  m_coalesce->setSingleShot(true);
  QObject::connect(m_coalesce.get(), &QTimer::timeout, [this] { Deliver(); });
  m_notifier = std::make_unique<QSocketNotifier>(m_handle, QSocketNotifier::Read);
  QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
  return true;
}

void NetlinkWatch::Stop() {
  m_notifier.reset();
  m_coalesce.reset();
  m_changed = nullptr;
  m_pending = NetlinkChanges{};
  if (m_handle >= 0) ::close(m_handle);
  m_handle = -1;
}

void NetlinkWatch::OnReadable() {
  for (int read = 0; read < kNetlinkReadsPerWake; ++read) {
    sockaddr_nl from{};
    iovec piece{m_buffer.get(), kNetlinkReadBytes};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(m_handle, &message, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The kernel dropped notifications for want of room; the socket itself goes on.
      if (errno == ENOBUFS) {
        MarkLost();
        continue;
      }
      break;  // nothing more waits (EAGAIN), or an error the next turn will see again
    }
    if (message.msg_flags & MSG_TRUNC) {
      MarkLost();
      continue;
    }
    // Another process may address our socket directly; only the kernel speaks for the links.
    if (from.nl_pid != 0) {
      ++m_counters.foreign;
      continue;
    }
    ReadNetlinkMessages(m_buffer.get(), static_cast<std::size_t>(n), *m_batch);
    m_counters.malformed += m_batch->dropped;
    m_counters.ignored += m_batch->ignored;
    if (m_batch->full || m_batch->overrun) MarkLost();
    for (std::size_t i = 0; i < m_batch->count; ++i) Keep(m_batch->changes[i]);
  }
  if (m_pending.changes.empty() && !m_pending.resync) return;
  if (m_options.coalesce_ms <= 0) {
    Deliver();  // may destroy this watch: nothing after it
  } else if (!m_coalesce->isActive()) {
    // Timed from the first change, not restarted by later ones, so that a steady stream
    // of changes is still handed out.
    m_coalesce->start(m_options.coalesce_ms);
  }
}

void NetlinkWatch::Keep(const InterfaceChange& change) {
  if (m_pending.resync) return;  // everything is listed again anyway
  std::vector<InterfaceChange>& changes = m_pending.changes;
  for (auto it = changes.begin(); it != changes.end(); ++it) {
    if (SameSubject(*it, change)) {
      changes.erase(it);
      break;
    }
  }
  if (changes.size() == kMaxPendingInterfaceChanges) {
    MarkLost();
    return;
  }
  changes.push_back(change);
}

void NetlinkWatch::MarkLost() {
  m_pending.resync = true;
  m_pending.changes.clear();
}

void NetlinkWatch::Deliver() {
  if (m_pending.changes.empty() && !m_pending.resync) return;
  NetlinkChanges batch = std::move(m_pending);
  m_pending = NetlinkChanges{};
  ++m_counters.batches;
  if (batch.resync) ++m_counters.resyncs;
  // A copy: the callback may destroy this watch, and with it m_changed, while it runs.
  const Changed changed = m_changed;
  if (changed) changed(batch);  // nothing after it
}
