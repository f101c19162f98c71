#include "ssdp/datagram_outcome.h"

#include "platform/dotted_address.h"
#include "platform/trace.h"

const char* DatagramOutcomeName(DatagramOutcome outcome) {
  switch (outcome) {
    case DatagramOutcome::kAlive:
      return "alive";
    case DatagramOutcome::kResponse:
      return "response";
    case DatagramOutcome::kByebye:
      return "byebye";
    case DatagramOutcome::kUpdate:
      return "update";
    case DatagramOutcome::kTooLong:
      return "too_long";
    case DatagramOutcome::kEmpty:
      return "empty";
    case DatagramOutcome::kOwnAddress:
      return "own_address";
    case DatagramOutcome::kNoStartLine:
      return "no_start_line";
    case DatagramOutcome::kOtherMethod:
      return "other_method";
    case DatagramOutcome::kNoNts:
      return "no_nts";
    case DatagramOutcome::kOtherNts:
      return "other_nts";
    case DatagramOutcome::kOtherType:
      return "other_type";
    case DatagramOutcome::kNoLocation:
      return "no_location";
    case DatagramOutcome::kNoUsn:
      return "no_usn";
    case DatagramOutcome::kBadMaxAge:
      return "bad_max_age";
    case DatagramOutcome::kByebyeUnknown:
      return "byebye_unknown";
    case DatagramOutcome::kBadLocation:
      return "bad_location";
    case DatagramOutcome::kTableFull:
      return "table_full";
  }
  return "unknown";
}

void TraceDrop(DatagramOutcome reason, uint32_t address) {
  char dotted[kDottedAddressSize];
  FormatDottedAddress(address, dotted);
  Trace("Dropped(%s) from %s", DatagramOutcomeName(reason), dotted);
}
