#include "formats/time_text.h"

#include <cstdio>
#include <ctime>

#include "parse/text.h"

std::string LocalTimeText(int64_t seconds) {
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  const long offset_minutes = local.tm_gmtoff / 60;
  const long offset = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  const int year = local.tm_year + 1900;
  char text[64];
  if (year < 0 || year > 9999 || offset / 60 > 99) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", year,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
  }
  // "YYYY-MM-DDThh:mm:ss+hh:mm", by hand: a watch writes two of them for every event.
  char* p = PutTwoDigits(PutTwoDigits(text, year / 100), year % 100);
  *p++ = '-';
  p = PutTwoDigits(p, local.tm_mon + 1);
  *p++ = '-';
  p = PutTwoDigits(p, local.tm_mday);
  *p++ = 'T';
  p = PutTwoDigits(p, local.tm_hour);
  *p++ = ':';
  p = PutTwoDigits(p, local.tm_min);
  *p++ = ':';
  p = PutTwoDigits(p, local.tm_sec);
  *p++ = offset_minutes < 0 ? '-' : '+';
  p = PutTwoDigits(p, static_cast<int>(offset / 60));
  *p++ = ':';
  p = PutTwoDigits(p, static_cast<int>(offset % 60));
  return std::string(text, p);
}
