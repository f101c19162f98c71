// The desktop's "open" requests behind one interface: a web page in the browser, a local file
// in its viewer, and a telnet client in a terminal. Requests are issued and not waited for;
// their failures are traced, except a telnet that cannot start, which the operator is told
// about. Tests substitute a recording shell.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Longest address this program forms: a page address of 255 characters plus "backup.html".
inline constexpr std::size_t kWebAddressMaxChars = 266;

// Appended to a device's page address to name its backup page.
inline constexpr const char kBackupPage[] = "backup.html";

class Shell {
 public:
  virtual ~Shell() = default;

  // Opens `url` in the default browser.
  virtual void OpenUrl(const std::string& url) = 0;
  // Opens the local file at `path` in its associated program.
  virtual void OpenFile(const std::string& path) = 0;
  // Starts a telnet client on `address` in a terminal.
  virtual void StartTelnet(const std::string& address) = 0;
};

// The host desktop's shell. Refuses (and traces) a URL that IsWebAddress rejects and an
// address that IsDottedAddress rejects, whoever calls it.
class DesktopShell final : public Shell {
 public:
  // `report` tells the operator why telnet could not start; without it that is only traced.
  explicit DesktopShell(std::function<void(const std::string& text)> report = {})
      : m_report(std::move(report)) {}

  void OpenUrl(const std::string& url) override;
  void OpenFile(const std::string& path) override;
  void StartTelnet(const std::string& address) override;

 private:
  std::function<void(const std::string& text)> m_report;
};

// How a telnet client on `address` is started in a terminal found on the PATH: $TERMINAL
// (run with "-e"), x-terminal-emulator, gnome-terminal, konsole, xfce4-terminal, xterm, the
// first that exists. `program` is empty when no terminal or no "telnet" exists; `missing`
// then says which, for the operator.
struct TelnetLaunch {
  QString program;
  QStringList arguments;
  std::string missing;
};
TelnetLaunch FindTelnetLaunch(const std::string& address);

// True when `url` starts with "http://" or "https://" (scheme in any letter case), has
// something after it, is at most kWebAddressMaxChars long and holds only printable ASCII
// without spaces. Anything else, from "file:" to "javascript:", is no web page of a device.
bool IsWebAddress(std::string_view url);

// The page a browser opens for `url`, read as leniently as a browser reads it: a stray '|',
// '{' or '^' and a '%' without two hex digits are encoded rather than refused. An invalid
// QUrl when `url` fails IsWebAddress or names no host.
QUrl BrowserUrl(std::string_view url);

// True for the dotted form of an IPv4 address: four decimal numbers from 0 to 255 without
// leading zeros, joined by dots, and nothing else.
bool IsDottedAddress(std::string_view text);

// The device's backup page: `page_address` with "backup.html" appended, no '/' inserted.
std::string BackupAddress(std::string_view page_address);

// Opens a device's page address: nothing when `url` is empty, a trace line and nothing when
// it is no web address, otherwise shell.OpenUrl. Returns whether the request was issued.
bool OpenWebAddress(Shell& shell, std::string_view url);
