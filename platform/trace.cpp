#include "platform/trace.h"

#include <QLoggingCategory>
#include <QString>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

Q_LOGGING_CATEGORY(lcTrace, "tarovue.trace", QtWarningMsg)

bool g_raw_output = false;
// QT_MESSAGE_PATTERN was set: lines go through Qt's formatting (%{time} and the like).
bool g_patterned = false;

// Trace has already checked that the category is on.
void QtLoggingSink(const char* line) {
  if (g_raw_output && !g_patterned) {
    // Straight to stderr: the same bytes the raw handler would write, without the round trip
    // through QString that costs a busy discovery several microseconds a line.
    std::fwrite(line, 1, std::strlen(line), stderr);
    return;
  }
  // Qt's handlers add their own line end; Latin-1 keeps network bytes as they came.
  std::size_t n = std::strlen(line);
  if (n > 0 && line[n - 1] == '\n') --n;
  qCDebug(lcTrace).noquote() << QString::fromLatin1(line, static_cast<qsizetype>(n));
}

TraceSink g_sink = QtLoggingSink;
QtMessageHandler g_previous_handler = nullptr;

void RawTraceHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (context.category && std::strcmp(context.category, "tarovue.trace") == 0) {
    QByteArray bytes =
        g_patterned ? qFormatLogMessage(type, context, message).toLatin1() : message.toLatin1();
    bytes.append('\n');
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    return;
  }
  if (g_previous_handler) g_previous_handler(type, context, message);
}

}  // namespace

void Trace(const char* format, ...) {
  // Off, as it is for users: not even formatted.
  if (g_sink == QtLoggingSink && !lcTrace().isDebugEnabled()) return;
  char line[kTraceMaxChars + 2];  // 255 characters, a line feed and the terminator
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, kTraceMaxChars + 1, format, args);
  va_end(args);
  if (n < 0) return;
  std::size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] != '\n') {
    line[length] = '\n';
    line[length + 1] = '\0';
  }
  g_sink(line);
}

TraceSink SetTraceSink(TraceSink sink) {
  TraceSink previous = g_sink;
  g_sink = sink ? sink : QtLoggingSink;
  return previous;
}

void InstallRawTraceOutput() {
  g_raw_output = true;
  g_patterned = qEnvironmentVariableIsSet("QT_MESSAGE_PATTERN");
  g_previous_handler = qInstallMessageHandler(RawTraceHandler);
}
