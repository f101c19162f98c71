// Runs datagrams from the fuzz input through one Announcements instance over a RowTable and
// checks the records and rows after each one. Input: datagrams separated by 0xFE, then 0xFF
// and the HTTP answer every description fetch receives (no 0xFF: every fetch fails). The
// datagrams are then received once more, later and partly from another address, so that
// refreshes, address changes and byebyes after alives happen even for a single datagram.
// Last, a valid announcement of a new device must still get its row.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "devices/announcement_protocol.h"
#include "devices/announcements.h"
#include "devices/description_fields.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "devices/row_table.h"
#include "parse/header_block.h"
#include "platform/clock.h"
#include "platform/tones.h"
#include "platform/trace.h"

namespace {

constexpr uint8_t kDatagramEnd = 0xFE;
constexpr uint8_t kAnswerStart = 0xFF;
constexpr std::size_t kMaxDatagrams = 16;
constexpr int32_t kStart = 1'700'000'000;
constexpr uint32_t kFirstAddress = 0x0500A8C0;   // 192.168.0.5 in network order
constexpr uint32_t kSecondAddress = 0x0600A8C0;  // 192.168.0.6

void Check(bool condition) {
  if (!condition) std::abort();
}

void Silent(const char*) {}

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

// The key a record keeps for a datagram's USN, or nothing when it has none.
void AddUsn(const std::string& datagram, std::set<std::string>& usns) {
  std::vector<char> text(datagram.begin(), datagram.end());
  text.push_back('\0');
  HeaderBlock block;
  block.Parse(text.data());
  const char* usn = block.Get(kFieldUsn);
  if (usn != nullptr) usns.insert(std::string(usn).substr(0, sizeof DeviceRecord::usn - 1));
}

bool IsStatusCell(const std::string& cell, const DeviceRecord& record) {
  return cell == record.status || cell == kCellLost || cell == kCellSearching;
}

void CheckRows(const RowTable& rows, const std::set<std::string>& usns) {
  Check(rows.RowCount() >= 0 && static_cast<std::size_t>(rows.RowCount()) <= usns.size());
  std::set<std::string> keys;
  for (int row = 0; row < rows.RowCount(); ++row) {
    const DeviceRecord* record = rows.RecordAt(row);
    Check(record != nullptr);
    Check(Terminated(record->address_text) && Terminated(record->status) &&
          Terminated(record->host_name) && Terminated(record->device_type) &&
          Terminated(record->usn) && record->model_description.size() < kDescriptionFieldSize &&
          record->description.size() <= kDescriptionFetchSize);
    Check(usns.count(record->usn) == 1);
    Check(keys.insert(record->usn).second);  // one row per USN
    for (int column = 0; column < kColumnCount; ++column) {
      const char* cell = rows.CellText(row, column);
      Check(cell != nullptr && std::strlen(cell) <= kDescriptionFetchSize);
    }
    Check(std::strcmp(rows.CellText(row, kColumnAddress), record->address_text) == 0);
    Check(std::strcmp(rows.CellText(row, kColumnHostName), record->host_name) == 0);
    Check(std::strcmp(rows.CellText(row, kColumnDeviceType), record->device_type) == 0);
    Check(IsStatusCell(rows.CellText(row, kColumnStatus), *record));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetTraceSink(Silent);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const uint8_t* answer_at = static_cast<const uint8_t*>(std::memchr(data, kAnswerStart, size));
  const std::size_t datagrams_size = answer_at ? static_cast<std::size_t>(answer_at - data) : size;
  std::vector<std::string> datagrams(1);
  for (std::size_t i = 0; i < datagrams_size; ++i) {
    if (data[i] != kDatagramEnd) {
      datagrams.back() += static_cast<char>(data[i]);
    } else if (datagrams.size() < kMaxDatagrams) {
      datagrams.emplace_back();
    }
  }
  const bool answers = answer_at != nullptr;
  const std::string answer = answers ? std::string(reinterpret_cast<const char*>(answer_at + 1),
                                                   data + size - answer_at - 1)
                                     : std::string();

  RowTable rows;
  ManualClock clock{kStart};
  DeviceRegistry registry{rows, clock};
  SilentTones tones;
  // Stores the answer as GetUrl stores what a device sends: raw bytes (NULs included) up to
  // `size`, terminated; 0 with an empty buffer when nothing came.
  Announcements announcements{registry, tones,
                              [&](char* buffer, uint32_t fetch_size, const char* url) -> uint32_t {
                                Check(fetch_size == kDescriptionFetchSize);
                                Check(url != nullptr);
                                const std::size_t n =
                                    std::min<std::size_t>(answer.size(), fetch_size);
                                if (!answers || n == 0) {
                                  buffer[0] = '\0';
                                  return 0;
                                }
                                std::memcpy(buffer, answer.data(), n);
                                buffer[n] = '\0';
                                return static_cast<uint32_t>(n);
                              },
                              [] { return true; }};

  std::set<std::string> usns;
  auto receive = [&](const std::string& datagram, uint32_t address) {
    AddUsn(datagram, usns);
    // Each datagram ends at its last byte, as the receive buffer holds it.
    std::vector<char> text(datagram.begin(), datagram.end());
    text.push_back('\0');
    announcements.OnReceive(text.data(), address);
    CheckRows(rows, usns);
  };

  for (const std::string& datagram : datagrams) {
    receive(datagram, kFirstAddress);
    clock.Advance(1);
  }
  clock.Advance(100);
  registry.ExpirySweep();
  CheckRows(rows, usns);
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    receive(datagrams[i], i % 2 == 0 ? kFirstAddress : kSecondAddress);
  }
  registry.ResetForSearch();
  CheckRows(rows, usns);

  // Whatever came before, a valid announcement of a new device still gets its row.
  std::string probe_usn = "uuid:probe::";
  probe_usn += SEARCH_TARGET;
  while (usns.count(probe_usn) != 0) probe_usn.insert(5, "x");
  const int rows_before = rows.RowCount();
  receive(std::string(kNotifyStartLine) + "\r\nNT: " + SEARCH_TARGET + "\r\nNTS: " + kNtsAlive +
              "\r\nLOCATION: http://192.168.0.7/d.xml\r\nUSN: " + probe_usn +
              "\r\nCACHE-CONTROL: max-age=1800\r\n\r\n",
          kFirstAddress);
  Check(rows.RowCount() == rows_before + 1);
  const DeviceRecord* probe = rows.RecordAt(rows_before);
  Check(probe->usn == probe_usn && std::strcmp(probe->status, kStatusNew) == 0);
  Check(probe->valid_until != 0 && std::strcmp(probe->address_text, "192.168.0.5") == 0);
  return 0;
}
