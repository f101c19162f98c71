#include "agent/fleet_agent.h"

#include "version.h"

#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpSocket>
#include <cctype>

#include "agent/agent_protocol.h"
#include "agent/exposition.h"
#include "agent/guarded_tcp_server.h"
#include "devices/device_table.h"

namespace {

using Status = QHttpServerResponder::StatusCode;

// The socket layer's words, lower case, as our one-line messages read.
std::string ListenFailure(const QTcpServer& server) {
  std::string text = server.errorString().toStdString();
  if (server.serverError() == QAbstractSocket::AddressInUseError) text = "address already in use";
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

void Answer(QHttpServerResponder& responder, bool head, Status status, const char* type,
            const std::string& body) {
  responder.writeStatusLine(status);
  responder.writeHeader("Content-Type", type);
  responder.writeHeader("Content-Length", QByteArray::number(static_cast<qsizetype>(body.size())));
  if (status == Status::MethodNotAllowed) responder.writeHeader("Allow", "GET, HEAD");
  // HEAD gets the head that GET would, without the body.
  responder.writeBody(head ? "" : body.data(), head ? 0 : static_cast<qint64>(body.size()));
}

}  // namespace

FleetAgent::FleetAgent(const DeviceTable& devices, CounterSource counters)
    : m_devices(devices), m_counters(std::move(counters)) {}

bool FleetAgent::Listen(const ServeAddress& address, std::string& error) {
  auto* server = new GuardedTcpServer(this);
  if (!server->listen(QHostAddress(QString::fromStdString(address.host)), address.port)) {
    const bool v6 = address.host.find(':') != std::string::npos;
    error = "cannot listen on " + (v6 ? "[" + address.host + "]" : address.host) + ":" +
            std::to_string(address.port) + ": " + ListenFailure(*server);
    delete server;
    return false;
  }
  bind(server);
  return true;
}

bool FleetAgent::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
  GuardedTcpServer::RequestDone(socket);
  QHttpServerResponder responder = makeResponder(request, socket);
  const auto method = request.method();
  const bool head = method == QHttpServerRequest::Method::Head;
  if (method != QHttpServerRequest::Method::Get && !head) {
    Answer(responder, false, Status::MethodNotAllowed, kTextContentType, "only GET and HEAD\n");
    return true;
  }
  const QString path = request.url().path();
  if (path == kPathMetrics) {
    Answer(responder, head, Status::Ok, kMetricsContentType,
           RenderMetrics(m_devices.Devices(), m_counters(), TAROVUE_VERSION));
  } else if (path == kPathTargets) {
    Answer(responder, head, Status::Ok, kJsonContentType, RenderTargets(m_devices.Devices()));
  } else if (path == kPathDevices) {
    Answer(responder, head, Status::Ok, kJsonContentType, RenderDevicesJson(m_devices.Devices()));
  } else if (path == kPathIndex) {
    Answer(responder, head, Status::Ok, kHtmlContentType, RenderIndex(TAROVUE_VERSION));
  } else {
    Answer(responder, head, Status::NotFound, kTextContentType, "not found\n");
  }
  return true;
}

void FleetAgent::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
  QHttpServerResponder responder = makeResponder(request, socket);
  Answer(responder, false, Status::NotFound, kTextContentType, "not found\n");
}
