#include "agent/guarded_ssl_server.h"

#include <unistd.h>

#include <QSslSocket>

#include "agent/agent_protocol.h"
#include "agent/connection_slots.h"
#include "agent/web_tls.h"

GuardedSslServer::GuardedSslServer(ConnectionSlots& pool, QObject* parent)
    : QSslServer(parent), m_slots(pool) {
  setHandshakeTimeout(kRequestDeadlineMs);
  // Handshakes count as pending here; the slots bound them, and Qt's own pause at a full
  // queue would only stop the accepts that let a newcomer in.
  setMaxPendingConnections(2 * kMaxConnections);
}

void GuardedSslServer::SetTls(const QSslConfiguration& configuration, const WebTlsConfig& tls) {
  setSslConfiguration(configuration);
  m_client_auth = tls.client_auth;
  m_allowed_sans = tls.client_allowed_sans;
}

void GuardedSslServer::incomingConnection(qintptr handle) {
  QSslServer::incomingConnection(handle);
  // QSslServer made the socket its newest child; it keeps that child even when the
  // descriptor could not be taken, and leaves the descriptor open.
  const QObjectList& children = this->children();
  auto* socket = children.isEmpty() ? nullptr : qobject_cast<QSslSocket*>(children.last());
  if (socket == nullptr || socket->socketDescriptor() != handle) {
    if (socket != nullptr && socket->socketDescriptor() == -1) socket->deleteLater();
    ::close(static_cast<int>(handle));
    return;
  }
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
