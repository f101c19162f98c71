// tarovue-scan --help. The synopsis and the numbers in braces come from the option table, so
// the text cannot drift from what the parser accepts: {synopsis}, {NAME.default}, {NAME.low}
// and {NAME.high}.
#include <string>
#include <string_view>

#include "scan/option_table.h"
#include "scan/scan_options.h"

namespace {

constexpr std::string_view kUsage =
    R"({synopsis}
Finds Tarovue's weighing indicators on the local network, as the dialog's search does: sends
one search burst, listens, fetches each device's description and prints what it found.

  --time SECONDS   listen this long before printing (default {time.default}; devices may
                   delay their answers by up to 5 s); {time.low} to {time.high}
  --format FORMAT  table (default): aligned columns for reading;
                   json: an array of objects with the keys address, hostname, devtype,
                   status, valid_until (local time with offset, or null), model_name,
                   model_number, serial_number, guid, page_url, usn, fetch
                   (ok, cached, failed, or pending: still being fetched when the
                   report was due);
                   csv: the same columns under a header row (RFC 4180)
  --stats          after the report (or when a watch ends) print the counters to standard
                   error, one "name value" pair a line: datagrams received per socket,
                   accepted and dropped by reason, description fetches by outcome and
                   their durations, searches sent
  --fetch-concurrency N
                   descriptions fetched at once, {fetch-concurrency.low}..{fetch-concurrency.high}
                   (default: 128 when the open-file limit allows it, which is raised to
                   its hard limit at start, else fewer, at least 32); never two at a time
                   from one device address
  --fetch-timeout SECONDS
                   bound of one description fetch (default {fetch-timeout.default},
                   {fetch-timeout.low}..{fetch-timeout.high}); the connect is bounded by 2 s
                   within it
  --refresh SECONDS
                   a description fetched this recently is not fetched again (default
                   {refresh.default}, up to {refresh.high}) unless the device's BOOTID or
                   CONFIGID changed; a failing device is left alone for 5 s, then 10, 20,
                   ... up to 300 s
  --watch          keep listening and print a line per event (new, online, changed,
                   byebye, lost, rebooted, kept, forgotten) with its time, until
                   interrupted: a device when first seen, then only news (a repeat, or a
                   search answered with what was known, prints nothing); a device is lost
                   only after it answered nothing when asked directly (kept: it answered).
                   Each line read on standard input starts a new search. With json, one
                   object per line; with csv, a header row and then one row per event.
                   Interfaces that come up later are joined and searched at once; without
                   one, it waits.
  --max-devices N  devices kept at most (default {max-devices.default},
                   {max-devices.low}..{max-devices.high}); announcements of further new
                   devices are dropped (dropped.table_full), so that forged announcements
                   cannot exhaust memory
  --forget SECONDS with --watch or --serve: a device gone (byebye or lost) this long is
                   removed, with a "forgotten" event (default {forget.default}, up to
                   {forget.high})
  --state FILE     with --watch or --serve: keep the device table in FILE (texts, status,
                   first and last seen, boot ids, reboots), written a few seconds after it
                   changes and at the end, and read at start: devices known from before
                   are back, lost until heard again. A FILE that cannot be read is kept as
                   FILE.bad; a directory that cannot be written is exit status 2 before
                   anything is searched
  --target LIST    also search these IPv4 addresses and CIDR blocks, comma-separated
                   (10.1.5.0/24,10.1.9.17; at most 65536 addresses, a block's network and
                   broadcast addresses left out): each search sends one request to each
                   address's port 1900, which reaches devices beyond routers; they answer
                   at once
  --rate N         with --target: unicast searches a second, {rate.low} to {rate.high}
                   (default {rate.default})
  --no-multicast   with --target: send only its unicast searches, no multicast burst
  --interface LIST search and listen for announcements only on these interfaces, by name
                   (as `ip link` shows them) or address, comma-separated; unicast searches
                   go where the routing table sends them. Default: every interface that is
                   up, loopback aside
  --save FILE      after the report write the devices seen to FILE as an inventory (JSON
                   with usn, address, hostname, devtype, model_name, model_number,
                   serial_number, guid, page_url), atomically, mode 0644; with --watch or
                   --serve, a few seconds after every search. A directory in which no
                   file can be made is exit status 2 before anything is searched
  --baseline FILE  compare a timed scan with the inventory in FILE and report each
                   difference: missing, new, moved (same USN, another address), replaced
                   (same address, another USN or serial number) or changed (same USN and
                   address, other texts, old -> new). Devices that share an address are
                   matched by USN only. json: an object {"differences", "devices",
                   "conflicts"}; csv: one row per difference or conflict. FILE is read
                   before --save writes, so both may name the same file.
                   With --save or --baseline, identity conflicts are reported too:
                   address_shared (two USNs from one address), location_mismatch (the
                   LOCATION's host is not the sender), usn_moved (one USN from two
                   addresses); in the plain json and csv reports on standard error.
  --serve [ADDRESS:]PORT
                   agent mode: watch as --watch does and serve /metrics (Prometheus),
                   /targets (HTTP service discovery), /devices.json, /events.json (the
                   last events) and / (the fleet page) over HTTP, and /-/healthy and
                   /-/ready for probes; a bare port listens on 127.0.0.1 only. Searches
                   again every --interval seconds
  --interval SECONDS
                   with --serve: whole seconds between searches (default
                   {interval.default}, {interval.low} to {interval.high})
  --quiet          with --serve: no event lines on standard output (so no --format)
  --web-config FILE
                   with --serve: TLS, basic auth and response headers from FILE, a web
                   configuration as Prometheus exporters read it (tls_server_config,
                   basic_auth_users with bcrypt hashes, http_server_config.headers); read
                   again when it or a file it names changes. /-/healthy and /-/ready
                   answer without credentials
  --help, --version

Seconds are decimal numbers with at most one point (2, 0.5).
Port 1900 is shared with other SSDP programs; when it cannot be had, searches still work but
announcements are missed. Exit status: 0 when the scan ran (with devices or none) and
matches the baseline, 1 when it could not run or save (a message on standard error; also a
--serve port that is taken), 2 for bad arguments or an option that does nothing in the mode
asked for, an --interface the host does not have (the message lists the usable ones; a watch
waits for it), a baseline or a web configuration that cannot be read, a --save or --state
directory that cannot be written, 3 when the scan differs from the baseline. A timed scan
that finds nothing says so on standard error, naming the interfaces it searched.
)";

// What the synopsis shows of an option: "--time SECONDS", "--watch".
std::string Shown(const OptionRule& rule) {
  const std::string_view name = rule.name;
  std::string shown = "--" + std::string(name);
  for (const NumberOption& option : kNumberOptions) {
    if (name == option.name) shown += std::string(" ") + option.value_name;
  }
  for (const TextOption& option : kTextOptions) {
    if (name == option.name) shown += std::string(" ") + option.value_name;
  }
  return shown;
}

// One line per mode with exactly the options that do something in it, wrapped below the
// first option; an option that needs another stands inside that one's brackets.
std::string Synopsis() {
  constexpr std::size_t kWidth = 92;
  const std::string indent(20, ' ');  // the width of "Usage: tarovue-scan "
  std::string out;
  const auto add_line = [&](std::string line, ScanMode mode) {
    for (const OptionRule& rule : kOptionRules) {
      if (rule.role != OptionRole::kPlain || rule.needs != nullptr || (rule.modes & mode) == 0)
        continue;
      std::string item = "[";
      item += Shown(rule);
      for (const OptionRule& inner : kOptionRules) {
        if (inner.needs != nullptr && std::string_view(inner.needs) == rule.name &&
            (inner.modes & mode) != 0) {
          item += " [";
          item += Shown(inner);
          item += "]";
        }
      }
      item += "]";
      const std::size_t line_start = line.rfind('\n') + 1;  // 0 without a line break
      line += line.size() - line_start + 1 + item.size() > kWidth ? "\n" + indent : " ";
      line += item;
    }
    out += line + "\n";
  };
  add_line("Usage: tarovue-scan", kTimedScan);
  for (const OptionRule& rule : kOptionRules) {
    if (rule.role != OptionRole::kSelector) continue;
    add_line("       tarovue-scan " + Shown(rule), static_cast<ScanMode>(rule.modes));
  }
  out += "       tarovue-scan --help | --version";
  return out;
}

// The text with the synopsis and every {NAME.FIELD} of a number option filled in from the
// table.
std::string Filled(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 256);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t open = text.find('{', i);
    const std::size_t close = open == std::string_view::npos ? open : text.find('}', open);
    if (close == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, open - i));
    const std::string_view key = text.substr(open + 1, close - open - 1);
    std::string value = key == "synopsis" ? Synopsis() : std::string();
    for (const NumberOption& option : kNumberOptions) {
      const std::string name = option.name;
      if (key == name + ".default") value = NumberText(option.default_value);
      if (key == name + ".low") value = NumberText(option.low);
      if (key == name + ".high") value = NumberText(option.high);
    }
    // Braces that name no number stay as they are ({"differences", ...}).
    out.append(value.empty() ? text.substr(open, close - open + 1) : std::string_view(value));
    i = close + 1;
  }
  return out;
}

}  // namespace

const char* ScanUsageText() {
  static const std::string text = Filled(kUsage);
  return text.c_str();
}
