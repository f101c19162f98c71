#include "devices/device_liveness.h"

#include <algorithm>

#include "devices/description_fields.h"
#include "devices/device_events.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "http/extract_between.h"
#include "platform/clock.h"
#include "platform/dotted_address.h"
#include "platform/trace.h"
#include "ssdp/ssdp_protocol.h"
#include "ssdp/ssdp_socket.h"

namespace {

constexpr int64_t kMsPerSecond = 1000;

}  // namespace

const char* ProbeOutcomeName(ProbeOutcome outcome) {
  switch (outcome) {
    case ProbeOutcome::kSearch:
      return "search";
    case ProbeOutcome::kDescription:
      return "description";
    case ProbeOutcome::kAnnounced:
      return "announced";
    case ProbeOutcome::kUnanswered:
      return "unanswered";
  }
  return "unknown";
}

bool DescriptionAnswersFor(const char* response, std::string_view usn) {
  if (ResponseOutcome(response) != FetchOutcome::kOk) return false;
  char guid[kDescriptionFieldSize];
  if (ExtractBetween(guid, sizeof guid - 1, response, kGuidOpen, kGuidClose) == 0) return true;
  // "uuid:GUID", alone or followed by "::" and the device type.
  constexpr std::string_view kPrefix = "uuid:";
  if (usn.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view rest = usn.substr(kPrefix.size());
  const std::string_view own(guid);
  return rest.substr(0, own.size()) == own &&
         (rest.size() == own.size() || rest.substr(own.size(), 2) == "::");
}

DeviceLiveness::DeviceLiveness(DeviceRegistry& registry, DeviceEvents& events,
                               const MonotonicClock& clock, UnicastSender& searcher,
                               Refetch refetch, InterfaceOf interface_of,
                               InterfaceNames interface_names, LivenessPolicy policy)
    : m_registry(registry),
      m_events(events),
      m_clock(clock),
      m_searcher(searcher),
      m_refetch(std::move(refetch)),
      m_interface_of(std::move(interface_of)),
      m_interface_names(std::move(interface_names)),
      m_policy(policy),
      m_started_ms(clock.NowMs()),
      m_tokens_at_ms(m_started_ms) {
  m_tokens = m_policy.rate_per_second;
  m_subscription = m_events.Subscribe([this](const DeviceEvent& event) { OnEvent(event); });
}

DeviceLiveness::~DeviceLiveness() {
  m_events.Unsubscribe(m_subscription);
}

void DeviceLiveness::Heard(const std::string& usn, uint32_t address, uint32_t max_age,
                           HeardVia via) {
  const int64_t now = m_clock.NowMs();
  Device& device = m_devices[usn];
  if (device.address != address) {
    device.path = kNoPath;
    device.path_looked_up = false;
  }
  // Looked up once per address: it asks the routing table.
  if (via == HeardVia::kGroup && !device.path_looked_up && m_interface_of) {
    device.path = PathOf(m_interface_of(address));
    device.path_looked_up = true;
  }
  device.address = address;
  max_age = TrustedMaxAge(max_age);
  device.max_age = max_age;
  device.expires_ms = now + int64_t{max_age} * kMsPerSecond;
  if (device.path != kNoPath) {
    Path& path = m_paths[device.path];
    (via == HeardVia::kGroup ? path.last_group_ms : path.last_asked_ms) = now;
    path.longest_max_age = std::max(path.longest_max_age, max_age);
  }
  const State was = device.state;
  device.state = State::kUp;
  if (was == State::kAsking) {
    Keep(usn, device, via == HeardVia::kUnicast ? ProbeOutcome::kSearch : ProbeOutcome::kAnnounced);
  }
  UpdatePaths(now);
}

uint16_t DeviceLiveness::PathOf(const std::string& interface) {
  if (interface.empty()) return kNoPath;
  for (std::size_t i = 0; i < m_paths.size(); ++i) {
    if (m_paths[i].interface == interface) return static_cast<uint16_t>(i);
  }
  if (m_paths.size() >= kNoPath) return kNoPath;
  m_paths.push_back({interface});
  return static_cast<uint16_t>(m_paths.size() - 1);
}

void DeviceLiveness::Restored(const std::string& usn, uint32_t address) {
  Device& device = m_devices[usn];
  device.address = address;
  device.state = State::kGone;
}

void DeviceLiveness::OnEvent(const DeviceEvent& event) {
  switch (event.kind) {
    case DeviceEventKind::kByebye:
      if (auto it = m_devices.find(event.device.Usn()); it != m_devices.end()) {
        it->second.state = State::kGone;
      }
      break;
    case DeviceEventKind::kForgotten:
      m_devices.erase(event.device.Usn());
      break;
    default:
      break;
  }
}

void DeviceLiveness::Sweep() {
  const int64_t now = m_clock.NowMs();
  std::vector<std::pair<const std::string*, Device*>> due;
  std::vector<std::string> lost;
  for (auto& [usn, device] : m_devices) {
    if (device.state == State::kUp && now >= device.expires_ms) StartAsking(device, now);
    if (device.state != State::kAsking) continue;
    if (now >= device.window_start_ms + m_policy.window_ms) {
      lost.push_back(usn);
    } else if (device.tries < m_policy.tries &&
               now >= device.window_start_ms + device.tries * m_policy.try_spacing_ms) {
      due.emplace_back(&usn, &device);
    }
  }
  for (const std::string& usn : lost) Lose(usn);
  // When the rate cannot keep up, first tries go before second ones, the longest waiting
  // first: one question to every device is worth more than a fourth to a few.
  std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return a.second->tries != b.second->tries
               ? a.second->tries < b.second->tries
               : a.second->window_start_ms < b.second->window_start_ms;
  });
  std::vector<std::pair<const std::string*, Device*>> fetch;
  for (auto& [usn, device] : due) {
    if (!TakeToken()) break;
    if (SendTry(*device)) fetch.emplace_back(usn, device);
  }
  // Fetches take what the searches left.
  for (auto& [usn, device] : fetch) {
    if (!TakeToken()) break;
    Fetch(*usn, *device);
  }
  while (!m_gone_to_ask.empty()) {
    auto it = m_devices.find(m_gone_to_ask.front());
    if (it != m_devices.end() && it->second.state == State::kGone) {
      if (!TakeToken()) break;
      Search(it->second.address);
    }
    m_gone_to_ask.pop_front();
  }
  UpdatePaths(now);
}

void DeviceLiveness::AskGone() {
  m_gone_to_ask.clear();
  for (const auto& [usn, device] : m_devices) {
    if (device.state == State::kGone && device.address != 0) m_gone_to_ask.push_back(usn);
  }
}

void DeviceLiveness::StartAsking(Device& device, int64_t now) {
  device.state = State::kAsking;
  device.tries = 0;
  // The window counts from the end of the validity, so a device is lost at most max-age plus
  // the window after it was last heard, however late the sweep came.
  device.window_start_ms = std::min(device.expires_ms, now);
  device.window = ++m_next_window;
  device.fetching = false;
}

bool DeviceLiveness::SendTry(Device& device) {
  const int attempt = device.tries++;
  char dotted[kDottedAddressSize];
  FormatDottedAddress(device.address, dotted);
  Trace("Asking %s (try %d)", dotted, attempt + 1);
  Search(device.address);
  // A device whose search answers are lost on the way may still answer over TCP, which
  // resends what is lost; every other try asks for its description too.
  return attempt % 2 == 0 && !device.fetching && m_refetch;
}

void DeviceLiveness::Fetch(const std::string& usn, Device& device) {
  const uint32_t window = device.window;
  device.fetching = m_refetch(
      usn, m_policy.fetch_timeout_ms,
      [this, usn, window](const DescriptionResult& result) { OnFetched(usn, window, result); });
}

void DeviceLiveness::Search(uint32_t address) {
  ++m_searches_sent;
  m_searcher.SendSearchTo(address, SEARCH_TARGET);
}

void DeviceLiveness::OnFetched(const std::string& usn, uint32_t window,
                               const DescriptionResult& result) {
  auto it = m_devices.find(usn);
  if (it == m_devices.end() || it->second.window != window) return;
  Device& device = it->second;
  device.fetching = false;
  if (device.state != State::kAsking || result.count == 0 ||
      !DescriptionAnswersFor(result.response, usn)) {
    return;
  }
  const int64_t now = m_clock.NowMs();
  device.expires_ms = now + int64_t{device.max_age} * kMsPerSecond;
  device.state = State::kUp;
  if (device.path != kNoPath) m_paths[device.path].last_asked_ms = now;
  Keep(usn, device, ProbeOutcome::kDescription);
  UpdatePaths(now);
}

void DeviceLiveness::Keep(const std::string& usn, Device& device, ProbeOutcome outcome) {
  ++m_outcomes[static_cast<std::size_t>(outcome)];
  device.window = ++m_next_window;  // a fetch still under way answers nothing now
  device.fetching = false;
  if (outcome == ProbeOutcome::kAnnounced) return;  // its own announcement says the rest
  if (DeviceRecord* record = m_registry.FindByUsn(usn.c_str())) {
    m_registry.Keep(*record, device.max_age);
  }
}

void DeviceLiveness::Lose(const std::string& usn) {
  auto it = m_devices.find(usn);
  if (it == m_devices.end()) return;
  ++m_outcomes[static_cast<std::size_t>(ProbeOutcome::kUnanswered)];
  DeviceRecord* record = m_registry.FindByUsn(usn.c_str());
  if (record == nullptr) {
    // Never described, so never shown: nothing to call lost.
    m_devices.erase(it);
    return;
  }
  it->second.state = State::kGone;
  it->second.window = ++m_next_window;
  it->second.fetching = false;
  m_registry.MarkLost(*record);
}

bool DeviceLiveness::TakeToken() {
  const int64_t now = m_clock.NowMs();
  const double rate = m_policy.rate_per_second;
  m_tokens = std::min(rate, m_tokens + static_cast<double>(now - m_tokens_at_ms) * rate / 1000.0);
  m_tokens_at_ms = now;
  if (m_tokens < 1) return false;
  m_tokens -= 1;
  return true;
}

void DeviceLiveness::UpdatePaths(int64_t now) {
  for (Path& path : m_paths) {
    const int64_t last_group = std::max(path.last_group_ms, m_started_ms);
    const int64_t longest = int64_t{path.longest_max_age} * kMsPerSecond;
    const bool up = !(path.last_asked_ms > last_group && now - last_group > longest);
    if (up == path.up) continue;
    path.up = up;
    Trace("Multicast path on %s %s", path.interface.c_str(), up ? "up" : "down");
    if (m_path_observer) m_path_observer({path.interface, up});
  }
}

std::vector<MulticastPath> DeviceLiveness::Paths() const {
  std::vector<MulticastPath> paths;
  for (const std::string& name :
       m_interface_names ? m_interface_names() : std::vector<std::string>{}) {
    if (name.empty() || std::any_of(paths.begin(), paths.end(),
                                    [&](const auto& p) { return p.interface == name; })) {
      continue;
    }
    auto it = std::find_if(m_paths.begin(), m_paths.end(),
                           [&](const Path& path) { return path.interface == name; });
    paths.push_back({name, it == m_paths.end() || it->up});
  }
  return paths;
}
