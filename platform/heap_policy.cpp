#include "platform/heap_policy.h"

#include <malloc.h>

namespace {

constexpr int kLargeBufferBytes = 128 * 1024;

}  // namespace

void MapLargeBuffersApart() {
  // Setting the threshold also fixes it: the allocator no longer moves it.
  mallopt(M_MMAP_THRESHOLD, kLargeBufferBytes);
}

void ReleaseFreeHeap() {
  malloc_trim(0);
}
