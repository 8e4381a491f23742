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

// Characters skipped from the start of the record text before the time word.
extern int32_t startChars;
// Print labelled blocks with a UTC date instead of comma-separated lines.
extern bool verbose;

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

// Decodes the NUL-terminated record text and appends it to the output.
void printOneRecord(const char* text);
// The same, for a caller that knows the text's length (up to its NUL).
void printOneRecord(const char* text, size_t length);

// A record as the formats with named columns take it: the time and the
// first kFieldCount value words.
struct Record {
  int32_t time;
  int count;  // words[0] to words[count - 1] are present
  uint32_t words[kFieldCount];
};

// When set, printOneRecord hands each record to it instead of printing the
// plain or verbose text.
extern void (*recordWriter)(const Record& record);

// Records that had more value words than kFieldCount, cut to that many,
// and where the first of them was.
extern unsigned long long cutRecords;
extern const char* firstCutName;
extern unsigned long long firstCutLine;
