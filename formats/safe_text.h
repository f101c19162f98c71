// The rules for device texts in reports, documents and messages. Everything a device sends is
// untrusted: it may be any bytes, in UTF-8 or Latin-1, and may carry control characters meant
// for a terminal. Every function reads its text as DeviceTextToUtf8 does and returns valid
// UTF-8; the JSON and CSV writers (formats/json_writer.h, formats/csv_writer.h) use them.
#pragma once

#include <string>
#include <string_view>

// For a terminal: valid UTF-8 in which every control character (C0, DEL and C1, line breaks
// and tabs included) is shown as '?', so that no byte from a device can steer the terminal.
std::string TerminalText(std::string_view text);

// A JSON string literal, quotes included: valid UTF-8; '"' and '\' escaped, and every control
// character (C0, DEL and C1) written as \u00XX.
std::string JsonString(std::string_view text);
// The same, appended to `out`: the writers build whole documents this way.
void AppendJsonString(std::string& out, std::string_view text);

// One CSV field: valid UTF-8, quoted with '"' doubled when it holds a comma, quote, CR or LF
// (RFC 4180). Control characters other than tab, CR and LF are shown as '?'.
std::string CsvField(std::string_view text);
void AppendCsvField(std::string& out, std::string_view text);

// `text` as a one-line message shows what the user typed: in single quotes, as TerminalText,
// cut after `shown` bytes with "..." before the closing quote.
std::string MessageQuoted(std::string_view text, std::size_t shown);

// Number of code points in valid UTF-8 `text`: its width in columns, counting each
// character as one.
std::size_t DisplayWidth(std::string_view text);
