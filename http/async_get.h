// A GET on the event loop with GetUrl's request and reading: "GET /path HTTP/1.1" and an
// empty line, read until the device closes the connection or `size` bytes are in, with a
// connect and a total deadline. Unlike GetUrl, an answer cut off by the total deadline is a
// time-out, not a response. Many can run at once; none blocks the loop. Destroying one ends
// its exchange at once, and its callback never runs after that.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class AsyncStream;
class QTimer;

class AsyncGet final {
 public:
  // `count` response bytes are in Response() (terminated), or 0 with `error` saying why:
  // kErrTimedOut (also when part of an answer had arrived), ECONNREFUSED, kErrInvalidArgument
  // (name not found) or another errno value.
  using Done = std::function<void(uint32_t count, int error)>;

  AsyncGet();
  ~AsyncGet();
  AsyncGet(const AsyncGet&) = delete;
  AsyncGet& operator=(const AsyncGet&) = delete;

  // Starts fetching `url` into a buffer of `size` + 1 bytes. False, with nothing started and
  // `done` never called, when GetUrl would refuse the URL before connecting or no socket can
  // be made; `done` otherwise runs once, later, from the event loop.
  bool Start(const char* url, uint32_t size, int connect_timeout_ms, int total_timeout_ms,
             Done done);
  // The response of the last exchange; valid until the next Start or destruction.
  [[nodiscard]] const char* Response() const { return m_buffer.c_str(); }

 private:
  void OnConnected(int error);
  void OnReadable();
  void Finish(int error);

  std::unique_ptr<AsyncStream> m_stream;
  std::unique_ptr<QTimer> m_deadline;
  std::string m_request;
  std::string m_buffer;
  uint32_t m_size = 0;
  uint32_t m_received = 0;
  int m_total_timeout_ms = 0;
  bool m_connected = false;
  Done m_done;
};
