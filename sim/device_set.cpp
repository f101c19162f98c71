#include "sim/device_set.h"

#include <arpa/inet.h>

#include <cstdio>

namespace sim {
namespace {

std::string ReplaceNumber(std::string pattern, int number) {
  const std::string mark = "{n}";
  const std::string digits = std::to_string(number);
  for (size_t at = pattern.find(mark); at != std::string::npos;
       at = pattern.find(mark, at + digits.size())) {
    pattern.replace(at, mark.size(), digits);
  }
  return pattern;
}

std::string Html(const std::string& title, const std::string& body) {
  return "<html><head><title>" + title + "</title></head><body>" + body + "</body></html>\n";
}

}  // namespace

std::string FitLength(std::string text, size_t length) {
  if (length == 0) return text;
  while (text.size() < length) text.push_back(static_cast<char>('0' + text.size() % 10));
  text.resize(length);
  return text;
}

DeviceSet::DeviceSet(const SimOptions& options, const std::string& address)
    : m_spread(options.spread), m_config_id(options.config_id) {
  in_addr parsed{};
  inet_pton(AF_INET, address.c_str(), &parsed);
  const unsigned host_order = ntohl(parsed.s_addr);
  m_first = host_order;

  m_devices.reserve(static_cast<size_t>(options.devices));
  for (int n = 1; n <= options.devices; ++n) {
    Device d;
    d.number = n;
    const unsigned serial_number = options.serial_base
                                       ? *options.serial_base + static_cast<unsigned>(n)
                                       : static_cast<unsigned>(n);
    char uuid[64];
    if (options.serial_base) {
      std::snprintf(uuid, sizeof uuid, "uuid:5e71a100-7e5a-4c1d-9b3f-%012x", serial_number);
    } else {
      std::snprintf(uuid, sizeof uuid, "uuid:%08x-7e5a-4c1d-9b3f-%012x", host_order, n);
    }
    d.udn = uuid;
    d.usn = d.udn + "::" + kDeviceType;
    d.address.s_addr = m_spread ? htonl(host_order + static_cast<unsigned>(n - 1)) : parsed.s_addr;
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &d.address, dotted, sizeof dotted);
    const std::string prefix = std::string("http://") + dotted + ":" +
                               std::to_string(options.http_port) + kDevicePrefix +
                               std::to_string(n) + "/";
    d.location = prefix + kDescriptionName;
    d.presentation_url = prefix;
    const std::string host = ReplaceNumber(options.host_name, n);
    d.host_name = FitLength(host, options.text_length);
    d.friendly_name = FitLength("Indicator " + host, options.text_length);
    d.model_name = FitLength(kModelName, options.text_length);
    d.model_number = FitLength(kModelNumber, options.text_length);
    char serial[32];
    std::snprintf(serial, sizeof serial, "SIM%06u", serial_number);
    d.serial_number = FitLength(serial, options.text_length);
    m_by_udn.emplace(d.udn, m_devices.size());
    m_devices.push_back(std::move(d));
  }
}

const Device* DeviceSet::FindByUdn(std::string_view udn) const {
  auto it = m_by_udn.find(std::string(udn));
  return it == m_by_udn.end() ? nullptr : &m_devices[it->second];
}

const Device* DeviceSet::FindByAddress(in_addr address) const {
  if (!m_spread) return nullptr;
  const uint64_t offset = static_cast<uint64_t>(ntohl(address.s_addr)) - m_first;
  return offset < m_devices.size() ? &m_devices[offset] : nullptr;
}

std::string DeviceSet::DescriptionXml(const Device& d) const {
  const std::string config =
      m_config_id ? " configId=\"" + std::to_string(*m_config_id) + "\"" : std::string();
  // Texts go in verbatim: markup in a host name is one of the faults a test may ask for.
  return std::string("<?xml version=\"1.0\"?>\n") +
         "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"" + config + ">\n<device>\n<deviceType>" +
         kDeviceType + "</deviceType>\n<friendlyName>" + d.friendly_name +
         "</friendlyName>\n<manufacturer>" + kManufacturer +
         "</manufacturer>\n<modelDescription>Indicator \"" + d.host_name +
         "\"</modelDescription>\n<modelName>" + d.model_name + "</modelName>\n<modelNumber>" +
         d.model_number + "</modelNumber>\n<serialNumber>" + d.serial_number +
         "</serialNumber>\n<UDN>" + d.udn + "</UDN>\n<presentationURL>" + d.presentation_url +
         "</presentationURL>\n</device>\n</root>\n";
}

int DeviceSet::DeviceNumber(std::string_view path) const {
  const std::string_view prefix = kDevicePrefix;
  if (path.substr(0, prefix.size()) != prefix) return 0;
  std::string_view rest = path.substr(prefix.size());
  size_t slash = rest.find('/');
  int number = 0;
  bool digits = slash != std::string_view::npos && slash > 0 && slash < 6;
  for (size_t i = 0; digits && i < slash; ++i) {
    if (rest[i] < '0' || rest[i] > '9')
      digits = false;
    else
      number = number * 10 + (rest[i] - '0');
  }
  return digits && number >= 1 && static_cast<size_t>(number) <= m_devices.size() ? number : 0;
}

Document DeviceSet::Resolve(std::string_view path) const {
  const std::string html = "text/html; charset=utf-8";
  if (path == kPingPath) {
    return {200, html, Html("ping", "<p>OK</p>"), Document::Kind::kPing};
  }
  if (path == "/") {
    std::string list = "<h1>Simulated indicators</h1><ul>";
    for (const Device& d : m_devices) {
      list += "<li><a href=\"" + d.presentation_url + "\">" + d.host_name + "</a></li>";
    }
    return {200, html, Html("tarovue-sim", list + "</ul>"), Document::Kind::kIndex};
  }
  if (const int number = DeviceNumber(path); number != 0) {
    const Device& d = m_devices[static_cast<size_t>(number) - 1];
    const std::string_view leaf =
        path.substr(path.find('/', std::string_view(kDevicePrefix).size()) + 1);
    if (leaf == kDescriptionName) {
      return {200, "text/xml; charset=\"utf-8\"", DescriptionXml(d), Document::Kind::kDescription};
    }
    if (leaf.empty()) {
      return {200, html,
              Html(d.friendly_name, "<h1>" + d.friendly_name + "</h1><p>Model " + d.model_name +
                                        ", serial number " + d.serial_number +
                                        "</p><p>Gross 0.00 kg</p><p><a href=\"" + kBackupName +
                                        "\">Backup</a></p>"),
              Document::Kind::kPage};
    }
    if (leaf == kBackupName) {
      return {200, html,
              Html("Backup " + d.host_name, "<h1>Backup of " + d.host_name +
                                                "</h1><p>Settings of serial number " +
                                                d.serial_number + " saved.</p>"),
              Document::Kind::kBackup};
    }
  }
  return {404, html, Html("Not found", "<p>Not found</p>"), Document::Kind::kNotFound};
}

}  // namespace sim
