// The one table of the readings' names, and the names made from it.
//
//   k   fields[k] (verbose text)   longName(k)            columnName(k)
//   0   EquilPumpOn pCO2           EquilPumpOn pCO2       EquilPumpOn_pCO2
//   19  AirPumpOff Humdity         AirPumpOff Humidity    AirPumpOff_Humidity
//   31  Can Humidity               Can Humidity           Can_Humidity
//
// The verbose text keeps the instrument's own spelling; the formats with
// named columns spell it right.
#pragma once

#include <cstddef>

#include "hexlog/hexlog.hpp"

namespace hexlog {

// Names of the first 32 value words, in record order.
constexpr int kFieldCount = kReadings;
extern const char* const fields[kFieldCount];

// The name column of verbose text, 24 characters: the longest names
// (entries 23 and 24) fill it exactly.
constexpr size_t kNameColumn = 24;

// Reading k's long name in the archive formats: the name, spelt right.
const char* longName(int k);

// Value word k's name column and tab in verbose text, in rows of kNameRoom
// bytes that the vector path copies whole; past the 32 names, "Reading 33"
// and so on (written to `row`, which needs kNameRoom bytes).
constexpr size_t kNameRoom = 32;
const char (*paddedNames())[kNameRoom];
const char* paddedName(size_t k, char* row);

}  // namespace hexlog
