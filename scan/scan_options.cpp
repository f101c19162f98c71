#include "scan/scan_options.h"

#include "version.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iterator>

#include <QCommandLineParser>
#include <QStringList>

#include "formats/safe_text.h"
#include "scan/option_table.h"
#include "scan/target_list.h"

namespace {

// Digits with at most one point, within [low, high]; false for anything else (signs,
// exponents, hexadecimal, "nan").
bool ParseDecimal(const std::string& text, double low, double high, double& value) {
  if (text.empty() || text == "." || text.find_first_not_of("0123456789.") != std::string::npos ||
      std::count(text.begin(), text.end(), '.') > 1) {
    return false;
  }
  double parsed = 0;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, parsed, std::chars_format::fixed);
  if (result.ec != std::errc() || result.ptr != end || parsed < low || parsed > high) return false;
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

bool ParseNumberOption(const NumberOption& option, const std::string& text, ScanOptions& options) {
  if (option.whole != nullptr) {
    return ParseWhole(text, static_cast<int>(option.low), static_cast<int>(option.high),
                      options.*option.whole);
  }
  return ParseDecimal(text, option.low, option.high, options.*option.decimal);
}

bool ParseFormat(const std::string& text, ScanFormat& format) {
  for (const FormatName& known : kFormatNames) {
    if (text != known.name) continue;
    format = known.format;
    return true;
  }
  return false;
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
  return MessageQuoted(text, 60);
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

std::string Dashed(const char* name) {
  return std::string("--") + name;
}

// The mode the command line asks for.
ScanMode ModeOf(const QCommandLineParser& parser) {
  if (parser.isSet(QStringLiteral("serve"))) return kAgentMode;
  return parser.isSet(QStringLiteral("watch")) ? kWatchMode : kTimedScan;
}

// The checks between options, once each has been read: one rule per option, the same for
// every mode (scan/option_table.h).
bool CheckCombinations(const QCommandLineParser& parser, std::string& error) {
  const ScanMode mode = ModeOf(parser);
  const char* mode_option = mode == kAgentMode ? "--serve" : "--watch";
  for (const OptionRule& rule : kOptionRules) {
    if (!parser.isSet(rule.name)) continue;
    const std::string name = Dashed(rule.name);
    if ((rule.modes & mode) == 0) {
      if (rule.modes == kAgentMode) {
        error = name + " belongs to agent mode: add --serve [ADDRESS:]PORT";
      } else if (mode == kTimedScan) {
        error = name + " belongs to --watch and --serve: " + rule.why;
      } else {
        error = name + " and " + mode_option + " cannot be combined: " + rule.why;
      }
      return false;
    }
    if (rule.needs != nullptr && !parser.isSet(rule.needs)) {
      error = name + " needs " + Dashed(rule.needs) + ": " + rule.why;
      return false;
    }
    if (rule.excluded_by != nullptr && parser.isSet(rule.excluded_by)) {
      error = name + " and " + Dashed(rule.excluded_by) + " cannot be combined: " + rule.why;
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseScanOptions(int argc, const char* const* argv, ScanOptions& options, std::string& error) {
  error.clear();
  QCommandLineParser parser;
  parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
  parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
  for (const char* flag : kFlagOptions) parser.addOption(QCommandLineOption(flag));
  for (const NumberOption& number : kNumberOptions) {
    parser.addOption(QCommandLineOption(number.name, QString(), number.value_name));
  }
  for (const TextOption& text : kTextOptions) {
    parser.addOption(QCommandLineOption(text.name, QString(), text.value_name));
  }

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
  options.help = parser.isSet(QStringLiteral("help"));
  options.version = parser.isSet(QStringLiteral("version"));
  options.watch = parser.isSet(QStringLiteral("watch"));
  options.stats = parser.isSet(QStringLiteral("stats"));
  options.no_multicast = parser.isSet(QStringLiteral("no-multicast"));
  options.quiet = parser.isSet(QStringLiteral("quiet"));
  options.serve = parser.isSet(QStringLiteral("serve"));
  // Agent mode is a watch that also serves.
  if (options.serve) options.watch = true;

  for (const NumberOption& number : kNumberOptions) {
    if (!parser.isSet(number.name)) continue;
    const std::string value = parser.value(number.name).toStdString();
    if (!ParseNumberOption(number, value, options)) {
      error = std::string("--") + number.name + " needs " + number.needs + " from " +
              NumberText(number.low) + " to " + NumberText(number.high) + " (got " + Quoted(value) +
              ")";
      return false;
    }
  }
  for (const TextOption& text : kTextOptions) {
    if (!parser.isSet(text.name)) continue;
    const std::string value = parser.value(text.name).toLocal8Bit().toStdString();
    const std::string name = std::string("--") + text.name;
    std::string reason;
    switch (text.kind) {
      case TextKind::kFormat:
        if (!ParseFormat(value, options.format)) {
          error = name + " needs table, json or csv (got " + Quoted(value) + ")";
          return false;
        }
        break;
      case TextKind::kTargets:
        if (!ParseTargetList(value, options.targets, error)) return false;
        break;
      case TextKind::kInterfaces:
        if (!ParseInterfaces(value, options.interfaces, reason)) {
          error = name + " needs interface names or addresses (got " + Quoted(reason) + ")";
          return false;
        }
        break;
      case TextKind::kServeAddress:
        if (!ParseServeAddress(value, options.serve_address, reason)) {
          error = name + " " + reason + " (got " + Quoted(value) + ")";
          return false;
        }
        break;
      case TextKind::kFile:
        if (value.empty()) {
          error = name + " needs a file name";
          return false;
        }
        options.*text.file = value;
        break;
    }
  }
  return CheckCombinations(parser, error);
}

const char* ScanVersionText() {
  return TAROVUE_VERSION_LINE("tarovue-scan");
}
