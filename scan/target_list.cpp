#include "scan/target_list.h"

#include <arpa/inet.h>

#include <unordered_set>

#include "formats/safe_text.h"
#include "platform/dotted_address.h"

namespace {

// An item as it may appear in a one-line message: no control characters, cut short.
std::string QuotedItem(const std::string& text) {
  return MessageQuoted(text, 40);
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "0".."32", decimal digits only.
bool ParsePrefix(const std::string& text, int& prefix) {
  if (text.empty() || text.size() > 2) return false;
  prefix = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    prefix = prefix * 10 + (c - '0');
  }
  return prefix <= 32;
}

// Searches go to hosts only: not "this network" (0/8), nor to groups, reserved or broadcast
// addresses (224 and above), which a unicast search must not reach.
bool IsHostRange(uint32_t first, uint32_t last) {
  return (first >> 24) != 0 && (last >> 24) < 224;
}

}  // namespace

bool ParseTargetList(const std::string& list, std::vector<uint32_t>& addresses,
                     std::string& error) {
  addresses.clear();
  error.clear();
  std::vector<uint32_t> expanded;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    const std::string item =
        Trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    const std::size_t slash = item.find('/');
    uint32_t address = 0;
    int prefix = 32;
    if (item.empty()) {
      error = "--target has an empty item in " + QuotedItem(list);
      return false;
    }
    if (!ParseDottedAddress(item.substr(0, slash).c_str(), address) ||
        (slash != std::string::npos && !ParsePrefix(item.substr(slash + 1), prefix))) {
      error = "--target needs IPv4 addresses or CIDR blocks (got " + QuotedItem(item) + ")";
      return false;
    }
    // In host order from here; a block given with host bits set means the block it lies in.
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    const uint32_t first = ntohl(address) & mask;
    const uint32_t last = first | ~mask;
    if (!IsHostRange(first, last)) {
      error = "--target needs host addresses, not groups or broadcast (got " + QuotedItem(item) + ")";
      return false;
    }
    const uint64_t size = uint64_t{last - first} + 1;
    const uint64_t hosts = size > 2 ? size - 2 : size;
    if (expanded.size() + hosts > kMaxTargets) {
      error = "--target lists more than " + std::to_string(kMaxTargets) + " addresses (at " +
              QuotedItem(item) + ")";
      return false;
    }
    for (uint64_t host = size > 2 ? 1 : 0; host < (size > 2 ? size - 1 : size); ++host) {
      expanded.push_back(htonl(first + static_cast<uint32_t>(host)));
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  // Overlapping items would search an address twice in one round.
  std::unordered_set<uint32_t> seen;
  for (uint32_t a : expanded) {
    if (seen.insert(a).second) addresses.push_back(a);
  }
  return true;
}
