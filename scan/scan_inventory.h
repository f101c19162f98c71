// The scanner's inventory work for one run: the baseline read before anything is written,
// the identity conflicts of every accepted announcement, the report of a timed scan with
// --baseline (differences, devices, conflicts) and the --save file. Idle without those options.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/identity_conflicts.h"
#include "devices/inventory_compare.h"
#include "formats/inventory_report.h"
#include "scan/scan_options.h"

class ScanInventory {
 public:
  explicit ScanInventory(const ScanOptions& options)
      : m_save_path(options.save_path), m_baseline_path(options.baseline_path) {}
  ScanInventory(const ScanInventory&) = delete;
  ScanInventory& operator=(const ScanInventory&) = delete;

  // Whether --save or --baseline was given; otherwise nothing here needs doing.
  [[nodiscard]] bool Active() const { return !m_save_path.empty() || !m_baseline_path.empty(); }

  // Before anything is searched: reads the baseline, if any, and checks that the --save file
  // can be written. False with a one-line reason in `error` (exit status 2).
  bool Prepare(std::string& error);

  // The identity conflicts of the run; announcement handling feeds them.
  [[nodiscard]] IdentityConflicts& Conflicts() { return m_conflicts; }
  [[nodiscard]] const IdentityConflicts& Conflicts() const { return m_conflicts; }

  // The end of a timed scan over `devices`.
  [[nodiscard]] InventoryReport Report(ScanFormat format,
                                       const std::vector<DeviceSnapshot>& devices) const;
  // Writes the --save file, if any, saved at `now`. False with a one-line reason in `error`.
  bool Save(const std::vector<DeviceSnapshot>& devices, int64_t now, std::string& error) const;

 private:
  std::string m_save_path;
  std::string m_baseline_path;
  bool m_has_baseline = false;
  std::vector<InventoryDevice> m_baseline;
  IdentityConflicts m_conflicts;
};
