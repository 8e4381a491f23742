#include "record.hpp"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "output.hpp"

int32_t startChars = 24;
bool verbose = false;

const char* const fields[kFieldCount] = {
    "EquilPumpOn pCO2",      "EquilPumpOn Temp",         "EquilPumpOn Pressure",
    "EquilPumpOff pCO2",     "EquilPumpOff Temp",        "EquilPumpOff Pressure",
    "EquilPumpOff Humidity", "ZeroPumpOn pCO2",          "ZeroPumpOn Temp",
    "ZeroPumpOn Pressure",   "ZeroPumpOff pCO2",         "ZeroPumpOff Temp",
    "ZeroPumpOff Pressure",  "AirPumpOn pCO2",           "AirPumpOn Temp",
    "AirPumpOn Pressure",    "AirPumpOff pCO2",          "AirPumpOff Temp",
    "AirPumpOff Pressure",   "AirPumpOff Humdity",       "StandardFlowOn Pressure",
    "StandardFlowOff pCO2",  "StandardFlowOff Temp",     "StandardFlowOff Pressure",
    "StandardFlowOff Humidity", "Durafet pH 1",          "Durafet pH 2",
    "Durafet pH 3",          "Durafet pH 4",             "Durafet pH 5",
    "Durafet pH 6",          "Can Humidity",
};

uint32_t getHexLong(const char* p) {
  // The copy keeps strtol from reading beyond the window.
  char window[9];
  size_t n = 0;
  while (n < 8 && p[n] != '\0') {
    window[n] = p[n];
    ++n;
  }
  window[n] = '\0';
  // strtoll, not strtol: eight digits must not clamp where long has 32 bits.
  long long value = std::strtoll(window, nullptr, 16);
  return static_cast<uint32_t>(static_cast<unsigned long long>(value));
}

namespace {

float wordToFloat(uint32_t word) {
  float f;
  std::memcpy(&f, &word, sizeof f);
  return f;
}

void printTime(int32_t seconds) {
  char* o = outputReserve(kMaxReserve);
  if (verbose) {
    std::time_t t = seconds;
    std::tm tm;
    char date[32];
    gmtime_r(&t, &tm);
    asctime_r(&tm, date);  // ends in its own line feed
    o += std::snprintf(o, kMaxReserve, "%s\r\n", date);
  } else {
    o += std::snprintf(o, kMaxReserve, "%" PRId32, seconds);
  }
  outputCommit(o);
}

void printValue(size_t k, float value) {
  char* o = outputReserve(kMaxReserve);
  if (verbose) {
    char reading[32];
    const char* name = reading;
    if (k < kFieldCount)
      name = fields[k];
    else
      std::snprintf(reading, sizeof reading, "Reading %zu", k + 1);
    o += std::snprintf(o, kMaxReserve, "%-24s\t%.3f\r\n", name, static_cast<double>(value));
  } else {
    o += std::snprintf(o, kMaxReserve, ", %.3f", static_cast<double>(value));
  }
  outputCommit(o);
}

}  // namespace

void printOneRecord(const char* text) {
  size_t len = std::strlen(text);
  const char* end = text + len;
  // A prefix that reaches outside the text leaves no time word: pointing at
  // the terminating NUL prints time 0 and no values, and reads nothing more.
  const char* pos = end;
  if (startChars >= 0 && static_cast<size_t>(startChars) <= len)
    pos = text + startChars;

  printTime(static_cast<int32_t>(getHexLong(pos)));
  size_t k = 0;
  // Compare remaining lengths, not pointers, so that no pointer is ever
  // formed beyond the end of the text.
  for (size_t left = static_cast<size_t>(end - pos); left > 8 && std::isxdigit(static_cast<unsigned char>(pos[8]));
       left -= 8, ++k) {
    pos += 8;
    printValue(k, wordToFloat(getHexLong(pos)));
  }
  outputText("\r\n", 2);
}
