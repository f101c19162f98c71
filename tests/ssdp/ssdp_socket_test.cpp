// The SSDP sockets in a private network: which datagrams reach the listener, how odd sizes are
// handled, and what the 1900 socket does when the system refuses parts of its set-up.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "net/socket_error.h"
#include "ssdp/ssdp_socket.h"
#include "tests/support/event_loop.h"
#include "tests/support/isolated_network.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace std::chrono_literals;

struct Received {
  std::string text;
  uint32_t address;
};

class RecordingListener : public SsdpListener {
 public:
  void OnReceive(char* text, uint32_t address) override { received.push_back({text, address}); }
  std::vector<Received> received;
};

class SsdpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << IsolationFailure();
  }
  // The 1900 socket with host A as its only interface.
  void CreateMulticastSocket() {
    const uint32_t interfaces[] = {Address(kHostA)};
    ASSERT_TRUE(m_ssdp.Create(interfaces, 1));
    m_ssdp.SetListener(&m_listener);
    m_ssdp.SetErrorReporter([this](const char* text) { m_errors.emplace_back(text); });
  }

  TraceRecorder m_trace;
  RecordingListener m_listener;
  std::vector<std::string> m_errors;
  CSsdpSocket m_ssdp;
};

TEST_F(SsdpSocketTest, OwnDatagramsAreDroppedOnlyByTheSocketThatKnowsTheInterfaces) {
  CreateMulticastSocket();
  CSsdpSocket search;
  ASSERT_TRUE(search.Create(nullptr, 0));
  search.SetListener(&m_listener);

  ASSERT_TRUE(SendDatagram("from myself", kHostA, kSsdpPort, kHostA));
  ASSERT_TRUE(SendDatagram("from a device", kHostA, kSsdpPort, kHostB));
  ASSERT_TRUE(SendDatagram("answer to me", "127.0.0.1", LocalPort(search.Handle()), kHostA));
  ASSERT_TRUE(RunUntil([&] { return m_listener.received.size() >= 2; }));
  RunFor(50);

  // The two sockets' datagrams may be taken in either order.
  ASSERT_EQ(m_listener.received.size(), 2u);
  std::map<std::string, uint32_t> by_text;
  for (const Received& r : m_listener.received) by_text[r.text] = r.address;
  EXPECT_EQ(by_text, (std::map<std::string, uint32_t>{{"from a device", Address(kHostB)},
                                                      {"answer to me", Address(kHostA)}}));
  EXPECT_TRUE(m_trace.Has(std::string("Receive from myself at ") + kHostA));
}

TEST_F(SsdpSocketTest, DatagramSizesAtTheBufferLimit) {
  CreateMulticastSocket();
  const std::string full(512, 'a');
  ASSERT_TRUE(SendDatagram(full, kHostA, kSsdpPort, kHostB));
  ASSERT_TRUE(SendDatagram(std::string(513, 'b'), kHostA, kSsdpPort, kHostB));
  ASSERT_TRUE(SendDatagram(std::string(), kHostA, kSsdpPort, kHostB));
  ASSERT_TRUE(SendDatagram(std::string(65507, 'c'), kHostA, kSsdpPort, kHostB));
  ASSERT_TRUE(SendDatagram("still listening", kHostA, kSsdpPort, kHostB));
  ASSERT_TRUE(RunUntil([&] { return m_listener.received.size() >= 2; }));
  RunFor(50);

  ASSERT_EQ(m_listener.received.size(), 2u);
  EXPECT_EQ(m_listener.received[0].text, full) << "512 bytes are taken whole";
  EXPECT_EQ(m_listener.received[1].text, "still listening");
  EXPECT_TRUE(m_errors.empty()) << "no message for long or empty datagrams";
  EXPECT_TRUE(m_ssdp.IsOpen());
  EXPECT_EQ(m_trace.CountStartingWith("Dropped(too_long) from 10.77.0.2"), 2);
  EXPECT_TRUE(m_trace.Has("Dropped(empty) from 10.77.0.2"));
}

// Batch reading takes every waiting datagram with one read event, and each one still meets
// the fate a single read gives it: taken, too long, empty or the host's own, counted, traced
// and handed to the listener in arrival order.
TEST_F(SsdpSocketTest, BatchReadingGivesEachDatagramTheFateOfASingleRead) {
  const std::vector<std::pair<std::string, const char*>> script = {
      {"first", kHostB}, {std::string(513, 'b'), kHostB}, {"", kHostB},
      {"mine", kHostA},  {std::string(512, 'a'), kHostB}, {std::string(65507, 'c'), kHostB},
      {"last", kHostB}};
  // Each fate, and how much still waited in the socket at the first.
  class FateListener final : public SsdpListener {
   public:
    void OnReceive(char* text, uint32_t address) override {
      Note("receive:" + std::string(text).substr(0, 8), address);
    }
    void OnDropped(DatagramOutcome reason, uint32_t address) override {
      Note(std::string("drop:") + DatagramOutcomeName(reason), address);
    }
    void Note(const std::string& fate, uint32_t address) {
      if (fates.empty()) ioctl(handle, FIONREAD, &waiting_at_first);
      fates.push_back(fate + (address == Address(kHostA) ? "@A" : "@B"));
    }
    int handle = -1;
    int waiting_at_first = -1;
    std::vector<std::string> fates;
  };
  const auto run = [&](bool batch, FateListener& listener) {
    const std::size_t traced = TraceRecorder::Lines().size();
    CSsdpSocket socket;
    const uint32_t interfaces[] = {Address(kHostA)};
    EXPECT_TRUE(socket.Create(interfaces, 1));
    socket.SetBatchReceive(batch);
    socket.SetListener(&listener);
    listener.handle = socket.Handle();
    for (const auto& [payload, from] : script) {
      EXPECT_TRUE(SendDatagram(payload, kHostA, kSsdpPort, from));
    }
    EXPECT_TRUE(RunUntil([&] { return listener.fates.size() >= script.size(); }));
    EXPECT_EQ(socket.Received(), script.size());
    return std::vector<std::string>(TraceRecorder::Lines().begin() + traced,
                                    TraceRecorder::Lines().end());
  };
  FateListener single, batch;
  const std::vector<std::string> single_traces = run(false, single);
  EXPECT_EQ(run(true, batch), single_traces);
  EXPECT_EQ(single.fates,
            (std::vector<std::string>{"receive:first@B", "drop:too_long@B", "drop:empty@B",
                                      "drop:own_address@A", "receive:aaaaaaaa@B", "drop:too_long@B",
                                      "receive:last@B"}));
  EXPECT_EQ(batch.fates, single.fates);
  EXPECT_GT(single.waiting_at_first, 0) << "a single read leaves the rest waiting";
  EXPECT_EQ(batch.waiting_at_first, 0) << "the batch took them all at the first event";
}

TEST_F(SsdpSocketTest, ReceiveErrorIsShownAndClosesOnlyThatSocket) {
  CreateMulticastSocket();
  CSsdpSocket search;
  ASSERT_TRUE(search.Create(nullptr, 0));
  search.SetListener(&m_listener);
  std::vector<std::string> search_errors;
  search.SetErrorReporter([&](const char* text) { search_errors.emplace_back(text); });
  // A connected datagram socket learns of an unreachable port; the next receive fails.
  sockaddr_in nobody{};
  nobody.sin_family = AF_INET;
  nobody.sin_port = htons(9);
  inet_pton(AF_INET, "127.0.0.1", &nobody.sin_addr);
  ASSERT_EQ(connect(search.Handle(), reinterpret_cast<sockaddr*>(&nobody), sizeof nobody), 0);
  ASSERT_EQ(send(search.Handle(), "x", 1, 0), 1);

  ASSERT_TRUE(RunUntil([&] { return !search_errors.empty(); }));
  EXPECT_EQ(search_errors, std::vector<std::string>{"Error occurred"});
  EXPECT_FALSE(search.IsOpen());
  EXPECT_TRUE(m_ssdp.IsOpen());
  ASSERT_TRUE(SendDatagram("other socket carries on", kHostA, kSsdpPort, kHostB));
  ASSERT_TRUE(RunUntil([&] { return m_listener.received.size() == 1; }));
}

TEST_F(SsdpSocketTest, JoinsTheGroupOnEveryListedInterface) {
  const uint32_t interfaces[] = {Address(kHostA), Address(kHostB)};
  ASSERT_TRUE(m_ssdp.Create(interfaces, 2));
  // The kernel lists each device's line, then its groups on indented lines, as hex of the
  // group's bytes read in host order.
  std::ifstream igmp("/proc/net/igmp");
  std::set<std::string> joined;
  std::string line, device;
  while (std::getline(igmp, line)) {
    std::istringstream words(line);
    std::string first, second;
    words >> first >> second;
    if (!line.empty() && line[0] != '\t' && line[0] != ' ') {
      device = second;
    } else if (first == "FAFFFFEF") {
      joined.insert(device);
    }
  }
  EXPECT_TRUE(joined.count("tv0")) << "tv0";
  EXPECT_TRUE(joined.count("tv1")) << "tv1";
  EXPECT_EQ(m_trace.CountStartingWith("imr_interface="), 2);
  EXPECT_EQ(m_trace.CountStartingWith("IP_ADD_MEMBERSHIP failed"), 0);
}

TEST_F(SsdpSocketTest, KeepsSixteenInterfacesAndTracesFailedMemberships) {
  std::vector<uint32_t> interfaces;
  for (int i = 0; i < 20; ++i) interfaces.push_back(htonl(0x0A4D0100u + static_cast<uint32_t>(i)));
  ASSERT_TRUE(m_ssdp.Create(interfaces.data(), static_cast<uint32_t>(interfaces.size())));
  EXPECT_EQ(m_ssdp.InterfaceCount(), 16u);
  EXPECT_EQ(m_trace.CountStartingWith("imr_interface="), 16);
  EXPECT_EQ(m_trace.CountStartingWith("IP_ADD_MEMBERSHIP failed("), 16)
      << "none of these addresses is the host's";
}

TEST_F(SsdpSocketTest, EmptyInterfaceListStillBindsToTheSsdpPortButJoinsNothing) {
  const uint32_t none[1] = {};
  ASSERT_TRUE(m_ssdp.Create(none, 0));
  EXPECT_EQ(LocalPort(m_ssdp.Handle()), kSsdpPort);
  EXPECT_EQ(m_trace.CountStartingWith("imr_interface="), 0);
}

TEST_F(SsdpSocketTest, TakenPortIsTracedAndTheSocketStillCounts) {
  int holder = socket(AF_INET, SOCK_DGRAM, 0);  // no address reuse
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kSsdpPort);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  const uint32_t interfaces[] = {Address(kHostA)};
  EXPECT_TRUE(m_ssdp.Create(interfaces, 1));
  EXPECT_EQ(m_trace.CountStartingWith("Bind failed("), 1);
  EXPECT_TRUE(m_ssdp.IsOpen());
  close(holder);
}

// Responses wait in the receive buffer while a description is fetched; with the system's
// default a thousand devices overflowed it and answers were lost.
TEST_F(SsdpSocketTest, BothSocketsGetTheLargeReceiveBufferAndTraceIt) {
  CreateMulticastSocket();
  CSsdpSocket search;
  ASSERT_TRUE(search.Create(nullptr, 0));

  // Unprivileged, the system caps the request at net.core.rmem_max; it reports twice the size.
  long limit = kSocketReceiveBufferBytes;
  std::ifstream rmem_max("/proc/sys/net/core/rmem_max");
  long system_max = 0;
  if (rmem_max >> system_max && system_max < limit) limit = system_max;
  for (const CSsdpSocket* socket : {&m_ssdp, &search}) {
    int granted = 0;
    socklen_t length = sizeof granted;
    ASSERT_EQ(getsockopt(socket->Handle(), SOL_SOCKET, SO_RCVBUF, &granted, &length), 0);
    EXPECT_GE(granted, 2 * limit);
    EXPECT_TRUE(m_trace.Has("SO_RCVBUF=" + std::to_string(granted)));
  }
  EXPECT_EQ(m_trace.CountStartingWith("SO_RCVBUF="), 2);
  EXPECT_EQ(m_trace.CountStartingWith("SO_RCVBUF failed"), 0);
}

TEST_F(SsdpSocketTest, SearchRequestLeavesAsExactly132BytesForTheGroup) {
  CreateMulticastSocket();
  int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kSsdpPort);
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ip_mreq join{};
  inet_pton(AF_INET, kSsdpGroup, &join.imr_multiaddr);
  join.imr_interface.s_addr = Address(kHostB);
  ASSERT_EQ(setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
  timeval wait{2, 0};
  setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  m_ssdp.SendDiscover(SEARCH_TARGET);
  char buffer[600];
  ssize_t n = recv(receiver, buffer, sizeof buffer, 0);
  close(receiver);
  ASSERT_EQ(n, 132);
  EXPECT_EQ(std::string(buffer, 132),
            "M-SEARCH * HTTP/1.1\r\nMX: 100\r\n"
            "ST: urn:schemas-velmorant-com:device:indicator:1\r\n"
            "HOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n\r\n");
  EXPECT_TRUE(m_trace.Has("SendDiscover:SentTo()"));
}

TEST_F(SsdpSocketTest, FailedSendIsTracedWithItsError) {
  CSsdpSocket closed;
  closed.SendDiscover(SEARCH_TARGET);  // never created
  EXPECT_EQ(m_trace.CountStartingWith("SendDiscover:SentTo()failed("), 1);
}

}  // namespace
