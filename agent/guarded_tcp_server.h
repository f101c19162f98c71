// The fleet agent's listening socket, with the limits that keep HTTP clients from holding
// the scanner's event loop: at most kMaxConnections open at once, each closed after
// kIdleTimeoutMs without traffic or once the head of a request outgrows
// kMaxRequestHeadBytes. QHttpServer reads and answers the connections it hands out.
// Sockets are children of the server and die with it.
#pragma once

#include <QTcpServer>

class QTcpSocket;

class GuardedTcpServer final : public QTcpServer {
 public:
  explicit GuardedTcpServer(QObject* parent = nullptr) : QTcpServer(parent) {}
  GuardedTcpServer(const GuardedTcpServer&) = delete;
  GuardedTcpServer& operator=(const GuardedTcpServer&) = delete;

  // A request on `socket` was read whole: the next head starts counting from zero.
  static void RequestDone(QTcpSocket* socket);

 protected:
  void incomingConnection(qintptr handle) override;

 private:
  int m_open = 0;
};
