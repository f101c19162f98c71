// Protects the binding of records to rows and the bulk operations on all rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/row_table.h"
#include "parse/text.h"
#include "platform/clock.h"

namespace {

constexpr int32_t kNow = 1'700'000'000;

class DeviceRegistryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", "UTC", 1);
    tzset();
  }

  DeviceRecord& Add(const char* usn, const char* address, int32_t valid_until) {
    auto* record = new DeviceRecord{};
    CopyText(record->usn, usn);
    CopyText(record->address_text, address);
    CopyText(record->status, "online");
    record->valid_until = valid_until;
    EXPECT_TRUE(registry.UpdateRow(*record));
    return *record;
  }
  std::string Cell(int row, int column) { return rows.CellText(row, column); }

  RowTable rows;
  ManualClock clock{kNow};
  DeviceRegistry registry{rows, clock};
};

TEST_F(DeviceRegistryTest, UpdateRowBindsOnceAndWritesAllCells) {
  DeviceRecord& a = Add("uuid:a", "10.0.0.1", 3661);
  DeviceRecord& b = Add("uuid:b", "10.0.0.2", 0);
  EXPECT_EQ(a.row_index, 0);
  EXPECT_EQ(b.row_index, 1);
  CopyText(a.host_name, "ind-7");
  CopyText(a.device_type, "X900");
  CopyText(a.status, "changed");
  ASSERT_TRUE(registry.UpdateRow(a));
  EXPECT_EQ(rows.RowCount(), 2);
  EXPECT_EQ(rows.RecordAt(0), &a);
  EXPECT_EQ(Cell(0, kColumnAddress), "10.0.0.1");
  EXPECT_EQ(Cell(0, kColumnHostName), "ind-7");
  EXPECT_EQ(Cell(0, kColumnDeviceType), "X900");
  EXPECT_EQ(Cell(0, kColumnStatus), "changed");
  EXPECT_EQ(Cell(0, kColumnValidUntil), "01:01:01");
  EXPECT_EQ(Cell(1, kColumnValidUntil), "????");
}

TEST_F(DeviceRegistryTest, FindByUsn) {
  DeviceRecord& a = Add("uuid:a", "10.0.0.1", kNow);
  DeviceRecord& b = Add("uuid:b", "10.0.0.2", kNow);
  b.row_index = 7;
  EXPECT_EQ(registry.FindByUsn("uuid:b"), &b);
  EXPECT_EQ(b.row_index, 1) << "row index refreshed from the row's position";
  EXPECT_EQ(registry.FindByUsn("uuid:a"), &a);
  EXPECT_EQ(registry.FindByUsn("UUID:A"), nullptr) << "case-sensitive";
  EXPECT_EQ(registry.FindByUsn("uuid:"), nullptr) << "prefix is not a match";
  EXPECT_EQ(registry.FindByUsn(nullptr), nullptr) << "absent USN";

  const int empty_row = rows.AppendRow("x");
  DeviceRecord& after = Add("uuid:c", "10.0.0.3", kNow);
  EXPECT_EQ(after.row_index, empty_row + 1);
  EXPECT_EQ(registry.FindByUsn("uuid:c"), nullptr) << "the walk stops at a row without record";
}

TEST_F(DeviceRegistryTest, ManyDevicesAreFoundByUsnAndNoneAfterFreeAll) {
  std::vector<DeviceRecord*> records;
  for (int i = 0; i < 500; ++i) {
    records.push_back(&Add(("uuid:" + std::to_string(i)).c_str(), "10.0.0.1", kNow));
  }
  for (int i = 499; i >= 0; i -= 7) {
    EXPECT_EQ(registry.FindByUsn(("uuid:" + std::to_string(i)).c_str()), records[i]) << i;
    EXPECT_EQ(records[i]->row_index, i);
  }
  EXPECT_EQ(registry.FindByUsn("uuid:500"), nullptr);
  registry.FreeAll();
  EXPECT_EQ(registry.FindByUsn("uuid:3"), nullptr) << "rows carry nothing after FreeAll";
}

TEST_F(DeviceRegistryTest, UsnLongerThanFieldStillFindsItsRecord) {
  const std::string usn = "uuid:" + std::string(300, 'u');
  DeviceRecord& record = Add(usn.c_str(), "10.0.0.1", kNow);
  EXPECT_EQ(registry.FindByUsn(usn.c_str()), &record);
  EXPECT_EQ(registry.FindByUsn(usn.substr(0, 254).c_str()), nullptr);
}

TEST_F(DeviceRegistryTest, ResetForSearchShowsSearchingAndKeepsStatus) {
  DeviceRecord& a = Add("uuid:a", "10.0.0.1", kNow + 100);
  const int empty_row = rows.AppendRow("bare");
  registry.ResetForSearch();
  EXPECT_EQ(a.valid_until, 0);
  EXPECT_STREQ(a.status, "online");
  EXPECT_EQ(Cell(0, kColumnStatus), "searching");
  EXPECT_EQ(Cell(0, kColumnValidUntil), "????");
  EXPECT_EQ(Cell(empty_row, kColumnStatus), "") << "rows without record are skipped";

  clock.Advance(1000);
  registry.ExpirySweep();
  EXPECT_EQ(Cell(0, kColumnStatus), "searching") << "a reset record is never swept";
}

TEST_F(DeviceRegistryTest, ExpirySweepMarksRunOutRecordsLost) {
  DeviceRecord& due = Add("uuid:due", "10.0.0.1", kNow);
  DeviceRecord& later = Add("uuid:later", "10.0.0.2", kNow + 1);
  DeviceRecord& negative = Add("uuid:neg", "10.0.0.3", -5);
  registry.ExpirySweep();
  EXPECT_EQ(Cell(due.row_index, kColumnStatus), "lost") << "valid until equal to now";
  EXPECT_EQ(Cell(due.row_index, kColumnValidUntil), "????");
  EXPECT_EQ(due.valid_until, 0);
  EXPECT_STREQ(due.status, "online") << "the record keeps its status text";
  EXPECT_EQ(Cell(negative.row_index, kColumnStatus), "lost") << "below 0 counts as past";
  EXPECT_EQ(Cell(later.row_index, kColumnStatus), "online") << "not yet run out";
  EXPECT_EQ(later.valid_until, kNow + 1);
}

TEST_F(DeviceRegistryTest, ValidityTextIsLocalTimeOfDay) {
  char text[kValidityTextSize];
  struct Case {
    const char* label;
    int32_t valid_until;
    const char* expected;
  } cases[] = {
      {"not valid", 0, "????"},
      {"below 0 has no time of day", -1800, "????"},
      {"most negative", INT32_MIN, "????"},
      {"one hour, one minute, one second", 3661, "01:01:01"},
      {"last second of a day", 86399, "23:59:59"},
      {"largest time", INT32_MAX, "03:14:07"},
  };
  for (const Case& c : cases) {
    DeviceRegistry::FormatValidity(c.valid_until, text);
    EXPECT_STREQ(text, c.expected) << c.label;
  }
}

TEST_F(DeviceRegistryTest, FreeAllDetachesAndKeepsRows) {
  Add("uuid:a", "10.0.0.1", kNow);
  Add("uuid:b", "10.0.0.2", kNow);
  registry.FreeAll();
  EXPECT_EQ(rows.RowCount(), 2);
  EXPECT_EQ(rows.RecordAt(0), nullptr);
  EXPECT_EQ(rows.RecordAt(1), nullptr);
  EXPECT_EQ(registry.FindByUsn("uuid:a"), nullptr);
  registry.FreeAll();  // a second release finds nothing to free
}

}  // namespace
