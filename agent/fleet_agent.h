// The fleet agent: tarovue-scan's HTTP endpoints for Prometheus, served by QHttpServer on
// the scanner's event loop. Every answer is rendered on request from the scanner's device
// table and counters (agent/exposition.h), so nothing here keeps a copy of a device. The
// table and the counter source must outlive the agent.
#pragma once

#include <QAbstractHttpServer>
#include <functional>
#include <string>

#include "devices/discovery_counters.h"
#include "net/serve_address.h"

class DeviceTable;

class FleetAgent final : public QAbstractHttpServer {
 public:
  using CounterSource = std::function<DiscoveryCounters()>;

  FleetAgent(const DeviceTable& devices, CounterSource counters);
  FleetAgent(const FleetAgent&) = delete;
  FleetAgent& operator=(const FleetAgent&) = delete;

  // Starts listening on `address`. True on success; false with a one-line reason in `error`
  // ("cannot listen on 127.0.0.1:9731: address already in use") and nothing bound.
  bool Listen(const ServeAddress& address, std::string& error);

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

 private:
  const DeviceTable& m_devices;
  CounterSource m_counters;
};
