#include "devices/identity_conflicts.h"

#include <arpa/inet.h>

#include "http/url.h"
#include "platform/dotted_address.h"

namespace {

// A forger can send one USN from many addresses or many USNs from one; every list stops
// growing here, which is still plenty to show the conflict.
constexpr std::size_t kMaxListed = 32;

std::string Dotted(uint32_t host_order) {
  char text[kDottedAddressSize];
  FormatDottedAddress(htonl(host_order), text);
  return text;
}

}  // namespace

const char* IdentityConflictName(IdentityConflictKind kind) {
  switch (kind) {
    case IdentityConflictKind::kAddressShared:
      return "address_shared";
    case IdentityConflictKind::kLocationMismatch:
      return "location_mismatch";
    case IdentityConflictKind::kUsnMoved:
      return "usn_moved";
  }
  return "unknown";
}

void IdentityConflicts::Observe(const std::string& usn, uint32_t address,
                                std::string_view location) {
  const uint32_t host_order = ntohl(address);
  std::set<std::string>& usns = m_usns_by_address[host_order];
  if (usns.size() < kMaxListed) usns.insert(usn);
  std::set<uint32_t>& addresses = m_addresses_by_usn[usn];
  if (addresses.size() < kMaxListed) addresses.insert(host_order);

  UrlParts parts;
  if (SplitUrl(location, parts) && parts.host != Dotted(host_order) &&
      m_mismatches.size() < kMaxListed) {
    m_mismatches.try_emplace({usn, host_order}, location);
  }
}

std::vector<IdentityConflict> IdentityConflicts::Conflicts() const {
  std::vector<IdentityConflict> conflicts;
  for (const auto& [address, usns] : m_usns_by_address) {
    if (usns.size() < 2) continue;
    conflicts.push_back({IdentityConflictKind::kAddressShared,
                         std::vector<std::string>(usns.begin(), usns.end()),
                         {Dotted(address)},
                         std::string()});
  }
  for (const auto& [key, location] : m_mismatches) {
    conflicts.push_back(
        {IdentityConflictKind::kLocationMismatch, {key.first}, {Dotted(key.second)}, location});
  }
  for (const auto& [usn, addresses] : m_addresses_by_usn) {
    if (addresses.size() < 2) continue;
    IdentityConflict conflict{IdentityConflictKind::kUsnMoved, {usn}, {}, std::string()};
    for (const uint32_t address : addresses) conflict.addresses.push_back(Dotted(address));
    conflicts.push_back(std::move(conflict));
  }
  return conflicts;
}

std::array<std::size_t, kIdentityConflictKindCount> IdentityConflicts::CountByKind() const {
  std::array<std::size_t, kIdentityConflictKindCount> counts{};
  for (const IdentityConflict& conflict : Conflicts()) {
    ++counts[static_cast<std::size_t>(conflict.kind)];
  }
  return counts;
}
