// Turns accepted SSDP datagrams into device records and rows: alive notifications and
// search responses create or refresh a record with its description; byebyes mark it gone.
// Every datagram ends in one counted outcome, and every change of a device is published as
// a typed event. Borrows the registry, the tone generator, the description source, the
// counters and the events, which must outlive it. Pointers into the datagram are used only
// during the call. Runs on the one event thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "devices/boot_ids.h"
#include "devices/description_source.h"
#include "devices/device_events.h"
#include "devices/device_liveness.h"
#include "devices/discovery_counters.h"

class DeviceRegistry;
struct DeviceRecord;
class HeaderBlock;
class MonotonicClock;
class ToneGenerator;
struct Tone;

class Announcements {
 public:
  // `beep_ticked` tells whether the user wants acoustic signals right now. Without counters
  // or events (nullptr) nothing is counted or published.
  Announcements(DeviceRegistry& registry, ToneGenerator& tones, DescriptionSource& descriptions,
                std::function<bool()> beep_ticked, DiscoveryCounters* counters = nullptr,
                const DeviceEvents* events = nullptr);
  // The same over a blocking fetcher of its own that fetches every announcement as it comes
  // (tests and fuzzers).
  Announcements(DeviceRegistry& registry, ToneGenerator& tones, UrlFetcher fetch_url,
                std::function<bool()> beep_ticked);
  ~Announcements();
  Announcements(const Announcements&) = delete;
  Announcements& operator=(const Announcements&) = delete;

  // Handles one datagram `text` (writable, NUL-terminated; it is split in place) from
  // `address` (network byte order) and returns its outcome. Anything that is not an alive
  // notification, a search response or a byebye of a known device is dropped after the
  // click and the trace line. `via` tells the liveness how it came.
  DatagramOutcome OnReceive(char* text, uint32_t address, HeardVia via = HeardVia::kGroup);

  // Takes an alive notification or search response for the search target: creates or
  // refreshes the record once its description is settled and writes its row. An
  // announcement that lacks a field or has an unusable max-age leaves all records and rows
  // untouched; its outcome says why.
  DatagramOutcome HandleAnnouncement(const HeaderBlock& block, uint32_t address,
                                     HeardVia via = HeardVia::kGroup);

  // Devices whose announcement waits for its description.
  [[nodiscard]] std::size_t Pending() const { return m_pending.size(); }
  // Calls `visit` with the USN and sender of each device whose announcement waits.
  void ForEachPending(
      const std::function<void(const std::string& usn, uint32_t address)>& visit) const;

  // Largest number of records; an announcement of a new USN beyond it is dropped with
  // kTableFull. Records are never deleted, so the store stays bounded.
  void SetMaxDevices(std::size_t max_devices) { m_max_devices = max_devices; }

  // Who an accepted announcement says it is: its USN (cut as records cut it), its sender
  // (network byte order) and its LOCATION, valid only during the call. Heard for every
  // announcement taken for a device, one whose LOCATION is refused included, before its
  // description is settled; the identity checks of the front ends read it.
  using IdentityObserver =
      std::function<void(const std::string& usn, uint32_t address, std::string_view location)>;
  void SetIdentityObserver(IdentityObserver observer) { m_identity = std::move(observer); }

  // Tells `liveness` (which must outlive this; nullptr: none) of every announcement taken for
  // a device, as the identity observer hears it.
  void SetLiveness(DeviceLiveness* liveness) { m_liveness = liveness; }

  // Follows the devices' boot ids: a device that announces a new one without having said so
  // by ssdp:update is counted and published as rebooted, and ssdp:update of a known device
  // is taken (kUpdate). Off by default: the dialog ignores ssdp:update.
  void SetFollowReboots(bool on) { m_follow_reboots = on; }
  [[nodiscard]] BootIds& Boots() { return m_boot_ids; }

  // Traces a line naming the reason of every drop. Off by default: the dialog's trace shows
  // only "OnReceive(ADDRESS)" for what it ignores.
  void SetTraceDrops(bool on) { m_trace_drops = on; }

 private:
  // What one announcement asks for, kept until its description is settled.
  struct Announcement {
    std::string usn;
    uint32_t address = 0;
    uint32_t max_age = 0;
    bool beep = false;
    bool bad_location = false;
    DescriptionRequest request;
  };
  // A byebye that came while an announcement of its device waited; `beep` as it came.
  struct LateByebye {
    bool beep = false;
  };
  // One device's announcements while its description is being settled. A device that
  // repeats itself meanwhile replaces the announcement that waits, so that each device
  // holds at most two, however many repeats a hung fetch lets pile up; a byebye between
  // two of them is kept, so "went away and came back" still shows.
  struct Waiting {
    Announcement current;  // its description is being settled
    std::optional<LateByebye> byebye_after_current;
    std::optional<Announcement> next;  // the newest one that came meanwhile
    std::optional<LateByebye> byebye_after_next;
  };

  DatagramOutcome HandleByebye(const char* usn);
  DatagramOutcome HandleUpdate(const HeaderBlock& block);
  void SayByebye(DeviceRecord& record, bool beep);
  // Describes the device's current announcement; one that settles at once is completed from
  // the loop here, never by a nested call per announcement.
  void Describe(const std::string& usn);
  void DescribeCurrent(const std::string& usn);
  void Settle(const std::string& usn, const DescriptionResult& result);
  void Coalesced();
  // Whether an announcement with these fields says exactly what `waiting` does.
  static bool IsRepeat(const Announcement& waiting, uint32_t address, uint32_t max_age,
                       const char* location, const char* boot_id, const char* config_id);
  void Complete(const Announcement& announcement, const DescriptionResult& result);
  void Play(const Tone* tones, std::size_t count);
  void Publish(DeviceEventKind kind, const DeviceRecord& record, uint32_t previous_address = 0,
               DescriptionFetch fetch = DescriptionFetch::kOk,
               const DescriptionRequest* ids = nullptr, bool texts_changed = true);

  DeviceRegistry& m_registry;
  ToneGenerator& m_tones;
  std::unique_ptr<MonotonicClock> m_own_clock;
  std::unique_ptr<DescriptionSource> m_own_descriptions;
  DescriptionSource& m_descriptions;
  std::function<bool()> m_beep_ticked;
  DiscoveryCounters* m_counters;
  const DeviceEvents* m_events;
  // The devices whose announcement is being described, by USN. A device's announcements are
  // completed in arrival order, so results match handling them one after another, whenever
  // their descriptions arrive.
  std::unordered_map<std::string, Waiting> m_pending;
  // Devices whose current announcement is to be described by the loop in Describe.
  std::deque<std::string> m_to_describe;
  bool m_describing = false;
  std::size_t m_max_devices = SIZE_MAX;
  IdentityObserver m_identity;
  DeviceLiveness* m_liveness = nullptr;
  std::string m_key;  // the USN of the announcement being handled
  BootIds m_boot_ids;
  bool m_follow_reboots = false;
  int32_t m_last_full_trace = 0;
  bool m_trace_drops = false;
};

// Reads a max-age value the way the unsigned long conversion of a 32-bit system does:
// leading white space, an optional sign (minus negates modulo 2^32), digits; values above
// 4294967295 become 4294967295. Returns false, leaving `seconds` 0, when there are no digits
// or anything follows them.
bool ParseMaxAgeSeconds(const char* text, uint32_t& seconds);
