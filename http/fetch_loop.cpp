#include "http/fetch_loop.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>

#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <cerrno>
#include <string>

#include "http/get_request.h"
#include "net/pending_lookup.h"
#include "net/tcp_stream.h"
#include "platform/error_text.h"

namespace {

// How often a running name look-up is looked at.
constexpr int kLookupPollMs = 10;
// Readiness reports taken per wait.
constexpr int kMaxReady = 64;
// Finished fetches go to the owner at most this often: each hand-over wakes the owner's loop,
// and a wake-up per link of a device's chain would compete with that chain for the CPU. The
// first after a pause goes at once.
constexpr std::chrono::milliseconds kHandPeriod{1};

}  // namespace

struct FetchLoop::Exchange {
  ~Exchange() {
    if (lookup) AbandonLookup(std::move(lookup));
  }

  std::shared_ptr<FetchOrder> order;
  TcpStream stream;
  std::unique_ptr<PendingLookup> lookup;
  std::string request;  // the GET's text
  std::size_t sent = 0;
  uint16_t port = 0;
  bool connected = false;  // the total bound applies, no longer the connect's
  bool given_up = false;   // ended by its deadline: reset when closed
  std::string buffer;      // the response, in a buffer of the response size + 1
  uint32_t received = 0;
  Clock::time_point started;
  Clock::time_point deadline;
};

FetchLoop::FetchLoop(int concurrency, std::size_t max_waiting, uint32_t response_size,
                     Deliver deliver)
    : m_response_size(response_size),
      m_deliver(std::move(deliver)),
      m_owner(std::make_unique<QObject>()),
      m_readiness_error(m_readiness.IsOpen() ? 0 : errno),
      m_line(concurrency, max_waiting) {}

FetchLoop::~FetchLoop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_readiness.Wake();
  if (m_thread.joinable()) m_thread.join();
  // A batch already posted goes with the object it was posted to.
  m_owner.reset();
}

void FetchLoop::Submit(std::shared_ptr<FetchOrder> order) {
  if (!m_readiness.IsOpen()) {
    // No loop can run: the order fails as a fetch without a socket would.
    if (!order->Start()) return;
    std::vector<FetchReport> failed(1);
    failed[0].order = std::move(order);
    failed[0].error = m_readiness_error;
    Hand(failed);
    return;
  }
  {
    std::lock_guard lock(m_mutex);
    m_inbox.push_back(std::move(order));
  }
  if (!m_thread.joinable()) {
    m_thread = std::thread([this] { Run(); });
    return;
  }
  // A loop with nothing to do is woken at once. One with exchanges running looks at its
  // orders whenever one of them ends; a wake-up after the owner's current turn makes sure
  // that a free device does not wait for a slow one, at one wake-up for all the orders of a
  // burst rather than one each, where the chain of a device needs every moment of the CPU.
  if (m_idle.exchange(false)) {
    m_readiness.Wake();
  } else if (!m_wake_posted) {
    m_wake_posted = true;
    QMetaObject::invokeMethod(
        m_owner.get(),
        [this] {
          m_wake_posted = false;
          m_readiness.Wake();
        },
        Qt::QueuedConnection);
  }
}

void FetchLoop::Hand(std::vector<FetchReport>& reports) {
  bool post;
  {
    std::lock_guard lock(m_mutex);
    post = m_outbox.empty();
    if (post) {
      m_outbox.swap(reports);
    } else {
      std::move(reports.begin(), reports.end(), std::back_inserter(m_outbox));
    }
  }
  reports.clear();
  if (post) {
    QMetaObject::invokeMethod(
        m_owner.get(), [this] { DeliverBatch(); }, Qt::QueuedConnection);
  }
}

void FetchLoop::DeliverBatch() {
  std::vector<FetchReport> batch;
  {
    std::lock_guard lock(m_mutex);
    batch.swap(m_outbox);
  }
  if (!batch.empty()) m_deliver(batch);
}

void FetchLoop::Run() {
  // Named, so that top -H and a profile tell it from the event loop.
  pthread_setname_np(pthread_self(), "tarovue-fetch");
  // Ctrl-C and its kin are the event loop's to hear; faults stay with the thread that caused them.
  sigset_t asynchronous;
  sigfillset(&asynchronous);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
    sigdelset(&asynchronous, fault);
  }
  pthread_sigmask(SIG_BLOCK, &asynchronous, nullptr);
  std::vector<std::shared_ptr<FetchOrder>> arrived;
  epoll_event ready[kMaxReady];
  for (;;) {
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) break;
      arrived.swap(m_inbox);
    }
    for (auto& order : arrived) m_line.Add(std::move(order));
    arrived.clear();
    // The next link of a device's chain starts here, before the last one's socket is closed
    // (a close costs the device's side of the handshake too) and before the owner hears of it.
    while (std::shared_ptr<FetchOrder> order = m_line.Next()) Begin(std::move(order));
    for (const std::unique_ptr<Exchange>& ended : m_ended) ended->stream.Close(ended->given_up);
    m_ended.clear();
    if (!m_finished.empty() && Clock::now() - m_handed >= kHandPeriod) {
      Hand(m_finished);
      m_handed = Clock::now();
    }
    if (m_exchanges.empty() && m_finished.empty()) {
      // An order that comes after this look finds the flag set and ends the wait below.
      m_idle = true;
      std::lock_guard lock(m_mutex);
      if (!m_inbox.empty() || m_stopping) {
        m_idle = false;
        continue;
      }
    }
    const int count = m_readiness.Wait(ready, kMaxReady, WaitMs());
    m_idle = false;
    for (int i = 0; i < count; ++i) OnReady(ready[i].data.u64, ready[i].events);
    if (m_lookups != 0) PollLookups();
    ExpireDeadlines();
  }
  // Given up at once: every exchange still open is reset, every look-up abandoned.
  m_exchanges.clear();
  m_ended.clear();
}

void FetchLoop::Begin(std::shared_ptr<FetchOrder> order) {
  auto owned = std::make_unique<Exchange>();
  Exchange& exchange = *owned;
  const uint64_t key = m_next_key++;
  exchange.order = std::move(order);
  exchange.started = Clock::now();
  exchange.deadline =
      exchange.started + std::chrono::milliseconds(std::min(exchange.order->connect_timeout_ms,
                                                            exchange.order->total_timeout_ms));
  m_exchanges.emplace(key, std::move(owned));
  m_deadlines.emplace(exchange.deadline, key);

  // Taken apart in the response buffer, behind its first byte, as GetUrl does.
  exchange.buffer.assign(m_response_size + 1, '\0');
  GetRequest request;
  if (m_response_size < 2 || !PrepareGetRequest(exchange.buffer.data() + 1, m_response_size - 1,
                                                exchange.order->url.c_str(), &request)) {
    Finish(key, 0);
    return;
  }
  exchange.request.assign(request.text, static_cast<std::size_t>(request.length));
  exchange.port = request.port;
  in_addr address{};
  if (inet_pton(AF_INET, request.host, &address) == 1) {
    Connect(key, exchange, address);
    return;
  }
  ForgetFinishedLookups();
  exchange.lookup = std::make_unique<PendingLookup>(request.host);
  gaicb* list[] = {&exchange.lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    exchange.lookup.reset();
    Finish(key, kErrInvalidArgument);
    return;
  }
  ++m_lookups;
}

void FetchLoop::Connect(uint64_t key, Exchange& exchange, const in_addr& address) {
  int error = 0;
  const int sent = exchange.stream.Start(address, exchange.port, exchange.request.data(),
                                         static_cast<int>(exchange.request.size()), error);
  if (sent < 0) {
    Finish(key, error);
    return;
  }
  exchange.sent = static_cast<std::size_t>(sent);
  if (sent > 0) Connected(key, exchange);
  // Edge-triggered: each change is reported once, so no watch needs changing afterwards; a
  // request that went out with the connect needs no wake-up for writing at all.
  uint32_t events = EPOLLIN | EPOLLRDHUP | EPOLLET;
  if (exchange.sent < exchange.request.size()) events |= EPOLLOUT;
  if (!m_readiness.Watch(exchange.stream.Handle(), events, key)) Finish(key, errno);
}

void FetchLoop::Connected(uint64_t key, Exchange& exchange) {
  exchange.connected = true;
  m_deadlines.erase({exchange.deadline, key});
  // The total bound counts from the start, as GetUrl's deadline does.
  exchange.deadline =
      exchange.started + std::chrono::milliseconds(exchange.order->total_timeout_ms);
  m_deadlines.emplace(exchange.deadline, key);
}

void FetchLoop::OnReady(uint64_t key, uint32_t events) {
  auto it = m_exchanges.find(key);
  if (it == m_exchanges.end()) return;  // finished earlier in this batch
  Exchange& exchange = *it->second;
  if (exchange.sent < exchange.request.size()) {
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
    int error = 0;
    const int sent =
        exchange.stream.Send(exchange.request.data() + exchange.sent,
                             static_cast<int>(exchange.request.size() - exchange.sent), error);
    if (sent < 0) {
      Finish(key, error);
      return;
    }
    if (sent == 0) return;
    if (!exchange.connected) Connected(key, exchange);
    exchange.sent += static_cast<std::size_t>(sent);
    if (exchange.sent < exchange.request.size()) return;
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) Read(key, exchange, events);
}

void FetchLoop::Read(uint64_t key, Exchange& exchange, uint32_t events) {
  const bool peer_closed = (events & (EPOLLRDHUP | EPOLLHUP)) != 0;
  for (;;) {
    const uint32_t room = m_response_size - exchange.received;
    if (room == 0) {
      Finish(key, 0);
      return;
    }
    const int n =
        exchange.stream.Receive(exchange.buffer.data() + exchange.received, static_cast<int>(room));
    if (n > 0) {
      exchange.received += static_cast<uint32_t>(n);
      // A short read took all that waited; once the device has closed, that is the answer,
      // and no further read is needed to hear the close.
      if (static_cast<uint32_t>(n) < room) {
        if (peer_closed) Finish(key, 0);
        return;
      }
      continue;
    }
    if (n == 0) {
      Finish(key, 0);
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    Finish(key, errno);  // what arrived before the error is the answer
    return;
  }
}

void FetchLoop::PollLookups() {
  std::vector<uint64_t> settled;
  for (const auto& [key, exchange] : m_exchanges) {
    if (exchange->lookup && gai_error(&exchange->lookup->request) != EAI_INPROGRESS) {
      settled.push_back(key);
    }
  }
  for (const uint64_t key : settled) {
    Exchange& exchange = *m_exchanges.at(key);
    --m_lookups;
    const addrinfo* found = exchange.lookup->request.ar_result;
    const bool resolved = gai_error(&exchange.lookup->request) == 0 && found != nullptr;
    in_addr address{};
    if (resolved) address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    exchange.lookup.reset();
    if (resolved) {
      Connect(key, exchange, address);
    } else {
      Finish(key, kErrInvalidArgument);
    }
  }
}

void FetchLoop::ExpireDeadlines() {
  const Clock::time_point now = Clock::now();
  while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
    Finish(m_deadlines.begin()->second, kErrTimedOut);
  }
}

int FetchLoop::WaitMs() const {
  int wait = -1;
  if (!m_deadlines.empty()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(m_deadlines.begin()->first - Clock::now());
    wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
  }
  if (m_lookups != 0 && (wait < 0 || wait > kLookupPollMs)) wait = kLookupPollMs;
  if (!m_finished.empty()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(m_handed + kHandPeriod - Clock::now());
    const int hand = static_cast<int>(std::max<int64_t>(left.count(), 0));
    if (wait < 0 || wait > hand) wait = hand;
  }
  return wait;
}

void FetchLoop::Finish(uint64_t key, int error) {
  auto it = m_exchanges.find(key);
  if (it == m_exchanges.end()) return;
  std::unique_ptr<Exchange> exchange = std::move(it->second);
  m_exchanges.erase(it);
  m_deadlines.erase({exchange->deadline, key});
  if (exchange->lookup) --m_lookups;

  FetchReport& report = m_finished.emplace_back();
  report.order = exchange->order;
  report.seconds = std::chrono::duration<double>(Clock::now() - exchange->started).count();
  const bool refused_url = exchange->request.empty();
  // An answer still coming in at the bound is no answer: half a description must not be
  // taken, or cached, as the device's. An error after some bytes counts as the device's close.
  if (error == kErrTimedOut) {
    exchange->received = 0;
  } else if (exchange->received == 0 && error == 0 && !refused_url) {
    error = ECONNRESET;
  }
  report.count = exchange->received;
  report.error = report.count != 0 ? 0 : error;
  report.response.assign(exchange->buffer.data(), exchange->received);
  // Given up: reset at once, so that nothing of it lingers, here or on the device.
  exchange->given_up = error == kErrTimedOut;
  m_line.Done(*exchange->order);
  m_ended.push_back(std::move(exchange));
}
