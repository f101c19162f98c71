// One discovered device. Records are created by announcement handling, carried by their
// list row as item data and owned by it; they live until the rows are freed at the end.
// The short text fields are fixed-size and always terminated; copies go through CopyText.
// The longer texts are kept at their real length, the description shared with the pool's
// cache where it came from there: the agent keeps ten thousand records on small machines.
#pragma once

#include <cstdint>
#include <string>

#include "devices/shared_text.h"

struct DeviceRecord {
  int32_t row_index = -1;         // position of the record's row; -1 until it has one
  uint32_t address = 0;           // sender of the last accepted announcement, network order
  int32_t valid_until = 0;        // seconds since 1970 UTC; 0 when not valid
  char address_text[32] = {};     // dotted form of address
  char status[32] = {};           // "new", "online", "changed" or "byebye"
  char host_name[32] = {};        // first double-quoted text inside model_description
  char device_type[32] = {};      // text of the description's modelName element
  char usn[256] = {};             // unique service name: the record's key
  std::string model_description;  // the modelDescription element, at most 255 characters
  SharedText description;  // body of the last description fetch, at most kDescriptionFetchSize
};
