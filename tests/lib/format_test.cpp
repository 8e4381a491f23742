// The printf-free conversions, each held against the C library call it replaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "bits.hpp"
#include "format.hpp"
#include "hexlog/hexlog.hpp"

using namespace hexlog;

namespace {

std::string fast(char* (*format)(char*, uint32_t), uint32_t word) {
  char text[kMaxValueText];
  return std::string(text, static_cast<size_t>(format(text, word) - text));
}

std::string valueText(uint32_t bits) {
  return fast(formatValue, bits);
}

std::string printfValue(uint32_t bits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(floatOf(bits)));
  return text;
}

TEST(FormatValue, EveryExponentWithRandomMantissasAndBothSigns) {
  std::mt19937 rng(11);
  for (uint32_t exponent = 0; exponent < 256; ++exponent) {
    for (uint32_t i = 0; i < 4000; ++i) {
      uint32_t mantissa = i < 8 ? (i < 4 ? i : 0x7FFFFF - (i - 4)) : static_cast<uint32_t>(rng()) & 0x7FFFFF;
      for (uint32_t sign : {0u, 1u}) {
        uint32_t bits = sign << 31 | exponent << 23 | mantissa;
        ASSERT_EQ(valueText(bits), printfValue(bits)) << std::hex << bits;
      }
    }
  }
}

// x * 1000 lies exactly halfway between two integers only for x an odd
// multiple of 1/16; every such float is below 2^20. All of them are checked.
TEST(FormatValue, EveryTieRoundsLikePrintf) {
  for (uint32_t odd = 1; odd < (1u << 24); odd += 2) {
    uint32_t bits = bitsOf(static_cast<float>(odd) / 16.0f);
    ASSERT_EQ(valueText(bits), printfValue(bits)) << odd;
    ASSERT_EQ(valueText(bits | 0x80000000u), printfValue(bits | 0x80000000u)) << odd;
  }
}

TEST(FormatValue, AroundEveryRoundingBoundary) {
  // Values next to n.nnn5 for n.nnn from 0 to 100: the neighbours of each tie.
  for (int thousandths = 0; thousandths < 100000; ++thousandths) {
    float boundary = (static_cast<float>(thousandths) + 0.5f) / 1000.0f;
    uint32_t bits = bitsOf(boundary);
    for (uint32_t b = bits - 2; b <= bits + 2; ++b)
      ASSERT_EQ(valueText(b), printfValue(b)) << std::hex << b;
  }
}

TEST(FormatValue, SignsZerosInfinitiesAndNaNs) {
  for (uint32_t bits : {0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u,
                        0x7F800001u, 0xFFFFFFFFu, 0x00000001u, 0x80000001u, 0x7F7FFFFFu, 0xFF7FFFFFu,
                        bitsOf(-0.0004f), bitsOf(-0.0005f), bitsOf(-0.0006f), bitsOf(9.2233715e15f),
                        bitsOf(9.223372e15f), bitsOf(4.5035996e12f), bitsOf(4.5036e12f)})
    EXPECT_EQ(valueText(bits), printfValue(bits)) << std::hex << bits;
  EXPECT_EQ(valueText(0x80000000u), "-0.000");
  EXPECT_EQ(valueText(bitsOf(-0.0004f)), "-0.000");
  EXPECT_EQ(valueText(0xFFC00000u), "-nan");
}

TEST(FormatValue, AroundTheIntegerPathLimits) {
  // Where x * 1000 passes 2^52 (no rounding left) and 2^63 (general path).
  for (double limit : {0x1p52 / 1000, 0x1p63 / 1000}) {
    uint32_t bits = bitsOf(static_cast<float>(limit));
    for (uint32_t b = bits - 64; b <= bits + 64; ++b) {
      ASSERT_EQ(valueText(b), printfValue(b)) << std::hex << b;
      ASSERT_EQ(valueText(b | 0x80000000u), printfValue(b | 0x80000000u)) << std::hex << b;
    }
  }
}

TEST(FormatInt, MatchesPrintf) {
  std::mt19937 rng(12);
  for (int i = 0; i < 1000000; ++i) {
    int32_t n = static_cast<int32_t>(rng()) >> (rng() % 32);
    if (i < 6)
      n = std::vector<int32_t>{0, -1, 1, INT32_MIN, INT32_MAX, -10}[static_cast<size_t>(i)];
    char expected[16], text[16];
    std::snprintf(expected, sizeof expected, "%d", n);
    ASSERT_EQ(std::string(text, static_cast<size_t>(formatInt(text, n) - text)), expected);
  }
}

std::string dateText(int32_t seconds) {
  char text[kDateText];
  return std::string(text, static_cast<size_t>(formatDate(text, seconds) - text));
}

std::string asctimeText(int32_t seconds) {
  std::time_t t = seconds;
  return std::asctime(std::gmtime(&t));
}

TEST(FormatDate, EveryDayOfThe32BitRange) {
  std::mt19937 rng(13);
  // Midnight, the last second and a random second of every day.
  for (int64_t day = INT32_MIN / 86400 - 1; day <= INT32_MAX / 86400 + 1; ++day) {
    for (int64_t t : {day * 86400, day * 86400 + 86399, day * 86400 + static_cast<int64_t>(rng() % 86400)}) {
      if (t < INT32_MIN || t > INT32_MAX)
        continue;
      ASSERT_EQ(dateText(static_cast<int32_t>(t)), asctimeText(static_cast<int32_t>(t))) << t;
    }
  }
  for (int32_t t : {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX})
    EXPECT_EQ(dateText(t), asctimeText(t)) << t;
}

}  // namespace

namespace {

std::string shortestText(uint32_t bits) {
  char text[kMaxShortestText + 8];
  return std::string(text, static_cast<size_t>(formatShortest(text, bits) - text));
}

// Significant digits of a number's text: no sign, point, exponent, nor
// leading or trailing zeros.
size_t significantDigits(const std::string& text) {
  std::string digits;
  for (char c : text.substr(0, text.find('e')))
    if (std::isdigit(static_cast<unsigned char>(c)))
      digits += c;
  size_t from = digits.find_first_not_of('0'), to = digits.find_last_not_of('0');
  return from == std::string::npos ? 1 : to - from + 1;
}

// The fewest digits %.*g needs to read back as the same float.
int fewestDigits(float value) {
  for (int p = 1;; ++p) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", p, static_cast<double>(value));
    if (bitsOf(std::strtof(text, nullptr)) == bitsOf(value))
      return p;
  }
}

// Every exponent, random mantissas and signs, the mantissa ends, ties of
// the nearest choice (odd multiples of a half ulp do not exist, but values
// that sit on a decimal's midpoint do: k + 0.5 for small k), subnormals.
std::vector<uint32_t> manyFloats() {
  std::mt19937 rng(14);
  std::vector<uint32_t> words;
  for (uint32_t exponent = 0; exponent < 255; ++exponent)
    for (uint32_t i = 0; i < 600; ++i) {
      uint32_t mantissa = i < 4 ? (i < 2 ? i : 0x7FFFFF - (i - 2)) : static_cast<uint32_t>(rng()) & 0x7FFFFF;
      words.push_back((rng() & 1u) << 31 | exponent << 23 | mantissa);
    }
  for (int k = 0; k < 20000; ++k)
    words.push_back(bitsOf(static_cast<float>(k) + 0.5f));
  return words;
}

TEST(FormatShortest, ReadsBackToTheSameBitsWithTheFewestDigits) {
  for (uint32_t bits : manyFloats()) {
    float value = floatOf(bits);
    std::string text = shortestText(bits);
    ASSERT_EQ(bitsOf(std::strtof(text.c_str(), nullptr)), bits) << text;
    // An integer keeps its own digits where they are no longer than the
    // exponent form ("123456792", not "123456790"): only its length is least.
    if (text.find_first_of(".e") == std::string::npos && std::fabs(value) >= 0x1p24f)
      continue;
    // Below a power of two the interval is lopsided, and a shorter decimal
    // above x may read back where %.*g, rounding to nearest, falls below.
    if ((bits & 0x7FFFFF) == 0)
      ASSERT_LE(significantDigits(text), static_cast<size_t>(fewestDigits(value))) << text;
    else
      ASSERT_EQ(significantDigits(text), static_cast<size_t>(fewestDigits(value))) << text;
  }
}

TEST(FormatShortest, IsWhatToCharsWritesForEveryKindOfFloat) {
  std::vector<uint32_t> words = manyFloats();
  for (uint32_t bits : {0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00001u, 0x00000001u,
                        0x007FFFFFu, 0x00800000u, 0x3F800000u, 0x4B000000u, 0x3B000000u, 0x3B000001u, 0x4AFFFFFFu})
    words.push_back(bits);
  for (uint32_t bits : words) {
    char expected[64];
    *std::to_chars(expected, expected + sizeof expected, floatOf(bits)).ptr = '\0';
    ASSERT_EQ(shortestText(bits), expected) << std::hex << bits;
  }
}

std::string isoText(int32_t seconds) {
  char text[kIsoTimeText];
  return std::string(text, static_cast<size_t>(formatIsoTime(text, seconds) - text));
}

TEST(FormatIsoTime, EveryDayOfThe32BitRangeInAnyOrder) {
  std::mt19937 rng(15);
  std::vector<int64_t> times;
  for (int64_t day = INT32_MIN / 86400 - 1; day <= INT32_MAX / 86400 + 1; ++day)
    for (int64_t t : {day * 86400, day * 86400 + 86399, day * 86400 + static_cast<int64_t>(rng() % 86400)})
      if (t >= INT32_MIN && t <= INT32_MAX)
        times.push_back(t);
  std::shuffle(times.begin() + static_cast<long>(times.size() / 2), times.end(), rng);  // the kept date must not leak
  for (int64_t t : times) {
    std::time_t time = t;
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&time));
    ASSERT_EQ(isoText(static_cast<int32_t>(t)), expected) << t;
  }
}

// --from and --to: a date of any year written is the second timegm()
// gives it, around each year's leap day and ends and on a random day, at a
// random time of day, in UTC or at an offset (+05:30, -0800, +05).
TEST(ParseTime, EveryYearWrittenIsTimegms) {
  std::mt19937 rng(17);
  for (int year = 0; year <= 9999; ++year) {
    for (int which = 0; which < 5; ++which) {
      std::tm tm{};
      tm.tm_year = year - 1900;
      // 1 January, 28 or 29 February, 1 March, 31 December, any day.
      const int months[] = {1, 2, 3, 12, 1 + static_cast<int>(rng() % 12)};
      const int days[] = {1, 28 + static_cast<int>(rng() % 2), 1, 31, 1 + static_cast<int>(rng() % 28)};
      int month = months[which], day = days[which];
      tm.tm_mon = month - 1;
      tm.tm_mday = day;
      tm.tm_hour = static_cast<int>(rng() % 24);
      tm.tm_min = static_cast<int>(rng() % 60);
      tm.tm_sec = static_cast<int>(rng() % 60);
      int64_t expected = timegm(&tm);
      if (tm.tm_mon != month - 1)
        continue;  // a 29 February the year has not
      char text[32];
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, tm.tm_hour, tm.tm_min,
                    tm.tm_sec);
      int64_t seconds = 0;
      ASSERT_TRUE(hexlog::parseTime(text, seconds)) << text;
      ASSERT_EQ(seconds, expected) << text;
      // The same moment east or west of UTC, its offset in each spelling.
      int offset = static_cast<int>(rng() % (2 * 24 * 60 - 1)) - (24 * 60 - 1);
      int east = offset < 0 ? -offset : offset;
      char local[48];
      std::snprintf(local, sizeof local, which % 3 == 0 ? "%.19s%c%02d:%02d" : which % 3 == 1 ? "%.19s%c%02d%02d"
                                                                                                : "%.19s%c%02d",
                    text, offset < 0 ? '-' : '+', east / 60, east % 60);
      ASSERT_TRUE(hexlog::parseTime(local, seconds)) << local;
      ASSERT_EQ(seconds, expected - (which % 3 == 2 ? offset / 60 * 60 : offset) * 60) << local;
    }
  }
}

}  // namespace
