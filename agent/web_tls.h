// The TLS part of the web configuration in QtNetwork's terms: the QSslConfiguration a
// QSslServer gives each new connection, and the two decisions Qt leaves to its owner: which
// certificate errors a client_auth_type tolerates, and whether a client's certificate carries
// an allowed name. Reads the files the configuration names; keeps nothing.
#pragma once

#include <QList>
#include <string>
#include <vector>

#include "agent/web_config.h"

class QSslCertificate;
class QSslConfiguration;
class QSslError;

// Reads the certificate chain, the private key and the client CAs that `tls` names (files, or
// the inline texts when no file is given) and builds the server's configuration: local chain
// and key, CAs for client certificates, peer verify mode, protocol range, suites, groups.
// True with `*out` set; false with `*error` one line naming the setting and file and the
// reason (unreadable, no PEM certificate, no unencrypted key, key not matching the
// certificate, suite or group not in this TLS library), `*out` untouched.
bool MakeSslConfiguration(const WebTlsConfig& tls, QSslConfiguration* out, std::string* error);

// Whether a handshake that raised `errors` may go on under `auth`: the server calls
// QSslSocket::ignoreSslErrors() from a direct slot on QSslServer::sslErrors when this is true.
// RequireAnyClientCert tolerates an unverified certificate, VerifyClientCertIfGiven a missing
// one, RequireAndVerifyClientCert nothing.
bool ClientCertificateErrorsAcceptable(ClientAuth auth, const QList<QSslError>& errors);

// Whether `certificate` carries one of `allowed` as a DNS, e-mail or IP address subject
// alternative name; true when `allowed` is empty, false for a null certificate (none was
// given). URI names are not offered by Qt and never match.
bool ClientSanAllowed(const QSslCertificate& certificate, const std::vector<std::string>& allowed);
