// The desktop's "open" requests behind one interface: a web page in the browser, a local file
// in its viewer, and a telnet client in a terminal. Requests are issued and not waited for;
// their failures are traced, never shown. Tests substitute a recording shell.
#pragma once

#include <QUrl>
#include <cstddef>
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
  void OpenUrl(const std::string& url) override;
  void OpenFile(const std::string& path) override;
  void StartTelnet(const std::string& address) override;
};

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
