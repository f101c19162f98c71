// What the agent's HTTP side counts, for its own lines in /metrics: answers by status code,
// connections refused or cut by reason, bcrypt runs and throttled checks, targets left out,
// and the web configuration's reloads. Plain numbers, owned by the FleetAgent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>

// Why a connection was refused at accept or closed by the agent: a closed list.
enum class ConnectionCut : uint8_t {
  kFull,            // every slot was busy answering: the newcomer was closed
  kEvicted,         // closed to make room for a newcomer
  kRequestTimeout,  // a request not whole within kRequestDeadlineMs of its first byte
  kHeadTooLarge,    // a request over kMaxRequestHeadBytes (answered 431)
  kWriteStalled,    // unsent answers made no progress for kIdleTimeoutMs
  kBacklog,         // another request while kMaxHeldRequests were held back
  kTlsHandshake,    // no TLS session: plain HTTP, a failed or abandoned handshake
  kAnswerTimeout,   // an answer not taken whole within kAnswerDeadlineMs of its first byte
};
inline constexpr std::size_t kConnectionCutCount = 8;
inline constexpr const char* kConnectionCutNames[kConnectionCutCount] = {
    "full",          "evicted", "request_timeout", "head_too_large",
    "write_stalled", "backlog", "tls_handshake",   "answer_timeout"};

struct HttpCounters {
  std::map<int, uint64_t> answers;  // by status code
  std::array<uint64_t, kConnectionCutCount> cuts{};
  uint64_t bcrypt_runs = 0;
  uint64_t auth_throttled = 0;               // answered 429: the bcrypt budget was spent
  uint64_t rate_limited = 0;                 // answered 429: the web configuration's rate_limit
  uint64_t targets_foreign_host = 0;         // the page on another host
  uint64_t targets_foreign_description = 0;  // named by a description from another host
  // With --web-config: whether the last load or reload worked, and when one last did
  // (seconds since 1970).
  bool web_config = false;
  bool web_config_reload_ok = false;
  int64_t web_config_reload_success_time = 0;

  void Cut(ConnectionCut cut) { ++cuts[static_cast<std::size_t>(cut)]; }
};
