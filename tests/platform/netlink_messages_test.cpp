// Reading rtnetlink buffers: datagrams captured from the kernel, built messages for every
// branch, malformed ones, every cut of a valid buffer, and the bound on changes per buffer.
// Each buffer is copied to a heap block that ends at its last byte, so that the sanitizers
// see any read past it.
#include "platform/netlink_messages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Bytes(const void* data, std::size_t length) {
  return std::string(static_cast<const char*>(data), length);
}

std::string Attribute(uint16_t type, const std::string& payload) {
  rtattr header{};
  header.rta_type = type;
  header.rta_len = static_cast<unsigned short>(RTA_LENGTH(payload.size()));
  std::string out(RTA_SPACE(payload.size()), '\0');
  std::memcpy(out.data(), &header, sizeof header);
  std::memcpy(out.data() + RTA_LENGTH(0), payload.data(), payload.size());
  return out;
}

std::string Message(uint16_t type, const std::string& body) {
  nlmsghdr header{};
  header.nlmsg_type = type;
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(body.size()));
  std::string out(NLMSG_SPACE(body.size()), '\0');
  std::memcpy(out.data(), &header, sizeof header);
  std::memcpy(out.data() + NLMSG_HDRLEN, body.data(), body.size());
  return out;
}

std::string LinkBody(int index, unsigned flags) {
  ifinfomsg info{};
  info.ifi_index = index;
  info.ifi_flags = flags;
  return Bytes(&info, sizeof info) + Attribute(IFLA_MTU, std::string(4, '\0'));
}

std::string Link(uint16_t type, int index, unsigned flags, const std::string& name_payload) {
  return Message(type, LinkBody(index, flags) + Attribute(IFLA_IFNAME, name_payload));
}

std::string Ipv4(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return Bytes(&address, sizeof address);
}

std::string Address(uint16_t type, uint32_t index, uint8_t prefix, const std::string& attributes,
                    uint8_t family = AF_INET) {
  ifaddrmsg info{};
  info.ifa_family = family;
  info.ifa_prefixlen = prefix;
  info.ifa_index = index;
  return Message(type, Bytes(&info, sizeof info) + attributes);
}

std::string Error(int value) {
  nlmsgerr error{};
  error.error = value;
  return Message(NLMSG_ERROR, Bytes(&error, sizeof error));
}

// Sets the length field of the message at the start of `message`.
std::string WithLength(std::string message, uint32_t length) {
  std::memcpy(message.data(), &length, sizeof length);
  return message;
}

std::string Describe(const InterfaceChange& change) {
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &change.address, address, sizeof address);
  const std::string index = std::to_string(change.index);
  switch (change.kind) {
    case InterfaceChangeKind::kLinkNew:
    case InterfaceChangeKind::kLinkDeleted:
      return std::string(change.kind == InterfaceChangeKind::kLinkNew ? "link+ " : "link- ") +
             index + " " + change.name + (change.up ? " up" : "") +
             (change.running ? " running" : "") + (change.loopback ? " loopback" : "");
    case InterfaceChangeKind::kAddressAdded:
    case InterfaceChangeKind::kAddressRemoved:
      return std::string(change.kind == InterfaceChangeKind::kAddressAdded ? "addr+ " : "addr- ") +
             index + " " + address + "/" + std::to_string(change.prefix_length) + " " + change.name;
  }
  return "?";
}

std::string Describe(const NetlinkBatch& batch) {
  std::string out;
  for (std::size_t i = 0; i < batch.count; ++i) out += (i ? "; " : "") + Describe(batch.changes[i]);
  return out;
}

// Reads `bytes` from a heap block of exactly their size.
std::unique_ptr<NetlinkBatch> Read(const std::string& bytes) {
  auto exact = std::make_unique<char[]>(bytes.size());
  std::memcpy(exact.get(), bytes.data(), bytes.size());
  auto batch = std::make_unique<NetlinkBatch>();
  batch->dropped = 99;  // everything is reset by the read
  batch->done = true;
  ReadNetlinkMessages(exact.get(), bytes.size(), *batch);
  return batch;
}

std::string Captured(const char* name) {
  std::ifstream file(std::string(TAROVUE_SOURCE_DIR) + "/fuzz/corpus/netlink/" + name,
                     std::ios::binary);
  EXPECT_TRUE(file) << name;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Datagrams read from a NETLINK_ROUTE socket in a private namespace while `ip` set lo up,
// added a veth pair, addresses (one with a peer) and deleted them again. They are kept with
// the fuzzer's seeds, so that both read the same bytes.
TEST(NetlinkMessagesTest, CapturedDatagramsGiveTheirChanges) {
  const struct {
    const char* file;
    const char* expected;
  } cases[] = {
      {"captured_loopback_up", "link+ 1 lo up running loopback"},
      {"captured_loopback_address", "addr+ 1 127.0.0.1/8 lo"},
      {"captured_veth_new", "link+ 3 cap0"},
      {"captured_address_added", "addr+ 3 10.9.8.7/24 cap0"},
      {"captured_address_with_peer", "addr+ 3 10.9.9.1/32 cap0:p"},  // IFA_LOCAL, not the peer
      {"captured_address_removed", "addr- 3 10.9.8.7/24 cap0"},
      {"captured_veth_deleted", "link- 3 cap0"},
      {"dump_with_done", "addr+ 3 10.9.8.7/24 cap0; addr- 3 10.9.8.7/24 cap0; link- 3 cap0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto batch = Read(Captured(c.file));
    EXPECT_EQ(Describe(*batch), c.expected);
    EXPECT_EQ(batch->dropped, 0u);
    EXPECT_FALSE(batch->full || batch->overrun || batch->error);
  }
  EXPECT_TRUE(Read(Captured("dump_with_done"))->done);
}

TEST(NetlinkMessagesTest, BuiltMessagesOfEveryKind) {
  const std::string lo = Link(RTM_NEWLINK, 1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, {"lo\0", 3});
  const std::string added =
      Address(RTM_NEWADDR, 4, 24,
              Attribute(IFA_ADDRESS, Ipv4("10.0.0.9")) + Attribute(IFA_LABEL, {"eth0\0", 5}));
  const struct {
    const char* label;
    std::string bytes;
    const char* expected;
    unsigned ignored;
  } cases[] = {
      {"link with flags", lo, "link+ 1 lo up running loopback", 0},
      {"link deleted, down", Link(RTM_DELLINK, 7, 0, {"eth1\0", 5}), "link- 7 eth1", 0},
      {"name without NUL", Link(RTM_NEWLINK, 2, IFF_UP, "wan"), "link+ 2 wan up", 0},
      {"name cut at IFNAMSIZ", Link(RTM_NEWLINK, 2, 0, std::string(40, 'n')),
       "link+ 2 nnnnnnnnnnnnnnn", 0},
      {"link without a name", Message(RTM_NEWLINK, LinkBody(5, 0)), "link+ 5 ", 0},
      {"only IFA_ADDRESS", added, "addr+ 4 10.0.0.9/24 eth0", 0},
      {"address removed, no label",
       Address(RTM_DELADDR, 4, 16, Attribute(IFA_LOCAL, Ipv4("172.16.0.1"))),
       "addr- 4 172.16.0.1/16 ", 0},
      {"IPv6 address",
       Address(RTM_NEWADDR, 4, 64, Attribute(IFA_ADDRESS, std::string(16, 'x')), AF_INET6), "", 1},
      {"route", Message(RTM_NEWROUTE, std::string(sizeof(rtmsg), '\0')), "", 1},
      {"no-op and ack", Message(NLMSG_NOOP, "") + Error(0), "", 2},
      {"several in one buffer", lo + Message(RTM_NEWROUTE, std::string(12, '\0')) + added,
       "link+ 1 lo up running loopback; addr+ 4 10.0.0.9/24 eth0", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto batch = Read(c.bytes);
    EXPECT_EQ(Describe(*batch), c.expected);
    EXPECT_EQ(batch->ignored, c.ignored);
    EXPECT_EQ(batch->dropped, 0u);
    EXPECT_FALSE(batch->done || batch->overrun || batch->full);
    EXPECT_EQ(batch->error, 0);
  }

  const auto end =
      Read(Error(-ENODEV) + Message(NLMSG_OVERRUN, "") + Message(NLMSG_DONE, "\0\0\0\0"));
  EXPECT_EQ(end->error, ENODEV);
  EXPECT_TRUE(end->overrun);
  EXPECT_TRUE(end->done);
  EXPECT_EQ(end->count, 0u);
}

TEST(NetlinkMessagesTest, MalformedMessagesAreDroppedAndNeverReadPast) {
  const std::string good = Address(RTM_NEWADDR, 4, 24, Attribute(IFA_LOCAL, Ipv4("10.0.0.9")));
  std::string overrunning = Link(RTM_NEWLINK, 3, 0, {"eth0\0", 5});
  // The name attribute claims more bytes than its message holds.
  const unsigned short too_long = 200;
  std::memcpy(overrunning.data() + NLMSG_LENGTH(sizeof(ifinfomsg)) + RTA_SPACE(4), &too_long,
              sizeof too_long);
  const struct {
    const char* label;
    std::string bytes;
    const char* expected;  // what is still read
  } cases[] = {
      // These end the buffer: the next message cannot be found.
      {"cut header", good + good.substr(0, 10), "addr+ 4 10.0.0.9/24 "},
      {"length below a header", WithLength(good, 8) + good, ""},
      {"length past the buffer", good + WithLength(good, 400), "addr+ 4 10.0.0.9/24 "},
      // These drop one message; the next is read.
      {"link body too short", Message(RTM_NEWLINK, std::string(8, '\0')) + good,
       "addr+ 4 10.0.0.9/24 "},
      {"address body too short", Message(RTM_DELADDR, std::string(4, '\0')) + good,
       "addr+ 4 10.0.0.9/24 "},
      {"attribute overruns its message", overrunning + good, "addr+ 4 10.0.0.9/24 "},
      {"IPv4 address of 16 bytes",
       Address(RTM_NEWADDR, 4, 24, Attribute(IFA_ADDRESS, std::string(16, '\1'))) + good,
       "addr+ 4 10.0.0.9/24 "},
      {"no address at all", Address(RTM_NEWADDR, 4, 24, Attribute(IFA_LABEL, "x")) + good,
       "addr+ 4 10.0.0.9/24 "},
      {"prefix 33", Address(RTM_NEWADDR, 4, 33, Attribute(IFA_LOCAL, Ipv4("10.0.0.1"))) + good,
       "addr+ 4 10.0.0.9/24 "},
      {"link index 0", Link(RTM_NEWLINK, 0, IFF_UP, "x") + good, "addr+ 4 10.0.0.9/24 "},
      {"error message cut", Message(NLMSG_ERROR, "\xff\xff\xff\xff") + good,
       "addr+ 4 10.0.0.9/24 "},
      {"error value positive", Error(5) + good, "addr+ 4 10.0.0.9/24 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto batch = Read(c.bytes);
    EXPECT_EQ(batch->dropped, 1u);
    EXPECT_EQ(Describe(*batch), c.expected);
    EXPECT_EQ(batch->error, 0);
  }
}

TEST(NetlinkMessagesTest, EveryCutOfAValidBufferKeepsTheWholeMessagesBeforeIt) {
  const std::string messages[] = {
      Captured("captured_loopback_up"), Captured("captured_address_with_peer"),
      Link(RTM_DELLINK, 9, 0, "tv9"), Message(RTM_NEWROUTE, std::string(12, '\0')),
      Captured("captured_veth_deleted")};
  std::string all;
  std::vector<std::size_t> ends;
  std::vector<std::string> expected = {""};  // the changes read from the first i messages
  for (const std::string& m : messages) {
    all += m;
    ends.push_back(all.size());
    const auto batch = Read(all);
    ASSERT_EQ(batch->dropped, 0u);
    expected.push_back(Describe(*batch));
  }
  for (std::size_t cut = 0; cut <= all.size(); ++cut) {
    std::size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut) ++whole;
    const bool at_boundary = cut == 0 || (whole > 0 && ends[whole - 1] == cut);
    const auto batch = Read(all.substr(0, cut));
    ASSERT_EQ(Describe(*batch), expected[whole]) << "cut at " << cut;
    ASSERT_EQ(batch->dropped, at_boundary ? 0u : 1u) << "cut at " << cut;
  }
}

TEST(NetlinkMessagesTest, ABufferKeepsAtMostItsBoundOfChanges) {
  std::string many;
  for (uint32_t i = 1; i <= kMaxNetlinkChanges + 20; ++i) {
    many += Address(RTM_NEWADDR, i, 32, Attribute(IFA_LOCAL, Ipv4("10.1.2.3")));
  }
  many += Message(NLMSG_DONE, "\0\0\0\0");
  const auto batch = Read(many);
  EXPECT_EQ(batch->count, kMaxNetlinkChanges);
  EXPECT_EQ(batch->changes[kMaxNetlinkChanges - 1].index, kMaxNetlinkChanges);
  EXPECT_TRUE(batch->full);
  EXPECT_TRUE(batch->done) << "the rest is still walked for its control messages";
  EXPECT_EQ(batch->dropped, 0u);
}

}  // namespace
