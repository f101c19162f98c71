#include "scan/scan_inventory.h"

#include "formats/inventory_file.h"

bool ScanInventory::Prepare(std::string& error) {
  error.clear();
  if (!m_baseline_path.empty()) {
    m_has_baseline = LoadInventory(m_baseline_path, m_baseline, error);
    if (!m_has_baseline) return false;
  }
  // A scan that ends in a file it cannot write would have been for nothing.
  if (AtomicWriteFailure failure;
      !m_save_path.empty() && !CanWriteAtomically(m_save_path, failure)) {
    error = "--save: " + InventorySaveError(m_save_path, failure);
    return false;
  }
  return true;
}

InventoryReport ScanInventory::Report(ScanFormat format,
                                      const std::vector<DeviceSnapshot>& devices) const {
  return FormatInventoryReport(
      format, devices, m_has_baseline ? &m_baseline : nullptr,
      Active() ? m_conflicts.Conflicts() : std::vector<IdentityConflict>());
}

bool ScanInventory::Save(const std::vector<DeviceSnapshot>& devices, int64_t now,
                         std::string& error) const {
  error.clear();
  if (m_save_path.empty()) return true;
  return SaveInventory(m_save_path, PresentDevices(devices), now, error);
}
