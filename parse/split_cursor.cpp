#include "parse/split_cursor.h"

#include <cassert>
#include <cstring>

char* SplitCursor::Next(const char* separator) {
  assert(separator != nullptr && separator[0] != '\0');
  if (*m_position == '\0') return nullptr;
  char* piece = m_position;
  char* found = std::strstr(piece, separator);
  if (found == nullptr) {
    m_position = piece + std::strlen(piece);
    return piece;
  }
  *found = '\0';
  m_position = found + std::strlen(separator);
  return piece;
}
