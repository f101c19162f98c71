// Counters of one discovery session: the outcome of every datagram, of every description
// fetch and its duration, and the searches sent. Plain numbers owned by the session; front
// ends take a copy (DiscoverySession::Counters) to print or export them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ssdp/datagram_outcome.h"

enum class FetchOutcome : uint8_t {
  kOk,         // a response with status 200
  kHttpError,  // another status; its body is still taken as the description
  kRefused,    // the connection was refused
  kTimeout,    // the connect or the whole exchange ran past its bound
  kFailed,     // anything else
};
inline constexpr std::size_t kFetchOutcomeCount =
    static_cast<std::size_t>(FetchOutcome::kFailed) + 1;

// "ok", "http_error", "refused", "timeout" or "failed".
const char* FetchOutcomeName(FetchOutcome outcome);

// Upper bounds of the fetch duration buckets, in seconds; one more bucket holds the rest.
inline constexpr std::array<double, 10> kFetchBucketBounds = {0.005, 0.01, 0.025, 0.05, 0.1,
                                                              0.25,  0.5,  1,     2.5,  5};

// The two SSDP sockets, as counters name them.
enum class SsdpSocketId : uint8_t { kPort1900, kSearchSocket };
inline constexpr std::size_t kSsdpSocketCount = 2;
const char* SsdpSocketName(SsdpSocketId socket);  // "port_1900" or "search_socket"

struct DiscoveryCounters {
  std::array<uint64_t, kDatagramOutcomeCount> datagrams{};
  std::array<uint64_t, kSsdpSocketCount> received{};
  std::array<uint64_t, kSsdpSocketCount> searches{};
  std::array<uint64_t, kFetchOutcomeCount> fetches{};
  uint64_t fetches_skipped_backoff = 0;  // handled as failed without a connection
  uint64_t fetches_cached = 0;           // answered from the description cache
  uint64_t devices_forgotten = 0;        // removed after being gone too long
  uint64_t reboots = 0;                  // new boot ids announced without notice
  // Announcements that replaced a repeat of their device's waiting for its description.
  uint64_t announcements_coalesced = 0;
  // Identity conflicts seen, by IdentityConflictKind; kept by the scanner when it tracks them.
  std::array<uint64_t, 3> identity_conflicts{};
  // USNs and sender addresses the identity check let go of to stay within its bound.
  uint64_t identity_keys_evicted = 0;
  // Event lines dropped because standard output was not read fast enough.
  uint64_t output_lines_dropped = 0;
  // Kernel notifications about interfaces that were not read: malformed, or not from the
  // kernel. Kept by the scanner, which follows the interfaces in its long-running modes.
  uint64_t netlink_dropped = 0;
  // Fetch durations: bucket i counts those up to kFetchBucketBounds[i] (and above the bound
  // before it); the last bucket those above 5 s.
  std::array<uint64_t, kFetchBucketBounds.size() + 1> fetch_buckets{};
  double fetch_seconds_sum = 0;
  double fetch_seconds_max = 0;
  // Filled by the scanner, which owns these searches: those sent to single addresses, and
  // per socket those sent to the group through each interface it was told to use
  // (address in network byte order, count); empty when the system chose the interface.
  uint64_t searches_unicast = 0;
  // Devices asked directly because their announcement ran out, by how it ended
  // (ProbeOutcome), and the unicast searches that asked them; multicast across each
  // interface (name, up). Kept where liveness is followed.
  std::array<uint64_t, 4> probes{};
  uint64_t probe_searches = 0;
  std::vector<std::pair<std::string, bool>> multicast_paths;
  std::array<std::vector<std::pair<uint32_t, uint64_t>>, kSsdpSocketCount> searches_through{};

  void Count(DatagramOutcome outcome) { ++datagrams[static_cast<std::size_t>(outcome)]; }
  void CountFetch(FetchOutcome outcome, double seconds);
  [[nodiscard]] uint64_t Datagrams(DatagramOutcome outcome) const {
    return datagrams[static_cast<std::size_t>(outcome)];
  }
  [[nodiscard]] uint64_t Fetches(FetchOutcome outcome) const {
    return fetches[static_cast<std::size_t>(outcome)];
  }
  [[nodiscard]] uint64_t FetchCount() const;
  // The q-quantile (0..1) of the fetch durations, interpolated within its bucket as
  // Prometheus's histogram_quantile does; 0 without fetches. Never above the maximum seen.
  [[nodiscard]] double FetchQuantile(double q) const;
};
