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

void IdentityConflicts::Link(ByAddress& by_address, uint32_t address, ByUsn& by_usn,
                             std::string_view usn) {
  // Both ways or not at all, so that letting go of one side finds every link of it.
  if (by_address.usns.count(usn) != 0 || by_address.usns.size() >= kMaxListed ||
      by_usn.addresses.size() >= kMaxListed) {
    return;
  }
  by_address.usns.insert(usn);
  by_usn.addresses.insert(address);
  if (by_address.usns.size() == 2) ++Count(IdentityConflictKind::kAddressShared);
  if (by_usn.addresses.size() == 2) ++Count(IdentityConflictKind::kUsnMoved);
}

void IdentityConflicts::Observe(const std::string& usn, uint32_t address,
                                std::string_view location) {
  const uint32_t host_order = ntohl(address);
  auto [by_address, new_address] = m_by_address.try_emplace(host_order);
  if (new_address) {
    m_recent_addresses.push_front(host_order);
  } else {
    m_recent_addresses.splice(m_recent_addresses.begin(), m_recent_addresses,
                              by_address->second.recent);
  }
  by_address->second.recent = m_recent_addresses.begin();
  auto [by_usn, new_usn] = m_by_usn.try_emplace(usn);
  const std::string_view key = by_usn->first;
  if (new_usn) {
    m_recent_usns.push_front(key);
  } else {
    m_recent_usns.splice(m_recent_usns.begin(), m_recent_usns, by_usn->second.recent);
  }
  by_usn->second.recent = m_recent_usns.begin();
  Link(by_address->second, host_order, by_usn->second, key);

  // The LOCATION judged by the page rule as the page it would be: on the sender's own
  // address or not. One that SplitUrl cannot read is not judged. Only for a sender the USN's
  // list holds, so that mismatches are bounded per USN as the list is, and leave with the
  // address when it is let go of.
  UrlParts parts;
  if (by_usn->second.addresses.count(host_order) != 0 &&
      DevicePage(Dotted(host_order), location, location, parts) == PageHome::kForeignPage &&
      m_mismatches.try_emplace({usn, host_order}, location).second) {
    ++Count(IdentityConflictKind::kLocationMismatch);
  }

  // The least recently seen go first; the ones just noted are the most recent.
  while (m_by_usn.size() > m_max_keys) {
    RemoveUsn(m_by_usn.find(m_recent_usns.back()));
    ++m_evicted;
  }
  while (m_by_address.size() > m_max_keys) {
    RemoveAddress(m_by_address.find(m_recent_addresses.back()));
    ++m_evicted;
  }
}

void IdentityConflicts::Forget(const std::string& usn) {
  if (auto it = m_by_usn.find(usn); it != m_by_usn.end()) RemoveUsn(it);
}

void IdentityConflicts::RemoveUsn(UsnMap::iterator it) {
  const std::string usn = it->first;  // the key itself goes below
  for (const uint32_t address : it->second.addresses) {
    auto by_address = m_by_address.find(address);
    if (by_address == m_by_address.end()) continue;
    std::set<std::string_view>& usns = by_address->second.usns;
    if (usns.erase(usn) != 0 && usns.size() == 1) --Count(IdentityConflictKind::kAddressShared);
    if (usns.empty()) {
      m_recent_addresses.erase(by_address->second.recent);
      m_by_address.erase(by_address);
    }
  }
  if (it->second.addresses.size() >= 2) --Count(IdentityConflictKind::kUsnMoved);
  m_recent_usns.erase(it->second.recent);
  m_by_usn.erase(it);
  for (auto m = m_mismatches.lower_bound({usn, 0});
       m != m_mismatches.end() && m->first.first == usn;) {
    m = m_mismatches.erase(m);
    --Count(IdentityConflictKind::kLocationMismatch);
  }
}

void IdentityConflicts::RemoveAddress(std::map<uint32_t, ByAddress>::iterator it) {
  const uint32_t address = it->first;
  for (const std::string_view usn : it->second.usns) {
    if (m_mismatches.erase({std::string(usn), address}) != 0) {
      --Count(IdentityConflictKind::kLocationMismatch);
    }
    auto by_usn = m_by_usn.find(usn);
    if (by_usn == m_by_usn.end()) continue;
    std::set<uint32_t>& addresses = by_usn->second.addresses;
    if (addresses.erase(address) != 0 && addresses.size() == 1) {
      --Count(IdentityConflictKind::kUsnMoved);
    }
    if (addresses.empty()) {
      m_recent_usns.erase(by_usn->second.recent);
      m_by_usn.erase(by_usn);
    }
  }
  if (it->second.usns.size() >= 2) --Count(IdentityConflictKind::kAddressShared);
  m_recent_addresses.erase(it->second.recent);
  m_by_address.erase(it);
}

std::vector<IdentityConflict> IdentityConflicts::Conflicts() const {
  std::vector<IdentityConflict> conflicts;
  for (const auto& [address, entry] : m_by_address) {
    if (entry.usns.size() < 2) continue;
    conflicts.push_back({IdentityConflictKind::kAddressShared,
                         std::vector<std::string>(entry.usns.begin(), entry.usns.end()),
                         {Dotted(address)},
                         std::string()});
  }
  for (const auto& [key, location] : m_mismatches) {
    conflicts.push_back(
        {IdentityConflictKind::kLocationMismatch, {key.first}, {Dotted(key.second)}, location});
  }
  for (const auto& [usn, entry] : m_by_usn) {
    if (entry.addresses.size() < 2) continue;
    IdentityConflict conflict{IdentityConflictKind::kUsnMoved, {usn}, {}, std::string()};
    for (const uint32_t address : entry.addresses) conflict.addresses.push_back(Dotted(address));
    conflicts.push_back(std::move(conflict));
  }
  return conflicts;
}
