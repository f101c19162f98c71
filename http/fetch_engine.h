// Where the description pool's fetches run, behind one seam: the pool submits orders (a GET
// each, with its own bounds) and hears of the finished ones in batches on its own thread; the
// engine keeps the line, never two fetches at once to one host and never more than its limit
// at once, first come first served among the hosts that are free. FetchLoop runs them on a
// thread of its own; tests run them by hand. An order is shared by the two sides: only its
// state changes after submission, and whichever side moves it out of kWaiting first decides
// whether it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct FetchOrder {
  enum State : int { kWaiting, kStarted, kWithdrawn };

  FetchOrder(std::string url_, std::string host_, int connect_timeout_ms_, int total_timeout_ms_)
      : url(std::move(url_)),
        host(std::move(host_)),
        connect_timeout_ms(connect_timeout_ms_),
        total_timeout_ms(total_timeout_ms_) {}
  FetchOrder(const FetchOrder&) = delete;
  FetchOrder& operator=(const FetchOrder&) = delete;

  // The engine, as it starts the fetch: false when the pool withdrew it first.
  bool Start() { return Leave(kStarted); }
  // The pool, for an order it no longer wants: false when the engine started it first; the
  // report of a started order still comes.
  bool Withdraw() { return Leave(kWithdrawn); }
  [[nodiscard]] State Now() const { return static_cast<State>(state.load()); }

  const std::string url;
  const std::string host;  // fetches to one host never run side by side
  const int connect_timeout_ms;
  const int total_timeout_ms;  // the whole exchange, the connect and a name look-up included

 private:
  bool Leave(State to) {
    int waiting = kWaiting;
    return state.compare_exchange_strong(waiting, to);
  }
  std::atomic<int> state{kWaiting};
};

// How a started order ended.
struct FetchReport {
  std::shared_ptr<FetchOrder> order;
  // The response (status line, header fields, body) as received, `count` bytes; empty with
  // count 0 on failure, with `error` saying why: kErrTimedOut (also when part of an answer
  // had come), ECONNREFUSED, kErrInvalidArgument (a name not found), another errno value,
  // or 0 for a URL refused before any connect.
  std::string response;
  uint32_t count = 0;
  int error = 0;
  double seconds = 0;  // from the start of the exchange to its end, on the engine's clock
};

class FetchEngine {
 public:
  // Hears finished orders, on the thread that made the engine; it may submit more.
  using Deliver = std::function<void(std::vector<FetchReport>& batch)>;

  virtual ~FetchEngine() = default;
  // Queues `order` in its host's line. A report comes for every order that starts, never
  // for one withdrawn before it started, and none after the engine is destroyed.
  virtual void Submit(std::shared_ptr<FetchOrder> order) = 0;
};
