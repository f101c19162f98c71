// The splitting primitive of the message parser and of URL handling: walks a writable,
// NUL-terminated text and cuts it at a separator by overwriting the separator's first
// character with NUL. The returned pieces point into that text and stay valid as long as it
// does; the cursor copies and allocates nothing.
#pragma once

class SplitCursor {
 public:
  // `text` must be writable and NUL-terminated; it is changed by Next().
  explicit SplitCursor(char* text) : m_position(text) {}

  // Returns the piece up to the next occurrence of the whole `separator` (which may be
  // empty when the separator stands at the cursor) and moves past that separator; without
  // a further separator, returns the rest of the text. Returns nullptr once the cursor
  // stands at the terminating NUL. `separator` must not be empty.
  char* Next(const char* separator);

  // Where the next piece would start; the terminating NUL once the text is used up.
  [[nodiscard]] char* Position() const { return m_position; }

 private:
  char* m_position;
};
