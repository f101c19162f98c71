// One rule for a URL's host and port, as the fetch pool, the identity check and the agent's
// targets read it: every case the three old readers disagreed on, in one table.
#include <gtest/gtest.h>

#include <string>

#include "http/url.h"

namespace {

struct Case {
  const char* url;
  const char* host_and_port;  // nullptr: refused
  const char* path = "";
};

TEST(SplitUrl, OneRuleForHostAndPort) {
  const Case cases[] = {
      {"http://10.0.0.5/", "10.0.0.5:80", "/"},
      {"http://10.0.0.5:8080/d.xml", "10.0.0.5:8080", "/d.xml"},
      {"http://10.0.0.5", "10.0.0.5:80"},
      {"http://10.0.0.5:/x", "10.0.0.5:80", "/x"},
      {"HTTPS://scale-1.plant:8443/x?y", "scale-1.plant:8443", "/x?y"},
      {"https://scale_2?q#f", "scale_2:443", "?q#f"},
      {"http://[fe80::1]:81", "[fe80::1]:81"},
      {"http://[fe80::1]/", "[fe80::1]:80", "/"},
      // User information is refused, as the fetch refuses it, wherever the '@' stands.
      {"http://user@10.0.0.5/", nullptr},
      {"http://user:pw@10.0.0.5/d.xml?a=@b", nullptr},
      {"http://user@[fe80::1]:81", nullptr},
      {"http://10.0.0.5/d.xml?a=@b", "10.0.0.5:80", "/d.xml?a=@b"},
      // Ports are decimal, 1 to 65535.
      {"http://h:0/", nullptr},
      {"http://h:99999/", nullptr},
      {"http://h:+80/", nullptr},
      {"http://h:8o/", nullptr},
      {"http://h:65535/", "h:65535", "/"},
      // Nothing else is a host of a page or a description.
      {"ftp://10.0.0.5/", nullptr},
      {"telnet://10.0.0.7", nullptr},
      {"http://", nullptr},
      {"http:///d.xml", nullptr},
      {"http://a b/", nullptr},
      {"http://h\"x/", nullptr},
      {"http://[fe80::1", nullptr},
      {"http://[fe80::1]x/", nullptr},
      {"/d.xml", nullptr},
      {"description.xml", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    UrlParts parts;
    const bool split = SplitUrl(c.url, parts);
    if (c.host_and_port == nullptr) {
      EXPECT_FALSE(split) << c.url;
      EXPECT_TRUE(parts.host.empty()) << c.url;
      continue;
    }
    ASSERT_TRUE(split) << c.url;
    EXPECT_EQ(HostAndPort(parts), c.host_and_port) << c.url;
    EXPECT_EQ(parts.path, c.path) << c.url;
  }
  UrlParts parts;
  ASSERT_TRUE(SplitUrl("http://[fe80::1]:80/", parts));
  EXPECT_EQ(parts.host, "fe80::1") << "the host without its brackets";
  EXPECT_EQ(parts.scheme, "http");
}

}  // namespace
