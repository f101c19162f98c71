// Readable texts for socket and system error codes. The socket layer's own conditions keep
// their Winsock numbers; everything else is an errno value.
#pragma once

inline constexpr int kErrInterrupted = 10004;      // a blocking call was ended by Close()
inline constexpr int kErrInvalidArgument = 10022;  // invalid or unresolvable address
inline constexpr int kErrWouldBlock = 10035;       // handled inside the socket layer
inline constexpr int kErrInProgress = 10036;       // the object is already in a blocking call
inline constexpr int kErrTimedOut = 10060;         // a caller's deadline passed

// Returns the text for `code` in one static 256-byte buffer that the next call overwrites.
// A final line feed is removed. Never returns nullptr.
const char* ErrorText(int code);
