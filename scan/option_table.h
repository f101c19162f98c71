// The scanner's options as one table: what each is called, what value it takes, its bounds
// and default, where it goes in ScanOptions, and in which modes it does something. The parser
// (scan/scan_options.cpp), its one-line messages, the help text (scan/scan_usage.cpp) and the
// shell completion made at build time all read it.
#pragma once

#include <charconv>
#include <cstddef>
#include <iterator>
#include <string>

#include "scan/scan_options.h"

// Options without a value (and -h, --help).
inline constexpr const char* kFlagOptions[] = {"version", "watch", "stats", "no-multicast",
                                               "quiet"};

struct NumberOption {
  const char* name;        // without the dashes
  const char* value_name;  // as the help text shows it
  const char* needs;       // what the message says the option needs
  double low;
  double high;
  double default_value;
  double ScanOptions::*decimal;  // exactly one of the two fields is set
  int ScanOptions::*whole;
};

inline constexpr NumberOption kNumberOptions[] = {
    {"time", "SECONDS", "a number of seconds", kMinListenSeconds, kMaxListenSeconds,
     kDefaultListenSeconds, &ScanOptions::seconds, nullptr},
    {"fetch-concurrency", "N", "a whole number", 1, kMaxFetchConcurrency,
     kFetchConcurrencyFromLimit, nullptr, &ScanOptions::fetch_concurrency},
    {"max-devices", "N", "a whole number", 1, kMaxMaxDevices, kDefaultMaxDevices, nullptr,
     &ScanOptions::max_devices},
    {"forget", "SECONDS", "a number of seconds", kMinForgetSeconds, kMaxForgetSeconds,
     kDefaultForgetSeconds, &ScanOptions::forget, nullptr},
    {"fetch-timeout", "SECONDS", "a number of seconds", kMinFetchTimeoutSeconds,
     kMaxFetchTimeoutSeconds, kDefaultFetchTimeoutSeconds, &ScanOptions::fetch_timeout, nullptr},
    {"refresh", "SECONDS", "a number of seconds", 0, kMaxRefreshSeconds, kDefaultRefreshSeconds,
     &ScanOptions::refresh, nullptr},
    {"rate", "N", "a whole number of searches a second", 1, kMaxUnicastRate, kDefaultUnicastRate,
     nullptr, &ScanOptions::rate},
    {"interval", "SECONDS", "whole seconds", kMinSearchIntervalSeconds, kMaxSearchIntervalSeconds,
     kDefaultSearchIntervalSeconds, nullptr, &ScanOptions::search_interval},
};

// --format's values, in the order the help and the completion offer them.
struct FormatName {
  const char* name;
  ScanFormat format;
};
inline constexpr FormatName kFormatNames[] = {
    {"table", ScanFormat::kTable}, {"json", ScanFormat::kJson}, {"csv", ScanFormat::kCsv}};

// Options that take a text, read in this order.
enum class TextKind { kFormat, kTargets, kInterfaces, kServeAddress, kFile };
struct TextOption {
  const char* name;
  const char* value_name;
  TextKind kind;
  std::string ScanOptions::*file = nullptr;  // for kFile
};

inline constexpr TextOption kTextOptions[] = {
    {"format", "FORMAT", TextKind::kFormat},
    {"target", "LIST", TextKind::kTargets},
    {"interface", "LIST", TextKind::kInterfaces},
    {"serve", "[ADDRESS:]PORT", TextKind::kServeAddress},
    {"save", "FILE", TextKind::kFile, &ScanOptions::save_path},
    {"baseline", "FILE", TextKind::kFile, &ScanOptions::baseline_path},
    {"state", "FILE", TextKind::kFile, &ScanOptions::state_path},
    {"web-config", "FILE", TextKind::kFile, &ScanOptions::web_config_path},
};

// A bound or default as messages and the help text show it: "0.1", "60", "31536000".
inline std::string NumberText(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return std::string(text, result.ptr);
}

// How a run goes: a timed scan, a watch (--watch), or agent mode (--serve: a watch that also
// serves). An option that does nothing in a mode is refused there, with the same message
// whichever mode it is.
enum ScanMode : unsigned { kTimedScan = 1u << 0, kWatchMode = 1u << 1, kAgentMode = 1u << 2 };
inline constexpr unsigned kEveryMode = kTimedScan | kWatchMode | kAgentMode;

enum class OptionRole {
  kPlain,     // shown in the synopsis of each mode it belongs to
  kSelector,  // chooses the mode: --watch, --serve
  kAlone,     // ends the program before any mode: --version
};

struct OptionRule {
  const char* name;
  OptionRole role;
  unsigned modes;  // ScanMode bits
  // Why it is refused in the other modes, as the message's end; agent-only options need
  // none (the message says to add --serve).
  const char* why = nullptr;
  const char* needs = nullptr;        // an option without which it does nothing
  const char* excluded_by = nullptr;  // an option with which it does nothing
};

// In the order of the help's synopsis; an option that needs another is shown inside its
// brackets.
inline constexpr OptionRule kOptionRules[] = {
    {"watch", OptionRole::kSelector, kWatchMode, "agent mode is a watch already"},
    {"serve", OptionRole::kSelector, kAgentMode},
    {"time", OptionRole::kPlain, kTimedScan, "only a timed scan ends by itself"},
    {"format", OptionRole::kPlain, kEveryMode, "--quiet prints no event lines", nullptr, "quiet"},
    {"stats", OptionRole::kPlain, kEveryMode},
    {"fetch-concurrency", OptionRole::kPlain, kEveryMode},
    {"fetch-timeout", OptionRole::kPlain, kEveryMode},
    {"refresh", OptionRole::kPlain, kEveryMode},
    {"target", OptionRole::kPlain, kEveryMode},
    {"rate", OptionRole::kPlain, kEveryMode, "it paces the unicast searches", "target"},
    {"no-multicast", OptionRole::kPlain, kEveryMode, "nothing would be searched", "target"},
    {"interface", OptionRole::kPlain, kEveryMode},
    {"max-devices", OptionRole::kPlain, kEveryMode},
    {"save", OptionRole::kPlain, kEveryMode},
    {"baseline", OptionRole::kPlain, kTimedScan, "a comparison is a timed scan's verdict"},
    {"forget", OptionRole::kPlain, kWatchMode | kAgentMode, "a timed scan removes no device"},
    {"state", OptionRole::kPlain, kWatchMode | kAgentMode, "a timed scan keeps nothing"},
    {"interval", OptionRole::kPlain, kAgentMode},
    {"quiet", OptionRole::kPlain, kAgentMode},
    {"web-config", OptionRole::kPlain, kAgentMode},
    {"version", OptionRole::kAlone, kEveryMode},
};

namespace option_table_check {
constexpr bool Same(const char* a, const char* b) {
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}
constexpr bool HasRule(const char* name) {
  for (const OptionRule& rule : kOptionRules) {
    if (Same(rule.name, name)) return true;
  }
  return false;
}
// Each option has a rule, and there are no more rules than options.
constexpr bool EveryOptionHasARule() {
  std::size_t options = 0;
  for (const char* name : kFlagOptions) {
    if (!HasRule(name)) return false;
    ++options;
  }
  for (const NumberOption& option : kNumberOptions) {
    if (!HasRule(option.name)) return false;
    ++options;
  }
  for (const TextOption& option : kTextOptions) {
    if (!HasRule(option.name)) return false;
    ++options;
  }
  return options == std::size(kOptionRules);
}
// A rule that can refuse its option says why; agent mode's options have a message of their own.
constexpr bool EveryRefusalSaysWhy() {
  for (const OptionRule& rule : kOptionRules) {
    const bool refusable = (rule.modes != kEveryMode && rule.modes != kAgentMode) ||
                           rule.needs != nullptr || rule.excluded_by != nullptr;
    if (refusable && rule.why == nullptr) return false;
  }
  return true;
}
}  // namespace option_table_check
static_assert(option_table_check::EveryOptionHasARule(),
              "every option needs its rule in kOptionRules, and every rule an option");
static_assert(option_table_check::EveryRefusalSaysWhy(), "a rule that can refuse needs a why");
