// Operations on NUL-terminated single-byte text, shared by the parser, HTTP and the
// device records. Fixed-size fields are filled only through CopyText, which cuts at the
// field's size minus one, so every field stays terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Copies at most `size` - 1 characters of `source` into `dest` and terminates it.
// Returns the number of characters copied. `size` must be at least 1.
std::size_t CopyText(char* dest, std::size_t size, const char* source);

template <std::size_t N>
std::size_t CopyText(char (&dest)[N], const char* source) {
  static_assert(N >= 1);
  return CopyText(dest, N, source);
}

// True only when both texts are identical, byte for byte.
inline bool TextEquals(const char* a, const char* b) {
  return std::strcmp(a, b) == 0;
}

// True when `text` starts with `prefix`, a-z and A-Z alike; `prefix` is given in lower case.
inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Removes leading and trailing spaces (code 32 only) in place; returns the new start,
// which points into `text`.
char* TrimSpaces(char* text);

// Turns a-z into A-Z in place; all other bytes stay.
void FoldUpper(char* text);

// A TCP port as users and URLs write it: 1 to 65535 in decimal digits, nothing else. True
// with `port` set; false leaves it unchanged.
inline bool ParsePortNumber(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// Writes `value` (0 to 99) as two decimal digits and returns the position after them: times
// are formatted for every announcement, where printf would cost more than the rest.
inline char* PutTwoDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}
