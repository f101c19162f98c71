#include "agent/basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kBcryptPrefixes[] = {"$2a$", "$2b$", "$2y$"};
// "$2b$10$" then 22 characters of salt and 31 of hash, in bcrypt's own base64 alphabet.
constexpr std::size_t kBcryptHashChars = 60;
constexpr int kMinBcryptCost = 4;
constexpr int kMaxBcryptCost = 31;
constexpr int kDefaultBcryptCost = 10;
constexpr std::size_t kSaltBytes = 16;

bool IsBcryptDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '/';
}

}  // namespace

int BcryptCost(std::string_view hash) {
  return (hash[4] - '0') * 10 + (hash[5] - '0');
}

bool IsBcryptHash(std::string_view hash) {
  if (hash.size() != kBcryptHashChars) return false;
  if (std::none_of(std::begin(kBcryptPrefixes), std::end(kBcryptPrefixes),
                   [hash](std::string_view prefix) { return hash.starts_with(prefix); })) {
    return false;
  }
  if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9' || hash[6] != '$') {
    return false;
  }
  const int cost = BcryptCost(hash);
  if (cost < kMinBcryptCost || cost > kMaxBcryptCost) return false;
  if (!std::all_of(hash.begin() + 7, hash.end(), IsBcryptDigit)) return false;
  // libxcrypt has the last word: a build may leave a variant out.
  const std::string text(hash);
  return crypt_checksalt(text.c_str()) == CRYPT_SALT_OK;
}

bool RunBcryptJob(const BcryptJob& job, crypt_data& scratch) {
  bool match = false;
  for (std::size_t i = 0; i < job.settings.size(); ++i) {
    const std::string& setting = job.settings[i];
    const char* hashed =
        crypt_rn(job.password.c_str(), setting.c_str(), &scratch, static_cast<int>(sizeof scratch));
    if (i == 0) {
      match = job.known && hashed != nullptr && std::strlen(hashed) == setting.size() &&
              CRYPTO_memcmp(hashed, setting.data(), setting.size()) == 0;
    }
  }
  return match;
}

BasicAuth::BasicAuth() : m_crypt(std::make_unique<crypt_data>()) {
  m_salt.resize(kSaltBytes);
  QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(m_salt.data()),
                                        kSaltBytes / sizeof(quint32));
}

BasicAuth::~BasicAuth() = default;

void BasicAuth::SetUsers(std::map<std::string, std::string> users) {
  if (users == m_users) return;
  m_users = std::move(users);
  ++m_generation;
  m_verified.clear();
  m_dummy_settings.clear();
  m_top_cost = 0;
  if (m_users.empty()) return;
  for (const auto& [name, hash] : m_users) {
    m_top_cost = std::max(m_top_cost, IsBcryptHash(hash) ? BcryptCost(hash) : kDefaultBcryptCost);
  }
  for (int cost = kMinBcryptCost; cost <= m_top_cost; ++cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                         sizeof setting) != nullptr) {
      m_dummy_settings[cost] = setting;
    }
  }
}

bool BasicAuth::Check(std::string_view authorization) {
  BcryptJob job;
  const AuthResult prepared = Prepare(authorization, &job);
  if (prepared != AuthResult::kPending) return prepared == AuthResult::kPassed;
  return Finish(job, RunBcryptJob(job, *m_crypt)) == AuthResult::kPassed;
}

AuthResult BasicAuth::Prepare(std::string_view authorization, BcryptJob* job) const {
  if (m_users.empty()) return AuthResult::kPassed;

  // RFC 7617: the scheme name is case-insensitive, one or more spaces follow it.
  constexpr std::string_view kScheme = "basic ";
  if (authorization.size() <= kScheme.size()) return AuthResult::kFailed;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    const char c = authorization[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kScheme[i]) return AuthResult::kFailed;
  }
  std::string_view encoded = authorization.substr(kScheme.size());
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  while (!encoded.empty() && (encoded.back() == ' ' || encoded.back() == '\t')) {
    encoded.remove_suffix(1);
  }

  QByteArray key = CacheKey(encoded);
  if (Cached(key)) return AuthResult::kPassed;

  const auto result = QByteArray::fromBase64Encoding(
      QByteArray(encoded.data(), static_cast<qsizetype>(encoded.size())),
      QByteArray::AbortOnBase64DecodingErrors);
  if (!result) return AuthResult::kFailed;
  const QByteArray& decoded = *result;
  const qsizetype colon = decoded.indexOf(':');
  // A NUL would end the password early for crypt_rn: no hash that htpasswd makes matches it.
  if (colon < 0 || decoded.contains('\0')) return AuthResult::kFailed;
  const std::string name = decoded.left(colon).toStdString();

  *job = BcryptJob{};
  const auto user = m_users.find(name);
  job->known = user != m_users.end() && IsBcryptHash(user->second);
  // Every check costs one run at the highest cost: a user of a lower cost gets runs against
  // throw-away settings of its cost, its cost + 1 ... up to the highest - 1, which add up to
  // the same work (2^c + 2^c + 2^(c+1) + ... = 2^top).
  const int cost = job->known ? BcryptCost(user->second) : m_top_cost;
  const auto dummy = m_dummy_settings.find(cost);
  if (job->known) {
    job->settings.push_back(user->second);
  } else if (dummy != m_dummy_settings.end()) {
    job->settings.push_back(dummy->second);
  } else {
    return AuthResult::kFailed;
  }
  for (int pad = cost; job->known && pad < m_top_cost; ++pad) {
    const auto padding = m_dummy_settings.find(pad);
    if (padding != m_dummy_settings.end()) job->settings.push_back(padding->second);
  }
  for (const std::string& setting : job->settings) job->work += uint64_t{1} << BcryptCost(setting);
  job->password = decoded.mid(colon + 1).toStdString();
  job->key = std::move(key);
  job->generation = m_generation;
  return AuthResult::kPending;
}

AuthResult BasicAuth::Finish(const BcryptJob& job, bool match) {
  ++m_verifications;
  m_work += job.work;
  // Users changed while it ran: what it proved was about users no longer in force.
  if (job.generation != m_generation) return AuthResult::kFailed;
  if (!match) return AuthResult::kFailed;
  Remember(job.key);
  return AuthResult::kPassed;
}

QByteArray BasicAuth::CacheKey(std::string_view authorization) const {
  // Salted, so that a memory dump gives no fast way to try passwords against these digests.
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(m_salt);
  hash.addData(QByteArrayView(authorization.data(), static_cast<qsizetype>(authorization.size())));
  return hash.result();
}

bool BasicAuth::Cached(const QByteArray& key) const {
  return std::find(m_verified.begin(), m_verified.end(), key) != m_verified.end();
}

void BasicAuth::Remember(QByteArray key) {
  // Only verified values are kept: a stream of wrong guesses cannot push out the scraper's.
  if (m_verified.size() >= kBasicAuthCacheEntries) m_verified.pop_front();
  m_verified.push_back(std::move(key));
}
