// The scanner's command line. ParseScanOptions only reads the arguments; it opens nothing,
// so a bad command line ends the program before any socket exists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"  // kDefaultMaxDevices
#include "formats/device_report.h"          // ScanFormat
#include "net/serve_address.h"
#include "ssdp/ssdp_protocol.h"

// Devices may delay their answers by up to 5 s; one more second lets the last of them in.
inline constexpr double kDefaultListenSeconds = 6.0;
inline constexpr double kMinListenSeconds = 0.1;
inline constexpr double kMaxListenSeconds = 86400.0;
inline constexpr double kMaxRefreshSeconds = 86400.0;
// Bounds of --rate, unicast searches a second.
inline constexpr int kMaxUnicastRate = 10000;

// Bounds of the device table, and how long a device that left stays in it (--watch, --serve).
inline constexpr int kMaxMaxDevices = 1000000;
inline constexpr double kMinForgetSeconds = 1.0;
inline constexpr double kDefaultForgetSeconds = 86400.0;
inline constexpr double kMaxForgetSeconds = 365.0 * 86400.0;

// Description fetches: bounds of the pool, of one fetch, and of the cache. The pool's size is
// not given by default: it follows what the process may open (DefaultFetchConcurrency).
inline constexpr int kFetchConcurrencyFromLimit = 0;
inline constexpr int kMaxFetchConcurrency = 256;
inline constexpr double kDefaultFetchTimeoutSeconds = 5.0;
inline constexpr double kMinFetchTimeoutSeconds = 0.5;
inline constexpr double kMaxFetchTimeoutSeconds = 60.0;
inline constexpr double kDefaultRefreshSeconds = 300.0;

// Agent mode searches this often; NOTIFYs and the expiry sweep keep it current in between.
inline constexpr int kDefaultSearchIntervalSeconds = 300;
inline constexpr int kMinSearchIntervalSeconds = 10;
inline constexpr int kMaxSearchIntervalSeconds = 86400;

struct ScanOptions {
  double seconds = kDefaultListenSeconds;
  ScanFormat format = ScanFormat::kTable;
  bool watch = false;
  bool stats = false;  // the counters on standard error at the end
  // Devices kept; a new one beyond them is dropped.
  int max_devices = static_cast<int>(kDefaultMaxDevices);
  double forget = kDefaultForgetSeconds;  // a device gone this long leaves the table
  int fetch_concurrency = kFetchConcurrencyFromLimit;
  double fetch_timeout = kDefaultFetchTimeoutSeconds;  // whole exchange; connect at most 2 s
  double refresh = kDefaultRefreshSeconds;             // a description is fetched again after this
  std::vector<uint32_t> targets;                       // --target, expanded (network byte order)
  std::vector<std::string> interfaces;                 // --interface, names or addresses as typed
  int rate = kDefaultUnicastRate;                      // --rate
  bool no_multicast = false;                           // --no-multicast: only the unicast searches
  std::string save_path;      // --save: the inventory written after a timed scan
  std::string baseline_path;  // --baseline: the inventory the scan is compared with
  std::string state_path;     // --state: the device table kept across restarts of a watch
  // Agent mode (--serve): a watch that also serves its devices over HTTP and searches again
  // every search_interval seconds. It sets `watch` too.
  bool serve = false;
  ServeAddress serve_address;
  int search_interval = kDefaultSearchIntervalSeconds;
  // --web-config: TLS, basic auth and response headers for --serve.
  std::string web_config_path;
  bool quiet = false;  // no event lines
  bool help = false;
  bool version = false;
};

// Fills `options` from argv[1..argc-1]. True on success; false with a one-line reason in
// `error` and `options` partly filled.
bool ParseScanOptions(int argc, const char* const* argv, ScanOptions& options, std::string& error);

// The --help text, several lines ending in a line feed (scan/scan_usage.cpp).
const char* ScanUsageText();

// The program's version as --version prints it: "tarovue-scan 1.0.0.0", as the other programs.
const char* ScanVersionText();
