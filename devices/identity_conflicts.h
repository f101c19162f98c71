// Identity conflicts within one run: facts about who answers from where that the device
// table cannot show, because it keeps only the latest address of each USN. Fed with every
// accepted announcement by the front end that sees the datagrams; pure bookkeeping, no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
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
  // Keeps at most `max_keys` USNs and as many sender addresses (the device table's bound):
  // forged announcements with ever new USNs or senders must not grow it without end. The
  // least recently seen goes first.
  explicit IdentityConflicts(std::size_t max_keys = 10000) : m_max_keys(max_keys) {}
  IdentityConflicts(const IdentityConflicts&) = delete;
  IdentityConflicts& operator=(const IdentityConflicts&) = delete;

  // Notes an accepted announcement of `usn` from `address` (network byte order) carrying
  // `location`. A LOCATION whose host cannot be read is not judged.
  void Observe(const std::string& usn, uint32_t address, std::string_view location);
  // Forgets everything about `usn` (a device forgotten by the table).
  void Forget(const std::string& usn);
  void SetMaxKeys(std::size_t max_keys) { m_max_keys = max_keys; }

  // Every conflict so far: address_shared by address, then location_mismatch by USN and
  // address, then usn_moved by USN; lists ordered by address or text.
  [[nodiscard]] std::vector<IdentityConflict> Conflicts() const;
  // The number of conflicts of each kind, indexed by IdentityConflictKind; kept as they
  // change, so reading them costs nothing.
  [[nodiscard]] const std::array<std::size_t, kIdentityConflictKindCount>& CountByKind() const {
    return m_counts;
  }
  // USNs and addresses let go of to stay within the bound.
  [[nodiscard]] uint64_t Evicted() const { return m_evicted; }
  [[nodiscard]] std::size_t UsnCount() const { return m_by_usn.size(); }
  [[nodiscard]] std::size_t AddressCount() const { return m_by_address.size(); }

 private:
  // Addresses in host order, so that maps and sets keep them in numeric order.
  // USNs are kept once, as keys of m_by_usn; the other tables hold views of those keys, which
  // a USN's removal takes out first.
  struct ByAddress {
    std::set<std::string_view> usns;
    std::list<uint32_t>::iterator recent;
  };
  struct ByUsn {
    std::set<uint32_t> addresses;
    std::list<std::string_view>::iterator recent;
  };
  std::size_t& Count(IdentityConflictKind kind) { return m_counts[static_cast<std::size_t>(kind)]; }
  using UsnMap = std::map<std::string, ByUsn, std::less<>>;
  void Link(ByAddress& by_address, uint32_t address, ByUsn& by_usn, std::string_view usn);
  void RemoveUsn(UsnMap::iterator it);
  void RemoveAddress(std::map<uint32_t, ByAddress>::iterator it);

  std::size_t m_max_keys;
  std::map<uint32_t, ByAddress> m_by_address;
  UsnMap m_by_usn;
  std::list<uint32_t> m_recent_addresses;  // most recently seen first
  std::list<std::string_view> m_recent_usns;
  std::map<std::pair<std::string, uint32_t>, std::string> m_mismatches;  // the first LOCATION
  std::array<std::size_t, kIdentityConflictKindCount> m_counts{};
  uint64_t m_evicted = 0;
};
