#include "agent/fleet_agent.h"

#include "version.h"

#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QPointer>
#include <QTcpSocket>
#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/agent_protocol.h"
#include "agent/exposition.h"
#include "agent/fleet_page.h"
#include "agent/guarded_ssl_server.h"
#include "agent/guarded_tcp_server.h"
#include "agent/gzip_encoding.h"
#include "agent/web_settings.h"
#include "devices/device_table.h"
#include "devices/event_log.h"

namespace {

// The socket layer's words, lower case, as our one-line messages read.
std::string ListenFailure(const QTcpServer& server) {
  std::string text = server.errorString().toStdString();
  if (server.serverError() == QAbstractSocket::AddressInUseError) text = "address already in use";
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 429:
      return "Too Many Requests";
    case 503:
      return "Service Unavailable";
    default:
      return "";
  }
}

// A file compiled into the agent; "" only when the build left it out.
std::string ResourceText(const char* path) {
  QFile file(QString::fromLatin1(path));
  if (!file.open(QIODevice::ReadOnly)) return std::string();
  return file.readAll().toStdString();
}

bool HasHeader(const std::vector<std::pair<std::string, std::string>>& headers,
               std::string_view name) {
  return std::any_of(headers.begin(), headers.end(), [name](const auto& header) {
    return QByteArray::fromStdString(header.first)
               .compare(QByteArrayView(name.data(), static_cast<qsizetype>(name.size())),
                        Qt::CaseInsensitive) == 0;
  });
}

void AddHeader(QByteArray& out, const QByteArray& name, const QByteArray& value) {
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

}  // namespace

struct FleetAgent::Reply {
  int status = 200;
  const char* type = kTextContentType;
  std::string body;
  bool compressible = false;  // gzip when the client takes it
  std::vector<std::pair<QByteArray, QByteArray>> headers;
};

FleetAgent::FleetAgent(const DeviceTable& devices, const EventLog& events, CounterSource counters,
                       ReadySource ready, std::FILE* err)
    : m_devices(devices),
      m_events(events),
      m_counters(std::move(counters)),
      m_ready(std::move(ready)),
      m_err(err),
      m_budget(m_clock, BcryptRates{kBcryptMsPerSecond, kBcryptBurstMs, kBcryptPeerShare,
                                    kBcryptReservedShare}),
      m_page_template(ResourceText(kPageTemplateResource)),
      m_style(ResourceText(kStyleResource)),
      m_script(ResourceText(kScriptResource)) {
  QObject::connect(&m_follow, &QTimer::timeout, this, [this] { FollowWebConfig(); });
}

FleetAgent::~FleetAgent() {
  // The servers' sockets and their guards go while the slots and the counters still exist.
  qDeleteAll(servers());
}

bool FleetAgent::UseWebConfig(const std::string& path, std::string& error) {
  auto web = std::make_unique<WebSettings>(m_err);
  if (!web->Load(path, error)) return false;
  m_web = std::move(web);
  m_rate_limit.Set(m_web->RateLimit());
  m_http.web_config = true;
  m_follow.start(kWebConfigPollMs);
  return true;
}

void FleetAgent::FollowWebConfig() {
  if (m_web->ReloadIfChanged() != WebSettings::Reload::kTaken) return;
  m_rate_limit.Set(m_web->RateLimit());
  if (m_tls_server != nullptr) m_tls_server->SetTls(m_web->Ssl(), m_web->TlsSettings());
}

std::string FleetAgent::HowServed() const {
  std::string how;
  if (m_web && m_web->Auth().Enabled()) how = "basic auth";
  const ClientAuth client = m_web ? m_web->TlsSettings().client_auth : ClientAuth::kNone;
  if (m_web && m_web->Tls() &&
      (client == ClientAuth::kRequireAny || client == ClientAuth::kRequireAndVerify)) {
    how += std::string(how.empty() ? "" : ", ") + "client certificates";
  }
  return how.empty() ? "no authentication" : how;
}

bool FleetAgent::Listen(const ServeAddress& address, std::string& error) {
  QTcpServer* server = nullptr;
  if (m_web && m_web->Tls()) {
    m_tls_server = new GuardedSslServer(m_slots, this);
    m_tls_server->SetTls(m_web->Ssl(), m_web->TlsSettings());
    server = m_tls_server;
  } else {
    server = new GuardedTcpServer(m_slots, this);
  }
  if (!server->listen(QHostAddress(QString::fromStdString(address.host)), address.port)) {
    const bool v6 = address.host.find(':') != std::string::npos;
    error = "cannot listen on " + (v6 ? "[" + address.host + "]" : address.host) + ":" +
            std::to_string(address.port) + ": " + ListenFailure(*server);
    delete server;
    m_tls_server = nullptr;
    return false;
  }
  bind(server);
  const bool v6 = address.host.find(':') != std::string::npos;
  std::fprintf(m_err, "tarovue-scan: serving %s://%s:%u/ (%s)\n", m_tls_server ? "https" : "http",
               (v6 ? "[" + address.host + "]" : address.host).c_str(),
               static_cast<unsigned>(address.port), HowServed().c_str());
  std::fflush(m_err);
  return true;
}

bool FleetAgent::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
  Request facts;
  facts.get = request.method() == QHttpServerRequest::Method::Get;
  facts.head = request.method() == QHttpServerRequest::Method::Head;
  facts.close = request.value("connection").trimmed().compare("close", Qt::CaseInsensitive) == 0;
  facts.path = request.url().path();
  facts.authorization = request.value("authorization");
  facts.accept_encoding = request.value("accept-encoding");
  facts.peer = socket->peerAddress().toString().toStdString();
  ConnectionGuard* guard = m_slots.GuardOf(socket);
  if (guard != nullptr) guard->RequestDone();

  Gate gate = Gate::kOpen;
  const bool probe = facts.path == kPathHealthy || facts.path == kPathReady;
  if (m_web && !m_rate_limit.Allow(facts.peer)) {
    gate = Gate::kRateLimited;
  } else if (m_web && !probe) {
    BcryptJob job;
    const AuthResult auth = m_web->Auth().Prepare(
        std::string_view(facts.authorization.constData(),
                         static_cast<std::size_t>(facts.authorization.size())),
        &job);
    if (auth == AuthResult::kPassed && m_web->Auth().Enabled()) {
      // A value verified before, from this address: it has logged in.
      m_budget.Trust(facts.peer);
    } else if (auth == AuthResult::kFailed) {
      gate = Gate::kUnauthorized;
    } else if (auth == AuthResult::kPending) {
      if (guard != nullptr && StartCheck(*guard, socket, facts, std::move(job))) return true;
      gate = Gate::kThrottled;
    }
  }
  Answer(guard, socket, std::move(facts), gate);
  return true;
}

void FleetAgent::Answer(ConnectionGuard* guard, QTcpSocket* socket, Request request, Gate gate) {
  if (guard == nullptr) {
    Respond(socket, request, gate);
    return;
  }
  // The guard dies with the socket, and so does this answer if it is still held back.
  guard->Answer([this, socket, request = std::move(request), gate] {
    return Respond(socket, request, gate);
  });
}

bool FleetAgent::StartCheck(ConnectionGuard& guard, QTcpSocket* socket, const Request& request,
                            BcryptJob job) {
  BcryptBudget::Grant grant;
  if (!m_budget.Take(request.peer, m_bcrypt_estimate_ms, &grant)) return false;
  const uint64_t ticket = guard.Defer();
  if (ticket == 0) {
    m_budget.Settle(grant, 0);  // cut for its backlog: nothing ran
    return true;
  }
  // What Finish needs, without the password, which goes to the pool only.
  BcryptJob verdict;
  verdict.known = job.known;
  verdict.key = job.key;
  verdict.generation = job.generation;
  verdict.work = job.work;
  QPointer<ConnectionGuard> alive(&guard);
  const bool queued =
      m_pool.Submit(std::move(job), [this, alive, socket, request, ticket, grant,
                                     verdict = std::move(verdict)](bool match, int64_t took_ms) {
        m_budget.Settle(grant, took_ms);
        m_bcrypt_estimate_ms = std::max<int64_t>(1, took_ms);
        const bool passed = m_web->Auth().Finish(verdict, match) == AuthResult::kPassed;
        m_http.bcrypt_runs = m_web->Auth().Verifications();
        if (passed) m_budget.Trust(request.peer);
        if (alive.isNull()) return;
        const Gate gate = passed ? Gate::kOpen : Gate::kUnauthorized;
        alive->Resolve(ticket,
                       [this, socket, request, gate] { return Respond(socket, request, gate); });
      });
  if (!queued) {
    m_budget.Settle(grant, 0);
    guard.Resolve(ticket,
                  [this, socket, request] { return Respond(socket, request, Gate::kThrottled); });
  }
  return true;
}

void FleetAgent::missingHandler(const QHttpServerRequest&, QTcpSocket* socket) {
  // handleRequest answers everything; this is only QAbstractHttpServer's demand.
  socket->disconnectFromHost();
}

FleetAgent::Reply FleetAgent::Route(const Request& request, Gate gate) {
  const auto text = [](int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
  };
  const bool allowed = request.get || request.head;
  Reply not_allowed = text(405, "only GET and HEAD\n");
  not_allowed.headers.emplace_back("Allow", "GET, HEAD");

  if (gate == Gate::kRateLimited) {
    ++m_http.rate_limited;
    Reply reply = text(429, "Too Many Requests\n");
    reply.headers.emplace_back("Retry-After", QByteArray::number(m_rate_limit.RetryAfterSeconds()));
    return reply;
  }
  if (request.path == kPathHealthy || request.path == kPathReady) {
    if (!allowed) return not_allowed;
    if (request.path == kPathHealthy) return text(200, "Healthy.\n");
    std::string reason;
    if (!m_ready || m_ready(reason)) return text(200, "Ready.\n");
    return text(503, "Not ready: " + reason + "\n");
  }
  if (gate == Gate::kUnauthorized) {
    Reply reply = text(401, "credentials needed\n");
    reply.headers.emplace_back("WWW-Authenticate", kBasicChallenge);
    return reply;
  }
  if (gate == Gate::kThrottled) {
    ++m_http.auth_throttled;
    Reply reply = text(429, "too many new credentials at once; try again\n");
    reply.headers.emplace_back("Retry-After", QByteArray::number(kRetryAfterSeconds));
    return reply;
  }
  if (!allowed) return not_allowed;

  Reply reply;
  if (request.path == kPathMetrics) {
    if (m_web) {
      m_http.web_config_reload_ok = m_web->LastReloadOk();
      m_http.web_config_reload_success_time = m_web->LastSuccessTime();
    }
    reply.type = kMetricsContentType;
    reply.body = RenderMetrics(m_devices.Devices(), m_counters(), TAROVUE_VERSION);
    reply.body += RenderHttpMetrics(m_http);
    reply.compressible = true;
  } else if (request.path == kPathTargets) {
    reply.type = kJsonContentType;
    reply.body = RenderTargets(m_devices.Devices(), &m_http.targets_foreign_host,
                               &m_http.targets_foreign_description);
  } else if (request.path == kPathDevices) {
    reply.type = kJsonContentType;
    reply.body = RenderDevicesJson(m_devices.Devices());
    reply.compressible = true;
  } else if (request.path == kPathIndex || request.path == kPathEvents) {
    const std::vector<DeviceSnapshot>& devices = m_devices.Devices();
    FleetFacts facts;
    facts.events = m_events.Newest();
    facts.events_total = m_events.Total();
    facts.counters = m_counters();
    facts.now = SystemClock().Now();
    if (request.path == kPathIndex) {
      reply.type = kHtmlContentType;
      reply.body = RenderFleetPage(m_page_template, TAROVUE_VERSION, devices, facts);
    } else {
      reply.type = kJsonContentType;
      reply.body = RenderEventsJson(devices, facts);
    }
    reply.compressible = true;
  } else if (request.path == kPathStyle) {
    reply.type = kStyleContentType;
    reply.body = m_style;
  } else if (request.path == kPathScript) {
    reply.type = kScriptContentType;
    reply.body = m_script;
  } else {
    reply = text(404, "not found\n");
  }
  return reply;
}

int64_t FleetAgent::Respond(QTcpSocket* socket, const Request& request, Gate gate) {
  // An answer held back for a client that has since closed, or asked to, has no one to go to.
  if (socket->state() != QAbstractSocket::ConnectedState) return 0;
  Reply reply = Route(request, gate);
  bool gzip = false;
  if (reply.compressible &&
      AcceptsGzip(std::string_view(request.accept_encoding.constData(),
                                   static_cast<std::size_t>(request.accept_encoding.size())))) {
    std::string compressed;
    gzip = GzipCompress(reply.body, &compressed);
    if (gzip) reply.body = std::move(compressed);
  }

  QByteArray out;
  out.reserve(static_cast<qsizetype>(512 + (request.head ? 0 : reply.body.size())));
  out += "HTTP/1.1 " + QByteArray::number(reply.status) + " " + ReasonPhrase(reply.status) + "\r\n";
  AddHeader(out, "Content-Type", reply.type);
  AddHeader(out, "Content-Length", QByteArray::number(static_cast<qsizetype>(reply.body.size())));
  if (reply.compressible) AddHeader(out, "Vary", "Accept-Encoding");
  if (gzip) AddHeader(out, "Content-Encoding", "gzip");
  for (const auto& [name, value] : reply.headers) AddHeader(out, name, value);
  for (const auto& [name, value] : {std::pair{kSecurityPolicyHeader, kSecurityPolicy},
                                    std::pair{kContentTypeOptionsHeader, kContentTypeOptions}}) {
    if (!m_web || !HasHeader(m_web->Headers(), name)) AddHeader(out, name, value);
  }
  if (m_web) {
    for (const auto& [name, value] : m_web->Headers()) {
      AddHeader(out, QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
  }
  if (request.close) AddHeader(out, "Connection", "close");
  out += "\r\n";
  // HEAD gets the head that GET would, without the body.
  if (!request.head) out.append(reply.body.data(), static_cast<qsizetype>(reply.body.size()));
  ++m_http.answers[reply.status];
  const int64_t written = socket->write(out);
  if (request.close) socket->disconnectFromHost();
  return written > 0 ? written : 0;
}
