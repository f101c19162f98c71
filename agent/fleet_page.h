// The fleet page at / as the agent renders it on request (the table shows without a script),
// and /events.json, which the page's script reads to keep it current; pure text functions of
// snapshots, the template being a file under agent/web/. Device texts reach the page as UTF-8
// with & < > " ' as character references and C0 controls and DEL as U+FFFD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_snapshot.h"
#include "devices/discovery_counters.h"
#include "devices/event_log.h"

// What the page shows besides the devices: the events, newest first, and the counters.
struct FleetFacts {
  std::vector<LoggedEvent> events;
  uint64_t events_total = 0;  // since the agent started, those no longer kept included
  DiscoveryCounters counters;
  int64_t now = 0;  // seconds since 1970 UTC
};

// `page_template` with each {{name}} filled in: {{version}}, {{time}} (now), {{summary}}
// (the summary line's parts), {{rows}} (a <tr> per device) and {{events}} (a <tr> per
// event). Anything else, an unknown name too, is copied as it stands.
std::string RenderFleetPage(std::string_view page_template, std::string_view version,
                            const std::vector<DeviceSnapshot>& devices, const FleetFacts& facts);

// The /events.json object: "time", "devices" (total, up and the count of each status word),
// "dropped" (datagrams by reason), "fetches" (descriptions by outcome), "events_total" and
// "events" (time, event, usn, address, hostname, serial_number; newest first).
std::string RenderEventsJson(const std::vector<DeviceSnapshot>& devices, const FleetFacts& facts);
