// Feeds arbitrary bytes to the web configuration loader as a file's text: any input gives a
// configuration or one error line, never a crash, and a configuration it accepts holds only
// what the server may use as it is (bcrypt hashes, allowed headers without control
// characters, a certificate and a key whenever TLS is on, paths joined to the base).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/basic_auth.h"
#include "agent/web_config.h"

namespace {

constexpr char kName[] = "fuzz.yml";
constexpr char kBase[] = "/etc/tarovue";

void Check(bool condition) {
  if (!condition) std::abort();
}

bool OneLineMessage(const std::string& text) {
  return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

// HTTP lets a field value hold tabs, not other control characters.
bool HeaderValueOk(const std::string& value) {
  return !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
  });
}

bool JoinedOrEmpty(const std::string& path) {
  return path.empty() || path.front() == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  WebConfig config;
  config.users.emplace("stale", "left from an earlier call");
  std::string error = "stale";
  if (!ParseWebConfig(text, kBase, kName, &config, &error)) {
    Check(OneLineMessage(error));
    Check(std::string_view(error).starts_with(kName));
    Check(config.users.empty() && config.headers.empty() && !config.tls.enabled);
    return 0;
  }
  Check(error.empty());
  for (const auto& [name, hash] : config.users) {
    Check(IsBcryptHash(hash));
    Check(name.find(':') == std::string::npos);
  }
  for (const auto& [name, value] : config.headers) {
    Check(HeaderValueOk(value));
    Check(name == "Strict-Transport-Security" || name == "X-Content-Type-Options" ||
          name == "X-Frame-Options" || name == "X-XSS-Protection" ||
          name == "Content-Security-Policy");
  }
  for (const std::string& warning : config.warnings) Check(OneLineMessage(warning));
  const WebTlsConfig& tls = config.tls;
  if (tls.enabled) {
    Check(!tls.cert_file.empty() || !tls.cert_pem.empty());
    Check(!tls.key_file.empty() || !tls.key_pem.empty());
    Check(tls.min_version <= tls.max_version);
  } else {
    Check(tls.cert_file.empty() && tls.key_file.empty() && tls.client_ca_file.empty());
  }
  Check(JoinedOrEmpty(tls.cert_file) && JoinedOrEmpty(tls.key_file) &&
        JoinedOrEmpty(tls.client_ca_file));
  return 0;
}
