// The texts the details panel and the scanner read out of a device's description: each is
// the plain text between two markers in the record's description, found with ExtractBetween
// (no XML parsing, nothing trimmed or unescaped) and cut at 255 characters. The markers live
// here so that every front end reads a description the same way.
#pragma once

#include <cstddef>

#include "devices/announcement_protocol.h"  // kModelNameOpen, kModelNameClose

struct DeviceRecord;

enum class DescriptionField { kModelName, kModelNumber, kSerialNumber, kGuid, kPageUrl };

// Room for a field's text: at most 255 characters and the terminator.
inline constexpr std::size_t kDescriptionFieldSize = 256;

inline constexpr char kModelNumberOpen[] = "<modelNumber>";
inline constexpr char kModelNumberClose[] = "</modelNumber>";
inline constexpr char kSerialNumberOpen[] = "<serialNumber>";
inline constexpr char kSerialNumberClose[] = "</serialNumber>";
// The GUID is the UDN without its "uuid:" prefix; a UDN without exactly that prefix gives none.
inline constexpr char kGuidOpen[] = "<UDN>uuid:";
inline constexpr char kGuidClose[] = "</UDN>";
inline constexpr char kPageUrlOpen[] = "<presentationURL>";
inline constexpr char kPageUrlClose[] = "</presentationURL>";

// Copies the field's text out of `record.description` into `out` and terminates it. Returns
// its length; 0 with `out` empty when a marker is missing.
std::size_t ReadDescriptionField(const DeviceRecord& record, DescriptionField field,
                                 char (&out)[kDescriptionFieldSize]);
