#include "parse/header_block.h"

#include "parse/split_cursor.h"
#include "parse/text.h"

namespace {
constexpr char kLineEnd[] = "\r\n";
constexpr char kNameEnd[] = ":";
}  // namespace

void HeaderBlock::Parse(char* text) {
  m_body = nullptr;
  m_start_line = nullptr;
  for (Field& field : m_fields) field = Field{nullptr, nullptr};

  SplitCursor lines(text);
  m_start_line = lines.Next(kLineEnd);
  if (m_start_line == nullptr) return;

  std::size_t stored = 0;
  while (char* line = lines.Next(kLineEnd)) {
    if (*line == '\0') {
      m_body = lines.Position();
      return;
    }
    // Devices that send too many fields still get their body read.
    if (stored == kMaxFields) continue;
    SplitCursor parts(line);
    char* name = parts.Next(kNameEnd);
    char* value = parts.Position();
    name = TrimSpaces(name);
    FoldUpper(name);
    m_fields[stored++] = Field{name, TrimSpaces(value)};
  }
}

const char* HeaderBlock::Get(const char* name) const {
  for (const Field& field : m_fields) {
    if (field.name == nullptr) break;
    if (TextEquals(field.name, name)) return field.value;
  }
  return nullptr;
}

std::size_t HeaderBlock::FieldCount() const {
  std::size_t count = 0;
  while (count < kMaxFields && m_fields[count].name != nullptr) ++count;
  return count;
}
