// Feeds arbitrary texts and markers to ExtractBetween and checks the copy against a plain
// std::string search. Input: one byte for the maximum length, then the opening marker, a
// NUL, the closing marker, a NUL and the text (missing parts are empty).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/extract_between.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A heap copy that ends at its terminator, so that any read past it is caught.
std::vector<char> Terminated(const std::string& text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t max_length = data[0];
  std::string parts[3];
  std::size_t part = 0;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == '\0' && part < 2) {
      ++part;
    } else if (data[i] != '\0') {
      parts[part] += static_cast<char>(data[i]);
    }
  }
  const std::string& opening = parts[0];
  const std::string& closing = parts[1];
  const std::string& text = parts[2];

  std::vector<char> out(max_length + 1, 'x');
  const std::vector<char> text_copy = Terminated(text);
  const std::vector<char> opening_copy = Terminated(opening);
  const std::vector<char> closing_copy = Terminated(closing);
  const std::size_t count = ExtractBetween(out.data(), max_length, text_copy.data(),
                                           opening_copy.data(), closing_copy.data());

  std::string expected;
  const std::size_t open_at = text.find(opening);
  if (open_at != std::string::npos) {
    const std::size_t start = open_at + opening.size();
    const std::size_t close_at = text.find(closing, start);
    if (close_at != std::string::npos) {
      expected = text.substr(start, std::min(close_at - start, max_length));
    }
  }
  Check(count == expected.size());
  Check(std::strlen(out.data()) == count);
  Check(std::string(out.data()) == expected);
  return 0;
}
