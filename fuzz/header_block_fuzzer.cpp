// Feeds arbitrary text to HeaderBlock and checks every piece against a plain std::string
// reading of the same text: start line, fields (names folded, spaces trimmed, 16 at most),
// body, and that look-ups find the first field of a name.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "parse/header_block.h"

namespace {

constexpr char kLineEnd[] = "\r\n";

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find(kLineEnd, start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// True when `piece` is a terminated string inside [begin, end].
bool Inside(const char* piece, const char* begin, const char* end) {
  return piece >= begin && piece <= end &&
         std::strlen(piece) <= static_cast<std::size_t>(end - piece);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // The text ends at the last byte, so that any read past it is caught.
  std::vector<char> buffer(data, data + size);
  buffer.push_back('\0');
  const std::string original(buffer.data());
  char* const begin = buffer.data();
  char* const end = begin + original.size();

  HeaderBlock block;
  block.Parse(begin);

  if (original.empty()) {
    Check(block.StartLine() == nullptr && block.Body() == nullptr && block.FieldCount() == 0);
    return 0;
  }
  const std::size_t blank = original.find("\r\n\r\n");
  const std::string head = blank == std::string::npos ? original : original.substr(0, blank);
  std::vector<std::string> lines = Lines(head);
  if (lines.empty()) lines.push_back("");  // a text that starts with the blank line

  Check(block.StartLine() != nullptr && Inside(block.StartLine(), begin, end));
  Check(block.StartLine() == lines[0]);
  if (blank == std::string::npos) {
    Check(block.Body() == nullptr);
  } else {
    Check(block.Body() == begin + blank + 4);
  }

  const std::size_t expected_fields = std::min(lines.size() - 1, HeaderBlock::kMaxFields);
  Check(block.FieldCount() == expected_fields);
  for (std::size_t i = 0; i < HeaderBlock::kMaxFields; ++i) {
    const HeaderBlock::Field& field = block.FieldAt(i);
    if (i >= expected_fields) {
      Check(field.name == nullptr && field.value == nullptr);
      continue;
    }
    Check(Inside(field.name, begin, end) && Inside(field.value, begin, end));
    const std::string& line = lines[i + 1];
    const std::size_t colon = line.find(':');
    Check(field.name == Upper(Trimmed(line.substr(0, colon))));
    Check(field.value == (colon == std::string::npos ? "" : Trimmed(line.substr(colon + 1))));
    // Look-ups answer with the first field of a name.
    std::size_t first = 0;
    while (std::strcmp(block.FieldAt(first).name, field.name) != 0) ++first;
    Check(block.Get(field.name) == block.FieldAt(first).value);
  }
  for (const char* name : {"NT", "ST", "NTS", "USN", "LOCATION", "CACHE-CONTROL", ""}) {
    const char* value = block.Get(name);
    Check(value == nullptr || Inside(value, begin, end));
  }

  // Parsing the already split text again must stay inside it as well.
  block.Parse(begin);
  if (block.Body() != nullptr) Check(Inside(block.Body(), begin, end));
  return 0;
}
