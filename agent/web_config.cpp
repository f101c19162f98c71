#include "agent/web_config.h"

#include <sys/stat.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "agent/basic_auth.h"
#include "platform/error_text.h"

namespace {

using namespace std::string_literals;

// The toolkit's TLS 1.2 suite names (Go's, which are IANA's) and OpenSSL's for the same.
struct CipherName {
  std::string_view toolkit;
  std::string_view openssl;
};
constexpr CipherName kCiphers[] = {
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA-AES256-GCM-SHA384"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA-AES256-GCM-SHA384"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA-CHACHA20-POLY1305"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", "ECDHE-ECDSA-AES128-SHA"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", "ECDHE-ECDSA-AES256-SHA"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", "ECDHE-RSA-AES128-SHA"},
    {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", "ECDHE-RSA-AES256-SHA"},
    {"TLS_RSA_WITH_AES_128_GCM_SHA256", "AES128-GCM-SHA256"},
    {"TLS_RSA_WITH_AES_256_GCM_SHA384", "AES256-GCM-SHA384"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA", "AES128-SHA"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", "AES256-SHA"},
};
// TLS 1.3 suites are accepted and left to the library, as the toolkit does: they are not
// configurable there either.
constexpr std::string_view kTls13Ciphers[] = {"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384",
                                              "TLS_CHACHA20_POLY1305_SHA256"};

struct CurveName {
  std::string_view toolkit;
  std::string_view openssl;
};
constexpr CurveName kCurves[] = {
    {"CurveP256", "prime256v1"},
    {"CurveP384", "secp384r1"},
    {"CurveP521", "secp521r1"},
    {"X25519", "X25519"},
};

struct ClientAuthName {
  std::string_view toolkit;
  ClientAuth value;
};
constexpr ClientAuthName kClientAuths[] = {
    {"NoClientCert", ClientAuth::kNone},
    {"RequestClientCert", ClientAuth::kRequest},
    {"RequireAnyClientCert", ClientAuth::kRequireAny},
    {"RequireClientCert", ClientAuth::kRequireAny},
    {"VerifyClientCertIfGiven", ClientAuth::kVerifyIfGiven},
    {"RequireAndVerifyClientCert", ClientAuth::kRequireAndVerify},
};

// The toolkit's response headers that a file may set, and the values it allows (none listed:
// any value).
struct HeaderRule {
  std::string_view name;
  std::vector<std::string_view> values;
};
const HeaderRule kHeaderRules[] = {
    {"Strict-Transport-Security", {}},
    {"X-Content-Type-Options", {"nosniff"}},
    {"X-Frame-Options", {"deny", "sameorigin"}},
    {"X-XSS-Protection", {}},
    {"Content-Security-Policy", {}},
};

constexpr char kHashHint[] = "make one with: htpasswd -nBC 10 \"\" | tr -d ':\\n'";

// Costs above this are warned about at load: each step doubles the work of a login.
constexpr int kUsualMaxBcryptCost = 12;
constexpr std::int64_t kMaxRateLimitBurst = 1'000'000;

// A Go duration ("300ms", "1.5h", "1m30s", "0"), or a plain whole number of nanoseconds as the
// toolkit's YAML reader takes one. True with `*ns` set (negative allowed); false for anything
// else or a value beyond int64 nanoseconds.
bool ParseGoDuration(std::string_view text, std::int64_t* ns) {
  *ns = 0;
  if (!text.empty() &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *ns);
    return error == std::errc() && end == text.data() + text.size();
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text == "0") return true;
  if (text.empty()) return false;
  struct Unit {
    std::string_view name;
    double ns;
  };
  // Longest names first, so that "ms" is not read as "m".
  constexpr Unit kUnits[] = {{"ns", 1},   {"us", 1e3}, {"\xC2\xB5s", 1e3}, {"\xCE\xBCs", 1e3},
                             {"ms", 1e6}, {"s", 1e9},  {"m", 60e9},        {"h", 3600e9}};
  double total = 0;
  while (!text.empty()) {
    std::size_t digits = 0;
    while (digits < text.size() &&
           ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.')) {
      ++digits;
    }
    const std::string number(text.substr(0, digits));
    if (number.empty() || number == "." || std::count(number.begin(), number.end(), '.') > 1) {
      return false;
    }
    text.remove_prefix(digits);
    const Unit* unit = std::find_if(std::begin(kUnits), std::end(kUnits),
                                    [&](const Unit& u) { return text.starts_with(u.name); });
    if (unit == std::end(kUnits)) return false;
    text.remove_prefix(unit->name.size());
    total += std::strtod(number.c_str(), nullptr) * unit->ns;
  }
  if (total > 9.2e18) return false;
  *ns = static_cast<std::int64_t>(negative ? -total : total);
  return true;
}

std::string Quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted.push_back('"');
  quoted.append(text);
  quoted.push_back('"');
  return quoted;
}

std::string JoinDir(const std::string& dir, const std::string& path) {
  if (path.empty() || dir.empty() || path.front() == '/') return path;
  return (std::filesystem::path(dir) / path).lexically_normal().string();
}

// Reads one document into a WebConfig, stopping at the first fault.
class Reader {
 public:
  Reader(const std::string& name, const std::string& base_dir, WebConfig* config)
      : m_name(name), m_base_dir(base_dir), m_config(config) {}

  bool Read(const YAML::Node& root);
  [[nodiscard]] const std::string& Error() const { return m_error; }

 private:
  using KeyHandler =
      std::function<bool(const std::string& key, const YAML::Node& key_node, const YAML::Node&)>;

  std::string Where(const YAML::Node& node) const {
    const YAML::Mark mark = node.Mark();
    if (mark.is_null()) return m_name + ": ";
    return m_name + ":" + std::to_string(mark.line + 1) + ": ";
  }
  bool Fail(const YAML::Node& at, const std::string& reason) {
    m_error = Where(at) + reason;
    return false;
  }
  void Warn(const YAML::Node& at, const std::string& text) {
    m_config->warnings.push_back(Where(at) + text);
  }

  bool ForEachKey(const YAML::Node& node, const std::string& section, const KeyHandler& handle);
  bool Scalar(const YAML::Node& node, const std::string& key, std::string* out);
  bool Bool(const YAML::Node& node, const std::string& key, bool* out);
  bool Strings(const YAML::Node& node, const std::string& key, std::vector<std::string>* out);
  bool Version(const YAML::Node& node, const std::string& key, bool is_max, TlsVersion* out);

  bool ReadTls(const YAML::Node& node);
  bool CheckTls(const YAML::Node& node);
  bool ReadHttp(const YAML::Node& node);
  bool ReadHeaders(const YAML::Node& node);
  bool ReadUsers(const YAML::Node& key_node, const YAML::Node& node);
  bool ReadRateLimit(const YAML::Node& node);

  const std::string& m_name;
  const std::string& m_base_dir;
  WebConfig* m_config;
  std::string m_error;
  // Keys of tls_server_config seen, for the checks across them.
  std::set<std::string> m_tls_keys;
};

bool Reader::ForEachKey(const YAML::Node& node, const std::string& section,
                        const KeyHandler& handle) {
  if (node.IsNull()) return true;
  if (!node.IsMap()) {
    return Fail(node, section.empty() ? "expected a mapping of settings"
                                      : section + ": expected a mapping");
  }
  std::set<std::string> seen;
  for (const auto& entry : node) {
    if (!entry.first.IsScalar()) return Fail(entry.first, "expected a plain key");
    const std::string key = entry.first.Scalar();
    const std::string path = section.empty() ? key : section + "." + key;
    if (!seen.insert(key).second) return Fail(entry.first, "duplicate key " + Quoted(path));
    if (!handle(key, entry.first, entry.second)) return false;
  }
  return true;
}

bool Reader::Scalar(const YAML::Node& node, const std::string& key, std::string* out) {
  if (node.IsNull()) {
    out->clear();
    return true;
  }
  if (!node.IsScalar()) return Fail(node, key + ": expected a string");
  *out = node.Scalar();
  return true;
}

bool Reader::Bool(const YAML::Node& node, const std::string& key, bool* out) {
  if (!node.IsScalar() || !YAML::convert<bool>::decode(node, *out)) {
    return Fail(node, key + ": expected true or false");
  }
  return true;
}

bool Reader::Strings(const YAML::Node& node, const std::string& key,
                     std::vector<std::string>* out) {
  out->clear();
  if (node.IsNull()) return true;
  if (!node.IsSequence()) return Fail(node, key + ": expected a list");
  for (const auto& item : node) {
    if (!item.IsScalar()) return Fail(item, key + ": expected a list of strings");
    out->push_back(item.Scalar());
  }
  return true;
}

bool Reader::Version(const YAML::Node& node, const std::string& key, bool is_max, TlsVersion* out) {
  std::string text;
  if (!Scalar(node, key, &text)) return false;
  if (text == "TLS12") {
    *out = TlsVersion::kTls12;
  } else if (text == "TLS13") {
    *out = TlsVersion::kTls13;
  } else if (text == "TLS10" || text == "TLS11") {
    if (is_max) return Fail(node, key + " " + text + ": only TLS 1.2 and 1.3 are spoken here");
    // Stricter than asked, never looser: old clients are refused.
    Warn(node, key + " " + text + " is raised to TLS12, the oldest version spoken here");
    *out = TlsVersion::kTls12;
  } else {
    return Fail(node, "unknown TLS version " + Quoted(text) + " in " + key);
  }
  return true;
}

bool Reader::Read(const YAML::Node& root) {
  return ForEachKey(
      root, "",
      [this](const std::string& key, const YAML::Node& key_node, const YAML::Node& value) {
        if (key == "tls_server_config") return ReadTls(value) && CheckTls(key_node);
        if (key == "http_server_config") return ReadHttp(value);
        if (key == "basic_auth_users") return ReadUsers(key_node, value);
        if (key == "rate_limit") return ReadRateLimit(value);
        return Fail(key_node, "unknown key " + Quoted(key));
      });
}

bool Reader::ReadTls(const YAML::Node& node) {
  WebTlsConfig& tls = m_config->tls;
  return ForEachKey(
      node, "tls_server_config",
      [&](const std::string& key, const YAML::Node& key_node, const YAML::Node& value) {
        m_tls_keys.insert(key);
        if (key == "cert_file" || key == "key_file" || key == "client_ca_file") {
          std::string path;
          if (!Scalar(value, key, &path)) return false;
          path = JoinDir(m_base_dir, path);
          (key == "cert_file"  ? tls.cert_file
           : key == "key_file" ? tls.key_file
                               : tls.client_ca_file) = path;
          return true;
        }
        if (key == "cert") return Scalar(value, key, &tls.cert_pem);
        if (key == "key") return Scalar(value, key, &tls.key_pem);
        if (key == "client_ca") return Scalar(value, key, &tls.client_ca_pem);
        if (key == "client_auth_type") {
          std::string text;
          if (!Scalar(value, key, &text)) return false;
          if (text.empty()) return true;
          const auto* found =
              std::find_if(std::begin(kClientAuths), std::end(kClientAuths),
                           [&](const ClientAuthName& n) { return n.toolkit == text; });
          if (found == std::end(kClientAuths)) {
            return Fail(value, "invalid client_auth_type " + Quoted(text) +
                                   " (NoClientCert, RequestClientCert, RequireAnyClientCert, "
                                   "VerifyClientCertIfGiven or RequireAndVerifyClientCert)");
          }
          tls.client_auth = found->value;
          tls.enabled = true;
          return true;
        }
        if (key == "min_version") return Version(value, key, false, &tls.min_version);
        if (key == "max_version") return Version(value, key, true, &tls.max_version);
        if (key == "prefer_server_cipher_suites") {
          return Bool(value, key, &tls.prefer_server_cipher_suites);
        }
        if (key == "client_allowed_sans") return Strings(value, key, &tls.client_allowed_sans);
        if (key == "cipher_suites") {
          std::vector<std::string> names;
          if (!Strings(value, key, &names)) return false;
          tls.cipher_suites.clear();
          for (const std::string& name : names) {
            if (std::find(std::begin(kTls13Ciphers), std::end(kTls13Ciphers), name) !=
                std::end(kTls13Ciphers)) {
              continue;
            }
            const auto* found =
                std::find_if(std::begin(kCiphers), std::end(kCiphers),
                             [&](const CipherName& c) { return c.toolkit == name; });
            if (found == std::end(kCiphers)) return Fail(value, "unknown cipher " + Quoted(name));
            tls.cipher_suites.emplace_back(found->openssl);
          }
          return true;
        }
        if (key == "curve_preferences") {
          std::vector<std::string> names;
          if (!Strings(value, key, &names)) return false;
          tls.curve_preferences.clear();
          for (const std::string& name : names) {
            const auto* found = std::find_if(std::begin(kCurves), std::end(kCurves),
                                             [&](const CurveName& c) { return c.toolkit == name; });
            if (found == std::end(kCurves)) return Fail(value, "unknown curve " + Quoted(name));
            tls.curve_preferences.emplace_back(found->openssl);
          }
          return true;
        }
        return Fail(key_node, "unknown key " + Quoted(key) + " in tls_server_config");
      });
}

bool Reader::CheckTls(const YAML::Node& node) {
  WebTlsConfig& tls = m_config->tls;
  const bool has_cert = !tls.cert_file.empty() || !tls.cert_pem.empty();
  const bool has_key = !tls.key_file.empty() || !tls.key_pem.empty();
  const bool has_ca = !tls.client_ca_file.empty() || !tls.client_ca_pem.empty();
  tls.enabled = tls.enabled || has_cert || has_key || has_ca;
  if (!tls.enabled) return true;
  if (!has_cert) return Fail(node, "tls_server_config: missing one of cert or cert_file");
  if (!has_key) return Fail(node, "tls_server_config: missing one of key or key_file");
  if (has_ca && tls.client_auth == ClientAuth::kNone) {
    return Fail(node, "tls_server_config: a client CA is set but client_auth_type is NoClientCert");
  }
  if (!has_ca && tls.client_auth == ClientAuth::kRequireAndVerify) {
    // The library would fall back on the system's CAs: any publicly issued certificate.
    return Fail(node,
                "tls_server_config: RequireAndVerifyClientCert needs client_ca_file or client_ca");
  }
  // The toolkit takes a list of names under any policy. Without a certificate asked for there
  // is nothing to check; in one nobody verified, the names prove little: both are said.
  if (!tls.client_allowed_sans.empty() && tls.client_auth == ClientAuth::kNone) {
    Warn(node,
         "tls_server_config: client_allowed_sans is not checked: NoClientCert asks for no "
         "certificate");
    tls.client_allowed_sans.clear();
  } else if (!tls.client_allowed_sans.empty() && tls.client_auth != ClientAuth::kVerifyIfGiven &&
             tls.client_auth != ClientAuth::kRequireAndVerify) {
    Warn(node,
         "tls_server_config: client_allowed_sans is checked in certificates nobody verified; "
         "anyone can make one with those names (RequireAndVerifyClientCert verifies them)");
  }
  if (tls.max_version < tls.min_version) {
    return Fail(node, "tls_server_config: max_version is older than min_version");
  }
  const std::pair<const char*, const char*> both[] = {
      {"cert_file", "cert"}, {"key_file", "key"}, {"client_ca_file", "client_ca"}};
  for (const auto& [file, inline_text] : both) {
    if (m_tls_keys.count(file) && m_tls_keys.count(inline_text)) {
      Warn(node, "tls_server_config: both "s + file + " and " + inline_text + " are set; " + file +
                     " is used");
    }
  }
  return true;
}

bool Reader::ReadHttp(const YAML::Node& node) {
  return ForEachKey(
      node, "http_server_config",
      [&](const std::string& key, const YAML::Node& key_node, const YAML::Node& value) {
        if (key == "http2") {
          // HTTP/1.1 is all that is served; the setting only has to be well-formed.
          bool ignored = true;
          return Bool(value, key, &ignored);
        }
        if (key == "headers") return ReadHeaders(value);
        return Fail(key_node, "unknown key " + Quoted(key) + " in http_server_config");
      });
}

bool Reader::ReadHeaders(const YAML::Node& node) {
  return ForEachKey(
      node, "http_server_config.headers",
      [&](const std::string& key, const YAML::Node& key_node, const YAML::Node& value) {
        const auto* rule = std::find_if(std::begin(kHeaderRules), std::end(kHeaderRules),
                                        [&](const HeaderRule& r) { return r.name == key; });
        if (rule == std::end(kHeaderRules)) {
          return Fail(key_node, "HTTP header " + Quoted(key) + " can not be configured");
        }
        std::string text;
        if (!Scalar(value, key, &text)) return false;
        if (text.empty()) return true;
        if (std::any_of(text.begin(), text.end(),
                        [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; })) {
          return Fail(value, "HTTP header " + Quoted(key) + ": a control character in the value");
        }
        if (!rule->values.empty() &&
            std::find(rule->values.begin(), rule->values.end(), text) == rule->values.end()) {
          std::string allowed;
          for (const std::string_view v : rule->values) {
            allowed += (allowed.empty() ? "" : " or ") + Quoted(v);
          }
          return Fail(value, "invalid value for " + key + ": " + Quoted(text) + " (expected " +
                                 allowed + ")");
        }
        m_config->headers.emplace_back(key, text);
        return true;
      });
}

bool Reader::ReadUsers(const YAML::Node& key_node, const YAML::Node& node) {
  if (node.IsNull() || (node.IsMap() && node.size() == 0)) {
    Warn(key_node, "basic_auth_users is empty: no password is asked for");
    return true;
  }
  return ForEachKey(
      node, "basic_auth_users",
      [&](const std::string& name, const YAML::Node& key_node, const YAML::Node& value) {
        if (name.find(':') != std::string::npos) {
          return Fail(key_node, "user " + Quoted(name) + ": a name with ':' cannot log in");
        }
        std::string hash;
        if (!value.IsNull() && !Scalar(value, "user " + Quoted(name), &hash)) return false;
        if (!IsBcryptHash(hash)) {
          return Fail(
              value.IsNull() ? key_node : value,
              "user " + Quoted(name) + ": the password is not a bcrypt hash (" + kHashHint + ")");
        }
        const int cost = BcryptCost(hash);
        if (cost > kUsualMaxBcryptCost) {
          Warn(value, "user " + Quoted(name) + ": bcrypt cost " + std::to_string(cost) +
                          " makes every new login cost the agent " +
                          std::to_string(1 << (cost - kUsualMaxBcryptCost)) + " times what cost " +
                          std::to_string(kUsualMaxBcryptCost) +
                          " does, for anyone who tries a password (10 to 12 is usual)");
        }
        m_config->users.emplace(name, hash);
        return true;
      });
}

bool Reader::ReadRateLimit(const YAML::Node& node) {
  WebRateLimit& limit = m_config->rate_limit;
  bool burst_given = false;
  const bool ok = ForEachKey(
      node, "rate_limit",
      [&](const std::string& key, const YAML::Node& key_node, const YAML::Node& value) {
        std::string text;
        if (key != "interval" && key != "burst") {
          return Fail(key_node, "unknown key " + Quoted(key) + " in rate_limit");
        }
        if (!Scalar(value, key, &text)) return false;
        if (key == "interval") {
          std::int64_t ns = 0;
          if (!ParseGoDuration(text, &ns)) {
            return Fail(value, "rate_limit.interval: " + Quoted(text) +
                                   " is no duration (\"1s\", \"500ms\", \"1m30s\")");
          }
          // Rounded up to our clock's milliseconds: never looser than asked.
          limit.interval_ms = ns <= 0 ? 0 : (ns + 999'999) / 1'000'000;
          return true;
        }
        std::int64_t burst = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), burst);
        if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
          return Fail(value, "rate_limit.burst: expected a whole number");
        }
        limit.burst = static_cast<int>(std::clamp<std::int64_t>(burst, 0, kMaxRateLimitBurst));
        burst_given = true;
        return true;
      });
  if (!ok) return false;
  if (limit.interval_ms > 0 && limit.burst < 1) {
    // The toolkit's limiter would then refuse every request, which no one means.
    Warn(node, std::string("rate_limit.burst ") + (burst_given ? "below 1" : "missing") +
                   " would refuse every request; 1 is used");
    limit.burst = 1;
  }
  return true;
}

// Where each document of a YAML text starts; nothing else is kept.
class DocumentStarts final : public YAML::EventHandler {
 public:
  std::vector<YAML::Mark> marks;

  void OnDocumentStart(const YAML::Mark& mark) override { marks.push_back(mark); }
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
  void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
  void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                const std::string&) override {}
  void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                       YAML::EmitterStyle::value) override {}
  void OnSequenceEnd() override {}
  void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {}
  void OnMapEnd() override {}
};

}  // namespace

bool ParseWebConfig(std::string_view text, const std::string& base_dir, const std::string& name,
                    WebConfig* config, std::string* error) {
  *config = WebConfig{};
  error->clear();
  Reader reader(name, base_dir, config);
  bool ok = false;
  try {
    // yaml-cpp's LoadAll never returns on some malformed texts: past the first document it
    // yields empty ones without reading on. Two are all it takes to know there is a second.
    std::istringstream in{std::string(text)};
    YAML::Parser parser(in);
    DocumentStarts starts;
    while (starts.marks.size() < 2 && parser.HandleNextDocument(starts)) {
    }
    if (starts.marks.size() > 1) {
      // The toolkit reads the first and ignores the rest: a second one is a mistake either way.
      const YAML::Mark mark = starts.marks[1];
      *error = name + (mark.is_null() ? "" : ":" + std::to_string(mark.line + 1)) +
               ": a second YAML document; a web configuration is one";
    } else {
      ok = reader.Read(YAML::Load(std::string(text)));
      if (!ok) *error = reader.Error();
    }
  } catch (const YAML::Exception& e) {
    *error = name + (e.mark.is_null() ? "" : ":" + std::to_string(e.mark.line + 1)) +
             ": not YAML: " + e.msg;
  }
  if (ok && !config->users.empty() && !config->tls.enabled) {
    config->warnings.push_back(name +
                               ": basic_auth_users without tls_server_config: passwords cross "
                               "the network in clear text");
  }
  *error = OneLine(*error);
  for (std::string& warning : config->warnings) warning = OneLine(warning);
  if (!ok) *config = WebConfig{};
  return ok;
}

bool LoadWebConfigFile(const std::string& path, WebConfig* config, std::string* error) {
  *config = WebConfig{};
  error->clear();
  // Stamped before reading: a change while we read shows as a change afterwards.
  FileStamp stamp = StampFile(path);
  std::string text;
  if (!ReadConfigFile(path, &text, error)) {
    *error = OneLine(*error);
    config->files = {std::move(stamp)};
    return false;
  }
  const std::string base_dir = std::filesystem::path(path).parent_path().string();
  const bool ok = ParseWebConfig(text, base_dir, path, config, error);
  config->files = {std::move(stamp)};
  for (const std::string* file :
       {&config->tls.cert_file, &config->tls.key_file, &config->tls.client_ca_file}) {
    if (!file->empty()) config->files.push_back(StampFile(*file));
  }
  return ok;
}

bool ReadConfigFile(const std::string& path, std::string* text, std::string* error) {
  text->clear();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = path + ": cannot read: " + ErrorText(errno);
    return false;
  }
  char buffer[8192];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text->append(buffer, n);
    if (static_cast<std::int64_t>(text->size()) > kMaxConfigFileBytes) break;
  }
  const bool failed = std::ferror(file) != 0;
  const int saved = errno;
  std::fclose(file);
  if (failed) {
    *error = path + ": cannot read: " + ErrorText(saved);
    return false;
  }
  if (static_cast<std::int64_t>(text->size()) > kMaxConfigFileBytes) {
    *error = path + ": larger than " + std::to_string(kMaxConfigFileBytes / 1024) + " KiB";
    return false;
  }
  return true;
}

std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

FileStamp StampFile(const std::string& path) {
  FileStamp stamp;
  stamp.path = path;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return stamp;
  stamp.exists = true;
  stamp.device = static_cast<std::uint64_t>(info.st_dev);
  stamp.inode = static_cast<std::uint64_t>(info.st_ino);
  stamp.size = static_cast<std::int64_t>(info.st_size);
  stamp.mtime_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 +
                   static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  return stamp;
}

bool WebConfigFilesChanged(const std::vector<FileStamp>& files) {
  return std::any_of(files.begin(), files.end(),
                     [](const FileStamp& stamp) { return StampFile(stamp.path) != stamp; });
}
