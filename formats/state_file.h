// The state file of a long watch (--state): the device table as it stood, so that a restart
// (a package upgrade, a host reboot) does not forget an indicator that died meanwhile, nor
// the reboots counted so far. A JSON document {"devices": [...], "format": "tarovue-state",
// "saved": TIME, "version": 1}, one device a line; written with the one JSON writer, read
// with Qt's JSON classes. Pure text work; where and when it is written is the scanner's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_snapshot.h"

inline constexpr char kStateFormat[] = "tarovue-state";
inline constexpr int kStateVersion = 1;
// What the agent knew of the plant's devices is for the agent's user only.
inline constexpr mode_t kStateMode = 0600;

// The document of `devices`, `saved` in seconds since 1970 UTC, ending in a line feed.
std::string StateDocument(const std::vector<DeviceSnapshot>& devices, int64_t saved);

// Reads a document that StateDocument wrote. True with `devices` filled (texts, status,
// validity, first and last seen, boot and config ids, reboots); false with `devices` empty
// and a one-line reason in `error` for anything else: not JSON, cut short, another format or
// version, a device without a USN or a dotted address.
bool ReadStateDocument(std::string_view bytes, std::vector<DeviceSnapshot>& devices,
                       std::string& error);
