// tarovue-scan --serve end to end in private networks. Two sites, each a network with its
// own simulated indicators and agent, scraped every second by a real prometheus: its API
// counts the indicators of both, and fewer once one site's simulator says byebye. And one
// agent exposed with TLS and basic auth, scraped by prometheus over https, its certificate
// renewed while it runs. And agents under hostile clients: an oversized head, 200
// connections that send nothing, a head that trickles, a port already taken, a client that
// never reads beside 70 that trickle and reconnect; discovery and scrapes go on throughout.
// And an agent that runs for long: silent devices lost at their expiry, a full stdout.
#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/agent/agent_client.h"
#include "tests/sim/sim_harness.h"

namespace {

using namespace agenttest;
using testnet::PrivateNetwork;
using testnet::Side;
using SteadyClock = std::chrono::steady_clock;

constexpr int kPrometheusPort = 9090;
constexpr int kDeadlineMs = 30'000;

std::string SourceFile(const std::string& path) {
  const char* dir = std::getenv("TAROVUE_SOURCE_DIR");
  return std::string(dir && *dir ? dir : TAROVUE_SOURCE_DIR) + "/" + path;
}

bool HaveProgram(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool Eventually(const std::function<bool()>& check, int deadline_ms = kDeadlineMs) {
  return agenttest::Eventually(check, deadline_ms, 200);
}

std::string PromtoolMetrics(const std::string& text) {
  char path[] = "/tmp/tarovue-agent-metrics-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "cannot write a scratch file";
  close(fd);
  std::ofstream(path, std::ios::binary) << text;
  std::string out;
  if (FILE* pipe =
          popen(("promtool check metrics < " + std::string(path) + " 2>&1").c_str(), "r")) {
    char buffer[512];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pclose(pipe) != 0 && out.empty()) out = "promtool failed";
  }
  std::remove(path);
  return out;
}

// The value of a PromQL query that gives one number, or -1, from the prometheus beside the
// calling thread.
double Query(const std::string& promql) {
  const QByteArray query = QUrl::toPercentEncoding(QString::fromStdString(promql));
  const std::string response =
      Request("127.0.0.1", kPrometheusPort, "GET", "/api/v1/query?query=" + query.toStdString());
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(BodyOf(response)));
  const QJsonArray result = doc.object()["data"].toObject()["result"].toArray();
  if (result.size() != 1) return -1;
  return result[0].toObject()["value"].toArray()[1].toString().toDouble();
}

// --- two sites, one prometheus

class TwoSitesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!site_a.ok()) GTEST_SKIP() << site_a.error();
    if (!site_b.ok()) GTEST_SKIP() << site_b.error();
    if (!HaveProgram("prometheus")) GTEST_SKIP() << "prometheus is not installed (install-deps)";
    char dir[] = "/tmp/tarovue-prometheus-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
  }
  void TearDown() override {
    site_a.Leave();
    if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
  }

  pid_t StartSim(PrivateNetwork& site, int devices) {
    const pid_t pid =
        site.Spawn(Side::kDevices, {simtest::SimPath(), "--address", site.Address(Side::kDevices),
                                    "--devices", std::to_string(devices)});
    EXPECT_TRUE(site.WaitForOutput(pid, "ready:", 5000)) << site.Output(pid);
    return pid;
  }

  // The agents' sites are joined by a link of their own, so that the prometheus beside
  // site A's agent reaches site B's. Made after the agents started, which follow it as they
  // would any link plugged in later; no indicator answers there.
  bool JoinSites() {
    const std::string a = site_a.Namespace(Side::kClient), b = site_b.Namespace(Side::kClient);
    const std::string commands = "ip -n " + a + " link add tvx0 type veth peer name tvx1 netns " +
                                 b + " && ip -n " + a +
                                 " addr add 10.233.0.1/30 dev tvx0 && ip -n " + b +
                                 " addr add 10.233.0.2/30 dev tvx1 && ip -n " + a +
                                 " link set tvx0 up && ip -n " + b + " link set tvx1 up";
    return std::system(commands.c_str()) == 0;
  }

  // Names of the alerts pending or firing, with their state: "IndicatorDown=firing ...".
  std::string Alerts() {
    const std::string response = Request("127.0.0.1", kPrometheusPort, "GET", "/api/v1/alerts");
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(BodyOf(response)));
    std::string out;
    for (const auto& alert : doc.object()["data"].toObject()["alerts"].toArray()) {
      const QJsonObject object = alert.toObject();
      out += object["labels"].toObject()["alertname"].toString().toStdString() + "=" +
             object["state"].toString().toStdString() + " ";
    }
    return out;
  }

  // The shipped rules into the test's prometheus directory, IndicatorDown's five minutes
  // replaced by `wait`.
  void WriteRules(const std::string& wait) {
    std::ifstream shipped(SourceFile("data/prometheus/tarovue.rules.yml"));
    std::stringstream text;
    text << shipped.rdbuf();
    std::string rules = text.str();
    for (std::size_t at; (at = rules.find("for: 5m")) != std::string::npos;) {
      rules.replace(at, 7, "for: " + wait);
    }
    std::ofstream(m_dir + "/tarovue.rules.yml") << rules;
  }

  PrivateNetwork site_a;
  PrivateNetwork site_b;
  std::string m_dir;
};

TEST_F(TwoSitesTest, PrometheusCountsTheIndicatorsOfBothSitesAndSeesOneSiteGo) {
  constexpr int kDevicesA = 2, kDevicesB = 3;
  const pid_t sim_a = StartSim(site_a, kDevicesA);
  StartSim(site_b, kDevicesB);
  const std::vector<std::string> agent = {ScanPath(), "--serve", "0.0.0.0:9731", "--interval",
                                          "10"};
  std::vector<std::string> quiet_agent = agent;
  quiet_agent.push_back("--quiet");
  const pid_t agent_a = site_a.Spawn(Side::kClient, agent);
  const pid_t agent_b = site_b.Spawn(Side::kClient, quiet_agent);
  ASSERT_GT(agent_a, 0);
  ASSERT_GT(agent_b, 0);
  ASSERT_TRUE(JoinSites());

  // The rules as shipped, but without their waiting time, so that IndicatorDown fires at the
  // first evaluation after the byebye.
  WriteRules("0s");
  std::ofstream(m_dir + "/prometheus.yml")
      << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
      << "rule_files: [tarovue.rules.yml]\n"
      << "scrape_configs:\n  - job_name: tarovue\n    static_configs:\n"
      << "      - targets: ['127.0.0.1:" << kAgentPort << "', '10.233.0.2:" << kAgentPort << "']\n";
  const pid_t prometheus = site_a.Spawn(
      Side::kClient, {"prometheus", "--config.file=" + m_dir + "/prometheus.yml",
                      "--storage.tsdb.path=" + m_dir + "/data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)});
  ASSERT_GT(prometheus, 0);
  ASSERT_TRUE(site_a.Enter(Side::kClient));

  const std::string up = "count(tarovue_device_up == 1)";
  EXPECT_TRUE(Eventually([&] { return Query(up) == kDevicesA + kDevicesB; }))
      << "count " << Query(up) << "\nprometheus:\n"
      << site_a.Output(prometheus) << "\nagent A:\n"
      << site_a.Output(agent_a) << "\nagent B:\n"
      << site_b.Output(agent_b);
  EXPECT_EQ(Query("count(up{job=\"tarovue\"} == 1)"), 2);

  // Site B's agent, seen from site A: every page of its indicators, ready for a prober.
  const std::string targets = simtest::Body(Request("10.233.0.2", kAgentPort, "GET", "/targets"));
  const QJsonArray groups = QJsonDocument::fromJson(QByteArray::fromStdString(targets)).array();
  EXPECT_EQ(groups.size(), kDevicesB) << targets;
  for (const auto& group : groups) {
    EXPECT_EQ(group.toObject()["targets"].toArray()[0].toString().toStdString(),
              site_b.Address(Side::kDevices) + ":8080")
        << targets;
  }
  if (HaveProgram("promtool")) {
    const std::string metrics = simtest::Body(Request("127.0.0.1", kAgentPort, "GET", "/metrics"));
    EXPECT_NE(metrics.find("tarovue_device_info{"), std::string::npos) << metrics;
    EXPECT_EQ(PromtoolMetrics(metrics), "") << metrics;
  }

  EXPECT_EQ(site_a.Stop(sim_a), 0);  // byebye from every device of site A
  EXPECT_TRUE(Eventually([&] { return Query(up) == kDevicesB; }))
      << "count " << Query(up) << "\nagent A:\n"
      << site_a.Output(agent_a);
  EXPECT_TRUE(Eventually([&] {
    return Alerts().find("IndicatorDown=firing") != std::string::npos;
  })) << Alerts();
  EXPECT_EQ(Query("count(ALERTS{alertname=\"IndicatorDown\",alertstate=\"firing\"})"), kDevicesA);
  EXPECT_EQ(Alerts().find("TarovueAgentDown"), std::string::npos) << Alerts();

  site_a.Leave();
  EXPECT_EQ(site_a.Stop(agent_a), 0) << site_a.Output(agent_a);
  EXPECT_EQ(site_b.Stop(agent_b), 0) << site_b.Output(agent_b);
  EXPECT_EQ(site_b.Output(agent_b),
            "tarovue-scan: serving http://0.0.0.0:9731/ (no authentication)\n")
      << "--quiet prints no event lines, only where it serves";
  EXPECT_NE(site_a.Output(agent_a).find("  byebye "), std::string::npos) << site_a.Output(agent_a);
}

// --- one agent exposed: TLS, basic auth, a real prometheus

// Exit status and output of `argv` run to its end in the client namespace; -1 when it did
// not end within 20 s.
std::pair<int, std::string> RunInClient(PrivateNetwork& net, const std::vector<std::string>& argv) {
  const pid_t pid = net.Spawn(Side::kClient, argv);
  if (pid <= 0) return {-1, net.error()};
  const int status = net.Wait(pid, 20'000);
  return {status, net.Output(pid)};
}

class ExposedAgentTest : public simtest::SimTest {
 protected:
  void SetUp() override {
    simtest::SimTest::SetUp();
    if (IsSkipped()) return;
    for (const char* program : {"openssl", "curl", "prometheus"}) {
      if (!HaveProgram(program)) GTEST_SKIP() << program << " is not installed (install-deps)";
    }
    char dir[] = "/tmp/tarovue-exposed-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
  }
  void TearDown() override {
    if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
  }

  // A self-signed certificate for 127.0.0.1 and its key, made by the openssl command.
  bool MakeCertificate(const std::string& cert, const std::string& key, const std::string& name) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-keyout '" +
        key + "' -out '" + cert + "' -subj /CN=" + name +
        " -addext subjectAltName=IP:127.0.0.1 2>/dev/null";
    return std::system(command.c_str()) == 0;
  }

  // curl's HTTP status for `url` (000 when nothing came back), trusting `ca`.
  std::string Curl(const std::string& url, const std::string& ca, const std::string& user = "") {
    std::vector<std::string> argv = {"curl",         "-s",         "-o", "/dev/null", "-w",
                                     "%{http_code}", "--max-time", "5",  "--cacert",  ca};
    if (!user.empty()) argv.insert(argv.end(), {"-u", user});
    argv.push_back(url);
    return RunInClient(net, argv).second;
  }

  std::string m_dir;
};

TEST_F(ExposedAgentTest, PrometheusScrapesOverHttpsWithBasicAuthAndARenewedCertificateTakesOver) {
  const std::string cert = m_dir + "/agent.crt", key = m_dir + "/agent.key";
  ASSERT_TRUE(MakeCertificate(cert, key, "first"));
  const std::string first_ca = m_dir + "/first-ca.crt";
  ASSERT_EQ(std::system(("cp '" + cert + "' '" + first_ca + "'").c_str()), 0);
  const std::string hash = Bcrypt("scrape-secret", 10);
  ASSERT_FALSE(hash.empty());
  const std::string web = m_dir + "/web.yml";
  std::ofstream(web) << "tls_server_config:\n  cert_file: agent.crt\n  key_file: agent.key\n"
                     << "http_server_config:\n  headers:\n    X-Frame-Options: deny\n"
                     << "basic_auth_users:\n  prometheus: " << hash << "\n";

  StartSim({"--devices", "3"});
  const pid_t agent =
      net.Spawn(Side::kClient, {ScanPath(), "--serve", "9731", "--quiet", "--web-config", web});
  ASSERT_GT(agent, 0);
  const std::string base = "https://127.0.0.1:9731";
  ASSERT_TRUE(Eventually([&] { return Curl(base + "/-/healthy", first_ca) == "200"; }, 10'000))
      << net.Output(agent);
  EXPECT_EQ(Curl(base + "/-/ready", first_ca), "200");
  EXPECT_EQ(Curl(base + "/metrics", first_ca), "401");
  EXPECT_EQ(Curl(base + "/metrics", first_ca, "prometheus:wrong"), "401");
  EXPECT_EQ(Curl(base + "/targets", first_ca, "nobody:scrape-secret"), "401");
  EXPECT_EQ(Curl(base + "/metrics", first_ca, "prometheus:scrape-secret"), "200");
  const std::string verbose =
      RunInClient(net, {"curl", "-s", "-i", "--cacert", first_ca, base + "/devices.json"}).second;
  EXPECT_NE(verbose.find("WWW-Authenticate: Basic"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("X-Frame-Options: deny"), std::string::npos) << verbose;
  // Plain HTTP on the TLS port is told to use https, and counted as a failed handshake.
  const auto refused_handshakes = [&] {
    const std::string metrics = RunInClient(net, {"curl", "-s", "--cacert", first_ca, "-u",
                                                  "prometheus:scrape-secret", base + "/metrics"})
                                    .second;
    return MetricValue(metrics, "tarovue_http_connections_refused_total{reason=\"tls_handshake\"}");
  };
  const double handshakes_before = refused_handshakes();
  const std::string plain = Request("127.0.0.1", kAgentPort, "GET", "/-/healthy", 3000);
  EXPECT_EQ(StatusLine(plain), "HTTP/1.0 400 Bad Request") << plain;
  EXPECT_NE(plain.find("HTTPS"), std::string::npos) << plain;
  EXPECT_EQ(refused_handshakes(), handshakes_before + 1);
  EXPECT_NE(verbose.find("X-Content-Type-Options: nosniff"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("frame-ancestors 'none'"), std::string::npos) << verbose;

  std::ofstream(m_dir + "/prometheus.yml")
      << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tarovue\n"
      << "    scheme: https\n    tls_config:\n      ca_file: " << first_ca << "\n"
      << "    basic_auth:\n      username: prometheus\n      password: scrape-secret\n"
      << "    static_configs:\n      - targets: ['127.0.0.1:" << kAgentPort << "']\n";
  const pid_t prometheus = net.Spawn(
      Side::kClient, {"prometheus", "--config.file=" + m_dir + "/prometheus.yml",
                      "--storage.tsdb.path=" + m_dir + "/data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)});
  ASSERT_GT(prometheus, 0);
  const std::string up = "count(tarovue_device_up == 1)";
  EXPECT_TRUE(Eventually([&] { return Query(up) == 3; }))
      << "count " << Query(up) << "\nprometheus:\n"
      << net.Output(prometheus) << "\nagent:\n"
      << net.Output(agent);
  EXPECT_EQ(Query("tarovue_web_config_last_reload_successful"), 1);
  EXPECT_EQ(net.Stop(prometheus), 0);

  // Renewed as a renewal tool does it: new files renamed over the old ones. The next
  // connection gets the new certificate, with no restart.
  const std::string second_ca = m_dir + "/second-ca.crt";
  ASSERT_TRUE(MakeCertificate(m_dir + "/next.crt", m_dir + "/next.key", "second"));
  ASSERT_EQ(std::system(("cp '" + m_dir + "/next.crt' '" + second_ca + "' && mv '" + m_dir +
                         "/next.key' '" + key + "' && mv '" + m_dir + "/next.crt' '" + cert + "'")
                            .c_str()),
            0);
  const auto renewed_from = SteadyClock::now();
  EXPECT_TRUE(Eventually([&] { return Curl(base + "/-/healthy", second_ca) == "200"; }, 15'000))
      << net.Output(agent);
  std::printf("agent: renewed certificate served after %.1f s\n",
              std::chrono::duration<double>(SteadyClock::now() - renewed_from).count());
  EXPECT_EQ(Curl(base + "/-/healthy", first_ca), "000") << "the old certificate is gone";

  // A broken file keeps the last good configuration in force and says so.
  std::ofstream(web) << "tls_server_config:\n  cert_file: agent.crt\n  key_file: agent.key\n"
                     << "basic_auth_users:\n  prometheus: scrape-secret\n";
  EXPECT_TRUE(net.WaitForOutput(agent, "the last good web configuration stays in force", 10'000))
      << net.Output(agent);
  EXPECT_NE(net.Output(agent).find("web.yml:5: user \"prometheus\": the password is not a bcrypt"),
            std::string::npos)
      << net.Output(agent);
  const std::string metrics =
      RunInClient(net, {"curl", "-s", "--compressed", "--cacert", second_ca, "-u",
                        "prometheus:scrape-secret", base + "/metrics"})
          .second;
  EXPECT_NE(metrics.find("tarovue_web_config_last_reload_successful 0\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("tarovue_http_requests_total{code=\"401\"} 4\n"), std::string::npos)
      << metrics;
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
}

// --- one agent under hostile clients

class AgentHostileClientsTest : public simtest::SimTest {};

TEST_F(AgentHostileClientsTest, SlowAndOversizedClientsNeverStopDiscovery) {
  // Host names with the exposition's escape character in them.
  const pid_t sim = StartSim({"--devices", "2", "--host-name", "b\\ack{n}"});
  const pid_t agent = net.Spawn(Side::kClient, {ScanPath(), "--serve", "9731"});
  ASSERT_GT(agent, 0);
  const std::string host = "127.0.0.1";
  std::string metrics;
  ASSERT_TRUE(Eventually(
      [&] {
        metrics = simtest::Body(Request(host, kAgentPort, "GET", "/metrics"));
        return metrics.find("tarovue_devices{status=\"new\"} 2") != std::string::npos ||
               metrics.find("tarovue_devices{status=\"online\"} 2") != std::string::npos;
      },
      10'000))
      << metrics << net.Output(agent);
  EXPECT_NE(metrics.find("hostname=\"b\\\\ack1\""), std::string::npos) << metrics;
  if (HaveProgram("promtool")) {
    EXPECT_EQ(PromtoolMetrics(metrics), "") << metrics;
  }

  // A second agent on the same port: one line, status 1, and no search sent.
  const pid_t second = net.Spawn(Side::kClient, {ScanPath(), "--serve", "9731"});
  EXPECT_EQ(net.Wait(second, 5000), 1);
  EXPECT_EQ(net.Output(second),
            "tarovue-scan: cannot listen on 127.0.0.1:9731: address already in use\n");

  // The endpoints' answers to what they do not serve.
  EXPECT_EQ(StatusLine(Request(host, kAgentPort, "POST", "/metrics")).substr(9, 3), "405");
  EXPECT_EQ(StatusLine(Request(host, kAgentPort, "GET", "/nothing")).substr(9, 3), "404");
  const std::string head = Request(host, kAgentPort, "HEAD", "/metrics");
  EXPECT_EQ(StatusLine(head).substr(9, 3), "200") << head;
  EXPECT_EQ(simtest::Body(head), "") << "HEAD has no body";

  // A head of 6 KiB is served; one beyond 8 KiB, sent in pieces, is cut off unanswered.
  const auto padded = [](std::size_t pad) {
    return "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(pad, 'a') + "\r\n\r\n";
  };
  int fd = Connect(host, kAgentPort);
  ASSERT_GE(fd, 0);
  std::string request = padded(6 * 1024);
  ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  EXPECT_EQ(StatusLine(ReadResponse(fd, 5000)).substr(9, 3), "200");
  close(fd);
  fd = Connect(host, kAgentPort);
  ASSERT_GE(fd, 0);
  request = padded(9 * 1024);
  for (std::size_t at = 0; at < request.size(); at += 1024) {
    const std::string piece = request.substr(at, 1024);
    if (write(fd, piece.data(), piece.size()) < 0) break;  // closed already
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ReadResponse(fd, 5000).find("200 OK"), std::string::npos);
  close(fd);

  // 200 connections that send nothing: each beyond 64 takes the place of the oldest, and the
  // last 64 are held until their idle time runs out.
  std::vector<int> idle;
  const auto held_from = SteadyClock::now();
  for (int i = 0; i < 200; ++i) {
    const int c = Connect(host, kAgentPort);
    if (c >= 0) idle.push_back(c);
  }
  EXPECT_EQ(idle.size(), 200u);
  // And one that trickles a byte of its head every 200 ms: the deadline runs from its first.
  const int trickler = Connect(host, kAgentPort);
  ASSERT_GE(trickler, 0);
  const std::string slow_head = "GET /metrics HTTP/1.1\r\nHost: x\r\n" + std::string(200, 'X');
  std::size_t trickled = 0;
  const auto trickle_from = SteadyClock::now();
  const auto trickle = [&] {
    if (trickled < slow_head.size() &&
        send(trickler, slow_head.data() + trickled, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
      ++trickled;
    }
  };
  trickle();
  // Discovery goes on meanwhile: the byebye is taken while every connection is still held.
  EXPECT_EQ(net.Stop(sim), 0);
  EXPECT_TRUE(net.WaitForOutput(agent, "  byebye ", 5000)) << net.Output(agent);
  const auto closed = [](int c) {
    pollfd p{c, POLLIN, 0};
    char byte;
    return poll(&p, 1, 0) == 1 && read(c, &byte, 1) <= 0;
  };
  int open_now = 0;
  for (const int c : idle) open_now += closed(c) ? 0 : 1;
  EXPECT_EQ(open_now, 63) << "held connections, beside the trickler";
  EXPECT_FALSE(closed(idle.back())) << "the newest are held";
  EXPECT_TRUE(Eventually(
      [&] {
        trickle();
        for (const int c : idle) {
          if (!closed(c)) return false;
        }
        return true;
      },
      15'000))
      << "idle connections are closed";
  const double held_s = std::chrono::duration<double>(SteadyClock::now() - held_from).count();
  for (const int c : idle) close(c);
  EXPECT_TRUE(Eventually(
      [&] {
        trickle();
        return closed(trickler);
      },
      5'000));
  const double trickled_s =
      std::chrono::duration<double>(SteadyClock::now() - trickle_from).count();
  close(trickler);
  EXPECT_GT(trickled_s, 9.5);
  EXPECT_LT(trickled_s, 11.5) << "a head that trickles is cut 10 s after its first byte";
  std::printf(
      "agent: 200 idle clients, %d held, all closed after %.1f s; a trickler cut after "
      "%.1f s and %zu bytes\n",
      open_now, held_s, trickled_s, trickled);

  metrics = simtest::Body(Request(host, kAgentPort, "GET", "/metrics"));
  EXPECT_NE(metrics.find("tarovue_devices{status=\"byebye\"} 2"), std::string::npos) << metrics;
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
}

// A value from /proc/PID/status in MB ("VmRSS", "VmHWM"), or -1.
double StatusMegabytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return -1;
}

TEST_F(AgentHostileClientsTest, ClientsThatNeverReadOrTrickleLeaveRoomForScrapes) {
  // Fifty devices make /metrics some 40 KB, so that unread answers would add up fast.
  StartSim({"--devices", "50"});
  const pid_t agent = net.Spawn(Side::kClient, {ScanPath(), "--serve", "9731", "--quiet"});
  ASSERT_GT(agent, 0);
  const std::string host = "127.0.0.1";
  ASSERT_TRUE(Eventually(
      [&] {
        const std::string text = simtest::Body(Request(host, kAgentPort, "GET", "/metrics"));
        return text.find("tarovue_devices{status=\"new\"} 50") != std::string::npos ||
               text.find("tarovue_devices{status=\"online\"} 50") != std::string::npos;
      },
      15'000))
      << net.Output(agent);

  // Sockets made by the helper threads must live in this namespace too: threads inherit the
  // namespace of the thread that makes them.
  struct stat own_net {};
  ASSERT_EQ(stat("/proc/thread-self/ns/net", &own_net), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> never_read_connections{0};
  std::atomic<int> trickle_connections{0};
  std::atomic<bool> threads_in_namespace{true};
  const auto same_namespace = [&] {
    struct stat here {};
    if (stat("/proc/thread-self/ns/net", &here) != 0 || here.st_ino != own_net.st_ino) {
      threads_in_namespace = false;
    }
    return threads_in_namespace.load();
  };

  // The attackers share one host of their own (any 127/8 address is this loopback's), the
  // scraper is another, as Prometheus would be.
  const std::string attacker = "127.0.0.2";
  // One client sends a request every 0.5 ms and never reads; cut off, it comes back at once.
  std::thread never_reads([&] {
    if (!same_namespace()) return;
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string pending;
    int fd = -1;
    while (!stop) {
      if (fd < 0) {
        fd = Connect(host, kAgentPort, attacker);
        if (fd < 0) continue;
        ++never_read_connections;
        pending.clear();
      }
      if (pending.size() < request.size()) pending += request;
      const ssize_t sent = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        pending.erase(0, static_cast<std::size_t>(sent));
      } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        close(fd);
        fd = -1;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (fd >= 0) close(fd);
  });
  // 70 clients send one byte of a request head every 2 s; closed, each comes back at once.
  std::thread tricklers([&] {
    if (!same_namespace()) return;
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nUser-Agent: slow\r\n\r\n";
    struct Trickler {
      int fd = -1;
      std::size_t sent = 0;
    };
    std::vector<Trickler> clients(70);
    auto next_byte = SteadyClock::now();
    while (!stop) {
      const bool send_now = SteadyClock::now() >= next_byte;
      if (send_now) next_byte += std::chrono::seconds(2);
      for (Trickler& c : clients) {
        pollfd p{c.fd, POLLIN, 0};
        char byte;
        if (c.fd >= 0 && poll(&p, 1, 0) == 1 && recv(c.fd, &byte, 1, MSG_DONTWAIT) <= 0) {
          close(c.fd);
          c.fd = -1;
        }
        if (c.fd < 0) {
          c.fd = Connect(host, kAgentPort, attacker);
          c.sent = 0;
          if (c.fd >= 0) ++trickle_connections;
          continue;
        }
        if (send_now && c.sent < head.size() &&
            send(c.fd, head.data() + c.sent, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
          ++c.sent;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const Trickler& c : clients) {
      if (c.fd >= 0) close(c.fd);
    }
  });

  // Scrapes meanwhile, one a second for 20 s: each must be answered within 15 s.
  double slowest_s = 0;
  int answered = 0, scrapes = 0;
  const auto until = SteadyClock::now() + std::chrono::seconds(20);
  while (SteadyClock::now() < until) {
    const auto start = SteadyClock::now();
    const std::string response = Request(host, kAgentPort, "GET", "/metrics", 15'000);
    const double took = std::chrono::duration<double>(SteadyClock::now() - start).count();
    ++scrapes;
    if (StatusLine(response).find(" 200 ") != std::string::npos) ++answered;
    slowest_s = std::max(slowest_s, took);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  const double rss = StatusMegabytes(agent, "VmRSS"), peak = StatusMegabytes(agent, "VmHWM");
  stop = true;
  never_reads.join();
  tricklers.join();
  ASSERT_TRUE(threads_in_namespace) << "a helper thread was not in the private network";

  EXPECT_EQ(answered, scrapes) << "slowest scrape " << slowest_s << " s";
  EXPECT_LT(slowest_s, 15.0);
  EXPECT_GT(peak, 0);
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(peak, 100.0) << "resident memory peaked at " << peak << " MB";
#endif  // AddressSanitizer's quarantine alone holds more than that
  const std::string metrics = simtest::Body(Request(host, kAgentPort, "GET", "/metrics"));
  // The tricklers outnumber the slots and come back at once: they push each other out long
  // before their deadlines.
  for (const char* reason : {"evicted", "backlog"}) {
    const std::string series =
        "tarovue_http_connections_refused_total{reason=\"" + std::string(reason) + "\"} ";
    const std::size_t at = metrics.find(series);
    ASSERT_NE(at, std::string::npos) << metrics;
    EXPECT_GT(std::stod(metrics.substr(at + series.size())), 0) << series << "\n" << metrics;
  }
  std::printf(
      "agent: never-reading client (%d connections) and 70 tricklers (%d connections) for "
      "20 s: %d/%d scrapes answered, slowest %.2f s; RSS %.1f MB, peak %.1f MB\n",
      never_read_connections.load(), trickle_connections.load(), answered, scrapes, slowest_s, rss,
      peak);
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
}

// --- an agent that runs for long

class AgentLongWatchTest : public simtest::SimTest {
 protected:
  static double Value(const std::string& metrics, const std::string& series) {
    return MetricValue(metrics, series);
  }
  static std::string Up(const std::string& usn) { return "tarovue_device_up{usn=\"" + usn + "\"}"; }
};

TEST_F(AgentLongWatchTest, SilentDevicesAreLostAtTheirExpiryAndLiveOnesNeverFlap) {
  // Two devices announcing every 2 s for 5 s that will be unplugged, three that stay and
  // answer searches late, on an address of their own.
  const std::string other = net.AddDeviceAddresses(1);
  ASSERT_FALSE(other.empty()) << net.error();
  const pid_t unplugged =
      StartSim({"--devices", "2", "--max-age", "5", "--notify-interval", "2"}, other);
  StartSim({"--devices", "3", "--mx-delay"});
  const pid_t agent = net.Spawn(Side::kClient, {ScanPath(), "--serve", "9731", "--interval", "10",
                                                "--forget", "8", "--quiet"});
  ASSERT_GT(agent, 0);
  std::string metrics;
  const auto scrape = [&] {
    metrics = simtest::Body(Request("127.0.0.1", kAgentPort, "GET", "/metrics"));
    return metrics;
  };
  ASSERT_TRUE(Eventually([&] { return UpCount(scrape()) == 5; })) << metrics << net.Output(agent);
  std::vector<std::string> live, silent;
  for (std::size_t at = 0;
       (at = metrics.find("\ntarovue_device_info{usn=\"", at)) != std::string::npos;) {
    at += 26;
    const std::string usn = metrics.substr(at, metrics.find('"', at) - at);
    (metrics.find("usn=\"" + usn + "\",address=\"" + other + "\"") != std::string::npos ? silent
                                                                                        : live)
        .push_back(usn);
  }
  ASSERT_EQ(silent.size(), 2u) << metrics;
  ASSERT_EQ(live.size(), 3u) << metrics;

  ASSERT_EQ(kill(unplugged, SIGKILL), 0);  // unplugged: no byebye
  const double valid_until =
      std::max(Value(scrape(), "tarovue_device_valid_until_seconds{usn=\"" + silent[0] + "\"}"),
               Value(metrics, "tarovue_device_valid_until_seconds{usn=\"" + silent[1] + "\"}"));
  // Read ten times a second across at least two searches: the live ones stay up throughout,
  // whatever a search in flight says, while the silent ones are lost, then forgotten.
  double lost_at = 0, forgotten_at = 0;
  const auto start = SteadyClock::now();
  while (std::chrono::duration<double>(SteadyClock::now() - start).count() < 60 &&
         forgotten_at == 0) {
    scrape();
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const std::string& usn : live) ASSERT_EQ(Value(metrics, Up(usn)), 1) << usn << metrics;
    if (lost_at == 0 && Value(metrics, Up(silent[0])) == 0 && Value(metrics, Up(silent[1])) == 0) {
      lost_at = now;
    }
    if (lost_at != 0 && metrics.find(silent[0]) == std::string::npos &&
        metrics.find(silent[1]) == std::string::npos) {
      forgotten_at = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GT(lost_at, 0) << metrics;
  // Asked directly for 20 s after the expiry, the silent ones answer nothing.
  EXPECT_LE(lost_at - valid_until, 20 + 3) << "lost within the asking window of the expiry";
  EXPECT_GE(Value(metrics, "tarovue_device_probes_total{outcome=\"unanswered\"}"), 2) << metrics;
  ASSERT_GT(forgotten_at, 0) << metrics;
  EXPECT_LE(forgotten_at - lost_at, 8 + 5) << "forgotten within 5 s after --forget";
  EXPECT_GE(Value(metrics, "tarovue_searches_total{socket=\"port_1900\"}"), 3 * 3)
      << "two more searches went out meanwhile";
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
}

// Multicast stops crossing the segment (a switch's snooping gone wrong) while unicast still
// works: the devices answer when asked and stay up, and the path, not the devices, is called
// down, until multicast crosses again.
TEST_F(AgentLongWatchTest, BrokenMulticastIsThePathNotTheDevices) {
  if (!HaveProgram("nft")) GTEST_SKIP() << "nft (nftables) is missing";
  const std::string first = net.AddDeviceAddresses(3);
  ASSERT_FALSE(first.empty()) << net.error();
  StartSim({"--devices", "3", "--spread", "--max-age", "6", "--notify-interval", "2"}, first);
  const pid_t agent =
      net.Spawn(Side::kClient, {ScanPath(), "--serve", "9731", "--interval", "10", "--quiet"});
  ASSERT_GT(agent, 0);
  std::string metrics;
  const auto scrape = [&] {
    metrics = simtest::Body(Request("127.0.0.1", kAgentPort, "GET", "/metrics"));
    return metrics;
  };
  const std::string path =
      "tarovue_multicast_path_up{interface=\"" + net.Interface(Side::kClient) + "\"}";
  ASSERT_TRUE(Eventually([&] { return UpCount(scrape()) == 3; })) << metrics << net.Output(agent);
  EXPECT_EQ(Value(metrics, path), 1) << metrics;

  const auto nft = [&](const std::string& rules) {
    const std::string file = "/tmp/tarovue-nft-" + std::to_string(getpid());
    std::ofstream(file) << rules;
    const pid_t run = net.Spawn(Side::kDevices, {"nft", "-f", file});
    const int status = run > 0 ? net.Wait(run, 10'000) : -1;
    std::remove(file.c_str());
    return status == 0 ? std::string() : net.Output(run);
  };
  ASSERT_EQ(nft("table inet tarovue_test {\n"
                "  chain o { type filter hook output priority 0; ip daddr 239.255.255.250 drop; }\n"
                "  chain i { type filter hook input priority 0; ip daddr 239.255.255.250 drop; }\n"
                "}\n"),
            "");
  bool path_down = false;
  for (const auto start = SteadyClock::now();
       std::chrono::duration<double>(SteadyClock::now() - start).count() < 25;) {
    ASSERT_EQ(UpCount(scrape()), 3) << "devices that answer are up\n" << metrics;
    path_down = path_down || Value(metrics, path) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(path_down) << metrics;
  EXPECT_GE(Value(metrics, "tarovue_device_probes_total{outcome=\"search\"}"), 3) << metrics;
  EXPECT_EQ(Value(metrics, "tarovue_device_probes_total{outcome=\"unanswered\"}"), 0);

  ASSERT_EQ(nft("delete table inet tarovue_test\n"), "");
  EXPECT_TRUE(Eventually([&] { return Value(scrape(), path) == 1; }, 10'000)) << metrics;
  EXPECT_NE(net.Output(agent).find("multicast no longer crosses"), std::string::npos)
      << net.Output(agent);
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
}

TEST_F(AgentLongWatchTest, WatchGoesOnWhenStdoutIsFull) {
  char fifo[] = "/tmp/tarovue-stdout-XXXXXX";
  ASSERT_NE(mkdtemp(fifo), nullptr);
  const std::string path = std::string(fifo) + "/out";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  // Held open and never read: the pipe fills after some 64 KiB.
  const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  StartSim({"--devices", "400"});
  const pid_t agent = net.Spawn(Side::kClient, {"sh", "-c", "exec \"$0\" \"$@\" > " + path,
                                                ScanPath(), "--serve", "9731", "--format", "json"});
  ASSERT_GT(agent, 0);
  std::string metrics;
  EXPECT_TRUE(Eventually([&] {
    metrics = simtest::Body(Request("127.0.0.1", kAgentPort, "GET", "/metrics", 2000));
    return UpCount(metrics) == 400;
  })) << metrics.substr(0, 2000)
      << net.Output(agent);
  int queued = 0;
  ioctl(reader, FIONREAD, &queued);
  EXPECT_GE(queued, 48 * 1024) << "standard output is full";
  // Ctrl-C still ends it at once, with what was left unwritten given up.
  const auto stop = SteadyClock::now();
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
  EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - stop).count(), 2.0);
  close(reader);
  std::system(("rm -rf '" + std::string(fifo) + "'").c_str());
}

TEST_F(AgentLongWatchTest, WhatItKnewSurvivesARestartAndRebootsAreCounted) {
  char dir[] = "/tmp/tarovue-state-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string state = std::string(dir) + "/state.json";
  const std::vector<std::string> agent_args = {ScanPath(), "--serve", "9731",
                                               "--quiet",  "--state", state};
  std::string metrics;
  const auto scrape = [&] {
    metrics = simtest::Body(Request("127.0.0.1", kAgentPort, "GET", "/metrics"));
    return metrics;
  };
  const auto reboots = [&](const std::string& usn) {
    return Value(metrics, "tarovue_device_reboots_total{usn=\"" + usn + "\"}");
  };

  pid_t sim = StartSim({"--devices", "3", "--boot-id", "1"});
  pid_t agent = net.Spawn(Side::kClient, agent_args);
  ASSERT_TRUE(Eventually([&] { return UpCount(scrape()) == 3; })) << metrics << net.Output(agent);
  std::vector<std::string> usns;
  for (std::size_t at = 0;
       (at = metrics.find("\ntarovue_device_up{usn=\"", at)) != std::string::npos;) {
    at += 24;
    usns.push_back(metrics.substr(at, metrics.find('"', at) - at));
  }
  ASSERT_EQ(usns.size(), 3u);
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
  // All three vanish while the agent is away; two come back, rebooted.
  EXPECT_EQ(kill(sim, SIGKILL), 0);
  net.Wait(sim, 5000);
  sim = StartSim({"--devices", "2", "--boot-id", "2"});
  agent = net.Spawn(Side::kClient, agent_args);
  ASSERT_TRUE(Eventually([&] { return UpCount(scrape()) == 2; })) << metrics << net.Output(agent);
  EXPECT_EQ(Value(metrics, Up(usns[2])), 0) << "the one that died meanwhile is still reported";
  EXPECT_NE(metrics.find("tarovue_device_info{usn=\"" + usns[2] + "\",address=\""),
            std::string::npos)
      << metrics;
  EXPECT_EQ(reboots(usns[0]), 1) << metrics;
  EXPECT_EQ(reboots(usns[1]), 1);
  EXPECT_EQ(reboots(usns[2]), 0);
  // A reboot while it watches counts as well.
  ASSERT_EQ(kill(sim, SIGUSR2), 0);
  EXPECT_TRUE(Eventually([&] {
    scrape();
    return reboots(usns[0]) == 2 && reboots(usns[1]) == 2;
  })) << metrics;
  EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);

  // A cut state file is kept aside, never over an earlier one, and the agent starts empty.
  for (const char* aside : {".bad", ".bad.1"}) {
    std::ofstream(state) << "{\"devices\": [{\"usn\": \"uuid:cut";
    agent = net.Spawn(Side::kClient, agent_args);
    ASSERT_TRUE(Eventually([&] { return UpCount(scrape()) == 2; })) << net.Output(agent);
    EXPECT_EQ(metrics.find(usns[2]), std::string::npos) << "started empty";
    EXPECT_NE(net.Output(agent).find("kept as " + state + aside + ", starting empty"),
              std::string::npos)
        << net.Output(agent);
    std::ifstream kept(state + aside);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}),
              "{\"devices\": [{\"usn\": \"uuid:cut");
    EXPECT_EQ(net.Stop(agent), 0) << net.Output(agent);
  }
  // A directory that cannot take the file ends the start at once.
  const pid_t unwritable = net.Spawn(
      Side::kClient, {ScanPath(), "--serve", "9731", "--state", std::string(dir) + "/no/state"});
  EXPECT_EQ(net.Wait(unwritable, 5000), 2);
  EXPECT_NE(net.Output(unwritable).find("--state: cannot write files in"), std::string::npos)
      << net.Output(unwritable);
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

// --- alerts delivered: agent, prometheus with the shipped rules, alertmanager, a webhook

// The body of the first POST that reaches `listener` within deadline_ms, answered 200; "".
std::string TakeWebhook(int listener, int deadline_ms) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(deadline_ms);
  while (SteadyClock::now() < end) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::string in;
    char buffer[8192];
    for (;;) {
      const std::size_t head_end = in.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        const std::string length = simtest::Header(in.substr(0, head_end), "Content-Length");
        if (length != "<absent>" && in.size() >= head_end + 4 + std::stoul(length)) break;
      }
      pollfd r{fd, POLLIN, 0};
      if (poll(&r, 1, 2000) <= 0) break;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      in.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    [[maybe_unused]] const ssize_t written = write(fd, ok.data(), ok.size());
    close(fd);
    if (in.rfind("POST ", 0) == 0) return simtest::Body(in);
  }
  return "";
}

TEST_F(TwoSitesTest, IndicatorDownReachesAWebhookThroughAlertmanager) {
  if (!HaveProgram("prometheus-alertmanager")) {
    GTEST_SKIP() << "prometheus-alertmanager is not installed (install-deps)";
  }
  constexpr int kAlertmanagerPort = 9093, kWebhookPort = 9099;
  const pid_t sim = StartSim(site_a, 2);
  const pid_t agent = site_a.Spawn(Side::kClient, {ScanPath(), "--serve", "9731", "--quiet"});
  ASSERT_GT(agent, 0);
  ASSERT_TRUE(site_a.Enter(Side::kClient));
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kWebhookPort);
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(listener, 8), 0);

  // The shipped rules with a waiting time the test can afford.
  WriteRules("1s");
  std::ofstream(m_dir + "/prometheus.yml")
      << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
      << "rule_files: [tarovue.rules.yml]\n"
      << "alerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ['127.0.0.1:"
      << kAlertmanagerPort << "']\n"
      << "scrape_configs:\n  - job_name: tarovue\n    static_configs:\n"
      << "      - targets: ['127.0.0.1:" << kAgentPort << "']\n";
  std::ofstream(m_dir + "/alertmanager.yml")
      << "route:\n  receiver: test\n  group_wait: 1s\n  group_interval: 1s\n"
      << "  repeat_interval: 1h\n"
      << "receivers:\n  - name: test\n    webhook_configs:\n"
      << "      - url: http://127.0.0.1:" << kWebhookPort << "/alerts\n";
  const pid_t alertmanager = site_a.Spawn(
      Side::kClient, {"prometheus-alertmanager", "--config.file=" + m_dir + "/alertmanager.yml",
                      "--storage.path=" + m_dir + "/am",
                      "--web.listen-address=127.0.0.1:" + std::to_string(kAlertmanagerPort),
                      "--cluster.listen-address="});
  const pid_t prometheus = site_a.Spawn(
      Side::kClient, {"prometheus", "--config.file=" + m_dir + "/prometheus.yml",
                      "--storage.tsdb.path=" + m_dir + "/data",
                      "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)});
  ASSERT_GT(alertmanager, 0);
  ASSERT_GT(prometheus, 0);
  ASSERT_TRUE(Eventually([&] { return Query("count(tarovue_device_up == 1)") == 2; }))
      << site_a.Output(prometheus) << site_a.Output(agent);

  EXPECT_EQ(site_a.Stop(sim), 0);  // both say byebye: down at once
  // Two indicators behind one address also raise IndicatorReplaced: only IndicatorDown counts.
  QJsonArray down;
  const auto end = SteadyClock::now() + std::chrono::seconds(30);
  while (down.isEmpty() && SteadyClock::now() < end) {
    const std::string delivered = TakeWebhook(listener, 2000);
    for (const auto& alert : QJsonDocument::fromJson(QByteArray::fromStdString(delivered))
                                 .object()["alerts"]
                                 .toArray()) {
      if (alert.toObject()["labels"].toObject()["alertname"] == "IndicatorDown") down.append(alert);
    }
  }
  close(listener);
  ASSERT_FALSE(down.isEmpty()) << site_a.Output(alertmanager) << site_a.Output(prometheus);
  for (const auto& alert : down) {
    const QJsonObject labels = alert.toObject()["labels"].toObject();
    EXPECT_TRUE(labels["usn"].toString().startsWith("uuid:"))
        << labels["usn"].toString().toStdString();
    EXPECT_EQ(labels["address"].toString().toStdString(), site_a.Address(Side::kDevices));
  }
  site_a.Leave();
  EXPECT_EQ(site_a.Stop(agent), 0);
}

}  // namespace
