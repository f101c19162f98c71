#include "parse/text.h"

std::size_t CopyText(char* dest, std::size_t size, const char* source) {
  // Descriptions of a kilobyte are copied for every announcement: not byte by byte.
  const std::size_t n = size == 0 ? 0 : strnlen(source, size - 1);
  std::memmove(dest, source, n);
  dest[n] = '\0';
  return n;
}

char* TrimSpaces(char* text) {
  while (*text == ' ') ++text;
  std::size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
  return text;
}

void FoldUpper(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}
