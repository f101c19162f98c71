// Texts and numbers of announcement handling: the SSDP fields it reads, the words it writes
// into records and cells, the description markers and the tones. Tests build their
// datagrams and descriptions from these same constants.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ssdp/ssdp_protocol.h"  // SEARCH_TARGET

// Start lines of the two datagram kinds that are handled.
inline constexpr char kNotifyStartLine[] = "NOTIFY * HTTP/1.1";
inline constexpr char kSearchResponseStartLine[] = "HTTP/1.1 200 OK";

// Field names, as the parser stores them (folded to upper case).
inline constexpr char kFieldNt[] = "NT";
inline constexpr char kFieldSt[] = "ST";
inline constexpr char kFieldNts[] = "NTS";
inline constexpr char kFieldUsn[] = "USN";
inline constexpr char kFieldLocation[] = "LOCATION";
inline constexpr char kFieldCacheControl[] = "CACHE-CONTROL";

// NTS values.
inline constexpr char kNtsAlive[] = "ssdp:alive";
inline constexpr char kNtsByebye[] = "ssdp:byebye";
inline constexpr char kNtsUpdate[] = "ssdp:update";

// Fields of UPnP 1.1 announcements: a new BOOTID means the device started again; an
// ssdp:update tells the one it will have next (NEXTBOOTID) before a planned restart.
inline constexpr char kFieldBootId[] = "BOOTID.UPNP.ORG";
inline constexpr char kFieldConfigId[] = "CONFIGID.UPNP.ORG";
inline constexpr char kFieldNextBootId[] = "NEXTBOOTID.UPNP.ORG";

// CACHE-CONTROL must start with exactly this (case-sensitive); the number of seconds follows.
inline constexpr char kMaxAgePrefix[] = "max-age=";
inline constexpr std::size_t kMaxAgePrefixLength = sizeof kMaxAgePrefix - 1;

// A refresh that extends validity by more than this many seconds signals again, so only
// the several answers to one search burst stay silent.
inline constexpr uint32_t kSignalSlackSeconds = 5;

// Record status texts.
inline constexpr char kStatusNew[] = "new";
inline constexpr char kStatusOnline[] = "online";
inline constexpr char kStatusChanged[] = "changed";
inline constexpr char kStatusByebye[] = "byebye";

// Words written to cells only; the record keeps its status text meanwhile.
inline constexpr char kCellSearching[] = "searching";
inline constexpr char kCellLost[] = "lost";
inline constexpr char kCellNoTime[] = "????";

// Description document markers.
inline constexpr char kModelDescriptionOpen[] = "<modelDescription>";
inline constexpr char kModelDescriptionClose[] = "</modelDescription>";
inline constexpr char kModelNameOpen[] = "<modelName>";
inline constexpr char kModelNameClose[] = "</modelName>";
inline constexpr char kHostNameQuote[] = "\"";

// What a response without a body leaves in the record.
inline constexpr char kDescriptionNoBody[] = "???";
inline constexpr char kTextUnknown[] = "(unknown)";

// Devices a session keeps at most: no real segment comes near it, and forged announcements
// with ever new USNs must not grow the store without end.
inline constexpr std::size_t kDefaultMaxDevices = 10000;

// Bytes of a description fetch; the record's description field has one more for the NUL.
inline constexpr uint32_t kDescriptionFetchSize = 2047;

// Tones, frequency in Hz and duration in ms.
struct Tone {
  unsigned frequency_hz;
  unsigned duration_ms;
};
inline constexpr Tone kClickTone = {8372, 40};                                   // every datagram
inline constexpr Tone kRisingTune[] = {{1047, 100}, {1319, 100}, {1568, 100}};   // new, returning
inline constexpr Tone kFallingTune[] = {{1568, 100}, {1245, 100}, {1047, 100}};  // byebye
