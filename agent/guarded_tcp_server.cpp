#include "agent/guarded_tcp_server.h"

#include <unistd.h>

#include <QTcpSocket>

#include "agent/agent_protocol.h"
#include "agent/connection_slots.h"

GuardedTcpServer::GuardedTcpServer(ConnectionSlots& pool, QObject* parent)
    : QTcpServer(parent), m_slots(pool) {
  // The slots decide who stays; Qt's own pause at a full queue would only stop the accepts
  // that let a newcomer in.
  setMaxPendingConnections(2 * kMaxConnections);
}

void GuardedTcpServer::incomingConnection(qintptr handle) {
  auto* socket = new QTcpSocket(this);
  if (!socket->setSocketDescriptor(handle)) {
    delete socket;
    ::close(static_cast<int>(handle));
    return;
  }
  if (m_slots.Admit(socket, nullptr)) addPendingConnection(socket);
}
