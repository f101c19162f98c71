// Protects how GetUrl takes a device URL apart and formats its request before it connects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/get_request.h"

namespace {

struct Prepared {
  bool ok;
  std::string host;
  uint16_t port;
  std::string request;
};

Prepared Prepare(const std::string& url, uint32_t scratch_size = 256) {
  std::vector<char> scratch(scratch_size);
  GetRequest request;
  const bool ok = PrepareGetRequest(scratch.data(), scratch_size, url.c_str(), &request);
  return {ok, request.host ? request.host : "", request.port, request.text};
}

TEST(PrepareGetRequest, SplitsHostPortAndPath) {
  Prepared p = Prepare("http://192.168.0.5:8080/desc/dev.xml?a=1");
  EXPECT_TRUE(p.ok);
  EXPECT_EQ(p.host, "192.168.0.5");
  EXPECT_EQ(p.port, 8080);
  EXPECT_EQ(p.request, "GET /desc/dev.xml?a=1 HTTP/1.1\r\n\r\n");
  p = Prepare("http://indicator-7");
  EXPECT_TRUE(p.ok) << "no path";
  EXPECT_EQ(p.port, 80);
  EXPECT_EQ(p.request, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Prepare("http://h:/x").port, 80) << "empty port";
}

TEST(PrepareGetRequest, ReadsPortsAsTheCLibraryDoes) {
  EXPECT_EQ(Prepare("http://h: +81x/").port, 81) << "space, sign, trailing letters";
  EXPECT_EQ(Prepare("http://h:-1/").port, 65535) << "minus negates";
  EXPECT_EQ(Prepare("http://h:65616/").port, 80) << "low 16 bits";
  EXPECT_EQ(Prepare("http://h:x/").port, 0) << "no digits";
  EXPECT_EQ(Prepare("http://h:80:90/").port, 80) << "second colon ends the digits";
}

TEST(PrepareGetRequest, RefusesWhatItCannotRequest) {
  for (const char* url :
       {"", "https://h/x", "HTTP://h/x", "h/x", "http://", "http:///x", "http://:80/x"}) {
    std::vector<char> scratch(64);
    GetRequest request;
    request.port = 1;
    EXPECT_FALSE(PrepareGetRequest(scratch.data(), 64, url, &request)) << url;
    EXPECT_EQ(request.host, nullptr) << url;
    EXPECT_EQ(request.port, 0) << url;
  }
}

TEST(PrepareGetRequest, RefusesBytesThatWouldWriteIntoTheRequest) {
  struct Case {
    const char* label;
    std::string url;
  };
  for (const Case& c :
       {Case{"line feed in the path", "http://h/a\nX-Injected: y"},
        Case{"carriage return in the path", "http://h/a\rb"},
        Case{"space in the path", "http://h/a b"}, Case{"tab in the path", "http://h/a\tb"},
        Case{"delete in the path", "http://h/a\x7f"},
        Case{"line feed in the host", "http://h\nX: y/a"}}) {
    EXPECT_FALSE(Prepare(c.url).ok) << c.label;
  }
  EXPECT_TRUE(Prepare("http://h/caf\xc3\xa9.xml").ok) << "bytes above ASCII stay allowed";
}

TEST(PrepareGetRequest, RefusesPathThatDoesNotFitAndCutsLongUrl) {
  const std::string longest(kGetUrlRequestArea - 19, 'p');
  EXPECT_TRUE(Prepare("http://h/" + longest, 512).ok) << "request fills the area";
  EXPECT_FALSE(Prepare("http://h/" + longest + "p", 512).ok) << "one character more";
  const Prepared cut = Prepare("http://h/abcdef", 12);
  EXPECT_TRUE(cut.ok);
  EXPECT_EQ(cut.request, "GET /ab HTTP/1.1\r\n\r\n") << "URL cut to the scratch area";
}

}  // namespace
