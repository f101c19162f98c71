#include "scan/scan_options.h"

#include "version.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <QCommandLineParser>
#include <QStringList>

#include "scan/safe_text.h"
#include "scan/target_list.h"

namespace {

// A decimal number within [low, high]; false for anything else.
bool ParseNumber(const std::string& text, double low, double high, double& value) {
  if (text.empty() || (text[0] != '.' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < low || parsed > high) {
    return false;
  }
  value = parsed;
  return true;
}

// A whole decimal number within [low, high], digits only; false for anything else.
bool ParseWhole(const std::string& text, int low, int high, int& value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int parsed = std::atoi(text.c_str());
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool ParseFormat(const std::string& text, ScanFormat& format) {
  if (text == "table") {
    format = ScanFormat::kTable;
  } else if (text == "json") {
    format = ScanFormat::kJson;
  } else if (text == "csv") {
    format = ScanFormat::kCsv;
  } else {
    return false;
  }
  return true;
}

// Names as `ip link` shows them (at most 15 bytes, no blanks or slashes) or dotted addresses;
// which of them the host has is known only once its interfaces are listed.
bool ParseInterfaces(const std::string& text, std::vector<std::string>& interfaces,
                     std::string& bad) {
  interfaces.clear();
  const QStringList items = QString::fromStdString(text).split(',');
  for (const QString& raw : items) {
    const std::string item = raw.trimmed().toStdString();
    const bool name_like = !item.empty() && item.size() <= 15 &&
                           std::all_of(item.begin(), item.end(),
                                       [](char c) { return c > ' ' && c != '/' && c != 0x7F; });
    if (!name_like) {
      bad = item;
      return false;
    }
    interfaces.push_back(item);
  }
  return true;
}

// An argument as it may appear in a one-line message: no control characters, cut short.
std::string Quoted(const std::string& text) {
  constexpr std::size_t kShown = 60;
  const std::string shown = TerminalText(text.substr(0, kShown));
  return "'" + shown + (text.size() > kShown ? "...'" : "'");
}

// The parser's complaint as one of our one-line messages, naming the argument as it was typed.
std::string ParserError(const QCommandLineParser& parser, int argc, const char* const* argv) {
  if (!parser.unknownOptionNames().isEmpty()) {
    const QString name = parser.unknownOptionNames().first();
    for (int i = 1; i < argc; ++i) {
      const QString arg = QString::fromLocal8Bit(argv[i]);
      if (arg.startsWith('-') && arg.section('=', 0, 0).endsWith(name)) {
        return "unknown argument " + Quoted(argv[i]) + " (see --help)";
      }
    }
    return "unknown argument " + Quoted(name.toStdString()) + " (see --help)";
  }
  // Qt says "Missing value after '--time'." or "Unexpected value after '--watch'.".
  const QString text = parser.errorText();
  const QString option = text.section('\'', 1, 1);
  if (text.startsWith(QStringLiteral("Missing value")))
    return option.toStdString() + " needs a value";
  if (text.startsWith(QStringLiteral("Unexpected value"))) {
    return option.section('=', 0, 0).toStdString() + " takes no value";
  }
  return TerminalText(text.toStdString());
}

bool ParseAgentOptions(const QCommandLineParser& parser, const QCommandLineOption& serve,
                       const QCommandLineOption& interval, const QCommandLineOption& quiet,
                       ScanOptions& options, std::string& error) {
  options.serve = parser.isSet(serve);
  options.quiet = parser.isSet(quiet);
  if (!options.serve) {
    if (parser.isSet(interval) || options.quiet) {
      error = std::string(parser.isSet(interval) ? "--interval" : "--quiet") +
              " belongs to agent mode: add --serve [ADDRESS:]PORT";
      return false;
    }
    return true;
  }
  const std::string value = parser.value(serve).toStdString();
  std::string reason;
  if (!ParseServeAddress(value, options.serve_address, reason)) {
    error = "--serve " + reason + " (got " + Quoted(value) + ")";
    return false;
  }
  if (parser.isSet(QStringLiteral("time"))) {
    error = "--time and --serve cannot be combined: agent mode runs until interrupted";
    return false;
  }
  if (parser.isSet(interval)) {
    const std::string seconds = parser.value(interval).toStdString();
    if (!ParseWhole(seconds, kMinSearchIntervalSeconds, kMaxSearchIntervalSeconds,
                    options.search_interval)) {
      error = "--interval needs whole seconds from 10 to 86400 (got " + Quoted(seconds) + ")";
      return false;
    }
  }
  options.watch = true;
  return true;
}

}  // namespace

bool ParseScanOptions(int argc, const char* const* argv, ScanOptions& options, std::string& error) {
  error.clear();
  QCommandLineParser parser;
  parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version("version");
  const QCommandLineOption watch("watch");
  const QCommandLineOption stats("stats");
  const QCommandLineOption time("time", QString(), "seconds");
  const QCommandLineOption format("format", QString(), "format");
  const QCommandLineOption concurrency("fetch-concurrency", QString(), "n");
  const QCommandLineOption fetch_timeout("fetch-timeout", QString(), "seconds");
  const QCommandLineOption refresh("refresh", QString(), "seconds");

  const QCommandLineOption target("target", QString(), "list");
  const QCommandLineOption interface("interface", QString(), "list");
  const QCommandLineOption rate("rate", QString(), "searches");
  const QCommandLineOption no_multicast("no-multicast");
  parser.addOptions({help, version, watch, stats, time, format});
  parser.addOptions({target, interface, rate, no_multicast, concurrency, fetch_timeout, refresh});
  const QCommandLineOption max_devices("max-devices", QString(), "n");
  const QCommandLineOption forget("forget", QString(), "seconds");
  parser.addOptions({max_devices, forget});
  const QCommandLineOption save("save", QString(), "file");
  const QCommandLineOption baseline("baseline", QString(), "file");
  parser.addOptions({save, baseline});
  const QCommandLineOption serve("serve", QString(), "address");
  const QCommandLineOption interval("interval", QString(), "seconds");
  const QCommandLineOption quiet("quiet");
  parser.addOptions({serve, interval, quiet});

  QStringList arguments = {QStringLiteral("tarovue-scan")};
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (!parser.parse(arguments)) {
    error = ParserError(parser, argc, argv);
    return false;
  }
  if (!parser.positionalArguments().isEmpty()) {
    error = "unknown argument " + Quoted(parser.positionalArguments().first().toStdString()) +
            " (see --help)";
    return false;
  }
  options.help = parser.isSet(help);
  options.version = parser.isSet(version);
  options.watch = parser.isSet(watch);
  options.stats = parser.isSet(stats);
  if (parser.isSet(time)) {
    const std::string value = parser.value(time).toStdString();
    if (!ParseNumber(value, kMinListenSeconds, kMaxListenSeconds, options.seconds)) {
      error = "--time needs a number of seconds from 0.1 to 86400 (got " + Quoted(value) + ")";
      return false;
    }
    if (options.watch) {
      error = "--time and --watch cannot be combined: --watch runs until interrupted";
      return false;
    }
  }
  if (parser.isSet(concurrency)) {
    const std::string value = parser.value(concurrency).toStdString();
    if (!ParseWhole(value, 1, kMaxFetchConcurrency, options.fetch_concurrency)) {
      error = "--fetch-concurrency needs a whole number from 1 to 256 (got " + Quoted(value) + ")";
      return false;
    }
  }
  if (parser.isSet(max_devices)) {
    const std::string value = parser.value(max_devices).toStdString();
    if (!ParseWhole(value, 1, kMaxMaxDevices, options.max_devices)) {
      error = "--max-devices needs a whole number from 1 to 1000000 (got " + Quoted(value) + ")";
      return false;
    }
  }
  if (parser.isSet(forget)) {
    const std::string value = parser.value(forget).toStdString();
    if (!ParseNumber(value, 1, kMaxForgetSeconds, options.forget)) {
      error = "--forget needs a number of seconds from 1 to 31536000 (got " + Quoted(value) + ")";
      return false;
    }
  }
  if (parser.isSet(fetch_timeout)) {
    const std::string value = parser.value(fetch_timeout).toStdString();
    if (!ParseNumber(value, kMinFetchTimeoutSeconds, kMaxFetchTimeoutSeconds,
                     options.fetch_timeout)) {
      error =
          "--fetch-timeout needs a number of seconds from 0.5 to 60 (got " + Quoted(value) + ")";
      return false;
    }
  }
  if (parser.isSet(refresh)) {
    const std::string value = parser.value(refresh).toStdString();
    if (!ParseNumber(value, 0, kMaxListenSeconds, options.refresh)) {
      error = "--refresh needs a number of seconds from 0 to 86400 (got " + Quoted(value) + ")";
      return false;
    }
  }
  if (!ParseAgentOptions(parser, serve, interval, quiet, options, error)) return false;
  if (parser.isSet(format)) {
    const std::string value = parser.value(format).toStdString();
    if (!ParseFormat(value, options.format)) {
      error = "--format needs table, json or csv (got " + Quoted(value) + ")";
      return false;
    }
  }
  if (parser.isSet(target) &&
      !ParseTargetList(parser.value(target).toStdString(), options.targets, error)) {
    return false;
  }
  if (parser.isSet(interface)) {
    std::string bad;
    if (!ParseInterfaces(parser.value(interface).toStdString(), options.interfaces, bad)) {
      error = "--interface needs interface names or addresses (got " + Quoted(bad) + ")";
      return false;
    }
  }
  if (parser.isSet(rate)) {
    const std::string value = parser.value(rate).toStdString();
    if (!ParseWhole(value, 1, kMaxUnicastRate, options.rate)) {
      error = "--rate needs a whole number of searches a second from 1 to " +
              std::to_string(kMaxUnicastRate) + " (got " + Quoted(value) + ")";
      return false;
    }
  }
  options.no_multicast = parser.isSet(no_multicast);
  if (options.no_multicast && options.targets.empty()) {
    error = "--no-multicast needs --target: nothing would be searched";
    return false;
  }
  for (const QCommandLineOption* file : {&save, &baseline}) {
    if (!parser.isSet(*file)) continue;
    const std::string name = "--" + file->names().first().toStdString();
    if (parser.value(*file).isEmpty()) {
      error = name + " needs a file name";
      return false;
    }
    // The agent keeps its inventory current after every search; a plain watch has no end
    // at which to write one, and a comparison is a timed scan's verdict.
    if (options.watch && !(options.serve && file == &save)) {
      error = name + (options.serve ? " and --serve" : " and --watch") +
              " cannot be combined: an inventory is taken by a timed scan";
      return false;
    }
    (file == &save ? options.save_path : options.baseline_path) =
        parser.value(*file).toLocal8Bit().toStdString();
  }
  return true;
}

const char* ScanUsageText() {
  return R"(Usage: tarovue-scan [--time SECONDS] [--format table|json|csv] [--watch] [--stats]
                    [--fetch-concurrency N] [--fetch-timeout SECONDS] [--refresh SECONDS]
                    [--target LIST [--rate N] [--no-multicast]] [--interface LIST]
                    [--save FILE] [--baseline FILE] [--max-devices N] [--forget SECONDS]
       tarovue-scan --serve [ADDRESS:]PORT [--interval SECONDS] [--quiet] [--format FORMAT]
Finds Tarovue's weighing indicators on the local network, as the dialog's search does: sends
one search burst, listens, fetches each device's description and prints what it found.

  --time SECONDS   listen this long before printing (default 6; devices may delay their
                   answers by up to 5 s)
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
                   descriptions fetched at once (default 32, 1..256); never two at a
                   time from one device address
  --fetch-timeout SECONDS
                   bound of one description fetch (default 5, 0.5..60); the connect
                   is bounded by 2 s within it
  --refresh SECONDS
                   a description fetched this recently is not fetched again (default
                   300) unless the device's BOOTID or CONFIGID changed; a failing
                   device is left alone for 5 s, then 10, 20, ... up to 300 s
  --watch          keep listening and print a line per event (new, online, changed,
                   byebye, lost) with its time, until interrupted; each line read on
                   standard input starts a new search. With json, one object per line;
                   with csv, a header row and then one row per event.
  --max-devices N  devices kept at most (default 10000, 1..1000000); announcements of
                   further new devices are dropped (dropped.table_full), so that forged
                   announcements cannot exhaust memory
  --forget SECONDS with --watch or --serve: a device gone (byebye or lost) this long is
                   removed, with a "forgotten" event (default 86400)
  --target LIST    also search these IPv4 addresses and CIDR blocks, comma-separated
                   (10.1.5.0/24,10.1.9.17; at most 65536 addresses, a block's network and
                   broadcast addresses left out): each search sends one request to each
                   address's port 1900, which reaches devices beyond routers; they answer
                   at once
  --rate N         unicast searches a second, 1 to 10000 (default 200)
  --no-multicast   send only the unicast searches of --target, no multicast burst
  --interface LIST search and listen for announcements only on these interfaces, by name
                   (as `ip link` shows them) or address, comma-separated; unicast searches
                   go where the routing table sends them. Default: every interface that is
                   up, loopback aside
  --save FILE      after the report write the devices seen to FILE as an inventory (JSON
                   with usn, address, hostname, devtype, model_name, model_number,
                   serial_number, guid, page_url), atomically, mode 0644
  --baseline FILE  compare the scan with the inventory in FILE and report each difference:
                   missing, new, moved (same USN, another address), replaced (same
                   address, another USN or serial number) or changed (same USN and
                   address, other texts). Devices that share an address are matched by
                   USN only. json: an object {"differences", "devices", "conflicts"};
                   csv: one row per difference or conflict. FILE is read before --save
                   writes, so both may name the same file.
                   With --save or --baseline, identity conflicts are reported too:
                   address_shared (two USNs from one address), location_mismatch (the
                   LOCATION's host is not the sender), usn_moved (one USN from two
                   addresses); in the plain json and csv reports on standard error.
  --serve [ADDRESS:]PORT
                   agent mode: watch as --watch does and serve /metrics (Prometheus),
                   /targets (HTTP service discovery), /devices.json and / over HTTP;
                   a bare port listens on 127.0.0.1 only. Searches again every
                   --interval seconds
  --interval SECONDS
                   with --serve: seconds between searches (default 300, at least 10)
  --quiet          with --serve: no event lines on standard output
  --help, --version

Port 1900 is shared with other SSDP programs; when it cannot be had, searches still work but
announcements are missed. Exit status: 0 when the scan ran (with devices or none) and
matches the baseline, 1 when it could not run or save (a message on standard error; also a
--serve port that is taken), 2 for bad arguments, an --interface the host does not have (the
message lists the usable ones) or a baseline that cannot be read, 3 when the scan differs
from the baseline.
)";
}

const char* ScanVersionText() {
  return TAROVUE_FILE_VERSION;
}
