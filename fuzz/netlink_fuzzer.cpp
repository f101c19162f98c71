// Feeds arbitrary bytes to the rtnetlink reader as if the socket had returned them, and checks
// what it hands out: names terminated inside their field, prefixes of at most 32 bits, no
// interface index 0, no more changes than the bound, and a message count that agrees with a
// plain walk of the length fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/netlink_messages.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Messages whose length fields frame them inside the buffer, counted without the kernel's
// macros: a 16-byte header, a length of at least 16, padded to 4 bytes.
std::size_t FramedMessages(const unsigned char* data, std::size_t size) {
  std::size_t count = 0, at = 0;
  while (size - at >= 16) {
    uint32_t length = 0;
    std::memcpy(&length, data + at, sizeof length);
    if (length < 16 || length > size - at) break;
    ++count;
    at += (static_cast<std::size_t>(length) + 3) & ~std::size_t{3};
    if (at >= size) break;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // A block of exactly the input's size, aligned as a socket buffer is, so that any read past
  // its end is caught.
  auto buffer = std::make_unique<unsigned char[]>(size);
  if (size > 0) std::memcpy(buffer.get(), data, size);

  auto batch = std::make_unique<NetlinkBatch>();
  ReadNetlinkMessages(buffer.get(), size, *batch);

  Check(batch->count <= kMaxNetlinkChanges);
  Check(!batch->full || batch->count == kMaxNetlinkChanges);
  Check(batch->error >= 0 && batch->error <= 4095);
  for (std::size_t i = 0; i < batch->count; ++i) {
    const InterfaceChange& change = batch->changes[i];
    Check(std::memchr(change.name, '\0', sizeof change.name) != nullptr);
    Check(change.index != 0);
    Check(change.prefix_length <= 32);
    const bool link = change.kind == InterfaceChangeKind::kLinkNew ||
                      change.kind == InterfaceChangeKind::kLinkDeleted;
    Check(link || change.kind == InterfaceChangeKind::kAddressAdded ||
          change.kind == InterfaceChangeKind::kAddressRemoved);
    if (link) Check(change.address == 0 && change.prefix_length == 0);
    if (!link) Check(!change.up && !change.running && !change.loopback);
  }
  const std::size_t framed = FramedMessages(buffer.get(), size);
  // Every framed message is a change, ignored, dropped or a control message, and at most one
  // more drop stands for an unframed tail.
  Check(batch->count + batch->ignored + batch->dropped <= framed + 1);
  if (!batch->full) {
    const std::size_t control =
        (batch->done ? 1 : 0) + (batch->overrun ? 1 : 0) + (batch->error != 0 ? 1 : 0);
    Check(batch->count + batch->ignored + batch->dropped + control <= framed + 1);
    Check(batch->count + batch->ignored + batch->dropped >= (framed > 0 && control == 0 ? 1 : 0));
  }

  // Nothing is carried over from one read to the next.
  auto again = std::make_unique<NetlinkBatch>();
  ReadNetlinkMessages(buffer.get(), size, *again);
  Check(again->count == batch->count && again->dropped == batch->dropped &&
        again->ignored == batch->ignored && again->done == batch->done);
  Check(std::memcmp(again->changes, batch->changes, sizeof(InterfaceChange) * batch->count) == 0);
  return 0;
}
