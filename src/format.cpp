#include "format.hpp"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* writeTwoDigits(char* out, unsigned n) {
  std::memcpy(out, kDigitPairs + 2 * n, 2);
  return out + 2;
}

char* writeUnsigned(char* out, uint64_t n) {
  size_t length = 1;
  for (uint64_t rest = n / 10; rest != 0; rest /= 10)
    ++length;
  char* p = out + length;
  while (n >= 100) {
    p -= 2;
    writeTwoDigits(p, static_cast<unsigned>(n % 100));
    n /= 100;
  }
  if (n >= 10)
    writeTwoDigits(p - 2, static_cast<unsigned>(n));
  else
    p[-1] = static_cast<char>('0' + n);
  return out + length;
}

// "000" to "999", four bytes apart for whole-word loads.
struct ThreeDigits {
  char text[1000][4];
  constexpr ThreeDigits() : text() {
    for (int n = 0; n < 1000; ++n) {
      text[n][0] = static_cast<char>('0' + n / 100);
      text[n][1] = static_cast<char>('0' + n / 10 % 10);
      text[n][2] = static_cast<char>('0' + n % 10);
      text[n][3] = '.';
    }
  }
};
constexpr ThreeDigits kThreeDigits;

}  // namespace

char* formatValue(char* out, uint32_t word) {
  float value;
  std::memcpy(&value, &word, sizeof value);
  // Exact: a 24-bit significand times 1000 (10 bits) fits in a double's 53,
  // so rounding `scaled` to an integer rounds the exact value to 3 decimals.
  double scaled = static_cast<double>(value) * 1000.0;
  double magnitude = std::fabs(scaled);
  if (!(magnitude < 0x1p63))  // too large for the integer path, or NaN
    return out + std::snprintf(out, kMaxValueText, "%.3f", static_cast<double>(value));

  if (word >> 31)  // printf keeps the sign of -0.0 and of negatives that round to 0
    *out++ = '-';
  // Round to an integer in the default rounding mode, which is also
  // printf's: to nearest, ties to even. Adding and removing 2^52 does it
  // where doubles are evaluated as doubles; from 2^52 up every double is an
  // integer already.
#if FLT_EVAL_METHOD == 0
  if (magnitude < 0x1p52)
    magnitude = (magnitude + 0x1p52) - 0x1p52;
#else
  magnitude = std::nearbyint(magnitude);
#endif
  uint64_t thousandths = static_cast<uint64_t>(static_cast<int64_t>(magnitude));  // below 2^63
  uint64_t whole = thousandths / 1000;
  unsigned fraction = static_cast<unsigned>(thousandths % 1000);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (whole < 1000) {
    // The usual reading: "ddd.ddd" in one word, its leading zeros shifted
    // out, stored whole; the caller's room covers all eight bytes.
    uint32_t high, low;
    std::memcpy(&high, kThreeDigits.text[whole], 4);
    std::memcpy(&low, kThreeDigits.text[fraction], 4);
    unsigned skip = (whole < 100) + (whole < 10);
    uint64_t text = (high | static_cast<uint64_t>(low & 0xFFFFFF) << 32) >> (8 * skip);
    std::memcpy(out, &text, sizeof text);
    return out + 7 - skip;
  }
#endif
  out = writeUnsigned(out, whole);
  *out++ = '.';
  std::memcpy(out, kThreeDigits.text[fraction], 3);
  return out + 3;
}

char* formatInt(char* out, int32_t n) {
  uint64_t magnitude = static_cast<uint64_t>(n < 0 ? -static_cast<int64_t>(n) : n);
  if (n < 0)
    *out++ = '-';
  return writeUnsigned(out, magnitude);
}

char* formatDate(char* out, int32_t seconds) {
  static const char kWeekdays[] = "SunMonTueWedThuFriSat";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

  int64_t days = seconds / 86400;
  int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  int64_t weekday = (days + 4) % 7;  // 1970-01-01 was a Thursday
  if (weekday < 0)
    weekday += 7;

  // Proleptic Gregorian date from a day count, by 400-year eras whose
  // years start on March 1, so that the leap day ends the year.
  int64_t shifted = days + 719468;  // days from 0000-03-01
  int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  int64_t dayOfEra = shifted - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  unsigned day = static_cast<unsigned>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  unsigned month = static_cast<unsigned>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  int64_t year = yearOfEra + era * 400 + (month <= 2);

  // "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n"; a 32-bit time lies within 1901..2038.
  std::memcpy(out, kWeekdays + 3 * weekday, 3);
  out[3] = ' ';
  std::memcpy(out + 4, kMonths + 3 * (month - 1), 3);
  out[7] = ' ';
  if (day < 10) {
    out[8] = ' ';
    out[9] = static_cast<char>('0' + day);
  } else {
    writeTwoDigits(out + 8, day);
  }
  out[10] = ' ';
  unsigned second = static_cast<unsigned>(secondOfDay);
  writeTwoDigits(out + 11, second / 3600);
  out[13] = ':';
  writeTwoDigits(out + 14, second / 60 % 60);
  out[16] = ':';
  writeTwoDigits(out + 17, second % 60);
  out[19] = ' ';
  writeTwoDigits(out + 20, static_cast<unsigned>(year / 100));
  writeTwoDigits(out + 22, static_cast<unsigned>(year % 100));
  out[24] = '\n';
  return out + kDateText;
}
