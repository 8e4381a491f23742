// Decoding of one record line.
//
// After leading white space, a record line holds a prefix that is thrown
// away, then 8-character hexadecimal words with nothing between them:
//
//   |<- startChars ->|<- time ->|<- value 0 ->|<- value 1 ->| ... CR LF
//   ...prefix.......  5F5E1000   43C80000      41A00000
//
// The time word is a signed 32-bit count of seconds since 1970 (UTC); each
// value word is the bit pattern of an IEEE 754 single-precision number.
// The record ends at the first window that does not begin with a
// hexadecimal digit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "names.hpp"
#include "tally.hpp"

namespace hexlog {

// isxdigit() in the C locale.
inline bool isHexDigit(char c) {
  unsigned u = static_cast<unsigned char>(c);
  return u - '0' < 10 || (u | 0x20) - 'a' < 6;
}

// The 32-bit word in the (at most) 8 characters at `p`, read with the
// syntax of strtol base 16: white space, sign, 0x prefix, digits; modulo 2^32.
// Never reads past the first NUL.
uint32_t getHexLong(const char* p);

// Whether the eight characters at `p` are eight hexadecimal digits, and
// then their word. They are tested and converted together, as the bytes of
// one 64-bit word.
inline bool cleanWindow(const char* p, uint32_t& word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = 0x80 * kOnes;
  uint64_t x;
  std::memcpy(&x, p, sizeof x);  // p[0] in the lowest byte
  if ((x & kHigh) != 0)
    return false;
  // With every byte below 0x80, byte + (0x80 - m) sets its own high bit
  // exactly when byte >= m, and never carries into the next byte.
  uint64_t lower = x | 0x20 * kOnes;
  uint64_t digit = (x + 0x50 * kOnes) & ~(x + 0x46 * kOnes);           // '0' <= c <= '9'
  uint64_t letter = (lower + 0x1F * kOnes) & ~(lower + 0x19 * kOnes);  // 'a' <= c|0x20 <= 'f'
  if (((digit | letter) & kHigh) != kHigh)
    return false;
  // Digits keep their low nibble; letters (bit 6 set) add 9 to it.
  uint64_t v = (x & 0x0F * kOnes) + 9 * (x >> 6 & kOnes);
  v = (v & 0x00FF00FF00FF00FFu) << 4 | (v >> 8 & 0x00FF00FF00FF00FFu);  // digit pairs to bytes
  v = (v | v >> 8) & 0x0000FFFF0000FFFFu;
  v = (v | v >> 16) & 0xFFFFFFFFu;  // first byte lowest
  word = __builtin_bswap32(static_cast<uint32_t>(v));
  return true;
#else
  for (int i = 0; i < 8; ++i)
    if (!isHexDigit(p[i]))
      return false;
  word = getHexLong(p);
  return true;
#endif
}

// getHexLong for a window with at least eight characters before the NUL,
// the usual case inside a record: eight plain digits are converted without
// strtoll, all eight read at once.
inline uint32_t getWholeWindow(const char* p) {
  uint32_t word;
  return cleanWindow(p, word) ? word : getHexLong(p);
}

// Windows in a piece of at most 1023 characters: 127 and a part.
constexpr size_t kMaxWindows = 128;

// A decoded record and where it came from.
struct Record {
  int32_t time;
  uint32_t count;    // words[0] to words[count - 1] are present
  uint32_t missing;  // bit k: word k is no reading (its window is not eight hexadecimal digits); it is 0
  uint32_t file;     // the input, by its index in the Tally
  uint64_t line;     // the line there, from 1
  // The record text it was decoded from, while it is being handed on
  // (nullptr for a record held and given back later).
  const char* text;
  size_t length;
  // Its flags, one for each of the dataset's flag variables in their
  // order, once the Flagger has set them (nullptr before): flag f at
  // flags[f * flagStride].
  const int8_t* flags;
  size_t flagStride;
  uint32_t words[kMaxWindows];
};

// The records with from <= time < to, where given.
struct Window {
  bool hasFrom = false;
  bool hasTo = false;
  int64_t from = 0;
  int64_t to = 0;
  bool contains(int32_t time) const { return !(hasFrom && time < from) && !(hasTo && time >= to); }
};

// Takes records one at a time: a writer, or the stage that orders them.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void put(const Record& record) = 0;
  // Records one after another, as put() would take them: a sink that lays
  // them out by column may take their flags a column at a time.
  virtual void putMany(const Record* records, size_t count) {
    for (size_t i = 0; i < count; ++i)
      put(records[i]);
  }
};

// The decoder of record lines into Records, for everything but the plain
// and verbose text that TextWriter::printOneRecord prints straight from
// the line. Its settings are set before the first line; one decoder may
// not be used by two threads at once, two decoders may.
class Decoder {
 public:
  // Characters skipped from the start of the record text before the time word.
  int32_t startChars = 24;
  // Whole records with AVX2: only where vectorsAvailable().
  bool vectors = false;
  // The rules of the formats with named columns: at most kFieldCount
  // readings (the rest cut and counted), a line whose time window is not
  // eight hexadecimal digits is no record, a reading whose window is not
  // is missing; both counted.
  bool fieldRules = false;

  // Where records go, and where what the field rules find is counted (if
  // anywhere), for input `file`.
  RecordSink* records = nullptr;
  Counter* tally = nullptr;
  uint32_t file = 0;
  // How many records it handed on.
  uint64_t decoded = 0;

  // Decodes the record text of `length` characters (NUL-terminated there),
  // from line `line` of the input, and hands the record on.
  void decode(const char* text, size_t length, uint64_t line);
};

}  // namespace hexlog
