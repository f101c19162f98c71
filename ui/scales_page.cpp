#include "ui/scales_page.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "devices/device_record.h"
#include "devices/device_rows.h"
#include "platform/error_text.h"
#include "platform/temp_dir.h"
#include "platform/trace.h"
#include "ui/shell.h"

namespace {

constexpr std::string_view kPageHead =
    "<HTML><HEAD><TITLE>Indicators</TITLE></HEAD><BODY MARGINWIDTH=\"0\" MARGINHEIGHT=\"0\" "
    "TOPMARGIN=\"0\" LEFTMARGIN=\"0\" BGCOLOR=\"#FFFFFF\"><table cellpadding=2 cellspacing=2 "
    "border=0 bgcolor=\"#DDDDDD\">";
constexpr std::string_view kHeadingOpen = "<tr><th>";
constexpr std::string_view kHeadingClose = "</th></tr>";
constexpr std::string_view kAppletOpen = "<tr><td><APPLET CODEBASE=\"http://";
constexpr std::string_view kAppletClose =
    "/\" ARCHIVE=\"Indicator.jar\" CODE=\"Indicator.class\" WIDTH=300 "
    "HEIGHT=64></APPLET></td></tr>";
constexpr std::string_view kPageTail = "</table></BODY></HTML>";

void TraceErrno(const char* what) {
  int error = errno;
  Trace("WriteScalesPage: %s failed(%d:%s)", what, error, ErrorText(error));
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::vector<ScaleEntry> ScaleEntries(const DeviceRows& rows) {
  std::vector<ScaleEntry> entries;
  for (int row = 0; row < rows.RowCount(); ++row) {
    const DeviceRecord* record = rows.RecordAt(row);
    if (!record || record->valid_until == 0 || record->host_name[0] == '\0') continue;
    entries.push_back({record->host_name, record->address_text});
  }
  return entries;
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

std::string ScalesPageText(const std::vector<ScaleEntry>& entries) {
  std::string page(kPageHead);
  // Host names and addresses come from the network: unescaped, they would be markup or
  // script in a page the browser opens from a local file.
  for (const ScaleEntry& entry : entries) {
    page += kHeadingOpen;
    page += EscapeHtml(entry.host_name);
    page += kHeadingClose;
    page += kAppletOpen;
    page += EscapeHtml(entry.address_text);
    page += kAppletClose;
  }
  page += kPageTail;
  return page;
}

bool WriteScalesPage(const std::string& directory, const std::string& text, std::string* path) {
  path->clear();
  // An empty directory would put the page at the root of the file system.
  if (directory.empty()) {
    Trace("WriteScalesPage: no directory");
    return false;
  }
  std::string target = directory + "/" + kScalesPageName;
  std::string scratch = target + ".XXXXXX";
  // mkstemp creates the file new with mode 0600; whatever sits at the final name is not opened.
  int fd = mkostemp(scratch.data(), O_CLOEXEC);
  if (fd < 0) {
    TraceErrno("mkstemp");
    return false;
  }
  bool written = WriteAll(fd, text);
  if (!written) TraceErrno("write");
  if (close(fd) != 0 && written) {
    TraceErrno("close");
    written = false;
  }
  if (!written) {
    unlink(scratch.c_str());
    return false;
  }
  if (rename(scratch.c_str(), target.c_str()) != 0) {
    TraceErrno("rename");
    unlink(scratch.c_str());
    return false;
  }
  *path = target;
  return true;
}

bool ShowScales(const DeviceRows& rows, Shell& shell) {
  std::string directory;
  if (!UserTempDirectory(&directory)) return false;
  std::string path;
  if (!WriteScalesPage(directory, ScalesPageText(ScaleEntries(rows)), &path)) return false;
  shell.OpenFile(path);
  return true;
}
