// SSDP datagrams of the simulator: reading a search request and writing responses and
// notifications. Results are fresh strings; nothing points into the caller's buffer after
// a call returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/device_set.h"

namespace sim {

struct SearchRequest {
  std::string st;
  int mx = 0;  // seconds; 0 when the request has no MX field
};

// Reads an M-SEARCH datagram. Returns true with `request` filled when it is a search that
// devices should answer; false with a short reason in `why` (and `request` reset) otherwise.
bool ParseSearch(std::string_view datagram, SearchRequest& request, std::string& why);

// The value for CACHE-CONTROL: `verbatim` when not empty, else "max-age=" and max_age.
std::string CacheControlValue(const std::string& verbatim, unsigned max_age);

// The UDA 1.1 header fields BOOTID.UPNP.ORG and CONFIGID.UPNP.ORG, each sent only when set.
struct IdFields {
  std::optional<uint32_t> boot_id;
  std::optional<uint32_t> config_id;
};

// A "HTTP/1.1 200 OK" search response for `device`, answering search target `st`.
// With pad_to > 0 the result is exactly pad_to bytes: a filler header is added before the
// closing empty line, or the text is cut when it is already longer.
std::string BuildResponse(const Device& device, const std::string& st,
                          const std::string& cache_control, size_t pad_to,
                          const IdFields& ids = {});

// NOTIFY ssdp:alive and ssdp:byebye for `device`.
std::string BuildAlive(const Device& device, const std::string& cache_control,
                       const IdFields& ids = {});
std::string BuildByebye(const Device& device, const IdFields& ids = {});
// NOTIFY ssdp:update for `device`: the boot id in `ids` is the current one, `next_boot_id`
// the one its announcements will carry from now on.
std::string BuildUpdate(const Device& device, const IdFields& ids, uint32_t next_boot_id);

}  // namespace sim
