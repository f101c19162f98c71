#include "scan/safe_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it is malformed;
// `bad` then tells how many bytes make up the maximal malformed subsequence (at least 1).
std::size_t SequenceLength(std::string_view text, std::size_t& bad) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  bad = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= text.size()) return 0;
    const unsigned char next = byte(i);
    const bool fits = i == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
    if (!fits) return 0;
    bad = i + 1;
  }
  return length;
}

// Calls `take(sequence)` for each character of `text`, U+FFFD standing in for each malformed
// subsequence.
template <typename Take>
void ForEachCharacter(std::string_view text, Take take) {
  while (!text.empty()) {
    std::size_t bad = 1;
    const std::size_t length = SequenceLength(text, bad);
    if (length == 0) {
      take(std::string_view(kReplacementCharacter));
      text.remove_prefix(bad);
    } else {
      take(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
}

// The code point of a control character (C0, DEL or C1) in `sequence`, or -1 for any other.
int ControlCode(std::string_view sequence) {
  const auto lead = static_cast<unsigned char>(sequence[0]);
  if (sequence.size() == 1) return lead < 0x20 || lead == 0x7F ? lead : -1;
  if (sequence.size() == 2 && lead == 0xC2) {
    const auto next = static_cast<unsigned char>(sequence[1]);
    if (next <= 0x9F) return next;  // U+0080 to U+009F
  }
  return -1;
}

// True when every byte of `text` is printable ASCII other than `a` and `b`: such text passes
// through unchanged, and most device texts are like that.
bool PlainAscii(std::string_view text, char a, char b) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E || c == a || c == b) return false;
  }
  return true;
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCharacter(text, [&](std::string_view c) { out += c; });
  return out;
}

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachCharacter(text, [&](std::string_view c) {
    if (ControlCode(c) >= 0) {
      out += '?';
    } else {
      out += c;
    }
  });
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  if (PlainAscii(text, '"', '\\')) return out.append(text) + '"';
  ForEachCharacter(text, [&](std::string_view c) {
    const int control = ControlCode(c);
    if (control >= 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(control));
      out += escaped;
    } else if (c == "\"" || c == "\\") {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  });
  return out + "\"";
}

std::string CsvField(std::string_view text) {
  if (PlainAscii(text, ',', '"')) return std::string(text);
  std::string field;
  bool quote = false;
  ForEachCharacter(text, [&](std::string_view c) {
    const int control = ControlCode(c);
    if (c == "," || c == "\"" || c == "\r" || c == "\n") quote = true;
    if (c == "\"") {
      field += "\"\"";
    } else if (control >= 0 && control != '\t' && control != '\r' && control != '\n') {
      field += '?';
    } else {
      field += c;
    }
  });
  return quote ? "\"" + field + "\"" : field;
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}
