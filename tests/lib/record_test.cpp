// The decoder of one record, held against the C library's own conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "capture.hpp"
#include "logs.hpp"

namespace {

std::string cPrintf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// What the C library makes of the first eight characters as a base-16 number.
uint32_t strtolWindow(const std::string& window) {
  std::string copy = window.substr(0, 8);
  return static_cast<uint32_t>(static_cast<unsigned long long>(std::strtoll(copy.c_str(), nullptr, 16)));
}

// The plain-mode text of one value word, as the decoder prints it.
std::string plainValue(uint32_t bits) {
  std::string out = decode(recordText(0, {bits}));
  // "0, <number>\r\n"
  return out.substr(3, out.size() - 5);
}

// ---- Windows -------------------------------------------------------------

TEST(Window, EightDigitsGiveAll32Bits) {
  EXPECT_EQ(getHexLong("3F800000"), 0x3F800000u);
  EXPECT_EQ(getHexLong("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(getHexLong("80000000"), 0x80000000u);  // never clamped to INT32_MAX
  EXPECT_EQ(getHexLong("deadBEEF"), 0xDEADBEEFu);
}

TEST(Window, OnlyTheFirstEightCharactersCount) {
  EXPECT_EQ(getHexLong("123456789ABC"), 0x12345678u);
  EXPECT_EQ(getHexLong("0000000F1"), 0xFu);
}

TEST(Window, ShortWindowStopsAtTheEndOfTheText) {
  EXPECT_EQ(getHexLong(""), 0u);
  EXPECT_EQ(getHexLong("A"), 0xAu);
  EXPECT_EQ(getHexLong("3F8"), 0x3F8u);
}

TEST(Window, SignWhiteSpaceAndPrefix) {
  EXPECT_EQ(getHexLong("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(getHexLong("-FFFFFFF"), 0xF0000001u);
  EXPECT_EQ(getHexLong("+10"), 0x10u);
  EXPECT_EQ(getHexLong("  \t 1F"), 0x1Fu);
  EXPECT_EQ(getHexLong("0x3F8000"), 0x3F8000u);
  EXPECT_EQ(getHexLong("0X3f8000"), 0x3F8000u);
  EXPECT_EQ(getHexLong("-0x10"), 0xFFFFFFF0u);
  EXPECT_EQ(getHexLong("0xZZ"), 0u);
}

TEST(Window, DigitsBeforeJunkCount) {
  EXPECT_EQ(getHexLong("12G45678"), 0x12u);
  EXPECT_EQ(getHexLong("GGGG1234"), 0u);  // digits later in the window do not count
  EXPECT_EQ(getHexLong("ABCD\r\n"), 0xABCDu);
}

TEST(Window, MatchesStrtolOnRandomWindows) {
  const char alphabet[] = "0123456789abcdefABCDEF +-xXgG\t\r\n.";
  std::mt19937 rng(1);
  for (int i = 0; i < 200000; ++i) {
    std::string window(rng() % 11, ' ');
    for (char& c : window)
      c = alphabet[rng() % (sizeof alphabet - 1)];
    ASSERT_EQ(getHexLong(window.c_str()), strtolWindow(window)) << '"' << window << '"';
    if (window.size() >= 8) {
      ASSERT_EQ(getWholeWindow(window.c_str()), strtolWindow(window)) << '"' << window << '"';
    }
  }
  // Every byte value at every position of an otherwise clean window.
  for (int at = 0; at < 8; ++at) {
    for (int c = 1; c < 256; ++c) {
      std::string window = "1A2b3C4d";
      window[static_cast<size_t>(at)] = static_cast<char>(c);
      ASSERT_EQ(getHexLong(window.c_str()), strtolWindow(window)) << at << " " << c;
      ASSERT_EQ(getWholeWindow(window.c_str()), strtolWindow(window)) << at << " " << c;
    }
  }
  for (int i = 0; i < 200000; ++i) {
    uint32_t word = static_cast<uint32_t>(rng());
    std::string window = hex8(word);
    if (rng() & 1)
      for (char& c : window)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_EQ(getHexLong(window.c_str()), word) << window;
    ASSERT_EQ(getWholeWindow(window.c_str()), word) << window;
  }
}

// ---- Time ----------------------------------------------------------------

std::string asctimeOf(int32_t seconds) {
  std::time_t t = seconds;
  return std::asctime(std::gmtime(&t));
}

TEST(Time, PlainIsTheSigned32BitCount) {
  std::mt19937 rng(2);
  std::vector<uint32_t> words = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x5F5E1000};
  for (int i = 0; i < 20000; ++i)
    words.push_back(static_cast<uint32_t>(rng()));
  for (uint32_t word : words) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%d\r\n", static_cast<int32_t>(word));
    ASSERT_EQ(decode(recordText(word, {})), expected) << hex8(word);
  }
}

TEST(Time, VerboseIsTheAsctimeOfTheUtcDate) {
  std::mt19937 rng(3);
  // Around the epoch, both 32-bit limits, leap days and year ends.
  std::vector<int32_t> times = {0, -1, 1, INT32_MIN, INT32_MAX, 951782400, 951868799, 68169600,
                                1798761599, -2147483647, 1709164800, -631152000};
  for (int i = 0; i < 20000; ++i)
    times.push_back(static_cast<int32_t>(rng()));
  for (int32_t t : times) {
    std::string expected = asctimeOf(t) + "\r\n\r\n";
    ASSERT_EQ(decode(recordText(static_cast<uint32_t>(t), {}), true), expected) << t;
  }
  EXPECT_EQ(decode(recordText(0, {}), true), "Thu Jan  1 00:00:00 1970\n\r\n\r\n");
  EXPECT_EQ(decode(recordText(0xFFFFFFFF, {}), true), "Wed Dec 31 23:59:59 1969\n\r\n\r\n");
}

// ---- Values --------------------------------------------------------------

TEST(Value, SpecialValues) {
  EXPECT_EQ(plainValue(0x3F800000), "1.000");
  EXPECT_EQ(plainValue(0xBF800000), "-1.000");
  EXPECT_EQ(plainValue(0x80000000), "-0.000");
  EXPECT_EQ(plainValue(0x00000000), "0.000");
  EXPECT_EQ(plainValue(bitsOf(0.5f)), "0.500");
  EXPECT_EQ(plainValue(bitsOf(-0.0004f)), "-0.000");  // rounds to zero, keeps its sign
  EXPECT_EQ(plainValue(0x7F800000), "inf");
  EXPECT_EQ(plainValue(0xFF800000), "-inf");
  EXPECT_EQ(plainValue(0x7FC00000), "nan");
  EXPECT_EQ(plainValue(0xFFC00000), "-nan");
  EXPECT_EQ(plainValue(0x7F7FFFFF), "340282346638528859811704183484516925440.000");
  EXPECT_EQ(plainValue(0x00000001), "0.000");
}

// A value exactly halfway between two results is an odd multiple of 1/16
// (x * 1000 = n + 1/2 needs 125 to divide the odd numerator); it rounds to even.
TEST(Value, TiesRoundToEven) {
  EXPECT_EQ(plainValue(bitsOf(0.0625f)), "0.062");
  EXPECT_EQ(plainValue(bitsOf(0.1875f)), "0.188");
  EXPECT_EQ(plainValue(bitsOf(-2.3125f)), "-2.312");
  for (uint32_t j = 1; j < (1u << 24); j += 2 * 97) {
    float tie = static_cast<float>(j) / 16.0f;
    ASSERT_EQ(plainValue(bitsOf(tie)), cPrintf("%.3f", tie)) << j;
    ASSERT_EQ(plainValue(bitsOf(-tie)), cPrintf("%.3f", -tie)) << j;
  }
}

TEST(Value, MatchesSnprintfForEveryExponent) {
  std::mt19937 rng(4);
  for (uint32_t exponent = 0; exponent < 256; ++exponent) {
    for (int i = 0; i < 400; ++i) {
      uint32_t mantissa = static_cast<uint32_t>(rng()) & 0x7FFFFF;
      if (i < 4)
        mantissa = i < 2 ? static_cast<uint32_t>(i) : 0x7FFFFF - static_cast<uint32_t>(i - 2);
      uint32_t bits = exponent << 23 | mantissa | (rng() & 1u) << 31;
      ASSERT_EQ(plainValue(bits), cPrintf("%.3f", floatOf(bits))) << hex8(bits);
    }
  }
}

// ---- Records -------------------------------------------------------------

TEST(Record, WorkedExample) {
  std::string text = recordText(0, {0x3F800000, 0xBF800000});
  EXPECT_EQ(decode(text), "0, 1.000, -1.000\r\n");
  EXPECT_EQ(decode(text, true),
            "Thu Jan  1 00:00:00 1970\n\r\n"
            "EquilPumpOn pCO2        \t1.000\r\n"
            "EquilPumpOn Temp        \t-1.000\r\n"
            "\r\n");
}

TEST(Record, EndsAtTheFirstWindowWithoutALeadingHexDigit) {
  std::string text = "2026/12/08 01:02:03 ABC 000000013F800000 3F800000";
  EXPECT_EQ(decode(text + "\r\n"), "1, 1.000\r\n");
  // A window that begins with a digit but holds junk is converted up to it.
  EXPECT_EQ(decode("2026/12/08 01:02:03 ABC 000000103F8zzzzz40000000\n"), "16, 0.000, 2.000\r\n");
}

TEST(Record, ShortLastWindowIsConvertedFromWhatItHas) {
  EXPECT_EQ(decode("2026/12/08 01:02:03 ABC 0000000A3F8"), "10, 0.000\r\n");
  EXPECT_EQ(decode("2026/12/08 01:02:03 ABC 0000000A3F800000"), "10, 1.000\r\n");
  EXPECT_EQ(decode("2026/12/08 01:02:03 ABC 0000"), "0\r\n");
}

TEST(Record, ZeroXPrefixInsideAWindow) {
  EXPECT_EQ(decode("2026/12/08 01:02:03 ABC 0x0000FF0x3F8000\n"), "255, 0.000\r\n");
}

TEST(Record, TimeWordAcceptsWhiteSpaceAndSign) {
  EXPECT_EQ(decode("2026/12/08 01:02:03 ABC  -00001F3F800000\n"), "-31, 1.000\r\n");
  EXPECT_EQ(decode("2026/12/08 01:02:03 ABC xxxxxxxx3F800000\n"), "0, 1.000\r\n");
}

TEST(Record, PrefixOutsideTheTextPrintsTimeZeroOnly) {
  std::string text = recordText(0x12345678, {0x3F800000});
  for (int32_t start : {-1, -24, INT32_MIN, static_cast<int32_t>(text.size()) + 1, 100000, INT32_MAX}) {
    EXPECT_EQ(decode(text, false, start), "0\r\n") << start;
    EXPECT_EQ(decode(text, true, start), "Thu Jan  1 00:00:00 1970\n\r\n\r\n") << start;
  }
  // At the very end, and inside the last eight characters, the rules still apply.
  EXPECT_EQ(decode(text, false, static_cast<int32_t>(text.size())), "0\r\n");
  EXPECT_EQ(decode("12345", false, 2), "837\r\n");
}

TEST(Record, VerboseNamesEveryFieldThenNumbersTheRest) {
  std::vector<uint32_t> values(34, 0x40000000);
  std::string out = decode(recordText(0, values), true);
  std::string expected = "Thu Jan  1 00:00:00 1970\n\r\n";
  for (int k = 0; k < kFieldCount; ++k) {
    std::string name = fields[k];
    ASSERT_LE(name.size(), 24u);
    expected += name + std::string(24 - name.size(), ' ') + "\t2.000\r\n";
  }
  expected += "Reading 33              \t2.000\r\n";
  expected += "Reading 34              \t2.000\r\n\r\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(std::string(fields[23]).size(), 24u);
  EXPECT_EQ(std::string(fields[24]).size(), 24u);
  EXPECT_STREQ(fields[19], "AirPumpOff Humdity");
}

TEST(Record, PlainRecordHasOneCommaPerValue) {
  std::vector<uint32_t> values(40, 0x43C80000);  // 400.0
  std::string out = decode(recordText(1700000000, values));
  EXPECT_EQ(std::count(out.begin(), out.end(), ','), 40);
  EXPECT_EQ(out.substr(0, 20), "1700000000, 400.000,");
}

}  // namespace
