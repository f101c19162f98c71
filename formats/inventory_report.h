// What a timed scan with an inventory option prints: the plain report with the identity
// conflicts of the run, or the differences from a baseline with the devices and conflicts,
// in the table, JSON and CSV formats. Pure text functions; reading and writing the files is
// formats/inventory_file.h's, and the scan's bookkeeping the scanner's.
#pragma once

#include <string>
#include <vector>

#include "devices/device_snapshot.h"
#include "devices/identity_conflicts.h"
#include "devices/inventory_compare.h"
#include "formats/device_report.h"

// The devices of `devices` that are there now: not gone with a byebye, not lost.
std::vector<InventoryDevice> PresentDevices(const std::vector<DeviceSnapshot>& devices);

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
InventoryReport FormatInventoryReport(ScanFormat format, const std::vector<DeviceSnapshot>& devices,
                                      const std::vector<InventoryDevice>* baseline,
                                      const std::vector<IdentityConflict>& conflicts);
