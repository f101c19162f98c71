#include "agent/exposition.h"

#include "agent/agent_protocol.h"

#include <charconv>
#include <cstdio>
#include <unordered_set>

#include "devices/device_events.h"
#include "devices/identity_conflicts.h"
#include "parse/device_text.h"
#include "parse/text.h"
#include "scan/device_table.h"
#include "scan/safe_text.h"

namespace {

constexpr DeviceEventKind kAllKinds[] = {DeviceEventKind::kNew,     DeviceEventKind::kOnline,
                                         DeviceEventKind::kChanged, DeviceEventKind::kByebye,
                                         DeviceEventKind::kLost,    DeviceEventKind::kSearching};

bool IsUp(const std::string& status) {
  return status == DeviceEventName(DeviceEventKind::kNew) ||
         status == DeviceEventName(DeviceEventKind::kOnline) ||
         status == DeviceEventName(DeviceEventKind::kChanged);
}

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

// The label texts of one device, escaped once for all of its series.
struct DeviceLabels {
  std::string usn, address, hostname, devtype, model_name, model_number, serial_number, guid,
      page_url;
};

DeviceLabels Labels(const ScannedDevice& d) {
  return {LabelValue(d.usn),           LabelValue(d.address_text), LabelValue(d.host_name),
          LabelValue(d.device_type),   LabelValue(d.model_name),   LabelValue(d.model_number),
          LabelValue(d.serial_number), LabelValue(d.guid),         LabelValue(d.page_url)};
}

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

std::string LastSeenText(int64_t last_seen) {
  return last_seen > 0 ? JsonString(LocalTimeText(last_seen)) : std::string("null");
}

}  // namespace

std::vector<FleetDevice> FleetDevices(const DeviceTable& table) {
  std::vector<FleetDevice> devices;
  std::vector<ScannedDevice> scanned = table.Devices();
  devices.reserve(scanned.size());
  for (ScannedDevice& d : scanned) {
    const int64_t last_seen = table.LastSeen(d.usn);
    devices.push_back({std::move(d), last_seen});
  }
  return devices;
}

// U+FFFD: what a control byte in a label value becomes.
constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

std::string LabelValue(std::string_view text) {
  const std::string valid = DeviceTextToUtf8(text);
  std::string out;
  out.reserve(valid.size());
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
  return out;
}

std::string RenderMetrics(const std::vector<FleetDevice>& devices,
                          const DiscoveryCounters& counters, std::string_view version) {
  // Two texts that differ only in bytes the escaping replaces would give the same series
  // twice, and Prometheus refuses a whole scrape for that: the first one wins.
  std::vector<DeviceLabels> labels;
  std::vector<const FleetDevice*> shown;
  labels.reserve(devices.size());
  shown.reserve(devices.size());
  std::unordered_set<std::string> seen;
  for (const FleetDevice& device : devices) {
    DeviceLabels texts = Labels(device.device);
    if (!seen.insert(texts.usn).second) continue;
    labels.push_back(std::move(texts));
    shown.push_back(&device);
  }

  std::string out;
  out.reserve(4096 + shown.size() * 700);
  Family(out, "tarovue_device_up", "gauge",
         "1 while the device is valid (new, online, changed); 0 after byebye, lost or a "
         "search it has not answered yet.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    Sample(out, "tarovue_device_up", {{"usn", labels[i].usn}},
           int64_t{IsUp(shown[i]->device.status) ? 1 : 0});
  }
  Family(out, "tarovue_device_info", "gauge",
         "Descriptive texts of each device, always 1: join on usn.");
  for (const DeviceLabels& l : labels) {
    Sample(out, "tarovue_device_info",
           {{"usn", l.usn},
            {"address", l.address},
            {"hostname", l.hostname},
            {"devtype", l.devtype},
            {"model_name", l.model_name},
            {"model_number", l.model_number},
            {"serial_number", l.serial_number},
            {"guid", l.guid},
            {"page_url", l.page_url}},
           int64_t{1});
  }
  Family(out, "tarovue_device_valid_until_seconds", "gauge",
         "Unix time until which the device's last announcement holds; 0 while it is not "
         "valid.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    Sample(out, "tarovue_device_valid_until_seconds", {{"usn", labels[i].usn}},
           int64_t{shown[i]->device.valid_until});
  }
  Family(out, "tarovue_device_last_seen_seconds", "gauge",
         "Unix time of the device's last announcement or search answer.");
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i]->last_seen <= 0) continue;
    Sample(out, "tarovue_device_last_seen_seconds", {{"usn", labels[i].usn}}, shown[i]->last_seen);
  }

  Family(out, "tarovue_devices", "gauge", "Devices in the agent's table, by status.");
  for (const DeviceEventKind kind : kAllKinds) {
    const char* word = DeviceEventName(kind);
    int64_t count = 0;
    for (const FleetDevice* device : shown) count += device->device.status == word ? 1 : 0;
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
  Family(out, "tarovue_searches_total", "counter", "Search bursts sent, by SSDP socket.");
  for (std::size_t i = 0; i < kSsdpSocketCount; ++i) {
    Sample(out, "tarovue_searches_total",
           {{"socket", SsdpSocketName(static_cast<SsdpSocketId>(i))}}, counters.searches[i]);
  }
  Family(out, "tarovue_identity_conflicts", "gauge",
         "Identity conflicts seen since the agent started, by kind.");
  for (std::size_t i = 0; i < counters.identity_conflicts.size(); ++i) {
    Sample(out, "tarovue_identity_conflicts",
           {{"kind", IdentityConflictName(static_cast<IdentityConflictKind>(i))}},
           counters.identity_conflicts[i]);
  }
  Family(out, "tarovue_devices_forgotten_total", "counter",
         "Devices removed from the table after being gone longer than --forget.");
  Sample(out, "tarovue_devices_forgotten_total", {}, counters.devices_forgotten);
  Family(out, "tarovue_build_info", "gauge", "The agent's version, always 1.");
  const std::string version_label = LabelValue(version);
  Sample(out, "tarovue_build_info", {{"version", version_label}}, int64_t{1});
  return out;
}

std::string PageTarget(std::string_view url) {
  std::string_view rest;
  int port = 0;
  if (StartsWithIgnoringCase(url, "http://")) {
    rest = url.substr(7);
    port = 80;
  } else if (StartsWithIgnoringCase(url, "https://")) {
    rest = url.substr(8);
    port = 443;
  } else {
    return std::string();
  }
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  std::string_view host = authority;
  std::string_view port_text;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::string();
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::string();
      port_text = after.substr(1);
    }
    for (const char c : host.substr(1, host.size() - 2)) {
      if (!IsHostCharacter(c) && c != ':') return std::string();
    }
  } else {
    if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port_text = authority.substr(colon + 1);
    }
    for (const char c : host) {
      if (!IsHostCharacter(c)) return std::string();
    }
  }
  if (host.empty() || host == "[]") return std::string();
  if (!port_text.empty()) {
    if (port_text.size() > 5) return std::string();
    port = 0;
    for (const char c : port_text) {
      if (c < '0' || c > '9') return std::string();
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::string();
  }
  return std::string(host) + ':' + std::to_string(port);
}

std::string RenderTargets(const std::vector<FleetDevice>& devices) {
  std::string out = "[";
  for (const FleetDevice& fleet : devices) {
    const ScannedDevice& d = fleet.device;
    const std::string target = PageTarget(d.page_url);
    if (target.empty()) continue;
    out += out.size() == 1 ? "\n" : ",\n";
    out += "  {\"targets\": [" + JsonString(target) + "], \"labels\": {";
    out += "\"__meta_tarovue_usn\": " + JsonString(d.usn);
    out += ", \"__meta_tarovue_hostname\": " + JsonString(d.host_name);
    out += ", \"__meta_tarovue_serial_number\": " + JsonString(d.serial_number);
    out += ", \"__meta_tarovue_model_name\": " + JsonString(d.model_name);
    out += ", \"__meta_tarovue_page_url\": " + JsonString(d.page_url);
    out += "}}";
  }
  return out + (out.size() == 1 ? "]\n" : "\n]\n");
}

std::string RenderDevicesJson(const std::vector<FleetDevice>& devices) {
  if (devices.empty()) return "[]\n";
  std::string out = "[\n";
  for (std::size_t i = 0; i < devices.size(); ++i) {
    std::string object = FormatJsonObject(devices[i].device);
    object.pop_back();  // the closing brace: last_seen goes before it
    out += "  " + object + ", \"last_seen\": " + LastSeenText(devices[i].last_seen) + "}";
    out += i + 1 < devices.size() ? ",\n" : "\n";
  }
  return out + "]\n";
}

std::string RenderIndex(std::string_view version) {
  std::string out =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tarovue agent</title></head>"
      "<body>\n<h1>Tarovue agent</h1>\n<p>tarovue-scan ";
  out += version;  // ours, never a device's text
  out += " serves the indicators it discovers on this network segment.</p>\n<ul>\n";
  const char* const links[][2] = {{kPathMetrics, "Prometheus metrics"},
                                  {kPathTargets, "Prometheus HTTP service discovery"},
                                  {kPathDevices, "devices as JSON"}};
  for (const auto& link : links) {
    out +=
        std::string("<li><a href=\"") + link[0] + "\">" + link[0] + "</a>: " + link[1] + "</li>\n";
  }
  return out + "</ul>\n</body></html>\n";
}
