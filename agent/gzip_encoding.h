// gzip content coding for the agent's answers: whether a client's Accept-Encoding allows it,
// and the compression itself (zlib). Pure functions; results own their bytes.
#pragma once

#include <string>
#include <string_view>

// zlib's level for answers: its default, a fair trade of time for size on exposition text.
inline constexpr int kGzipLevel = 6;

// Whether an Accept-Encoding value (RFC 9110) accepts gzip: "gzip" or "x-gzip" with a weight
// above zero, or "*" above zero when gzip is not named. An empty value accepts none.
bool AcceptsGzip(std::string_view accept_encoding);

// The gzip member (RFC 1952) holding `body`. True with `*out` set; false when zlib fails
// (out of memory), with `*out` empty.
bool GzipCompress(std::string_view body, std::string* out, int level = kGzipLevel);
