#include "agent/guarded_ssl_server.h"

#include <QSslSocket>

#include "agent/agent_protocol.h"
#include "agent/connection_slots.h"
#include "agent/tls_greeting.h"
#include "agent/web_tls.h"

GuardedSslServer::GuardedSslServer(ConnectionSlots& pool, QObject* parent)
    : QSslServer(parent),
      m_slots(pool),
      m_greeting(new TlsGreeting(
          pool.Counters(), [this](qintptr handle) { QSslServer::incomingConnection(handle); },
          this)) {
  setHandshakeTimeout(kRequestDeadlineMs);
  // Handshakes count as pending here; the slots bound them, and Qt's own pause at a full
  // queue would only stop the accepts that let a newcomer in.
  setMaxPendingConnections(2 * kMaxConnections);
  // Emitted while the socket is new to its handshake (from incomingConnection, or once the
  // first byte is read, as the Qt version has it): before any client certificate is looked at.
  connect(this, &QSslServer::startedEncryptionHandshake, this,
          [this](QSslSocket* socket) { Take(socket); });
}

void GuardedSslServer::SetTls(const QSslConfiguration& configuration, const WebTlsConfig& tls) {
  setSslConfiguration(configuration);
  m_client_auth = tls.client_auth;
  m_allowed_sans = tls.client_allowed_sans;
}

void GuardedSslServer::incomingConnection(qintptr handle) {
  // The descriptor stays ours until its first byte is a TLS record; QSslServer owns it from
  // the moment it is handed on, also when it fails to take it.
  m_greeting->Wait(handle);
}

void GuardedSslServer::Take(QSslSocket* socket) {
  if (!m_slots.Admit(socket, socket)) return;
  ConnectionGuard* guard = m_slots.GuardOf(socket);
  // The policy in force when the connection came, whatever a reload does meanwhile. Both
  // slots are direct: ignoreSslErrors works only inside the signal, and an unwanted client
  // must be gone before its first request is read.
  const ClientAuth auth = m_client_auth;
  connect(
      socket, &QSslSocket::sslErrors, guard,
      [socket, auth](const QList<QSslError>& errors) {
        if (ClientCertificateErrorsAcceptable(auth, errors)) socket->ignoreSslErrors();
      },
      Qt::DirectConnection);
  if (!m_allowed_sans.empty()) {
    connect(
        socket, &QSslSocket::encrypted, guard,
        [socket, guard, sans = m_allowed_sans] {
          if (!ClientSanAllowed(socket->peerCertificate(), sans)) {
            guard->Cut(ConnectionCut::kTlsHandshake);
          }
        },
        Qt::DirectConnection);
  }
}
