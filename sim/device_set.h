// The simulated devices: their identities (UUID, USN, URLs) and the documents the HTTP
// server hands out. A DeviceSet is built once from the options; only its config id changes
// afterwards (SIGHUP). References to its devices stay valid for its lifetime.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sim/sim_options.h"

namespace sim {

struct Device {
  int number = 0;                // from 1
  in_addr address{};             // where it answers from and serves HTTP
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
  // `address` is the dotted address announced (with options.spread, the first device's;
  // device i then lives on address + i - 1); options.http_port is the port of every URL.
  DeviceSet(const SimOptions& options, const std::string& address);

  [[nodiscard]] const std::vector<Device>& Devices() const { return m_devices; }
  // The device whose UDN is `udn`, or nullptr.
  [[nodiscard]] const Device* FindByUdn(std::string_view udn) const;
  // The device living on `address` (network order) with --spread, or nullptr; always nullptr
  // without --spread, where every device shares one address.
  [[nodiscard]] const Device* FindByAddress(in_addr address) const;
  // The device number in a "/dev/N/..." path, or 0 when the path names no device.
  [[nodiscard]] int DeviceNumber(std::string_view path) const;
  // The document for a request path (query already removed); never fails: unknown paths
  // give a 404 document.
  [[nodiscard]] Document Resolve(std::string_view path) const;

  [[nodiscard]] std::string DescriptionXml(const Device& device) const;

  // The config id put into descriptions as configId="N" (none when unset).
  void SetConfigId(std::optional<uint32_t> config_id) { m_config_id = config_id; }

 private:
  std::vector<Device> m_devices;
  std::unordered_map<std::string, size_t> m_by_udn;
  bool m_spread = false;
  uint32_t m_first = 0;  // the first device's address, host order
  std::optional<uint32_t> m_config_id;
};

}  // namespace sim
