// TIME as --from and --to take it.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "hexlog/hexlog.hpp"

namespace hexlog {

namespace {

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

int32_t parseStartChars(const char* s) {
  while (std::isspace(static_cast<unsigned char>(*s)))
    ++s;
  bool negative = *s == '-';
  if (*s == '+' || *s == '-')
    ++s;
  int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)) && value <= INT32_MAX; ++s)
    value = value * 10 + (*s - '0');
  if (negative)
    return value > -static_cast<int64_t>(INT32_MIN) ? INT32_MIN : static_cast<int32_t>(-value);
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
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
