// Follows the kernel's notifications about links and IPv4 addresses (rtnetlink) on the event
// loop and hands them to its owner a batch at a time, so that a long-running mode learns of
// interfaces that come and go. Owns its netlink socket, notifier, timer and buffers; Stop()
// or destruction ends everything, and no callback runs after that. Single-threaded, on the
// loop's thread; the changes passed to a callback are valid during that call only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/netlink_messages.h"

class QSocketNotifier;
class QTimer;

// Bytes read at once: a kernel notification is at most a page or two, a dump part 32 KiB.
inline constexpr int kNetlinkReadBytes = 32 * 1024;
// Reads per readable notification, so that a storm of changes cannot starve the loop; what
// is left is read on the loop's next turn.
inline constexpr int kNetlinkReadsPerWake = 8;
// Changes waiting for one callback; more make the batch a re-listing instead.
inline constexpr std::size_t kMaxPendingInterfaceChanges = 256;
// Receive buffer asked of the kernel, bytes; the kernel caps it (net.core.rmem_max) unless
// the process may force it.
inline constexpr int kNetlinkReceiveBuffer = 256 * 1024;

struct NetlinkChanges {
  // In the kernel's order; a repeat (the same link's state, the same address) replaces its
  // predecessor. Empty when resync is set.
  std::vector<InterfaceChange> changes;
  // Notifications were lost (the kernel's buffer overran, or more arrived than a batch
  // holds): the owner should list every interface and address again.
  bool resync = false;
};

struct NetlinkWatchCounters {
  uint64_t batches = 0;    // callbacks made
  uint64_t resyncs = 0;    // of them, asking for a re-listing
  uint64_t malformed = 0;  // messages dropped by the reader
  uint64_t foreign = 0;    // datagrams not sent by the kernel, dropped
  uint64_t ignored = 0;    // well-formed messages of kinds not followed
};

struct NetlinkWatchOptions {
  // 0: a callback for every readable socket; else changes within this many milliseconds of
  // the first one make one callback.
  int coalesce_ms = 0;
  int receive_buffer_bytes = kNetlinkReceiveBuffer;
};

class NetlinkWatch final {
 public:
  using Changed = std::function<void(const NetlinkChanges& changes)>;

  NetlinkWatch();
  ~NetlinkWatch();
  NetlinkWatch(const NetlinkWatch&) = delete;
  NetlinkWatch& operator=(const NetlinkWatch&) = delete;

  // Opens the socket, joins the link and IPv4 address groups and starts watching. `changed`
  // runs from the event loop, never from inside this call, and may destroy the watch. True
  // when watching; false with errno set and nothing open.
  bool Start(Changed changed, const NetlinkWatchOptions& options = {});
  // Closes the socket and drops changes not yet handed out. Safe when not started.
  void Stop();

  [[nodiscard]] bool Watching() const { return m_handle >= 0; }
  [[nodiscard]] const NetlinkWatchCounters& Counters() const { return m_counters; }

 private:
  void OnReadable();
  void Keep(const InterfaceChange& change);
  void MarkLost();
  void Deliver();

  int m_handle = -1;
  NetlinkWatchOptions m_options;
  Changed m_changed;
  std::unique_ptr<QSocketNotifier> m_notifier;
  std::unique_ptr<QTimer> m_coalesce;
  std::unique_ptr<uint32_t[]> m_buffer;  // kNetlinkReadBytes, aligned for the reader
  std::unique_ptr<NetlinkBatch> m_batch;
  NetlinkChanges m_pending;
  NetlinkWatchCounters m_counters;
};
