#include "calendar.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "format.hpp"
#include "hexlog/hexlog.hpp"

namespace hexlog {

namespace {

unsigned daysInMonth(int64_t year, unsigned month) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Exactly `count` digits at `p`, as a number.
bool digits(const char*& p, int count, unsigned& value) {
  value = 0;
  for (int i = 0; i < count; ++i, ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p)))
      return false;
    value = value * 10 + static_cast<unsigned>(*p - '0');
  }
  return true;
}


}  // namespace

// Days from 1970-01-01 to the proleptic Gregorian date, by eras of 400
// years whose years begin on March 1, so that the leap day ends the year.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int64_t dayOf(int64_t seconds) {
  return seconds / 86400 - (seconds % 86400 < 0);
}

CivilTime civilTime(int64_t seconds) {
  int64_t days = dayOf(seconds);
  int64_t secondOfDay = seconds - days * 86400;
  int64_t weekday = (days + 4) % 7;  // 1970-01-01 was a Thursday
  if (weekday < 0)
    weekday += 7;

  // A date from a day count, by 400-year eras whose years start on March 1,
  // so that the leap day ends the year.
  int64_t shifted = days + 719468;  // days from 0000-03-01
  int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  int64_t dayOfEra = shifted - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  CivilTime civil;
  civil.day = static_cast<unsigned>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  civil.month = static_cast<unsigned>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  civil.year = yearOfEra + era * 400 + (civil.month <= 2);
  civil.weekday = static_cast<unsigned>(weekday);
  civil.second = static_cast<unsigned>(secondOfDay);
  return civil;
}

namespace {

// "hh:mm:ss".
void writeClock(char* out, unsigned second) {
  writeTwoDigits(out, second / 3600);
  out[2] = ':';
  writeTwoDigits(out + 3, second / 60 % 60);
  out[5] = ':';
  writeTwoDigits(out + 6, second % 60);
}

// Four digits: a 32-bit time lies within the years 1901 to 2038, a
// creation time within 1970 to 9999.
void writeYear(char* out, int64_t year) {
  writeTwoDigits(out, static_cast<unsigned>(year / 100));
  writeTwoDigits(out + 2, static_cast<unsigned>(year % 100));
}

// "2026-06-14T"
void writeIsoDay(char* out, const CivilTime& civil) {
  writeYear(out, civil.year);
  out[4] = '-';
  writeTwoDigits(out + 5, civil.month);
  out[7] = '-';
  writeTwoDigits(out + 8, civil.day);
  out[10] = 'T';
}

}  // namespace

char* formatDate(char* out, int32_t seconds, DayCache& cache) {
  static const char kWeekdays[] = "SunMonTueWedThuFriSat";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", the day's parts from the cache.
  char* date = cache.text;
  int64_t day = dayOf(seconds);
  if (day != cache.day) {
    CivilTime civil = civilTime(seconds);
    std::memcpy(date, kWeekdays + 3 * civil.weekday, 3);
    date[3] = ' ';
    std::memcpy(date + 4, kMonths + 3 * (civil.month - 1), 3);
    date[7] = ' ';
    if (civil.day < 10) {
      date[8] = ' ';
      date[9] = static_cast<char>('0' + civil.day);
    } else {
      writeTwoDigits(date + 8, civil.day);
    }
    date[10] = ' ';
    date[19] = ' ';
    writeYear(date + 20, civil.year);
    date[24] = '\n';
    cache.day = day;
  }
  std::memcpy(out, date, kDateText);
  writeClock(out + 11, static_cast<unsigned>(seconds - day * 86400));
  return out + kDateText;
}

char* formatDate(char* out, int32_t seconds) {
  DayCache cache;
  return formatDate(out, seconds, cache);
}

char* formatIsoTime(char* out, int32_t seconds, DayCache& cache) {
  // The day's text, from the cache.
  char* date = cache.text;
  int64_t day = dayOf(seconds);
  if (day != cache.day) {
    writeIsoDay(date, civilTime(seconds));
    cache.day = day;
  }
  std::memcpy(out, date, 11);
  writeClock(out + 11, static_cast<unsigned>(seconds - day * 86400));
  out[19] = 'Z';
  return out + kIsoTimeText;
}

char* formatIsoTime(char* out, int32_t seconds) {
  DayCache cache;
  return formatIsoTime(out, seconds, cache);
}

std::string isoTime(int64_t seconds) {
  CivilTime civil = civilTime(seconds);
  char text[kIsoTimeText];
  writeIsoDay(text, civil);
  writeClock(text + 11, civil.second);
  text[19] = 'Z';
  return std::string(text, sizeof text);
}

bool parseTime(const std::string& text, int64_t& seconds) {
  const char* p = text.c_str();
  if (*p == '@') {
    const char* number = p + 1;
    char* end;
    if (!(std::isdigit(static_cast<unsigned char>(*number)) ||
          ((*number == '-' || *number == '+') && std::isdigit(static_cast<unsigned char>(number[1])))))
      return false;
    errno = 0;
    long long value = std::strtoll(number, &end, 10);
    if (*end != '\0' || errno == ERANGE)
      return false;
    seconds = value;
    return true;
  }
  //   2026-06-14[(T| )06:00[:00]][Z|+02:00|+0200|+02]
  unsigned year, month, day, hour = 0, minute = 0, second = 0;
  if (!digits(p, 4, year) || *p++ != '-' || !digits(p, 2, month) || *p++ != '-' || !digits(p, 2, day))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
    return false;
  if (*p == 'T' || *p == ' ') {
    ++p;
    if (!digits(p, 2, hour) || *p++ != ':' || !digits(p, 2, minute))
      return false;
    if (*p == ':' && (++p, !digits(p, 2, second)))
      return false;
    if (hour > 23 || minute > 59 || second > 59)
      return false;
  }
  int64_t offset = 0;
  if (*p == 'Z') {
    ++p;
  } else if (*p == '+' || *p == '-') {
    int sign = *p++ == '-' ? -1 : 1;
    unsigned hours, minutes = 0;
    if (!digits(p, 2, hours))
      return false;
    if (*p == ':')
      ++p;
    if (*p != '\0' && !digits(p, 2, minutes))
      return false;
    if (hours > 23 || minutes > 59)
      return false;
    offset = sign * (int64_t{hours} * 3600 + minutes * 60);
  }
  if (*p != '\0')
    return false;
  seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
  return true;
}

bool creationTime(const char* text, int64_t& seconds, std::string& error) {
  if (text == nullptr || *text == '\0') {
    seconds = static_cast<int64_t>(std::time(nullptr));
    return true;
  }
  // The last second of the year 9999: ISO 8601 dates have four-digit years.
  constexpr int64_t kLast = 253402300799;
  int64_t value = 0;
  const char* p = text;
  for (; std::isdigit(static_cast<unsigned char>(*p)) && value <= kLast; ++p)
    value = value * 10 + (*p - '0');
  if (*p != '\0' || value > kLast) {
    error = std::string("SOURCE_DATE_EPOCH=") + text +
            " is no time: write seconds since 1970 in digits, at most 253402300799 (9999-12-31T23:59:59Z)";
    return false;
  }
  seconds = value;
  return true;
}

}  // namespace hexlog
