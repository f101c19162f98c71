#include "scan/stats_text.h"

#include <cstdio>

#include "devices/device_liveness.h"
#include "devices/discovery_counters.h"
#include "platform/dotted_address.h"

namespace {

void Line(std::string& out, const std::string& name, uint64_t value) {
  out += name + ' ' + std::to_string(value) + '\n';
}

void Seconds(std::string& out, const char* name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%s %.6g\n", name, value);
  out += text;
}

}  // namespace

std::string FormatStats(const DiscoveryCounters& counters) {
  std::string out;
  for (std::size_t i = 0; i < kSsdpSocketCount; ++i) {
    Line(out, std::string("received.") + SsdpSocketName(static_cast<SsdpSocketId>(i)),
         counters.received[i]);
  }
  for (std::size_t i = 0; i < kDatagramOutcomeCount; ++i) {
    const auto outcome = static_cast<DatagramOutcome>(i);
    Line(out,
         std::string(IsAccepted(outcome) ? "accepted." : "dropped.") + DatagramOutcomeName(outcome),
         counters.datagrams[i]);
  }
  for (std::size_t i = 0; i < kFetchOutcomeCount; ++i) {
    Line(out, std::string("fetch.") + FetchOutcomeName(static_cast<FetchOutcome>(i)),
         counters.fetches[i]);
  }
  Line(out, "fetch.cached", counters.fetches_cached);
  Line(out, "fetch.skipped_backoff", counters.fetches_skipped_backoff);
  Line(out, "devices.forgotten", counters.devices_forgotten);
  Line(out, "devices.rebooted", counters.reboots);
  Line(out, "announcements.coalesced", counters.announcements_coalesced);
  Line(out, "conflicts.evicted", counters.identity_keys_evicted);
  Line(out, "output.dropped", counters.output_lines_dropped);
  Line(out, "netlink.dropped", counters.netlink_dropped);
  for (std::size_t i = 0; i < kProbeOutcomeCount; ++i) {
    Line(out, std::string("probes.") + ProbeOutcomeName(static_cast<ProbeOutcome>(i)),
         counters.probes[i]);
  }
  Line(out, "probes.searches", counters.probe_searches);
  for (const auto& [name, up] : counters.multicast_paths) {
    Line(out, "multicast_path." + name, up ? 1 : 0);
  }
  Seconds(out, "fetch.seconds.p50", counters.FetchQuantile(0.5));
  Seconds(out, "fetch.seconds.p90", counters.FetchQuantile(0.9));
  Seconds(out, "fetch.seconds.p99", counters.FetchQuantile(0.99));
  Seconds(out, "fetch.seconds.max", counters.fetch_seconds_max);
  for (std::size_t i = 0; i < kSsdpSocketCount; ++i) {
    Line(out, std::string("searches.") + SsdpSocketName(static_cast<SsdpSocketId>(i)),
         counters.searches[i]);
  }
  Line(out, "searches.unicast", counters.searches_unicast);
  for (std::size_t i = 0; i < kSsdpSocketCount; ++i) {
    for (const auto& [address, sent] : counters.searches_through[i]) {
      char dotted[kDottedAddressSize];
      FormatDottedAddress(address, dotted);
      Line(out,
           std::string("searches.") + SsdpSocketName(static_cast<SsdpSocketId>(i)) + '.' + dotted,
           sent);
    }
  }
  return out;
}
