#include "sim/sim_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

bool ParseUnsigned(const std::string& text, unsigned long long min, unsigned long long max,
                   unsigned long long& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value >= min && value <= max;
}

bool ParseSeconds(const std::string& text, double& value) {
  if (text.empty() || (text[0] != '.' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && std::isfinite(value) && value >= 0.01 &&
         value <= 86400.0 * 365;
}

// The value as it may appear in a one-line message: control characters escaped, cut short.
std::string Printable(const std::string& value) {
  std::string out;
  for (unsigned char c : value.substr(0, 60)) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c < 0x20 || c == 0x7f)
      out += '?';
    else
      out += static_cast<char>(c);
  }
  return value.size() > 60 ? out + "..." : out;
}

using Read = SimValueRead;

// In the order of the help text. A bad value's message is "NAME needs NEEDS (got 'VALUE')".
constexpr SimOption kOptions[] = {
    {"--devices", SimValue::kNumber, 1, kMaxDevices, "a number from 1 to 65535",
     [](SimOptions& o, const Read& v) { o.devices = static_cast<int>(v.number); }},
    {"--address", SimValue::kAddress, 0, 0, "a dotted IPv4 address",
     [](SimOptions& o, const Read& v) { o.address = v.text; }},
    {"--http-port", SimValue::kNumber, 1, 65535, "a port from 1 to 65535",
     [](SimOptions& o, const Read& v) { o.http_port = static_cast<uint16_t>(v.number); }},
    {"--max-age", SimValue::kNumber, 0, 4294967295ULL, "a number of seconds from 0 to 4294967295",
     [](SimOptions& o, const Read& v) { o.max_age = static_cast<uint32_t>(v.number); }},
    {"--notify-interval", SimValue::kSeconds, 0, 0, "a number of seconds of at least 0.01",
     [](SimOptions& o, const Read& v) { o.notify_interval = v.seconds; }},
    {"--mx-delay", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.mx_delay = true; }},
    {"--spread", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.spread = true; }},
    {"--verbose", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.verbose = true; }},
    {"--help", SimValue::kNone, 0, 0, nullptr, [](SimOptions& o, const Read&) { o.help = true; }},
    {"-h", SimValue::kNone, 0, 0, nullptr, [](SimOptions& o, const Read&) { o.help = true; }},
    {"--version", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.version = true; }},
    // Realistic devices.
    {"--http-delay", SimValue::kNumber, 0, 600000, "a number of milliseconds from 0 to 600000",
     [](SimOptions& o, const Read& v) { o.http_delay_ms = static_cast<int>(v.number); }},
    {"--http-jitter", SimValue::kNumber, 0, 600000, "a number of milliseconds from 0 to 600000",
     [](SimOptions& o, const Read& v) { o.http_jitter_ms = static_cast<int>(v.number); }},
    {"--hung", SimValue::kNumber, 1, kMaxDevices, "a number of devices from 1 to 65535",
     [](SimOptions& o, const Read& v) { o.hung = static_cast<int>(v.number); }},
    {"--boot-id", SimValue::kNumber, 0, kMaxBootId, "a number from 0 to 2147483647",
     [](SimOptions& o, const Read& v) { o.boot_id = static_cast<uint32_t>(v.number); }},
    {"--planned-reboot", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.planned_reboot = true; }},
    {"--config-id", SimValue::kNumber, 0, kMaxConfigId, "a number from 0 to 16777215",
     [](SimOptions& o, const Read& v) { o.config_id = static_cast<uint32_t>(v.number); }},
    {"--serial-base", SimValue::kNumber, 0, kMaxSerialBase, "a number from 0 to 999000",
     [](SimOptions& o, const Read& v) { o.serial_base = static_cast<uint32_t>(v.number); }},
    // Misbehaviour for tests.
    {"--pad-response", SimValue::kNumber, 1, kMaxDatagram, "a size from 1 to 65507 bytes",
     [](SimOptions& o, const Read& v) { o.pad_response = v.number; }},
    {"--empty-response", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.empty_response = true; }},
    {"--http-hang", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.http_hang = true; }},
    {"--http-drip", SimValue::kNone, 0, 0, nullptr,
     [](SimOptions& o, const Read&) { o.http_drip = true; }},
    {"--drip-interval-ms", SimValue::kNumber, 1, 60000, "a number of milliseconds from 1 to 60000",
     [](SimOptions& o, const Read& v) { o.drip_interval_ms = static_cast<int>(v.number); }},
    {"--http-huge", SimValue::kNumber, 1, 1ULL << 30, "a size from 1 to 1073741824 bytes",
     [](SimOptions& o, const Read& v) { o.http_huge = v.number; }},
    {"--host-name", SimValue::kText, 0, 0, "a text without line breaks",
     [](SimOptions& o, const Read& v) { o.host_name = v.text; }},
    {"--text-length", SimValue::kNumber, 1, 65536, "a length from 1 to 65536",
     [](SimOptions& o, const Read& v) { o.text_length = v.number; }},
    {"--cache-control", SimValue::kText, 0, 0, "a text without line breaks",
     [](SimOptions& o, const Read& v) { o.cache_control = v.text; }},
};

// Whether `text` is a good value of `option`; fills `read` with what it says.
bool ReadValue(const SimOption& option, const std::string& text, SimValueRead& read) {
  switch (option.value) {
    case SimValue::kNone:
      return true;
    case SimValue::kNumber:
      return ParseUnsigned(text, option.low, option.high, read.number);
    case SimValue::kSeconds:
      return ParseSeconds(text, read.seconds);
    case SimValue::kAddress: {
      in_addr parsed{};
      return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
    }
    case SimValue::kText:
      return text.find_first_of("\r\n") == std::string::npos;
  }
  return false;
}

}  // namespace

std::span<const SimOption> OptionTable() {
  return kOptions;
}

bool ParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& error) {
  error.clear();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_inline_value = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_inline_value = true;
    }
    const SimOption* option = nullptr;
    for (const SimOption& candidate : kOptions) {
      if (arg == candidate.name) option = &candidate;
    }
    if (option == nullptr) {
      error = "unknown argument '" + Printable(argv[i]) + "' (see --help)";
      return false;
    }
    if (option->value == SimValue::kNone) {
      if (has_inline_value) {
        error = arg + " takes no value";
        return false;
      }
    } else if (!has_inline_value) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    SimValueRead read{.text = value};
    if (!ReadValue(*option, value, read)) {
      error = arg + " needs " + option->needs + " (got '" + Printable(value) + "')";
      return false;
    }
    option->store(options, read);
  }
  if (options.http_hang && options.http_drip) {
    error = "--http-hang and --http-drip cannot be combined";
    return false;
  }
  if (options.empty_response && options.pad_response != 0) {
    error = "--empty-response and --pad-response cannot be combined";
    return false;
  }
  if (options.spread) {
    in_addr first{};
    if (options.address.empty() || inet_pton(AF_INET, options.address.c_str(), &first) != 1) {
      error = "--spread needs --address ADDR, the first device's address";
      return false;
    }
    if (static_cast<uint64_t>(ntohl(first.s_addr)) + static_cast<uint64_t>(options.devices) - 1 >
        0xFFFFFFFFull) {
      error = "--spread: " + options.address + " plus " + std::to_string(options.devices) +
              " devices runs past 255.255.255.255";
      return false;
    }
  }
  if (options.serial_base && *options.serial_base + options.devices > 999999) {
    error = "--serial-base " + std::to_string(*options.serial_base) + " plus " +
            std::to_string(options.devices) + " devices runs past serial number 999999";
    return false;
  }
  if (options.planned_reboot && !options.boot_id) {
    error = "--planned-reboot needs --boot-id N: its ssdp:update names the current boot id";
    return false;
  }
  if (options.hung > options.devices) {
    error = "--hung " + std::to_string(options.hung) + " is more than the " +
            std::to_string(options.devices) + " devices";
    return false;
  }
  return true;
}

std::string UsageText() {
  return R"(Usage: tarovue-sim [OPTIONS]
Plays networked weighing indicators on one IPv4 address (one each with --spread):
answers SSDP searches, announces the devices, and serves their description, page, ping and
backup pages over HTTP.
Run it only inside a private network, such as a network namespace made with
`unshare -rn` or `ip netns add` (see tarovue-sim(1)): on an ordinary network it announces
its devices to everyone.

  --devices N            number of devices, 1..65535 (default 3)
  --address ADDR         IPv4 address to bind and announce (needed when the host has
                         several non-loopback addresses)
  --http-port PORT       HTTP port (default 8080); port 80 is served too when it can be bound
  --max-age S            CACHE-CONTROL max-age in seconds (default 1800)
  --notify-interval S    seconds between ssdp:alive rounds (default 300; fractions allowed)
  --mx-delay             answer after a random delay up to the search's MX (at most 5 s)
  --spread               device i lives on ADDR + i - 1 (--address is the first one): it
                         answers, announces and serves HTTP from its own address; every
                         address must already exist on the interface
  --verbose              print a line for every datagram sent and for every search
                         received (with t=monotonic ms and unicast or multicast)
  --help, --version

Realistic devices:
  --http-delay MS        every HTTP answer waits MS milliseconds (per request; requests are
                         served concurrently)
  --http-jitter MS       plus a random 0..MS milliseconds per request
  --hung N               devices 1..N accept HTTP connections and never answer (with
                         --spread: on their addresses; else requests for /dev/1/../dev/N/)
  --boot-id N            send BOOTID.UPNP.ORG: N in notifications and responses
  --planned-reboot       SIGUSR2 announces the reboot first: an ssdp:update per device
                         with BOOTID.UPNP.ORG and NEXTBOOTID.UPNP.ORG (needs --boot-id)
  --config-id N          send CONFIGID.UPNP.ORG: N (and configId="N" in descriptions);
                         SIGHUP adds 1 and announces the devices again
  --serial-base N        device i has serial number N + i and a USN made from it instead
                         of from the address, so a device keeps its identity when it is
                         played on another address (default: serial i, USN from ADDR)
  A search sent to one of the simulator's own addresses (unicast) is answered at once,
  ignoring MX; with --spread only by the device on that address.

Misbehaviour for tests:
  --pad-response BYTES   every search response is exactly BYTES long (padded or cut)
  --empty-response       answer each search with empty datagrams instead of responses
  --http-hang            answer HTTP requests but never close the connection
  --http-drip            send HTTP answers one byte at a time
  --drip-interval-ms MS  pause between dripped bytes (default 1000)
  --http-huge BYTES      pad every HTTP body to BYTES bytes
  --host-name TEXT       host name, inserted verbatim; {n} is the device number
                         (default scale-{n})
  --text-length LEN      host name, friendly name, model name and number and serial
                         number are all exactly LEN characters long
  --cache-control TEXT   CACHE-CONTROL value, verbatim (default max-age=S)

Prints a line per event on stdout and a summary on exit (SIGINT or SIGTERM, after byebye);
SIGUSR1 prints the counts so far; SIGHUP adds 1 to the config id. SIGUSR2 reboots every
device: no byebye, the boot id goes up by 1 (from none to 1 without --boot-id), and the
devices announce themselves again at once. Bad arguments: a message on stderr and exit
status 2.
)";
}

}  // namespace sim
