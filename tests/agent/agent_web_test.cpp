// The agent's web layer: web configuration files good and bad with the one line each gives,
// the TLS configuration built from a certificate made here, the settings in force across
// reloads, basic auth with its cache, the work it spends on unknown names and its bcrypt
// budget per address, the rate limit per address, gzip as a client would read it, and
// handshakes with client certificates against the agent on loopback.
#include <crypt.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslEllipticCurve>
#include <QSslError>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "agent/basic_auth.h"
#include "agent/bcrypt_budget.h"
#include "agent/fleet_agent.h"
#include "agent/gzip_encoding.h"
#include "agent/request_rate_limit.h"
#include "agent/web_config.h"
#include "agent/web_settings.h"
#include "agent/web_tls.h"
#include "devices/device_table.h"
#include "devices/event_log.h"
#include "platform/clock.h"
#include "tests/agent/agent_client.h"

namespace {

using agenttest::Bcrypt;

void WriteFile(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string BasicHeader(const std::string& name_and_password) {
  return "Basic " + QByteArray::fromStdString(name_and_password).toBase64().toStdString();
}

// What loading `yaml` as conf/web.yml gives: its error, else its warnings, else "ok"; with
// `tls` the TLS configuration is built as well and its error counts.
std::string Outcome(const QTemporaryDir& dir, const std::string& yaml, bool tls) {
  const QString conf = dir.filePath("conf");
  QDir().mkpath(conf);
  WriteFile(conf + "/present.crt", "not a certificate\n");
  const std::string path = (conf + "/web.yml").toStdString();
  WriteFile(QString::fromStdString(path), yaml);
  WebConfig config;
  std::string error;
  std::string outcome = "ok";
  if (!LoadWebConfigFile(path, &config, &error)) {
    outcome = error;
  } else if (tls) {
    QSslConfiguration ssl;
    if (!MakeSslConfiguration(config.tls, &ssl, &error)) outcome = error;
  } else if (!config.warnings.empty()) {
    outcome = "warning " + config.warnings.front();
  }
  return Replaced(outcome, conf.toStdString(), "$D");
}

const std::string kHash = "$2y$10$qRTBuFoULoYNA7AQ/F3ck.trZBPyjV64.oA4ZsSBCIWvXuvQlQTuu";

TEST(WebConfigFile, EachFileGivesItsOneLine) {
  struct Case {
    const char* label;
    std::string yaml;
    std::string outcome;
    bool tls = false;
  };
  const std::string tls_head = "tls_server_config:\n  cert_file: present.crt\n";
  const Case cases[] = {
      {"empty file", "", "ok"},
      {"users and headers, without TLS",
       "basic_auth_users:\n  carol: " + kHash + "\n  dave: " + kHash +
           "\nhttp_server_config:\n  http2: false\n  headers:\n    X-Frame-Options: deny\n"
           "    Content-Security-Policy: \"default-src 'self'\"\n    X-XSS-Protection: \"\"\n",
       "warning $D/web.yml: basic_auth_users without tls_server_config: passwords cross the "
       "network in clear text"},
      {"users listed but none given", "basic_auth_users:\n",
       "warning $D/web.yml:1: basic_auth_users is empty: no password is asked for"},
      {"a cost that makes every login dear",
       "basic_auth_users:\n  carol: $2y$14$" + kHash.substr(7) + "\n",
       "warning $D/web.yml:2: user \"carol\": bcrypt cost 14 makes every new login cost the "
       "agent 4 times what cost 12 does, for anyone who tries a password (10 to 12 is usual)"},
      {"a second document", "rate_limit:\n  interval: 1s\n---\nbasic_auth_users:\n",
       "$D/web.yml:3: a second YAML document; a web configuration is one"},
      // yaml-cpp's own LoadAll reads this for ever.
      {"a text that never ends its documents", "!user=:\n , j\x96ob+\": x\n",
       "$D/web.yml:2: a second YAML document; a web configuration is one"},
      {"unknown key at the top", "tls_server_confg:\n  cert_file: a\n",
       "$D/web.yml:1: unknown key \"tls_server_confg\""},
      {"unknown key in a section", "tls_server_config:\n  cert_filse: server.crt\n",
       "$D/web.yml:2: unknown key \"cert_filse\" in tls_server_config"},
      {"plaintext password", "basic_auth_users:\n  john: doe\n",
       "$D/web.yml:2: user \"john\": the password is not a bcrypt hash (make one with: "
       "htpasswd -nBC 10 \"\" | tr -d ':\\n')"},
      {"sha512-crypt hash", "basic_auth_users:\n  john: $6$salt$abc\n",
       "$D/web.yml:2: user \"john\": the password is not a bcrypt hash (make one with: "
       "htpasswd -nBC 10 \"\" | tr -d ':\\n')"},
      {"name with a line break stays one line", "basic_auth_users:\n  \"a\\nb\": doe\n",
       "$D/web.yml:2: user \"a\\nb\": the password is not a bcrypt hash (make one with: "
       "htpasswd -nBC 10 \"\" | tr -d ':\\n')"},
      {"user twice", "basic_auth_users:\n  carol: " + kHash + "\n  carol: " + kHash + "\n",
       "$D/web.yml:3: duplicate key \"basic_auth_users.carol\""},
      {"bad YAML", "tls_server_config:\n  cert_file: [a, b\n",
       "$D/web.yml:3: not YAML: end of sequence flow not found"},
      {"a scalar, not a mapping", "hWkNKCp3fvIx3jKnsaBI\nTuEjdwNS8A2vYdFbiKqr\n",
       "$D/web.yml:1: expected a mapping of settings"},
      {"a list where a path goes", tls_head + "  key_file: [a]\n",
       "$D/web.yml:3: key_file: expected a string"},
      {"bad client_auth_type", tls_head + "  key_file: k\n  client_auth_type: x\n",
       "$D/web.yml:4: invalid client_auth_type \"x\" (NoClientCert, RequestClientCert, "
       "RequireAnyClientCert, VerifyClientCertIfGiven or RequireAndVerifyClientCert)"},
      {"key path empty", tls_head + "  key_file: \"\"\n",
       "$D/web.yml:1: tls_server_config: missing one of key or key_file"},
      {"client CA without a policy", tls_head + "  key_file: k\n  client_ca_file: ca.crt\n",
       "$D/web.yml:1: tls_server_config: a client CA is set but client_auth_type is "
       "NoClientCert"},
      {"verified clients without a CA",
       tls_head + "  key_file: k\n  client_auth_type: RequireAndVerifyClientCert\n",
       "$D/web.yml:1: tls_server_config: RequireAndVerifyClientCert needs client_ca_file or "
       "client_ca"},
      {"unknown TLS version", tls_head + "  key_file: k\n  min_version: TLS111\n",
       "$D/web.yml:4: unknown TLS version \"TLS111\" in min_version"},
      {"TLS 1.1 at most", tls_head + "  key_file: k\n  max_version: TLS11\n",
       "$D/web.yml:4: max_version TLS11: only TLS 1.2 and 1.3 are spoken here"},
      {"unknown cipher", tls_head + "  key_file: k\n  cipher_suites: [TLS_FOO]\n",
       "$D/web.yml:4: unknown cipher \"TLS_FOO\""},
      {"unknown curve", tls_head + "  key_file: k\n  curve_preferences: [CurveP257]\n",
       "$D/web.yml:4: unknown curve \"CurveP257\""},
      {"header the toolkit does not allow",
       "http_server_config:\n  headers:\n    Content-Type: a\n",
       "$D/web.yml:3: HTTP header \"Content-Type\" can not be configured"},
      {"header value not allowed", "http_server_config:\n  headers:\n    X-Frame-Options: foo\n",
       "$D/web.yml:3: invalid value for X-Frame-Options: \"foo\" (expected \"deny\" or "
       "\"sameorigin\")"},
      {"header value that would split the answer",
       "http_server_config:\n  headers:\n    X-XSS-Protection: \"1\\r\\nSet-Cookie: a=b\"\n",
       "$D/web.yml:3: HTTP header \"X-XSS-Protection\": a control character in the value"},
      {"rate limit of the toolkit's own tests", "rate_limit:\n  interval: \"1s\"\n  burst: 0\n",
       "warning $D/web.yml:2: rate_limit.burst below 1 would refuse every request; 1 is used"},
      {"rate limit off", "rate_limit:\n  interval: 0\n  burst: 0\n", "ok"},
      {"rate limit in Go's words", "rate_limit:\n  interval: 1m30.5s\n  burst: 3\n", "ok"},
      {"rate limit that is no duration", "rate_limit:\n  interval: 5 minutes\n",
       "$D/web.yml:2: rate_limit.interval: \"5 minutes\" is no duration (\"1s\", \"500ms\", "
       "\"1m30s\")"},
      {"names checked in certificates nobody verified",
       tls_head + "  key_file: k\n  client_auth_type: RequireAnyClientCert\n"
                  "  client_allowed_sans: [one]\n",
       "warning $D/web.yml:1: tls_server_config: client_allowed_sans is checked in certificates "
       "nobody verified; anyone can make one with those names (RequireAndVerifyClientCert "
       "verifies them)"},
      {"TLS 1.0 is raised, not refused", tls_head + "  key_file: k\n  min_version: TLS10\n",
       "warning $D/web.yml:4: min_version TLS10 is raised to TLS12, the oldest version spoken "
       "here"},
      {"missing key file, relative to the file", tls_head + "  key_file: missing.key\n",
       "key_file $D/missing.key: cannot read: No such file or directory", true},
      {"certificate file that holds none", tls_head + "  key_file: present.crt\n",
       "cert_file $D/present.crt: no PEM certificate", true},
  };
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const Case& c : cases) {
    EXPECT_EQ(Outcome(dir, c.yaml, c.tls), c.outcome) << c.label;
  }

  WebConfig config;
  std::string error;
  EXPECT_FALSE(LoadWebConfigFile(dir.filePath("nowhere.yml").toStdString(), &config, &error));
  EXPECT_EQ(Replaced(error, dir.path().toStdString(), "$T"),
            "$T/nowhere.yml: cannot read: No such file or directory");
  ASSERT_EQ(config.files.size(), 1u) << "a missing file is watched until it appears";
  EXPECT_FALSE(config.files[0].exists);
}

TEST(WebConfigFile, ChangeOfAnyNamedFileIsSeen) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  WriteFile(dir.filePath("a.crt"), "one");
  WriteFile(dir.filePath("web.yml"), "tls_server_config:\n  cert_file: a.crt\n  key_file: b.key\n");
  WebConfig config;
  std::string error;
  ASSERT_TRUE(LoadWebConfigFile(dir.filePath("web.yml").toStdString(), &config, &error)) << error;
  ASSERT_EQ(config.files.size(), 3u);
  EXPECT_FALSE(WebConfigFilesChanged(config.files));
  // Replaced by a rename, as certificate renewal tools do: same size, new inode.
  WriteFile(dir.filePath("a.new"), "two");
  ASSERT_TRUE(QFile::remove(dir.filePath("a.crt")));
  ASSERT_TRUE(QFile::rename(dir.filePath("a.new"), dir.filePath("a.crt")));
  EXPECT_TRUE(WebConfigFilesChanged(config.files));
  ASSERT_TRUE(LoadWebConfigFile(dir.filePath("web.yml").toStdString(), &config, &error));
  WriteFile(dir.filePath("b.key"), "appeared");
  EXPECT_TRUE(WebConfigFilesChanged(config.files)) << "a missing key that appears";
}

// A certificate, a key and a client CA made with the openssl command.
class WebTls : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
    ASSERT_TRUE(m_dir.isValid());
    const std::string d = m_dir.path().toStdString();
    const std::string make =
        "cd '" + d +
        "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.crt -days 2 "
        "-subj /CN=agent -addext subjectAltName=DNS:agent.test 2>/dev/null && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-keyout client.key -out client.crt -days 2 -subj /CN=prometheus "
        "-addext subjectAltName=DNS:one,IP:192.0.2.7 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
  }

  bool Build(const std::string& yaml, QSslConfiguration* ssl, std::string* error) {
    WriteFile(m_dir.filePath("web.yml"), yaml);
    WebConfig config;
    if (!LoadWebConfigFile(m_dir.filePath("web.yml").toStdString(), &config, error)) return false;
    m_config = config;
    return MakeSslConfiguration(config.tls, ssl, error);
  }

  QTemporaryDir m_dir;
  WebConfig m_config;
};

TEST_F(WebTls, ConfigurationCarriesEverySetting) {
  QSslConfiguration ssl;
  std::string error;
  ASSERT_TRUE(
      Build("tls_server_config:\n"
            "  cert_file: server.crt\n  key_file: server.key\n"
            "  client_auth_type: RequireAndVerifyClientCert\n"
            "  client_ca_file: client.crt\n"
            "  client_allowed_sans: [one]\n"
            "  max_version: TLS12\n"
            "  cipher_suites: [TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256, "
            "TLS_AES_128_GCM_SHA256]\n"
            "  prefer_server_cipher_suites: false\n"
            "  curve_preferences: [X25519, CurveP256]\n",
            &ssl, &error))
      << error;
  EXPECT_EQ(ssl.localCertificate().subjectInfo(QSslCertificate::CommonName), QStringList{"agent"});
  EXPECT_FALSE(ssl.privateKey().isNull());
  ASSERT_EQ(ssl.caCertificates().size(), 1) << "the client CA only, not the system's";
  EXPECT_EQ(ssl.caCertificates()[0].subjectInfo(QSslCertificate::CommonName),
            QStringList{"prometheus"});
  EXPECT_EQ(ssl.peerVerifyMode(), QSslSocket::VerifyPeer);
  EXPECT_EQ(ssl.protocol(), QSsl::TlsV1_2);
  ASSERT_EQ(ssl.ciphers().size(), 1) << "TLS 1.3 suites stay the library's";
  EXPECT_EQ(ssl.ciphers()[0].name(), "ECDHE-RSA-AES128-GCM-SHA256");
  EXPECT_EQ(ssl.ellipticCurves().size(), 2);
  EXPECT_TRUE(ssl.testSslOption(QSsl::SslOptionDisableServerCipherPreference));

  const QSslCertificate client = ssl.caCertificates()[0];
  EXPECT_TRUE(ClientSanAllowed(client, m_config.tls.client_allowed_sans));
  EXPECT_TRUE(ClientSanAllowed(client, {"192.0.2.7"}));
  EXPECT_FALSE(ClientSanAllowed(client, {"bad", "prometheus"})) << "the CN is no SAN";
}

TEST_F(WebTls, KeyOfAnotherCertificateIsRefused) {
  QSslConfiguration ssl;
  std::string error;
  EXPECT_FALSE(
      Build("tls_server_config:\n  cert_file: server.crt\n  key_file: client.key\n", &ssl, &error));
  EXPECT_EQ(Replaced(error, m_dir.path().toStdString(), "$D"),
            "key_file $D/client.key: the key does not match the certificate of cert_file "
            "$D/server.crt");
}

// The web configuration in force across changes of its file: the last good one stays when a
// change is bad, a bad file is not read again until it changes, and TLS cannot change kind.
TEST_F(WebTls, SettingsKeepTheLastGoodConfigurationAcrossReloads) {
  const QString web = m_dir.filePath("web.yml");
  const std::string path = web.toStdString();
  const std::string users = "basic_auth_users:\n  alice: " + kHash + "\n";
  WriteFile(web, users);
  char* text = nullptr;
  std::size_t length = 0;
  std::FILE* err = open_memstream(&text, &length);
  ASSERT_NE(err, nullptr);
  WebSettings settings(err);
  std::string error;
  ASSERT_TRUE(settings.Load(path, error)) << error;
  EXPECT_TRUE(settings.LastReloadOk());
  EXPECT_GT(settings.LastSuccessTime(), 0);
  EXPECT_EQ(settings.ReloadIfChanged(), WebSettings::Reload::kUnchanged);

  const auto changed = [&](const std::string& yaml) {
    WriteFile(web, yaml);
    return settings.ReloadIfChanged();
  };
  EXPECT_EQ(changed("basic_auth_users:\n  alice: plain\n"), WebSettings::Reload::kRefused);
  EXPECT_FALSE(settings.LastReloadOk());
  EXPECT_TRUE(settings.Auth().Enabled()) << "alice's hash is still the one in force";
  EXPECT_EQ(settings.ReloadIfChanged(), WebSettings::Reload::kUnchanged)
      << "the bad file is not read again";
  EXPECT_EQ(
      changed(users + "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"),
      WebSettings::Reload::kRefused);
  EXPECT_FALSE(settings.Tls());
  EXPECT_EQ(changed("# nobody\n"), WebSettings::Reload::kTaken);
  EXPECT_TRUE(settings.LastReloadOk());
  EXPECT_FALSE(settings.Auth().Enabled());
  std::fclose(err);
  const std::string said(text, length);
  std::free(text);
  EXPECT_EQ(Replaced(said, path, "$F"),
            "tarovue-scan: warning: $F: basic_auth_users without tls_server_config: passwords "
            "cross the network in clear text\n"
            "tarovue-scan: $F:2: user \"alice\": the password is not a bcrypt hash (make one "
            "with: htpasswd -nBC 10 \"\" | tr -d ':\\n'); the last good web configuration stays "
            "in force\n"
            "tarovue-scan: $F: TLS cannot be switched on while the agent runs (restart it); the "
            "last good web configuration stays in force\n"
            "tarovue-scan: $F: web configuration loaded again\n");
}

TEST(ClientCertificateErrors, EachPolicyToleratesItsOwn) {
  const QList<QSslError> missing{QSslError(QSslError::NoPeerCertificate)};
  const QList<QSslError> untrusted{QSslError(QSslError::SelfSignedCertificate)};
  EXPECT_TRUE(ClientCertificateErrorsAcceptable(ClientAuth::kVerifyIfGiven, missing));
  EXPECT_FALSE(ClientCertificateErrorsAcceptable(ClientAuth::kVerifyIfGiven, untrusted));
  EXPECT_FALSE(ClientCertificateErrorsAcceptable(ClientAuth::kRequireAny, missing));
  EXPECT_TRUE(ClientCertificateErrorsAcceptable(ClientAuth::kRequireAny, untrusted));
  EXPECT_FALSE(ClientCertificateErrorsAcceptable(ClientAuth::kRequireAndVerify, missing));
  EXPECT_FALSE(ClientCertificateErrorsAcceptable(ClientAuth::kRequireAndVerify, untrusted));
}

TEST(BasicAuth, RightWrongUnknownAndMalformed) {
  BasicAuth auth;
  EXPECT_TRUE(auth.Check("")) << "no users: no authentication";
  auth.SetUsers({{"alice", Bcrypt("s3cret:with colon", 4)}});
  ASSERT_TRUE(auth.Enabled());
  EXPECT_TRUE(auth.Check(BasicHeader("alice:s3cret:with colon")));
  EXPECT_TRUE(auth.Check("basic  " + BasicHeader("alice:s3cret:with colon").substr(6)))
      << "scheme in any case, more than one space";
  EXPECT_FALSE(auth.Check(BasicHeader("alice:s3cret")));
  EXPECT_FALSE(auth.Check(BasicHeader("alice:")));
  EXPECT_FALSE(auth.Check(BasicHeader("bob:s3cret:with colon")));
  EXPECT_FALSE(auth.Check(BasicHeader(std::string("alice:s3cret:with colon\0x", 25))));

  const std::uint64_t runs = auth.Verifications();
  for (const std::string& malformed :
       {std::string(""), std::string("Basic"), std::string("Basic "), std::string("Bearer abc"),
        std::string("Basic !!!!"), BasicHeader("no colon")}) {
    EXPECT_FALSE(auth.Check(malformed)) << malformed;
  }
  EXPECT_EQ(auth.Verifications(), runs) << "malformed values cost no bcrypt run";
}

TEST(BasicAuth, CacheSparesBcryptUntilTheUsersChange) {
  const std::string header = BasicHeader("prometheus:scrape");
  const std::map<std::string, std::string> users = {{"prometheus", Bcrypt("scrape", 5)}};
  BasicAuth auth;
  auth.SetUsers(users);
  ASSERT_TRUE(auth.Check(header));
  EXPECT_TRUE(auth.Check(header));
  EXPECT_EQ(auth.Verifications(), 1u) << "the second check came from the cache";
  // A reload that leaves the users as they were (a renewed certificate) keeps the cache: a
  // flood right after it must not find the scraper's login forgotten.
  auth.SetUsers(users);
  EXPECT_TRUE(auth.Check(header));
  EXPECT_EQ(auth.Verifications(), 1u);

  // A check that was under way while the users changed proves nothing about the new ones.
  BcryptJob job;
  ASSERT_EQ(auth.Prepare(BasicHeader("prometheus:late"), &job), AuthResult::kPending);
  auth.SetUsers({{"prometheus", Bcrypt("rotated", 4)}});
  EXPECT_EQ(auth.Finish(job, true), AuthResult::kFailed);
  EXPECT_FALSE(auth.Check(header)) << "the old password is forgotten with the cache";
  EXPECT_TRUE(auth.Check(BasicHeader("prometheus:rotated")));
}

TEST(BasicAuth, EveryNameCostsWhatTheDearestUserDoes) {
  // A cheap user beside a dear one: a wrong password for either, the right one for the cheap
  // one, and a name that does not exist each cost the work of one run at the dearest cost
  // (2^6 runs of cost 0), so that how long an answer takes tells no names apart.
  BasicAuth auth;
  auth.SetUsers({{"cheap", Bcrypt("a", 4)}, {"dear", Bcrypt("b", 6)}});
  for (const char* guess : {"cheap:x", "dear:x", "nobody:x", "cheap:a"}) {
    const std::uint64_t before = auth.Work();
    auth.Check(BasicHeader(guess));
    EXPECT_EQ(auth.Work() - before, 64u) << guess;
  }
  EXPECT_EQ(auth.Verifications(), 4u);
}

TEST(BcryptBudget, EachAddressSpendsItsOwnShareAndTrustedOnesKeepTheirs) {
  ManualMonotonicClock clock(1000);
  // 400 ms a second, up to 400 at once: an address may spend 100 a second of it, 100 is kept
  // for addresses that logged in before, 300 is open to all.
  BcryptBudget budget(clock, BcryptRates{400, 400, 4, 4});
  BcryptBudget::Grant grant;
  const auto run = [&](const std::string& peer, int64_t ms) {
    if (!budget.Take(peer, ms, &grant)) return false;
    budget.Settle(grant, ms);
    return true;
  };
  // A flooding address may spend a burst, then waits for its own bucket to refill, however
  // much the others have left.
  EXPECT_TRUE(run("10.0.0.66", 450));
  EXPECT_FALSE(run("10.0.0.66", 10));
  EXPECT_TRUE(run("10.0.0.2", 90)) << "its burst took what is open to all into debt, but "
                                      "keeps no other address out";
  // A third address takes it a whole burst into debt...
  EXPECT_TRUE(run("10.0.0.3", 100));
  EXPECT_FALSE(run("10.0.0.7", 10)) << "nothing open is left";
  // ... while an address that logged in before still has the kept part.
  budget.Trust("10.0.0.9");
  EXPECT_TRUE(run("10.0.0.9", 50));
  // A run is counted from its start, and an address has one at a time: what a run really
  // costs is known only once it ends.
  clock.AdvanceMs(10'000);
  ASSERT_TRUE(budget.Take("10.0.0.66", 100, &grant));
  BcryptBudget::Grant second;
  EXPECT_FALSE(budget.Take("10.0.0.66", 100, &second));
  budget.Settle(grant, 1);
  EXPECT_TRUE(budget.Take("10.0.0.66", 100, &second)) << "a quick run gives back the rest";
}

TEST(RequestRateLimit, EachAddressHasItsOwnBucket) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  WriteFile(dir.filePath("web.yml"), "rate_limit:\n  interval: 1.5s\n  burst: 2\n");
  WebConfig config;
  std::string error;
  ASSERT_TRUE(LoadWebConfigFile(dir.filePath("web.yml").toStdString(), &config, &error)) << error;
  EXPECT_EQ(config.rate_limit.interval_ms, 1500);
  ManualMonotonicClock clock(1000);
  RequestRateLimit limit(clock);
  limit.Set(config.rate_limit);
  EXPECT_TRUE(limit.Allow("10.0.0.66"));
  EXPECT_TRUE(limit.Allow("10.0.0.66"));
  EXPECT_FALSE(limit.Allow("10.0.0.66")) << "its burst is spent";
  EXPECT_TRUE(limit.Allow("10.0.0.2")) << "another address is not held back by it";
  clock.AdvanceMs(1500);
  EXPECT_TRUE(limit.Allow("10.0.0.66"));
  EXPECT_FALSE(limit.Allow("10.0.0.66"));
  EXPECT_EQ(limit.RetryAfterSeconds(), 2);
  limit.Set(WebRateLimit{});
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limit.Allow("10.0.0.66")) << "no limit";
}

// An agent on loopback with a web configuration, and clients with or without certificates.
// The agent's own certificate has an Ed25519 key, which Qt only takes as an opaque key.
class AgentHandshakes : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl";
    ASSERT_TRUE(m_dir.isValid());
    const std::string make =
        "cd '" + m_dir.path().toStdString() +
        "' && openssl req -x509 -newkey ed25519 -nodes -keyout agent.key -out agent.crt -days 2 "
        "-subj /CN=agent -addext subjectAltName=IP:127.0.0.1 2>/dev/null && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key "
        "-out ca.crt -days 2 -subj /CN=ca -addext basicConstraints=critical,CA:TRUE "
        "-addext keyUsage=keyCertSign 2>/dev/null && "
        "for name in one two; do "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $name.key "
        "-out $name.csr -subj /CN=$name 2>/dev/null && "
        "printf 'subjectAltName=DNS:%s\\nextendedKeyUsage=clientAuth\\n' $name > $name.ext && "
        "openssl x509 -req -in $name.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile $name.ext -out $name.crt 2>/dev/null || exit 1; done && "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
        "-keyout rogue.key -out rogue.crt -days 2 -subj /CN=one "
        "-addext subjectAltName=DNS:one 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
  }

  // Starts an agent with `tls` added to its certificate and key; false when it did not.
  bool Start(const std::string& tls) {
    WriteFile(m_dir.filePath("web.yml"),
              "tls_server_config:\n  cert_file: agent.crt\n  key_file: agent.key\n" + tls);
    m_agent = std::make_unique<FleetAgent>(
        m_devices, m_events, [] { return DiscoveryCounters{}; }, nullptr, m_err);
    std::string error;
    if (!m_agent->UseWebConfig(m_dir.filePath("web.yml").toStdString(), error) ||
        !m_agent->Listen(ServeAddress{"127.0.0.1", 0}, error)) {
      ADD_FAILURE() << error;
      return false;
    }
    m_port = m_agent->servers().front()->serverPort();
    return true;
  }

  // The status line of GET /-/healthy for a client with the certificate `name` (none when
  // empty), or "refused".
  std::string Get(const QString& name, const QByteArray& plain = {}) {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(m_dir.filePath("agent.crt")));
    if (!name.isEmpty()) {
      config.setLocalCertificate(QSslCertificate::fromPath(m_dir.filePath(name + ".crt")).front());
      QFile key(m_dir.filePath(name + ".key"));
      EXPECT_TRUE(key.open(QIODevice::ReadOnly));
      config.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    }
    QSslSocket client;
    client.setSslConfiguration(config);
    QByteArray in;
    QEventLoop loop;
    const QByteArray request = "GET /-/healthy HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    QObject::connect(&client, &QSslSocket::encrypted, [&] { client.write(request); });
    QObject::connect(&client, &QSslSocket::connected, [&] {
      if (!plain.isEmpty()) client.write(plain);
    });
    QObject::connect(&client, &QSslSocket::readyRead, [&] { in += client.readAll(); });
    QObject::connect(&client, &QSslSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QSslSocket::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    if (plain.isEmpty()) {
      client.connectToHostEncrypted("127.0.0.1", m_port);
    } else {
      client.connectToHost("127.0.0.1", m_port);
    }
    loop.exec();
    in += client.readAll();
    return in.isEmpty() ? "refused" : in.left(in.indexOf("\r\n")).toStdString();
  }

  QTemporaryDir m_dir;
  DeviceTable m_devices;
  EventLog m_events;
  std::FILE* m_err = std::tmpfile();
  std::unique_ptr<FleetAgent> m_agent;
  quint16 m_port = 0;
};

TEST_F(AgentHandshakes, ClientCertificatesAreEnforcedAsEachPolicySays) {
  const std::string ca = "  client_ca_file: ca.crt\n";
  ASSERT_TRUE(Start(ca + "  client_auth_type: RequireAndVerifyClientCert\n"));
  EXPECT_EQ(Get(""), "refused") << "no certificate";
  EXPECT_EQ(Get("rogue"), "refused") << "one that the CA did not sign";
  EXPECT_EQ(Get("one"), "HTTP/1.1 200 OK");
  // Plain HTTP on the TLS port is told to use https, in one line.
  const std::string plain = Get("", "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(plain, "HTTP/1.0 400 Bad Request");

  ASSERT_TRUE(Start(ca + "  client_auth_type: VerifyClientCertIfGiven\n"));
  EXPECT_EQ(Get(""), "HTTP/1.1 200 OK") << "no certificate is fine";
  EXPECT_EQ(Get("rogue"), "refused") << "but a given one is verified";
  EXPECT_EQ(Get("two"), "HTTP/1.1 200 OK");

  ASSERT_TRUE(Start(ca + "  client_auth_type: RequireAndVerifyClientCert\n"
                         "  client_allowed_sans: [one]\n"));
  EXPECT_EQ(Get("one"), "HTTP/1.1 200 OK");
  EXPECT_EQ(Get("two"), "refused") << "signed by the CA, but not a name on the list";
  EXPECT_EQ(Get("rogue"), "refused") << "the name on the list, in a certificate nobody signed";
}

std::string Gunzip(const std::string& member) {
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return "inflateInit2 failed";
  std::string out;
  char buffer[16384];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(member.data()));
  stream.avail_in = static_cast<uInt>(member.size());
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return whole ? out : "not one whole gzip member";
}

TEST(Gzip, RoundTripThroughInflate) {
  std::string metrics;
  for (int i = 0; i < 5000; ++i) {
    metrics += "tarovue_device_up{usn=\"uuid:" + std::to_string(i * 7919) + "\"} 1\n";
  }
  for (const std::string& body : {std::string(), std::string("x"), metrics}) {
    std::string packed;
    ASSERT_TRUE(GzipCompress(body, &packed));
    ASSERT_GE(packed.size(), 18u);
    EXPECT_EQ(packed.substr(0, 2), "\x1f\x8b");
    EXPECT_EQ(Gunzip(packed), body);
  }
  std::string packed;
  ASSERT_TRUE(GzipCompress(metrics, &packed));
  EXPECT_LT(packed.size() * 8, metrics.size());
}

TEST(Gzip, AcceptEncodingWeights) {
  const std::pair<const char*, bool> cases[] = {
      {"gzip", true},
      {"GZip", true},
      {"x-gzip", true},
      {"deflate, gzip;q=0.5", true},
      {"br;q=1.0, gzip ; q=1", true},
      {"gzip;q=0.001", true},
      {"*", true},
      {"gzip;q=0", false},
      {"gzip;q=0.000", false},
      {"gzip;Q=0", false},
      {"*;q=0", false},
      {"gzip;q=0, *", false},
      {"identity", false},
      {"", false},
      {"gzipper, xgzip", false},
      {"gzip;q=abc", false},
      {"gzip;q=1.5x", false},
  };
  for (const auto& [value, accepts] : cases) EXPECT_EQ(AcceptsGzip(value), accepts) << value;
}

}  // namespace
