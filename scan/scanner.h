// tarovue-scan's run: one DiscoverySession, driven by a local event loop for a fixed time
// (then the report is printed) or, with --watch, until SIGINT or SIGTERM (each status change
// is printed as it happens). The scanner keeps its own device table from the session's
// events; the registry's rows are only the session's store. The scanner is the sockets'
// listener and hands every datagram to the session. Needs a QCoreApplication; never a window.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>
#include <string>

#include "devices/device_table.h"
#include "devices/discovery_session.h"
#include "devices/event_log.h"
#include "devices/pooled_descriptions.h"
#include "devices/row_table.h"
#include "net/netlink_watch.h"
#include "platform/background_writer.h"
#include "platform/file_saver.h"
#include "scan/scan_inventory.h"
#include "scan/scan_options.h"
#include "scan/state_keeper.h"
#include "ssdp/unicast_search.h"

class Scanner final : public SsdpListener {
 public:
  // The report and the events go to `out`; messages and the progress line to `err`.
  // `services` are the session's; its receive error reporter is the scanner's own.
  explicit Scanner(const ScanOptions& options, SessionServices services = {},
                   std::FILE* out = stdout, std::FILE* err = stderr);
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Runs the scan and returns the exit status: 0 when it ran (devices or none); 1 when it
  // could not, after a one-line message on `err`; 2 when --interface named no usable interface
  // or the baseline cannot be read (nothing is searched); 3 when the scan differs from the
  // baseline; 128 + the signal's number when a signal ended a timed scan before its report.
  int Run();

  void OnReceive(char* text, uint32_t address) override;

  // What the fleet agent serves: the device table and the counters, read on request.
  [[nodiscard]] const DeviceTable& Devices() const { return m_devices; }
  // The last events a watch showed, --quiet or not.
  [[nodiscard]] const EventLog& RecentEvents() const { return m_recent; }
  // The session's counters with the identity conflicts seen so far.
  [[nodiscard]] DiscoveryCounters Counters() const;
  // A watch or the agent without a usable interface (none at start, or every one gone):
  // nothing is searched until one appears.
  [[nodiscard]] bool WaitingForNetwork() const { return m_waiting_for_network; }

 private:
  // Opens the sockets and starts the search; false (status 1, message written) when there is
  // nothing to search with.
  bool Start();
  void RunTimed();
  void RunWatch();
  void Fail(const std::string& message);
  // The report, or a watch's line: a watch's lines go through the background writer, so a
  // reader who stops reading stops neither discovery nor the agent.
  void Write(const std::string& text);
  // A watch's end: what is queued is written within a bound; false when output failed.
  bool FinishOutput();

  // A watch's and the agent's interfaces follow the kernel's notifications; started before
  // the interfaces are listed, so that no change in between is missed.
  void FollowInterfaces();
  // Lists the interfaces again when a change concerns them: joins and searches a new one at
  // once, leaves one that went, and says when the network is gone or back.
  void OnInterfacesChanged(const NetlinkChanges& changes);
  // Why there is no interface to search: --interface's complaint, or none is up.
  [[nodiscard]] std::string NoNetworkReason() const;

  void OnDeviceEvent(const DeviceEvent& event);
  // --state: reads what was kept and takes it back into the session and the table; false
  // (exit status 2, message written) when the state could never be written.
  bool RestoreState();
  // Removes the devices gone for longer than --forget.
  void ForgetGone();
  // Agent mode: a search every --interval, and the inventory rewritten after each.
  void SearchAgain();
  void ScheduleSave();
  // The table's devices and those whose first description is still being fetched.
  [[nodiscard]] std::vector<DeviceSnapshot> ReportedDevices() const;
  void PrintStats();
  void OnReceiveError();
  void OnSignal(int signal_number);
  void OnInput();
  void ShowProgress();
  void ClearProgress();

  ScanOptions m_options;
  std::FILE* m_out;
  std::FILE* m_err;
  RowTable m_rows;
  DeviceTable m_devices;
  EventLog m_recent;
  SteadyClock m_steady_clock;
  PooledDescriptions m_descriptions;
  std::string m_interface_error;  // why --interface matched nothing, once the session opened
  DiscoverySession m_session;
  UnicastSearch m_unicast;  // --target's searches, started with every burst
  ScanInventory m_inventory;
  bool m_differs = false;  // the scan differs from the baseline
  QEventLoop m_loop;
  int m_status = 0;
  std::unique_ptr<QSocketNotifier> m_input;
  std::unique_ptr<BackgroundWriter> m_writer;  // a watch's standard output
  bool m_output_failure_shown = false;
  std::unique_ptr<FileSaver> m_saver;    // agent mode's inventory
  std::unique_ptr<StateKeeper> m_state;  // --state
  QElapsedTimer m_elapsed;
  bool m_progress_shown = false;  // a progress line stands on `err`
  NetlinkWatch m_netlink;         // a watch's and the agent's interface changes
  bool m_waiting_for_network = false;
};
