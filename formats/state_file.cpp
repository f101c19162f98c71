#include "formats/state_file.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <cstdint>

#include "formats/device_report.h"
#include "formats/json_writer.h"
#include "formats/time_text.h"
#include "platform/dotted_address.h"

namespace {

// The texts of a device as the document names them: those that tell it apart, then what the
// table knows of it.
constexpr DeviceTextKey kStateTexts[] = {{"status", &DeviceSnapshot::status},
                                         {"boot_id", &DeviceSnapshot::boot_id},
                                         {"config_id", &DeviceSnapshot::config_id},
                                         {"location", &DeviceSnapshot::location}};

std::string Text(const QJsonObject& object, const char* key) {
  return object.value(key).toString().toStdString();
}

// JSON numbers are read as doubles: whole seconds stay exact up to here.
constexpr int64_t kMaxExactSeconds = int64_t{1} << 53;

// A count or a time from the document, within [0, max]: a hostile or damaged file must not
// make a conversion overflow.
int64_t Number(const QJsonObject& object, const char* key, int64_t max) {
  const double value = object.value(key).toDouble();
  if (!(value > 0)) return 0;  // NaN too
  return value >= static_cast<double>(max) ? max : static_cast<int64_t>(value);
}

}  // namespace

std::string StateDocument(const std::vector<DeviceSnapshot>& devices, int64_t saved) {
  JsonWriter json;
  json.BeginObject(JsonLayout::kIndented).Key("devices").BeginArray(JsonLayout::kLines);
  for (const DeviceSnapshot& d : devices) {
    json.BeginObject();
    for (const DeviceTextKey& text : kDeviceTextKeys) json.Field(text.key, d.*text.text);
    for (const DeviceTextKey& text : kStateTexts) json.Field(text.key, d.*text.text);
    json.Key("valid_until").Number(d.valid_until);
    json.Key("first_seen").Number(d.first_seen);
    json.Key("last_seen").Number(d.last_seen);
    json.Key("reboots").Number(d.reboots);
    json.End();
  }
  json.End().Field("format", kStateFormat).Field("saved", LocalTimeText(saved));
  json.Key("version").Number(kStateVersion);
  return json.End().Finish();
}

bool ReadStateDocument(std::string_view bytes, std::vector<DeviceSnapshot>& devices,
                       std::string& error) {
  devices.clear();
  error.clear();
  QJsonParseError parse{};
  const QJsonDocument document = QJsonDocument::fromJson(
      QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())), &parse);
  if (parse.error != QJsonParseError::NoError) {
    error = "not valid JSON: " + parse.errorString().toStdString() + " at offset " +
            std::to_string(parse.offset);
    return false;
  }
  const QJsonObject root = document.object();
  if (root.value("format").toString() != kStateFormat ||
      root.value("version").toInt() != kStateVersion || !root.value("devices").isArray()) {
    error = std::string("not a ") + kStateFormat + " document of version " +
            std::to_string(kStateVersion);
    return false;
  }
  const QJsonArray list = root.value("devices").toArray();
  devices.reserve(static_cast<std::size_t>(list.size()));
  for (qsizetype i = 0; i < list.size(); ++i) {
    const QJsonObject object = list.at(i).toObject();
    DeviceSnapshot d;
    for (const DeviceTextKey& text : kDeviceTextKeys) d.*text.text = Text(object, text.key);
    for (const DeviceTextKey& text : kStateTexts) d.*text.text = Text(object, text.key);
    if (d.usn.empty() || !ParseDottedAddress(d.address_text.c_str(), d.address)) {
      error = "device number " + std::to_string(i + 1) + " has no usn or no dotted address";
      devices.clear();
      return false;
    }
    d.valid_until = static_cast<int32_t>(Number(object, "valid_until", INT32_MAX));
    d.first_seen = Number(object, "first_seen", kMaxExactSeconds);
    d.last_seen = Number(object, "last_seen", kMaxExactSeconds);
    d.reboots = static_cast<uint32_t>(Number(object, "reboots", UINT32_MAX));
    d.fetch = "cached";
    devices.push_back(std::move(d));
  }
  return true;
}
