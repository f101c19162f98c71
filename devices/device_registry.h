// The device store: records bound to the rows of a DeviceRows, looked up by walking the
// rows, plus the bulk operations on all rows (reset for a search, expiry sweep, release).
// The rows own the records; the registry only borrows the rows and the clock, which must
// outlive it. Returned record pointers stay valid until FreeAll().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

class Clock;
class DeviceEvents;
class DeviceRows;
struct DeviceRecord;

// "hh:mm:ss" plus its terminator, or "????".
inline constexpr std::size_t kValidityTextSize = 16;

class DeviceRegistry {
 public:
  // `events`, when given, hears of every device a search resets or the sweep finds lost.
  DeviceRegistry(DeviceRows& rows, const Clock& clock, const DeviceEvents* events = nullptr)
      : m_rows(rows), m_clock(clock), m_events(events) {}
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;

  // The record whose USN equals `usn` (case-sensitive; a USN longer than the record's field
  // is compared as far as the field keeps it), with its row index refreshed to its
  // row's position; nullptr when none does or `usn` is nullptr. Stops at the first row
  // without a record.
  DeviceRecord* FindByUsn(const char* usn);

  // Gives a record without a row (row index -1) a new last row, which then owns it, and
  // writes all five cells. Returns true when the record has a row; false leaves a record
  // without a row unowned, so the caller still owns it.
  bool UpdateRow(DeviceRecord& record);

  // Writes the status cell from the record and the validity cell from its valid until.
  void UpdateStatusCells(const DeviceRecord& record);

  // Marks every record not valid and shows "searching" and "????" in its row. With
  // `keep_validity` the records keep their valid until instead, so that a device stays valid
  // until its announcement runs out, whatever a search in flight says, and only the devices
  // that are there show "searching": lost, byebye and restored ones keep their word.
  void ResetForSearch(bool keep_validity = false);

  // Marks every record whose valid until has come (signed, so below 0 counts too) not
  // valid and shows "lost" and "????"; the record keeps its status text.
  void ExpirySweep();
  // The same for one record, whatever its valid until says: for the modes that decide on
  // another clock when a device is lost.
  void MarkLost(DeviceRecord& record);
  // A device asked directly answered: valid for `max_age` seconds more, its row shows its
  // status again, and kKept is published.
  void Keep(DeviceRecord& record, uint32_t max_age);

  // Gives `record` (row index -1) a row that shows it lost, without publishing anything: a
  // device known from before a restart. True when the row owns it now; false leaves it
  // the caller's.
  bool Restore(DeviceRecord& record);

  // Removes the device's row and record for good, after publishing kForgotten. Only rows
  // that can be removed (a headless table's) are; returns whether the device was removed.
  bool Forget(const char* usn);

  // Deletes every row's record and detaches it; the rows stay, carrying nothing.
  void FreeAll();

  [[nodiscard]] int32_t Now() const;
  // Rows that carry a record.
  [[nodiscard]] int RecordCount() const { return m_indexed_rows; }

  // The validity cell text: the local time of day of `valid_until` as "%02d:%02d:%02d", or
  // "????" for 0 (not valid) and for a value below 0, which has no time of day.
  static void FormatValidity(int32_t valid_until, char (&out)[kValidityTextSize]);
  // `now` plus `max_age` seconds, or the last time there is when that lies beyond it: a
  // huge max-age must not wrap into the past.
  static int32_t ValidUntil(int32_t now, uint32_t max_age);

 private:
  DeviceRecord* WalkRows(const char* usn);
  void MarkLostAt(int row, DeviceRecord& record);

  DeviceRows& m_rows;
  const Clock& m_clock;
  const DeviceEvents* m_events;
  // Records by their (possibly cut) USN, for the rows UpdateRow made. FindByUsn falls back
  // to walking the rows whenever rows exist that did not come through it.
  std::unordered_map<std::string_view, DeviceRecord*> m_by_usn;
  int m_indexed_rows = 0;
};
