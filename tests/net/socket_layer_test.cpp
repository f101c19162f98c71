// The socket layer's promises: handlers run one at a time in arrival order, a blocking call
// lets nothing but painting run, and events for vanished data or sockets never reach a
// handler.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sched.h>
#include <sys/mount.h>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "net/socket.h"
#include "net/socket_error.h"
#include "net/socket_event_queue.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "tests/support/event_loop.h"
#include "tests/support/isolated_network.h"
#include "tests/support/loopback_peer.h"

namespace {

using namespace std::chrono_literals;

// A UDP socket on loopback that logs every datagram its handler takes.
class RecordingSocket : public CSocket {
 public:
  explicit RecordingSocket(std::vector<std::string>& log) : m_log(log) {
    Create(0, SOCK_DGRAM, kEventAll, "127.0.0.1");
  }
  void OnReceive(int) override {
    ++calls;
    char buffer[600];
    sockaddr_in sender{};
    int n = ReceiveFrom(buffer, sizeof buffer, &sender);
    m_log.push_back(n >= 0 ? std::string(buffer, static_cast<std::size_t>(n))
                           : "error:" + std::to_string(GetLastSocketError()));
  }
  [[nodiscard]] uint16_t Port() const { return LocalPort(Handle()); }
  int calls = 0;

 private:
  std::vector<std::string>& m_log;
};

// Connects a blocking client to `server`.
bool ConnectTo(CSocket& client, const LoopbackServer& server) {
  return client.Create(0, SOCK_STREAM, kEventAll) && client.Connect("127.0.0.1", server.Port());
}

TEST(SocketEventQueue, DatagramsDuringBlockingExchangeAreHandledAfterItInArrivalOrder) {
  std::vector<std::string> log;
  RecordingSocket udp(log);
  const uint16_t udp_port = udp.Port();
  LoopbackServer server([udp_port](int fd) {
    ReadRequestHead(fd);
    SendDatagram("one", "127.0.0.1", udp_port);
    SendDatagram("two", "127.0.0.1", udp_port);
    std::this_thread::sleep_for(200ms);  // both datagrams wait while the client blocks
    SendAll(fd, "response");
    close(fd);
  });
  QTimer::singleShot(0, [&] {
    CSocket client;
    ASSERT_TRUE(ConnectTo(client, server));
    client.Send("GET\r\n\r\n", 7);
    char buffer[64];
    int n = client.Receive(buffer, sizeof buffer);
    log.push_back("exchange:" + std::string(buffer, static_cast<std::size_t>(n > 0 ? n : 0)));
  });
  ASSERT_TRUE(RunUntil([&] { return log.size() >= 3; }));
  EXPECT_EQ(log, (std::vector<std::string>{"exchange:response", "one", "two"}));
}

// Handlers that each block (a description fetch per datagram): a timer, and input, which waits
// the same way, runs as soon as the handler it waited for returns, not after the series.
TEST(SocketEventQueue, TimersRunBetweenHandlersThatEachBlock) {
  // A listener that never accepts: connects succeed, and every receive waits for its deadline.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length), 0);
  const uint16_t silent_port = ntohs(local.sin_port);

  std::vector<std::string> log;
  class BlockingSocket final : public RecordingSocket {
   public:
    BlockingSocket(std::vector<std::string>& log, uint16_t port)
        : RecordingSocket(log), m_log(log), m_port(port) {}
    void OnReceive(int error) override {
      RecordingSocket::OnReceive(error);
      if (m_log.back() == "one") QTimer::singleShot(1, [this] { m_log.push_back("timer"); });
      CSocket client;
      ASSERT_TRUE(client.Create(0, SOCK_STREAM, kEventAll));
      client.SetDeadline(std::chrono::steady_clock::now() + 50ms);
      ASSERT_TRUE(client.Connect("127.0.0.1", m_port));
      char byte;
      client.Receive(&byte, 1);
    }

   private:
    std::vector<std::string>& m_log;
    uint16_t m_port;
  };
  BlockingSocket udp(log, silent_port);
  for (const char* text : {"one", "two", "three"}) {
    ASSERT_TRUE(SendDatagram(text, "127.0.0.1", udp.Port()));
  }
  ASSERT_TRUE(RunUntil([&] { return log.size() >= 4; }));
  EXPECT_EQ(log, (std::vector<std::string>{"one", "timer", "two", "three"}));
  close(listener);
}

// Handlers that do not block run back to back, in arrival order, as long as a slice lasts: a
// timer started by the first waits for the rest. Once a slice has passed, the loop runs and
// the timer goes before the next handler.
TEST(SocketEventQueue, HandlersThatDoNotBlockShareASliceAndTimersRunBetweenSlices) {
  ManualMonotonicClock clock;
  SocketEventQueue& queue = SocketEventQueue::ForThisThread();
  queue.SetClock(&clock);
  struct RestoreClock {
    ~RestoreClock() { SocketEventQueue::ForThisThread().SetClock(nullptr); }
  } restore;

  std::vector<std::string> log;
  class TimedSocket final : public RecordingSocket {
   public:
    TimedSocket(std::vector<std::string>& log, ManualMonotonicClock& clock)
        : RecordingSocket(log), m_log(log), m_clock(clock) {}
    void OnReceive(int error) override {
      RecordingSocket::OnReceive(error);
      if (calls == 1) QTimer::singleShot(0, [this] { m_log.push_back("timer"); });
      m_clock.AdvanceMs(cost_ms);
    }
    int64_t cost_ms = 0;

   private:
    std::vector<std::string>& m_log;
    ManualMonotonicClock& m_clock;
  };
  TimedSocket udp(log, clock);
  for (const char* text : {"one", "two", "three"}) {
    ASSERT_TRUE(SendDatagram(text, "127.0.0.1", udp.Port()));
  }
  ASSERT_TRUE(RunUntil([&] { return log.size() >= 4; }));
  EXPECT_EQ(log, (std::vector<std::string>{"one", "two", "three", "timer"}));

  log.clear();
  udp.calls = 0;
  udp.cost_ms = kSocketSliceMs;  // each handler uses up a whole slice
  for (const char* text : {"one", "two", "three"}) {
    ASSERT_TRUE(SendDatagram(text, "127.0.0.1", udp.Port()));
  }
  ASSERT_TRUE(RunUntil([&] { return log.size() >= 4; }));
  EXPECT_EQ(log, (std::vector<std::string>{"one", "timer", "two", "three"}));
}

TEST(SocketEventQueue, ReadEventWhoseBytesWereAlreadyReadIsDropped) {
  std::vector<std::string> log;
  RecordingSocket udp(log);
  SocketEventQueue& queue = SocketEventQueue::ForThisThread();
  queue.Append(&udp, kEventRead, 0);
  queue.Drain();
  EXPECT_EQ(udp.calls, 0);
}

TEST(SocketEventQueue, EventsOfAClosedSocketAreIgnoredEvenWhenItsHandleIsReused) {
  std::vector<std::string> log;
  RecordingSocket keeper(log);  // keeps the queue from being emptied by the last close
  auto closed = std::make_unique<RecordingSocket>(log);
  const int old_handle = closed->Handle();
  SocketEventQueue& queue = SocketEventQueue::ForThisThread();
  queue.Append(closed.get(), kEventRead, 0);
  closed->Close();

  RecordingSocket successor(log);
  EXPECT_EQ(successor.Handle(), old_handle) << "the system did not reuse the handle";
  ASSERT_TRUE(SendDatagram("for successor", "127.0.0.1", successor.Port()));
  std::this_thread::sleep_for(20ms);
  queue.Drain();  // only the stale event is queued
  EXPECT_EQ(successor.calls, 0);

  ASSERT_TRUE(RunUntil([&] { return successor.calls == 1; }));
  EXPECT_EQ(log, std::vector<std::string>{"for successor"});
}

TEST(SocketEventQueue, EmptyDatagramReachesTheHandlerOnceWithoutSpinning) {
  std::vector<std::string> log;
  RecordingSocket udp(log);
  ASSERT_TRUE(SendDatagram("", "127.0.0.1", udp.Port()));
  ASSERT_TRUE(RunUntil([&] { return udp.calls >= 1; }));
  RunFor(100);
  EXPECT_EQ(udp.calls, 1);
  EXPECT_EQ(log, std::vector<std::string>{""});
}

// Runs an event loop of its own inside the first handler call, as a message box would.
class NestingSocket : public RecordingSocket {
 public:
  using RecordingSocket::RecordingSocket;
  void OnReceive(int error) override {
    deepest = std::max(deepest, ++depth);
    RecordingSocket::OnReceive(error);
    if (calls == 1) {
      const std::clock_t before = std::clock();
      QEventLoop nested;
      QTimer::singleShot(200, &nested, &QEventLoop::quit);
      nested.exec();
      nested_cpu_ms = static_cast<double>(std::clock() - before) * 1000.0 / CLOCKS_PER_SEC;
    }
    --depth;
  }
  int depth = 0;
  int deepest = 0;
  double nested_cpu_ms = 0;
};

TEST(SocketEventQueue, EventLoopInsideAHandlerNeitherReentersItNorSpins) {
  std::vector<std::string> log;
  NestingSocket udp(log);
  ASSERT_TRUE(SendDatagram("one", "127.0.0.1", udp.Port()));
  ASSERT_TRUE(SendDatagram("two", "127.0.0.1", udp.Port()));
  ASSERT_TRUE(RunUntil([&] { return udp.calls >= 2; }));
  EXPECT_EQ(udp.deepest, 1);
  EXPECT_EQ(log, (std::vector<std::string>{"one", "two"}));
  // "two" stayed readable all along: a notifier left on would have kept the loop busy.
  EXPECT_LT(udp.nested_cpu_ms, 100.0);
}

TEST(BlockingCalls, SecondCallOnTheSameObjectIsRefusedAndCloseEndsTheWait) {
  std::atomic<bool> release{false};
  LoopbackServer server([&](int fd) {
    ReadRequestHead(fd);
    while (!release) std::this_thread::sleep_for(5ms);  // never answers by itself
    close(fd);
  });
  CSocket client;
  ASSERT_TRUE(ConnectTo(client, server));
  int nested_result = 99;
  int nested_error = 0;
  int nested_sendto = 99;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [&] {
        nested_result = client.Send("x", 1);
        nested_error = GetLastSocketError();
        nested_sendto = client.SendTo("x", 1, sockaddr_in{});
        client.Close();
      },
      Qt::QueuedConnection);
  client.Send("GET\r\n\r\n", 7);
  char buffer[16];
  int n = client.Receive(buffer, sizeof buffer);
  release = true;

  EXPECT_EQ(nested_result, 0);
  EXPECT_EQ(nested_error, kErrInProgress);
  EXPECT_EQ(nested_sendto, -1);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(GetLastSocketError(), kErrInterrupted);
  EXPECT_FALSE(client.IsOpen());
}

TEST(BlockingCalls, TimersWaitUntilTheBlockingHandlerHasReturned) {
  LoopbackServer server([](int fd) {
    ReadRequestHead(fd);
    std::this_thread::sleep_for(150ms);
    SendAll(fd, "late");
    close(fd);
  });
  std::vector<std::string> order;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(5, [&] { order.push_back("timer"); });
    CSocket client;
    ASSERT_TRUE(ConnectTo(client, server));
    client.Send("GET\r\n\r\n", 7);
    char buffer[16];
    client.Receive(buffer, sizeof buffer);
    order.push_back("exchange");
  });
  ASSERT_TRUE(RunUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"exchange", "timer"}));
}

TEST(BlockingCalls, DeadlineEndsAWaitThatNothingElseWouldEnd) {
  std::atomic<bool> release{false};
  LoopbackServer server([&](int fd) {
    ReadRequestHead(fd);
    while (!release) std::this_thread::sleep_for(5ms);
    close(fd);
  });
  CSocket client;
  ASSERT_TRUE(ConnectTo(client, server));
  client.Send("GET\r\n\r\n", 7);
  client.SetDeadline(std::chrono::steady_clock::now() + 300ms);
  const auto start = std::chrono::steady_clock::now();
  char buffer[16];
  EXPECT_EQ(client.Receive(buffer, sizeof buffer), -1);
  EXPECT_EQ(GetLastSocketError(), kErrTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  release = true;
}

TEST(BlockingCalls, OversizedDatagramIsTakenOffAndReportedAsTooLong) {
  std::vector<std::string> log;
  CSocket udp;
  ASSERT_TRUE(udp.Create(0, SOCK_DGRAM, kEventAll, "127.0.0.1"));
  const uint16_t port = LocalPort(udp.Handle());
  ASSERT_TRUE(SendDatagram(std::string(20, 'x'), "127.0.0.1", port));
  ASSERT_TRUE(SendDatagram("next", "127.0.0.1", port));
  char buffer[11];
  sockaddr_in sender{};
  EXPECT_EQ(udp.ReceiveFrom(buffer, 10, &sender), -1);
  EXPECT_EQ(GetLastSocketError(), EMSGSIZE);
  EXPECT_EQ(udp.ReceiveFrom(buffer, 10, &sender), 4);
  EXPECT_EQ(std::string(buffer, 4), "next");
}

TEST(BlockingCalls, ConnectFailures) {
  // A name look-up may ask a resolver: only inside the private network.
  if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  CSocket client;
  ASSERT_TRUE(client.Create(0, SOCK_STREAM, kEventAll));
  EXPECT_FALSE(client.Connect("no-such-host.invalid", 80)) << "unresolvable name";
  EXPECT_EQ(GetLastSocketError(), kErrInvalidArgument);

  const uint16_t closed_port = ClosedPort();
  CSocket refused;
  ASSERT_TRUE(refused.Create(0, SOCK_STREAM, kEventAll));
  EXPECT_FALSE(refused.Connect("127.0.0.1", closed_port)) << "refused port";
  EXPECT_EQ(GetLastSocketError(), ECONNREFUSED);
}

// A device may name its host instead of giving an address; a resolver that never answers
// must not hold the window past the caller's deadline.
TEST(BlockingCalls, SilentResolverIsGivenUpAtTheDeadline) {
  if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Only this child sees a resolver configuration naming a silent server of its own.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
          std::_Exit(2);
        }
        char path[] = "/tmp/tarovue-resolv-XXXXXX";
        int fd = mkstemp(path);
        const std::string config = "nameserver 127.0.0.1\noptions timeout:20 attempts:1\n";
        if (fd < 0 || write(fd, config.data(), config.size()) < 0 ||
            mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
          std::_Exit(3);
        }
        int silent = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in dns{};
        dns.sin_family = AF_INET;
        dns.sin_port = htons(53);
        dns.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(silent, reinterpret_cast<sockaddr*>(&dns), sizeof dns);

        CSocket client;
        client.Create(0, SOCK_STREAM, kEventAll);
        const auto start = std::chrono::steady_clock::now();
        client.SetDeadline(start + 300ms);
        bool connected = client.Connect("slow-device.invalid", 80);
        const auto took = std::chrono::steady_clock::now() - start;
        unlink(path);
        std::_Exit(!connected && GetLastSocketError() == kErrTimedOut && took < 1500ms ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(AsyncSocket, BindRejectsAnAddressThatIsNotDotted) {
  CAsyncSocket socket;
  EXPECT_FALSE(socket.Create(0, SOCK_DGRAM, kEventRead, "localhost"));
  EXPECT_EQ(GetLastSocketError(), kErrInvalidArgument);
  EXPECT_FALSE(socket.IsOpen()) << "a failed bind closes the socket again";
}

}  // namespace
