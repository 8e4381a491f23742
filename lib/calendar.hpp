// The calendar and the texts of times, in one place: the proleptic
// Gregorian calendar without leap seconds, which is what gmtime() and
// timegm() keep, both ways; the dates the formats write; and the times the
// options and SOURCE_DATE_EPOCH give (parseTime and creationTime, in the
// library's contract).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hexlog {

// A time's date and clock, as gmtime() gives them.
struct CivilTime {
  int64_t year;
  unsigned month;    // 1 to 12
  unsigned day;      // 1 to 31
  unsigned weekday;  // 0 is Sunday
  unsigned second;   // of the day
};
CivilTime civilTime(int64_t seconds);
// The day of a time, counted from 1970-01-01, rounded down.
int64_t dayOf(int64_t seconds);
// Days from 1970-01-01 to a date (month 1 to 12).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day);

// "Thu Jan  1 00:00:00 1970\n"
constexpr size_t kDateText = 25;
// "2026-06-14T00:00:20Z"
constexpr size_t kIsoTimeText = 20;

// Records come in time order, many to a day: a writer keeps the text of the
// last day it wrote in one of these and works the date out once per day.
struct DayCache {
  int64_t day = INT64_MIN;
  char text[kDateText];
};

// asctime(gmtime(&t)) for t = seconds, its line feed included.
char* formatDate(char* out, int32_t seconds, DayCache& cache);
char* formatDate(char* out, int32_t seconds);

// strftime("%Y-%m-%dT%H:%M:%SZ", gmtime(&t)).
char* formatIsoTime(char* out, int32_t seconds, DayCache& cache);
char* formatIsoTime(char* out, int32_t seconds);
// The same for any time from the year 0 to 9999, such as a creation time.
std::string isoTime(int64_t seconds);

}  // namespace hexlog
