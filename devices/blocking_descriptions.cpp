#include "devices/blocking_descriptions.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/socket_error.h"
#include "platform/error_text.h"
#include "platform/trace.h"

FetchOutcome ResponseOutcome(const char* response) {
  // "HTTP/1.1 200 OK": the code is the word after the first space.
  const char* space = std::strchr(response, ' ');
  if (space == nullptr) return FetchOutcome::kHttpError;
  return std::strncmp(space + 1, "200", 3) == 0 &&
                 (space[4] == ' ' || space[4] == '\r' || space[4] == '\n' || space[4] == '\0')
             ? FetchOutcome::kOk
             : FetchOutcome::kHttpError;
}

FetchOutcome FailureOutcome(int socket_error) {
  switch (socket_error) {
    case ECONNREFUSED:
      return FetchOutcome::kRefused;
    case kErrTimedOut:
    case ETIMEDOUT:
      return FetchOutcome::kTimeout;
    default:
      return FetchOutcome::kFailed;
  }
}

void BlockingDescriptions::Describe(const DescriptionRequest& request, Settle settle) {
  const char* location = request.location.c_str();
  Trace("GetUrl(%s)", location);
  SetLastSocketError(0);
  const auto start = std::chrono::steady_clock::now();
  const uint32_t count = m_fetch(m_buffer, kDescriptionFetchSize, location);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  Trace("GetUrl(%s)=%d", location, static_cast<int>(count));
  // A fetcher must terminate within its size; this keeps a careless one from making the
  // parser read past the buffer.
  m_buffer[count != 0 ? kDescriptionFetchSize : 0] = '\0';
  DescriptionResult result;
  result.response = m_buffer;
  result.count = count;
  result.outcome = count != 0 ? ResponseOutcome(m_buffer) : FailureOutcome(GetLastSocketError());
  result.seconds = took.count();
  settle(result);
}
