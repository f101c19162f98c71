#include "agent/gzip_encoding.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>

namespace {

// deflateInit2's window bits: 15 (32 KiB), plus 16 for a gzip header and trailer.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;
// zlib counts bytes in 32 bits: longer bodies go through in pieces.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;

std::string_view TrimmedOws(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
         });
}

// Whether a qvalue ("0", "0.5", "1.000") is above zero; a malformed one counts as zero, so
// that a client that wrote nonsense gets plain text rather than bytes it may not read.
bool WeightAboveZero(std::string_view q) {
  if (q.empty() || (q[0] != '0' && q[0] != '1')) return false;
  bool above = q[0] == '1';
  if (q.size() == 1) return above;
  if (q[1] != '.') return false;
  for (const char c : q.substr(2)) {
    if (c < '0' || c > '9') return false;
    if (c != '0') above = true;
  }
  return above;
}

}  // namespace

bool AcceptsGzip(std::string_view accept_encoding) {
  int gzip = -1;  // -1 not named, 0 refused, 1 accepted
  int any = -1;
  while (!accept_encoding.empty()) {
    const std::size_t comma = accept_encoding.find(',');
    std::string_view element = accept_encoding.substr(0, comma);
    accept_encoding.remove_prefix(comma == std::string_view::npos ? accept_encoding.size()
                                                                  : comma + 1);
    const std::size_t semicolon = element.find(';');
    const std::string_view coding = TrimmedOws(element.substr(0, semicolon));
    if (coding.empty()) continue;
    bool accepted = true;
    if (semicolon != std::string_view::npos) {
      std::string_view parameters = element.substr(semicolon + 1);
      while (!parameters.empty()) {
        const std::size_t next = parameters.find(';');
        const std::string_view parameter = TrimmedOws(parameters.substr(0, next));
        parameters.remove_prefix(next == std::string_view::npos ? parameters.size() : next + 1);
        const std::size_t equals = parameter.find('=');
        if (equals == std::string_view::npos) continue;
        if (EqualsIgnoringCase(TrimmedOws(parameter.substr(0, equals)), "q")) {
          accepted = WeightAboveZero(TrimmedOws(parameter.substr(equals + 1)));
        }
      }
    }
    if (EqualsIgnoringCase(coding, "gzip") || EqualsIgnoringCase(coding, "x-gzip")) {
      gzip = std::max(gzip, accepted ? 1 : 0);
    } else if (coding == "*") {
      any = std::max(any, accepted ? 1 : 0);
    }
  }
  return gzip >= 0 ? gzip == 1 : any == 1;
}

bool GzipCompress(std::string_view body, std::string* out, int level) {
  out->clear();
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return false;
  }
  // Room for the whole member in the usual case, so that deflate runs once.
  std::string result(deflateBound(&stream, body.size()), '\0');
  std::size_t consumed = 0;
  std::size_t produced = 0;
  int status = Z_OK;
  do {
    if (stream.avail_in == 0 && consumed < body.size()) {
      const std::size_t piece = std::min(body.size() - consumed, kMaxPiece);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data() + consumed));
      stream.avail_in = static_cast<uInt>(piece);
      consumed += piece;
    }
    if (produced == result.size()) result.resize(result.size() * 2 + 64);
    const std::size_t room = std::min(result.size() - produced, kMaxPiece);
    stream.next_out = reinterpret_cast<Bytef*>(result.data() + produced);
    stream.avail_out = static_cast<uInt>(room);
    status = deflate(&stream, consumed == body.size() ? Z_FINISH : Z_NO_FLUSH);
    produced += room - stream.avail_out;
  } while (status == Z_OK || status == Z_BUF_ERROR);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return false;
  result.resize(produced);
  *out = std::move(result);
  return true;
}
