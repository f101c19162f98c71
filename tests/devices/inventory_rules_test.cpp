// The inventory rules: how a scan compares with a baseline (and why a shared address never
// guesses a replacement), and the identity conflicts of one run, one case per kind.
#include <gtest/gtest.h>

#include <algorithm>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "devices/identity_conflicts.h"
#include "devices/inventory_compare.h"

namespace {

InventoryDevice Device(const std::string& usn, const std::string& address,
                       const std::string& serial) {
  return {usn, address, "scale", "IND-1", "IND-1", "100", serial, "guid-" + usn, "http://x/"};
}

// "kind usn address [fields]" per difference, in report order.
std::vector<std::string> Summary(const std::vector<InventoryDifference>& differences) {
  std::vector<std::string> lines;
  for (const InventoryDifference& d : differences) {
    std::string line = std::string(DifferenceName(d.kind)) + " " + d.usn + " " + d.address;
    for (const std::string& field : d.fields) line += " " + field;
    lines.push_back(line);
  }
  return lines;
}

uint32_t Address(const char* dotted) {
  in_addr parsed{};
  inet_pton(AF_INET, dotted, &parsed);
  return parsed.s_addr;
}

TEST(InventoryCompare, EveryKindOnAddressesOfTheirOwn) {
  const std::vector<InventoryDevice> baseline = {
      Device("a", "10.0.0.1", "S1"), Device("b", "10.0.0.2", "S2"), Device("c", "10.0.0.3", "S3"),
      Device("d", "10.0.0.4", "S4"), Device("e", "10.0.0.10", "S5")};
  InventoryDevice renamed = Device("d", "10.0.0.4", "S4");
  renamed.host_name = "other";
  renamed.guid = "new-guid";
  const std::vector<InventoryDevice> seen = {
      Device("b", "10.0.0.20", "S2"),  // moved
      Device("x", "10.0.0.3", "S9"),   // replaced: another USN at c's address
      renamed,                         // changed
      Device("e", "10.0.0.10", "S7"),  // replaced: the USN stayed, the serial did not
      Device("n", "10.0.0.30", "S8")};
  EXPECT_EQ(Summary(CompareInventories(baseline, seen)),
            (std::vector<std::string>{"missing a 10.0.0.1", "replaced x 10.0.0.3",
                                      "changed d 10.0.0.4 hostname guid", "replaced e 10.0.0.10",
                                      "moved b 10.0.0.20", "new n 10.0.0.30"}));
  EXPECT_TRUE(CompareInventories(baseline, baseline).empty());

  const auto differences = CompareInventories(baseline, seen);
  EXPECT_EQ(differences[0].baseline->serial_number, "S1");
  EXPECT_FALSE(differences[0].seen.has_value());
  EXPECT_EQ(differences[1].baseline->usn, "c");
  EXPECT_EQ(differences[1].seen->usn, "x");
}

TEST(InventoryCompare, SharedAddressIsMatchedByUsnOnly) {
  // A gateway in front of two indicators: a swap there must not be guessed as a replacement.
  const std::vector<InventoryDevice> baseline = {Device("a", "10.0.0.5", "S1"),
                                                 Device("b", "10.0.0.5", "S2")};
  const std::vector<InventoryDevice> seen = {Device("a", "10.0.0.5", "S6"),
                                             Device("x", "10.0.0.5", "S9")};
  EXPECT_EQ(Summary(CompareInventories(baseline, seen)),
            (std::vector<std::string>{"changed a 10.0.0.5 serial_number", "missing b 10.0.0.5",
                                      "new x 10.0.0.5"}));
}

TEST(InventoryCompare, MovedDeviceIsNotReplacedByWhatTookItsAddress) {
  const std::vector<InventoryDevice> baseline = {Device("a", "10.0.0.1", "S1")};
  const std::vector<InventoryDevice> seen = {Device("a", "10.0.0.2", "S1"),
                                             Device("x", "10.0.0.1", "S9")};
  EXPECT_EQ(Summary(CompareInventories(baseline, seen)),
            (std::vector<std::string>{"new x 10.0.0.1", "moved a 10.0.0.2"}));
}

TEST(IdentityConflicts, OneCasePerKindAndTheirCounts) {
  IdentityConflicts conflicts;
  conflicts.Observe("gw-1", Address("10.0.0.5"), "http://10.0.0.5:80/1.xml");
  conflicts.Observe("gw-2", Address("10.0.0.5"), "http://10.0.0.5:80/2.xml");
  conflicts.Observe("nat", Address("10.0.0.6"), "http://192.168.1.7/d.xml");
  conflicts.Observe("roam", Address("10.0.0.9"), "http://10.0.0.9/d.xml");
  conflicts.Observe("roam", Address("10.0.0.8"), "http://10.0.0.8/d.xml");
  conflicts.Observe("roam", Address("10.0.0.9"), "http://10.0.0.9/d.xml");

  const std::vector<IdentityConflict> found = conflicts.Conflicts();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].kind, IdentityConflictKind::kAddressShared);
  EXPECT_EQ(found[0].usns, (std::vector<std::string>{"gw-1", "gw-2"}));
  EXPECT_EQ(found[0].addresses, (std::vector<std::string>{"10.0.0.5"}));
  EXPECT_EQ(found[1].kind, IdentityConflictKind::kLocationMismatch);
  EXPECT_EQ(found[1].usns, (std::vector<std::string>{"nat"}));
  EXPECT_EQ(found[1].addresses, (std::vector<std::string>{"10.0.0.6"}));
  EXPECT_EQ(found[1].location, "http://192.168.1.7/d.xml");
  EXPECT_EQ(found[2].kind, IdentityConflictKind::kUsnMoved);
  EXPECT_EQ(found[2].addresses, (std::vector<std::string>{"10.0.0.8", "10.0.0.9"}));
  EXPECT_EQ(conflicts.CountByKind(), (std::array<std::size_t, 3>{1, 1, 1}));
  EXPECT_STREQ(IdentityConflictName(found[1].kind), "location_mismatch");
}

// The counts kept as conflicts come and go match a recount of what is there.
std::array<std::size_t, 3> Recount(const IdentityConflicts& conflicts) {
  std::array<std::size_t, 3> counts{};
  for (const IdentityConflict& c : conflicts.Conflicts())
    ++counts[static_cast<std::size_t>(c.kind)];
  return counts;
}

TEST(IdentityConflicts, ConflictMapsStayBounded) {
  IdentityConflicts conflicts(100);
  // A forger: ever new USNs from ever new senders, each also claiming another's address.
  for (uint32_t i = 0; i < 20000; ++i) {
    const uint32_t address = htonl(0x0A000000u + i % 5000);
    conflicts.Observe("forged-" + std::to_string(i), address, "http://10.9.9.9/d.xml");
  }
  EXPECT_LE(conflicts.UsnCount(), 100u);
  EXPECT_LE(conflicts.AddressCount(), 100u);
  EXPECT_GT(conflicts.Evicted(), 19000u);
  EXPECT_EQ(conflicts.CountByKind(), Recount(conflicts));

  // A real device behind a translation and one that moved are still told, and forgetting
  // them takes their conflicts along: the forger's mismatches left with its addresses.
  conflicts.Observe("nat", Address("10.1.0.7"), "http://192.168.1.7/d.xml");
  const std::vector<IdentityConflict> found = conflicts.Conflicts();
  EXPECT_TRUE(std::any_of(found.begin(), found.end(), [](const IdentityConflict& c) {
    return c.kind == IdentityConflictKind::kLocationMismatch && c.usns[0] == "nat";
  }));
  EXPECT_EQ(conflicts.CountByKind(), Recount(conflicts));
  conflicts.Forget("nat");
  conflicts.Observe("roam", Address("10.1.0.9"), "http://10.1.0.9/d.xml");
  conflicts.Observe("roam", Address("10.1.0.8"), "http://10.1.0.8/d.xml");
  EXPECT_EQ(conflicts.CountByKind()[static_cast<std::size_t>(IdentityConflictKind::kUsnMoved)], 1u);
  conflicts.Forget("roam");
  EXPECT_EQ(conflicts.CountByKind()[static_cast<std::size_t>(IdentityConflictKind::kUsnMoved)], 0u);
  EXPECT_EQ(conflicts.CountByKind(), Recount(conflicts));
}

TEST(IdentityConflicts, UnreadableLocationsAreNotJudged) {
  // No conflict without a host to compare.
  IdentityConflicts conflicts;
  conflicts.Observe("a", Address("10.0.0.5"), "description.xml");
  EXPECT_TRUE(conflicts.Conflicts().empty());
}

}  // namespace
