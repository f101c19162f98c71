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
  std::size_t slot = Slot(event.device.Usn());
  if (event.kind == DeviceEventKind::kForgotten) {
    if (slot == kNone) return false;
    Erase(slot);
    return true;
  }
  const char* word = DeviceEventName(event.kind);
  const bool created = slot == kNone;
  if (created) slot = Append(event.device.Usn());
  DeviceSnapshot& device = m_list[slot];
  Gone& entry = m_gone[slot];
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
      if (device.address != event.device.Address()) m_sorted = false;
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
        entry.since_ms = NowMs();
      }
      break;
  }
  return changed && event.kind != DeviceEventKind::kSearching;
}

void DeviceTable::Restore(DeviceSnapshot device, int64_t gone_for_ms) {
  std::size_t slot = Slot(device.usn);
  if (slot == kNone) slot = Append(device.usn);
  // Known from before a restart and not heard since: lost, and forgotten counting from when
  // it was last seen.
  device.status = DeviceEventName(DeviceEventKind::kLost);
  device.valid_until = 0;
  device.fetch = DescriptionFetchName(DescriptionFetch::kCached);
  m_gone[slot] = {true, NowMs() - std::max<int64_t>(gone_for_ms, 0)};
  m_list[slot] = std::move(device);
  m_sorted = false;
}

const DeviceSnapshot* DeviceTable::Find(std::string_view usn) const {
  const std::size_t slot = Slot(usn);
  return slot == kNone ? nullptr : &m_list[slot];
}

std::vector<std::string> DeviceTable::GoneFor(int64_t ms) const {
  const int64_t before = NowMs() - ms;
  std::vector<std::string> gone;
  for (std::size_t i = 0; i < m_list.size(); ++i) {
    if (m_gone[i].gone && m_gone[i].since_ms <= before) gone.push_back(m_list[i].usn);
  }
  return gone;
}

const std::vector<DeviceSnapshot>& DeviceTable::Devices() const {
  SortIfNeeded();
  return m_list;
}

std::size_t DeviceTable::Slot(std::string_view usn) const {
  auto [first, last] = m_slots.equal_range(std::hash<std::string_view>()(usn));
  for (auto it = first; it != last; ++it) {
    if (m_list[it->second].usn == usn) return it->second;
  }
  return kNone;
}

std::size_t DeviceTable::Append(std::string_view usn) {
  m_list.emplace_back().usn = usn;
  m_gone.emplace_back();
  m_slots.emplace(std::hash<std::string_view>()(usn), m_list.size() - 1);
  m_sorted = false;
  return m_list.size() - 1;
}

void DeviceTable::Erase(std::size_t slot) {
  const auto unlink = [this](std::size_t at) {
    auto [first, last] = m_slots.equal_range(std::hash<std::string_view>()(m_list[at].usn));
    for (auto it = first; it != last; ++it) {
      if (it->second == at) return m_slots.erase(it), void();
    }
  };
  unlink(slot);
  const std::size_t last = m_list.size() - 1;
  if (slot != last) {
    // The last device takes the place: one position to mend instead of every one after it.
    unlink(last);
    m_list[slot] = std::move(m_list[last]);
    m_gone[slot] = m_gone[last];
    m_slots.emplace(std::hash<std::string_view>()(m_list[slot].usn), slot);
    m_sorted = false;
  }
  m_list.pop_back();
  m_gone.pop_back();
}

void DeviceTable::SortIfNeeded() const {
  if (m_sorted) return;
  std::vector<std::size_t> order(m_list.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [this](std::size_t a, std::size_t b) { return ReportOrder(m_list[a], m_list[b]); });
  std::vector<DeviceSnapshot> list;
  std::vector<Gone> gone;
  list.reserve(order.size());
  gone.reserve(order.size());
  m_slots.clear();
  for (const std::size_t from : order) {
    m_slots.emplace(std::hash<std::string_view>()(m_list[from].usn), list.size());
    list.push_back(std::move(m_list[from]));
    gone.push_back(m_gone[from]);
  }
  m_list = std::move(list);
  m_gone = std::move(gone);
  m_sorted = true;
}
