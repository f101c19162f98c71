#include "agent/fleet_page.h"

#include "agent/exposition.h"
#include "formats/json_writer.h"
#include "formats/time_text.h"
#include "http/url.h"
#include "parse/device_text.h"
#include "ssdp/datagram_outcome.h"

namespace {

// U+FFFD: what a control byte becomes on the page.
constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// `text` for HTML text or a quoted attribute value.
void AppendHtml(std::string& out, std::string_view text) {
  const std::string valid = DeviceTextToUtf8(text);
  for (const char c : valid) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
          out += kReplacementCharacter;
        } else {
          out += c;
        }
    }
  }
}

// "2024-05-01 14:30:05" of the local time, the page's way of showing a time; the whole text
// with its offset goes into the <time> element's datetime.
void AppendTime(std::string& out, int64_t seconds) {
  if (seconds <= 0) return;
  const std::string text = LocalTimeText(seconds);
  if (text.size() < 19) return;
  out += "<time datetime=\"";
  AppendHtml(out, text);
  out += "\">";
  out += std::string_view(text).substr(0, 10);
  out += ' ';
  out += std::string_view(text).substr(11, 8);
  out += "</time>";
}

void Cell(std::string& out, std::string_view text) {
  out += "<td>";
  AppendHtml(out, text);
  out += "</td>";
}

void TimeCell(std::string& out, int64_t seconds) {
  out += "<td>";
  AppendTime(out, seconds);
  out += "</td>";
}

// The status word in its colour; the words are the table's own, escaped all the same.
void Badge(std::string& out, std::string_view word) {
  out += "<span class=\"badge st-";
  AppendHtml(out, word);
  out += "\">";
  AppendHtml(out, word);
  out += "</span>";
}

void DeviceRow(std::string& out, const DeviceSnapshot& d) {
  out += "<tr><td>";
  Badge(out, d.status);
  out += "</td>";
  Cell(out, d.address_text);
  Cell(out, d.host_name);
  out += "<td>";
  AppendHtml(out, d.model_name);
  if (!d.model_number.empty()) {
    out += " <span class=\"sub\">";
    AppendHtml(out, d.model_number);
    out += "</span>";
  }
  out += "</td>";
  Cell(out, d.serial_number);
  TimeCell(out, d.valid_until);
  TimeCell(out, d.last_seen);
  out += "<td class=\"num\">" + std::to_string(d.reboots) + "</td><td>";
  UrlParts page;
  if (DevicePage(d.address_text, d.location, d.page_url, page) == PageHome::kOwn) {
    out += "<a href=\"";
    AppendHtml(out, d.page_url);
    out += "\" rel=\"noreferrer\">page</a>";
  }
  out += "</td></tr>\n";
}

void EventRow(std::string& out, const LoggedEvent& e) {
  out += "<tr>";
  TimeCell(out, e.time);
  out += "<td>";
  Badge(out, e.event);
  out += "</td>";
  Cell(out, e.host_name);
  Cell(out, e.address);
  Cell(out, e.serial_number);
  out += "<td class=\"usn\">";
  AppendHtml(out, e.usn);
  out += "</td></tr>\n";
}

struct StatusCount {
  const char* word;
  uint64_t count;
};

std::vector<StatusCount> CountStatuses(const std::vector<DeviceSnapshot>& devices) {
  std::vector<StatusCount> counts;
  for (const DeviceEventKind kind : kTableStatuses) {
    const char* word = DeviceEventName(kind);
    uint64_t count = 0;
    for (const DeviceSnapshot& d : devices) count += d.status == word ? 1 : 0;
    counts.push_back({word, count});
  }
  return counts;
}

uint64_t CountUp(const std::vector<DeviceSnapshot>& devices) {
  uint64_t up = 0;
  for (const DeviceSnapshot& d : devices) up += IsUp(d) ? 1 : 0;
  return up;
}

// "label: 4 other_type, 1 table_full", the counts that are not 0; `none` when all are.
void CountList(std::string& out, const char* label, const char* none,
               const std::vector<StatusCount>& counts, bool badges) {
  bool first = true;
  out += "<span class=\"part\">";
  for (const StatusCount& c : counts) {
    if (c.count == 0) continue;
    out += first ? label : ", ";
    first = false;
    if (badges) out += std::string("<span class=\"st-") + c.word + "\">";
    out += std::to_string(c.count) + " " + c.word;
    if (badges) out += "</span>";
  }
  if (first) out += none;
  out += "</span>";
}

// The drops an operator may have to act on. The agent hears its own searches come back on
// every interval; those echoes stay in /metrics under own_address, but on the page they read
// like a fault.
std::vector<StatusCount> Dropped(const DiscoveryCounters& counters) {
  std::vector<StatusCount> counts;
  for (std::size_t i = 0; i < kDatagramOutcomeCount; ++i) {
    const auto outcome = static_cast<DatagramOutcome>(i);
    if (!IsAccepted(outcome) && outcome != DatagramOutcome::kOwnAddress)
      counts.push_back({DatagramOutcomeName(outcome), counters.datagrams[i]});
  }
  return counts;
}

std::vector<StatusCount> Fetches(const DiscoveryCounters& counters) {
  std::vector<StatusCount> counts;
  for (std::size_t i = 0; i < kFetchOutcomeCount; ++i) {
    counts.push_back({FetchOutcomeName(static_cast<FetchOutcome>(i)), counters.fetches[i]});
  }
  return counts;
}

void Summary(std::string& out, const std::vector<DeviceSnapshot>& devices,
             const FleetFacts& facts) {
  out += "<span class=\"part\">" + std::to_string(devices.size()) + " indicators, " +
         std::to_string(CountUp(devices)) + " up</span>";
  CountList(out, "", "", CountStatuses(devices), true);
  // The network, not the indicators: said first, for it explains what follows.
  bool first = true;
  for (const auto& [name, up] : facts.counters.multicast_paths) {
    if (up) continue;
    out += first ? "<span class=\"part path-down\">multicast broken on " : ", ";
    first = false;
    AppendHtml(out, name);
  }
  if (!first) out += "</span>";
  CountList(out, "dropped: ", "nothing dropped", Dropped(facts.counters), false);
  CountList(out, "fetches: ", "no fetches", Fetches(facts.counters), false);
}

void Counts(JsonWriter& json, const char* key, const std::vector<StatusCount>& counts) {
  json.Key(key).BeginObject();
  for (const StatusCount& c : counts) json.Key(c.word).Number(static_cast<int64_t>(c.count));
  json.End();
}

}  // namespace

std::string RenderFleetPage(std::string_view page_template, std::string_view version,
                            const std::vector<DeviceSnapshot>& devices, const FleetFacts& facts) {
  std::string out;
  out.reserve(page_template.size() + devices.size() * 600 + facts.events.size() * 300);
  std::size_t at = 0;
  while (at < page_template.size()) {
    const std::size_t open = page_template.find("{{", at);
    const std::size_t close =
        open == std::string_view::npos ? open : page_template.find("}}", open + 2);
    if (close == std::string_view::npos) break;
    out += page_template.substr(at, open - at);
    const std::string_view name = page_template.substr(open + 2, close - open - 2);
    at = close + 2;
    if (name == "version") {
      AppendHtml(out, version);
    } else if (name == "time") {
      AppendTime(out, facts.now);
    } else if (name == "summary") {
      Summary(out, devices, facts);
    } else if (name == "rows") {
      for (const DeviceSnapshot& d : devices) DeviceRow(out, d);
    } else if (name == "events") {
      for (const LoggedEvent& e : facts.events) EventRow(out, e);
    } else {
      out += page_template.substr(open, at - open);
    }
  }
  if (at < page_template.size()) out += page_template.substr(at);
  return out;
}

std::string RenderEventsJson(const std::vector<DeviceSnapshot>& devices, const FleetFacts& facts) {
  JsonWriter json;
  json.BeginObject(JsonLayout::kLines);
  json.Key("time").StringOrNull(LocalTimeText(facts.now), facts.now > 0);
  json.Key("devices").BeginObject();
  json.Key("total").Number(static_cast<int64_t>(devices.size()));
  json.Key("up").Number(static_cast<int64_t>(CountUp(devices)));
  for (const StatusCount& c : CountStatuses(devices)) {
    json.Key(c.word).Number(static_cast<int64_t>(c.count));
  }
  json.End();
  Counts(json, "dropped", Dropped(facts.counters));
  Counts(json, "fetches", Fetches(facts.counters));
  json.Key("multicast_paths").BeginObject();
  for (const auto& [name, up] : facts.counters.multicast_paths) json.Key(name).Bool(up);
  json.End();
  json.Key("events_total").Number(static_cast<int64_t>(facts.events_total));
  json.Key("events").BeginArray(JsonLayout::kLines);
  for (const LoggedEvent& e : facts.events) {
    json.BeginObject();
    json.Key("time").StringOrNull(LocalTimeText(e.time), e.time > 0);
    json.Field("event", e.event);
    json.Field("usn", e.usn);
    json.Field("address", e.address);
    json.Field("hostname", e.host_name);
    json.Field("serial_number", e.serial_number);
    json.End();
  }
  json.End();
  return json.End().Finish();
}
