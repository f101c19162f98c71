// The fleet agent's TLS listening socket: QSslServer behind a TlsGreeting (which answers plain
// HTTP with a 400 and bounds the connections that have not said a word yet), with every
// connection taken from QSslServer::startedEncryptionHandshake into the agent's
// ConnectionSlots, so that a handshake holds a slot; and the two client certificate decisions
// Qt leaves to its owner: which certificate errors the configured client_auth_type tolerates,
// and whether the certificate names an allowed client. SetTls applies to connections accepted
// afterwards, so that a renewed certificate needs no restart. The slots must outlive the
// server.
#pragma once

#include <QSslConfiguration>
#include <QSslServer>
#include <string>
#include <vector>

#include "agent/web_config.h"

class ConnectionSlots;
class QSslSocket;
class TlsGreeting;

class GuardedSslServer final : public QSslServer {
 public:
  explicit GuardedSslServer(ConnectionSlots& pool, QObject* parent = nullptr);
  GuardedSslServer(const GuardedSslServer&) = delete;
  GuardedSslServer& operator=(const GuardedSslServer&) = delete;

  // The configuration (web_tls.h) and the client certificate policy of `tls` for every
  // connection accepted from now on.
  void SetTls(const QSslConfiguration& configuration, const WebTlsConfig& tls);

 protected:
  void incomingConnection(qintptr handle) override;

 private:
  // A socket whose handshake QSslServer has just started.
  void Take(QSslSocket* socket);

  ConnectionSlots& m_slots;
  TlsGreeting* m_greeting;  // a child
  ClientAuth m_client_auth = ClientAuth::kNone;
  std::vector<std::string> m_allowed_sans;
};
