#include "devices/announcements.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "devices/announcement_protocol.h"
#include "devices/blocking_descriptions.h"
#include "devices/description_fields.h"
#include "devices/device_record.h"
#include "devices/device_registry.h"
#include "http/extract_between.h"
#include "http/get_request.h"
#include "parse/header_block.h"
#include "parse/text.h"
#include "platform/clock.h"
#include "platform/dotted_address.h"
#include "platform/tones.h"
#include "platform/trace.h"

namespace {

bool IsConversionSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether GetUrl would even try `location`: refused ones fail before any connect.
bool IsFetchable(const char* location) {
  char scratch[kDescriptionFetchSize];
  GetRequest request;
  return PrepareGetRequest(scratch, sizeof scratch, location, &request);
}

// Takes the body of the fetched response as `record.description`, at its real length, and
// the texts the row shows out of it. Returns whether the description changed.
bool TakeDescription(DeviceRecord& record, const DescriptionResult& result) {
  // Split in place in a copy, cut where a fetch cuts.
  char text[kDescriptionFetchSize + 1];
  const std::size_t length = CopyText(text, result.response);
  HeaderBlock parsed;
  parsed.Parse(text);
  const bool has_body = parsed.Body() != nullptr;
  const char* body = has_body ? parsed.Body() : kDescriptionNoBody;
  const bool changed = record.description != body;
  if (changed && has_body && result.kept && result.kept->size() == length) {
    // Parsing moves nothing: the body lies at the same place in the response the source keeps.
    record.description = SharedText(result.kept, static_cast<std::size_t>(body - text));
  } else if (changed) {
    record.description = std::string(body);
  }
  if (!has_body) {
    record.model_description = kTextUnknown;
    CopyText(record.host_name, kTextUnknown);
    CopyText(record.device_type, kTextUnknown);
    return changed;
  }
  char model_description[kDescriptionFieldSize];
  ExtractBetween(model_description, sizeof model_description - 1, record.description.c_str(),
                 kModelDescriptionOpen, kModelDescriptionClose);
  record.model_description = model_description;
  ExtractBetween(record.host_name, sizeof record.host_name - 1, model_description, kHostNameQuote,
                 kHostNameQuote);
  ExtractBetween(record.device_type, sizeof record.device_type - 1, record.description.c_str(),
                 kModelNameOpen, kModelNameClose);
  return changed;
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

Announcements::Announcements(DeviceRegistry& registry, ToneGenerator& tones,
                             DescriptionSource& descriptions, std::function<bool()> beep_ticked,
                             DiscoveryCounters* counters, const DeviceEvents* events)
    : m_registry(registry),
      m_tones(tones),
      m_descriptions(descriptions),
      m_beep_ticked(std::move(beep_ticked)),
      m_counters(counters),
      m_events(events) {}

Announcements::Announcements(DeviceRegistry& registry, ToneGenerator& tones, UrlFetcher fetch_url,
                             std::function<bool()> beep_ticked)
    : m_registry(registry),
      m_tones(tones),
      m_own_clock(std::make_unique<SteadyClock>()),
      m_own_descriptions(std::make_unique<BlockingDescriptions>(std::move(fetch_url), *m_own_clock,
                                                                /*remember=*/false)),
      m_descriptions(*m_own_descriptions),
      m_beep_ticked(std::move(beep_ticked)),
      m_counters(nullptr),
      m_events(nullptr) {}

Announcements::~Announcements() = default;

DatagramOutcome Announcements::OnReceive(char* text, uint32_t address, HeardVia via) {
  if (m_beep_ticked()) m_tones.Beep(kClickTone.frequency_hz, kClickTone.duration_ms);
  char dotted[kDottedAddressSize];
  FormatDottedAddress(address, dotted);
  Trace("OnReceive(%s)", dotted);

  HeaderBlock block;
  block.Parse(text);
  const char* start_line = block.StartLine();
  DatagramOutcome outcome = DatagramOutcome::kOtherMethod;
  if (start_line == nullptr || start_line[0] == '\0') {
    outcome = DatagramOutcome::kNoStartLine;
  } else if (TextEquals(start_line, kNotifyStartLine)) {
    const char* nts = block.Get(kFieldNts);
    if (nts == nullptr) {
      outcome = DatagramOutcome::kNoNts;
    } else if (TextEquals(nts, kNtsByebye)) {
      outcome = HandleByebye(block.Get(kFieldUsn));
    } else if (TextEquals(nts, kNtsAlive)) {
      outcome = HandleAnnouncement(block, address, via);
    } else if (m_follow_reboots && TextEquals(nts, kNtsUpdate)) {
      outcome = HandleUpdate(block);
    } else {
      outcome = DatagramOutcome::kOtherNts;
    }
  } else if (TextEquals(start_line, kSearchResponseStartLine)) {
    outcome = HandleAnnouncement(block, address, via);
  }
  // The one exit of every datagram that got this far: counted, and traced when dropped.
  if (m_counters != nullptr) m_counters->Count(outcome);
  if (m_trace_drops && !IsAccepted(outcome) && outcome != DatagramOutcome::kBadLocation) {
    TraceDrop(outcome, address);
  }
  return outcome;
}

DatagramOutcome Announcements::HandleByebye(const char* usn) {
  if (usn != nullptr && !m_pending.empty()) {
    auto found = m_pending.find(std::string(usn, strnlen(usn, sizeof DeviceRecord::usn - 1)));
    if (found != m_pending.end()) {
      // The device's last announcement is still being described: the byebye follows it.
      Waiting& waiting = found->second;
      std::optional<LateByebye>& slot =
          waiting.next ? waiting.byebye_after_next : waiting.byebye_after_current;
      if (slot) Coalesced();
      slot = LateByebye{m_beep_ticked()};
      return DatagramOutcome::kByebye;
    }
  }
  DeviceRecord* record = m_registry.FindByUsn(usn);
  if (record == nullptr) return DatagramOutcome::kByebyeUnknown;
  SayByebye(*record, m_beep_ticked());
  return DatagramOutcome::kByebye;
}

DatagramOutcome Announcements::HandleUpdate(const HeaderBlock& block) {
  // Only a device we know may announce its next boot; anything else stays an NTS we ignore.
  const char* target = block.Get(kFieldNt);
  const char* usn = block.Get(kFieldUsn);
  if (target == nullptr || !TextEquals(target, SEARCH_TARGET) || usn == nullptr) {
    return DatagramOutcome::kOtherNts;
  }
  const std::string key(usn, strnlen(usn, sizeof DeviceRecord::usn - 1));
  if (m_registry.FindByUsn(usn) == nullptr && m_pending.count(key) == 0) {
    return DatagramOutcome::kOtherNts;
  }
  if (const char* next = block.Get(kFieldNextBootId)) m_boot_ids.Announce(key, next);
  return DatagramOutcome::kUpdate;
}

void Announcements::SayByebye(DeviceRecord& record, bool beep) {
  if (record.valid_until != 0 && beep) Play(kFallingTune, std::size(kFallingTune));
  CopyText(record.status, kStatusByebye);
  record.valid_until = 0;
  m_registry.UpdateStatusCells(record);
  Publish(DeviceEventKind::kByebye, record);
}

DatagramOutcome Announcements::HandleAnnouncement(const HeaderBlock& block, uint32_t address,
                                                  HeardVia via) {
  const bool beep = m_beep_ticked();

  const char* target = block.Get(kFieldNt);
  if (target == nullptr) target = block.Get(kFieldSt);
  if (target == nullptr || !TextEquals(target, SEARCH_TARGET)) return DatagramOutcome::kOtherType;
  const char* location = block.Get(kFieldLocation);
  if (location == nullptr) return DatagramOutcome::kNoLocation;
  const char* usn = block.Get(kFieldUsn);
  if (usn == nullptr) return DatagramOutcome::kNoUsn;
  const char* cache = block.Get(kFieldCacheControl);
  if (cache == nullptr || std::strncmp(cache, kMaxAgePrefix, kMaxAgePrefixLength) != 0) {
    return DatagramOutcome::kBadMaxAge;
  }
  uint32_t max_age = 0;
  if (!ParseMaxAgeSeconds(cache + kMaxAgePrefixLength, max_age) || max_age == 0) {
    return DatagramOutcome::kBadMaxAge;
  }

  // Records keep the first 255 characters of a USN, and so does everything keyed by it. The
  // key's buffer is kept from one announcement to the next: thousands arrive in a burst.
  std::string& key = m_key;
  key.assign(usn, strnlen(usn, sizeof DeviceRecord::usn - 1));
  auto waiting = m_pending.find(key);
  if (waiting == m_pending.end() && m_registry.FindByUsn(usn) == nullptr &&
      static_cast<std::size_t>(m_registry.RecordCount()) + m_pending.size() >= m_max_devices) {
    // Forged USNs must not grow the store without end; known devices still get through.
    const int32_t now = m_registry.Now();
    if (now != m_last_full_trace) {
      m_last_full_trace = now;
      Trace("HandleAnnouncement: device table full (%zu devices)", m_max_devices);
    }
    return DatagramOutcome::kTableFull;
  }

  const char* boot_id = block.Get(kFieldBootId);
  const char* config_id = block.Get(kFieldConfigId);
  const bool notify = TextEquals(block.StartLine(), kNotifyStartLine);
  if (waiting != m_pending.end() && waiting->second.next && !waiting->second.byebye_after_next &&
      IsRepeat(*waiting->second.next, address, max_age, location, boot_id, config_id)) {
    // The device says again what waits already: the most common case of a burst's answers,
    // taken without building anything.
    Announcement& next = *waiting->second.next;
    next.beep = beep;
    Coalesced();
    if (m_identity && !key.empty()) m_identity(key, address, location);
    if (m_liveness != nullptr) m_liveness->Heard(key, address, max_age, via);
    return next.bad_location ? DatagramOutcome::kBadLocation
           : notify          ? DatagramOutcome::kAlive
                             : DatagramOutcome::kResponse;
  }

  Announcement announcement;
  announcement.usn = key;
  announcement.address = address;
  announcement.max_age = max_age;
  announcement.beep = beep;
  announcement.bad_location = !IsFetchable(location);
  announcement.request.location = location;
  if (boot_id != nullptr) announcement.request.boot_id = boot_id;
  if (config_id != nullptr) announcement.request.config_id = config_id;
  const DatagramOutcome outcome = announcement.bad_location ? DatagramOutcome::kBadLocation
                                  : notify                  ? DatagramOutcome::kAlive
                                                            : DatagramOutcome::kResponse;
  if (m_identity && !key.empty()) m_identity(key, address, location);
  if (m_liveness != nullptr) m_liveness->Heard(key, address, max_age, via);

  if (waiting != m_pending.end()) {
    // An earlier announcement of this device waits for its description: this one follows it,
    // in place of any repeat that came before it.
    Waiting& w = waiting->second;
    if (w.next) {
      Coalesced();
      // A byebye between the one replaced and this one still separates them from the one
      // being described.
      if (w.byebye_after_next) w.byebye_after_current = w.byebye_after_next;
      w.byebye_after_next.reset();
    }
    w.next = std::move(announcement);
    return outcome;
  }
  const std::string usn_key = key;  // Describe may handle more announcements
  m_pending.emplace(usn_key, Waiting{std::move(announcement), {}, {}, {}});
  Describe(usn_key);
  return outcome;
}

bool Announcements::IsRepeat(const Announcement& waiting, uint32_t address, uint32_t max_age,
                             const char* location, const char* boot_id, const char* config_id) {
  return waiting.address == address && waiting.max_age == max_age &&
         waiting.request.location == location &&
         waiting.request.boot_id == (boot_id != nullptr ? boot_id : "") &&
         waiting.request.config_id == (config_id != nullptr ? config_id : "");
}

void Announcements::Coalesced() {
  if (m_counters != nullptr) ++m_counters->announcements_coalesced;
}

void Announcements::Describe(const std::string& usn) {
  m_to_describe.push_back(usn);
  // A source may settle at once (cache, back-off, the dialog's blocking fetch), and settling
  // describes the device's next announcement: that one is taken by this loop, so the stack
  // stays flat however many settle at once.
  if (m_describing) return;
  m_describing = true;
  while (!m_to_describe.empty()) {
    const std::string next = std::move(m_to_describe.front());
    m_to_describe.pop_front();
    DescribeCurrent(next);
  }
  m_describing = false;
}

void Announcements::DescribeCurrent(const std::string& usn) {
  auto it = m_pending.find(usn);
  if (it == m_pending.end()) return;
  const Announcement& current = it->second.current;
  if (current.bad_location) {
    // Refused before any connect, as the fetch itself would refuse it.
    Trace("GetUrl(%s)", current.request.location.c_str());
    Trace("GetUrl(%s)=0", current.request.location.c_str());
    if (m_trace_drops) TraceDrop(DatagramOutcome::kBadLocation, current.address);
    Settle(usn, SkippedResult());
    return;
  }
  m_descriptions.Describe(current.request,
                          [this, usn](const DescriptionResult& result) { Settle(usn, result); });
}

void Announcements::Settle(const std::string& usn, const DescriptionResult& result) {
  auto it = m_pending.find(usn);
  if (it == m_pending.end()) return;
  Waiting& waiting = it->second;
  Complete(waiting.current, result);
  // A byebye that came meanwhile applies in its turn; then the next announcement is described.
  // Complete may have published events whose observers handled more datagrams: look again.
  it = m_pending.find(usn);
  if (it == m_pending.end()) return;
  Waiting& after = it->second;
  if (after.byebye_after_current) {
    if (DeviceRecord* record = m_registry.FindByUsn(usn.c_str())) {
      SayByebye(*record, after.byebye_after_current->beep);
    }
  }
  if (!after.next) {
    m_pending.erase(it);
    return;
  }
  after.current = std::move(*after.next);
  after.byebye_after_current = after.byebye_after_next;
  after.next.reset();
  after.byebye_after_next.reset();
  Describe(usn);
}

void Announcements::Complete(const Announcement& announcement, const DescriptionResult& result) {
  if (m_counters != nullptr) {
    switch (result.source) {
      case DescriptionResult::Source::kFetched:
        m_counters->CountFetch(result.outcome, result.seconds);
        break;
      case DescriptionResult::Source::kCached:
        ++m_counters->fetches_cached;
        break;
      case DescriptionResult::Source::kSkipped:
        if (!announcement.bad_location) ++m_counters->fetches_skipped_backoff;
        break;
    }
  }

  bool signalling = false;
  bool created = false;
  DeviceRecord* record = m_registry.FindByUsn(announcement.usn.c_str());
  if (record == nullptr) {
    record = new DeviceRecord{};
    CopyText(record->usn, announcement.usn.c_str());
    record->address = 0;
    record->row_index = -1;
    created = true;
    signalling = true;
  }

  const uint32_t address = announcement.address;
  const uint32_t previous_address = record->address;
  record->address = address;
  char dotted[kDottedAddressSize];
  FormatDottedAddress(address, dotted);
  CopyText(record->address_text, dotted);

  // A failed fetch leaves the description empty and keeps the texts taken before. Whether
  // anything changed is told with the event: most announcements repeat what was known.
  bool texts_changed = !record->description.empty();
  if (result.count != 0) {
    texts_changed = TakeDescription(*record, result);
  } else {
    record->description = SharedText();
  }
  texts_changed = texts_changed || created;

  DeviceEventKind kind = DeviceEventKind::kOnline;
  if (previous_address == address) {
    CopyText(record->status, kStatusOnline);
  } else if (record->row_index == -1) {
    CopyText(record->status, kStatusNew);
    kind = DeviceEventKind::kNew;
    signalling = true;
  } else {
    CopyText(record->status, kStatusChanged);
    kind = DeviceEventKind::kChanged;
  }

  const uint32_t now = static_cast<uint32_t>(m_registry.Now());
  const uint32_t new_expiry = now + announcement.max_age;
  const uint32_t previous_expiry = static_cast<uint32_t>(record->valid_until);
  if (new_expiry > previous_expiry + kSignalSlackSeconds) signalling = true;
  record->valid_until = static_cast<int32_t>(new_expiry);
  if (m_liveness != nullptr) {
    // A long watch never lets a huge max-age wrap into the past, and trusts it for a day at
    // most: the device is asked then.
    record->valid_until =
        DeviceRegistry::ValidUntil(static_cast<int32_t>(now), TrustedMaxAge(announcement.max_age));
  }

  if (signalling && announcement.beep) Play(kRisingTune, std::size(kRisingTune));

  if (!m_registry.UpdateRow(*record)) {
    if (created) delete record;
    return;
  }
  const DescriptionFetch fetch = result.count == 0 ? DescriptionFetch::kFailed
                                 : result.source == DescriptionResult::Source::kCached
                                     ? DescriptionFetch::kCached
                                     : DescriptionFetch::kOk;
  const DescriptionRequest& ids = announcement.request;
  if (m_follow_reboots && m_boot_ids.Observe(announcement.usn, announcement.address, ids.boot_id)) {
    if (m_counters != nullptr) ++m_counters->reboots;
    Publish(DeviceEventKind::kRebooted, *record, 0, fetch, &ids);
  }
  Publish(kind, *record, previous_address, fetch, &ids, texts_changed);
}

void Announcements::Play(const Tone* tones, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) m_tones.Beep(tones[i].frequency_hz, tones[i].duration_ms);
}

void Announcements::Publish(DeviceEventKind kind, const DeviceRecord& record,
                            uint32_t previous_address, DescriptionFetch fetch,
                            const DescriptionRequest* ids, bool texts_changed) {
  if (m_events == nullptr) return;
  DeviceEvent event{kind, m_registry.Now(), DeviceView(record), previous_address, fetch};
  event.texts_changed = texts_changed;
  if (ids != nullptr) {
    event.boot_id = ids->boot_id;
    event.config_id = ids->config_id;
    event.location = ids->location;
  }
  m_events->Publish(event);
}

void Announcements::ForEachPending(
    const std::function<void(const std::string& usn, uint32_t address)>& visit) const {
  for (const auto& [usn, waiting] : m_pending) visit(usn, waiting.current.address);
}
