#include "devices/announcements.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "devices/announcement_protocol.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "platform/dotted_address.h"
#include "http/extract_between.h"
#include "parse/header_block.h"
#include "parse/text.h"
#include "platform/tones.h"
#include "platform/trace.h"

namespace {

static_assert(sizeof DeviceRecord::description == kDescriptionFetchSize + 1);

bool IsConversionSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Replaces the fetched response in `record.description` by its body and takes the texts
// the row shows out of it.
void TakeDescription(DeviceRecord& record) {
  HeaderBlock response;
  response.Parse(record.description);
  const char* body = response.Body();
  if (body == nullptr) {
    CopyText(record.description, kDescriptionNoBody);
    CopyText(record.model_description, kTextUnknown);
    CopyText(record.host_name, kTextUnknown);
    CopyText(record.device_type, kTextUnknown);
    return;
  }
  // The body lies inside the description field itself, so the move must allow overlap.
  std::memmove(record.description, body, std::strlen(body) + 1);
  ExtractBetween(record.model_description, sizeof record.model_description - 1, record.description,
                 kModelDescriptionOpen, kModelDescriptionClose);
  ExtractBetween(record.host_name, sizeof record.host_name - 1, record.model_description,
                 kHostNameQuote, kHostNameQuote);
  ExtractBetween(record.device_type, sizeof record.device_type - 1, record.description,
                 kModelNameOpen, kModelNameClose);
}

}  // namespace

bool ParseMaxAgeSeconds(const char* text, uint32_t& seconds) {
  seconds = 0;
  while (IsConversionSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  if (*text < '0' || *text > '9') return false;
  constexpr uint64_t kLimit = 0xFFFFFFFFu;
  uint64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
    if (magnitude > kLimit) magnitude = kLimit + 1;  // stays above the limit, never wraps
  }
  if (*text != '\0') return false;
  if (magnitude > kLimit) {
    seconds = static_cast<uint32_t>(kLimit);  // out of range saturates, whatever the sign
  } else {
    seconds = static_cast<uint32_t>(magnitude);
    if (negative) seconds = 0u - seconds;
  }
  return true;
}

Announcements::Announcements(DeviceRegistry& registry, ToneGenerator& tones, UrlFetcher fetch_url,
                             std::function<bool()> beep_ticked)
    : m_registry(registry),
      m_tones(tones),
      m_fetch_url(std::move(fetch_url)),
      m_beep_ticked(std::move(beep_ticked)) {}

void Announcements::OnReceive(char* text, uint32_t address) {
  if (m_beep_ticked()) m_tones.Beep(kClickTone.frequency_hz, kClickTone.duration_ms);
  char dotted[kDottedAddressSize];
  FormatDottedAddress(address, dotted);
  Trace("OnReceive(%s)", dotted);

  HeaderBlock block;
  block.Parse(text);
  const char* start_line = block.StartLine();
  if (start_line == nullptr) return;

  if (TextEquals(start_line, kNotifyStartLine)) {
    const char* nts = block.Get(kFieldNts);
    if (nts == nullptr) return;
    if (TextEquals(nts, kNtsByebye)) {
      HandleByebye(block.Get(kFieldUsn));
    } else if (TextEquals(nts, kNtsAlive)) {
      HandleAnnouncement(block, address);
    }
  } else if (TextEquals(start_line, kSearchResponseStartLine)) {
    HandleAnnouncement(block, address);
  }
}

void Announcements::HandleByebye(const char* usn) {
  DeviceRecord* record = m_registry.FindByUsn(usn);
  if (record == nullptr) return;
  if (record->valid_until != 0 && m_beep_ticked()) Play(kFallingTune, std::size(kFallingTune));
  CopyText(record->status, kStatusByebye);
  record->valid_until = 0;
  m_registry.UpdateStatusCells(*record);
}

void Announcements::HandleAnnouncement(const HeaderBlock& block, uint32_t address) {
  const bool beep = m_beep_ticked();

  const char* target = block.Get(kFieldNt);
  if (target == nullptr) target = block.Get(kFieldSt);
  if (target == nullptr || !TextEquals(target, SEARCH_TARGET)) return;
  const char* location = block.Get(kFieldLocation);
  if (location == nullptr) return;
  const char* usn = block.Get(kFieldUsn);
  if (usn == nullptr) return;
  const char* cache = block.Get(kFieldCacheControl);
  if (cache == nullptr || std::strncmp(cache, kMaxAgePrefix, kMaxAgePrefixLength) != 0) return;
  uint32_t max_age = 0;
  if (!ParseMaxAgeSeconds(cache + kMaxAgePrefixLength, max_age) || max_age == 0) return;

  bool signalling = false;
  bool created = false;
  DeviceRecord* record = m_registry.FindByUsn(usn);
  if (record == nullptr) {
    record = new DeviceRecord{};
    CopyText(record->usn, usn);
    record->address = 0;
    record->row_index = -1;
    created = true;
    signalling = true;
  }

  const uint32_t previous_address = record->address;
  record->address = address;
  char dotted[kDottedAddressSize];
  FormatDottedAddress(address, dotted);
  CopyText(record->address_text, dotted);

  Trace("GetUrl(%s)", location);
  const uint32_t count = m_fetch_url(record->description, kDescriptionFetchSize, location);
  Trace("GetUrl(%s)=%d", location, static_cast<int>(count));
  // A fetcher must terminate within its size; this keeps a careless one from making the
  // parser read past the field.
  record->description[kDescriptionFetchSize] = '\0';
  if (count != 0) TakeDescription(*record);

  if (previous_address == address) {
    CopyText(record->status, kStatusOnline);
  } else if (record->row_index == -1) {
    CopyText(record->status, kStatusNew);
    signalling = true;
  } else {
    CopyText(record->status, kStatusChanged);
  }

  const uint32_t now = static_cast<uint32_t>(m_registry.Now());
  const uint32_t new_expiry = now + max_age;
  const uint32_t previous_expiry = static_cast<uint32_t>(record->valid_until);
  if (new_expiry > previous_expiry + kSignalSlackSeconds) signalling = true;
  record->valid_until = static_cast<int32_t>(new_expiry);

  if (signalling && beep) Play(kRisingTune, std::size(kRisingTune));

  if (!m_registry.UpdateRow(*record) && created) delete record;
}

void Announcements::Play(const Tone* tones, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) m_tones.Beep(tones[i].frequency_hz, tones[i].duration_ms);
}
