#include "names.hpp"

#include <cstdio>
#include <cstring>

namespace hexlog {

const char* const fields[kFieldCount] = {
    "EquilPumpOn pCO2",         "EquilPumpOn Temp",     "EquilPumpOn Pressure",
    "EquilPumpOff pCO2",        "EquilPumpOff Temp",    "EquilPumpOff Pressure",
    "EquilPumpOff Humidity",    "ZeroPumpOn pCO2",      "ZeroPumpOn Temp",
    "ZeroPumpOn Pressure",      "ZeroPumpOff pCO2",     "ZeroPumpOff Temp",
    "ZeroPumpOff Pressure",     "AirPumpOn pCO2",       "AirPumpOn Temp",
    "AirPumpOn Pressure",       "AirPumpOff pCO2",      "AirPumpOff Temp",
    "AirPumpOff Pressure",      "AirPumpOff Humdity",   "StandardFlowOn Pressure",
    "StandardFlowOff pCO2",     "StandardFlowOff Temp", "StandardFlowOff Pressure",
    "StandardFlowOff Humidity", "Durafet pH 1",         "Durafet pH 2",
    "Durafet pH 3",             "Durafet pH 4",         "Durafet pH 5",
    "Durafet pH 6",             "Can Humidity",
};

namespace {

struct Names {
  char longName[kFieldCount][kNameColumn + 1];
  char column[kFieldCount][kNameColumn + 1];
  char padded[kFieldCount][kNameRoom] = {};
  Names() {
    for (int k = 0; k < kFieldCount; ++k) {
      std::strcpy(longName[k], std::strcmp(fields[k], "AirPumpOff Humdity") == 0 ? "AirPumpOff Humidity" : fields[k]);
      std::strcpy(column[k], longName[k]);
      for (char* c = column[k]; *c != '\0'; ++c)
        if (*c == ' ')
          *c = '_';
      std::memset(padded[k], ' ', kNameColumn);
      std::memcpy(padded[k], fields[k], std::strlen(fields[k]));
      padded[k][kNameColumn] = '\t';
    }
  }
};
static_assert(kNameColumn + 1 <= kNameRoom);
const Names kNames;

}  // namespace

const char* readingName(int k) {
  return fields[k];
}

const char* columnName(int k) {
  return kNames.column[k];
}

const char* longName(int k) {
  return kNames.longName[k];
}

const char (*paddedNames())[kNameRoom] {
  return kNames.padded;
}

const char* paddedName(size_t k, char* row) {
  if (k < kFieldCount)
    return kNames.padded[k];
  char name[kNameColumn + 1];
  int length = std::snprintf(name, sizeof name, "Reading %zu", k + 1);
  std::memset(row, ' ', kNameColumn);
  std::memcpy(row, name, static_cast<size_t>(length));
  row[kNameColumn] = '\t';
  return row;
}

}  // namespace hexlog
