#include "vector.hpp"

#include <cstring>

#include "format.hpp"

#if defined(__x86_64__) && !defined(HEXLOG_NO_VECTOR)
#define HEXLOG_AVX2 1
#include <immintrin.h>
#endif

namespace hexlog {

#ifdef HEXLOG_AVX2

// Only these functions are compiled for AVX2; the rest of the tool runs on
// any x86-64, and the vector setting, which defaults to vectorsAvailable(),
// keeps them from running where AVX2 is missing.
#define AVX2 __attribute__((target("avx2")))

bool vectorsAvailable() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

namespace {

// 0xFF in each byte that is 0-9, A-F or a-f. Signed compares: bytes from
// 0x80 up are negative and fall outside both ranges.
AVX2 __m256i hexDigits(__m256i c) {
  __m256i digit = _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8('0' - 1)),
                                   _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), c));
  __m256i lower = _mm256_or_si256(c, _mm256_set1_epi8(0x20));
  __m256i letter = _mm256_and_si256(_mm256_cmpgt_epi8(lower, _mm256_set1_epi8('a' - 1)),
                                    _mm256_cmpgt_epi8(_mm256_set1_epi8('f' + 1), lower));
  return _mm256_or_si256(digit, letter);
}

// The words of four windows of eight hexadecimal digits, as strtoll reads
// them: most significant digit first.
//
//   "3F800000"  ->  nibbles 3 F 8 0 0 0 0 0  ->  bytes 3F 80 00 00
//               ->  word 0x3F800000 (its lowest byte first in memory)
AVX2 __m128i fourWords(__m256i c) {
  // A digit's value is its low nibble; a letter (bit 6 set) adds 9.
  __m256i letters = _mm256_and_si256(_mm256_srli_epi16(c, 6), _mm256_set1_epi8(1));
  __m256i nibbles = _mm256_add_epi8(_mm256_and_si256(c, _mm256_set1_epi8(0x0F)),
                                    _mm256_add_epi8(_mm256_slli_epi16(letters, 3), letters));
  // 16 * first + second for each pair of digits: one byte of a word each.
  // At most 255, so neither the sum nor the packing saturates.
  __m256i bytes = _mm256_maddubs_epi16(nibbles, _mm256_set1_epi16(0x0110));
  bytes = _mm256_packus_epi16(bytes, bytes);                   // 8 bytes in each half
  __m128i words = _mm256_castsi256_si128(_mm256_permute4x64_epi64(bytes, 0x08));
  // Each window's first byte is its word's highest.
  return _mm_shuffle_epi8(words, _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
}

// The %.3f texts of eight words whose floats have |x * 1000| < 999999.5,
// "ddd.ddd" less the leading zeros, one to a 64-bit lane, and which lanes
// qualify. x * 1000 is exact in a double (24 + 10 bits of 53), so rounding
// it to an integer, to nearest with ties to even as printf does, rounds the
// exact value to three decimals; from there on all is integer arithmetic.
struct EightTexts {
  uint64_t text[8];     // without the leading zeros
  uint32_t length[8];   // of the text
  int fits;             // bit i: word i is finite and below the bound
};

// Four floats times 1000, rounded: their magnitudes as integers, and which
// are below the bound (NaN is not). Widening a float to a double is exact,
// and so is the product; the rounding is the only one.
AVX2 __m128i thousandths(__m128 values, int& fits) {
  __m256d scaled = _mm256_mul_pd(_mm256_cvtps_pd(values), _mm256_set1_pd(1000.0));
  __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), scaled);
  magnitude = _mm256_round_pd(magnitude, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  fits = _mm256_movemask_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(999999.5), _CMP_LT_OQ));
  magnitude = _mm256_min_pd(magnitude, _mm256_set1_pd(999999.0));  // keeps the other lanes harmless
  return _mm256_cvtpd_epi32(magnitude);                             // exact: already integers
}

AVX2 EightTexts eightTexts(__m256i words) {
  EightTexts texts;
  int low, high;
  __m256i t = _mm256_set_m128i(thousandths(_mm256_extractf128_ps(_mm256_castsi256_ps(words), 1), high),
                               thousandths(_mm256_castps256_ps128(_mm256_castsi256_ps(words)), low));
  texts.fits = low | high << 4;
  // t / 1000 exactly, by the 64-bit product with 2^38 / 1000 rounded up.
  const __m256i magic = _mm256_set1_epi32(0x10624DD3);
  __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(t, magic), 38);
  __m256i odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(t, 32), magic), 38);
  __m256i whole = _mm256_or_si256(even, _mm256_slli_epi64(odd, 32));
  __m256i fraction = _mm256_sub_epi32(t, _mm256_mullo_epi32(whole, _mm256_set1_epi32(1000)));
  // Sixteen-bit lanes: whole, fraction of word 0, of word 1, ... (each < 1000).
  __m256i parts = _mm256_or_si256(whole, _mm256_slli_epi32(fraction, 16));
  // Three digits of each: x / 100 = x * 5243 >> 19 and r / 10 = r * 6554 >>
  // 16, exact below 1000 and 100.
  __m256i hundreds = _mm256_srli_epi16(_mm256_mulhi_epu16(parts, _mm256_set1_epi16(5243)), 3);
  __m256i rest = _mm256_sub_epi16(parts, _mm256_mullo_epi16(hundreds, _mm256_set1_epi16(100)));
  __m256i tens = _mm256_mulhi_epu16(rest, _mm256_set1_epi16(6554));
  __m256i ones = _mm256_sub_epi16(rest, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10)));
  __m256i high2 = _mm256_or_si256(hundreds, _mm256_slli_epi16(tens, 8));  // bytes: hundreds, tens
  // Into "HTO.HTO" order, then to characters; the point falls where the
  // shuffles leave a zero. Each half holds four words: two texts from the
  // first shuffles, two from the second.
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
  first = _mm256_add_epi8(first, digitsAt);    // words 0, 1 | 4, 5
  second = _mm256_add_epi8(second, digitsAt);  // words 2, 3 | 6, 7
  // The integer part's leading zeros, two at most, shifted out of each
  // text: one when it is below 100 (t below 100000), two below 10.
  __m256i skip = _mm256_sub_epi32(_mm256_setzero_si256(),
                                  _mm256_add_epi32(_mm256_cmpgt_epi32(_mm256_set1_epi32(100000), t),
                                                   _mm256_cmpgt_epi32(_mm256_set1_epi32(10000), t)));
  __m256i shift = _mm256_slli_epi32(skip, 3);
  __m256i lowTexts = _mm256_srlv_epi64(_mm256_permute2x128_si256(first, second, 0x20),
                                       _mm256_cvtepu32_epi64(_mm256_castsi256_si128(shift)));
  __m256i highTexts = _mm256_srlv_epi64(_mm256_permute2x128_si256(first, second, 0x31),
                                        _mm256_cvtepu32_epi64(_mm256_extracti128_si256(shift, 1)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.text), lowTexts);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.text + 4), highTexts);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.length), _mm256_sub_epi32(_mm256_set1_epi32(7), skip));
  return texts;
}

// One value's text from its lane, after `out` has its sign written in
// case it needs one (printf keeps it for -0.0 and for negatives that round
// to zero); or the scalar formatValue.
inline char* writeValue(char* out, uint32_t word, const EightTexts& texts, size_t lane) {
  if ((texts.fits >> lane & 1) == 0)
    return formatValue(out, word);
  out += word >> 31;
  std::memcpy(out, &texts.text[lane], 8);
  return out + texts.length[lane];
}

// The shortest texts of eight floats, as formatShortest writes them, for
// the lanes whose floats it takes the fixed form for and that fit the
// lanes' arithmetic; the others are left to formatShortest. The steps are
// those of format.cpp, which says why each is exact; here they run in
// 64-bit lanes, four floats at a time, where everything stays below 2^58:
//
//   m < 2^24, 10^d <= 10^9 < 2^30       x * 10^d scaled = 4m * 10^d < 2^56
//   candidates c < 10 * 2^24 < 2^28     x * 10^d < m * 10^d / 2^q <= 10m
//
// so that the products take _mm256_mul_epu32 (32 x 32 bits) and the
// divisions by 10 the 32-bit reciprocal 0xCCCCCCCD >> 35, exact below 2^32.
struct EightShortest {
  uint32_t whole[8];       // "ddd." less its leading zeros
  uint32_t wholeLength[8];
  uint64_t fraction[8];    // the d digits after the point
  uint32_t decimals[8];
  int fits;
};

// 10^d and d, for d the fewest decimals with 10^d > 2^q; 0 where the
// lanes cannot take q (10^d from 10^10 up).
struct LaneDecimals {
  uint64_t power[33];
  uint64_t decimals[33];
  constexpr LaneDecimals() : power(), decimals() {
    uint64_t tens = 1;
    unsigned d = 0;
    for (unsigned q = 1; q <= 32; ++q) {
      while (tens <= uint64_t{1} << q) {
        tens *= 10;
        ++d;
      }
      power[q] = tens < 1000000000 * uint64_t{10} ? tens : 0;
      decimals[q] = d;
    }
  }
};
constexpr LaneDecimals kLaneDecimals;

AVX2 __m256i divideBy10(__m256i x) {  // x < 2^32 in each 64-bit lane
  return _mm256_srli_epi64(_mm256_mul_epu32(x, _mm256_set1_epi64x(0xCCCCCCCD)), 35);
}

AVX2 __m256i endsInZero(__m256i x) {  // all ones where x < 2^32 is a multiple of 10
  __m256i last = _mm256_sub_epi64(x, _mm256_mul_epu32(divideBy10(x), _mm256_set1_epi64x(10)));
  return _mm256_cmpeq_epi64(last, _mm256_setzero_si256());
}

// Four floats (in the low 32 bits of 64-bit lanes): the candidate c, its
// decimals d, the integer part, and which lanes qualify.
struct FourShortest {
  __m256i fraction, d, whole, fits;
};

AVX2 FourShortest fourShortest(__m256i word) {
  const __m256i one = _mm256_set1_epi64x(1);
  __m256i exponent = _mm256_and_si256(_mm256_srli_epi64(word, 23), _mm256_set1_epi64x(0xFF));
  __m256i mantissa = _mm256_and_si256(word, _mm256_set1_epi64x(0x7FFFFF));
  __m256i m = _mm256_or_si256(mantissa, _mm256_set1_epi64x(0x800000));
  // 2^-9 < x < 2^23, no power of two: q = 150 - exponent in 1..32.
  __m256i inRange = _mm256_andnot_si256(
      _mm256_or_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(118), exponent),
                      _mm256_cmpgt_epi64(exponent, _mm256_set1_epi64x(149))),
      _mm256_xor_si256(_mm256_cmpeq_epi64(mantissa, _mm256_setzero_si256()), _mm256_set1_epi64x(-1)));
  __m256i q = _mm256_sub_epi64(_mm256_set1_epi64x(150), exponent);
  q = _mm256_blendv_epi8(one, q, inRange);  // a harmless index elsewhere
  __m256i power = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(kLaneDecimals.power), q, 8);
  __m256i d = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(kLaneDecimals.decimals), q, 8);
  __m256i fits = _mm256_andnot_si256(_mm256_cmpeq_epi64(power, _mm256_setzero_si256()), inRange);

  __m256i shift = _mm256_add_epi64(q, _mm256_set1_epi64x(2));
  __m256i unit = _mm256_sllv_epi64(one, shift);
  __m256i open = _mm256_and_si256(m, one);
  __m256i scaled = _mm256_slli_epi64(_mm256_mul_epu32(m, power), 2);
  __m256i twice = _mm256_add_epi64(power, power);
  __m256i last = _mm256_srlv_epi64(_mm256_sub_epi64(_mm256_add_epi64(scaled, twice), open), shift);
  __m256i first = _mm256_srlv_epi64(
      _mm256_sub_epi64(_mm256_add_epi64(_mm256_add_epi64(scaled, open), unit), _mm256_add_epi64(twice, one)), shift);
  __m256i tens = divideBy10(last);
  __m256i fewer = _mm256_xor_si256(_mm256_cmpgt_epi64(first, _mm256_mul_epu32(tens, _mm256_set1_epi64x(10))),
                                   _mm256_set1_epi64x(-1));
  // The nearest at d decimals, a tie to the even one.
  __m256i rounded = _mm256_add_epi64(scaled, _mm256_srli_epi64(unit, 1));
  __m256i nearest = _mm256_srlv_epi64(rounded, shift);
  __m256i tie = _mm256_and_si256(
      _mm256_cmpeq_epi64(_mm256_and_si256(rounded, _mm256_sub_epi64(unit, one)), _mm256_setzero_si256()),
      _mm256_and_si256(nearest, one));
  nearest = _mm256_sub_epi64(nearest, tie);
  __m256i c = _mm256_blendv_epi8(nearest, tens, fewer);
  __m256i pow = _mm256_blendv_epi8(power, divideBy10(power), fewer);
  d = _mm256_add_epi64(d, fewer);  // fewer is -1 where it holds
  // Fewer still where c is a multiple of 10: one more step here, any more
  // to formatShortest.
  __m256i again = endsInZero(c);
  c = _mm256_blendv_epi8(c, divideBy10(c), again);
  pow = _mm256_blendv_epi8(pow, divideBy10(pow), again);
  d = _mm256_add_epi64(d, again);
  fits = _mm256_andnot_si256(endsInZero(c), fits);
  // No decimals, ten and more, or an integer part of 1000 and more:
  // formatShortest's too.
  __m256i whole = _mm256_srlv_epi64(m, q);
  fits = _mm256_and_si256(fits, _mm256_cmpgt_epi64(d, _mm256_setzero_si256()));
  fits = _mm256_and_si256(fits, _mm256_cmpgt_epi64(_mm256_set1_epi64x(1000), whole));
  fits = _mm256_and_si256(fits, _mm256_cmpgt_epi64(_mm256_set1_epi64x(10), d));
  __m256i fraction = _mm256_sub_epi64(c, _mm256_mul_epu32(whole, pow));
  return {fraction, d, whole, fits};
}

// "HTO." of each 64-bit lane's value below 1000: x / 100 = x * 5243 >> 19
// and r / 10 = r * 103 >> 10, exact below 10^4 and 100.
AVX2 __m256i wholeTexts(__m256i x) {
  __m256i hundreds = _mm256_srli_epi32(_mm256_mullo_epi32(x, _mm256_set1_epi32(5243)), 19);
  __m256i rest = _mm256_sub_epi32(x, _mm256_mullo_epi32(hundreds, _mm256_set1_epi32(100)));
  __m256i tens = _mm256_srli_epi32(_mm256_mullo_epi32(rest, _mm256_set1_epi32(103)), 10);
  __m256i ones = _mm256_sub_epi32(rest, _mm256_mullo_epi32(tens, _mm256_set1_epi32(10)));
  __m256i digits = _mm256_or_si256(hundreds, _mm256_or_si256(_mm256_slli_epi32(tens, 8), _mm256_slli_epi32(ones, 16)));
  return _mm256_add_epi64(digits, _mm256_set1_epi64x('.' << 24 | '0' << 16 | '0' << 8 | '0'));
}

// Eight digits, most significant first in memory, of each 64-bit lane's
// value below 10^8: two halves of four digits (x / 10000 by the product
// with 2^45 / 10000 rounded up), then each half's two pairs, then digits.
AVX2 __m256i fractionTexts(__m256i x) {
  __m256i high = _mm256_srli_epi64(_mm256_mul_epu32(x, _mm256_set1_epi64x(0xD1B71759)), 45);
  __m256i low = _mm256_sub_epi64(x, _mm256_mul_epu32(high, _mm256_set1_epi64x(10000)));
  __m256i halves = _mm256_or_si256(high, _mm256_slli_epi64(low, 32));  // 32-bit lanes < 10^4
  __m256i hundreds = _mm256_srli_epi32(_mm256_mullo_epi32(halves, _mm256_set1_epi32(5243)), 19);
  __m256i pairs = _mm256_or_si256(
      hundreds, _mm256_slli_epi32(_mm256_sub_epi32(halves, _mm256_mullo_epi32(hundreds, _mm256_set1_epi32(100))),
                                  16));  // 16-bit lanes < 100
  __m256i tens = _mm256_srli_epi16(_mm256_mullo_epi16(pairs, _mm256_set1_epi16(103)), 10);
  __m256i ones = _mm256_sub_epi16(pairs, _mm256_mullo_epi16(tens, _mm256_set1_epi16(10)));
  return _mm256_add_epi8(_mm256_or_si256(tens, _mm256_slli_epi16(ones, 8)), _mm256_set1_epi8('0'));
}

// The low 32 bits of each 64-bit lane, four 32-bit lanes.
AVX2 __m128i narrow(__m256i x) {
  return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(x, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
}

AVX2 void eightShortest(__m256i words, EightShortest& texts) {
  for (int half = 0; half < 2; ++half) {
    __m128i four = half == 0 ? _mm256_castsi256_si128(words) : _mm256_extracti128_si256(words, 1);
    FourShortest lanes = fourShortest(_mm256_cvtepu32_epi64(four));
    // One leading zero off the integer part below 100, two below 10.
    __m256i skip = _mm256_sub_epi64(
        _mm256_setzero_si256(), _mm256_add_epi64(_mm256_cmpgt_epi64(_mm256_set1_epi64x(100), lanes.whole),
                                                 _mm256_cmpgt_epi64(_mm256_set1_epi64x(10), lanes.whole)));
    __m256i whole = _mm256_srlv_epi64(wholeTexts(lanes.whole), _mm256_slli_epi64(skip, 3));
    __m256i wholeLength = _mm256_sub_epi64(_mm256_set1_epi64x(4), skip);
    // Nine decimals (only below 0.125, so after "0."): the first joins the
    // integer part's text, the other eight are the fraction's. x / 10^8 by
    // the product with 2^58 / 10^8 rounded up, exact below 2^32.
    __m256i nine = _mm256_cmpeq_epi64(lanes.d, _mm256_set1_epi64x(9));
    __m256i first = _mm256_srli_epi64(_mm256_mul_epu32(lanes.fraction, _mm256_set1_epi64x(0xABCC7712)), 58);
    __m256i rest = _mm256_sub_epi64(lanes.fraction, _mm256_mul_epu32(first, _mm256_set1_epi64x(100000000)));
    whole = _mm256_or_si256(whole, _mm256_and_si256(nine, _mm256_slli_epi64(_mm256_add_epi64(first, _mm256_set1_epi64x('0')), 16)));
    wholeLength = _mm256_sub_epi64(wholeLength, nine);
    __m256i decimals = _mm256_add_epi64(lanes.d, nine);  // the fraction's own: eight of nine
    __m256i fraction = _mm256_srlv_epi64(fractionTexts(_mm256_blendv_epi8(lanes.fraction, rest, nine)),
                                         _mm256_slli_epi64(_mm256_sub_epi64(_mm256_set1_epi64x(8), decimals), 3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(texts.whole + 4 * half), narrow(whole));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(texts.wholeLength + 4 * half), narrow(wholeLength));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(texts.fraction + 4 * half), fraction);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(texts.decimals + 4 * half), narrow(decimals));
    texts.fits |= _mm256_movemask_pd(_mm256_castsi256_pd(lanes.fits)) << 4 * half;
  }
}

AVX2 uint64_t bitsWhereEqual(__m256i low, __m256i high, __m256i c) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, c))) |
         static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, c)))) << 32;
}

AVX2 __m256i loadWords(const uint32_t* words, size_t left) {
  if (left >= 8)
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
  uint32_t padded[8] = {};
  std::memcpy(padded, words, left * sizeof *words);
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(padded));
}

}  // namespace

AVX2 size_t convertCleanWindows(const char* p, size_t left, uint32_t* words, size_t max) {
  size_t clean = 0;
  for (size_t at = 0; clean < max; at += 32) {
    __m256i c;
    if (at + 32 <= left) {
      c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
    } else {
      // The end of the text: only its whole windows matter, loaded by a
      // mask that touches nothing past them; zeros, no digits, fill the rest.
      int fours = static_cast<int>((left - at) / 8 * 2);
      __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(fours), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
      c = _mm256_maskload_epi32(reinterpret_cast<const int*>(p + at), mask);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words + clean), fourWords(c));
    uint32_t digits = static_cast<uint32_t>(_mm256_movemask_epi8(hexDigits(c)));
    if (digits != 0xFFFFFFFF) {
      clean += static_cast<size_t>(__builtin_ctz(~digits)) / 8;
      break;
    }
    clean += 4;
  }
  return clean < max ? clean : max;
}

AVX2 char* formatPlainValues(char* out, const uint32_t* words, size_t n) {
  for (size_t i = 0; i < n; i += 8) {
    EightTexts texts = eightTexts(loadWords(words + i, n - i));
    size_t lanes = n - i < 8 ? n - i : 8;
    for (size_t lane = 0; lane < lanes; ++lane) {
      std::memcpy(out, ", -", 4);  // the text overwrites the '-' unless it is negative
      out = writeValue(out + 2, words[i + lane], texts, lane);
    }
  }
  return out;
}

AVX2 char* formatVerboseValues(char* out, const uint32_t* words, size_t n, const char (*names)[kNameRoom]) {
  for (size_t i = 0; i < n; i += 8) {
    EightTexts texts = eightTexts(loadWords(words + i, n - i));
    size_t lanes = n - i < 8 ? n - i : 8;
    for (size_t lane = 0; lane < lanes; ++lane) {
      std::memcpy(out, names[i + lane], kNameRoom);
      out[25] = '-';
      out = writeValue(out + 25, words[i + lane], texts, lane);
      std::memcpy(out, "\r\n", 2);
      out += 2;
    }
  }
  return out;
}

AVX2 char* formatShortestValues(char* out, const uint32_t* words, size_t n, const char* missing,
                                size_t missingLength, uint32_t firstMissing) {
  for (size_t i = 0; i < n; i += 8) {
    EightShortest texts;
    texts.fits = 0;
    eightShortest(loadWords(words + i, n - i), texts);
    size_t lanes = n - i < 8 ? n - i : 8;
    for (size_t lane = 0; lane < lanes; ++lane) {
      uint32_t word = words[i + lane];
      *out++ = ',';
      if ((word & 0x7FFFFFFF) >= firstMissing) {
        std::memcpy(out, missing, missingLength);
        out += missingLength;
      } else if ((texts.fits >> lane & 1) == 0) {
        out = formatShortest(out, word);
      } else {
        *out = '-';
        out += word >> 31;
        std::memcpy(out, &texts.whole[lane], 4);
        out += texts.wholeLength[lane];
        std::memcpy(out, &texts.fraction[lane], 8);
        out += texts.decimals[lane];
      }
    }
  }
  return out;
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

#else

bool vectorsAvailable() {
  return false;
}

size_t convertCleanWindows(const char*, size_t, uint32_t*, size_t) {
  return 0;
}
char* formatPlainValues(char* out, const uint32_t*, size_t) {
  return out;
}
char* formatVerboseValues(char* out, const uint32_t*, size_t, const char (*)[kNameRoom]) {
  return out;
}
char* formatShortestValues(char* out, const uint32_t*, size_t, const char*, size_t, uint32_t) {
  return out;
}
void markLineFeedsAndNuls(const char*, size_t, uint64_t*, uint64_t*) {}

#endif

}  // namespace hexlog
