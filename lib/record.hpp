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

#include "format.hpp"
#include "output.hpp"
#include "tally.hpp"
#include "vector.hpp"

namespace hexlog {

// Names of the first 32 value words, in record order.
constexpr int kFieldCount = 32;
extern const char* const fields[kFieldCount];

// The 32-bit word in the (at most) 8 characters at `p`, read with the
// syntax of strtol base 16: white space, sign, 0x prefix, digits; modulo 2^32.
// Never reads past the first NUL.
uint32_t getHexLong(const char* p);

// getHexLong for a window with at least eight characters before the NUL,
// the usual case inside a record: eight plain digits are converted without
// strtoll, all eight read at once.
uint32_t getWholeWindow(const char* p);

// The identifier of value word k in the formats with named columns: the
// name with blanks as underscores, and "Humdity" spelt right.
const char* columnName(int k);
// Its long name in the archive formats: the name, spelt right.
const char* longName(int k);

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
};

// The plain or verbose text of a record held whole: the same bytes as
// printOneRecord prints for the line it came from.
void printRecordText(Output& out, const Record& record, bool verbose, bool vectors);

// The decoder of record lines. Its settings are set before the first line;
// one decoder may not be used by two threads at once, two decoders may.
class Decoder {
 public:
  // Characters skipped from the start of the record text before the time word.
  int32_t startChars = 24;
  // Print labelled blocks with a UTC date instead of comma-separated lines.
  bool verbose = false;
  // Whole records with AVX2 where vectorsAvailable().
  bool vectors = vectorsAvailable();
  // The rules of the formats with named columns: at most kFieldCount
  // readings (the rest cut and counted), a line whose time window is not
  // eight hexadecimal digits is no record, a reading whose window is not
  // is missing; both counted.
  bool fieldRules = false;

  // Where records go: as plain or verbose text to `text`, or, when
  // `records` is set, each Record to it. `tally` counts them, for `file`.
  Output* text = nullptr;
  RecordSink* records = nullptr;
  Tally* tally = nullptr;
  uint32_t file = 0;

  // Decodes the record text of `length` characters (NUL-terminated there),
  // from line `line` of the input.
  void printOneRecord(const char* text, size_t length, uint64_t line);
  // The same, for a NUL-terminated text, as the line of number 0.
  void printOneRecord(const char* text);

 private:
  DayCache dates_;
};

}  // namespace hexlog
