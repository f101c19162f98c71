#include "platform/netlink_messages.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cassert>
#include <climits>
#include <cstring>

static_assert(kInterfaceNameSize == IFNAMSIZ);
static_assert(kNetlinkAlignment == NLMSG_ALIGNTO && kNetlinkAlignment == RTA_ALIGNTO);

namespace {

// The kernel's own bound on an errno value carried in NLMSG_ERROR.
constexpr int kMaxErrno = 4095;

// Copies a name attribute into a fixed field: up to its first NUL, cut to the field's size
// minus one, always terminated.
void CopyName(char (&out)[kInterfaceNameSize], const void* data, std::size_t length) {
  const char* text = static_cast<const char*>(data);
  std::size_t n = 0;
  while (n < length && n + 1 < sizeof out && text[n] != '\0') ++n;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

enum class Outcome { kKept, kIgnored, kDropped };

// RTM_NEWLINK, RTM_DELLINK; the message's length is already checked against the buffer.
Outcome ReadLink(const nlmsghdr* header, InterfaceChange& change) {
  if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return Outcome::kDropped;
  const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
  change.kind = header->nlmsg_type == RTM_NEWLINK ? InterfaceChangeKind::kLinkNew
                                                  : InterfaceChangeKind::kLinkDeleted;
  if (info->ifi_index <= 0) return Outcome::kDropped;
  change.index = static_cast<uint32_t>(info->ifi_index);
  change.up = (info->ifi_flags & IFF_UP) != 0;
  change.running = (info->ifi_flags & IFF_RUNNING) != 0;
  change.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
  int left = static_cast<int>(IFLA_PAYLOAD(header));
  for (const rtattr* attribute = IFLA_RTA(info); RTA_OK(attribute, left);
       attribute = RTA_NEXT(attribute, left)) {
    if (attribute->rta_type == IFLA_IFNAME) {
      CopyName(change.name, RTA_DATA(attribute), RTA_PAYLOAD(attribute));
    }
  }
  // Bytes left over that do not make an attribute: one ran past its message.
  return left > 0 ? Outcome::kDropped : Outcome::kKept;
}

// RTM_NEWADDR, RTM_DELADDR.
Outcome ReadAddress(const nlmsghdr* header, InterfaceChange& change) {
  if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return Outcome::kDropped;
  const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
  if (info->ifa_family != AF_INET) return Outcome::kIgnored;
  if (info->ifa_prefixlen > 32 || info->ifa_index == 0) return Outcome::kDropped;
  change.kind = header->nlmsg_type == RTM_NEWADDR ? InterfaceChangeKind::kAddressAdded
                                                  : InterfaceChangeKind::kAddressRemoved;
  change.index = info->ifa_index;
  change.prefix_length = info->ifa_prefixlen;
  bool has_local = false, has_address = false;
  uint32_t local = 0, address = 0;
  int left = static_cast<int>(IFA_PAYLOAD(header));
  for (const rtattr* attribute = IFA_RTA(info); RTA_OK(attribute, left);
       attribute = RTA_NEXT(attribute, left)) {
    switch (attribute->rta_type) {
      case IFA_LOCAL:
      case IFA_ADDRESS: {
        if (RTA_PAYLOAD(attribute) != sizeof(uint32_t)) return Outcome::kDropped;
        const bool is_local = attribute->rta_type == IFA_LOCAL;
        std::memcpy(is_local ? &local : &address, RTA_DATA(attribute), sizeof(uint32_t));
        (is_local ? has_local : has_address) = true;
        break;
      }
      case IFA_LABEL:
        CopyName(change.name, RTA_DATA(attribute), RTA_PAYLOAD(attribute));
        break;
      default:
        break;
    }
  }
  if (left > 0 || !(has_local || has_address)) return Outcome::kDropped;
  // On a point-to-point link IFA_ADDRESS is the peer's; IFA_LOCAL is always our own.
  change.address = has_local ? local : address;
  return Outcome::kKept;
}

}  // namespace

void ReadNetlinkMessages(const void* data, std::size_t size, NetlinkBatch& batch) {
  batch.count = 0;
  batch.dropped = 0;
  batch.ignored = 0;
  batch.full = false;
  batch.overrun = false;
  batch.done = false;
  batch.error = 0;
  if (data == nullptr || size == 0) return;
  assert(reinterpret_cast<std::uintptr_t>(data) % kNetlinkAlignment == 0);

  int left = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  // NLMSG_OK compares the unsigned length field with the signed count it is given; the count
  // must stay signed, since a last message without its padding takes it below zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
  for (const auto* header = static_cast<const nlmsghdr*>(data); NLMSG_OK(header, left);
       header = NLMSG_NEXT(header, left)) {
#pragma GCC diagnostic pop
    switch (header->nlmsg_type) {
      case NLMSG_NOOP:
        ++batch.ignored;
        break;
      case NLMSG_DONE:
        batch.done = true;
        break;
      case NLMSG_OVERRUN:
        batch.overrun = true;
        break;
      case NLMSG_ERROR: {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
          ++batch.dropped;
          break;
        }
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        if (error->error == 0) {
          ++batch.ignored;  // an acknowledgement
        } else if (error->error < 0 && error->error >= -kMaxErrno) {
          batch.error = -error->error;
        } else {
          ++batch.dropped;
        }
        break;
      }
      case RTM_NEWLINK:
      case RTM_DELLINK:
      case RTM_NEWADDR:
      case RTM_DELADDR: {
        if (batch.count == kMaxNetlinkChanges) {
          batch.full = true;
          break;
        }
        InterfaceChange& change = batch.changes[batch.count];
        change = InterfaceChange{};
        const bool link = header->nlmsg_type == RTM_NEWLINK || header->nlmsg_type == RTM_DELLINK;
        const Outcome outcome = link ? ReadLink(header, change) : ReadAddress(header, change);
        if (outcome == Outcome::kKept) ++batch.count;
        if (outcome == Outcome::kIgnored) ++batch.ignored;
        if (outcome == Outcome::kDropped) ++batch.dropped;
        break;
      }
      default:
        ++batch.ignored;
        break;
    }
  }
  // A cut header, or a length that runs past the buffer, ends the reading: what follows
  // cannot be found. A negative remainder is only the last message's missing padding.
  if (left > 0) ++batch.dropped;
}
