#include "format.hpp"

#include "vector.hpp"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace hexlog {

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

}  // namespace

char* writeTwoDigits(char* out, unsigned n) {
  std::memcpy(out, kDigitPairs + 2 * n, 2);
  return out + 2;
}

namespace {

// Eight decimal digits of n < 10^8, most significant first in memory, all
// at once: the two halves of four digits, then their pairs, then the digits,
// each split in its own lane with multiplications that stay exact there.
uint64_t eightDigits(uint64_t n) {
  uint64_t x = n / 10000 | (n % 10000) << 32;                            // 2 lanes < 10^4
  uint64_t hundreds = (x * 10486 >> 20) & 0x0000007F0000007Fu;           // lane / 100
  x = hundreds | (x - 100 * hundreds) << 16;                             // 4 lanes < 100
  uint64_t tens = (x * 103 >> 10) & 0x000F000F000F000Fu;                 // lane / 10
  x = tens | (x - 10 * tens) << 8;                                       // 8 lanes < 10
  return x + 0x3030303030303030u;
}

// Digits of n < 10^8, 1 for 0.
unsigned digitCount(uint64_t n) {
  return 1u + unsigned{n >= 10} + unsigned{n >= 100} + unsigned{n >= 1000} + unsigned{n >= 10000} +
         unsigned{n >= 100000} + unsigned{n >= 1000000} + unsigned{n >= 10000000};
}

// printf("%llu") for n < 10^16, without a division loop: eight digits at
// a time. Stores up to eight bytes past the returned end.
char* writeUnsigned(char* out, uint64_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t high = n / 100000000, low = n % 100000000;
  uint64_t lead = high != 0 ? high : low;
  unsigned length = digitCount(lead);
  uint64_t digits = eightDigits(lead) >> 8 * (8 - length);
  std::memcpy(out, &digits, 8);
  out += length;
  if (high == 0)
    return out;
  digits = eightDigits(low);
  std::memcpy(out, &digits, 8);
  return out + 8;
#else
  char text[20];
  char* p = text + sizeof text;
  do
    *--p = static_cast<char>('0' + n % 10);
  while ((n /= 10) != 0);
  size_t length = static_cast<size_t>(text + sizeof text - p);
  std::memcpy(out, p, length);
  return out + length;
#endif
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
    unsigned skip = unsigned{whole < 100} + unsigned{whole < 10};
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

char* formatCount(char* out, uint64_t n) {
  if (n < 10000000000000000u)
    return writeUnsigned(out, n);
  return out + std::snprintf(out, 24, "%llu", static_cast<unsigned long long>(n));
}

char* formatInt(char* out, int32_t n) {
  uint64_t magnitude = static_cast<uint64_t>(n < 0 ? -static_cast<int64_t>(n) : n);
  if (n < 0)
    *out++ = '-';
  return writeUnsigned(out, magnitude);
}


namespace {

constexpr uint64_t kPowersOfTen[] = {1,           10,           100,           1000,
                                     10000,       100000,       1000000,       10000000,
                                     100000000,   1000000000,   10000000000,   100000000000,
                                     1000000000000};

// For x = m * 2^-q: d, the fewest decimals with 10^d > 2^q, and 10^d.
struct Decimals {
  uint64_t power;
  unsigned d;
};
constexpr struct MostDecimals {
  Decimals of[33];
  constexpr MostDecimals() : of() {
    for (unsigned q = 1; q <= 32; ++q) {
      unsigned d = 0;
      while (kPowersOfTen[d] <= uint64_t{1} << q)
        ++d;
      of[q] = {kPowersOfTen[d], d};
    }
  }
  constexpr const Decimals& operator[](unsigned q) const { return of[q]; }
} kMostDecimals;

// The shortest text of x = m * 2^-q, 2^23 < m < 2^24, 1 <= q <= 32, that
// is 2^-9 < x < 2^23 and no power of two, without its sign; nullptr where
// to_chars would choose the exponent form. In that range a decimal that
// reads back as x has a fixed form no longer than its exponent form (at
// most two zeros after the point, and an integer part under 100000 when
// there is no fraction), so to_chars writes the fixed form of the shortest
// such decimal, and of those the nearest to x.
//
// The decimals that read back as x fill x's rounding interval, x +- ulp/2
// (ulp = 2^-q; the ends count when m is even, as ties go to even; below a
// power of two the interval is lopsided, and those few go to the library).
// At d decimals the candidates are the integers c with c / 10^d inside it.
// Scaled by 10^d * 2^(q+2), everything is an exact integer below 2^63:
//
//   x * 10^d     = 4m * 10^d
//   upper end    = 4m * 10^d + 2 * 10^d
//   lower end    = 4m * 10^d - 2 * 10^d
//   candidate c  = c * 2^(q+2)
//
// Let d be the fewest decimals with 10^d > 2^q. At d the interval is
// wider than one candidate apart, so the integer nearest to x * 10^d lies
// inside. At d - 1 (10^(d-1) <= 2^q) it is narrower: it holds at most one
// candidate, a multiple of 10 among those at d, and that is the nearest to
// x * 10^(d-1). Below that, the one candidate, if any, is that one with a
// last 0 dropped.
[[gnu::always_inline]] inline char* shortestFixed(char* out, uint64_t m, unsigned q) {
  unsigned shift = q + 2;
  uint64_t unit = uint64_t{1} << shift;
  uint64_t open = m & 1;
  const Decimals& most = kMostDecimals[q];
  uint64_t scaled = m * most.power << 2;
  uint64_t last = (scaled + 2 * most.power - open) >> shift;
  uint64_t first = (scaled - 2 * most.power + open + unit - 1) >> shift;
  uint64_t tens = last / 10;
  bool fewer = tens * 10 >= first;
  // The nearest at d decimals, a tie to the even one.
  uint64_t rounded = scaled + unit / 2;
  uint64_t c = rounded >> shift;
  c -= (rounded & (unit - 1)) == 0 && (c & 1) != 0;
  // Half the floats take d - 1 decimals, a coin toss for the branch
  // predictor: a select, not a branch, which the measurements favour.
  uint64_t take = 0 - static_cast<uint64_t>(fewer);
  c = (tens & take) | (c & ~take);
  unsigned d = most.d - fewer;
  // The nearest at d is no multiple of 10 unless d - 1 decimals do.
  while (d > 0 && c % 10 == 0) {
    c /= 10;
    --d;
  }

  if (d == 0) {
    if (c >= 100000)
      return nullptr;  // "1e+05" is shorter than "100000"
    return writeUnsigned(out, c);
  }
  // c is no multiple of 10 (else d - 1 decimals would do), so rounding up
  // never carries into the integer part: that is x's own.
  uint64_t whole = m >> q;
  uint64_t fraction = c - whole * kPowersOfTen[d];
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (whole < 1000) {
    // "ddd." with the leading zeros shifted out, as in formatValue.
    uint32_t text;
    std::memcpy(&text, kThreeDigits.text[whole], 4);
    unsigned skip = unsigned{whole < 100} + unsigned{whole < 10};
    text >>= 8 * skip;
    std::memcpy(out, &text, 4);
    out += 4 - skip;
  } else {
    out = writeUnsigned(out, whole);
    *out++ = '.';
  }
  // The fraction's d digits with their leading zeros, from the last d of
  // its seven-, eight- or sixteen-digit text, shifted to the front of a word.
  // The caller's room covers the whole words stored.
  if (d <= 7) {
    // Three digits, then two pairs.
    uint64_t high = fraction / 10000, low = fraction - 10000 * high;
    uint64_t pair = low / 100;
    uint32_t highText;
    uint16_t pairText, lastText;
    std::memcpy(&highText, kThreeDigits.text[high], 4);
    std::memcpy(&pairText, kDigitPairs + 2 * pair, 2);
    std::memcpy(&lastText, kDigitPairs + 2 * (low - 100 * pair), 2);
    uint64_t digits = (highText & 0xFFFFFF) | static_cast<uint64_t>(pairText) << 24 |
                      static_cast<uint64_t>(lastText) << 40;
    digits >>= 8 * (7 - d);
    std::memcpy(out, &digits, 8);
  } else if (d <= 8) {
    uint64_t digits = eightDigits(fraction) >> 8 * (8 - d);
    std::memcpy(out, &digits, 8);
  } else {
    uint64_t high = eightDigits(fraction / 100000000) >> 8 * (16 - d);
    uint64_t low = eightDigits(fraction % 100000000);
    std::memcpy(out, &high, 8);
    std::memcpy(out + d - 8, &low, 8);
  }
  return out + d;
#else
  out = writeUnsigned(out, whole);
  *out = '.';
  for (unsigned i = d; i > 0; --i, fraction /= 10)
    out[i] = static_cast<char>('0' + fraction % 10);
  return out + d + 1;
#endif
}

// Kept out of line so that the fast path saves no registers for the call.
[[gnu::noinline]] char* shortestByLibrary(char* out, uint32_t word) {
  float value;
  std::memcpy(&value, &word, sizeof value);
  return std::to_chars(out, out + kMaxShortestText, value).ptr;
}

// formatShortest, inlined into the loop of formatReadings.
[[gnu::always_inline]] inline char* shortest(char* out, uint32_t word) {
  uint32_t magnitude = word & 0x7FFFFFFF;
  uint32_t exponent = magnitude >> 23;
  *out = '-';
  char* text = out + (word >> 31);
  if (magnitude == 0) {
    *text = '0';
    return text + 1;
  }
  if (exponent >= 118 && exponent <= 149 && (magnitude & 0x7FFFFF) != 0) {  // 2^-9 < |x| < 2^23
    char* end = shortestFixed(text, (magnitude & 0x7FFFFF) | 0x800000, 150 - exponent);
    if (end != nullptr)
      return end;
  }
  return shortestByLibrary(out, word);
}

}  // namespace

char* formatShortest(char* out, uint32_t word) {
  return shortest(out, word);
}

char* formatReadings(char* out, const uint32_t* words, int count, const char* missing, bool finiteOnly,
                     bool vectors) {
  size_t missingLength = std::strlen(missing);
  // NaN, or with finiteOnly NaN and the infinities.
  uint32_t firstMissing = finiteOnly ? 0x7F800000 : 0x7F800001;
  if (vectors)
    return formatShortestValues(out, words, static_cast<size_t>(count), missing, missingLength, firstMissing);
  for (int k = 0; k < count; ++k) {
    *out++ = ',';
    if ((words[k] & 0x7FFFFFFF) >= firstMissing) {
      std::memcpy(out, missing, missingLength);
      out += missingLength;
    } else {
      out = shortest(out, words[k]);
    }
  }
  return out;
}

}  // namespace hexlog
