// The simulator's command line. ParseOptions only reads the arguments: it opens no socket,
// so a bad command line ends the program before anything is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_protocol.h"

namespace sim {

struct SimOptions {
  int devices = kDefaultDevices;
  std::string address;  // dotted IPv4; empty: the host's only non-loopback address
  uint16_t http_port = kDefaultHttpPort;
  uint32_t max_age = kDefaultMaxAge;
  double notify_interval = kDefaultNotifyInterval;  // seconds between alive rounds
  bool mx_delay = false;
  bool verbose = false;  // a line per datagram sent and per search received
  bool spread = false;   // device i on address + i - 1 (needs address)

  // Realistic devices.
  int http_delay_ms = 0;              // every HTTP answer waits this long...
  int http_jitter_ms = 0;             // ...plus a random 0..jitter ms
  int hung = 0;                       // devices 1..hung accept HTTP connections and never answer
  std::optional<uint32_t> boot_id;    // BOOTID.UPNP.ORG when set; SIGUSR2 adds 1
  bool planned_reboot = false;        // SIGUSR2 sends ssdp:update first (needs boot_id)
  std::optional<uint32_t> config_id;  // CONFIGID.UPNP.ORG when set; SIGHUP adds 1
  // When set, device n has serial number base + n and a USN made from it, not from the
  // address: the same serial is the same device wherever it is announced.
  std::optional<uint32_t> serial_base;

  // Misbehaviour for tests.
  size_t pad_response = 0;  // 0: off; else every search response is exactly this long
  bool empty_response = false;
  bool http_hang = false;  // answer, then keep the connection open
  bool http_drip = false;  // send the answer one byte at a time
  int drip_interval_ms = kDefaultDripMs;
  size_t http_huge = 0;  // 0: off; else every HTTP body is padded to this many bytes
  std::string host_name = kHostNamePattern;  // verbatim, "{n}" becomes the device number
  size_t text_length = 0;                    // 0: off; else device texts are this long
  std::string cache_control;                 // empty: "max-age=" and max_age

  bool help = false;
  bool version = false;
};

// How an option's value is read and checked.
enum class SimValue : uint8_t {
  kNone,     // a switch: no value
  kNumber,   // decimal digits within the option's bounds
  kSeconds,  // a decimal number of seconds from 0.01 to a year
  kAddress,  // a dotted IPv4 address
  kText,     // any text without line breaks
};

// A value as read: the number for kNumber, seconds for kSeconds, the text for every kind.
struct SimValueRead {
  unsigned long long number = 0;
  double seconds = 0;
  const std::string& text;
};

// One option of the command line. The parser reads the table, and so does the build's
// generator of shell completions.
struct SimOption {
  const char* name;  // as typed: "--devices", "-h"
  SimValue value;
  unsigned long long low = 0;  // kNumber's bounds
  unsigned long long high = 0;
  const char* needs = nullptr;  // what the message about a bad value says the option needs
  void (*store)(SimOptions& options, const SimValueRead& read) = nullptr;
};

// Every option, in the order of the help text; valid for the program's life.
std::span<const SimOption> OptionTable();

// Fills `options` from argv[1..argc-1]. Returns true on success; on failure returns false
// with a one-line reason in `error` and `options` partly filled.
bool ParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);

// The --help text, several lines ending in a line feed.
std::string UsageText();

}  // namespace sim
