#include "formats/inventory_file.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "formats/safe_text.h"
#include "formats/time_text.h"
#include "platform/error_text.h"

namespace {

// The texts behind kInventoryDeviceKeys, in the same order.
constexpr std::string InventoryDevice::*kDeviceTexts[] = {
    &InventoryDevice::usn,           &InventoryDevice::address,    &InventoryDevice::host_name,
    &InventoryDevice::device_type,   &InventoryDevice::model_name, &InventoryDevice::model_number,
    &InventoryDevice::serial_number, &InventoryDevice::guid,       &InventoryDevice::page_url};
static_assert(std::size(kDeviceTexts) == std::size(kInventoryDeviceKeys));

// Positions in kInventoryDeviceKeys in alphabetical order of the keys: the document has
// always listed them so.
constexpr std::array<std::size_t, std::size(kInventoryDeviceKeys)> AlphabeticalKeys() {
  std::array<std::size_t, std::size(kInventoryDeviceKeys)> order{};
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
    return std::string_view(kInventoryDeviceKeys[a]) < std::string_view(kInventoryDeviceKeys[b]);
  });
  return order;
}
constexpr auto kAlphabeticalKeys = AlphabeticalKeys();

}  // namespace

InventoryDevice ToInventoryDevice(const DeviceSnapshot& d) {
  return {d.usn,          d.address_text,  d.host_name, d.device_type, d.model_name,
          d.model_number, d.serial_number, d.guid,      d.page_url};
}

std::vector<std::string_view> InventoryDeviceTexts(const InventoryDevice& device) {
  std::vector<std::string_view> texts;
  texts.reserve(std::size(kDeviceTexts));
  for (const auto text : kDeviceTexts) texts.emplace_back(device.*text);
  return texts;
}

void WriteInventoryDevice(JsonWriter& json, const InventoryDevice& device, JsonLayout layout) {
  json.BeginObject(layout);
  for (const std::size_t i : kAlphabeticalKeys) {
    json.Field(kInventoryDeviceKeys[i], device.*kDeviceTexts[i]);
  }
  json.End();
}

std::string InventoryDocument(const std::vector<InventoryDevice>& devices, int64_t saved) {
  JsonWriter json;
  json.BeginObject(JsonLayout::kIndented).Key("devices").BeginArray(JsonLayout::kIndented);
  for (const InventoryDevice& device : devices) {
    WriteInventoryDevice(json, device, JsonLayout::kIndented);
  }
  json.End();
  json.Field("format", kInventoryFormat);
  json.Field("saved", LocalTimeText(saved));
  json.Key("version").Number(kInventoryVersion);
  return json.End().Finish();
}

std::string InventorySaveError(const std::string& path, const AtomicWriteFailure& failure) {
  return failure.creating ? "cannot create a file in " + TerminalText(DirectoryOf(path)) + ": " +
                                ErrorText(failure.error)
                          : "cannot save the inventory to " + TerminalText(path) + ": " +
                                ErrorText(failure.error);
}

bool SaveInventory(const std::string& path, const std::vector<InventoryDevice>& devices,
                   int64_t saved, std::string& error) {
  error.clear();
  AtomicWriteFailure failure;
  if (WriteFileAtomically(path, InventoryDocument(devices, saved), kInventoryMode, failure)) {
    return true;
  }
  error = InventorySaveError(path, failure);
  return false;
}

bool LoadInventory(const std::string& path, std::vector<InventoryDevice>& devices,
                   std::string& error) {
  devices.clear();
  error.clear();
  const std::string shown = TerminalText(path);
  QFile file(QFile::decodeName(path.c_str()));
  if (!file.open(QIODevice::ReadOnly)) {
    error = "cannot read the baseline " + shown + ": " + file.errorString().toStdString();
    return false;
  }
  QJsonParseError parse{};
  const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
  if (parse.error != QJsonParseError::NoError) {
    error = "the baseline " + shown + " is not valid JSON: " + parse.errorString().toStdString() +
            " at offset " + std::to_string(parse.offset);
    return false;
  }
  const QJsonObject root = document.object();
  if (root.value("format").toString() != kInventoryFormat) {
    error = "the baseline " + shown + " is not a " + kInventoryFormat + " document";
    return false;
  }
  if (root.value("version").toInt() != kInventoryVersion) {
    error = "the baseline " + shown + " is not of inventory version " +
            std::to_string(kInventoryVersion);
    return false;
  }
  if (!root.value("devices").isArray()) {
    error = "the baseline " + shown + " has no \"devices\" list";
    return false;
  }
  const QJsonArray list = root.value("devices").toArray();
  for (qsizetype i = 0; i < list.size(); ++i) {
    const QJsonObject object = list.at(i).toObject();
    InventoryDevice device;
    for (std::size_t k = 0; k < std::size(kDeviceTexts); ++k) {
      device.*kDeviceTexts[k] = object.value(kInventoryDeviceKeys[k]).toString().toStdString();
    }
    if (device.usn.empty()) {
      error = "the baseline " + shown + " has a device without a usn (number " +
              std::to_string(i + 1) + ")";
      devices.clear();
      return false;
    }
    devices.push_back(std::move(device));
  }
  return true;
}
