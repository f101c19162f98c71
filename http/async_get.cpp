#include "http/async_get.h"

#include <QTimer>
#include <cerrno>

#include "http/get_request.h"
#include "net/async_stream.h"
#include "platform/error_text.h"

AsyncGet::AsyncGet() = default;
AsyncGet::~AsyncGet() = default;

bool AsyncGet::Start(const char* url, uint32_t size, int connect_timeout_ms, int total_timeout_ms,
                     Done done) {
  m_stream.reset();
  m_buffer.assign(size + 1, '\0');
  m_size = size;
  m_received = 0;
  m_connected = false;
  GetRequest request;
  // Taken apart in the response buffer, as GetUrl does, behind its first byte.
  if (size < 2 || !PrepareGetRequest(m_buffer.data() + 1, size - 1, url, &request)) {
    m_buffer.assign(1, '\0');
    return false;
  }
  m_request.assign(request.text, static_cast<std::size_t>(request.length));
  const std::string host = request.host;
  m_buffer[1] = '\0';
  m_total_timeout_ms = total_timeout_ms;
  m_done = std::move(done);

  m_stream = std::make_unique<AsyncStream>();
  if (!m_stream->Connect(
          host, request.port, [this](int error) { OnConnected(error); },
          [this] { OnReadable(); })) {
    m_stream.reset();
    m_done = nullptr;
    return false;
  }
  m_deadline = std::make_unique<QTimer>();
  m_deadline->setSingleShot(true);
  QObject::connect(m_deadline.get(), &QTimer::timeout, [this] { Finish(kErrTimedOut); });
  m_deadline->start(connect_timeout_ms < total_timeout_ms ? connect_timeout_ms : total_timeout_ms);
  return true;
}

void AsyncGet::OnConnected(int error) {
  if (error != 0) {
    Finish(error);
    return;
  }
  m_connected = true;
  // The total bound counts from the start, as GetUrl's deadline does.
  const int left = m_total_timeout_ms - (m_deadline->interval() - m_deadline->remainingTime());
  m_deadline->start(left > 0 ? left : 0);
  if (!m_stream->Send(m_request.data(), static_cast<int>(m_request.size()))) Finish(errno);
}

void AsyncGet::OnReadable() {
  while (m_received < m_size) {
    const int n =
        m_stream->Receive(m_buffer.data() + m_received, static_cast<int>(m_size - m_received));
    if (n > 0) {
      m_received += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    break;  // closed by the device, or an error: what arrived is the response
  }
  Finish(0);
}

void AsyncGet::Finish(int error) {
  m_deadline.reset();
  m_stream.reset();
  // An answer still coming in at the bound is no answer: half a description must not be
  // taken, or cached, as the device's. An error after some bytes counts as the device's close.
  if (error == kErrTimedOut) {
    m_received = 0;
  } else if (m_received == 0 && error == 0) {
    error = ECONNRESET;
  }
  m_buffer[m_received] = '\0';
  const uint32_t count = m_received;
  Done done = std::move(m_done);
  m_done = nullptr;
  if (done) done(count, count != 0 ? 0 : error);  // may destroy this object: nothing after it
}
