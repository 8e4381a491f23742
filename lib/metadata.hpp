// The station's own metadata for the archive formats (NCCSV and netCDF):
// a file of NCCSV metadata lines, read and checked once before any input.
//
//   *GLOBAL*,title,"Mooring M1 pCO2 and pH"
//   station_id,*SCALAR*,"M1"
//   latitude,*SCALAR*,36.75d
//   EquilPumpOn_pCO2,units,uatm
//   EquilPumpOn_pCO2,valid_range,0.0f,1000.0f
//   Durafet_pH_1,units,1
//
// variable,attribute,value[,value...]: the variable is *GLOBAL*, time, a
// reading's column name, or a scalar variable the file defines with
// *SCALAR*. As in NCCSV 1.2, a number carries its type suffix (b s i L f d,
// u before it for unsigned; NaNf and NaNd); anything else is a String, so
// "units,1" is the string "1". A string is quoted when it holds a comma, a
// quote (doubled inside) or outer blanks, and its JSON escapes (\n, \u00B5)
// stand for their characters.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "hexlog/hexlog.hpp"

namespace hexlog {

// ValueType and Attribute are the library's contract (hexlog.hpp).

struct Metadata {
  std::vector<Attribute> attributes;  // in the file's order, *SCALAR* lines included
  std::vector<std::string> scalars;   // the scalar variables' names, in order
  // Each attribute's place in `attributes`, by "variable\nname" (no name
  // holds a line feed), so the writers' look-ups cost the same however
  // long the file.
  std::unordered_map<std::string, size_t> places;
};

// Reads and checks the file into `metadata` (which it replaces). On the
// first fault returns false with `error` saying "FILE:LINE: what is wrong",
// or why the file cannot be read. Prints nothing.
bool readMetadata(const char* path, Metadata& metadata, std::string& error);

// The user's attribute of that name for that variable, or nullptr: a pair
// the tool writes by default gives way to it.
const Attribute* findAttribute(const Metadata& metadata, const std::string& variable, const std::string& name);

// The attribute's values as doubles; false for a string.
bool numbersOf(const Attribute& attribute, std::vector<double>& numbers);

// How many of the first `n` bytes of `text` are whole UTF-8 characters
// (shortest forms, no surrogates): `n` when all of them are.
size_t utf8Prefix(const char* text, size_t n);

// A string's NCCSV text, which reads back as the same bytes: escaped
// control characters and backslashes, and quoted when bare it would read
// as something else (a number, a char, several values, a padded string).
//
//   1        -> "1"          a"b     -> "a""b"
//   a<LF>b   -> a\nb         " x"    -> " x"
std::string canonicalString(const std::string& value);

}  // namespace hexlog
