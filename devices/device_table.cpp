#include "devices/device_table.h"

#include <algorithm>

#include "platform/clock.h"

DeviceTable::DeviceTable(const MonotonicClock* clock) : m_clock(clock) {
  if (m_clock == nullptr) {
    m_own_clock = std::make_unique<BootClock>();
    m_clock = m_own_clock.get();
  }
}

DeviceTable::~DeviceTable() = default;

int64_t DeviceTable::NowMs() const {
  return m_clock->NowMs();
}

namespace {

// How the description the table shows was obtained: an answer from this process's cache was
// fetched in this run too; only a description restored from an earlier run's state is
// "cached" until the device is fetched again.
std::string FetchWord(DescriptionFetch fetch, const std::string& before) {
  switch (fetch) {
    case DescriptionFetch::kOk:
      return DescriptionFetchName(DescriptionFetch::kOk);
    case DescriptionFetch::kCached:
      return before == DescriptionFetchName(DescriptionFetch::kCached)
                 ? before
                 : DescriptionFetchName(DescriptionFetch::kOk);
    case DescriptionFetch::kFailed:
      break;
  }
  return DescriptionFetchName(DescriptionFetch::kFailed);
}

}  // namespace

bool DeviceTable::Apply(const DeviceEvent& event) {
  if (event.kind == DeviceEventKind::kForgotten) return m_devices.erase(event.device.Usn()) != 0;
  const char* word = DeviceEventName(event.kind);
  auto [it, created] = m_devices.try_emplace(event.device.Usn());
  Entry& entry = it->second;
  DeviceSnapshot& device = entry.device;
  const bool changed = created || device.status != word;
  // Back after it was gone: worth a line, whatever else it says.
  const bool back = !created && (device.status == DeviceEventName(DeviceEventKind::kLost) ||
                                 device.status == DeviceEventName(DeviceEventKind::kByebye));
  switch (event.kind) {
    case DeviceEventKind::kNew:
    case DeviceEventKind::kOnline:
    case DeviceEventKind::kChanged: {
      if (!created && !event.texts_changed && event.kind == DeviceEventKind::kOnline) {
        // The same device saying the same again, as most of a burst's answers do.
        device.status = word;
        device.valid_until = event.device.ValidUntil();
        device.fetch = FetchWord(event.fetch, device.fetch);
        device.location = event.location;
        device.last_seen = event.time;
        if (!event.boot_id.empty()) device.boot_id = event.boot_id;
        if (!event.config_id.empty()) device.config_id = event.config_id;
        entry.gone = false;
        return back;
      }
      // What the table knows beyond the device's texts outlives each announcement.
      DeviceSnapshot kept = std::move(device);
      device = DescribeDevice(event.device, word, event.device.ValidUntil());
      device.fetch = FetchWord(event.fetch, kept.fetch);
      device.location = event.location;
      device.first_seen = created || kept.first_seen == 0 ? event.time : kept.first_seen;
      device.last_seen = event.time;
      device.reboots = kept.reboots;
      device.boot_id = event.boot_id.empty() ? std::move(kept.boot_id) : std::string(event.boot_id);
      device.config_id =
          event.config_id.empty() ? std::move(kept.config_id) : std::string(event.config_id);
      entry.gone = false;
      // A device's next answer after "new", or a search answered with what was known, is
      // no news: only the first sight, a move, new texts or a return are.
      return created || back || event.kind == DeviceEventKind::kChanged || event.texts_changed;
    }
    case DeviceEventKind::kRebooted:
      // An occurrence, not a state: the status word stays; a watch shows it all the same.
      if (created) device = DescribeDevice(event.device, DeviceEventName(DeviceEventKind::kNew), 0);
      ++device.reboots;
      return true;
    case DeviceEventKind::kKept:
      // Its announcement ran out but it answered when asked: there, and heard from now.
      if (created) device = DescribeDevice(event.device, DeviceEventName(DeviceEventKind::kNew), 0);
      if (device.status == DeviceEventName(DeviceEventKind::kSearching)) {
        device.status = DeviceEventName(DeviceEventKind::kOnline);
      }
      device.valid_until = event.device.ValidUntil();
      device.last_seen = event.time;
      entry.gone = false;
      return true;
    case DeviceEventKind::kByebye:
    case DeviceEventKind::kLost:
    case DeviceEventKind::kSearching:
    case DeviceEventKind::kForgotten:
      // The device's texts stand as they were; only its status and validity change. A search
      // leaves the validity a device announced when the session keeps it.
      if (created) device = DescribeDevice(event.device, word, 0);
      device.status = word;
      device.valid_until =
          event.kind == DeviceEventKind::kSearching ? event.device.ValidUntil() : 0;
      if (event.kind != DeviceEventKind::kSearching && !entry.gone) {
        entry.gone = true;
        entry.gone_since_ms = NowMs();
      }
      break;
  }
  return changed && event.kind != DeviceEventKind::kSearching;
}

void DeviceTable::Restore(DeviceSnapshot device, int64_t gone_for_ms) {
  Entry& entry = m_devices[device.usn];
  // Known from before a restart and not heard since: lost, and forgotten counting from when
  // it was last seen.
  device.status = DeviceEventName(DeviceEventKind::kLost);
  device.valid_until = 0;
  device.fetch = DescriptionFetchName(DescriptionFetch::kCached);
  entry.gone = true;
  entry.gone_since_ms = NowMs() - std::max<int64_t>(gone_for_ms, 0);
  entry.device = std::move(device);
}

const DeviceSnapshot* DeviceTable::Find(const std::string& usn) const {
  auto it = m_devices.find(usn);
  return it == m_devices.end() ? nullptr : &it->second.device;
}

std::vector<std::string> DeviceTable::GoneFor(int64_t ms) const {
  const int64_t before = NowMs() - ms;
  std::vector<std::string> gone;
  for (const auto& [usn, entry] : m_devices) {
    if (entry.gone && entry.gone_since_ms <= before) gone.push_back(usn);
  }
  return gone;
}

std::vector<DeviceSnapshot> DeviceTable::Devices() const {
  std::vector<DeviceSnapshot> devices;
  devices.reserve(m_devices.size());
  for (const auto& entry : m_devices) devices.push_back(entry.second.device);
  std::sort(devices.begin(), devices.end(), ReportOrder);
  return devices;
}
