// Feeds arbitrary URLs to PrepareGetRequest, the code GetUrl runs before it connects, with
// the scratch sizes GetUrl gives it, and checks the host, port and request against a plain
// std::string reading of the same URL. Nothing here opens a socket.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "http/get_request.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Expected {
  bool ok = false;
  std::string host;
  std::string port_text;
  bool has_port = false;
  std::string request;
};

Expected Read(const std::string& url) {
  Expected expected;
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos || url.compare(0, scheme_end, "http") != 0) return expected;
  const std::string rest = url.substr(scheme_end + 3);
  if (rest.empty()) return expected;
  const std::size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  const std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
  const std::size_t colon = authority.find(':');
  expected.host = authority.substr(0, colon);
  if (expected.host.empty()) return expected;
  if (colon != std::string::npos) expected.port_text = authority.substr(colon + 1);
  expected.has_port = !expected.port_text.empty();
  expected.request = "GET /" + path + " HTTP/1.1\r\n\r\n";
  // Host and path must be one word each: no space, no control byte, no DEL.
  const auto unsafe = [](unsigned char c) { return c <= ' ' || c == 0x7F; };
  const bool safe = std::none_of(path.begin(), path.end(), unsafe) &&
                    std::none_of(expected.host.begin(), expected.host.end(), unsafe);
  expected.ok = safe && expected.request.size() < kGetUrlRequestArea;
  return expected;
}

void RunWithScratch(const std::string& url, uint32_t scratch_size) {
  // The scratch area and the URL end at their last bytes, so that any access past them is
  // caught.
  std::vector<char> scratch(scratch_size);
  std::vector<char> text(url.begin(), url.end());
  text.push_back('\0');
  GetRequest request;
  const bool ok = PrepareGetRequest(scratch.data(), scratch_size, text.data(), &request);
  const Expected expected = Read(url.substr(0, scratch_size - 1));
  Check(ok == expected.ok);
  if (!ok) {
    Check(request.host == nullptr && request.port == 0 && request.length == 0);
    return;
  }
  Check(request.host >= scratch.data() && request.host < scratch.data() + scratch_size);
  Check(request.host == expected.host);
  Check(request.length == static_cast<int>(std::strlen(request.text)));
  Check(request.text == expected.request);
  if (!expected.has_port) {
    Check(request.port == 80);
    return;
  }
  // The port reads as the C library reads a number; its low 16 bits count.
  errno = 0;
  const unsigned long port = std::strtoul(expected.port_text.c_str(), nullptr, 10);
  if (errno == 0) Check(request.port == static_cast<uint16_t>(port & 0xFFFFu));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string url(reinterpret_cast<const char*>(data),
                        strnlen(reinterpret_cast<const char*>(data), size));
  const uint32_t length = static_cast<uint32_t>(url.size());
  // Exactly enough, the size announcement handling gives GetUrl, and a cut URL.
  RunWithScratch(url, length + 1);
  RunWithScratch(url, kDescriptionFetchSize - 1);
  RunWithScratch(url, length / 2 + 1);
  return 0;
}
