// Splits an SSDP datagram or an HTTP response (start line, "Name: value" lines, an empty
// line, an optional body; CR LF line ends) in place and answers look-ups by field name.
// Parse() overwrites separators in the caller's text with NUL; every pointer the block hands
// out points into that text and is valid only while the text is alive and not parsed again.
// A block copies and allocates nothing and is meant to live on the caller's stack.
#pragma once

#include <cstddef>

class HeaderBlock {
 public:
  static constexpr std::size_t kMaxFields = 16;

  struct Field {
    const char* name;   // trimmed and folded to upper case; nullptr marks an unused slot
    const char* value;  // trimmed, case kept; empty when the line has no colon
  };

  HeaderBlock() = default;
  // Pieces point into one caller's text; a copy would only invite mixing them up.
  HeaderBlock(const HeaderBlock&) = delete;
  HeaderBlock& operator=(const HeaderBlock&) = delete;

  // Fills the block from `text` (writable, NUL-terminated), which it changes. Never fails:
  // malformed text gives fewer fields, a null start line (empty text) or a null body (no
  // empty line). Fields after the 16th are dropped, but the body is still found.
  void Parse(char* text);

  // The value of the first field named exactly `name` (callers ask in upper case), or
  // nullptr when there is none.
  [[nodiscard]] const char* Get(const char* name) const;

  // The first line, or nullptr for an empty text.
  [[nodiscard]] const char* StartLine() const { return m_start_line; }
  // What follows the first empty line (possibly ""), or nullptr when there is no empty line.
  [[nodiscard]] char* Body() const { return m_body; }
  // The stored fields in arrival order; FieldCount() of them are in use.
  [[nodiscard]] const Field& FieldAt(std::size_t index) const { return m_fields[index]; }
  [[nodiscard]] std::size_t FieldCount() const;

 private:
  char* m_body = nullptr;
  char* m_start_line = nullptr;
  Field m_fields[kMaxFields] = {};
};
