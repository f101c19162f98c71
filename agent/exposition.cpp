#include "agent/exposition.h"

#include "agent/agent_protocol.h"

#include <charconv>
#include <cstdio>
#include <span>
#include <unordered_set>

#include "devices/device_events.h"
#include "devices/device_liveness.h"
#include "devices/identity_conflicts.h"
#include "formats/device_report.h"
#include "formats/json_writer.h"
#include "formats/time_text.h"
#include "http/url.h"
#include "parse/device_text.h"

namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

template <typename Value>
void Number(std::string& out, Value value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, static_cast<std::size_t>(result.ptr - text));
}

// name{key="value",...} value\n, with the values already escaped.
struct Label {
  const char* key;
  std::string_view value;
};

template <typename Value>
void Sample(std::string& out, std::string_view name, std::initializer_list<Label> labels,
            Value value) {
  out += name;
  if (labels.size() != 0) {
    out += '{';
    bool first = true;
    for (const Label& label : labels) {
      if (!first) out += ',';
      first = false;
      out += label.key;
      out += "=\"";
      out += label.value;
      out += '"';
    }
    out += '}';
  }
  out += ' ';
  Number(out, value);
  out += '\n';
}

// Whether `text` is a label value as it stands: printable ASCII without '\\' or '"'. Most
// device texts are, and they are copied without a detour through UTF-8 checks.
bool PlainLabel(std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E || c == '\\' || c == '"') return false;
  }
  return true;
}

// U+FFFD: what a control byte in a label value becomes.
constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// Appends LabelValue(text) to `out`.
void AppendLabelValue(std::string& out, std::string_view text) {
  if (PlainLabel(text)) {
    out += text;
    return;
  }
  const std::string valid = DeviceTextToUtf8(text);
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const auto c = static_cast<unsigned char>(valid[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      out += kReplacementCharacter;
    } else if (c == 0xC2 && i + 1 < valid.size() &&
               static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
      out += kReplacementCharacter;  // C1 controls, U+0080 to U+009F
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
}

// A counter without labels: its family and its one sample.
template <typename Value>
void Counter(std::string& out, const char* name, const char* help, Value value) {
  Family(out, name, "counter", help);
  Sample(out, name, {}, value);
}

}  // namespace

std::string LabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendLabelValue(out, text);
  return out;
}

std::string RenderMetrics(const std::vector<DeviceSnapshot>& devices,
                          const DiscoveryCounters& counters, std::string_view version) {
  // Two texts that differ only in bytes the escaping replaces would give the same series
  // twice, and Prometheus refuses a whole scrape for that: the first one wins.
  std::vector<std::string> usns;
  std::vector<const DeviceSnapshot*> shown;
  usns.reserve(devices.size());
  shown.reserve(devices.size());
  std::unordered_set<std::string_view> seen;
  seen.reserve(devices.size());
  for (const DeviceSnapshot& device : devices) {
    usns.push_back(LabelValue(device.usn));
    if (!seen.insert(usns.back()).second) {
      usns.pop_back();
      continue;
    }
    shown.push_back(&device);
  }

  std::string out;
  out.reserve(4096 + shown.size() * 700);
  Family(out, "tarovue_device_up", "gauge",
         "1 while the device's last announcement holds and it has not said byebye, whatever "
         "a search in flight says; 0 after byebye or once lost.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    Sample(out, "tarovue_device_up", {{"usn", usns[i]}}, int64_t{IsUp(*shown[i]) ? 1 : 0});
  }
  Family(out, "tarovue_device_info", "gauge",
         "Descriptive texts of each device, always 1: join on usn.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    out += "tarovue_device_info{usn=\"";
    out += usns[i];
    // The descriptive labels after usn, written straight into the text: each appears once,
    // so none is kept.
    for (const DeviceTextKey& label : std::span(kDeviceTextKeys).subspan(1)) {
      out += "\",";
      out += label.key;
      out += "=\"";
      AppendLabelValue(out, shown[i]->*label.text);
    }
    out += "\"} 1\n";
  }
  Family(out, "tarovue_device_valid_until_seconds", "gauge",
         "Unix time until which the device's last announcement holds; 0 while it is not "
         "valid.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    Sample(out, "tarovue_device_valid_until_seconds", {{"usn", usns[i]}},
           int64_t{shown[i]->valid_until});
  }
  Family(out, "tarovue_device_reboots_total", "counter",
         "Reboots of the device: new boot ids (BOOTID.UPNP.ORG) it announced without notice, "
         "kept across the agent's restarts with --state.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    Sample(out, "tarovue_device_reboots_total", {{"usn", usns[i]}}, int64_t{shown[i]->reboots});
  }
  Family(out, "tarovue_device_last_seen_seconds", "gauge",
         "Unix time of the device's last announcement or search answer.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i]->last_seen <= 0) continue;
    Sample(out, "tarovue_device_last_seen_seconds", {{"usn", usns[i]}}, shown[i]->last_seen);
  }

  Family(out, "tarovue_devices", "gauge", "Devices in the agent's table, by status.");
  for (const DeviceEventKind kind : kTableStatuses) {
    const char* word = DeviceEventName(kind);
    int64_t count = 0;
    for (const DeviceSnapshot* device : shown) count += device->status == word ? 1 : 0;
    Sample(out, "tarovue_devices", {{"status", word}}, count);
  }

  Family(out, "tarovue_datagrams_received_total", "counter", "Datagrams received, by SSDP socket.");
  for (std::size_t i = 0; i < kSsdpSocketCount; ++i) {
    Sample(out, "tarovue_datagrams_received_total",
           {{"socket", SsdpSocketName(static_cast<SsdpSocketId>(i))}}, counters.received[i]);
  }
  Family(out, "tarovue_datagrams_accepted_total", "counter",
         "Datagrams taken as announcements, by kind.");
  for (std::size_t i = 0; i < kDatagramOutcomeCount; ++i) {
    const auto outcome = static_cast<DatagramOutcome>(i);
    if (!IsAccepted(outcome)) continue;
    Sample(out, "tarovue_datagrams_accepted_total", {{"kind", DatagramOutcomeName(outcome)}},
           counters.datagrams[i]);
  }
  Family(out, "tarovue_datagrams_dropped_total", "counter", "Datagrams dropped, by reason.");
  for (std::size_t i = 0; i < kDatagramOutcomeCount; ++i) {
    const auto outcome = static_cast<DatagramOutcome>(i);
    if (IsAccepted(outcome)) continue;
    Sample(out, "tarovue_datagrams_dropped_total", {{"reason", DatagramOutcomeName(outcome)}},
           counters.datagrams[i]);
  }
  Family(out, "tarovue_description_fetches_total", "counter",
         "Device description fetches, by outcome.");
  for (std::size_t i = 0; i < kFetchOutcomeCount; ++i) {
    Sample(out, "tarovue_description_fetches_total",
           {{"outcome", FetchOutcomeName(static_cast<FetchOutcome>(i))}}, counters.fetches[i]);
  }
  Family(out, "tarovue_description_fetch_duration_seconds", "histogram",
         "Duration of device description fetches.");
  uint64_t cumulative = 0;
  for (std::size_t i = 0; i < counters.fetch_buckets.size(); ++i) {
    cumulative += counters.fetch_buckets[i];
    std::string bound = "+Inf";
    if (i < kFetchBucketBounds.size()) {
      bound.clear();
      Number(bound, kFetchBucketBounds[i]);
    }
    Sample(out, "tarovue_description_fetch_duration_seconds_bucket", {{"le", bound}}, cumulative);
  }
  Sample(out, "tarovue_description_fetch_duration_seconds_sum", {}, counters.fetch_seconds_sum);
  Sample(out, "tarovue_description_fetch_duration_seconds_count", {}, cumulative);
  Family(out, "tarovue_searches_total", "counter",
         "Search requests sent to the SSDP group, by socket (a burst sends several).");
  for (std::size_t i = 0; i < kSsdpSocketCount; ++i) {
    Sample(out, "tarovue_searches_total",
           {{"socket", SsdpSocketName(static_cast<SsdpSocketId>(i))}}, counters.searches[i]);
  }
  Family(out, "tarovue_identity_conflicts", "gauge",
         "Identity conflicts among the devices the agent keeps, by kind.");
  for (std::size_t i = 0; i < counters.identity_conflicts.size(); ++i) {
    Sample(out, "tarovue_identity_conflicts",
           {{"kind", IdentityConflictName(static_cast<IdentityConflictKind>(i))}},
           counters.identity_conflicts[i]);
  }
  Counter(out, "tarovue_announcements_coalesced_total",
          "Announcements that replaced a repeat of their device's waiting for its description.",
          counters.announcements_coalesced);
  Counter(out, "tarovue_identity_keys_evicted_total",
          "USNs and sender addresses the identity check let go of to stay within its bound.",
          counters.identity_keys_evicted);
  Counter(out, "tarovue_output_lines_dropped_total",
          "Event lines dropped because standard output was not read fast enough.",
          counters.output_lines_dropped);
  Counter(out, "tarovue_netlink_messages_dropped_total",
          "Kernel notifications about interfaces that were not read: malformed, or not from the "
          "kernel.",
          counters.netlink_dropped);
  Family(out, "tarovue_device_probes_total", "counter",
         "Devices asked directly because their announcement ran out, by how it ended: "
         "answered the unicast search, answered the description fetch, announced themselves "
         "meanwhile, or unanswered (then lost).");
  for (std::size_t i = 0; i < counters.probes.size(); ++i) {
    Sample(out, "tarovue_device_probes_total",
           {{"outcome", ProbeOutcomeName(static_cast<ProbeOutcome>(i))}}, counters.probes[i]);
  }
  Family(out, "tarovue_multicast_path_up", "gauge",
         "0 while the devices on an interface are kept up only by being asked directly (for "
         "longer than their longest max-age): multicast no longer crosses the segment; else 1.");
  for (const auto& [name, up] : counters.multicast_paths) {
    Sample(out, "tarovue_multicast_path_up", {{"interface", LabelValue(name)}},
           int64_t{up ? 1 : 0});
  }
  Counter(out, "tarovue_devices_forgotten_total",
          "Devices removed from the table after being gone longer than --forget.",
          counters.devices_forgotten);
  Family(out, "tarovue_build_info", "gauge", "The agent's version, always 1.");
  const std::string version_label = LabelValue(version);
  Sample(out, "tarovue_build_info", {{"version", version_label}}, int64_t{1});
  return out;
}

std::string RenderHttpMetrics(const HttpCounters& counters) {
  std::string out;
  Family(out, "tarovue_http_requests_total", "counter", "HTTP requests answered, by status code.");
  for (const auto& [code, count] : counters.answers) {
    std::string text;
    Number(text, code);
    Sample(out, "tarovue_http_requests_total", {{"code", text}}, count);
  }
  Family(out, "tarovue_http_connections_refused_total", "counter",
         "Connections refused at accept or closed by the agent's limits, by reason.");
  for (std::size_t i = 0; i < kConnectionCutCount; ++i) {
    Sample(out, "tarovue_http_connections_refused_total", {{"reason", kConnectionCutNames[i]}},
           counters.cuts[i]);
  }
  Counter(out, "tarovue_http_auth_bcrypt_runs_total",
          "Basic auth credentials checked with bcrypt (not found among those verified before).",
          counters.bcrypt_runs);
  Counter(out, "tarovue_http_auth_throttled_total",
          "Requests answered 429 because bcrypt had used up its share, the client's own or all "
          "clients' together.",
          counters.auth_throttled);
  Counter(out, "tarovue_http_rate_limited_total",
          "Requests answered 429 because their client went beyond the web configuration's "
          "rate_limit.",
          counters.rate_limited);
  Family(out, "tarovue_targets_skipped_total", "counter",
         "Device pages left out of /targets answers, by reason (each answer counts its own).");
  Sample(out, "tarovue_targets_skipped_total", {{"reason", "foreign_host"}},
         counters.targets_foreign_host);
  Sample(out, "tarovue_targets_skipped_total", {{"reason", "foreign_description"}},
         counters.targets_foreign_description);
  if (counters.web_config) {
    Family(out, "tarovue_web_config_last_reload_successful", "gauge",
           "1 when the last load of the web configuration worked, 0 when the last good one is "
           "still in use.");
    Sample(out, "tarovue_web_config_last_reload_successful", {},
           int64_t{counters.web_config_reload_ok ? 1 : 0});
    Family(out, "tarovue_web_config_last_reload_success_timestamp_seconds", "gauge",
           "Unix time of the last successful load of the web configuration.");
    Sample(out, "tarovue_web_config_last_reload_success_timestamp_seconds", {},
           counters.web_config_reload_success_time);
  }
  return out;
}

std::string RenderTargets(const std::vector<DeviceSnapshot>& devices, std::uint64_t* foreign_host,
                          std::uint64_t* foreign_description) {
  JsonWriter json;
  json.BeginArray(JsonLayout::kLines);
  for (const DeviceSnapshot& d : devices) {
    UrlParts page;
    const PageHome home = DevicePage(d.address_text, d.location, d.page_url, page);
    if (home == PageHome::kForeignPage && foreign_host != nullptr) ++*foreign_host;
    if (home == PageHome::kForeignDescription && foreign_description != nullptr) {
      ++*foreign_description;
    }
    if (home != PageHome::kOwn) continue;
    json.BeginObject().Key("targets").BeginArray().String(HostAndPort(page)).End();
    json.Key("labels").BeginObject();
    json.Field("__meta_tarovue_usn", d.usn);
    json.Field("__meta_tarovue_hostname", d.host_name);
    json.Field("__meta_tarovue_serial_number", d.serial_number);
    json.Field("__meta_tarovue_model_name", d.model_name);
    json.Field("__meta_tarovue_page_url", d.page_url);
    json.End().End();
  }
  return json.End().Finish();
}

std::string RenderDevicesJson(const std::vector<DeviceSnapshot>& devices) {
  JsonWriter json;
  json.BeginArray(JsonLayout::kLines);
  for (const DeviceSnapshot& d : devices) {
    json.BeginObject();
    WriteDeviceFields(json, d);
    json.Key("last_seen").StringOrNull(LocalTimeText(d.last_seen), d.last_seen > 0);
    json.Key("reboots").Number(d.reboots);
    UrlParts page;
    json.Key("page_link")
        .StringOrNull(d.page_url,
                      DevicePage(d.address_text, d.location, d.page_url, page) == PageHome::kOwn);
    json.End();
  }
  return json.End().Finish();
}
