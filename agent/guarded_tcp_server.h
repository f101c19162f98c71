// The fleet agent's plain listening socket: every connection it accepts is admitted into the
// agent's ConnectionSlots (agent/connection_slots.h) before QHttpServer reads it, or closed
// when the slots refuse it. Sockets are children of the server and die with it; the slots
// must outlive the server.
#pragma once

#include <QTcpServer>

class ConnectionSlots;

class GuardedTcpServer final : public QTcpServer {
 public:
  explicit GuardedTcpServer(ConnectionSlots& pool, QObject* parent = nullptr);
  GuardedTcpServer(const GuardedTcpServer&) = delete;
  GuardedTcpServer& operator=(const GuardedTcpServer&) = delete;

 protected:
  void incomingConnection(qintptr handle) override;

 private:
  ConnectionSlots& m_slots;
};
