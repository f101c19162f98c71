// The scanner's options as one table: what each is called, what value it takes, its bounds
// and default, and where it goes in ScanOptions. The parser (scan/scan_options.cpp), its
// one-line messages and the help text (scan/scan_usage.cpp) all read it.
#pragma once

#include <charconv>
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
    {"fetch-concurrency", "N", "a whole number", 1, kMaxFetchConcurrency, kFetchConcurrencyFromLimit,
     nullptr, &ScanOptions::fetch_concurrency},
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
