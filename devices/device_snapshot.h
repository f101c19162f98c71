// A device as the headless front ends know it: a copy of its row's texts, the texts of its
// description and when it was last heard, taken from a device event or a row. Plain values
// that outlive the record they came from; the scanner's reports and the agent's documents
// are made of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DeviceView;
class RowTable;
struct DeviceRecord;

struct DeviceSnapshot {
  uint32_t address = 0;  // network byte order; orders the report
  std::string address_text;
  std::string host_name;
  std::string device_type;
  std::string status;       // the status cell: also "searching" or "lost"
  int32_t valid_until = 0;  // 0 when the device's announcement holds no more
  std::string model_name;
  std::string model_number;
  std::string serial_number;
  std::string guid;
  std::string page_url;
  std::string usn;
  std::string fetch = "ok";  // how its description was settled: ok, cached, failed, pending
  int64_t first_seen = 0;    // first announcement or answer, seconds since 1970 UTC; 0: never
  int64_t last_seen = 0;     // last announcement or answer, likewise
  std::string boot_id;       // BOOTID.UPNP.ORG and CONFIGID.UPNP.ORG last announced, or ""
  std::string config_id;
  uint32_t reboots = 0;  // boot ids announced without notice while it was watched
  std::string location;  // the LOCATION its description was asked for; "" when not known
};

// The snapshot of `device` with `status` and `valid_until` (0: no time).
DeviceSnapshot DescribeDevice(const DeviceView& device, const char* status, int32_t valid_until);
// The snapshot of `record` under the row cells `status` and `validity` ("????" when the row
// shows no time: its valid until then counts as 0, whatever the record still holds).
DeviceSnapshot DescribeDevice(const DeviceRecord& record, const char* status, const char* validity);

// Fills a new `record` (all zero) from `device`, the way announcement handling would have
// left it: its texts, and a description that gives back the same model name, model number,
// serial number, GUID and page address. Not valid (valid until 0), status as `device` says
// unless that is no record status ("lost", "searching"): then "online".
void RestoreRecord(const DeviceSnapshot& device, DeviceRecord& record);

// Whether the device is there: its last announcement still holds and it has not said
// byebye. A device that has not yet answered a search in flight is still up.
bool IsUp(const DeviceSnapshot& device);

// The report's order: by address, then USN.
bool ReportOrder(const DeviceSnapshot& a, const DeviceSnapshot& b);

// Every row of `rows` that carries a record, in the report's order.
std::vector<DeviceSnapshot> CollectDevices(const RowTable& rows);
