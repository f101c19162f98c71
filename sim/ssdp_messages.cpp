#include "sim/ssdp_messages.h"

#include <strings.h>
#include <cstdlib>

namespace sim {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, const char* b) {
  std::string_view bv = b;
  return a.size() == bv.size() && strncasecmp(a.data(), b, a.size()) == 0;
}

void Line(std::string& out, const char* name, const std::string& value) {
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

void Ids(std::string& out, const IdFields& ids) {
  if (ids.boot_id) Line(out, kHdrBootId, std::to_string(*ids.boot_id));
  if (ids.config_id) Line(out, kHdrConfigId, std::to_string(*ids.config_id));
}

}  // namespace

bool ParseSearch(std::string_view datagram, SearchRequest& request, std::string& why) {
  request = SearchRequest{};
  why.clear();
  bool first = true, has_man = false, has_st = false, has_mx = false;
  std::string_view mx_text;
  while (!datagram.empty()) {
    size_t end = datagram.find('\n');
    std::string_view line = datagram.substr(0, end);
    datagram = end == std::string_view::npos ? std::string_view() : datagram.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      if (line != kSearchLine) {
        why = "not a search";
        return false;
      }
      first = false;
      continue;
    }
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (SameName(name, kHdrMan)) {
      has_man = value == kDiscoverMan || value == "ssdp:discover";
    } else if (SameName(name, kHdrSt)) {
      request.st = value;
      has_st = true;
    } else if (SameName(name, kHdrMx)) {
      mx_text = value;
      has_mx = true;
    }
  }
  if (first) {
    why = "empty datagram";
  } else if (!has_man) {
    why = "no MAN \"ssdp:discover\"";
  } else if (!has_st || request.st.empty()) {
    why = "no ST";
  } else if (has_mx) {
    long mx = 0;
    bool digits = !mx_text.empty() && mx_text.size() < 10;
    for (char c : mx_text) {
      if (c < '0' || c > '9')
        digits = false;
      else
        mx = mx * 10 + (c - '0');
    }
    if (!digits) why = "bad MX";
    request.mx = static_cast<int>(mx);
  }
  if (!why.empty()) {
    request = SearchRequest{};
    return false;
  }
  return true;
}

std::string CacheControlValue(const std::string& verbatim, unsigned max_age) {
  return verbatim.empty() ? kMaxAgePrefix + std::to_string(max_age) : verbatim;
}

std::string BuildResponse(const Device& device, const std::string& st,
                          const std::string& cache_control, size_t pad_to, const IdFields& ids) {
  std::string out = std::string(kResponseLine) + "\r\n";
  Line(out, kHdrCacheControl, cache_control);
  out += std::string(kHdrExt) + ":\r\n";
  Line(out, kHdrLocation, device.location);
  Line(out, kHdrServer, kServerText);
  Line(out, kHdrSt, st);
  // A search for the device's own UDN is answered with the bare UDN as USN.
  Line(out, kHdrUsn, st == device.udn ? device.udn : device.usn);
  Ids(out, ids);
  if (pad_to == 0) return out + "\r\n";

  const size_t filler_overhead = std::string_view(kPadHeader).size() + 2;  // name, CR LF
  const size_t natural = out.size() + 2;
  if (natural + filler_overhead <= pad_to) {
    out += kPadHeader;
    out.append(pad_to - natural - filler_overhead, 'x');
    out += "\r\n";
  } else if (natural < pad_to) {
    // Too little room for a header: lengthen the USN line with spaces, which parsers trim.
    out.insert(out.size() - 2, pad_to - natural, ' ');
  }
  out += "\r\n";
  out.resize(pad_to);
  return out;
}

std::string BuildAlive(const Device& device, const std::string& cache_control,
                       const IdFields& ids) {
  std::string out = std::string(kNotifyLine) + "\r\n";
  Line(out, kHdrHost, kSsdpHost);
  Line(out, kHdrCacheControl, cache_control);
  Line(out, kHdrLocation, device.location);
  Line(out, kHdrNt, kDeviceType);
  Line(out, kHdrNts, kAlive);
  Line(out, kHdrServer, kServerText);
  Line(out, kHdrUsn, device.usn);
  Ids(out, ids);
  return out + "\r\n";
}

std::string BuildUpdate(const Device& device, const IdFields& ids, uint32_t next_boot_id) {
  // As an alive without the lifetime and server fields, plus the coming boot id.
  std::string out = std::string(kNotifyLine) + "\r\n";
  Line(out, kHdrHost, kSsdpHost);
  Line(out, kHdrLocation, device.location);
  Line(out, kHdrNt, kDeviceType);
  Line(out, kHdrNts, kUpdate);
  Line(out, kHdrUsn, device.usn);
  Ids(out, ids);
  Line(out, kHdrNextBootId, std::to_string(next_boot_id));
  return out + "\r\n";
}

std::string BuildByebye(const Device& device, const IdFields& ids) {
  std::string out = std::string(kNotifyLine) + "\r\n";
  Line(out, kHdrHost, kSsdpHost);
  Line(out, kHdrNt, kDeviceType);
  Line(out, kHdrNts, kByebye);
  Line(out, kHdrUsn, device.usn);
  Ids(out, ids);
  return out + "\r\n";
}

}  // namespace sim
