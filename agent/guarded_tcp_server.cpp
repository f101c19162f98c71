#include "agent/guarded_tcp_server.h"

#include <unistd.h>

#include <QTcpSocket>
#include <QTimer>

#include "agent/agent_protocol.h"

namespace {

// The bytes of the request head so far, kept on the socket itself.
constexpr char kHeadBytesProperty[] = "tarovue_head_bytes";

constexpr char kHeadTooLarge[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
    "Connection: close\r\n\r\n";

}  // namespace

void GuardedTcpServer::RequestDone(QTcpSocket* socket) {
  socket->setProperty(kHeadBytesProperty, qint64{0});
}

void GuardedTcpServer::incomingConnection(qintptr handle) {
  if (m_open >= kMaxConnections) {
    ::close(static_cast<int>(handle));
    return;
  }
  auto* socket = new QTcpSocket(this);
  if (!socket->setSocketDescriptor(handle)) {
    delete socket;
    ::close(static_cast<int>(handle));
    return;
  }
  ++m_open;
  connect(socket, &QObject::destroyed, this, [this] { --m_open; });

  auto* idle = new QTimer(socket);
  idle->setSingleShot(true);
  connect(idle, &QTimer::timeout, socket, [socket] {
    socket->abort();
    socket->deleteLater();
  });
  idle->start(kIdleTimeoutMs);
  connect(socket, &QTcpSocket::bytesWritten, idle, [idle] { idle->start(kIdleTimeoutMs); });

  // Connected before QHttpServer's own reader, so this runs first on every read. That reader
  // takes all available bytes each time, so what is available here is what just arrived.
  RequestDone(socket);
  connect(socket, &QTcpSocket::readyRead, idle, [socket, idle] {
    idle->start(kIdleTimeoutMs);
    const qint64 head =
        socket->property(kHeadBytesProperty).toLongLong() + socket->bytesAvailable();
    socket->setProperty(kHeadBytesProperty, head);
    if (head <= kMaxRequestHeadBytes) return;
    // The parser must not see these bytes: it would buffer them without end.
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    if (socket->isTransactionStarted()) socket->rollbackTransaction();
    socket->readAll();
    socket->write(kHeadTooLarge);
    socket->disconnectFromHost();
  });
  addPendingConnection(socket);
}
