// Identity conflicts within one run: facts about who answers from where that the device
// table cannot show, because it keeps only the latest address of each USN. Fed with every
// accepted announcement by the front end that sees the datagrams; pure bookkeeping, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class IdentityConflictKind : uint8_t {
  kAddressShared,     // two USNs answer from one address
  kLocationMismatch,  // the LOCATION's host is not the sender's address
  kUsnMoved,          // one USN answers from two addresses
};
inline constexpr std::size_t kIdentityConflictKindCount = 3;

// "address_shared", "location_mismatch" or "usn_moved".
const char* IdentityConflictName(IdentityConflictKind kind);

struct IdentityConflict {
  IdentityConflictKind kind = IdentityConflictKind::kAddressShared;
  std::vector<std::string> usns;       // address_shared: all of them; else the one
  std::vector<std::string> addresses;  // dotted; usn_moved: all of them; else the sender
  std::string location;                // location_mismatch: the LOCATION; else ""
};

class IdentityConflicts {
 public:
  // Notes an accepted announcement of `usn` from `address` (network byte order) carrying
  // `location`. A LOCATION whose host cannot be read is not judged.
  void Observe(const std::string& usn, uint32_t address, std::string_view location);

  // Every conflict so far: address_shared by address, then location_mismatch by USN and
  // address, then usn_moved by USN; lists ordered by address or text.
  [[nodiscard]] std::vector<IdentityConflict> Conflicts() const;
  // The number of conflicts of each kind, indexed by IdentityConflictKind.
  [[nodiscard]] std::array<std::size_t, kIdentityConflictKindCount> CountByKind() const;

 private:
  // Addresses in host order, so that maps and sets keep them in numeric order.
  std::map<uint32_t, std::set<std::string>> m_usns_by_address;
  std::map<std::string, std::set<uint32_t>> m_addresses_by_usn;
  std::map<std::pair<std::string, uint32_t>, std::string> m_mismatches;  // the first LOCATION
};
