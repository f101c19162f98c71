// The part of a GET that needs no socket: takes "http://host[:port][/path]" apart and
// formats the request line. GetUrl connects with what this leaves behind; the fuzzers call it
// directly. The host in the result points into the caller's scratch area and is valid only
// while that area is alive and not reused.
#pragma once

#include <cstdint>

#include "http/get_url.h"

struct GetRequest {
  const char* host = nullptr;          // non-empty, inside the scratch area
  uint16_t port = 0;                   // 80 when the URL names none
  int length = 0;                      // characters in `text`, terminator not counted
  char text[kGetUrlRequestArea] = {};  // "GET /path HTTP/1.1" and an empty line
};

// Copies `url` into `scratch` (`scratch_size` bytes, at least 1; a longer URL is cut) and
// splits it there. Returns true with `out` filled for an "http" URL with a host whose
// request fits the request area and whose host and path hold no spaces or control bytes;
// false otherwise, with `out` reset and `scratch` changed.
bool PrepareGetRequest(char* scratch, uint32_t scratch_size, const char* url, GetRequest* out);
