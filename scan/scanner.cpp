#include "scan/scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <QTimer>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "devices/device_record.h"
#include "net/socket_error.h"
#include "platform/error_text.h"
#include "scan/device_report.h"
#include "scan/signal_pipe.h"
#include "scan/stats_text.h"

namespace {

constexpr int kProgressPeriodMs = 250;

SessionServices WithReporter(SessionServices services, std::function<void()> on_error) {
  services.report_error = [on_error = std::move(on_error)](const char*) { on_error(); };
  return services;
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
      m_session(m_rows, WithReporter(std::move(services), [this] { OnReceiveError(); })) {
  m_session.Events().Subscribe([this](const DeviceEvent& event) { OnDeviceEvent(event); });
  m_session.Handling().SetTraceDrops(true);
}

int Scanner::Run() {
  SignalPipe signal_pipe([this](int signal_number) { OnSignal(signal_number); });
  if (!Start()) return m_status;
  if (m_options.watch) {
    RunWatch();
  } else {
    RunTimed();
  }
  if (m_options.stats && (m_status == 0 || m_options.watch)) PrintStats();
  if (m_status == 0 && (std::fflush(m_out) != 0 || std::ferror(m_out) != 0)) {
    std::fprintf(m_err, "tarovue-scan: cannot write the output: %s\n", std::strerror(errno));
    m_status = 1;
  }
  return m_status;
}

bool Scanner::Start() {
  SetLastSocketError(0);
  if (const char* failure = m_session.Open(this)) {
    std::string message = std::string("cannot open the SSDP sockets: ") + failure;
    if (const int code = GetLastSocketError(); code != 0) {
      message += std::string(" (") + ErrorText(code) + ")";
    }
    Fail(message);
    return false;
  }
  // The sockets open without a network too, but then every search goes nowhere.
  if (m_session.Control().InterfaceCount() == 0) {
    Fail("no network to search: no IPv4 interface is up besides loopback");
    return false;
  }
  m_session.Search();
  m_session.StartExpiry();
  return true;
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
  Write(FormatReport(m_options.format, m_devices.Devices()));
}

void Scanner::RunWatch() {
  if (!m_options.quiet) Write(FormatWatchHeader(m_options.format));
  // Agent mode searches again now and then: a device whose NOTIFYs get lost on the way is
  // still found, and one that went silent is marked by the expiry sweep.
  QTimer searches;
  if (m_options.serve) {
    QObject::connect(&searches, &QTimer::timeout, &m_loop, [this] { m_session.Search(); });
    searches.start(m_options.search_interval * 1000);
  }
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
  // Events are read as they happen, so nothing waits in the buffer; Run checks for errors.
  std::fwrite(text.data(), 1, text.size(), m_out);
  std::fflush(m_out);
}

void Scanner::OnDeviceEvent(const DeviceEvent& event) {
  if (!m_devices.Apply(event) || !m_options.watch || m_options.quiet) return;
  Write(FormatWatchEvent(m_options.format, event.time, *m_devices.Find(event.device.Usn())));
}

void Scanner::PrintStats() {
  const std::string text = FormatStats(m_session.Counters());
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
  if (std::memchr(bytes, '\n', static_cast<std::size_t>(count)) != nullptr) m_session.Search();
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
