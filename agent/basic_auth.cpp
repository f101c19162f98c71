#include "agent/basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <algorithm>
#include <cstring>

#include "platform/clock.h"

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

// The cost of a hash that passed IsBcryptHash.
int BcryptCost(std::string_view hash) {
  return (hash[4] - '0') * 10 + (hash[5] - '0');
}

}  // namespace

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

BasicAuth::BasicAuth() : m_crypt(std::make_unique<crypt_data>()) {
  m_salt.resize(kSaltBytes);
  QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(m_salt.data()),
                                        kSaltBytes / sizeof(quint32));
}

BasicAuth::~BasicAuth() = default;

void BasicAuth::SetUsers(std::map<std::string, std::string> users) {
  m_users = std::move(users);
  m_verified.clear();
  m_dummy_setting.clear();
  if (m_users.empty()) return;
  int cost = kMinBcryptCost;
  for (const auto& [name, hash] : m_users) {
    if (IsBcryptHash(hash)) cost = std::max(cost, BcryptCost(hash));
  }
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                       sizeof setting) != nullptr) {
    m_dummy_setting = setting;
  } else if (crypt_gensalt_rn("$2b$", kDefaultBcryptCost, nullptr, 0, setting, sizeof setting) !=
             nullptr) {
    m_dummy_setting = setting;
  }
}

BcryptBudget::BcryptBudget(const MonotonicClock& clock, std::int64_t ms_per_second,
                           std::int64_t burst_ms)
    : m_clock(clock),
      m_us_per_ms(ms_per_second),
      m_burst_us(burst_ms * 1000),
      m_left_us(m_burst_us),
      m_refilled_at_ms(clock.NowMs()) {}

void BcryptBudget::Refill() {
  const std::int64_t now = m_clock.NowMs();
  if (now <= m_refilled_at_ms) return;
  m_left_us = std::min(m_burst_us, m_left_us + (now - m_refilled_at_ms) * m_us_per_ms);
  m_refilled_at_ms = now;
}

bool BcryptBudget::MayRun() {
  Refill();
  return m_left_us > 0;
}

void BcryptBudget::Spent(std::int64_t start_ms) {
  Refill();
  // A run shorter than the clock's tick still costs one: a flood of cheap runs adds up.
  m_left_us -= std::max<std::int64_t>(1, m_clock.NowMs() - start_ms) * 1000;
}

bool BasicAuth::Check(std::string_view authorization) {
  return Verify(authorization, nullptr) == AuthResult::kPassed;
}

AuthResult BasicAuth::Verify(std::string_view authorization, BcryptBudget* budget) {
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

  const QByteArray key = CacheKey(encoded);
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
  const std::string password = decoded.mid(colon + 1).toStdString();

  const auto user = m_users.find(name);
  const bool known = user != m_users.end();
  const std::string& setting = known ? user->second : m_dummy_setting;
  if (setting.empty()) return AuthResult::kFailed;

  if (budget != nullptr && !budget->MayRun()) return AuthResult::kThrottled;
  const std::int64_t start_ms = budget != nullptr ? budget->Clock().NowMs() : 0;
  ++m_verifications;
  const char* hashed = crypt_rn(password.c_str(), setting.c_str(), m_crypt.get(),
                                static_cast<int>(sizeof(crypt_data)));
  if (budget != nullptr) budget->Spent(start_ms);
  const bool match = known && hashed != nullptr && std::strlen(hashed) == setting.size() &&
                     CRYPTO_memcmp(hashed, setting.data(), setting.size()) == 0;
  if (match) Remember(key);
  return match ? AuthResult::kPassed : AuthResult::kFailed;
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
