#include "scan/scan_options.h"

#include "version.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <QCommandLineParser>
#include <QStringList>

#include "scan/safe_text.h"

namespace {

bool ParseSeconds(const std::string& text, double& seconds) {
  if (text.empty() || (text[0] != '.' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < kMinListenSeconds ||
      value > kMaxListenSeconds) {
    return false;
  }
  seconds = value;
  return true;
}

bool ParseInterval(const std::string& text, int& seconds) {
  if (text.empty() || text.size() > 6) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < kMinSearchIntervalSeconds || value > kMaxSearchIntervalSeconds) return false;
  seconds = value;
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
    if (!ParseInterval(seconds, options.search_interval)) {
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
  const QCommandLineOption serve("serve", QString(), "address");
  const QCommandLineOption interval("interval", QString(), "seconds");
  const QCommandLineOption quiet("quiet");
  parser.addOptions({help, version, watch, stats, time, format, serve, interval, quiet});

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
    if (!ParseSeconds(value, options.seconds)) {
      error = "--time needs a number of seconds from 0.1 to 86400 (got " + Quoted(value) + ")";
      return false;
    }
    if (options.watch) {
      error = "--time and --watch cannot be combined: --watch runs until interrupted";
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
  return true;
}

const char* ScanUsageText() {
  return R"(Usage: tarovue-scan [--time SECONDS] [--format table|json|csv] [--watch] [--stats]
       tarovue-scan --serve [ADDRESS:]PORT [--interval SECONDS] [--quiet] [--format FORMAT]
Finds Tarovue's weighing indicators on the local network, as the dialog's search does: sends
one search burst, listens, fetches each device's description and prints what it found.

  --time SECONDS   listen this long before printing (default 6; devices may delay their
                   answers by up to 5 s)
  --format FORMAT  table (default): aligned columns for reading;
                   json: an array of objects with the keys address, hostname, devtype,
                   status, valid_until (local time with offset, or null), model_name,
                   model_number, serial_number, guid, page_url, usn;
                   csv: the same columns under a header row (RFC 4180)
  --stats          after the report (or when a watch ends) print the counters to standard
                   error, one "name value" pair a line: datagrams received per socket,
                   accepted and dropped by reason, description fetches by outcome and
                   their durations, searches sent
  --watch          keep listening and print a line per event (new, online, changed,
                   byebye, lost) with its time, until interrupted; each line read on
                   standard input starts a new search. With json, one object per line;
                   with csv, a header row and then one row per event.
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
announcements are missed. Exit status: 0 when the scan ran (with devices or none), 1 when it
could not run (a message on standard error; also a --serve port that is taken), 2 for bad
arguments.
)";
}

const char* ScanVersionText() {
  return TAROVUE_FILE_VERSION;
}
