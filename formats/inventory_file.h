// Inventory files: the devices of a scan saved as a JSON document
// {"devices": [...], "format": "tarovue-inventory", "saved": TIME, "version": 1}, and read
// back as a baseline. Written with the one JSON writer, read with Qt's JSON classes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_snapshot.h"
#include "devices/inventory_compare.h"
#include "formats/json_writer.h"
#include "platform/atomic_file.h"

inline constexpr char kInventoryFormat[] = "tarovue-inventory";
inline constexpr int kInventoryVersion = 1;
// A device's keys in the document; also the order of the --baseline CSV columns.
inline constexpr const char* kInventoryDeviceKeys[] = {
    "usn",          "address",       "hostname", "devtype", "model_name",
    "model_number", "serial_number", "guid",     "page_url"};

// The inventory's view of a scanned device.
InventoryDevice ToInventoryDevice(const DeviceSnapshot& device);

// The texts of `device` in the order of kInventoryDeviceKeys; valid while `device` is.
std::vector<std::string_view> InventoryDeviceTexts(const InventoryDevice& device);

// One device as the document holds it, an object with its keys in alphabetical order.
void WriteInventoryDevice(JsonWriter& json, const InventoryDevice& device, JsonLayout layout);

// The whole document, indented, ending in a line feed; `saved` in seconds since 1970 UTC.
std::string InventoryDocument(const std::vector<InventoryDevice>& devices, int64_t saved);

// An inventory is for everyone who may read its directory.
inline constexpr mode_t kInventoryMode = 0644;

// Writes the document to `path` atomically (platform/atomic_file.h), mode 0644. True on
// success; false with a one-line reason in `error`, leaving any file that was at `path` as
// it was. It waits for the disk: the agent saves through a FileSaver instead.
bool SaveInventory(const std::string& path, const std::vector<InventoryDevice>& devices,
                   int64_t saved, std::string& error);

// The one-line reason of a failed save of `path`.
std::string InventorySaveError(const std::string& path, const AtomicWriteFailure& failure);

// Reads the document at `path` into `devices`. True on success; false with a one-line reason
// in `error` (for a JSON error, its offset) and `devices` empty.
bool LoadInventory(const std::string& path, std::vector<InventoryDevice>& devices,
                   std::string& error);
