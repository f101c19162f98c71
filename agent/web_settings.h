// The web configuration in force for the fleet agent (--web-config): the last good load of the
// file, with its users' basic auth, its response headers and its TLS configuration, loaded
// again when the file or any file it names changes. A bad new version leaves the last good
// one in force, says so once on `err` and is not read again until it changes. Owns its
// BasicAuth; single-threaded, on the agent's event loop.
#pragma once

#include <QSslConfiguration>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "agent/basic_auth.h"
#include "agent/web_config.h"

class WebSettings final {
 public:
  explicit WebSettings(std::FILE* err) : m_err(err) {}
  WebSettings(const WebSettings&) = delete;
  WebSettings& operator=(const WebSettings&) = delete;

  // Loads `path` and puts it in force; its warnings go to `err`. True on success; false with
  // `error` one line naming the file, the line where there is one, and the reason, and
  // nothing in force.
  bool Load(const std::string& path, std::string& error);

  enum class Reload { kUnchanged, kTaken, kRefused };
  // Looks at the files of the last attempt. When one changed, loads them again: kTaken with
  // the new version in force, or kRefused with the last good one kept and a line on `err`.
  // A file that switches TLS on or off is refused: the listening socket cannot change kind.
  Reload ReloadIfChanged();

  [[nodiscard]] bool Tls() const { return m_config.tls.enabled; }
  [[nodiscard]] const WebTlsConfig& TlsSettings() const { return m_config.tls; }
  [[nodiscard]] const QSslConfiguration& Ssl() const { return m_ssl; }
  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& Headers() const {
    return m_config.headers;
  }
  [[nodiscard]] const WebRateLimit& RateLimit() const { return m_config.rate_limit; }
  BasicAuth& Auth() { return m_auth; }
  [[nodiscard]] const BasicAuth& Auth() const { return m_auth; }
  // Whether the last load worked, and when one last did (seconds since 1970; 0: never).
  [[nodiscard]] bool LastReloadOk() const { return m_last_ok; }
  [[nodiscard]] int64_t LastSuccessTime() const { return m_last_success_time; }

 private:
  // Reads `path` into `config` and `ssl`. True on success; false with `error` set and
  // `stamps` those of what was read either way.
  bool Read(const std::string& path, WebConfig& config, QSslConfiguration& ssl,
            std::vector<FileStamp>& stamps, std::string& error) const;
  void Take(WebConfig config, const QSslConfiguration& ssl);

  std::FILE* m_err;
  std::string m_path;
  WebConfig m_config;
  QSslConfiguration m_ssl;
  BasicAuth m_auth;
  std::vector<FileStamp> m_stamps;  // of the last attempt, good or bad
  bool m_last_ok = false;
  int64_t m_last_success_time = 0;
};
