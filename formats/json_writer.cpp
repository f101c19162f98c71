#include "formats/json_writer.h"

#include <cassert>
#include <charconv>

#include "formats/safe_text.h"

void JsonWriter::BeforeValue() {
  if (m_after_key) {
    m_after_key = false;
    return;
  }
  if (m_levels.empty()) return;
  Level& level = m_levels.back();
  switch (level.layout) {
    case JsonLayout::kInline:
      if (!level.empty) m_out += ", ";
      break;
    case JsonLayout::kLines:
      // Two more than the indented levels around it: "  " at the top of a document.
      m_out += level.empty ? "\n" : ",\n";
      m_out.append(static_cast<std::size_t>(4 * level.depth + 2), ' ');
      break;
    case JsonLayout::kIndented:
      m_out += level.empty ? "\n" : ",\n";
      m_out.append(static_cast<std::size_t>(4 * level.depth), ' ');
      break;
  }
  level.empty = false;
}

JsonWriter& JsonWriter::Begin(char open, char close, JsonLayout layout) {
  BeforeValue();
  const int outer = m_levels.empty() ? 0 : m_levels.back().depth;
  m_levels.push_back({layout, close, layout == JsonLayout::kIndented ? outer + 1 : outer});
  m_out += open;
  return *this;
}

JsonWriter& JsonWriter::BeginObject(JsonLayout layout) {
  return Begin('{', '}', layout);
}

JsonWriter& JsonWriter::BeginArray(JsonLayout layout) {
  return Begin('[', ']', layout);
}

JsonWriter& JsonWriter::End() {
  assert(!m_levels.empty());
  const Level level = m_levels.back();
  m_levels.pop_back();
  if (level.layout == JsonLayout::kLines && !level.empty) {
    m_out += '\n';
    m_out.append(static_cast<std::size_t>(4 * level.depth), ' ');
  }
  if (level.layout == JsonLayout::kIndented) {
    // Qt closes on a line of its own, an empty container too: "[\n    ]".
    m_out += '\n';
    m_out.append(static_cast<std::size_t>(4 * (level.depth - 1)), ' ');
  }
  m_out += level.close;
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  AppendJsonString(m_out, key);
  m_out += ": ";
  m_after_key = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendJsonString(m_out, text);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  BeforeValue();
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  m_out.append(text, result.ptr);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  m_out += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  m_out += "null";
  return *this;
}

JsonWriter& JsonWriter::StringOrNull(std::string_view text, bool present) {
  return present ? String(text) : Null();
}

std::string JsonWriter::Finish() {
  assert(m_levels.empty());
  m_out += '\n';
  return std::move(m_out);
}
