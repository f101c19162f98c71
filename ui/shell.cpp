#include "ui/shell.h"

#include <QDesktopServices>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "platform/trace.h"

namespace {

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Text from the network as it may go into a trace line: control and non-ASCII bytes become
// '?', so that a hostile address cannot forge lines or terminal controls.
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, kTraceMaxChars));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  }
  return out;
}

}  // namespace

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
  QStringList arguments{"-e", "telnet", QString::fromLatin1(address.c_str())};
  if (!QProcess::startDetached("x-terminal-emulator", arguments)) {
    Trace("DesktopShell::StartTelnet: x-terminal-emulator failed to start");
  }
}
