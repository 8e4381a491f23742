// The vector path on x86-64 with AVX2: the functions of vector.hpp in
// lanes. Only they are compiled for AVX2; the rest of the library runs on
// any x86-64, and a caller takes them only where vectorsAvailable(), the
// one check of the CPU, says so. Elsewhere, and built with
// -DHEXLOG_VECTOR=OFF, vector.cpp's scalar versions stand in for them.
#include "vector.hpp"

#if defined(__x86_64__) && !defined(HEXLOG_NO_VECTOR)

#include <immintrin.h>

#include <cstring>

#include "format.hpp"

namespace hexlog {

// Only these functions are compiled for AVX2; the rest of the tool runs on
// any x86-64, and the vector setting, which defaults to vectorsAvailable(),
// keeps them from running where AVX2 is missing.
#define AVX2 __attribute__((target("avx2")))

bool vectorsAvailable() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

namespace {

// The value of each byte as a hexadecimal digit, and 0xFF in `bad` where
// it is none. By its two nibbles, looked up in tables of sixteen: the high
// one tells digits (3) from letters (4 and 6, A-F and a-f), the low one
// whether it is one of 0-9 and one of 1-6; bytes from 0x80 up are neither.
//
//   '7' = 0x37   high 3: a digit,  low 7: one of 0-9      ->  7
//   'c' = 0x63   high 6: a letter, low 3: one of 1-6      ->  3 + 9 = 12
//   'g' = 0x67   high 6: a letter, low 7: not one of 1-6  ->  bad
AVX2 __m256i hexValues(__m256i c, __m256i& bad) {
  const __m256i highKind = _mm256_setr_epi8(0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 2, 0,
                                            0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i lowKind = _mm256_setr_epi8(1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 3, 3, 3, 3, 3, 3, 1, 1,
                                           1, 0, 0, 0, 0, 0, 0);
  const __m256i letterValue = _mm256_setr_epi8(0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 9,
                                               0, 0, 0, 0, 0, 0, 0, 0, 0);
  __m256i low = _mm256_and_si256(c, _mm256_set1_epi8(0x0F));
  __m256i high = _mm256_and_si256(_mm256_srli_epi16(c, 4), _mm256_set1_epi8(0x0F));
  __m256i kinds = _mm256_and_si256(_mm256_shuffle_epi8(highKind, high), _mm256_shuffle_epi8(lowKind, low));
  bad = _mm256_cmpeq_epi8(kinds, _mm256_setzero_si256());
  return _mm256_add_epi8(low, _mm256_shuffle_epi8(letterValue, high));
}

// The 32 bytes at p + at, or those of its windows that lie wholly before
// p + left, loaded by a mask that touches nothing past them; zeros, no
// digits, fill the rest.
AVX2 __m256i loadWindows(const char* p, size_t left, size_t at) {
  if (at + 32 <= left)
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
  if (at >= left)
    return _mm256_setzero_si256();
  int fours = static_cast<int>((left - at) / 8 * 2);
  __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(fours), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  return _mm256_maskload_epi32(reinterpret_cast<const int*>(p + at), mask);
}

// The first `left` of the eight words at `words`, zeros after them.
AVX2 __m256i loadWords(const uint32_t* words, size_t left) {
  if (left >= 8)
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
  uint32_t padded[8] = {};
  std::memcpy(padded, words, left * sizeof *words);
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(padded));
}

// Numbers below 10^4, one in the low half of each 32-bit lane, to their
// four digits, most significant first in memory: x / 100 = x * 5243 >> 19,
// exact below 10^4, then each of the two parts below 100 in its own 16-bit
// lane, r / 10 = r * 6554 >> 16, exact below 100.
//
//   1207  ->  12 | 07 << 16  ->  1, 2, 0, 7  ->  "1207"
AVX2 __m256i fourDigits(__m256i x) {
  __m256i hundreds = _mm256_srli_epi16(_mm256_mulhi_epu16(x, _mm256_set1_epi32(5243)), 3);
  __m256i rest = _mm256_sub_epi16(x, _mm256_mullo_epi16(hundreds, _mm256_set1_epi32(100)));
  __m256i parts = _mm256_or_si256(hundreds, _mm256_slli_epi32(rest, 16));
  __m256i tens = _mm256_mulhi_epu16(parts, _mm256_set1_epi16(6554));
  __m256i ones = _mm256_sub_epi16(parts, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10)));
  return _mm256_add_epi8(_mm256_or_si256(tens, _mm256_slli_epi16(ones, 8)), _mm256_set1_epi8('0'));
}

// fourDigits of `low` and of `high`, each with all of its 32-bit lanes
// below 10^4, the two at once in 16-bit lanes.
AVX2 void fourDigitsOfBoth(__m256i low, __m256i high, __m256i& lowDigits, __m256i& highDigits) {
  __m256i x = _mm256_packus_epi32(low, high);  // low's 0-3, high's 0-3 | low's 4-7, high's 4-7
  __m256i hundreds = _mm256_srli_epi16(_mm256_mulhi_epu16(x, _mm256_set1_epi16(5243)), 3);
  __m256i rest = _mm256_sub_epi16(x, _mm256_mullo_epi16(hundreds, _mm256_set1_epi16(100)));
  __m256i parts[2] = {hundreds, rest};
  for (__m256i& part : parts) {  // tens, then ones, as bytes
    __m256i tens = _mm256_mulhi_epu16(part, _mm256_set1_epi16(6554));
    __m256i ones = _mm256_sub_epi16(part, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10)));
    part = _mm256_add_epi8(_mm256_or_si256(tens, _mm256_slli_epi16(ones, 8)), _mm256_set1_epi8('0'));
  }
  lowDigits = _mm256_unpacklo_epi16(parts[0], parts[1]);
  highDigits = _mm256_unpackhi_epi16(parts[0], parts[1]);
}

// How many bytes of each 64-bit lane, from its lowest, are 0xFF before the
// first that is not, times 8 (the shift that drops them): the run isolated
// by the carry of adding 1, then summed a byte at a time.
//
//   FF FF 00 FF ...  ->  FF FF 00 00 ...  ->  16
AVX2 __m256i leadingRunBits(__m256i bytes) {
  __m256i run = _mm256_andnot_si256(_mm256_add_epi64(bytes, _mm256_set1_epi64x(1)), bytes);
  return _mm256_sad_epu8(_mm256_and_si256(run, _mm256_set1_epi8(8)), _mm256_setzero_si256());
}

// Sixteen bytes of texts, one in each pair of 64-bit lanes of `low` and
// `high`, four of them: stored by pairs, 0, 2 | 1, 3 (slotOf).
AVX2 void storeFour(char (*texts)[16], __m256i low, __m256i high) {
  _mm256_store_si256(reinterpret_cast<__m256i*>(texts), _mm256_unpacklo_epi64(low, high));
  _mm256_store_si256(reinterpret_cast<__m256i*>(texts + 2), _mm256_unpackhi_epi64(low, high));
}

// Where storeFour left the text of word i of each four.
constexpr size_t slotOf(size_t i) {
  return (i & ~size_t{3}) | (i & 1) << 1 | (i & 2) >> 1;
}

// 1.5 * 2^52: from 2^52 to 2^53 the doubles are the integers, so adding it
// to a double from 0 up to 2^51 rounds that to an integer n, in the
// default rounding mode (to nearest, ties to even: printf's), and leaves n
// in the low bits, 0x4338000000000000 + n.
constexpr double kIntegerBits = 0x1.8p52;

// Whether all of the first `left` (at most sixteen) words at `words` have
// |x| < 999.99: the usual readings, which take narrowTexts.
AVX2 inline bool allNarrow(const uint32_t* words, size_t left) {
  const __m256i magnitude = _mm256_set1_epi32(0x7FFFFFFF), bound = _mm256_set1_epi32(0x4479FF5C);  // 999.99
  __m256i low = _mm256_and_si256(loadWords(words, left), magnitude);
  __m256i high = left > 8 ? _mm256_and_si256(loadWords(words + 8, left - 8), magnitude) : _mm256_setzero_si256();
  __m256i below = _mm256_and_si256(_mm256_cmpgt_epi32(bound, low), _mm256_cmpgt_epi32(bound, high));
  return _mm256_movemask_epi8(below) == -1;
}

// The %.3f texts of eight words whose floats all have |x| < 999.99,
// "ddd.ddd" less the leading zeros, one to a 64-bit lane, without the sign.
// x * 1000 is exact in a double (24 + 10 bits of 53), so rounding it to an
// integer t < 10^6, to nearest with ties to even as printf does, rounds
// the exact value to three decimals; from there on all is integer
// arithmetic.
struct NarrowTexts {
  uint64_t text[8];
  uint64_t length[8];
};

AVX2 inline __attribute__((always_inline)) void narrowTexts(__m256i words, NarrowTexts& texts) {
  __m256d rounded[2];
  for (int half = 0; half < 2; ++half) {
    __m128 four = half == 0 ? _mm256_castps256_ps128(_mm256_castsi256_ps(words))
                            : _mm256_extractf128_ps(_mm256_castsi256_ps(words), 1);
    __m256d scaled = _mm256_mul_pd(_mm256_cvtps_pd(four), _mm256_set1_pd(1000.0));
    rounded[half] = _mm256_add_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), scaled), _mm256_set1_pd(kIntegerBits));
  }
  // The eight t from the low halves of their lanes, words 0, 1, 4, 5 |
  // 2, 3, 6, 7; t / 1000 exactly, by the 64-bit product with 2^38 / 1000
  // rounded up.
  __m256i t = _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castpd_ps(rounded[0]), _mm256_castpd_ps(rounded[1]), 0x88));
  const __m256i magic = _mm256_set1_epi32(0x10624DD3);
  __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(t, magic), 38);
  __m256i odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(t, 32), magic), 38);
  __m256i whole = _mm256_or_si256(even, _mm256_slli_epi64(odd, 32));
  __m256i fraction = _mm256_sub_epi32(t, _mm256_mullo_epi32(whole, _mm256_set1_epi32(1000)));
  // Sixteen-bit lanes: whole, fraction of each word (each < 1000). Three
  // digits of each: x / 100 = x * 5243 >> 19 and r / 10 = r * 6554 >> 16,
  // exact below 1000 and 100.
  __m256i parts = _mm256_or_si256(whole, _mm256_slli_epi32(fraction, 16));
  __m256i hundreds = _mm256_srli_epi16(_mm256_mulhi_epu16(parts, _mm256_set1_epi16(5243)), 3);
  __m256i rest = _mm256_sub_epi16(parts, _mm256_mullo_epi16(hundreds, _mm256_set1_epi16(100)));
  __m256i tens = _mm256_mulhi_epu16(rest, _mm256_set1_epi16(6554));
  __m256i ones = _mm256_sub_epi16(rest, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10)));
  __m256i high2 = _mm256_or_si256(hundreds, _mm256_slli_epi16(tens, 8));  // bytes: hundreds, tens
  // Into "HTO.HTO" order, then to characters; the point falls where the
  // shuffles leave a zero. Each half holds four words: two texts from the
  // first shuffles (words 0, 1 | 2, 3), two from the second (4, 5 | 6, 7).
  const __m256i digitsAt = _mm256_setr_epi8('0', '0', '0', '.', '0', '0', '0', 0, '0', '0', '0', '.', '0', '0', '0',
                                            0, '0', '0', '0', '.', '0', '0', '0', 0, '0', '0', '0', '.', '0', '0',
                                            '0', 0);
  const __m256i firstHigh = _mm256_setr_epi8(0, 1, -1, -1, 2, 3, -1, -1, 4, 5, -1, -1, 6, 7, -1, -1, 0, 1, -1, -1,
                                             2, 3, -1, -1, 4, 5, -1, -1, 6, 7, -1, -1);
  const __m256i firstOnes = _mm256_setr_epi8(-1, -1, 0, -1, -1, -1, 2, -1, -1, -1, 4, -1, -1, -1, 6, -1, -1, -1,
                                             0, -1, -1, -1, 2, -1, -1, -1, 4, -1, -1, -1, 6, -1);
  const __m256i secondHigh = _mm256_setr_epi8(8, 9, -1, -1, 10, 11, -1, -1, 12, 13, -1, -1, 14, 15, -1, -1, 8, 9,
                                              -1, -1, 10, 11, -1, -1, 12, 13, -1, -1, 14, 15, -1, -1);
  const __m256i secondOnes = _mm256_setr_epi8(-1, -1, 8, -1, -1, -1, 10, -1, -1, -1, 12, -1, -1, -1, 14, -1, -1, -1,
                                              8, -1, -1, -1, 10, -1, -1, -1, 12, -1, -1, -1, 14, -1);
  __m256i first = _mm256_or_si256(_mm256_shuffle_epi8(high2, firstHigh), _mm256_shuffle_epi8(ones, firstOnes));
  __m256i second = _mm256_or_si256(_mm256_shuffle_epi8(high2, secondHigh), _mm256_shuffle_epi8(ones, secondOnes));
  // The integer part's leading zeros, two at most, shifted out of each
  // text: one when it is below 100 (t below 100000), two below 10.
  __m256i skip = _mm256_sub_epi32(_mm256_setzero_si256(),
                                  _mm256_add_epi32(_mm256_cmpgt_epi32(_mm256_set1_epi32(100000), t),
                                                   _mm256_cmpgt_epi32(_mm256_set1_epi32(10000), t)));
  __m256i lowSkip = _mm256_unpacklo_epi32(skip, _mm256_setzero_si256());  // words 0, 1 | 2, 3
  __m256i highSkip = _mm256_unpackhi_epi32(skip, _mm256_setzero_si256());
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.text),
                      _mm256_srlv_epi64(_mm256_add_epi8(first, digitsAt), _mm256_slli_epi64(lowSkip, 3)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.text + 4),
                      _mm256_srlv_epi64(_mm256_add_epi8(second, digitsAt), _mm256_slli_epi64(highSkip, 3)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.length), _mm256_sub_epi64(_mm256_set1_epi64x(7), lowSkip));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.length + 4), _mm256_sub_epi64(_mm256_set1_epi64x(7), highSkip));
}

// The %.3f texts of up to sixteen words, each followed by a two-byte
// suffix, for every finite float below 10^7 in magnitude; the rest (NaN,
// infinities, larger) are left to formatValue. Each text is at most 14
// bytes:
//
//   "-9999999.999, "   sign, up to seven digits, point, three, suffix
//
// t is as in narrowTexts, below 10^10 now. The rest is exact integer
// arithmetic:
//
//   t = 1234567890   ->  Q = t / 10^4 = 123456,  G = t % 10^4 = 7890
//                    ->  "00123456" and "7.890" + suffix
//                    ->  leading zeros off "00123456" (never its last
//                        digit), the sign in the place of the last one
//                    ->  "123456" "7.890, "  ->  "-123456" "7.890, "
//
// Sixteen at a time, in four quarters of four in 64-bit lanes: chains of
// the lengths of these would leave much of the CPU idle eight at a time.
struct SixteenTexts {
  alignas(32) char text[16][16];  // the text, then bytes of no account; by slotOf
  uint64_t length[16];            // of the text, plus the caller's `extra`
  int fits;                       // bit i: word i is in the lanes
};

// The texts of the first `left` (at most sixteen) of the words at `words`.
AVX2 inline __attribute__((always_inline)) void sixteenTexts(const uint32_t* words, size_t left, uint64_t suffix,
                                                             uint64_t extra, SixteenTexts& texts) {
  __m256i t[4], quotients[4], negative[4];
  __m256i eight[2] = {loadWords(words, left), left > 8 ? loadWords(words + 8, left - 8) : _mm256_setzero_si256()};
  texts.fits = 0;
  for (int quarter = 0; quarter < 4; ++quarter) {
    __m128i four = quarter % 2 == 0 ? _mm256_castsi256_si128(eight[quarter / 2])
                                    : _mm256_extracti128_si256(eight[quarter / 2], 1);
    // Widening to a double and the product with 1000 are exact; the sign
    // is the float's, kept also for -0.0 and for negatives that round to 0.
    // Other lanes, NaN and all, get harmless nonsense: integer lanes have
    // no traps.
    __m256d scaled = _mm256_mul_pd(_mm256_cvtps_pd(_mm_castsi128_ps(four)), _mm256_set1_pd(1000.0));
    negative[quarter] = _mm256_cmpgt_epi64(_mm256_setzero_si256(), _mm256_castpd_si256(scaled));
    __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), scaled);
    texts.fits |= _mm256_movemask_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(1e10), _CMP_LT_OQ)) << 4 * quarter;
    t[quarter] = _mm256_castpd_si256(_mm256_add_pd(magnitude, _mm256_set1_pd(kIntegerBits)));
    // Q = t / 10^4 = (t / 16) / 625, t / 16 < 2^30 in the low 32 bits of
    // t's lane: times ceil(2^41 / 625) = (2^41 + 73) / 625 and shifted
    // down by 41 it is at most 73 * 2^32 / 2^41 / 625 < 1 / 625 too large,
    // so the floor is exact.
    quotients[quarter] = _mm256_srli_epi64(
        _mm256_mul_epu32(_mm256_srli_epi64(t[quarter], 4), _mm256_set1_epi64x(3518437209)), 41);
  }
  const __m256i tailOf[2] = {
      _mm256_setr_epi8(0, -1, 1, 2, 3, -1, -1, -1, 4, -1, 5, 6, 7, -1, -1, -1, 0, -1, 1, 2, 3, -1, -1, -1, 4, -1, 5,
                       6, 7, -1, -1, -1),
      _mm256_setr_epi8(8, -1, 9, 10, 11, -1, -1, -1, 12, -1, 13, 14, 15, -1, -1, -1, 8, -1, 9, 10, 11, -1, -1, -1,
                       12, -1, 13, 14, 15, -1, -1, -1)};
  const __m256i tailBytes = _mm256_set1_epi64x(static_cast<long long>('.' << 8 | suffix << 40));
  for (int pair = 0; pair < 4; pair += 2) {
    // G = t - 10^4 Q, in the low 32 bits; the eight of two quarters, words
    // 0, 1, 4, 5 | 2, 3, 6, 7 of them, as four digits each.
    __m256i remainders[2];
    for (int k = 0; k < 2; ++k)
      remainders[k] = _mm256_sub_epi64(t[pair + k], _mm256_mul_epu32(quotients[pair + k], _mm256_set1_epi64x(10000)));
    __m256i fractions = fourDigits(_mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(remainders[0]), _mm256_castsi256_ps(remainders[1]), 0x88)));
    // Q < 10^6 as Q / 10^4 and Q % 10^4 (the product with 2^45 / 10^4
    // rounded up, exact below 2^32), then their four digits each: the
    // eight digits of Q.
    __m256i parts[2];
    for (int k = 0; k < 2; ++k) {
      __m256i q = quotients[pair + k];
      __m256i high = _mm256_srli_epi64(_mm256_mul_epu32(q, _mm256_set1_epi64x(0xD1B71759)), 45);
      __m256i low = _mm256_sub_epi64(q, _mm256_mul_epu32(high, _mm256_set1_epi64x(10000)));
      parts[k] = _mm256_or_si256(high, _mm256_slli_epi64(low, 32));
    }
    __m256i wholes[2];
    fourDigitsOfBoth(parts[0], parts[1], wholes[0], wholes[1]);
    for (int k = 0; k < 2; ++k) {
      int quarter = pair + k;
      // "d.ddd" and the suffix: G's digits with the point after the first.
      __m256i tail = _mm256_or_si256(_mm256_shuffle_epi8(fractions, tailOf[k]), tailBytes);
      // Q's leading zeros, at least two and at most all eight: the run of
      // 0xFF bytes from the lowest, isolated by the carry of adding 1, and
      // counted eight bits a byte by the sum of bytes. A negative keeps
      // one, to be its sign: '0' - 3 is '-'.
      __m256i zeros = _mm256_cmpeq_epi8(wholes[k], _mm256_set1_epi8('0'));
      __m256i run = _mm256_andnot_si256(_mm256_add_epi64(zeros, _mm256_set1_epi64x(1)), zeros);
      __m256i skip = _mm256_sad_epu8(_mm256_and_si256(run, _mm256_set1_epi8(8)), _mm256_setzero_si256());
      skip = _mm256_add_epi64(skip, _mm256_slli_epi64(negative[quarter], 3));  // 8 bits fewer
      // The integer part without its skipped bytes, then the tail:
      // sixteen bytes in two words. Shifts by 64 bits or more give 0.
      __m256i first = _mm256_or_si256(_mm256_srlv_epi64(wholes[k], skip),
                                      _mm256_sllv_epi64(tail, _mm256_sub_epi64(_mm256_set1_epi64x(64), skip)));
      first = _mm256_sub_epi64(first, _mm256_and_si256(negative[quarter], _mm256_set1_epi64x('0' - '-')));
      __m256i second = _mm256_srlv_epi64(tail, skip);
      storeFour(texts.text + 4 * quarter, first, second);
      // 8 + 7 bytes less those skipped.
      __m256i length = _mm256_srli_epi64(
          _mm256_sub_epi64(_mm256_set1_epi64x(static_cast<long long>(8 * (15 + extra))), skip), 3);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.length + 4 * quarter), length);
    }
  }
}

// The shortest texts of up to sixteen floats, as formatShortest writes
// them, for every finite float below 10^7 in magnitude that it writes in
// the fixed form; the others (the exponent form, NaN, infinities, larger)
// are left to formatShortest. The steps are those of format.cpp, which
// says why each is exact, with 10^d = 5^d 2^d: x = m 2^-q, and at d
// decimals
//
//   x * 10^d * 2^(q+2-d)  =  4m * 5^d  <  2^24 * 5^12 * 4  <  2^55
//
// for 0 <= q <= 37 (2^-14 <= x < 2^24; below 10^-4 the exponent form is
// shorter). The candidates c are below 10m < 2^28, so the products take
// _mm256_mul_epu32 (32 x 32 bits), and the divisions by 10 the 32-bit
// reciprocal 0xCCCCCCCD >> 35, exact below 2^32. From c and d the text:
//
//   c = 12340, d = 3  ->  "0000000000012340"   sixteen digits, the first
//                                              seven always 0 (c < 10^9)
//                     ->  "12" and ".340"      integer part, point, decimals
//                     ->  ",12" and ".34"      a comma (and sign) before the
//                                              first, trailing zeros cut
//
// The lanes also choose between the fixed and the exponent form as
// to_chars does: the fixed one unless the exponent form ("1.234e+01") is
// shorter. Each text is two pieces of sixteen bytes, its length each.
struct SixteenShortest {
  alignas(32) char whole[16][16];     // ',', '-' if negative, the integer part; by slotOf
  alignas(32) char fraction[16][16];  // '.' and the decimals, if any; by slotOf
  uint64_t wholeLength[16];
  uint64_t fractionLength[16];
  int fits;
};

AVX2 __m256i divideBy10(__m256i x) {  // x < 2^32 in each 64-bit lane
  return _mm256_srli_epi64(_mm256_mul_epu32(x, _mm256_set1_epi64x(0xCCCCCCCD)), 35);
}

// Sixteen bytes, `low` then `high` in each pair of 64-bit lanes, shifted
// down by `bits`, a multiple of 8 up to 128: bytes from the given one on.
// Shifts by 64 bits or more, or by negative counts, give 0.
AVX2 __m256i fromLow(__m256i low, __m256i high, __m256i bits) {
  const __m256i width = _mm256_set1_epi64x(64);
  return _mm256_or_si256(_mm256_or_si256(_mm256_srlv_epi64(low, bits),
                                         _mm256_sllv_epi64(high, _mm256_sub_epi64(width, bits))),
                         _mm256_srlv_epi64(high, _mm256_sub_epi64(bits, width)));
}

// Four floats, in the low 32 bits of 64-bit lanes; their texts go to
// lanes `at` to `at + 3` of `texts`.
AVX2 inline __attribute__((always_inline)) void fourShortest(__m256i word, SixteenShortest& texts, int at) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi64x(1);
  __m256i sign = _mm256_srli_epi64(word, 31);
  __m256i exponent = _mm256_and_si256(_mm256_srli_epi64(word, 23), _mm256_set1_epi64x(0xFF));
  __m256i mantissa = _mm256_and_si256(word, _mm256_set1_epi64x(0x7FFFFF));
  __m256i m = _mm256_or_si256(mantissa, _mm256_set1_epi64x(0x800000));
  // 2^-14 <= |x| < 10^7, as the bits of the magnitude order as it does.
  __m256i magnitude = _mm256_and_si256(word, _mm256_set1_epi64x(0x7FFFFFFF));
  __m256i isZero = _mm256_cmpeq_epi64(magnitude, zero);
  __m256i inRange = _mm256_andnot_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(0x38800000), magnitude),
                                        _mm256_cmpgt_epi64(_mm256_set1_epi64x(0x4B189680), magnitude));
  // q, and d = floor(q log10 2) + 1 (1233 / 4096 is close enough up to
  // q = 59), the fewest decimals with 10^d > 2^q. Other lanes get
  // harmless nonsense: integer lanes have no traps.
  __m256i q = _mm256_sub_epi64(_mm256_set1_epi64x(150), exponent);
  __m256i d = _mm256_add_epi64(_mm256_srli_epi64(_mm256_mul_epu32(q, _mm256_set1_epi64x(1233)), 12), one);
  // 5^d, d from 1 to 12, from two tables of eight by the low three bits.
  __m256i power = _mm256_blendv_epi8(
      _mm256_permutevar8x32_epi32(_mm256_setr_epi32(1, 5, 25, 125, 625, 3125, 15625, 78125), d),
      _mm256_permutevar8x32_epi32(_mm256_setr_epi32(390625, 1953125, 9765625, 48828125, 244140625, 0, 0, 0), d),
      _mm256_cmpgt_epi64(d, _mm256_set1_epi64x(7)));
  power = _mm256_and_si256(power, _mm256_set1_epi64x(0xFFFFFFFF));

  // As format.cpp's shortestFixed, scaled by 2^(q+2-d) instead of
  // 2^(q+2). At a power of two the next float down is half as near, so
  // the interval reaches only half as far below: 5^d instead of 2 * 5^d.
  // The nearest at d is still inside: x * 10^d is an integer up to q = 34,
  // and from there to 37 a quarter or a half off one, which is less than
  // the 10^d / 2^(q+2) of the interval's lower half.
  __m256i shift = _mm256_sub_epi64(_mm256_add_epi64(q, _mm256_set1_epi64x(2)), d);
  __m256i unit = _mm256_sllv_epi64(one, shift);
  __m256i open = _mm256_and_si256(m, one);
  __m256i scaled = _mm256_slli_epi64(_mm256_mul_epu32(m, power), 2);
  __m256i twice = _mm256_add_epi64(power, power);
  __m256i below = _mm256_sub_epi64(twice, _mm256_and_si256(power, _mm256_cmpeq_epi64(mantissa, zero)));
  __m256i last = _mm256_srlv_epi64(_mm256_sub_epi64(_mm256_add_epi64(scaled, twice), open), shift);
  __m256i first = _mm256_srlv_epi64(
      _mm256_add_epi64(_mm256_sub_epi64(_mm256_add_epi64(scaled, open), below), _mm256_sub_epi64(unit, one)), shift);
  __m256i tens = divideBy10(last);
  __m256i fewer = _mm256_xor_si256(_mm256_cmpgt_epi64(first, _mm256_mul_epu32(tens, _mm256_set1_epi64x(10))),
                                   _mm256_set1_epi64x(-1));
  // The nearest at d decimals, a tie to the even one.
  __m256i rounded = _mm256_add_epi64(scaled, _mm256_srli_epi64(unit, 1));
  __m256i nearest = _mm256_srlv_epi64(rounded, shift);
  __m256i tie = _mm256_and_si256(
      _mm256_cmpeq_epi64(_mm256_and_si256(rounded, _mm256_sub_epi64(unit, one)), zero),
      _mm256_and_si256(nearest, one));
  nearest = _mm256_sub_epi64(nearest, tie);
  __m256i c = _mm256_andnot_si256(isZero, _mm256_blendv_epi8(nearest, tens, fewer));
  d = _mm256_andnot_si256(isZero, _mm256_add_epi64(d, fewer));  // fewer is -1 where it holds; 0 has "0"

  // c's sixteen digits: "0000000", c / 10^8, then the eight of c % 10^8
  // as two halves of four; x / 10^4 by the product with 2^45 / 10^4
  // rounded up, exact below 2^32.
  const __m256i tenThousand = _mm256_set1_epi64x(10000);
  __m256i above = _mm256_srli_epi64(_mm256_mul_epu32(c, _mm256_set1_epi64x(0xD1B71759)), 45);
  __m256i low = _mm256_sub_epi64(c, _mm256_mul_epu32(above, tenThousand));
  __m256i top = _mm256_srli_epi64(_mm256_mul_epu32(above, _mm256_set1_epi64x(0xD1B71759)), 45);
  __m256i high = _mm256_sub_epi64(above, _mm256_mul_epu32(top, tenThousand));
  __m256i digitsHigh = fourDigits(_mm256_or_si256(high, _mm256_slli_epi64(low, 32)));
  __m256i digitsLow = _mm256_add_epi64(_mm256_set1_epi64x(0x3030303030303030), _mm256_slli_epi64(top, 56));

  // Leading zeros of the sixteen (seven, or eight and those of the last
  // eight), and trailing zeros (those of the last eight read backwards;
  // at most eight, as c has at most nine digits).
  __m256i zeros = _mm256_cmpeq_epi8(digitsHigh, _mm256_set1_epi8('0'));
  __m256i leading = _mm256_blendv_epi8(
      _mm256_add_epi64(_mm256_srli_epi64(leadingRunBits(zeros), 3), _mm256_set1_epi64x(8)),
      _mm256_set1_epi64x(7), _mm256_cmpgt_epi64(top, zero));
  const __m256i backwards = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2,
                                             1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
  __m256i trailing = _mm256_srli_epi64(leadingRunBits(_mm256_shuffle_epi8(zeros, backwards)), 3);
  // The integer part is digits `start` to 15 - d: x's own digits, or
  // the last "0" of those before the point, at least one. The decimals
  // kept are d less the trailing zeros.
  const __m256i sixteen = _mm256_set1_epi64x(16);
  __m256i start = _mm256_min_epi32(leading, _mm256_sub_epi64(_mm256_set1_epi64x(15), d));  // both below 2^31
  __m256i wholeDigits = _mm256_sub_epi64(_mm256_sub_epi64(sixteen, d), start);
  __m256i kept = _mm256_max_epi32(_mm256_sub_epi64(d, trailing), zero);  // the high halves 0 or -1: 0
  __m256i fractionLength = _mm256_sub_epi64(kept, _mm256_cmpgt_epi64(kept, zero));  // and the point
  // The exponent form: the significant digits, a point after the first
  // if there are more, and "e+dd" or "e-dd". A tie goes to the fixed form.
  __m256i significant = _mm256_sub_epi64(_mm256_sub_epi64(sixteen, leading), trailing);
  __m256i exponentForm = _mm256_sub_epi64(_mm256_add_epi64(significant, _mm256_set1_epi64x(4)),
                                          _mm256_cmpgt_epi64(significant, one));
  __m256i longer = _mm256_cmpgt_epi64(_mm256_add_epi64(wholeDigits, fractionLength), exponentForm);
  __m256i fits = _mm256_or_si256(_mm256_andnot_si256(longer, inRange), isZero);
  texts.fits |= _mm256_movemask_pd(_mm256_castsi256_pd(fits)) << at;

  // The comma and sign take the places of the two zeros before the
  // integer part (start is 3 or more): '0' - 4 is ',', '0' - 3 is '-'.
  __m256i drop = _mm256_slli_epi64(_mm256_sub_epi64(_mm256_sub_epi64(start, one), sign), 3);
  __m256i marks = _mm256_or_si256(_mm256_set1_epi64x(4),
                                  _mm256_and_si256(_mm256_sub_epi64(zero, sign), _mm256_set1_epi64x(0x300)));
  __m256i wholeLow = _mm256_sub_epi64(fromLow(digitsLow, digitsHigh, drop), marks);
  storeFour(texts.whole + at, wholeLow, _mm256_srlv_epi64(digitsHigh, drop));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.wholeLength + at),
                      _mm256_add_epi64(_mm256_add_epi64(wholeDigits, one), sign));
  // The point in the place of the last integer digit, then the decimals.
  __m256i dot = _mm256_slli_epi64(_mm256_sub_epi64(_mm256_set1_epi64x(15), d), 3);
  __m256i fractionLow = _mm256_or_si256(
      _mm256_andnot_si256(_mm256_set1_epi64x(0xFF), fromLow(digitsLow, digitsHigh, dot)), _mm256_set1_epi64x('.'));
  storeFour(texts.fraction + at, fractionLow, _mm256_srlv_epi64(digitsHigh, dot));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.fractionLength + at), fractionLength);
}

// The texts of the first `left` (at most sixteen) of the words at `words`.
AVX2 inline __attribute__((always_inline)) void sixteenShortest(const uint32_t* words, size_t left,
                                                                SixteenShortest& texts) {
  texts.fits = 0;
  __m256i low = loadWords(words, left);
  __m256i high = left > 8 ? loadWords(words + 8, left - 8) : _mm256_setzero_si256();
  fourShortest(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(low)), texts, 0);
  fourShortest(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(low, 1)), texts, 4);
  fourShortest(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(high)), texts, 8);
  fourShortest(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(high, 1)), texts, 12);
}

AVX2 uint64_t bitsWhereEqual(__m256i low, __m256i high, __m256i c) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, c))) |
         static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, c)))) << 32;
}

}  // namespace

// Eight windows at a time: their words, as strtoll reads them, most
// significant digit first.
//
//   "3F800000"  ->  nibbles 3 F 8 0 0 0 0 0  ->  bytes 3F 80 00 00
//               ->  word 0x3F800000 (its lowest byte first in memory)
AVX2 size_t convertCleanWindows(const char* p, size_t left, uint32_t* words, size_t max) {
  size_t clean = 0;
  for (size_t at = 0; clean < max; at += 64) {
    __m256i bad[2], bytes[2];
    for (int k = 0; k < 2; ++k) {
      // 16 * first + second for each pair of digits: one byte of a word
      // each. At most 255, so neither the sum nor the packing saturates.
      __m256i nibbles = hexValues(loadWindows(p, left, at + 32 * static_cast<size_t>(k)), bad[k]);
      bytes[k] = _mm256_maddubs_epi16(nibbles, _mm256_set1_epi16(0x0110));
    }
    // Windows 0, 1, 4, 5 | 2, 3, 6, 7, to their order; each window's
    // first byte is its word's highest.
    __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(bytes[0], bytes[1]), 0xD8);
    packed = _mm256_shuffle_epi8(packed, _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2,
                                                          1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words + clean), _mm256_castsi256_si128(packed));
    if (clean + 4 < max)  // within the room of max + 4 words
      _mm_storeu_si128(reinterpret_cast<__m128i*>(words + clean + 4), _mm256_extracti128_si256(packed, 1));
    uint64_t wrong = static_cast<uint32_t>(_mm256_movemask_epi8(bad[0])) |
                     static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(bad[1]))) << 32;
    if (wrong != 0) {
      clean += static_cast<size_t>(__builtin_ctzll(wrong)) / 8;
      break;
    }
    clean += 8;
  }
  return clean < max ? clean : max;
}

AVX2 char* formatPlainValues(char* out, const uint32_t* words, size_t n) {
  for (size_t i = 0; i < n; i += 16) {
    size_t left = n - i < 16 ? n - i : 16;
    if (allNarrow(words + i, left)) {
      for (size_t j = i; j < i + left; j += 8) {
        NarrowTexts texts;
        narrowTexts(loadWords(words + j, n - j), texts);
        for (size_t lane = 0; lane < 8 && j + lane < n; ++lane) {
          std::memcpy(out, ", -", 4);  // the text overwrites the '-' unless it is negative
          out += 2 + (words[j + lane] >> 31);
          std::memcpy(out, &texts.text[lane], 8);
          out += texts.length[lane];
        }
      }
      continue;
    }
    // Each text from these lanes brings the ", " of the next: one is
    // written before the first, and the last one's is taken back.
    SixteenTexts texts;
    sixteenTexts(words + i, left, ' ' << 8 | ',', 0, texts);
    std::memcpy(out, ", ", 2);
    out += 2;
    if (texts.fits == 0xFFFF && left == 16) {
      for (size_t lane = 0; lane < 16; ++lane) {
        std::memcpy(out, texts.text[slotOf(lane)], 16);
        out += texts.length[lane];
      }
      out -= 2;
      continue;
    }
    for (size_t lane = 0; lane < left; ++lane) {
      if (texts.fits >> lane & 1) {
        std::memcpy(out, texts.text[slotOf(lane)], 16);
        out += texts.length[lane];
      } else {
        out = formatValue(out, words[i + lane]);
        std::memcpy(out, ", ", 2);
        out += 2;
      }
    }
    out -= 2;
  }
  return out;
}

AVX2 char* formatVerboseValues(char* out, const uint32_t* words, size_t n, const char (*names)[kNameRoom]) {
  for (size_t i = 0; i < n; i += 16) {
    size_t left = n - i < 16 ? n - i : 16;
    if (allNarrow(words + i, left)) {
      for (size_t j = i; j < i + left; j += 8) {
        NarrowTexts texts;
        narrowTexts(loadWords(words + j, n - j), texts);
        for (size_t lane = 0; lane < 8 && j + lane < n; ++lane) {
          std::memcpy(out, names[j + lane], kNameRoom);
          out[25] = '-';  // the text overwrites it unless it is negative
          out += 25 + (words[j + lane] >> 31);
          std::memcpy(out, &texts.text[lane], 8);
          out += texts.length[lane];
          std::memcpy(out, "\r\n", 2);
          out += 2;
        }
      }
      continue;
    }
    SixteenTexts texts;
    sixteenTexts(words + i, left, '\n' << 8 | '\r', 25, texts);
    for (size_t lane = 0; lane < left; ++lane) {
      std::memcpy(out, names[i + lane], kNameRoom);
      if (texts.fits >> lane & 1) {
        std::memcpy(out + 25, texts.text[slotOf(lane)], 16);
        out += texts.length[lane];
      } else {
        out = formatValue(out + 25, words[i + lane]);
        std::memcpy(out, "\r\n", 2);
        out += 2;
      }
    }
  }
  return out;
}

AVX2 char* formatShortestValues(char* out, const uint32_t* words, size_t n, const char* missing,
                                size_t missingLength, uint32_t firstMissing) {
  SixteenShortest texts;
  for (size_t i = 0; i < n; i += 16) {
    sixteenShortest(words + i, n - i, texts);
    size_t lanes = n - i < 16 ? n - i : 16;
    for (size_t lane = 0; lane < lanes; ++lane) {
      uint32_t word = words[i + lane];
      if (texts.fits >> lane & 1) {
        std::memcpy(out, texts.whole[slotOf(lane)], 16);
        out += texts.wholeLength[lane];
        std::memcpy(out, texts.fraction[slotOf(lane)], 16);
        out += texts.fractionLength[lane];
      } else if ((word & 0x7FFFFFFF) >= firstMissing) {
        *out++ = ',';
        std::memcpy(out, missing, missingLength);
        out += missingLength;
      } else {
        *out++ = ',';
        out = formatShortest(out, word);
      }
    }
  }
  return out;
}

AVX2 int valueLanes(const uint32_t* words) {
  SixteenTexts texts;
  sixteenTexts(words, 8, 0, 0, texts);
  return texts.fits & 0xFF;  // not the zeros that fill the lanes after them
}

AVX2 int shortestLanes(const uint32_t* words) {
  SixteenShortest texts;
  sixteenShortest(words, 8, texts);
  return texts.fits & 0xFF;
}

AVX2 void markLineFeedsAndNuls(const char* block, size_t n, uint64_t* lineFeeds, uint64_t* nuls) {
  const __m256i lineFeed = _mm256_set1_epi8('\n');
  const __m256i zero = _mm256_setzero_si256();
  for (size_t at = 0; at < n; at += 64) {
    __m256i low, high;
    if (at + 64 <= n) {
      low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + at));
      high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + at + 32));
    } else {
      // Past the end: bytes that are neither, so that no bit is set there.
      alignas(32) char tail[64];
      std::memset(tail, 1, sizeof tail);
      std::memcpy(tail, block + at, n - at);
      low = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail));
      high = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail + 32));
    }
    lineFeeds[at / 64] = bitsWhereEqual(low, high, lineFeed);
    nuls[at / 64] = bitsWhereEqual(low, high, zero);
  }
}

}  // namespace hexlog

#endif
