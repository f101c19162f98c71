// Basic authentication of the agent's HTTP requests against the web configuration's users
// (name → bcrypt hash), verified by libxcrypt. A BasicAuth owns its users and a small cache of
// header values already verified, kept as salted SHA-256 digests, never as passwords; a
// BcryptBudget bounds the share of the event loop that bcrypt may take. Single-threaded: both
// live on the event loop that answers the requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <QByteArray>

struct crypt_data;
class MonotonicClock;

// Header values remembered after a successful check; the oldest goes first.
inline constexpr std::size_t kBasicAuthCacheEntries = 64;

// Whether `hash` is a bcrypt hash ($2a$, $2b$ or $2y$, cost 04 to 31) that libxcrypt accepts.
bool IsBcryptHash(std::string_view hash);

// The time bcrypt may take on the event loop: a bucket of milliseconds that refills at
// `ms_per_second` up to `burst_ms`. A run may start while the bucket holds anything; what it
// took is then taken out, so one slow run (a high cost) may leave the bucket in debt. Counted
// in time, not runs, so that a cost of 12 is bounded as tightly as one of 10.
class BcryptBudget final {
 public:
  BcryptBudget(const MonotonicClock& clock, std::int64_t ms_per_second, std::int64_t burst_ms);
  BcryptBudget(const BcryptBudget&) = delete;
  BcryptBudget& operator=(const BcryptBudget&) = delete;

  // Whether a run may start now.
  [[nodiscard]] bool MayRun();
  // A run that started at `start_ms` (the clock's time) has ended now.
  void Spent(std::int64_t start_ms);
  [[nodiscard]] const MonotonicClock& Clock() const { return m_clock; }

 private:
  void Refill();

  const MonotonicClock& m_clock;
  // Microseconds of budget gained per millisecond: `ms_per_second` of them per second.
  std::int64_t m_us_per_ms;
  std::int64_t m_burst_us;
  std::int64_t m_left_us;
  std::int64_t m_refilled_at_ms;
};

enum class AuthResult {
  kPassed,     // no users, a cached value, or the right password
  kFailed,     // missing, malformed or wrong
  kThrottled,  // would need a bcrypt run and the budget has none: not checked
};

class BasicAuth final {
 public:
  BasicAuth();
  ~BasicAuth();
  BasicAuth(const BasicAuth&) = delete;
  BasicAuth& operator=(const BasicAuth&) = delete;

  // Replaces the users (hashes checked with IsBcryptHash beforehand) and forgets every
  // verified header value, so that a removed user or a changed password stops working now.
  void SetUsers(std::map<std::string, std::string> users);

  // Whether any user is configured; without one every request passes.
  [[nodiscard]] bool Enabled() const { return !m_users.empty(); }

  // Whether `authorization`, the value of a request's Authorization field ("Basic " and
  // base64 of "name:password"), names a user with the right password; true for anything when
  // no user is configured. A well-formed value costs one bcrypt run unless it was verified
  // before, also for a name that does not exist, so that timing does not tell names apart.
  bool Check(std::string_view authorization);
  // Check, with bcrypt runs bounded by `budget` (none when null): a value that would need a
  // run while the budget is spent gives kThrottled, and nothing is verified or remembered.
  AuthResult Verify(std::string_view authorization, BcryptBudget* budget);

  // bcrypt runs so far: what the cache saved shows here.
  [[nodiscard]] std::uint64_t Verifications() const { return m_verifications; }

 private:
  QByteArray CacheKey(std::string_view authorization) const;
  bool Cached(const QByteArray& key) const;
  void Remember(QByteArray key);

  std::map<std::string, std::string> m_users;
  // A bcrypt setting of the users' highest cost, for names that do not exist.
  std::string m_dummy_setting;
  QByteArray m_salt;
  std::deque<QByteArray> m_verified;
  std::unique_ptr<crypt_data> m_crypt;
  std::uint64_t m_verifications = 0;
};
