// Discovery as every front end runs it: the SSDP control point (interfaces, both sockets,
// search bursts), the device registry over the front end's rows, announcement handling, the
// two timers, the counters and the device events. The dialog and the scanner each own one
// and differ in their rows, tones, description source and how they show a receive error.
// Everything runs on the event loop's thread.
#pragma once

#include <functional>
#include <memory>

#include "devices/announcements.h"
#include "devices/blocking_descriptions.h"
#include "devices/device_events.h"
#include "devices/device_liveness.h"
#include "devices/device_registry.h"
#include "devices/discovery_counters.h"
#include "platform/clock.h"
#include "platform/timer_table.h"
#include "platform/tones.h"
#include "ssdp/control_point.h"

struct SessionServices {
  InterfaceSource interfaces;
  UrlFetcher fetch_url;  // GetUrl when empty
  // Where descriptions come from; blocking fetches with fetch_url when null. Must outlive
  // the session.
  DescriptionSource* descriptions = nullptr;
  const Clock* clock = nullptr;                  // the system clock when null
  const MonotonicClock* steady_clock = nullptr;  // the host's steady clock when null
  // Validity and liveness of the headless front ends; the host's boot clock when null.
  const MonotonicClock* boot_clock = nullptr;
  ToneGenerator* tones = nullptr;     // silence when null
  std::function<bool()> beep_ticked;  // never when empty
  SocketErrorReporter report_error;   // receive errors are only traced when empty
  // Receives the timers' ticks when set (and passes them on to OnTimer); OnTimer otherwise.
  std::function<void(int id)> on_timer;
};

struct DeviceSnapshot;

class DiscoverySession final {
 public:
  // `rows` must outlive the session.
  DiscoverySession(DeviceRows& rows, SessionServices services = {});
  DiscoverySession(const DiscoverySession&) = delete;
  DiscoverySession& operator=(const DiscoverySession&) = delete;

  // Lists the interfaces and opens both sockets, which hand datagrams to `listener` (the
  // front end, which passes them on to OnReceive). Returns nullptr on success, or the text
  // of the failure that must stop the program.
  const char* Open(SsdpListener* listener);
  // The Search command: every row back to "searching", then a new burst.
  void Search();
  // Arms the sweep that marks expired devices "lost", every `period_ms` (a minute in the
  // dialog; a long watch sweeps more often, so a silent device is lost soon after it expires).
  void StartExpiry(int period_ms = kExpiryPeriodMs);
  // For the headless front ends: a search leaves each device's announced validity as it is,
  // so a device is lost when its announcement runs out, not when it is slow to answer.
  void SetKeepValidityOnSearch(bool on) { m_keep_validity_on_search = on; }
  // For the headless front ends, before Open: a device is lost only when its validity has run
  // out on the boot clock and it answered nothing when asked directly (DeviceLiveness), not at
  // the wall-clock time its row shows. `refetch` asks for a description afresh. Unicast
  // searches then go through the control point's probe socket, whose answers are told apart.
  void FollowLiveness(DeviceLiveness::Refetch refetch, LivenessPolicy policy = {});
  // nullptr unless FollowLiveness was called.
  [[nodiscard]] DeviceLiveness* Liveness() { return m_liveness.get(); }
  [[nodiscard]] const DeviceLiveness* Liveness() const { return m_liveness.get(); }
  // Dispatches MY_DISCOVER_ID and MY_EXPIRY_ID; other ids are not ours.
  void OnTimer(int id);
  // One datagram that the sockets took; its outcome is counted.
  DatagramOutcome OnReceive(char* text, uint32_t address) {
    return m_announcements.OnReceive(text, address, m_receiving_via);
  }

  // Removes a device for good (a headless front end's rows only), after its kForgotten event.
  bool Forget(const std::string& usn);
  // Takes back a device known from before a restart, lost until it is heard again, with its
  // boot id, so that a new one counts as a reboot. False when the table has no room.
  bool Restore(const DeviceSnapshot& device);
  // For the headless front ends: count and publish reboots (devices/boot_ids.h).
  void SetFollowReboots(bool on) { m_announcements.SetFollowReboots(on); }

  // Device events: every change of a device, from the places that write its row.
  [[nodiscard]] DeviceEvents& Events() { return m_events; }
  // The counters so far, the sockets' own counts included.
  [[nodiscard]] DiscoveryCounters Counters() const;

  // GetUrl, through the injected fetcher when there is one: a front end's own device requests
  // (Ping) go the same way as the descriptions.
  uint32_t FetchUrl(char* buffer, uint32_t size, const char* url) const {
    return m_fetch_url(buffer, size, url);
  }

  [[nodiscard]] DeviceRegistry& Registry() { return m_registry; }
  [[nodiscard]] ControlPoint& Control() { return m_control; }
  [[nodiscard]] Announcements& Handling() { return m_announcements; }
  [[nodiscard]] const Announcements& Handling() const { return m_announcements; }

 private:
  // The sockets' listener: datagrams go on to the front end's listener, drops are counted.
  class SocketListener final : public SsdpListener {
   public:
    SocketListener(DiscoverySession& session, HeardVia via) : m_session(session), m_via(via) {}
    void OnReceive(char* text, uint32_t address) override;
    void OnDropped(DatagramOutcome reason, uint32_t address) override;

   private:
    DiscoverySession& m_session;
    HeardVia m_via;
  };

  SystemClock m_system_clock;
  SteadyClock m_steady_clock;
  SilentTones m_silence;
  SessionServices m_services;
  UrlFetcher m_fetch_url;
  BlockingDescriptions m_blocking;
  DiscoveryCounters m_counters;
  DeviceEvents m_events;
  SsdpListener* m_listener = nullptr;
  SocketListener m_socket_listener{*this, HeardVia::kGroup};
  SocketListener m_probe_listener{*this, HeardVia::kUnicast};
  HeardVia m_receiving_via = HeardVia::kGroup;  // of the datagram being handed on
  TimerTable m_timers;
  ControlPoint m_control;
  DeviceRegistry m_registry;
  Announcements m_announcements;
  bool m_keep_validity_on_search = false;
  BootClock m_own_boot_clock;
  std::unique_ptr<DeviceLiveness> m_liveness;
};
