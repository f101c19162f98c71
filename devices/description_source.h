// Where announcement handling gets a device's description: a seam between the rules of
// announcements and the policy of fetching (blocking or pooled, cached, backed off). A
// source settles every request exactly once, at once or later on the event loop's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "devices/discovery_counters.h"

struct DescriptionRequest {
  std::string location;   // the announcement's LOCATION, checked by PrepareGetRequest
  std::string boot_id;    // BOOTID.UPNP.ORG, "" when absent
  std::string config_id;  // CONFIGID.UPNP.ORG, "" when absent
};

struct DescriptionResult {
  enum class Source : uint8_t { kFetched, kCached, kSkipped };
  // The raw HTTP response (status line, header fields, body), terminated; count 0 when the
  // fetch failed or was skipped. Valid only during the settle call.
  const char* response = "";
  uint32_t count = 0;
  Source source = Source::kFetched;
  FetchOutcome outcome = FetchOutcome::kFailed;  // of the fetch, for kFetched
  double seconds = 0;                            // the fetch's duration, for kFetched
  // The same response as the source keeps it, when it keeps one (the pool's cache): a record
  // may share its bytes instead of copying them. Null otherwise.
  std::shared_ptr<const std::string> kept;
};

// A settle from an earlier response (valid while `response` is), or one without a fetch.
DescriptionResult CachedResult(const std::string& response);
// A settle from a response the source keeps, shared with whoever takes it.
DescriptionResult CachedResult(std::shared_ptr<const std::string> response);
DescriptionResult SkippedResult();

class DescriptionSource {
 public:
  using Settle = std::function<void(const DescriptionResult& result)>;
  virtual ~DescriptionSource() = default;
  // Gets the description for `request` and calls `settle` once with it, possibly before
  // returning. A source that is destroyed first drops what it has not settled.
  virtual void Describe(const DescriptionRequest& request, Settle settle) = 0;
};

// Fetches `url` into `buffer` (room for `size` + 1 bytes) and returns the bytes stored, 0 on
// failure with `buffer` empty and the reason in the last socket error; GetUrl in the program,
// fakes in tests.
using UrlFetcher = std::function<uint32_t(char* buffer, uint32_t size, const char* url)>;

// A response's outcome from its status line: kOk for status 200, kHttpError otherwise.
FetchOutcome ResponseOutcome(const char* response);
// A failed fetch's outcome from the last socket error it left.
FetchOutcome FailureOutcome(int socket_error);
