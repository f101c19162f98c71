#include "scan/scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "devices/announcement_protocol.h"
#include "devices/device_record.h"
#include "formats/device_report.h"
#include "formats/inventory_file.h"
#include "formats/safe_text.h"
#include "formats/state_file.h"
#include "net/socket_error.h"
#include "platform/dotted_address.h"
#include "platform/error_text.h"
#include "scan/option_table.h"
#include "scan/search_scope.h"
#include "scan/signal_pipe.h"
#include "scan/stats_text.h"
#include "ssdp/interface_choice.h"

namespace {

constexpr int kProgressPeriodMs = 250;
// A device that went silent is lost within this long of its announcement running out.
constexpr int kSweepPeriodMs = 1000;
// Event lines waiting for a slow reader of standard output; beyond this they are dropped.
constexpr std::size_t kMaxWaitingOutputBytes = 1 << 20;
// Interface changes within this many milliseconds make one re-listing: a link that comes up
// brings its addresses and routes a moment later.
constexpr int kInterfaceSettleMs = 200;

SessionServices WithReporter(SessionServices services, std::function<void()> on_error,
                             DescriptionSource* descriptions) {
  services.report_error = [on_error = std::move(on_error)](const char*) { on_error(); };
  if (services.descriptions == nullptr && !services.fetch_url) services.descriptions = descriptions;
  return services;
}

FetchPolicy PolicyOf(const ScanOptions& options) {
  FetchPolicy policy;
  policy.concurrency = options.fetch_concurrency != kFetchConcurrencyFromLimit
                           ? options.fetch_concurrency
                           : DefaultFetchConcurrency();
  policy.total_timeout_ms = static_cast<int>(std::lround(options.fetch_timeout * 1000));
  policy.connect_timeout_ms = std::min(policy.connect_timeout_ms, policy.total_timeout_ms);
  policy.refresh_ms = std::llround(options.refresh * 1000);
  return policy;
}

// With --interface, the control point sees only the chosen interfaces: memberships, the
// burst's passes and the host's own addresses all follow from its table. A long watch
// (`follow`) takes those that exist and waits for the rest; `error` says what is missing.
SessionServices WithInterfaceChoice(SessionServices services, std::vector<std::string> wanted,
                                    bool follow, std::string& error) {
  if (wanted.empty()) return services;
  services.interfaces.list = [list = std::move(services.interfaces.list),
                              wanted = std::move(wanted), follow,
                              &error](std::vector<InterfaceEntry>& entries) {
    if (!list(entries)) return false;
    error.clear();
    return ChooseInterfaces(wanted, entries, error) || follow;
  };
  return services;
}

// Standard output's descriptor, written to directly: a thread stuck on a full pipe must hold
// no lock of the stream that the program's exit would wait for. A stream without one (a test's
// memory stream) is written through.
BackgroundWriter::Sink OutputSink(std::FILE* out) {
  if (const int fd = fileno(out); fd >= 0) return BackgroundWriter::DescriptorSink(fd);
  return [out](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
    return std::fflush(out) == 0 && std::ferror(out) == 0 ? 0 : EIO;
  };
}

bool IsTerminal(std::FILE* file) {
  return isatty(fileno(file)) == 1;
}

}  // namespace

Scanner::Scanner(const ScanOptions& options, SessionServices services, std::FILE* out,
                 std::FILE* err)
    : m_options(options),
      m_out(out),
      m_err(err),
      m_devices(services.boot_clock),
      m_descriptions(m_steady_clock, PolicyOf(options)),
      m_session(m_rows, WithReporter(
                            WithInterfaceChoice(std::move(services), options.interfaces,
                                                options.watch, m_interface_error),
                            [this] { OnReceiveError(); }, &m_descriptions)),
      // A watch asks quiet devices through the probe socket, and sends its unicast searches
      // there too: their answers must not pass for multicast working.
      m_unicast(
          options.watch ? m_session.Control().m_probe_socket : m_session.Control().m_port_socket,
          options.targets, options.rate),
      m_inventory(options) {
  m_session.SetKeepValidityOnSearch(true);
  m_session.SetFollowReboots(true);
  if (options.watch) {
    // A watch runs for long: a device is called lost only after it was asked directly.
    LivenessPolicy liveness;
    liveness.rate_per_second = options.rate;
    m_session.FollowLiveness(
        [this](const std::string& usn, int timeout_ms, DescriptionSource::Settle settle) {
          // Where the table last saw its description: the liveness keeps no LOCATION.
          const DeviceSnapshot* device = m_devices.Find(usn);
          if (device == nullptr || device->location.empty()) return false;
          m_descriptions.Refetch(device->location, timeout_ms, std::move(settle));
          return true;
        },
        liveness);
    m_session.Liveness()->SetPathObserver([this](const MulticastPath& path) {
      if (path.up) {
        std::fprintf(m_err, "tarovue-scan: multicast crosses %s again\n",
                     TerminalText(path.interface).c_str());
      } else {
        std::fprintf(m_err,
                     "tarovue-scan: multicast no longer crosses %s: its devices answer only when "
                     "asked directly\n",
                     TerminalText(path.interface).c_str());
      }
    });
  }
  m_session.Control().SetMulticastSearch(!options.no_multicast);
  m_session.Control().SetBatchReceive(true);
  m_session.Control().SetOnSearch([this] { m_unicast.Start(); });
  m_session.Events().Subscribe([this](const DeviceEvent& event) { OnDeviceEvent(event); });
  m_session.Handling().SetMaxDevices(static_cast<std::size_t>(options.max_devices));
  m_inventory.Conflicts().SetMaxKeys(static_cast<std::size_t>(options.max_devices));
  m_session.Handling().SetTraceDrops(true);
  // The agent always watches identities: a swapped or moved indicator is worth an alert.
  if (m_inventory.Active() || options.serve) {
    m_session.Handling().SetIdentityObserver(
        [this](const std::string& usn, uint32_t address, std::string_view location) {
          m_inventory.Conflicts().Observe(usn, address, location);
        });
  }
}

int Scanner::Run() {
  SignalPipe signal_pipe([this](int signal_number) { OnSignal(signal_number); });
  if (std::string error; !m_inventory.Prepare(error)) {
    std::fprintf(m_err, "tarovue-scan: %s\n", error.c_str());
    return 2;
  }
  if (!m_options.state_path.empty() && !RestoreState()) return 2;
  if (!Start()) return m_status;
  if (m_options.watch) {
    RunWatch();
    if (m_state) m_state->SaveNow();
  } else {
    RunTimed();
  }
  const bool written = FinishOutput();
  if (m_options.stats && (m_status == 0 || m_options.watch)) PrintStats();
  if (m_status == 0 && !written) m_status = 1;
  return m_status == 0 && m_differs ? 3 : m_status;
}

DiscoveryCounters Scanner::Counters() const {
  DiscoveryCounters counters = m_session.Counters();
  const auto by_kind = m_inventory.Conflicts().CountByKind();
  static_assert(by_kind.size() == std::tuple_size_v<decltype(counters.identity_conflicts)>);
  std::copy(by_kind.begin(), by_kind.end(), counters.identity_conflicts.begin());
  counters.identity_keys_evicted = m_inventory.Conflicts().Evicted();
  if (m_writer) counters.output_lines_dropped = m_writer->Dropped();
  counters.netlink_dropped = m_netlink.Counters().malformed + m_netlink.Counters().foreign;
  return counters;
}

void Scanner::OnReceive(char* text, uint32_t address) {
  m_session.OnReceive(text, address);
}

bool Scanner::Start() {
  if (m_options.watch) FollowInterfaces();
  SetLastSocketError(0);
  if (const char* failure = m_session.Open(this)) {
    if (!m_interface_error.empty()) {
      Fail("--interface: " + TerminalText(m_interface_error));
      m_status = 2;
      return false;
    }
    std::string message = std::string("cannot open the SSDP sockets: ") + failure;
    if (const int code = GetLastSocketError(); code != 0) {
      message += std::string(" (") + ErrorText(code) + ")";
    }
    Fail(message);
    return false;
  }
  // The sockets open without a network too, but then every search goes nowhere.
  if (m_session.Control().InterfaceCount() == 0) {
    if (!m_options.watch) {
      Fail("no network to search: no IPv4 interface is up besides loopback");
      return false;
    }
    // A service may start before the network does: it waits instead of ending.
    m_waiting_for_network = true;
    std::fprintf(m_err, "tarovue-scan: no network to search yet: %s; waiting for an interface\n",
                 NoNetworkReason().c_str());
  } else if (!m_interface_error.empty()) {
    std::fprintf(m_err, "tarovue-scan: --interface: %s; taken when it appears\n",
                 TerminalText(m_interface_error).c_str());
  }
  // A watch searches through each interface, so that one added later is searched too.
  if (m_options.watch || !m_options.interfaces.empty()) {
    m_session.Control().SearchThroughInterfaces();
  }
  if (!m_waiting_for_network) m_session.Search();
  m_session.StartExpiry(kSweepPeriodMs);
  return true;
}

void Scanner::FollowInterfaces() {
  NetlinkWatchOptions options;
  options.coalesce_ms = kInterfaceSettleMs;
  if (m_netlink.Start([this](const NetlinkChanges& changes) { OnInterfacesChanged(changes); },
                      options)) {
    return;
  }
  std::fprintf(m_err,
               "tarovue-scan: cannot follow the interfaces (%s); those found at start are used\n",
               ErrorText(errno));
}

void Scanner::OnInterfacesChanged(const NetlinkChanges& changes) {
  ControlPoint& control = m_session.Control();
  if (!changes.resync &&
      std::none_of(changes.changes.begin(), changes.changes.end(),
                   [&](const InterfaceChange& c) { return control.Concerns(c); })) {
    return;
  }
  const bool added = control.RefreshInterfaces();
  const bool was_waiting = m_waiting_for_network;
  m_waiting_for_network = control.InterfaceCount() == 0;
  if (m_waiting_for_network) {
    if (!was_waiting) {
      std::fprintf(m_err,
                   "tarovue-scan: no network to search any more: %s; waiting for an interface\n",
                   NoNetworkReason().c_str());
    }
    return;
  }
  if (was_waiting) std::fputs("tarovue-scan: an interface is up; searching\n", m_err);
  if (added) m_session.Search();
}

std::string Scanner::NoNetworkReason() const {
  if (m_interface_error.empty()) return "no IPv4 interface is up besides loopback";
  return "--interface: " + TerminalText(m_interface_error);
}

void Scanner::RunTimed() {
  QTimer::singleShot(static_cast<int>(std::lround(m_options.seconds * 1000)), &m_loop,
                     &QEventLoop::quit);
  QTimer progress;
  if (IsTerminal(m_err)) {
    m_elapsed.start();
    QObject::connect(&progress, &QTimer::timeout, &m_loop, [this] { ShowProgress(); });
    progress.start(kProgressPeriodMs);
    ShowProgress();
  }
  m_loop.exec();
  progress.stop();
  ClearProgress();
  if (m_status != 0) return;
  std::vector<DeviceSnapshot> devices = ReportedDevices();
  // One look at the network: every device that answered is online, whether it answered once
  // ("new") or again within --time.
  for (DeviceSnapshot& device : devices) {
    if (device.status == kStatusNew) device.status = kStatusOnline;
  }
  const InventoryReport report = m_inventory.Report(m_options.format, devices);
  Write(report.out);
  std::fputs(report.err.c_str(), m_err);
  if (devices.empty()) {
    // A header alone reads like a fault of the scanner; say where it looked.
    const ControlPoint& control = m_session.Control();
    std::fprintf(
        m_err, "tarovue-scan: no indicator answered within %s s; searched %s\n",
        NumberText(m_options.seconds).c_str(),
        SearchScopeText(control.Interfaces(), m_options.no_multicast ? 0 : control.InterfaceCount(),
                        m_options.targets.size())
            .c_str());
  }
  if (std::string error; !m_inventory.Save(devices, m_session.Registry().Now(), error)) {
    Fail(error);
    return;
  }
  m_differs = report.status != 0;
}

std::vector<DeviceSnapshot> Scanner::ReportedDevices() const {
  std::vector<DeviceSnapshot> devices = m_devices.Devices();
  const std::size_t settled = devices.size();
  // A device first heard just before the report is listed with what is known of it.
  m_session.Handling().ForEachPending([&](const std::string& usn, uint32_t address) {
    if (m_devices.Find(usn) != nullptr) return;
    DeviceSnapshot device;
    device.address = address;
    char dotted[kDottedAddressSize];
    FormatDottedAddress(address, dotted);
    device.address_text = dotted;
    device.usn = usn;
    device.status = kStatusNew;
    device.fetch = "pending";
    devices.push_back(std::move(device));
  });
  if (devices.size() != settled) std::sort(devices.begin(), devices.end(), ReportOrder);
  return devices;
}

void Scanner::RunWatch() {
  m_writer = std::make_unique<BackgroundWriter>(OutputSink(m_out), kMaxWaitingOutputBytes);
  // The table's column names are for a reader at a terminal; CSV always has its header row.
  if (!m_options.quiet && (m_options.format != ScanFormat::kTable || IsTerminal(m_out))) {
    Write(FormatWatchHeader(m_options.format));
  }
  // Agent mode searches again now and then: a device whose NOTIFYs get lost on the way is
  // still found, and one that went silent is marked by the expiry sweep.
  QTimer searches;
  if (m_options.serve) {
    QObject::connect(&searches, &QTimer::timeout, &m_loop, [this] { SearchAgain(); });
    searches.start(m_options.search_interval * 1000);
  }
  // The inventory is rewritten after every search, the first one included.
  if (!m_options.save_path.empty()) ScheduleSave();
  // Devices gone for --forget seconds leave the table, so that a watch running for months
  // stays as small as the segment it watches.
  QTimer forgetting;
  QObject::connect(&forgetting, &QTimer::timeout, &m_loop, [this] { ForgetGone(); });
  forgetting.start(kSweepPeriodMs);
  if (fcntl(STDIN_FILENO, F_GETFL) != -1) {
    m_input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(m_input.get(), &QSocketNotifier::activated, &m_loop, [this] { OnInput(); });
    if (isatty(STDIN_FILENO) == 1 && IsTerminal(m_err)) {
      std::fputs("tarovue-scan: watching; Enter searches again, Ctrl-C ends\n", m_err);
    }
  }
  m_loop.exec();
  m_input.reset();
}

void Scanner::Fail(const std::string& message) {
  ClearProgress();
  std::fprintf(m_err, "tarovue-scan: %s\n", message.c_str());
  m_status = 1;
  m_loop.quit();
}

void Scanner::Write(const std::string& text) {
  if (!m_writer) {
    std::fwrite(text.data(), 1, text.size(), m_out);
    return;
  }
  if (text.empty() || m_writer->Write(text)) return;
  if (const int error = m_writer->Error(); error != 0 && !m_output_failure_shown) {
    m_output_failure_shown = true;
    std::fprintf(m_err, "tarovue-scan: cannot write the event lines (%s); discovery goes on\n",
                 std::strerror(error));
  }
}

bool Scanner::FinishOutput() {
  int error = 0;
  if (m_writer) {
    // Ctrl-C ends a watch at once, even when nobody reads what is left.
    m_writer->Flush(BackgroundWriter::kLeaveAfter);
    error = m_writer->Error();
  } else if (std::fflush(m_out) != 0 || std::ferror(m_out) != 0) {
    error = errno;
  }
  if (error == 0) return true;
  std::fprintf(m_err, "tarovue-scan: cannot write the output: %s\n", std::strerror(error));
  return false;
}

void Scanner::OnDeviceEvent(const DeviceEvent& event) {
  if (m_state) m_state->Changed();
  if (event.kind == DeviceEventKind::kForgotten) {
    // The table lets go of the device: its last view is what the line shows.
    const DeviceSnapshot* known = m_devices.Find(event.device.Usn());
    DeviceSnapshot last = known != nullptr ? *known : DeviceSnapshot{};
    last.status = DeviceEventName(event.kind);
    m_devices.Apply(event);
    m_inventory.Conflicts().Forget(event.device.Usn());
    m_recent.Add(event.time, last);
    if (m_options.watch && !m_options.quiet) {
      Write(FormatWatchEvent(m_options.format, event.time, last));
    }
    return;
  }
  const DeviceSnapshot* before = m_devices.Find(event.device.Usn());
  const int32_t ran_out =
      event.kind == DeviceEventKind::kLost && before != nullptr ? before->valid_until : 0;
  if (!m_devices.Apply(event) || !m_options.watch) return;
  DeviceSnapshot shown = *m_devices.Find(event.device.Usn());
  // A reboot, or being kept by a direct question, is an occurrence: its line names it, the
  // device's status stays.
  if (event.kind == DeviceEventKind::kRebooted || event.kind == DeviceEventKind::kKept) {
    shown.status = DeviceEventName(event.kind);
  }
  m_recent.Add(event.time, shown);
  if (m_options.quiet) return;
  Write(FormatWatchEvent(m_options.format, event.time, shown, ran_out));
}

bool Scanner::RestoreState() {
  m_state = std::make_unique<StateKeeper>(
      m_options.state_path,
      [this] { return StateDocument(m_devices.Devices(), m_session.Registry().Now()); }, m_err);
  std::vector<DeviceSnapshot> devices;
  if (std::string error; !m_state->Load(devices, error)) {
    std::fprintf(m_err, "tarovue-scan: %s\n", error.c_str());
    return false;
  }
  // The most recently seen first, as many as the table holds.
  std::sort(devices.begin(), devices.end(), [](const DeviceSnapshot& a, const DeviceSnapshot& b) {
    return a.last_seen > b.last_seen;
  });
  if (devices.size() > static_cast<std::size_t>(m_options.max_devices)) {
    devices.resize(static_cast<std::size_t>(m_options.max_devices));
  }
  const int64_t now = m_session.Registry().Now();
  for (DeviceSnapshot& device : devices) {
    const int64_t gone_for_ms = (now - device.last_seen) * 1000;
    if (m_session.Restore(device)) m_devices.Restore(std::move(device), gone_for_ms);
  }
  return true;
}

void Scanner::ForgetGone() {
  for (const std::string& usn : m_devices.GoneFor(std::llround(m_options.forget * 1000))) {
    m_session.Forget(usn);
  }
}

void Scanner::SearchAgain() {
  m_session.Search();
  if (!m_options.save_path.empty()) ScheduleSave();
}

void Scanner::ScheduleSave() {
  if (!m_saver) {
    m_saver = std::make_unique<FileSaver>(
        [this](const std::string& path, bool ok, AtomicWriteFailure failure) {
          if (!ok)
            std::fprintf(m_err, "tarovue-scan: %s\n", InventorySaveError(path, failure).c_str());
        });
  }
  // Written once the burst's answers are in: devices may delay theirs by up to 5 s. The disk
  // is the saver's thread's to wait for.
  QTimer::singleShot(static_cast<int>(kDefaultListenSeconds * 1000), &m_loop, [this] {
    m_saver->Save(m_options.save_path,
                  InventoryDocument(PresentDevices(ReportedDevices()), m_session.Registry().Now()),
                  kInventoryMode);
  });
}

void Scanner::PrintStats() {
  const std::string text = FormatStats(Counters());
  std::fwrite(text.data(), 1, text.size(), m_err);
  std::fflush(m_err);
}

void Scanner::OnReceiveError() {
  std::fprintf(m_err, "tarovue-scan: an SSDP socket failed to receive (%s) and is closed\n",
               ErrorText(GetLastSocketError()));
  // The socket closes once this report returns; look at both of them after that.
  QTimer::singleShot(0, &m_loop, [this] {
    const ControlPoint& control = m_session.Control();
    if (!control.m_port_socket.IsOpen() && !control.m_ssdp_socket.IsOpen()) {
      Fail("both SSDP sockets have failed; nothing more can be received");
    }
  });
}

void Scanner::OnSignal(int signal_number) {
  // A watch ends this way as planned; a timed scan ends early, without its report.
  if (!m_options.watch && m_status == 0) m_status = 128 + signal_number;
  m_loop.quit();
}

void Scanner::OnInput() {
  char bytes[256];
  const ssize_t count = read(STDIN_FILENO, bytes, sizeof bytes);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (count <= 0) {
    m_input.reset();  // end of input: the watch goes on without searches on request
    return;
  }
  if (std::memchr(bytes, '\n', static_cast<std::size_t>(count)) != nullptr) SearchAgain();
}

void Scanner::ShowProgress() {
  const double left = m_options.seconds - static_cast<double>(m_elapsed.elapsed()) / 1000.0;
  const int devices = static_cast<int>(m_devices.Size());
  // Carriage return and erase-to-end-of-line: the line is redrawn in place.
  std::fprintf(m_err, "\rtarovue-scan: listening, %d s left, %d device%s\033[K",
               static_cast<int>(std::ceil(left > 0 ? left : 0)), devices, devices == 1 ? "" : "s");
  std::fflush(m_err);
  m_progress_shown = true;
}

void Scanner::ClearProgress() {
  if (!m_progress_shown) return;
  std::fputs("\r\033[K", m_err);
  std::fflush(m_err);
  m_progress_shown = false;
}
