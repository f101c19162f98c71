// Times as reports and documents write them: local time with its offset, so that a reader in
// another zone still knows the moment.
#pragma once

#include <cstdint>
#include <string>

// `seconds` since 1970 UTC as ISO 8601 local time with its offset,
// "2024-05-01T14:30:05+02:00"; "" when the system cannot convert it.
std::string LocalTimeText(int64_t seconds);
