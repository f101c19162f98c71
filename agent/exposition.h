// What the fleet agent serves, as pure text functions of snapshots of the device table and
// of the counters: the Prometheus exposition (format 0.0.4), the HTTP service discovery
// list and the device list. No sockets, so that tests and the benchmark call them directly.
// Device texts are untrusted; every output here is valid UTF-8 with them escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/http_counters.h"
#include "devices/device_events.h"
#include "devices/device_snapshot.h"
#include "devices/discovery_counters.h"
#include "http/url.h"

// A label value for the exposition, quotes not included: valid UTF-8 with '\', '"' and line
// feed escaped and every other control character (C0, DEL, C1) replaced by U+FFFD.
std::string LabelValue(std::string_view text);

// The whole /metrics text: devices, counters and build info, each family with HELP and TYPE.
std::string RenderMetrics(const std::vector<DeviceSnapshot>& devices,
                          const DiscoveryCounters& counters, std::string_view version);

// The agent's own lines for /metrics, after RenderMetrics's: HTTP answers and cut
// connections, basic auth, targets left out and, with a web configuration, its reloads.
std::string RenderHttpMetrics(const HttpCounters& counters);

// The status words of the device table, in the order /metrics and the fleet page count them.
inline constexpr DeviceEventKind kTableStatuses[] = {
    DeviceEventKind::kNew,    DeviceEventKind::kOnline, DeviceEventKind::kChanged,
    DeviceEventKind::kByebye, DeviceEventKind::kLost,   DeviceEventKind::kSearching};

// The /targets JSON: one target group for each device whose page the page rule
// (http/url.h DevicePage) finds its own, with "host:port" of that address and the
// __meta_tarovue_* labels. Any other page is left out (a device, or whoever answers as one,
// must not point the prober at an internal admin page or a cloud metadata address): one on
// another host is added to `*foreign_host`, one on the sender's address but named by a
// description from elsewhere to `*foreign_description`.
std::string RenderTargets(const std::vector<DeviceSnapshot>& devices,
                          std::uint64_t* foreign_host = nullptr,
                          std::uint64_t* foreign_description = nullptr);

// The /devices.json array: the objects of --format json with "last_seen", "reboots" and
// "page_link" (the page address when the page rule finds it the device's own, else null)
// added.
std::string RenderDevicesJson(const std::vector<DeviceSnapshot>& devices);
