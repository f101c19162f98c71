#include "http/extract_between.h"

#include <cstring>

std::size_t ExtractBetween(char* out, std::size_t max_length, const char* text, const char* opening,
                           const char* closing) {
  out[0] = '\0';
  const char* start = std::strstr(text, opening);
  if (start == nullptr) return 0;
  start += std::strlen(opening);
  const char* end = std::strstr(start, closing);
  if (end == nullptr) return 0;
  std::size_t count = static_cast<std::size_t>(end - start);
  if (count > max_length) count = max_length;
  std::memcpy(out, start, count);
  out[count] = '\0';
  return count;
}
