#include "agent/web_settings.h"

#include "agent/web_tls.h"
#include "platform/clock.h"

bool WebSettings::Read(const std::string& path, WebConfig& config, QSslConfiguration& ssl,
                       std::vector<FileStamp>& stamps, std::string& error) const {
  const bool loaded = LoadWebConfigFile(path, &config, &error);
  stamps = config.files;
  if (!loaded) return false;
  if (config.tls.enabled && !MakeSslConfiguration(config.tls, &ssl, &error)) {
    // Those messages name the setting and its file; the configuration file goes first.
    error = path + ": " + error;
    return false;
  }
  return true;
}

void WebSettings::Take(WebConfig config, const QSslConfiguration& ssl) {
  for (const std::string& warning : config.warnings) {
    std::fprintf(m_err, "tarovue-scan: warning: %s\n", warning.c_str());
  }
  m_auth.SetUsers(config.users);
  m_config = std::move(config);
  m_ssl = ssl;
  m_last_ok = true;
  m_last_success_time = SystemClock().Now();
}

bool WebSettings::Load(const std::string& path, std::string& error) {
  WebConfig config;
  QSslConfiguration ssl;
  std::vector<FileStamp> stamps;
  if (!Read(path, config, ssl, stamps, error)) return false;
  m_path = path;
  m_stamps = std::move(stamps);
  Take(std::move(config), ssl);
  return true;
}

WebSettings::Reload WebSettings::ReloadIfChanged() {
  if (m_path.empty() || !WebConfigFilesChanged(m_stamps)) return Reload::kUnchanged;
  WebConfig config;
  QSslConfiguration ssl;
  std::string error;
  // The stamps of this attempt are kept even when it fails: a bad file is read again only
  // once it changes again, not at every look.
  bool ok = Read(m_path, config, ssl, m_stamps, error);
  if (ok && config.tls.enabled != m_config.tls.enabled) {
    error = m_path + ": TLS cannot be switched " + (config.tls.enabled ? "on" : "off") +
            " while the agent runs (restart it)";
    ok = false;
  }
  if (!ok) {
    m_last_ok = false;
    std::fprintf(m_err, "tarovue-scan: %s; the last good web configuration stays in force\n",
                 error.c_str());
    std::fflush(m_err);
    return Reload::kRefused;
  }
  Take(std::move(config), ssl);
  std::fprintf(m_err, "tarovue-scan: %s: web configuration loaded again\n", m_path.c_str());
  std::fflush(m_err);
  return Reload::kTaken;
}
