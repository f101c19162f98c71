// The scanner's report: the table a technician reads, and the JSON and CSV that scripts parse
// back, for no, one and several devices, with hostile device texts, and the watch lines.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/description_fields.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/row_table.h"
#include "formats/device_report.h"
#include "formats/safe_text.h"
#include "formats/time_text.h"
#include "parse/device_text.h"
#include "parse/text.h"
#include "platform/clock.h"

namespace {

constexpr int32_t kNow = 1'700'000'000;  // 2023-11-14T22:13:20Z
const std::set<QString> kKeys = {"address",     "hostname",   "devtype",      "status",
                                 "valid_until", "model_name", "model_number", "serial_number",
                                 "guid",        "page_url",   "usn",          "fetch"};
constexpr char kCsvHeader[] =
    "address,hostname,devtype,status,valid_until,model_name,model_number,serial_number,guid,"
    "page_url,usn,fetch\r\n";

struct Device {
  std::string address;
  std::string host;
  std::string serial;
  int32_t valid_until = kNow + 1800;
  std::string model_number = "100";
};

std::string DescriptionOf(const Device& d) {
  return std::string("<root>") + kModelNameOpen + "VI-100" + kModelNameClose + kModelNumberOpen +
         d.model_number + kModelNumberClose + kSerialNumberOpen + d.serial + kSerialNumberClose +
         "<UDN>uuid:guid-" + d.serial + "</UDN>" + kPageUrlOpen + "http://" + d.address + "/" +
         kPageUrlClose + "</root>";
}

class DeviceReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    m_old_tz = tz ? tz : "";
    m_had_tz = tz != nullptr;
    UseTimeZone("UTC0");
  }
  void TearDown() override {
    if (m_had_tz) {
      setenv("TZ", m_old_tz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void UseTimeZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

  // Adds a row the way announcement handling does: record first, then UpdateRow.
  void Add(const Device& d) {
    auto* record = new DeviceRecord{};
    in_addr address{};
    inet_pton(AF_INET, d.address.c_str(), &address);
    record->address = address.s_addr;
    CopyText(record->address_text, d.address.c_str());
    CopyText(record->host_name, d.host.c_str());
    CopyText(record->device_type, "VI-100");
    CopyText(record->status, kStatusOnline);
    CopyText(record->usn, ("uuid:guid-" + d.serial + "::" + SEARCH_TARGET).c_str());
    record->description = DescriptionOf(d);
    record->valid_until = d.valid_until;
    ASSERT_TRUE(m_registry.UpdateRow(*record));
  }
  std::string Report(ScanFormat format) const {
    return FormatReport(format, CollectDevices(m_rows));
  }
  void AddThree() {
    Add({"10.0.0.12", "scale-3", "SIM000003"});
    Add({"10.0.0.2", "scale-1", "SIM000001", 0, ""});  // not valid, no model number
    Add({"10.0.0.9", "scale-2", "SIM000002"});
  }

  RowTable m_rows;
  ManualClock m_clock{kNow};
  DeviceRegistry m_registry{m_rows, m_clock};
  std::string m_old_tz;
  bool m_had_tz = false;
};

QJsonArray ParseJson(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << text;
  EXPECT_TRUE(doc.isArray()) << text;
  return doc.array();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::set<QString> Keys(const QJsonObject& object) {
  const QStringList keys = object.keys();
  return {keys.begin(), keys.end()};
}

// --- no devices

TEST_F(DeviceReportTest, NoDevicesGiveHeadersAndAnEmptyArray) {
  EXPECT_EQ(Report(ScanFormat::kTable),
            "IP-Addr  Hostname  DevType  Status  Valid until  Model number  Serial number  GUID  "
            "Page address\n");
  EXPECT_EQ(Report(ScanFormat::kJson), "[]\n");
  EXPECT_EQ(Report(ScanFormat::kCsv), kCsvHeader);
}

TEST_F(DeviceReportTest, RowsWithoutRecordAreLeftOut) {
  m_rows.AppendRow("10.0.0.1");
  EXPECT_EQ(Report(ScanFormat::kJson), "[]\n");
}

// --- one device

TEST_F(DeviceReportTest, OneDeviceInEveryFormat) {
  Add({"10.0.0.2", "scale-1", "SIM000001"});
  EXPECT_EQ(Report(ScanFormat::kTable),
            "IP-Addr   Hostname  DevType  Status  Valid until  Model number  Serial number  "
            "GUID            Page address\n"
            "10.0.0.2  scale-1   VI-100   online  22:43:20     100           SIM000001      "
            "guid-SIM000001  http://10.0.0.2/\n");
  EXPECT_EQ(Report(ScanFormat::kCsv),
            std::string(kCsvHeader) +
                "10.0.0.2,scale-1,VI-100,online,2023-11-14T22:43:20+00:00,VI-100,100,SIM000001,"
                "guid-SIM000001,http://10.0.0.2/,"
                "uuid:guid-SIM000001::urn:schemas-velmorant-com:device:indicator:1,ok\r\n");

  const QJsonArray array = ParseJson(Report(ScanFormat::kJson));
  ASSERT_EQ(array.size(), 1);
  const QJsonObject o = array.at(0).toObject();
  EXPECT_EQ(Keys(o), kKeys);
  EXPECT_EQ(o["address"].toString(), "10.0.0.2");
  EXPECT_EQ(o["hostname"].toString(), "scale-1");
  EXPECT_EQ(o["devtype"].toString(), "VI-100");
  EXPECT_EQ(o["status"].toString(), "online");
  EXPECT_EQ(o["valid_until"].toString(), "2023-11-14T22:43:20+00:00");
  EXPECT_EQ(o["model_name"].toString(), "VI-100");
  EXPECT_EQ(o["model_number"].toString(), "100");
  EXPECT_EQ(o["serial_number"].toString(), "SIM000001");
  EXPECT_EQ(o["guid"].toString(), "guid-SIM000001");
  EXPECT_EQ(o["page_url"].toString(), "http://10.0.0.2/");
  EXPECT_EQ(o["usn"].toString().toStdString(),
            std::string("uuid:guid-SIM000001::") + SEARCH_TARGET);
}

TEST_F(DeviceReportTest, ShowsTheStatusCellNotTheRecordsStatus) {
  Add({"10.0.0.2", "scale-1", "SIM000001"});
  m_registry.ResetForSearch();
  const QJsonObject o = ParseJson(Report(ScanFormat::kJson)).at(0).toObject();
  EXPECT_EQ(o["status"].toString(), "searching");
  EXPECT_TRUE(o["valid_until"].isNull());
}

// --- three devices

TEST_F(DeviceReportTest, ThreeDevicesAreOrderedByAddressInEveryFormat) {
  AddThree();
  const QJsonArray array = ParseJson(Report(ScanFormat::kJson));
  ASSERT_EQ(array.size(), 3);
  const char* expected[] = {"scale-1", "scale-2", "scale-3"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(array.at(i).toObject()["hostname"].toString(), expected[i]);
    EXPECT_EQ(Keys(array.at(i).toObject()), kKeys);
  }
  EXPECT_TRUE(array.at(0).toObject()["valid_until"].isNull()) << "not valid";
  EXPECT_EQ(array.at(0).toObject()["model_number"].toString(), "");

  const std::vector<std::string> csv = Lines(Report(ScanFormat::kCsv));
  ASSERT_EQ(csv.size(), 4u);
  EXPECT_EQ(csv[1].rfind("10.0.0.2,scale-1,VI-100,online,,VI-100,,SIM000001,", 0), 0u) << csv[1];
  EXPECT_EQ(csv[3].rfind("10.0.0.12,scale-3,", 0), 0u) << csv[3];
}

TEST_F(DeviceReportTest, TableColumnsLineUpUnderTheirHeadings) {
  AddThree();
  const std::vector<std::string> lines = Lines(Report(ScanFormat::kTable));
  ASSERT_EQ(lines.size(), 4u);
  const std::string& header = lines[0];
  const auto at = [&](int line, const char* heading, std::size_t length) {
    return lines[static_cast<std::size_t>(line)].substr(header.find(heading), length);
  };
  EXPECT_EQ(at(1, "IP-Addr", 9), "10.0.0.2 ");
  EXPECT_EQ(at(3, "IP-Addr", 9), "10.0.0.12");
  EXPECT_EQ(at(1, "Hostname", 7), "scale-1");
  EXPECT_EQ(at(1, "Valid until", 5), "???? ") << "not valid, as the dialog shows it";
  EXPECT_EQ(at(2, "Valid until", 8), "22:43:20");
  EXPECT_EQ(at(1, "Model number", 2), "- ") << "an empty cell is shown as a dash";
  EXPECT_EQ(at(3, "Serial number", 9), "SIM000003");
  EXPECT_EQ(at(3, "Page address", 18), "http://10.0.0.12/");
  for (const std::string& line : lines) EXPECT_NE(line.back(), ' ') << "no trailing blanks";
}

// --- hostile texts

TEST_F(DeviceReportTest, HostileTextsCannotSteerTheTerminalOrBreakTheFormats) {
  Add({"10.0.0.2", "\x1B]0;pwn\x07\x1B[2J",
       "a,\"b\"\r\n\x9B"
       "c"});
  Add({"10.0.0.3", "W\xC3\xA4ge\xFF",
       "\xC2\x9B"
       "31m"});

  const std::string table = Report(ScanFormat::kTable);
  for (const char c : table) {
    const auto u = static_cast<unsigned char>(c);
    EXPECT_FALSE((u < 0x20 && c != '\n') || u == 0x7F) << static_cast<int>(u);
  }
  EXPECT_EQ(table.find("\xC2\x9B"), std::string::npos);
  EXPECT_EQ(Lines(table).size(), 3u);
  EXPECT_TRUE(IsUtf8(table));

  const QJsonArray array = ParseJson(Report(ScanFormat::kJson));
  ASSERT_EQ(array.size(), 2);
  EXPECT_EQ(array.at(0).toObject()["hostname"].toString().toStdString(), "\x1B]0;pwn\x07\x1B[2J");
  EXPECT_EQ(array.at(0).toObject()["serial_number"].toString().toStdString(),
            "a,\"b\"\r\n\xC2\x9B"
            "c");
  EXPECT_EQ(array.at(1).toObject()["hostname"].toString().toStdString(),
            "W\xC3\x83\xC2\xA4ge\xC3\xBF")
      << "Latin-1, for one byte that is no UTF-8";
  EXPECT_EQ(Report(ScanFormat::kJson).find('\x1B'), std::string::npos);

  const std::string csv = Report(ScanFormat::kCsv);
  EXPECT_NE(csv.find(",\"a,\"\"b\"\"\r\n?c\","), std::string::npos) << csv;
  EXPECT_EQ(csv.find('\x1B'), std::string::npos);
}

// --- times

TEST_F(DeviceReportTest, LocalTimeCarriesTheZonesOffset) {
  EXPECT_EQ(LocalTimeText(kNow), "2023-11-14T22:13:20+00:00");
  UseTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(LocalTimeText(kNow), "2023-11-14T23:13:20+01:00");
  EXPECT_EQ(LocalTimeText(1'690'000'000), "2023-07-22T06:26:40+02:00") << "summer time";
  UseTimeZone("EST5");
  EXPECT_EQ(LocalTimeText(kNow), "2023-11-14T17:13:20-05:00");
  UseTimeZone("IST-5:30");
  EXPECT_EQ(LocalTimeText(kNow), "2023-11-15T03:43:20+05:30");
  UseTimeZone("UTC");
  EXPECT_EQ(LocalTimeText(0), "1970-01-01T00:00:00+00:00");
  EXPECT_EQ(LocalTimeText(253'402'300'799), "9999-12-31T23:59:59+00:00");
  EXPECT_EQ(LocalTimeText(253'402'300'800), "10000-01-01T00:00:00+00:00");
  EXPECT_EQ(LocalTimeText(-62'135'596'800), "0001-01-01T00:00:00+00:00");
}

TEST_F(DeviceReportTest, ValidityBeyond2038ShowsNoTime) {
  Add({"10.0.0.2", "scale-1", "SIM000001", -5});
  EXPECT_TRUE(ParseJson(Report(ScanFormat::kJson)).at(0).toObject()["valid_until"].isNull());
  EXPECT_NE(Report(ScanFormat::kTable).find("????"), std::string::npos);
}

// --- watch lines

TEST_F(DeviceReportTest, WatchEventsAreOneLineInEveryFormat) {
  Add({"10.0.0.2", "scale-1", "SIM000001"});
  const DeviceRecord& record = *m_rows.RecordAt(0);
  const DeviceSnapshot device = DescribeDevice(record, "byebye", kCellNoTime);
  EXPECT_EQ(device.valid_until, 0) << "the row shows no time, whatever the record holds";

  EXPECT_EQ(FormatWatchHeader(ScanFormat::kJson), "");
  EXPECT_EQ(FormatWatchHeader(ScanFormat::kCsv), std::string("time,event,") + kCsvHeader);

  // The table's columns stand still under its header, whatever the event word and however
  // long the host name a record keeps; a lost device shows when its announcement ran out.
  const std::string header = FormatWatchHeader(ScanFormat::kTable);
  DeviceSnapshot longest = device;
  longest.host_name = std::string(31, 'h');
  longest.status = "forgotten";
  const std::string line = FormatWatchEvent(ScanFormat::kTable, kNow, device);
  const std::string other = FormatWatchEvent(ScanFormat::kTable, kNow, longest);
  for (const char* column : {"IP-Addr", "Valid", "Hostname", "DevType"}) {
    const std::size_t at = header.find(column);
    EXPECT_EQ(line[at - 1], ' ');
    EXPECT_NE(line[at], ' ') << column << "\n" << header << line;
    EXPECT_NE(other[at], ' ') << column << "\n" << header << other;
  }
  EXPECT_EQ(line, "2023-11-14T22:13:20+00:00  byebye     10.0.0.2         ????      scale-1" +
                      std::string(24 + 2, ' ') +
                      "VI-100  SIM000001  uuid:guid-SIM000001::urn:schemas-velmorant-com:device:"
                      "indicator:1\n");
  longest.status = "lost";
  EXPECT_NE(FormatWatchEvent(ScanFormat::kTable, kNow, longest, kNow - 60).find(" 22:12:20 "),
            std::string::npos);

  const std::string json = FormatWatchEvent(ScanFormat::kJson, kNow, device);
  ASSERT_EQ(Lines(json).size(), 1u);
  ASSERT_EQ(json.rfind(R"({"time": "2023-11-14T22:13:20+00:00", "event": "byebye", )", 0), 0u)
      << json;
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
  EXPECT_EQ(o["serial_number"].toString(), "SIM000001");
  EXPECT_TRUE(o["valid_until"].isNull());

  EXPECT_EQ(
      FormatWatchEvent(ScanFormat::kCsv, kNow, device)
          .rfind("2023-11-14T22:13:20+00:00,byebye,10.0.0.2,scale-1,VI-100,byebye,,VI-100,", 0),
      0u);
}

}  // namespace
