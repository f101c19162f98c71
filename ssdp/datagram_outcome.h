// What became of a datagram that reached one of the SSDP sockets: exactly one outcome each,
// taken from this closed list, so that "why is my device not shown" always has an answer.
// The sockets decide the first three drops; announcement handling decides the rest.
#pragma once

#include <cstddef>
#include <cstdint>

enum class DatagramOutcome : uint8_t {
  // Accepted.
  kAlive,     // NOTIFY ssdp:alive of the indicator type
  kResponse,  // search response of the indicator type
  kByebye,    // NOTIFY ssdp:byebye of a known device
  kUpdate,    // NOTIFY ssdp:update of a known device, where reboots are followed
  // Dropped by the socket.
  kTooLong,     // longer than the receive buffer
  kEmpty,       // no bytes
  kOwnAddress,  // sent by this host
  // Dropped by announcement handling, in the order of its checks.
  kNoStartLine,
  kOtherMethod,  // other control points' M-SEARCH, anything but NOTIFY or a 200 response
  kNoNts,
  kOtherNts,   // ssdp:update where reboots are not followed, and the like
  kOtherType,  // NT/ST not the indicator type
  kNoLocation,
  kNoUsn,
  kBadMaxAge,  // missing, unparsable or 0
  kByebyeUnknown,
  kBadLocation,  // a LOCATION refused before any connect (its row is still written)
  kTableFull,    // a new device beyond the device table's capacity
};
inline constexpr std::size_t kDatagramOutcomeCount =
    static_cast<std::size_t>(DatagramOutcome::kTableFull) + 1;

// The outcome's stable name, as counters and traces show it: "alive", "other_type", ...
const char* DatagramOutcomeName(DatagramOutcome outcome);

// The trace line of a drop: "Dropped(REASON) from ADDRESS".
void TraceDrop(DatagramOutcome reason, uint32_t address);

[[nodiscard]] constexpr bool IsAccepted(DatagramOutcome outcome) {
  return outcome <= DatagramOutcome::kUpdate;
}
