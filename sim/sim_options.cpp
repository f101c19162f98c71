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

}  // namespace

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
    auto flag = [&](const char* name) {
      if (arg != name) return false;
      if (has_inline_value) error = std::string(name) + " takes no value";
      return true;
    };
    auto needs_value = [&](const char* name) {
      if (arg != name) return false;
      if (!has_inline_value) {
        if (i + 1 >= argc) {
          error = std::string(name) + " needs a value";
          return true;
        }
        value = argv[++i];
      }
      return true;
    };
    auto bad = [&](const char* name, const char* what) {
      error = std::string(name) + " needs " + what + " (got '" + Printable(value) + "')";
    };
    unsigned long long number = 0;

    if (flag("--help") || flag("-h")) {
      options.help = true;
    } else if (flag("--version")) {
      options.version = true;
    } else if (flag("--mx-delay")) {
      options.mx_delay = true;
    } else if (flag("--verbose")) {
      options.verbose = true;
    } else if (flag("--empty-response")) {
      options.empty_response = true;
    } else if (flag("--http-hang")) {
      options.http_hang = true;
    } else if (flag("--http-drip")) {
      options.http_drip = true;
    } else if (flag("--spread")) {
      options.spread = true;
    } else if (flag("--planned-reboot")) {
      options.planned_reboot = true;
    } else if (needs_value("--http-delay")) {
      if (error.empty() && !ParseUnsigned(value, 0, 600000, number))
        bad("--http-delay", "a number of milliseconds from 0 to 600000");
      options.http_delay_ms = static_cast<int>(number);
    } else if (needs_value("--http-jitter")) {
      if (error.empty() && !ParseUnsigned(value, 0, 600000, number))
        bad("--http-jitter", "a number of milliseconds from 0 to 600000");
      options.http_jitter_ms = static_cast<int>(number);
    } else if (needs_value("--hung")) {
      if (error.empty() && !ParseUnsigned(value, 1, kMaxDevices, number))
        bad("--hung", "a number of devices from 1 to 65535");
      options.hung = static_cast<int>(number);
    } else if (needs_value("--boot-id")) {
      if (error.empty() && !ParseUnsigned(value, 0, kMaxBootId, number))
        bad("--boot-id", "a number from 0 to 2147483647");
      options.boot_id = static_cast<uint32_t>(number);
    } else if (needs_value("--config-id")) {
      if (error.empty() && !ParseUnsigned(value, 0, kMaxConfigId, number))
        bad("--config-id", "a number from 0 to 16777215");
      options.config_id = static_cast<uint32_t>(number);
    } else if (needs_value("--serial-base")) {
      if (error.empty() && !ParseUnsigned(value, 0, kMaxSerialBase, number))
        bad("--serial-base", "a number from 0 to 999000");
      options.serial_base = static_cast<uint32_t>(number);
    } else if (needs_value("--devices")) {
      if (error.empty() && !ParseUnsigned(value, 1, kMaxDevices, number))
        bad("--devices", "a number from 1 to 65535");
      options.devices = static_cast<int>(number);
    } else if (needs_value("--address")) {
      in_addr parsed{};
      if (error.empty() && inet_pton(AF_INET, value.c_str(), &parsed) != 1)
        bad("--address", "a dotted IPv4 address");
      options.address = value;
    } else if (needs_value("--http-port")) {
      if (error.empty() && !ParseUnsigned(value, 1, 65535, number))
        bad("--http-port", "a port from 1 to 65535");
      options.http_port = static_cast<uint16_t>(number);
    } else if (needs_value("--max-age")) {
      if (error.empty() && !ParseUnsigned(value, 0, 4294967295ULL, number))
        bad("--max-age", "a number of seconds from 0 to 4294967295");
      options.max_age = static_cast<uint32_t>(number);
    } else if (needs_value("--notify-interval")) {
      if (error.empty() && !ParseSeconds(value, options.notify_interval))
        bad("--notify-interval", "a number of seconds of at least 0.01");
    } else if (needs_value("--pad-response")) {
      if (error.empty() && !ParseUnsigned(value, 1, kMaxDatagram, number))
        bad("--pad-response", "a size from 1 to 65507 bytes");
      options.pad_response = number;
    } else if (needs_value("--drip-interval-ms")) {
      if (error.empty() && !ParseUnsigned(value, 1, 60000, number))
        bad("--drip-interval-ms", "a number of milliseconds from 1 to 60000");
      options.drip_interval_ms = static_cast<int>(number);
    } else if (needs_value("--http-huge")) {
      if (error.empty() && !ParseUnsigned(value, 1, 1ULL << 30, number))
        bad("--http-huge", "a size from 1 to 1073741824 bytes");
      options.http_huge = number;
    } else if (needs_value("--host-name")) {
      if (error.empty() && value.find_first_of("\r\n") != std::string::npos)
        bad("--host-name", "a text without line breaks");
      options.host_name = value;
    } else if (needs_value("--text-length")) {
      if (error.empty() && !ParseUnsigned(value, 1, 65536, number))
        bad("--text-length", "a length from 1 to 65536");
      options.text_length = number;
    } else if (needs_value("--cache-control")) {
      if (error.empty() && value.find_first_of("\r\n") != std::string::npos)
        bad("--cache-control", "a text without line breaks");
      options.cache_control = value;
    } else {
      error = "unknown argument '" + Printable(argv[i]) + "' (see --help)";
    }
    if (!error.empty()) return false;
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
Run it only inside a private network (see scripts/demo and tests/net/netns.sh).

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
