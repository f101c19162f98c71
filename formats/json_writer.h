// The one JSON writer of the scanner's reports, the inventory file and the agent's documents:
// a document is written member by member in the order given, never assembled from rendered
// pieces. Strings go through JsonString (formats/safe_text.h), so device texts come out as
// valid UTF-8 with every control character escaped. Keys are the program's own ASCII names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How a container lays out its members.
enum class JsonLayout : uint8_t {
  kInline,    // {"a": 1, "b": 2} on one line, as the report's objects
  kLines,     // "[\n  {...},\n  {...}\n]": one member a line, indented by two more than the
              // indented levels around it; "[]" when empty
  kIndented,  // one member a line, indented by four a level: Qt's indented documents
};

class JsonWriter {
 public:
  JsonWriter() = default;
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  JsonWriter& BeginObject(JsonLayout layout = JsonLayout::kInline);
  JsonWriter& BeginArray(JsonLayout layout = JsonLayout::kInline);
  // Closes the innermost open container.
  JsonWriter& End();
  // The next member's key; the value call that follows gives its value.
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  JsonWriter& Number(int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // A string, or null when `present` is false.
  JsonWriter& StringOrNull(std::string_view text, bool present);
  // The key and a string value.
  JsonWriter& Field(std::string_view key, std::string_view text) { return Key(key).String(text); }

  // The document written so far, with a line feed after the outermost container. Every
  // container must have been closed.
  [[nodiscard]] std::string Finish();

 private:
  struct Level {
    JsonLayout layout;
    char close;
    int depth;  // levels of kIndented containers around this one's members
    bool empty = true;
  };
  void BeforeValue();
  JsonWriter& Begin(char open, char close, JsonLayout layout);

  std::string m_out;
  std::vector<Level> m_levels;
  bool m_after_key = false;
};
