// The agent's web configuration file (--web-config), in the Prometheus exporter toolkit's
// format so that an operator's existing file works unchanged: TLS settings, extra response
// headers, basic-auth users and a rate limit. Loading is pure (YAML text in, plain struct out);
// turning the TLS part into a Qt configuration lives in web_tls.h. Results own all their strings.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The toolkit's client_auth_type values, in its order of strictness.
enum class ClientAuth {
  kNone,              // NoClientCert (the default)
  kRequest,           // RequestClientCert: asked for, neither required nor verified
  kRequireAny,        // RequireAnyClientCert (or RequireClientCert): required, not verified
  kVerifyIfGiven,     // VerifyClientCertIfGiven
  kRequireAndVerify,  // RequireAndVerifyClientCert
};

enum class TlsVersion { kTls12, kTls13 };

// Largest web configuration, certificate, key or CA file read, in bytes: a configuration is a
// few hundred, a CA bundle a few hundred thousand.
inline constexpr std::int64_t kMaxConfigFileBytes = 1024 * 1024;

// What a file looked like when it was read; equal stamps mean "unchanged".
struct FileStamp {
  std::string path;
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

struct WebTlsConfig {
  // Paths are absolute or relative to the working directory: relative ones in the file were
  // joined to the file's directory at load. An inline PEM text is used only when its
  // file is not given, as the toolkit does.
  std::string cert_file;
  std::string key_file;
  std::string client_ca_file;
  std::string cert_pem;
  std::string key_pem;
  std::string client_ca_pem;
  ClientAuth client_auth = ClientAuth::kNone;
  TlsVersion min_version = TlsVersion::kTls12;
  TlsVersion max_version = TlsVersion::kTls13;
  // OpenSSL names of the TLS 1.2 suites, in the file's order; empty for the library's own.
  std::vector<std::string> cipher_suites;
  bool prefer_server_cipher_suites = true;
  // OpenSSL short names of the key exchange groups, in the file's order; empty for defaults.
  std::vector<std::string> curve_preferences;
  // A client certificate must carry one of these as a DNS, e-mail or IP subject alternative
  // name; empty for no such check.
  std::vector<std::string> client_allowed_sans;
  // Whether the file asks for TLS at all (any certificate, key, CA or client_auth_type set).
  bool enabled = false;
};

// The toolkit's rate_limit: a bucket of `burst` requests that gains one every interval.
// Here each client address has a bucket of its own, so that one client's burst never spends
// another's; a request that finds its bucket empty is answered 429.
struct WebRateLimit {
  std::int64_t interval_ms = 0;  // 0: no limit
  int burst = 0;                 // at least 1 while interval_ms is set
};

struct WebConfig {
  WebTlsConfig tls;
  WebRateLimit rate_limit;
  // Header name and value added to every answer, names as the toolkit spells them; blank
  // values are left out.
  std::vector<std::pair<std::string, std::string>> headers;
  // User name → bcrypt hash ($2a$, $2b$ or $2y$), checked at load.
  std::map<std::string, std::string> users;
  // One line each ("FILE:LINE: ..."), for settings accepted but not applied as written.
  std::vector<std::string> warnings;
  // The configuration file, then the certificate, key and CA files it names: what
  // WebConfigFilesChanged compares. Filled by LoadWebConfigFile even when it fails.
  std::vector<FileStamp> files;
};

// Parses `text` as a web configuration. `base_dir` is where relative paths start; `name`
// is the file's name for messages. True with `*config` filled (its `files` left empty);
// false with `*error` one line "NAME:LINE: reason" (line left out when there is none) and
// `*config` reset.
bool ParseWebConfig(std::string_view text, const std::string& base_dir, const std::string& name,
                    WebConfig* config, std::string* error);

// Reads and parses the file at `path`; relative paths in it start at its directory. Stamps the
// file before reading it, and the files it names, so that a change during the load shows as
// a change afterwards. True with `*config` filled; false with `*error` as above and
// `config->files` still holding the stamps of what was read.
bool LoadWebConfigFile(const std::string& path, WebConfig* config, std::string* error);

// Reads the whole file at `path` (at most kMaxConfigFileBytes). True with `*text` set; false
// with `*error` "PATH: cannot read: reason" and `*text` empty.
bool ReadConfigFile(const std::string& path, std::string* text, std::string* error);

// `text` with line breaks and other control characters written as escapes (\n, \x01), so
// that a message naming a user, key or path stays on one line.
std::string OneLine(std::string_view text);

// The stamp of `path` now; a missing or unreadable file gives a stamp with `exists` false.
FileStamp StampFile(const std::string& path);

// Whether any file in `files` differs now from its stamp (changed, replaced, appeared or gone).
bool WebConfigFilesChanged(const std::vector<FileStamp>& files);
