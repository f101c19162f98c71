#include "platform/error_text.h"

#include <cstdio>
#include <cstring>

const char* ErrorText(int code) {
  static char text[256];
  const char* layer = nullptr;
  switch (code) {
    case kErrInterrupted: layer = "Interrupted: the socket was closed during a blocking call"; break;
    case kErrInvalidArgument: layer = "Invalid argument or unresolvable address"; break;
    case kErrWouldBlock: layer = "Operation would block"; break;
    case kErrInProgress: layer = "A blocking operation is already in progress"; break;
    case kErrTimedOut: layer = "Timed out"; break;
    default: break;
  }
  if (layer) {
    std::snprintf(text, sizeof text, "%s", layer);
  } else {
    char scratch[sizeof text];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* system = strerror_r(code, scratch, sizeof scratch);
    std::snprintf(text, sizeof text, "%s", system);
  }
  std::size_t n = std::strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[n - 1] = '\0';
  return text;
}
