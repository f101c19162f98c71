// The one CSV writer of the scanner's reports (RFC 4180): a record of fields, each through
// CsvField (formats/safe_text.h), so device texts come out as valid UTF-8 without stray
// control characters. Every record, the last one too, ends with CR LF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One record of `fields`, CR LF included.
std::string CsvRecord(const std::vector<std::string>& fields);
std::string CsvRecord(const std::vector<std::string_view>& fields);
