// Takes a value out of a fetched document by plain text search between two markers; the
// device description documents are read this way, without an XML parser. The result is a
// copy in the caller's buffer; nothing points into `text` afterwards.
#pragma once

#include <cstddef>

// Copies the characters between the first `opening` in `text` and the first `closing` after
// it into `out`, at most `max_length` of them, and terminates `out`, which has room for
// `max_length` + 1 bytes. Markers are case-sensitive; nothing is trimmed or unescaped.
// Returns the number of characters copied; 0 with `out` empty when a marker is missing.
std::size_t ExtractBetween(char* out, std::size_t max_length, const char* text, const char* opening,
                           const char* closing);
