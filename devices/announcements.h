// Turns accepted SSDP datagrams into device records and rows: alive notifications and
// search responses create or refresh a record and fetch its description; byebyes mark it
// gone. Borrows the registry and the tone generator, which must outlive it. Pointers into
// the datagram are used only during the call. Runs on the one event thread; a description
// fetch blocks inside OnReceive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

class DeviceRegistry;
class HeaderBlock;
class ToneGenerator;
struct Tone;

// Fetches `url` into `buffer` (room for `size` + 1 bytes) and returns the bytes stored, 0 on
// failure with `buffer` empty; GetUrl in the program, fakes in tests.
using UrlFetcher = std::function<uint32_t(char* buffer, uint32_t size, const char* url)>;

class Announcements {
 public:
  // `beep_ticked` tells whether the user wants acoustic signals right now.
  Announcements(DeviceRegistry& registry, ToneGenerator& tones, UrlFetcher fetch_url,
                std::function<bool()> beep_ticked);
  Announcements(const Announcements&) = delete;
  Announcements& operator=(const Announcements&) = delete;

  // Handles one datagram `text` (writable, NUL-terminated; it is split in place) from
  // `address` (network byte order). Anything that is not an alive notification, a search
  // response or a byebye of a known device is dropped after the click and the trace line.
  void OnReceive(char* text, uint32_t address);

  // Takes an alive notification or search response for the search target: creates or
  // refreshes the record, fetches its description and writes its row. An announcement that
  // lacks a field or has an unusable max-age leaves all records and rows untouched.
  void HandleAnnouncement(const HeaderBlock& block, uint32_t address);

 private:
  void HandleByebye(const char* usn);
  void Play(const Tone* tones, std::size_t count);

  DeviceRegistry& m_registry;
  ToneGenerator& m_tones;
  UrlFetcher m_fetch_url;
  std::function<bool()> m_beep_ticked;
};

// Reads a max-age value the way the unsigned long conversion of a 32-bit system does:
// leading white space, an optional sign (minus negates modulo 2^32), digits; values above
// 4294967295 become 4294967295. Returns false, leaving `seconds` 0, when there are no digits
// or anything follows them.
bool ParseMaxAgeSeconds(const char* text, uint32_t& seconds);
