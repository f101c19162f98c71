#include "formats/csv_writer.h"

#include "formats/safe_text.h"

namespace {

template <typename Fields>
std::string Record(const Fields& fields) {
  std::string out;
  out.reserve(512);
  bool first = true;
  for (const auto& field : fields) {
    if (!first) out += ',';
    first = false;
    AppendCsvField(out, field);
  }
  return out + "\r\n";
}

}  // namespace

std::string CsvRecord(const std::vector<std::string>& fields) {
  return Record(fields);
}

std::string CsvRecord(const std::vector<std::string_view>& fields) {
  return Record(fields);
}
