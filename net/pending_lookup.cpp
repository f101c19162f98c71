#include "net/pending_lookup.h"

#include <vector>

namespace {

// Look-ups given up on, kept until the resolver has finished with them.
std::vector<std::unique_ptr<PendingLookup>>& AbandonedLookups() {
  thread_local std::vector<std::unique_ptr<PendingLookup>> abandoned;
  return abandoned;
}

}  // namespace

void AbandonLookup(std::unique_ptr<PendingLookup> lookup) {
  if (gai_cancel(&lookup->request) != EAI_CANCELED) AbandonedLookups().push_back(std::move(lookup));
}

void ForgetFinishedLookups() {
  auto& abandoned = AbandonedLookups();
  std::erase_if(abandoned,
                [](const auto& lookup) { return gai_error(&lookup->request) != EAI_INPROGRESS; });
}
