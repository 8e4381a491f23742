// The station's own metadata for the archive formats (NCCSV and netCDF):
// a file of NCCSV metadata lines, read and checked once before any input.
//
//   *GLOBAL*,title,"Mooring M1 pCO2 and pH"
//   station_id,*SCALAR*,"M1"
//   latitude,*SCALAR*,36.75d
//   EquilPumpOn_pCO2,units,ppm
//   EquilPumpOn_pCO2,valid_range,0.0f,1000.0f
//
// variable,attribute,value[,value...]: the variable is *GLOBAL*, time, a
// reading's column name, or a scalar variable the file defines with
// *SCALAR*; numbers carry NCCSV's type suffix (b s i L f d, u before it for
// unsigned; an integer without one is an int, a real a double); a string is
// quoted when it holds a comma, a quote (doubled inside) or outer blanks.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace hexlog {

enum class ValueType { kByte, kUByte, kShort, kUShort, kInt, kUInt, kLong, kULong, kFloat, kDouble, kString };

struct Attribute {
  std::string variable;
  std::string name;  // "*SCALAR*" for a scalar variable's value
  ValueType type;
  size_t count;                 // how many values (1 for a string)
  std::vector<char> values;     // the values as that many C numbers, or the string's bytes
  std::string text;             // the value as the file writes it, for NCCSV
};

struct Metadata {
  std::vector<Attribute> attributes;  // in the file's order, *SCALAR* lines included
  std::vector<std::string> scalars;   // the scalar variables' names, in order
};

// Reads and checks the file. On the first fault sets `error` to "FILE:LINE:
// what is wrong" (or why the file cannot be read) and returns false.
bool readMetadata(const char* path, Metadata& metadata, std::string& error);

// The user's attribute of that name for that variable, or nullptr: a pair
// the tool writes by default gives way to it.
const Attribute* findAttribute(const Metadata& metadata, const std::string& variable, const std::string& name);

}  // namespace hexlog
