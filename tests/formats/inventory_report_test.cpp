// The text report of a timed scan against a baseline: each difference names the device's
// address, host name and USN, and a changed one every text with its old and new value.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/inventory_file.h"
#include "formats/inventory_report.h"

namespace {

DeviceSnapshot Seen(const std::string& usn, const std::string& address, const std::string& host,
                    const std::string& model, const std::string& serial) {
  DeviceSnapshot device;
  device.usn = usn;
  device.address_text = address;
  device.host_name = host;
  device.device_type = "T100";
  device.model_name = model;
  device.serial_number = serial;
  device.status = "online";
  return device;
}

TEST(InventoryReport, DifferencesNameTheHostAndChangedTextsFromOldToNew) {
  const std::vector<InventoryDevice> baseline = {
      ToInventoryDevice(Seen("uuid:a", "10.0.0.1", "scale-1", "T100", "SN1")),
      ToInventoryDevice(Seen("uuid:b", "10.0.0.2", "scale-2", "T100", "SN2")),
      ToInventoryDevice(Seen("uuid:c", "10.0.0.3", "scale-3", "T100", "SN3"))};
  // a renamed (to a name that would clear the terminal) and without model name; b moved.
  const std::vector<DeviceSnapshot> seen = {Seen("uuid:a", "10.0.0.1", "hall-1\x1B[2J", "", "SN1"),
                                            Seen("uuid:b", "10.0.0.9", "scale-2", "T100", "SN2")};

  const InventoryReport report = FormatInventoryReport(ScanFormat::kTable, seen, &baseline, {});
  EXPECT_EQ(report.status, 3);
  const std::string differences = report.out.substr(0, report.out.find("\n\n") + 1);
  EXPECT_EQ(differences,
            "Differences from the baseline:\n"
            "  changed   10.0.0.1         hall-1?[2J  uuid:a  "
            "hostname scale-1 -> hall-1?[2J, model_name T100 -> \"\"\n"
            "  missing   10.0.0.3         scale-3     uuid:c  serial SN3\n"
            "  moved     10.0.0.9         scale-2     uuid:b  was at 10.0.0.2\n");
}

}  // namespace
