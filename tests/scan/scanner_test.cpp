// The scanner's run inside an isolated process network: the reasons it cannot run (status 1
// and one line), an empty network, and the ends by time and by signal.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scan/scanner.h"
#include "tests/support/isolated_network.h"

namespace {

// A FILE* that collects what is written to it.
class Capture {
 public:
  Capture() : m_file(open_memstream(&m_buffer, &m_size)) {}
  ~Capture() {
    if (m_file != nullptr) std::fclose(m_file);
    std::free(m_buffer);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::FILE* file() { return m_file; }
  std::string Text() {
    std::fflush(m_file);
    return std::string(m_buffer, m_size);
  }

 private:
  char* m_buffer = nullptr;
  std::size_t m_size = 0;
  std::FILE* m_file;
};

InterfaceSource Listing(bool ok, std::vector<InterfaceEntry> entries) {
  InterfaceSource source;
  source.list = [ok, entries](std::vector<InterfaceEntry>& out) {
    out = entries;
    return ok;
  };
  return source;
}

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }
  int Run(const ScanOptions& options, SessionServices services = {}) {
    Scanner scanner(options, std::move(services), m_out.file(), m_err.file());
    return scanner.Run();
  }
  static ScanOptions Options(ScanFormat format, double seconds, bool watch = false) {
    ScanOptions options;
    options.format = format;
    options.seconds = seconds;
    options.watch = watch;
    return options;
  }

  Capture m_out;
  Capture m_err;
};

// --- cannot run

TEST_F(ScannerTest, NoDatagramSocketEndsWithTheCoresReason) {
  SessionServices services;
  services.interfaces.probe = [] { return false; };
  EXPECT_EQ(Run(Options(ScanFormat::kTable, 1), std::move(services)), 1);
  EXPECT_EQ(m_err.Text(), "tarovue-scan: cannot open the SSDP sockets: WSASocket failed\n");
  EXPECT_EQ(m_out.Text(), "");
}

TEST_F(ScannerTest, InterfacesThatCannotBeListedEndTheRun) {
  SessionServices services;
  services.interfaces = Listing(false, {});
  EXPECT_EQ(Run(Options(ScanFormat::kJson, 1), std::move(services)), 1);
  EXPECT_EQ(m_err.Text(),
            "tarovue-scan: cannot open the SSDP sockets: "
            "m_ssdp_socket.SIO_GET_INTERFACE_LIST failed\n");
  EXPECT_EQ(m_out.Text(), "");
}

TEST_F(ScannerTest, OnlyLoopbackIsNoNetworkToSearch) {
  SessionServices services;
  services.interfaces = Listing(true, {{htonl(INADDR_LOOPBACK), true, true}});
  EXPECT_EQ(Run(Options(ScanFormat::kJson, 1), std::move(services)), 1);
  EXPECT_EQ(m_err.Text(),
            "tarovue-scan: no network to search: no IPv4 interface is up besides loopback\n");
  EXPECT_EQ(m_out.Text(), "");
}

TEST_F(ScannerTest, InterfacesThatAreDownAreNoNetworkEither) {
  SessionServices services;
  services.interfaces = Listing(true, {{0x0100000A, false, false}});
  EXPECT_EQ(Run(Options(ScanFormat::kTable, 1), std::move(services)), 1);
  EXPECT_NE(m_err.Text().find("no network to search"), std::string::npos);
}

TEST_F(ScannerTest, WatchWithoutNetworkWaitsForOneInsteadOfEnding) {
  SessionServices services;
  services.interfaces = Listing(true, {{0x0100000A, false, false}});
  QTimer::singleShot(300, [] { std::raise(SIGTERM); });
  EXPECT_EQ(Run(Options(ScanFormat::kCsv, 6, true), std::move(services)), 0);
  EXPECT_EQ(m_err.Text(),
            "tarovue-scan: no network to search yet: no IPv4 interface is up besides loopback; "
            "waiting for an interface\n");
}

// --- runs

TEST_F(ScannerTest, QuietNetworkGivesAnEmptyReportAfterItsTime) {
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(Run(Options(ScanFormat::kJson, 0.3)), 0);
  EXPECT_GE(clock.elapsed(), 300);
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_EQ(m_out.Text(), "[]\n");
  // No progress line when standard error is no terminal; only where the scan looked.
  EXPECT_EQ(m_err.Text().find('\r'), std::string::npos) << m_err.Text();
  EXPECT_EQ(m_err.Text().rfind("tarovue-scan: no indicator answered within 0.3 s; searched ", 0),
            0u)
      << m_err.Text();
}

TEST_F(ScannerTest, SignalEndsATimedScanEarlyWithoutReport) {
  QTimer::singleShot(200, [] { std::raise(SIGINT); });
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(Run(Options(ScanFormat::kTable, 30)), 128 + SIGINT);
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_EQ(m_out.Text(), "");
}

TEST_F(ScannerTest, WatchEndsCleanlyOnSigterm) {
  QTimer::singleShot(300, [] { std::raise(SIGTERM); });
  EXPECT_EQ(Run(Options(ScanFormat::kCsv, 6, true)), 0);
  EXPECT_EQ(m_out.Text().rfind("time,event,address,hostname,", 0), 0u) << m_out.Text();
  EXPECT_EQ(m_err.Text(), "");
}

TEST_F(ScannerTest, SignalHandlingEndsWithTheRun) {
  QTimer::singleShot(100, [] { std::raise(SIGTERM); });
  EXPECT_EQ(Run(Options(ScanFormat::kJson, 5, true)), 0);
  struct sigaction now {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace
