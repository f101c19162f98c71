// Whether the devices of a long watch are still there, counted on the boot clock. A device
// whose announcement runs out is asked directly before it is called lost: a unicast search to
// its own address and a fresh fetch of its description, a few times within a bounded window,
// paced at one rate for all devices; any answer keeps it. Per interface, whether multicast
// still crosses the segment: when the devices there are kept up only by being asked, for
// longer than the longest max-age seen there, it is the path that is down, not the devices.
// Borrows the registry, the events, the clock and the senders, which must outlive it. Runs on
// the event loop's thread; every callback it makes or takes runs there too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "devices/description_source.h"

class DeviceEvents;
class DeviceRegistry;
class MonotonicClock;
class UnicastSender;
struct DeviceEvent;

// The longest an announcement is trusted without asking the device: a max-age beyond it (or
// one that a sign turned into a huge number) is taken as this.
inline constexpr uint32_t kLongestTrustedMaxAge = 86400;
[[nodiscard]] inline uint32_t TrustedMaxAge(uint32_t max_age) {
  return max_age < kLongestTrustedMaxAge ? max_age : kLongestTrustedMaxAge;
}

// How an accepted announcement reached us: to the group or as the answer to a search sent to
// the group; or as the answer to a unicast search (a quiet device asked directly, or a device
// beyond a router searched on its own).
enum class HeardVia : uint8_t { kGroup, kUnicast };

// How asking a quiet device ended.
enum class ProbeOutcome : uint8_t {
  kSearch,       // it answered the unicast search
  kDescription,  // it answered the fetch of its description
  kAnnounced,    // it announced itself before any answer came
  kUnanswered,   // nothing came within the window: it is lost
};
inline constexpr std::size_t kProbeOutcomeCount = 4;
// "search", "description", "announced" or "unanswered".
const char* ProbeOutcomeName(ProbeOutcome outcome);

struct LivenessPolicy {
  int64_t window_ms = 20000;  // from the end of a device's validity to lost, if nothing answers
  int tries = 4;              // unicast searches within the window, evenly spaced
  int64_t try_spacing_ms = 5000;
  int fetch_timeout_ms = 4000;  // each description fetch; the first and the third try fetch
  int rate_per_second = 200;    // searches and fetches together, for all devices
};

// Multicast across one interface: up unless its devices are kept only by being asked.
struct MulticastPath {
  std::string interface;
  bool up = true;
};

class DeviceLiveness {
 public:
  // Fetches the description of device `usn` afresh within `timeout_ms`, from where the
  // front end last saw it (PooledDescriptions::Refetch of its LOCATION); false, settling
  // nothing, when it knows of none.
  using Refetch =
      std::function<bool(const std::string& usn, int timeout_ms, DescriptionSource::Settle settle)>;
  // The name of the interface that datagrams to an address (network byte order) leave
  // through, or "" when none; and the names of every interface there is now.
  using InterfaceOf = std::function<std::string(uint32_t address)>;
  using InterfaceNames = std::function<std::vector<std::string>()>;
  using PathObserver = std::function<void(const MulticastPath& path)>;

  DeviceLiveness(DeviceRegistry& registry, DeviceEvents& events, const MonotonicClock& clock,
                 UnicastSender& searcher, Refetch refetch, InterfaceOf interface_of,
                 InterfaceNames interface_names, LivenessPolicy policy = {});
  ~DeviceLiveness();
  DeviceLiveness(const DeviceLiveness&) = delete;
  DeviceLiveness& operator=(const DeviceLiveness&) = delete;

  // An accepted alive or search answer of `usn` from `address` (network byte order): valid
  // for `max_age` seconds from now; a device being asked is kept by it. Only devices heard
  // through the group count for the path of their interface: one beyond a router never is.
  void Heard(const std::string& usn, uint32_t address, uint32_t max_age, HeardVia via);
  // A device known from before a restart: gone until it is heard again, and asked at the next
  // search.
  void Restored(const std::string& usn, uint32_t address);
  // Every second: starts asking the devices whose validity ran out, sends the tries that are
  // due as the rate allows, and calls lost those that answered nothing within the window.
  void Sweep();
  // With every search: the devices that are gone (lost, byebye, restored) get one unicast
  // search each, paced like the tries. When multicast is broken, their return would otherwise
  // never be heard.
  void AskGone();

  [[nodiscard]] std::vector<MulticastPath> Paths() const;
  // Tells of every change of a path.
  void SetPathObserver(PathObserver observer) { m_path_observer = std::move(observer); }
  [[nodiscard]] const std::array<uint64_t, kProbeOutcomeCount>& Outcomes() const {
    return m_outcomes;
  }
  // Unicast searches sent to ask devices.
  [[nodiscard]] uint64_t SearchesSent() const { return m_searches_sent; }

 private:
  enum class State : uint8_t { kUp, kAsking, kGone };
  // Small, for an agent keeps ten thousand of them.
  static constexpr uint16_t kNoPath = UINT16_MAX;
  struct Device {
    int64_t expires_ms = 0;  // on the boot clock
    int64_t window_start_ms = 0;
    uint32_t window = 0;  // which window a fetch's answer belongs to
    uint32_t address = 0;
    uint32_t max_age = 0;
    uint16_t path = kNoPath;  // in m_paths; kNoPath until heard through the group
    State state = State::kUp;
    uint8_t tries = 0;  // sent in this window
    bool fetching = false;
    bool path_looked_up = false;
  };
  struct Path {
    std::string interface;
    int64_t last_group_ms = 0;  // multicast from a device there last came
    int64_t last_asked_ms = 0;  // a device there was last kept by being asked
    uint32_t longest_max_age = 0;
    bool up = true;
  };

  void OnEvent(const DeviceEvent& event);
  void StartAsking(Device& device, int64_t now);
  // Sends a try's search; true when the try fetches the description too.
  bool SendTry(Device& device);
  void Fetch(const std::string& usn, Device& device);
  void Search(uint32_t address);
  void OnFetched(const std::string& usn, uint32_t window, const DescriptionResult& result);
  // The path of `interface`, made when first named; kNoPath for "".
  uint16_t PathOf(const std::string& interface);
  void Keep(const std::string& usn, Device& device, ProbeOutcome outcome);
  void Lose(const std::string& usn);
  // Takes what the rate allows since the last call; true when one request may go.
  bool TakeToken();
  void UpdatePaths(int64_t now);

  DeviceRegistry& m_registry;
  DeviceEvents& m_events;
  int m_subscription = 0;
  const MonotonicClock& m_clock;
  UnicastSender& m_searcher;
  Refetch m_refetch;
  InterfaceOf m_interface_of;
  InterfaceNames m_interface_names;
  LivenessPolicy m_policy;
  std::unordered_map<std::string, Device> m_devices;
  std::deque<std::string> m_gone_to_ask;
  std::vector<Path> m_paths;
  int64_t m_started_ms;
  double m_tokens = 0;
  int64_t m_tokens_at_ms = 0;
  uint32_t m_next_window = 0;
  std::array<uint64_t, kProbeOutcomeCount> m_outcomes{};
  uint64_t m_searches_sent = 0;
  PathObserver m_path_observer;
};

// Whether a fetched description `response` says the device is there: status 200, and its UDN,
// when it names one, is the one `usn` begins with. Another host that took the address over
// answers too, but not as this device.
bool DescriptionAnswersFor(const char* response, std::string_view usn);
