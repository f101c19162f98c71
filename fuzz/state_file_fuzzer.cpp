// Feeds arbitrary bytes to the state file's reader, as a cut, damaged or foreign file would
// give them, and checks that whatever it takes is a table the agent can use: every device
// with a USN and a dotted address, and a table that, written again, reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "formats/state_file.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool Same(const DeviceSnapshot& a, const DeviceSnapshot& b) {
  return a.usn == b.usn && a.address == b.address && a.host_name == b.host_name &&
         a.status == b.status && a.valid_until == b.valid_until && a.first_seen == b.first_seen &&
         a.last_seen == b.last_seen && a.reboots == b.reboots && a.boot_id == b.boot_id &&
         a.serial_number == b.serial_number && a.page_url == b.page_url;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<DeviceSnapshot> devices;
  std::string error;
  const bool read = ReadStateDocument(std::string_view(reinterpret_cast<const char*>(data), size),
                                      devices, error);
  Check(read == error.empty());
  Check(read || devices.empty());
  if (!read) return 0;
  for (const DeviceSnapshot& d : devices) Check(!d.usn.empty() && !d.address_text.empty());
  std::vector<DeviceSnapshot> again;
  Check(ReadStateDocument(StateDocument(devices, 0), again, error));
  Check(again.size() == devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) Check(Same(devices[i], again[i]));
  return 0;
}
