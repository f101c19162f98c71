// A name look-up that runs in the resolver's background (getaddrinfo_a), shared by the
// blocking connect and the fetch loop. A look-up given up on must outlive the resolver's work
// on it: AbandonLookup keeps it until then, whichever thread gave it up.
#pragma once

#include <netdb.h>

#include <memory>
#include <string>

struct PendingLookup {
  explicit PendingLookup(const char* host) : name(host) {
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    request.ar_name = name.c_str();
    request.ar_request = &hints;
  }
  ~PendingLookup() {
    if (request.ar_result != nullptr) freeaddrinfo(request.ar_result);
  }
  PendingLookup(const PendingLookup&) = delete;
  PendingLookup& operator=(const PendingLookup&) = delete;

  std::string name;
  addrinfo hints{};
  gaicb request{};
};

// Cancels `lookup`; when the resolver is still at it, keeps it until it has finished.
void AbandonLookup(std::unique_ptr<PendingLookup> lookup);
// Frees abandoned look-ups the resolver has finished with.
void ForgetFinishedLookups();
