// Developer trace lines: the program's only diagnostic output besides the window.
// Each line is formatted like printf, cut at 255 characters, and ends in one line feed.
// Lines go to the Qt logging category "tarovue.trace" (debug level, off by default;
// QT_LOGGING_RULES="tarovue.trace.debug=true" shows them). Tests may divert them.
#pragma once

#include <cstddef>

inline constexpr std::size_t kTraceMaxChars = 255;

// Formats and emits one trace line.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Receives each finished line (with its final line feed, if any). The line is valid only
// during the call.
using TraceSink = void (*)(const char* line);

// Replaces the sink and returns the previous one; nullptr restores the Qt logging sink.
TraceSink SetTraceSink(TraceSink sink);

// Writes every "tarovue.trace" message to stderr exactly as formatted (without Qt's
// category prefix), or through QT_MESSAGE_PATTERN when that is set, and hands other
// messages to the previous handler. Call once from main.
void InstallRawTraceOutput();
