// A text that may share its bytes with others holding the same response: a device record's
// description is the tail (the body) of the response the pool's cache keeps, so ten thousand
// devices hold each description once, not twice. Immutable once made; copies share. Pointers
// from c_str() and view() stay valid while this object (or a copy of it) holds the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

class SharedText {
 public:
  SharedText() = default;
  // A text of its own, at its real length.
  SharedText(std::string text);  // NOLINT(google-explicit-constructor): a text like any other
  SharedText(const char* text) : SharedText(std::string(text)) {}  // NOLINT
  // The tail of `whole` from `offset` on (at most its size), sharing its bytes.
  SharedText(std::shared_ptr<const std::string> whole, std::size_t offset);

  [[nodiscard]] const char* c_str() const { return m_whole ? m_whole->c_str() + m_offset : ""; }
  [[nodiscard]] std::string_view view() const {
    return m_whole ? std::string_view(*m_whole).substr(m_offset) : std::string_view();
  }
  [[nodiscard]] std::size_t size() const { return view().size(); }
  [[nodiscard]] bool empty() const { return size() == 0; }
  char operator[](std::size_t i) const { return view()[i]; }

  friend bool operator==(const SharedText& a, std::string_view b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const SharedText& text) {
    return out << text.view();
  }

 private:
  std::shared_ptr<const std::string> m_whole;  // null for the empty text
  uint32_t m_offset = 0;
};
