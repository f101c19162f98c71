// Typed device events: the discovery core tells every subscriber about each change of a
// device, so that front ends keep their own views without reading how rows are written.
// Events are published synchronously on the event loop's thread, from the places that write
// a row's status; the view inside an event is valid only during the call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devices/description_fields.h"
#include "devices/device_record.h"

enum class DeviceEventKind : uint8_t {
  kNew,        // first accepted announcement of a USN
  kOnline,     // an announcement from the address the device had
  kChanged,    // an announcement from another address
  kByebye,     // the device said goodbye
  kLost,       // its validity ran out before the expiry sweep
  kSearching,  // a search started; the device has not answered it yet
  kForgotten,  // gone so long that its record was removed; the view is valid for this call
  kRebooted,   // announced a new boot id unannounced; its new, online or changed follows
  kKept,       // its announcement ran out, and it answered when asked directly
};

// "new", "online", "changed", "byebye", "lost", "searching", "forgotten", "rebooted" or
// "kept".
const char* DeviceEventName(DeviceEventKind kind);

// A read-only look at one device. The description texts are read out on request, so that a
// subscriber that needs none of them costs nothing.
class DeviceView {
 public:
  explicit DeviceView(const DeviceRecord& record) : m_record(record) {}

  [[nodiscard]] const char* Usn() const { return m_record.usn; }
  [[nodiscard]] uint32_t Address() const { return m_record.address; }  // network order
  [[nodiscard]] const char* AddressText() const { return m_record.address_text; }
  [[nodiscard]] const char* HostName() const { return m_record.host_name; }
  [[nodiscard]] const char* DeviceType() const { return m_record.device_type; }
  [[nodiscard]] int32_t ValidUntil() const { return m_record.valid_until; }  // 0: not valid
  // Model name, model number, serial number, GUID or page address; "" when absent.
  [[nodiscard]] std::string Field(DescriptionField field) const;

 private:
  const DeviceRecord& m_record;
};

// How the description behind a new, online or changed event was settled.
enum class DescriptionFetch : uint8_t {
  kOk,      // fetched now: the device answered
  kCached,  // taken from an earlier fetch of the same LOCATION
  kFailed,  // the fetch failed or was skipped: the texts are those of before
};

// "ok", "cached" or "failed".
const char* DescriptionFetchName(DescriptionFetch fetch);

struct DeviceEvent {
  DeviceEventKind kind;
  int32_t time;  // seconds since 1970 UTC
  DeviceView device;
  uint32_t previous_address = 0;  // for kChanged: the address the device had before
  DescriptionFetch fetch = DescriptionFetch::kOk;  // for kNew, kOnline and kChanged
  // The announcement's BOOTID.UPNP.ORG and CONFIGID.UPNP.ORG ("" when absent), for kNew,
  // kOnline, kChanged and kRebooted; valid during the call.
  std::string_view boot_id = {};
  std::string_view config_id = {};
  // For kNew, kOnline and kChanged: false when the device's description (and so every text
  // taken from it) is exactly what it was before.
  bool texts_changed = true;
  // For kNew, kOnline and kChanged: the announcement's LOCATION, where the description behind
  // the texts was asked for; valid during the call.
  std::string_view location = {};
};

// The subscribers of one discovery session.
class DeviceEvents {
 public:
  using Observer = std::function<void(const DeviceEvent& event)>;

  DeviceEvents() = default;
  DeviceEvents(const DeviceEvents&) = delete;
  DeviceEvents& operator=(const DeviceEvents&) = delete;

  // Adds an observer; the returned id takes it off again.
  int Subscribe(Observer observer) {
    m_observers.emplace_back(++m_last_id, std::move(observer));
    return m_last_id;
  }
  void Unsubscribe(int id) {
    std::erase_if(m_observers, [id](const auto& entry) { return entry.first == id; });
  }
  void Publish(const DeviceEvent& event) const {
    for (const auto& entry : m_observers) entry.second(event);
  }

 private:
  std::vector<std::pair<int, Observer>> m_observers;
  int m_last_id = 0;
};
