// The scales page: a local HTML page that embeds the display applet of every valid device,
// written to the user's temporary directory and opened in the browser.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class DeviceRows;
class Shell;

// File name of the page inside the temporary directory.
inline constexpr const char kScalesPageName[] = "Indicators.html";

// One device on the page.
struct ScaleEntry {
  std::string host_name;     // heading of the device's table row
  std::string address_text;  // dotted address the applet is loaded from
};

// The devices to show, in row order: rows whose record is valid (valid_until not 0) and has
// a host name. Rows without a record are skipped.
std::vector<ScaleEntry> ScaleEntries(const DeviceRows& rows);

// The page's full text, without any line break. Host names and addresses are HTML-escaped.
std::string ScalesPageText(const std::vector<ScaleEntry>& entries);

// `text` with &, <, >, " and ' replaced by character references.
std::string EscapeHtml(std::string_view text);

// Writes `text` as "<directory>/Indicators.html", replacing an older file. The text goes to a
// new file that is then renamed over the name, so a symbolic link at that name is replaced,
// never followed. On success sets `*path` and returns true; on failure traces why, leaves no
// new file behind, clears `*path` and returns false.
bool WriteScalesPage(const std::string& directory, const std::string& text, std::string* path);

// Writes the page for `rows` into the user's temporary directory and asks `shell` to open it.
// Returns whether the open request was issued; failures are traced only.
bool ShowScales(const DeviceRows& rows, Shell& shell);
