// Protects the scales page: its exact text, which rows it shows, that network text cannot
// become markup, and that writing it never follows a link planted at its name.
#include "ui/scales_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "devices/device_record.h"
#include "devices/row_table.h"
#include "parse/text.h"
#include "tests/support/recording_shell.h"

namespace {

namespace fs = std::filesystem;

const std::string kHead =
    "<HTML><HEAD><TITLE>Indicators</TITLE></HEAD><BODY MARGINWIDTH=\"0\" MARGINHEIGHT=\"0\" "
    "TOPMARGIN=\"0\" LEFTMARGIN=\"0\" BGCOLOR=\"#FFFFFF\"><table cellpadding=2 cellspacing=2 "
    "border=0 bgcolor=\"#DDDDDD\">";
const std::string kTail = "</table></BODY></HTML>";

std::string Device(const std::string& heading, const std::string& codebase) {
  return "<tr><th>" + heading + "</th></tr><tr><td><APPLET CODEBASE=\"http://" + codebase +
         "/\" ARCHIVE=\"Indicator.jar\" CODE=\"Indicator.class\" WIDTH=300 HEIGHT=64></APPLET>"
         "</td></tr>";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh private directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/tarovue-test-XXXXXX";
    m_path = mkdtemp(name);
  }
  ~ScratchDir() { fs::remove_all(m_path); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  [[nodiscard]] const fs::path& Path() const { return m_path; }

 private:
  fs::path m_path;
};

TEST(ScalesPageText, WithoutDevicesHoldsOnlyTheTableFrame) {
  EXPECT_EQ(ScalesPageText({}), kHead + kTail);
}

TEST(ScalesPageText, OneAndTwoDevicesInTheOrderGiven) {
  EXPECT_EQ(ScalesPageText({{"scale-1", "10.0.0.7"}}),
            kHead + Device("scale-1", "10.0.0.7") + kTail);
  std::string two = ScalesPageText({{"B", "192.168.1.20"}, {"A", "192.168.1.3"}});
  EXPECT_EQ(two, kHead + Device("B", "192.168.1.20") + Device("A", "192.168.1.3") + kTail);
  EXPECT_EQ(two.find_first_of("\r\n"), std::string::npos);
}

TEST(ScalesPageText, NetworkTextCannotBecomeMarkup) {
  std::string page = ScalesPageText({{"<script>alert('x')</script> & \"q\"", "1.2.3.4\" onx=\"y"}});
  EXPECT_EQ(page, kHead +
                      Device("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;",
                             "1.2.3.4&quot; onx=&quot;y") +
                      kTail);
  // Already escaped text is escaped again rather than trusted.
  EXPECT_EQ(EscapeHtml("&amp;"), "&amp;amp;");
  EXPECT_EQ(EscapeHtml("plain-name_01"), "plain-name_01");
}

TEST(ScaleEntries, OnlyValidRecordsWithAHostNameInRowOrder) {
  RowTable rows;
  auto add = [&rows](const char* host, const char* address, int32_t valid_until) {
    int row = rows.AppendRow(address);
    auto* record = new DeviceRecord{};
    CopyText(record->host_name, host);
    CopyText(record->address_text, address);
    record->valid_until = valid_until;
    rows.SetRecord(row, record);
  };
  add("second", "10.0.0.2", 100);
  add("expired", "10.0.0.3", 0);
  add("", "10.0.0.4", 100);
  rows.AppendRow("no record");
  add("first", "10.0.0.1", -5);  // any time but 0 counts as valid

  std::vector<ScaleEntry> entries = ScaleEntries(rows);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].host_name, "second");
  EXPECT_EQ(entries[0].address_text, "10.0.0.2");
  EXPECT_EQ(entries[1].host_name, "first");
  EXPECT_EQ(entries[1].address_text, "10.0.0.1");
  EXPECT_TRUE(ScaleEntries(RowTable{}).empty());
}

TEST(WriteScalesPage, WritesAPrivateFileAndReplacesAnOlderOne) {
  ScratchDir dir;
  std::string path;
  ASSERT_TRUE(WriteScalesPage(dir.Path(), "a much longer old page", &path));
  ASSERT_TRUE(WriteScalesPage(dir.Path(), "new", &path));
  EXPECT_EQ(path, (dir.Path() / "Indicators.html").string());
  EXPECT_EQ(ReadFile(path), "new");
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  // No scratch file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(WriteScalesPage, ReplacesALinkAtItsNameWithoutTouchingTheTarget) {
  ScratchDir dir;
  fs::path target = dir.Path() / "victim";
  std::ofstream(target) << "keep me";
  fs::create_symlink(target, dir.Path() / "Indicators.html");

  std::string path;
  ASSERT_TRUE(WriteScalesPage(dir.Path(), "page", &path));
  EXPECT_EQ(ReadFile(target), "keep me");
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(ReadFile(path), "page");
}

TEST(WriteScalesPage, FailuresLeaveNoPath) {
  ScratchDir dir;
  std::string path = "stale";
  EXPECT_FALSE(WriteScalesPage((dir.Path() / "missing").string(), "page", &path));
  EXPECT_TRUE(path.empty());
  path = "stale";
  EXPECT_FALSE(WriteScalesPage("", "page", &path));
  EXPECT_TRUE(path.empty());
  // A directory at the page's name cannot be replaced; the scratch file goes again.
  fs::create_directory(dir.Path() / "Indicators.html");
  EXPECT_FALSE(WriteScalesPage(dir.Path(), "page", &path));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(ShowScales, WritesThePageIntoTheUserTempDirectoryAndOpensIt) {
  ScratchDir dir;
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string saved_value = saved ? saved : "";
  setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);

  RowTable rows;
  auto* record = new DeviceRecord{};
  CopyText(record->host_name, "scale-1");
  CopyText(record->address_text, "10.0.0.7");
  record->valid_until = 1;
  rows.SetRecord(rows.AppendRow("10.0.0.7"), record);

  RecordingShell shell;
  EXPECT_TRUE(ShowScales(rows, shell));
  if (saved) {
    setenv("XDG_RUNTIME_DIR", saved_value.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
  ASSERT_EQ(shell.files.size(), 1u);
  EXPECT_EQ(shell.files[0], (dir.Path() / "Indicators.html").string());
  EXPECT_EQ(ReadFile(shell.files[0]), kHead + Device("scale-1", "10.0.0.7") + kTail);
  EXPECT_TRUE(shell.urls.empty());
}

}  // namespace
