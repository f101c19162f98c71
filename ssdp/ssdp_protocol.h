// Texts and numbers of SSDP as this program speaks it, shared by the search sender and by
// announcement handling so that both use the same values.
#pragma once

// Sent as ST in every search request; an announcement must carry it as NT (or, without NT,
// as ST) to be taken.
inline constexpr char SEARCH_TARGET[] = "urn:schemas-velmorant-com:device:indicator:1";
