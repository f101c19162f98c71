// The simulated devices: their identities (UUID, USN, URLs) and the documents the HTTP
// server hands out. A DeviceSet is built once from the options and not changed afterwards;
// references to its devices stay valid for its lifetime.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sim/sim_options.h"

namespace sim {

struct Device {
  int number = 0;                // from 1
  std::string udn;               // "uuid:..."
  std::string usn;               // udn + "::" + device type
  std::string location;          // description URL
  std::string presentation_url;  // ends in "/"
  std::string host_name;         // verbatim, may hold markup
  std::string friendly_name;
  std::string model_name;
  std::string model_number;
  std::string serial_number;
};

// What an HTTP path resolves to.
struct Document {
  int status = 200;
  std::string content_type;
  std::string body;
  enum class Kind { kDescription, kPage, kBackup, kPing, kIndex, kNotFound } kind;
};

// Pads `text` with the digits 0-9, cycling by position, or cuts it, to exactly `length`
// characters; length 0 leaves it unchanged.
std::string FitLength(std::string text, size_t length);

class DeviceSet {
 public:
  // `address` is the dotted address announced; `http_port` the port of every URL.
  DeviceSet(const SimOptions& options, const std::string& address);

  [[nodiscard]] const std::vector<Device>& Devices() const { return m_devices; }
  // The device whose UDN is `udn`, or nullptr.
  [[nodiscard]] const Device* FindByUdn(std::string_view udn) const;
  // The document for a request path (query already removed); never fails: unknown paths
  // give a 404 document.
  [[nodiscard]] Document Resolve(std::string_view path) const;

  [[nodiscard]] std::string DescriptionXml(const Device& device) const;

 private:
  std::vector<Device> m_devices;
  std::unordered_map<std::string, size_t> m_by_udn;
  std::string m_base_url;  // "http://ADDR:PORT"
};

}  // namespace sim
