#include "net/pending_lookup.h"

#include <mutex>
#include <vector>

namespace {

// Look-ups given up on, kept until the resolver has finished with them. One list for every
// thread that looks names up: a thread that ends may leave some behind.
std::mutex g_abandoned_mutex;
std::vector<std::unique_ptr<PendingLookup>>& AbandonedLookups() {
  static auto* abandoned = new std::vector<std::unique_ptr<PendingLookup>>;
  return *abandoned;
}

}  // namespace

void AbandonLookup(std::unique_ptr<PendingLookup> lookup) {
  if (gai_cancel(&lookup->request) == EAI_CANCELED) return;
  std::lock_guard lock(g_abandoned_mutex);
  AbandonedLookups().push_back(std::move(lookup));
}

void ForgetFinishedLookups() {
  std::lock_guard lock(g_abandoned_mutex);
  std::erase_if(AbandonedLookups(),
                [](const auto& lookup) { return gai_error(&lookup->request) != EAI_INPROGRESS; });
}
