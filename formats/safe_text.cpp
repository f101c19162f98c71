#include "formats/safe_text.h"

#include <cstdio>

#include "parse/device_text.h"

namespace {

// Calls `take(character)` for each character of `text`, decoded as a device text.
template <typename Take>
void ForEachCharacter(std::string_view text, Take take) {
  const std::string utf8 = DeviceTextToUtf8(text);
  std::string_view rest = utf8;
  while (!rest.empty()) {
    const std::size_t length = Utf8CharacterLength(rest);
    take(rest.substr(0, length));
    rest.remove_prefix(length);
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
  std::string out;
  AppendJsonString(out, text);
  return out;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  if (PlainAscii(text, '"', '\\')) {
    out.append(text);
    out += '"';
    return;
  }
  ForEachCharacter(text, [&](std::string_view c) {
    const int control = ControlCode(c);
    if (control >= 0) {
      char escaped[16];  // "\u00XX": control codes are below 0x100
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(control) & 0xFFFFu);
      out += escaped;
    } else if (c == "\"" || c == "\\") {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  });
  out += '"';
}

std::string CsvField(std::string_view text) {
  std::string out;
  AppendCsvField(out, text);
  return out;
}

void AppendCsvField(std::string& out, std::string_view text) {
  if (PlainAscii(text, ',', '"')) {
    out.append(text);
    return;
  }
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
  if (quote) out += '"';
  out += field;
  if (quote) out += '"';
}

std::string MessageQuoted(std::string_view text, std::size_t shown) {
  std::string quoted = "'";
  quoted += TerminalText(text.substr(0, shown));
  quoted += text.size() > shown ? "...'" : "'";
  return quoted;
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}
