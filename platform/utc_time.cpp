#include "platform/utc_time.h"

#include <cstdio>

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back
// (H. Hinnant's days_from_civil and civil_from_days).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2);
}

int64_t FloorDiv(int64_t value, int64_t divisor) {
  return value / divisor - (value % divisor != 0 && (value < 0) != (divisor < 0));
}

}  // namespace

void UtcCalendar(int64_t seconds, std::tm* out) {
  const int64_t days = FloorDiv(seconds, 86400);
  const int64_t inDay = seconds - days * 86400;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  *out = std::tm{};
  out->tm_year = static_cast<int>(year - 1900);
  out->tm_mon = static_cast<int>(month) - 1;
  out->tm_mday = static_cast<int>(day);
  out->tm_hour = static_cast<int>(inDay / 3600);
  out->tm_min = static_cast<int>(inDay / 60 % 60);
  out->tm_sec = static_cast<int>(inDay % 60);
  out->tm_wday = static_cast<int>(days + 4 - FloorDiv(days + 4, 7) * 7);  // 1970-01-01 was a Thursday
  out->tm_yday = static_cast<int>(days - DaysFromCivil(year, 1, 1));
}

std::optional<int64_t> ParseUtcText(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, length = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &year, &month, &day, &hour, &minute, &second,
                  &length) != 6 ||
      static_cast<size_t>(length) != text.size())
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
         minute * 60 + second;
}

bool LocalCalendar(std::time_t seconds, std::tm* out) {
#ifdef _WIN32
  return localtime_s(out, &seconds) == 0;
#else
  return localtime_r(&seconds, out) != nullptr;
#endif
}
