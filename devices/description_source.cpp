#include "devices/description_source.h"

#include <cerrno>
#include <cstring>

#include "platform/error_text.h"

DescriptionResult CachedResult(const std::string& response) {
  DescriptionResult result;
  result.response = response.c_str();
  result.count = static_cast<uint32_t>(response.size());
  result.source = DescriptionResult::Source::kCached;
  return result;
}

DescriptionResult CachedResult(std::shared_ptr<const std::string> response) {
  DescriptionResult result = CachedResult(*response);
  result.kept = std::move(response);
  return result;
}

DescriptionResult SkippedResult() {
  DescriptionResult result;
  result.source = DescriptionResult::Source::kSkipped;
  return result;
}

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
