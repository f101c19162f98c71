// Discovery as every front end runs it: the SSDP control point (interfaces, both sockets,
// search bursts), the device registry over the front end's rows, announcement handling and
// the two timers. The dialog and the scanner each own one and differ only in their rows,
// tones and how they show a receive error. Everything runs on the event loop's thread.
#pragma once

#include <functional>

#include "devices/announcements.h"
#include "devices/device_registry.h"
#include "http/get_url.h"
#include "platform/clock.h"
#include "platform/timer_table.h"
#include "platform/tones.h"
#include "ssdp/control_point.h"

struct SessionServices {
  InterfaceSource interfaces;
  UrlFetcher fetch_url;               // GetUrl when empty
  const Clock* clock = nullptr;       // the system clock when null
  ToneGenerator* tones = nullptr;     // silence when null
  std::function<bool()> beep_ticked;  // never when empty
  SocketErrorReporter report_error;   // receive errors are only traced when empty
  // Receives the timers' ticks when set (and passes them on to OnTimer); OnTimer otherwise.
  std::function<void(int id)> on_timer;
};

class DiscoverySession {
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
  // Arms the sweep that marks expired devices "lost" every minute.
  void StartExpiry();
  // Dispatches MY_DISCOVER_ID and MY_EXPIRY_ID; other ids are not ours.
  void OnTimer(int id);
  // One accepted datagram.
  void OnReceive(char* text, uint32_t address) { m_announcements.OnReceive(text, address); }

  // GetUrl, through the injected fetcher when there is one: a front end's own device requests
  // (Ping) go the same way as the descriptions.
  uint32_t FetchUrl(char* buffer, uint32_t size, const char* url) const {
    return m_services.fetch_url ? m_services.fetch_url(buffer, size, url)
                                : GetUrl(buffer, size, url);
  }

  [[nodiscard]] DeviceRegistry& Registry() { return m_registry; }
  [[nodiscard]] ControlPoint& Control() { return m_control; }

 private:
  SystemClock m_system_clock;
  SilentTones m_silence;
  SessionServices m_services;
  TimerTable m_timers;
  ControlPoint m_control;
  DeviceRegistry m_registry;
  Announcements m_announcements;
};
