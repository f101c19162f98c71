// tarovue-scan: Tarovue's discovery from a terminal, for scripts and remote shells, and with
// --serve the fleet agent that serves what the scanner finds. The two front ends meet here.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>

#include "agent/fleet_agent.h"
#include "platform/heap_policy.h"
#include "platform/trace.h"
#include "scan/scan_options.h"
#include "scan/scanner.h"

namespace {

// How often a watch or an agent gives back what bursts and scrapes left free in the heap.
constexpr int kHeapReleasePeriodMs = 30000;

}  // namespace

int main(int argc, char** argv) {
  MapLargeBuffersApart();
  ScanOptions options;
  std::string error;
  if (!ParseScanOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "tarovue-scan: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(ScanUsageText(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s\n", ScanVersionText());
    return 0;
  }
  QCoreApplication app(argc, argv);
  InstallRawTraceOutput();
  QTimer release_heap;
  if (options.watch || options.serve) {
    QObject::connect(&release_heap, &QTimer::timeout, [] { ReleaseFreeHeap(); });
    release_heap.start(kHeapReleasePeriodMs);
  }
  Scanner scanner(options);
  // The port is taken before any SSDP socket opens: a port in use ends the run at once.
  std::unique_ptr<FleetAgent> agent;
  if (options.serve) {
    // Ready once a search has gone out (the SSDP sockets are open by then), and while there is
    // an interface to search.
    const auto ready = [&scanner](std::string& reason) {
      if (scanner.WaitingForNetwork()) {
        reason = "no network to search; waiting for an interface";
        return false;
      }
      const DiscoveryCounters counters = scanner.Counters();
      if (counters.searches[0] + counters.searches[1] + counters.searches_unicast > 0) return true;
      reason = "no SSDP search has gone out yet";
      return false;
    };
    agent = std::make_unique<FleetAgent>(
        scanner.Devices(), scanner.RecentEvents(), [&scanner] { return scanner.Counters(); },
        ready);
    std::string failure;
    if (!options.web_config_path.empty() &&
        !agent->UseWebConfig(options.web_config_path, failure)) {
      std::fprintf(stderr, "tarovue-scan: %s\n", failure.c_str());
      return 2;
    }
    if (!agent->Listen(options.serve_address, failure)) {
      std::fprintf(stderr, "tarovue-scan: %s\n", failure.c_str());
      return 1;
    }
  }
  return scanner.Run();
}
