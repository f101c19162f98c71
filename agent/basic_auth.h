// Basic authentication of the agent's HTTP requests against the web configuration's users
// (name → bcrypt hash), verified by libxcrypt. A BasicAuth owns its users and a small cache of
// header values already verified, kept as salted SHA-256 digests, never as passwords. It
// never runs bcrypt itself on the event loop: Prepare says what a value needs, a BcryptJob
// runs anywhere (agent/bcrypt_pool.h), and Finish takes its outcome back. BasicAuth is
// single-threaded, on the event loop that answers the requests; RunBcryptJob may run on any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QByteArray>

struct crypt_data;

// Header values remembered after a successful check; the oldest goes first.
inline constexpr std::size_t kBasicAuthCacheEntries = 64;

// Whether `hash` is a bcrypt hash ($2a$, $2b$ or $2y$, cost 04 to 31) that libxcrypt accepts.
bool IsBcryptHash(std::string_view hash);
// The cost of a hash that passed IsBcryptHash.
int BcryptCost(std::string_view hash);

enum class AuthResult {
  kPassed,     // no users, a cached value, or the right password
  kFailed,     // missing, malformed or wrong
  kThrottled,  // would need a bcrypt run and none may start now: not checked
  kPending,    // needs the bcrypt runs of the BcryptJob that Prepare filled in
};

// The bcrypt runs one credential needs: the password against its user's hash, padded with
// runs against throw-away settings so that every check costs what one at the users' highest
// cost does, for a known name, an unknown one and a user of a lower cost alike. Plain values,
// safe to move to another thread.
struct BcryptJob {
  std::string password;
  // settings[0] is compared: the user's hash, or a throw-away one for an unknown name.
  std::vector<std::string> settings;
  bool known = false;       // settings[0] is a user's hash
  QByteArray key;           // the cache key of the header value
  uint64_t generation = 0;  // the users it was prepared against
  uint64_t work = 0;        // the sum of 2^cost over the settings
};

// Runs every setting of `job` in `scratch`. True when the password gives settings[0] and the
// name is known. Touches nothing but its arguments.
bool RunBcryptJob(const BcryptJob& job, crypt_data& scratch);

class BasicAuth final {
 public:
  BasicAuth();
  ~BasicAuth();
  BasicAuth(const BasicAuth&) = delete;
  BasicAuth& operator=(const BasicAuth&) = delete;

  // Replaces the users (hashes checked with IsBcryptHash beforehand). When they differ from
  // those in force, every verified header value is forgotten, so that a removed user or a
  // changed password stops working now, and jobs prepared before are not remembered; the same
  // users again (a reload for a renewed certificate) keep what was verified.
  void SetUsers(std::map<std::string, std::string> users);

  // Whether any user is configured; without one every request passes.
  [[nodiscard]] bool Enabled() const { return !m_users.empty(); }

  // What `authorization`, the value of a request's Authorization field ("Basic " and base64
  // of "name:password"), needs: kPassed with no users or a value verified before, kFailed for
  // a missing or malformed one, else kPending with `*job` filled: a well-formed value costs
  // its bcrypt runs, also for a name that does not exist, so that timing does not tell names
  // apart. No bcrypt runs here.
  AuthResult Prepare(std::string_view authorization, BcryptJob* job) const;
  // The outcome of `job`, prepared by this BasicAuth: kPassed or kFailed. A match is
  // remembered while the users are still those it was prepared against. Counts the runs.
  AuthResult Finish(const BcryptJob& job, bool match);

  // Prepare, RunBcryptJob and Finish in one, on the calling thread: true when `authorization`
  // passes.
  bool Check(std::string_view authorization);

  // Credentials checked with bcrypt so far: what the cache saved shows here.
  [[nodiscard]] std::uint64_t Verifications() const { return m_verifications; }
  // bcrypt work done so far, in runs of cost 0 (a run of cost 10 is 1024 of them).
  [[nodiscard]] std::uint64_t Work() const { return m_work; }

 private:
  QByteArray CacheKey(std::string_view authorization) const;
  bool Cached(const QByteArray& key) const;
  void Remember(QByteArray key);

  std::map<std::string, std::string> m_users;
  int m_top_cost = 0;  // the users' highest cost
  // A throw-away bcrypt setting for each cost from 4 to the users' highest.
  std::map<int, std::string> m_dummy_settings;
  QByteArray m_salt;
  std::deque<QByteArray> m_verified;
  std::unique_ptr<crypt_data> m_crypt;  // for Check
  std::uint64_t m_generation = 0;
  std::uint64_t m_verifications = 0;
  std::uint64_t m_work = 0;
};
