#include "agent/web_tls.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslEllipticCurve>
#include <QSslError>
#include <QSslKey>
#include <QSslSocket>
#include <algorithm>
#include <memory>

namespace {

// One PEM source: a file, or a text inline in the configuration.
struct PemSource {
  std::string setting;  // "cert_file /etc/x.crt" or "tls_server_config.cert", for messages
  std::string text;
};

bool ReadPem(const std::string& file, const std::string& inline_text, const char* file_key,
             const char* inline_key, PemSource* source, std::string* error) {
  if (file.empty()) {
    source->setting = std::string("tls_server_config.") + inline_key;
    source->text = inline_text;
    return true;
  }
  source->setting = std::string(file_key) + " " + file;
  std::string why;
  if (!ReadConfigFile(file, &source->text, &why)) {
    // ReadConfigFile names the path itself: keep its reason only.
    *error = std::string(file_key) + " " + why;
    return false;
  }
  return true;
}

QByteArray Bytes(const std::string& text) {
  return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

// Never prompts on the terminal for an encrypted key: such a key is refused instead.
int NoPassphrase(char*, int, int, void*) {
  return 0;
}

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* x509) const { X509_free(x509); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// Whether the first certificate in `cert_pem` holds the public half of `key_pem`. Qt has no
// such check before a handshake, so OpenSSL, which Qt's TLS runs on, answers it.
// The key in `pem`: by Qt's decoder, which wants to be told the algorithm and knows RSA, EC
// and DSA; else, for Ed25519 and Ed448, as OpenSSL reads it, handed to Qt as an opaque key
// that its OpenSSL backend uses as it is (Qt then owns it).
QSslKey PrivateKey(const std::string& pem) {
  for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
    QSslKey key(Bytes(pem), algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (!key.isNull()) return key;
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return {};
  std::unique_ptr<EVP_PKEY, KeyFree> key(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!key ||
      (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519 && EVP_PKEY_id(key.get()) != EVP_PKEY_ED448)) {
    return {};
  }
  QSslKey opaque(reinterpret_cast<Qt::HANDLE>(key.get()), QSsl::PrivateKey);
  if (opaque.isNull()) return {};
  key.release();
  return opaque;
}

bool KeyMatchesCertificate(const std::string& cert_pem, const std::string& key_pem) {
  std::unique_ptr<BIO, BioFree> cert_bio(
      BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size())));
  std::unique_ptr<BIO, BioFree> key_bio(
      BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())));
  if (!cert_bio || !key_bio) return false;
  std::unique_ptr<X509, X509Free> cert(
      PEM_read_bio_X509(cert_bio.get(), nullptr, NoPassphrase, nullptr));
  std::unique_ptr<EVP_PKEY, KeyFree> key(
      PEM_read_bio_PrivateKey(key_bio.get(), nullptr, NoPassphrase, nullptr));
  return cert && key && X509_check_private_key(cert.get(), key.get()) == 1;
}

QSsl::SslProtocol Protocol(TlsVersion min, TlsVersion max) {
  if (min == TlsVersion::kTls13) return QSsl::TlsV1_3OrLater;
  return max == TlsVersion::kTls12 ? QSsl::TlsV1_2 : QSsl::TlsV1_2OrLater;
}

QSslSocket::PeerVerifyMode VerifyMode(ClientAuth auth) {
  switch (auth) {
    case ClientAuth::kNone:
      return QSslSocket::VerifyNone;
    case ClientAuth::kRequest:
      return QSslSocket::QueryPeer;
    case ClientAuth::kRequireAny:
    case ClientAuth::kVerifyIfGiven:
    case ClientAuth::kRequireAndVerify:
      break;
  }
  // Qt then reports a missing or unverified certificate through sslErrors, where
  // ClientCertificateErrorsAcceptable decides what each policy tolerates.
  return QSslSocket::VerifyPeer;
}

bool BuildSslConfiguration(const WebTlsConfig& tls, QSslConfiguration* out, std::string* error) {
  PemSource cert;
  PemSource key;
  PemSource ca;
  if (!ReadPem(tls.cert_file, tls.cert_pem, "cert_file", "cert", &cert, error) ||
      !ReadPem(tls.key_file, tls.key_pem, "key_file", "key", &key, error)) {
    return false;
  }
  const bool has_ca = !tls.client_ca_file.empty() || !tls.client_ca_pem.empty();
  if (has_ca &&
      !ReadPem(tls.client_ca_file, tls.client_ca_pem, "client_ca_file", "client_ca", &ca, error)) {
    return false;
  }

  const QList<QSslCertificate> chain = QSslCertificate::fromData(Bytes(cert.text), QSsl::Pem);
  if (chain.isEmpty()) {
    *error = cert.setting + ": no PEM certificate";
    return false;
  }
  const QSslKey private_key = PrivateKey(key.text);
  if (private_key.isNull()) {
    *error = key.setting + ": no unencrypted RSA, EC, Ed25519 or DSA private key";
    return false;
  }
  if (!KeyMatchesCertificate(cert.text, key.text)) {
    *error = key.setting + ": the key does not match the certificate of " + cert.setting;
    return false;
  }

  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
  config.setLocalCertificateChain(chain);
  config.setPrivateKey(private_key);
  config.setProtocol(Protocol(tls.min_version, tls.max_version));
  config.setPeerVerifyMode(VerifyMode(tls.client_auth));
  if (has_ca) {
    const QList<QSslCertificate> cas = QSslCertificate::fromData(Bytes(ca.text), QSsl::Pem);
    if (cas.isEmpty()) {
      *error = ca.setting + ": no PEM certificate";
      return false;
    }
    // Only these CAs vouch for clients, not the system's.
    config.setCaCertificates(cas);
  }
  if (!tls.cipher_suites.empty()) {
    QList<QSslCipher> ciphers;
    for (const std::string& name : tls.cipher_suites) {
      const QSslCipher cipher(QString::fromStdString(name));
      if (cipher.isNull()) {
        *error = "tls_server_config: cipher suite " + name + " is not in this TLS library";
        return false;
      }
      ciphers.append(cipher);
    }
    config.setCiphers(ciphers);
  }
  config.setSslOption(QSsl::SslOptionDisableServerCipherPreference,
                      !tls.prefer_server_cipher_suites);
  if (!tls.curve_preferences.empty()) {
    QList<QSslEllipticCurve> curves;
    for (const std::string& name : tls.curve_preferences) {
      const QSslEllipticCurve curve =
          QSslEllipticCurve::fromShortName(QString::fromStdString(name));
      if (!curve.isValid()) {
        *error = "tls_server_config: curve " + name + " is not in this TLS library";
        return false;
      }
      curves.append(curve);
    }
    config.setEllipticCurves(curves);
  }
  *out = config;
  return true;
}

}  // namespace

bool MakeSslConfiguration(const WebTlsConfig& tls, QSslConfiguration* out, std::string* error) {
  error->clear();
  const bool ok = BuildSslConfiguration(tls, out, error);
  if (!ok) *error = OneLine(*error);
  return ok;
}

bool ClientCertificateErrorsAcceptable(ClientAuth auth, const QList<QSslError>& errors) {
  const auto missing = [](const QSslError& e) { return e.error() == QSslError::NoPeerCertificate; };
  switch (auth) {
    case ClientAuth::kNone:
    case ClientAuth::kRequest:
      return true;
    case ClientAuth::kRequireAny:
      return std::none_of(errors.begin(), errors.end(), missing);
    case ClientAuth::kVerifyIfGiven:
      return std::all_of(errors.begin(), errors.end(), missing);
    case ClientAuth::kRequireAndVerify:
      break;
  }
  return errors.isEmpty();
}

bool ClientSanAllowed(const QSslCertificate& certificate, const std::vector<std::string>& allowed) {
  if (allowed.empty()) return true;
  const auto names = certificate.subjectAlternativeNames();
  for (auto it = names.cbegin(); it != names.cend(); ++it) {
    QString value = it.value();
    if (it.key() == QSsl::IpAddressEntry) {
      // The toolkit compares Go's text of the address; QHostAddress writes the same forms.
      const QHostAddress address(value);
      if (!address.isNull()) value = address.toString();
    }
    if (std::find(allowed.begin(), allowed.end(), value.toStdString()) != allowed.end()) {
      return true;
    }
  }
  return false;
}
