#include "carve/Dates.h"

#include <cstddef>

namespace carve {

namespace {

constexpr std::int64_t DaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

bool Digits(const char* text, std::size_t at, std::size_t count, int* value) {
  int result = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
  }
  *value = result;
  return true;
}

}  // namespace

std::uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
  static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > monthDays[month - 1]) return 0;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return 0;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) return 0;
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + DaysFrom1601To1970;
  const std::uint64_t seconds = static_cast<std::uint64_t>(days) * 86400 +
                                static_cast<std::uint64_t>(hour * 3600 + minute * 60 + second);
  return seconds * FileTimeTicksPerSecond;
}

std::uint64_t FileTimeAfter(std::uint64_t epochSeconds, std::uint64_t seconds) {
  // Past year 30827 is no date (and would overflow the ticks).
  constexpr std::uint64_t MaxSeconds = UINT64_MAX / FileTimeTicksPerSecond / 2;
  if (seconds == 0 || seconds > MaxSeconds) return 0;
  return (epochSeconds + seconds) * FileTimeTicksPerSecond;
}

std::uint64_t FileTimeOfExif(const char* text, std::size_t length) {
  if (length < 19 || text[4] != ':' || text[7] != ':' || text[10] != ' ' || text[13] != ':' || text[16] != ':')
    return 0;
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, &year) || !Digits(text, 5, 2, &month) || !Digits(text, 8, 2, &day) ||
      !Digits(text, 11, 2, &hour) || !Digits(text, 14, 2, &minute) || !Digits(text, 17, 2, &second))
    return 0;
  return FileTimeOf(year, month, day, hour, minute, second);
}

}  // namespace carve
