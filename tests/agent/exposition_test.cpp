// What the fleet agent serves, without sockets: hostile device texts come out escaped and
// still make an exposition that promtool accepts, devices whose texts escape alike stay one
// series, and /targets lists only pages on the address their device announced from.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "agent/exposition.h"
#include "formats/time_text.h"

namespace {

using namespace std::string_literals;

DeviceSnapshot Device(const std::string& usn, const std::string& status,
                      const std::string& page_url = "http://10.0.0.5/") {
  DeviceSnapshot d;
  d.usn = usn;
  d.status = status;
  d.address_text = "10.0.0.5";
  d.host_name = "scale-1";
  d.serial_number = "SN1";
  d.page_url = page_url;
  d.location = "http://10.0.0.5:8080/description.xml";
  d.valid_until = status == "lost" ? 0 : 1900000000;
  d.last_seen = 1800000000;
  return d;
}

bool HavePromtool() {
  return std::system("command -v promtool >/dev/null 2>&1") == 0;
}

// promtool's verdict on `text`: "" when it has nothing to say. Call only with promtool there.
std::string PromtoolComplaints(const std::string& text) {
  char path[] = "/tmp/tarovue-exposition-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "cannot write a scratch file";
  close(fd);
  std::ofstream(path, std::ios::binary) << text;
  const std::string command = "promtool check metrics < "s + path + " 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pclose(pipe);
    if (status != 0 && out.empty()) out = "promtool failed";
  }
  std::remove(path);
  return out;
}

TEST(LabelValue, EscapesWhatTheFormatNeedsAndReplacesOtherControls) {
  EXPECT_EQ(LabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  const std::string replaced = "\xEF\xBF\xBD";
  EXPECT_EQ(LabelValue("x\0y"s), "x" + replaced + "y") << "NUL";
  EXPECT_EQ(LabelValue("x\ry\tz\x7F"), "x" + replaced + "y" + replaced + "z" + replaced);
  EXPECT_EQ(LabelValue("x\xC2\x85y"), "x" + replaced + "y") << "C1 next line";
  EXPECT_EQ(LabelValue("\xC3(\xFF"), "\xC3\x83(\xC3\xBF") << "not UTF-8: read as Latin-1";
  EXPECT_EQ(LabelValue("Wägezelle µ"), "Wägezelle µ") << "valid UTF-8 stays";
}

TEST(RenderMetrics, HostileDeviceTextsMakeAValidExposition) {
  DeviceSnapshot hostile = Device("uuid:evil\"}\n injected 1", "online");
  hostile.host_name = "a\"b\\c\nd\0e"s;
  hostile.model_name = "\x1B[2J\xC0\xAF";
  hostile.guid = "} 1\n# TYPE x counter";
  const std::vector<DeviceSnapshot> devices = {hostile, Device("uuid:ok", "lost")};
  DiscoveryCounters counters;
  counters.CountFetch(FetchOutcome::kOk, 0.003);
  counters.CountFetch(FetchOutcome::kTimeout, 7.0);
  const std::string text = RenderMetrics(devices, counters, "1.0.0");

  EXPECT_NE(text.find("hostname=\"a\\\"b\\\\c\\nd\xEF\xBF\xBD"
                      "e\""),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\0'), std::string::npos);
  EXPECT_EQ(text.find('\x1B'), std::string::npos);
  EXPECT_NE(text.find("tarovue_device_up{usn=\"uuid:evil\\\"}\\n injected 1\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("tarovue_device_up{usn=\"uuid:ok\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("tarovue_description_fetch_duration_seconds_bucket{le=\"0.005\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("tarovue_description_fetch_duration_seconds_bucket{le=\"5\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("tarovue_description_fetch_duration_seconds_bucket{le=\"+Inf\"} 2\n"),
            std::string::npos);
  EXPECT_NE(text.find("tarovue_devices{status=\"lost\"} 1\n"), std::string::npos);
  if (!HavePromtool()) GTEST_SKIP() << "promtool is not installed (install-deps)";
  EXPECT_EQ(PromtoolComplaints(text), "");
}

TEST(RenderMetrics, UsnsThatEscapeAlikeGiveOneSeries) {
  // Two control bytes both become U+FFFD: a second series with the same labels would make
  // Prometheus refuse the whole scrape.
  const std::vector<DeviceSnapshot> devices = {Device("uuid:\x01", "online"),
                                               Device("uuid:\x02", "online")};
  const std::string text = RenderMetrics(devices, DiscoveryCounters{}, "1.0.0");
  std::size_t count = 0;
  for (std::size_t at = text.find("tarovue_device_up{"); at != std::string::npos;
       at = text.find("tarovue_device_up{", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u);
  if (!HavePromtool()) GTEST_SKIP() << "promtool is not installed (install-deps)";
  EXPECT_EQ(PromtoolComplaints(text), "");
}

TEST(RenderTargets, ListsReachablePagesWithTheirLabels) {
  DeviceSnapshot odd = Device("uuid:b", "online", "http://10.0.0.5:8080/index.html");
  odd.host_name = "q\"uote\n";
  const std::vector<DeviceSnapshot> devices = {Device("uuid:a", "online"), odd,
                                               Device("uuid:c", "online", "telnet://10.0.0.5")};
  std::uint64_t foreign = 0;
  const QJsonDocument doc =
      QJsonDocument::fromJson(QByteArray::fromStdString(RenderTargets(devices, &foreign)));
  ASSERT_TRUE(doc.isArray());
  const QJsonArray groups = doc.array();
  ASSERT_EQ(groups.size(), 2);
  EXPECT_EQ(foreign, 0u) << "a page that is not http is no target, and no foreign host either";
  const QJsonObject second = groups[1].toObject();
  EXPECT_EQ(second["targets"].toArray()[0].toString(), "10.0.0.5:8080");
  const QJsonObject labels = second["labels"].toObject();
  EXPECT_EQ(labels["__meta_tarovue_usn"].toString(), "uuid:b");
  EXPECT_EQ(labels["__meta_tarovue_hostname"].toString(), "q\"uote\n");
  EXPECT_EQ(labels["__meta_tarovue_page_url"].toString(), "http://10.0.0.5:8080/index.html");
  EXPECT_TRUE(labels.contains("__meta_tarovue_serial_number"));
  EXPECT_TRUE(labels.contains("__meta_tarovue_model_name"));
  EXPECT_EQ(RenderTargets({}), "[]\n");
}

TEST(RenderTargets, PagesOnAnotherHostThanTheSenderAreLeftOutAndCounted) {
  // Each would send the prober somewhere the device does not live: a cloud metadata address,
  // an internal name, a neighbour, the sender's address spelt otherwise.
  std::vector<DeviceSnapshot> devices = {
      Device("uuid:metadata", "online", "http://169.254.169.254/latest/meta-data/"),
      Device("uuid:name", "online", "http://scale-2:8080/"),
      Device("uuid:neighbour", "online", "https://10.0.0.6/"),
      Device("uuid:octal", "online", "http://010.0.0.5/"),
      Device("uuid:v6", "online", "http://[::ffff:10.0.0.5]/"),
      Device("uuid:own", "online", "https://10.0.0.5:8443/status"),
      Device("uuid:vouched-elsewhere", "online", "http://10.0.0.5:8080/admin/"),
      Device("uuid:restored", "lost", "http://10.0.0.5/")};
  // The sender's own address, named by a description that another host served (an
  // announcement can be sent from any address), or by one whose origin is not known.
  devices[devices.size() - 2].location = "http://10.0.0.77/description.xml";
  devices.back().location.clear();
  std::uint64_t foreign = 7, elsewhere = 0;
  const QJsonArray groups = QJsonDocument::fromJson(QByteArray::fromStdString(RenderTargets(
                                                        devices, &foreign, &elsewhere)))
                                .array();
  ASSERT_EQ(groups.size(), 1);
  EXPECT_EQ(groups[0].toObject()["targets"].toArray()[0].toString(), "10.0.0.5:8443");
  EXPECT_EQ(foreign, 7u + 5u) << "added to what was counted before";
  EXPECT_EQ(elsewhere, 2u);
  // The device itself stays in the exposition, page and all.
  const std::string metrics = RenderMetrics(devices, DiscoveryCounters{}, "1.0.0");
  EXPECT_NE(metrics.find("page_url=\"http://169.254.169.254/latest/meta-data/\""),
            std::string::npos);
  HttpCounters http;
  http.targets_foreign_host = foreign;
  const std::string own = RenderHttpMetrics(http);
  EXPECT_NE(own.find("tarovue_targets_skipped_total{reason=\"foreign_host\"} 12\n"),
            std::string::npos)
      << own;
  EXPECT_EQ(own.find("tarovue_web_config"), std::string::npos) << "no web configuration in use";
  EXPECT_EQ(PromtoolComplaints(metrics + own), "");
}

TEST(RenderDevicesJson, IsTheReportsObjectsWithLastSeenRebootsAndOwnPage) {
  DeviceSnapshot never = Device("uuid:b", "searching", "http://10.0.0.6/");
  never.last_seen = 0;
  never.reboots = 3;
  const QJsonDocument doc = QJsonDocument::fromJson(
      QByteArray::fromStdString(RenderDevicesJson({Device("uuid:a", "online"), never})));
  ASSERT_TRUE(doc.isArray());
  const QJsonObject first = doc.array()[0].toObject();
  EXPECT_EQ(first["usn"].toString(), "uuid:a");
  EXPECT_EQ(first["status"].toString(), "online");
  EXPECT_EQ(first["last_seen"].toString(), QString::fromStdString(LocalTimeText(1800000000)));
  EXPECT_EQ(first["page_link"].toString(), "http://10.0.0.5/");
  const QJsonObject second = doc.array()[1].toObject();
  EXPECT_TRUE(second["last_seen"].isNull());
  EXPECT_EQ(second["reboots"].toInt(), 3);
  EXPECT_TRUE(second["page_link"].isNull());  // another host's page
}

}  // namespace
