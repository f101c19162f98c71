// The dialog's description source: one blocking fetch per announcement, inside the handler
// that received it, as the window's one-thread design has it. Borrows nothing; the fetcher
// is GetUrl in the program.
#pragma once

#include "devices/announcement_protocol.h"
#include "devices/description_source.h"

class BlockingDescriptions final : public DescriptionSource {
 public:
  explicit BlockingDescriptions(UrlFetcher fetch) : m_fetch(std::move(fetch)) {}
  BlockingDescriptions(const BlockingDescriptions&) = delete;
  BlockingDescriptions& operator=(const BlockingDescriptions&) = delete;

  // Fetches at once and settles before returning, tracing "GetUrl(URL)" and "GetUrl(URL)=N".
  void Describe(const DescriptionRequest& request, Settle settle) override;

 private:
  UrlFetcher m_fetch;
  char m_buffer[kDescriptionFetchSize + 1] = {};
};
