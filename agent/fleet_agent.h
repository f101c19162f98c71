// The fleet agent: tarovue-scan --serve's HTTP endpoints for Prometheus and its fleet page,
// served by QHttpServer on the scanner's event loop. Every answer is rendered on request from
// the scanner's device table, event log and counters (agent/exposition.h,
// agent/fleet_page.h), so nothing here keeps a copy of a device. With a web configuration
// (--web-config) it speaks TLS, asks for basic auth (bcrypt on a pool of its own, within a
// budget per client address), keeps each client address to its rate limit, adds its headers,
// and follows changes of that file. Connections stay within the limits of
// agent/connection_slots.h. The table, the log and the sources must outlive the agent.
#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "agent/agent_protocol.h"
#include "agent/basic_auth.h"
#include "agent/bcrypt_budget.h"
#include "agent/bcrypt_pool.h"
#include "agent/connection_slots.h"
#include "agent/http_counters.h"
#include "agent/request_rate_limit.h"
#include "devices/discovery_counters.h"
#include "net/serve_address.h"
#include "platform/clock.h"

class DeviceTable;
class EventLog;
class GuardedSslServer;
class WebSettings;

class FleetAgent final : public QAbstractHttpServer {
 public:
  using CounterSource = std::function<DiscoveryCounters()>;
  // Whether discovery is under way; false with a one-line reason (/-/ready answers 503).
  using ReadySource = std::function<bool(std::string& reason)>;

  // Messages about the web configuration go to `err`.
  FleetAgent(const DeviceTable& devices, const EventLog& events, CounterSource counters,
             ReadySource ready, std::FILE* err = stderr);
  ~FleetAgent() override;
  FleetAgent(const FleetAgent&) = delete;
  FleetAgent& operator=(const FleetAgent&) = delete;

  // Loads the web configuration at `path` for Listen and follows its changes from then on.
  // True on success; false with a one-line reason in `error` ("web.yml:4: unknown key
  // \"tls_config\"") and no configuration in use.
  bool UseWebConfig(const std::string& path, std::string& error);

  // Starts listening on `address`, with TLS when the web configuration asks for it, and says
  // once on `err` where and how it serves ("tarovue-scan: serving https://0.0.0.0:9731/ (basic
  // auth)"). True on success; false with a one-line reason in `error` ("cannot listen on
  // 127.0.0.1:9731: address already in use") and nothing bound.
  bool Listen(const ServeAddress& address, std::string& error);

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

 private:
  // What an answer needs from its request, kept while the answer is held back.
  struct Request {
    bool get = false;
    bool head = false;
    bool close = false;  // the client asked to close after this answer
    QString path;
    QByteArray authorization;
    QByteArray accept_encoding;
    std::string peer;  // the client's address, as text
  };
  // What stands before the endpoint: decided when the request came, or once its login was
  // checked.
  enum class Gate : uint8_t { kOpen, kUnauthorized, kThrottled, kRateLimited };
  struct Reply;

  // Writes the answer to `request` on `socket`; returns the bytes written.
  int64_t Respond(QTcpSocket* socket, const Request& request, Gate gate);
  Reply Route(const Request& request, Gate gate);
  // The answer to `request` on `socket`, through its guard when it has one.
  void Answer(ConnectionGuard* guard, QTcpSocket* socket, Request request, Gate gate);
  // Starts the bcrypt runs of `job` for `request`, within the budget, its answer's place kept
  // on `guard`. False when the budget has nothing for it (nothing started).
  bool StartCheck(ConnectionGuard& guard, QTcpSocket* socket, const Request& request,
                  BcryptJob job);
  void FollowWebConfig();
  // "basic auth", "client certificates", both, or "no authentication".
  [[nodiscard]] std::string HowServed() const;

  const DeviceTable& m_devices;
  const EventLog& m_events;
  CounterSource m_counters;
  ReadySource m_ready;
  std::FILE* m_err;
  HttpCounters m_http;
  ConnectionSlots m_slots{m_http};
  std::unique_ptr<WebSettings> m_web;
  SteadyClock m_clock;
  BcryptBudget m_budget;
  RequestRateLimit m_rate_limit{m_clock};
  int64_t m_bcrypt_estimate_ms = kBcryptFirstEstimateMs;  // the last check's duration
  GuardedSslServer* m_tls_server = nullptr;               // a child, when TLS is spoken
  QTimer m_follow;
  // The fleet page's files, read from the resources once.
  std::string m_page_template;
  std::string m_style;
  std::string m_script;
  // Last, so that it goes first: its completions use everything above.
  BcryptPool m_pool{kBcryptThreads, kBcryptQueuedJobs};
};
