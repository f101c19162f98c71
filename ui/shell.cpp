#include "ui/shell.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "parse/text.h"
#include "platform/trace.h"

namespace {

// Text from the network as it may go into a trace line: control and non-ASCII bytes become
// '?', so that a hostile address cannot forge lines or terminal controls.
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, kTraceMaxChars));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  }
  return out;
}

// Terminals tried after $TERMINAL, each with the option after which it runs a command.
struct Terminal {
  const char* program;
  const char* run_option;
};
constexpr Terminal kTerminals[] = {
    {"x-terminal-emulator", "-e"}, {"gnome-terminal", "--"}, {"konsole", "-e"},
    {"xfce4-terminal", "-x"},      {"xterm", "-e"},
};
constexpr char kTerminalRunOption[] = "-e";  // for $TERMINAL: what most terminals take
constexpr char kTelnetProgram[] = "telnet";
constexpr char kNoTerminal[] =
    "Telnet needs a terminal, but none was found: set TERMINAL or install one of "
    "x-terminal-emulator, gnome-terminal, konsole, xfce4-terminal or xterm.";
constexpr char kNoTelnet[] =
    "Telnet needs a telnet client, but no program \"telnet\" was found: install telnet.";

}  // namespace

TelnetLaunch FindTelnetLaunch(const std::string& address) {
  TelnetLaunch launch;
  QString terminal;
  const char* run_option = nullptr;
  const QString preferred = qEnvironmentVariable("TERMINAL");
  if (!preferred.isEmpty()) {
    terminal = QStandardPaths::findExecutable(preferred);
    run_option = kTerminalRunOption;
  }
  for (const Terminal& candidate : kTerminals) {
    if (!terminal.isEmpty()) break;
    terminal = QStandardPaths::findExecutable(QString::fromLatin1(candidate.program));
    run_option = candidate.run_option;
  }
  // A terminal without telnet would flash open and close: check both before starting either.
  const QString telnet = QStandardPaths::findExecutable(QString::fromLatin1(kTelnetProgram));
  if (terminal.isEmpty()) launch.missing = kNoTerminal;
  if (telnet.isEmpty()) {
    if (!launch.missing.empty()) launch.missing += '\n';
    launch.missing += kNoTelnet;
  }
  if (!launch.missing.empty()) return launch;
  launch.program = terminal;
  launch.arguments = {QString::fromLatin1(run_option), telnet,
                      QString::fromLatin1(address.c_str())};
  return launch;
}

bool IsWebAddress(std::string_view url) {
  if (url.size() > kWebAddressMaxChars) return false;
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
      return false;
    }
  }
  std::size_t scheme = 0;
  if (StartsWithIgnoringCase(url, "http://")) {
    scheme = 7;
  } else if (StartsWithIgnoringCase(url, "https://")) {
    scheme = 8;
  } else {
    return false;
  }
  return url.size() > scheme;
}

QUrl BrowserUrl(std::string_view url) {
  if (!IsWebAddress(url)) return {};
  // Device firmware writes page addresses by hand; strict parsing would refuse pages that
  // every browser opens.
  QUrl target(QString::fromLatin1(url.data(), static_cast<qsizetype>(url.size())),
              QUrl::TolerantMode);
  if (!target.isValid() || target.host().isEmpty()) return {};
  return target;
}

bool IsDottedAddress(std::string_view text) {
  int parts = 0;
  std::size_t i = 0;
  while (true) {
    std::size_t start = i;
    int value = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + (text[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    // A leading zero reads as octal to some resolvers.
    if (digits > 1 && text[start] == '0') return false;
    if (++parts == 4) return i == text.size();
    if (i == text.size() || text[i] != '.') return false;
    ++i;
  }
}

std::string BackupAddress(std::string_view page_address) {
  std::string url(page_address);
  url += kBackupPage;
  return url;
}

bool OpenWebAddress(Shell& shell, std::string_view url) {
  if (url.empty()) return false;
  if (!IsWebAddress(url)) {
    Trace("OpenWebAddress: not a web address, ignored: %s", Printable(url).c_str());
    return false;
  }
  shell.OpenUrl(std::string(url));
  return true;
}

void DesktopShell::OpenUrl(const std::string& url) {
  if (!IsWebAddress(url)) {
    Trace("DesktopShell::OpenUrl: not a web address, ignored: %s", Printable(url).c_str());
    return;
  }
  const QUrl target = BrowserUrl(url);
  if (!target.isValid()) {
    Trace("DesktopShell::OpenUrl: malformed, ignored: %s", Printable(url).c_str());
    return;
  }
  if (!QDesktopServices::openUrl(target)) Trace("DesktopShell::OpenUrl: openUrl failed");
}

void DesktopShell::OpenFile(const std::string& path) {
  QUrl target = QUrl::fromLocalFile(QString::fromLocal8Bit(path.data(), path.size()));
  if (!QDesktopServices::openUrl(target)) Trace("DesktopShell::OpenFile: openUrl failed");
}

void DesktopShell::StartTelnet(const std::string& address) {
  // The address becomes a program argument: anything but a dotted address (an option such as
  // "-l", say) is refused.
  if (!IsDottedAddress(address)) {
    Trace("DesktopShell::StartTelnet: not an address, ignored: %s", Printable(address).c_str());
    return;
  }
  const TelnetLaunch launch = FindTelnetLaunch(address);
  std::string failure = launch.missing;
  if (failure.empty() && !QProcess::startDetached(launch.program, launch.arguments)) {
    failure = "Telnet could not start " + launch.program.toStdString() + ".";
  }
  if (failure.empty()) return;
  Trace("DesktopShell::StartTelnet: %s", Printable(failure).c_str());
  if (m_report) m_report(failure);
}
