// The scanner's inventory work for one run: the baseline read before anything is written,
// the identity conflicts of every accepted announcement, the report of a timed scan with
// --baseline (differences, devices, conflicts) and the --save file. Idle without those options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/identity_conflicts.h"
#include "devices/inventory_compare.h"
#include "scan/device_report.h"
#include "scan/scan_options.h"
#include "ssdp/datagram_outcome.h"

// What an announcement says about who it is, copied before the datagram is parsed in place.
struct AnnouncedIdentity {
  std::string usn;       // cut as device records cut it
  std::string location;  // "" when absent
};

// The USN and LOCATION of the datagram `text` (NUL-terminated; left unchanged).
AnnouncedIdentity ReadIdentity(const char* text);

// The devices of `devices` that are there now: not gone with a byebye, not lost.
std::vector<InventoryDevice> PresentDevices(const std::vector<ScannedDevice>& devices);

// What a timed scan prints at its end: standard output, lines for standard error and the
// exit status (0, or 3 when the scan differs from the baseline).
struct InventoryReport {
  std::string out;
  std::string err;
  int status = 0;
};

// The report of `devices` against `baseline` in `format` (`baseline` null: the plain report).
// Conflicts are a section of the table, and in JSON and CSV part of the baseline's report; the
// plain JSON array and CSV stay as scripts know them, so there the conflicts go to `err`.
InventoryReport FormatInventoryReport(ScanFormat format, const std::vector<ScannedDevice>& devices,
                                      const std::vector<InventoryDevice>* baseline,
                                      const std::vector<IdentityConflict>& conflicts);

class ScanInventory {
 public:
  explicit ScanInventory(const ScanOptions& options)
      : m_save_path(options.save_path), m_baseline_path(options.baseline_path) {}
  ScanInventory(const ScanInventory&) = delete;
  ScanInventory& operator=(const ScanInventory&) = delete;

  // Whether --save or --baseline was given; otherwise nothing here needs doing.
  [[nodiscard]] bool Active() const { return !m_save_path.empty() || !m_baseline_path.empty(); }

  // Reads the baseline, if any. False with a one-line reason in `error` (exit status 2).
  bool LoadBaseline(std::string& error);

  // Takes the datagram's `identity` from `address` (network order) into the conflicts when
  // announcement handling accepted it as an announcement (`outcome`).
  void Note(const AnnouncedIdentity& identity, uint32_t address, DatagramOutcome outcome);
  [[nodiscard]] const IdentityConflicts& Conflicts() const { return m_conflicts; }

  // The end of a timed scan over `devices`.
  [[nodiscard]] InventoryReport Report(ScanFormat format,
                                       const std::vector<ScannedDevice>& devices) const;
  // Writes the --save file, if any, saved at `now`. False with a one-line reason in `error`.
  bool Save(const std::vector<ScannedDevice>& devices, int64_t now, std::string& error) const;

 private:
  std::string m_save_path;
  std::string m_baseline_path;
  bool m_has_baseline = false;
  std::vector<InventoryDevice> m_baseline;
  IdentityConflicts m_conflicts;
};
