#include "scan/scan_options.h"

#include "version.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

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

}  // namespace

bool ParseScanOptions(int argc, const char* const* argv, ScanOptions& options, std::string& error) {
  error.clear();
  bool timed = false;
  for (int i = 1; i < argc && error.empty(); ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inline_value = false;
    if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inline_value = true;
    }
    const auto flag = [&](const char* name) {
      if (arg != name) return false;
      if (inline_value) error = std::string(name) + " takes no value";
      return true;
    };
    const auto with_value = [&](const char* name) {
      if (arg != name) return false;
      if (!inline_value) {
        if (i + 1 >= argc) {
          error = std::string(name) + " needs a value";
          return true;
        }
        value = argv[++i];
      }
      return true;
    };

    if (flag("--help") || flag("-h")) {
      options.help = true;
    } else if (flag("--version")) {
      options.version = true;
    } else if (flag("--watch")) {
      options.watch = true;
    } else if (with_value("--time")) {
      timed = true;
      if (error.empty() && !ParseSeconds(value, options.seconds)) {
        error = "--time needs a number of seconds from 0.1 to 86400 (got " + Quoted(value) + ")";
      }
    } else if (with_value("--format")) {
      if (error.empty() && !ParseFormat(value, options.format)) {
        error = "--format needs table, json or csv (got " + Quoted(value) + ")";
      }
    } else {
      error = "unknown argument " + Quoted(argv[i]) + " (see --help)";
    }
  }
  if (error.empty() && timed && options.watch) {
    error = "--time and --watch cannot be combined: --watch runs until interrupted";
  }
  return error.empty();
}

const char* ScanUsageText() {
  return R"(Usage: tarovue-scan [--time SECONDS] [--format table|json|csv] [--watch]
Finds Tarovue's weighing indicators on the local network, as the dialog's search does: sends
one search burst, listens, fetches each device's description and prints what it found.

  --time SECONDS   listen this long before printing (default 6; devices may delay their
                   answers by up to 5 s)
  --format FORMAT  table (default): aligned columns for reading;
                   json: an array of objects with the keys address, hostname, devtype,
                   status, valid_until (local time with offset, or null), model_name,
                   model_number, serial_number, guid, page_url, usn;
                   csv: the same columns under a header row (RFC 4180)
  --watch          keep listening and print a line per event (new, online, changed,
                   byebye, lost) with its time, until interrupted; each line read on
                   standard input starts a new search. With json, one object per line;
                   with csv, a header row and then one row per event.
  --help, --version

Port 1900 is shared with other SSDP programs; when it cannot be had, searches still work but
announcements are missed. Exit status: 0 when the scan ran (with devices or none), 1 when it
could not run (a message on standard error), 2 for bad arguments.
)";
}

const char* ScanVersionText() {
  return TAROVUE_FILE_VERSION;
}
