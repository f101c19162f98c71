#include "devices/device_snapshot.h"

#include <arpa/inet.h>

#include <algorithm>

#include "devices/announcement_protocol.h"
#include "devices/description_fields.h"
#include "devices/device_events.h"
#include "devices/device_record.h"
#include "devices/row_table.h"
#include "parse/text.h"

DeviceSnapshot DescribeDevice(const DeviceView& device, const char* status, int32_t valid_until) {
  DeviceSnapshot d;
  d.address = device.Address();
  d.address_text = device.AddressText();
  d.host_name = device.HostName();
  d.device_type = device.DeviceType();
  d.status = status;
  d.valid_until = valid_until;
  d.usn = device.Usn();
  d.model_name = device.Field(DescriptionField::kModelName);
  d.model_number = device.Field(DescriptionField::kModelNumber);
  d.serial_number = device.Field(DescriptionField::kSerialNumber);
  d.guid = device.Field(DescriptionField::kGuid);
  d.page_url = device.Field(DescriptionField::kPageUrl);
  return d;
}

DeviceSnapshot DescribeDevice(const DeviceRecord& record, const char* status,
                              const char* validity) {
  return DescribeDevice(DeviceView(record), status,
                        TextEquals(validity, kCellNoTime) ? 0 : record.valid_until);
}

void RestoreRecord(const DeviceSnapshot& device, DeviceRecord& record) {
  record.address = device.address;
  CopyText(record.address_text, device.address_text.c_str());
  CopyText(record.usn, device.usn.c_str());
  CopyText(record.host_name, device.host_name.c_str());
  CopyText(record.device_type, device.device_type.c_str());
  const std::string quoted = "\"" + device.host_name + "\"";
  record.model_description = quoted.substr(0, kDescriptionFieldSize - 1);
  const bool byebye = device.status == kStatusByebye;
  const bool changed = device.status == kStatusChanged || device.status == kStatusNew;
  CopyText(record.status, byebye ? kStatusByebye : changed ? device.status.c_str() : kStatusOnline);
  record.valid_until = 0;
  // The texts read back through the same markers they were read with.
  const std::string description = std::string(kModelNameOpen) + device.model_name +
                                  kModelNameClose + kModelNumberOpen + device.model_number +
                                  kModelNumberClose + kSerialNumberOpen + device.serial_number +
                                  kSerialNumberClose + kGuidOpen + device.guid + kGuidClose +
                                  kPageUrlOpen + device.page_url + kPageUrlClose;
  record.description = description.substr(0, kDescriptionFetchSize);
}

bool IsUp(const DeviceSnapshot& device) {
  // Byebye and lost clear the validity; only a search leaves it standing.
  return device.valid_until != 0 && device.status != kStatusByebye && device.status != kCellLost;
}

bool ReportOrder(const DeviceSnapshot& a, const DeviceSnapshot& b) {
  const uint32_t left = ntohl(a.address), right = ntohl(b.address);
  return left != right ? left < right : a.usn < b.usn;
}

std::vector<DeviceSnapshot> CollectDevices(const RowTable& rows) {
  std::vector<DeviceSnapshot> devices;
  for (int row = 0; row < rows.RowCount(); ++row) {
    const DeviceRecord* record = rows.RecordAt(row);
    if (record == nullptr) continue;
    devices.push_back(DescribeDevice(*record, rows.CellText(row, kColumnStatus),
                                     rows.CellText(row, kColumnValidUntil)));
  }
  std::sort(devices.begin(), devices.end(), ReportOrder);
  return devices;
}
