// The tool's rules written the plain way, with the C library doing every
// conversion: fgets for the pieces, strtoll on a copied window, printf's
// formats and asctime(gmtime()) for the date. The fast decoder must print
// exactly what this prints.
#pragma once

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bits.hpp"

namespace reference {

// The 32 reading names, typed afresh from the record description.
inline const char* const kNames[32] = {
    "EquilPumpOn pCO2",         "EquilPumpOn Temp",         "EquilPumpOn Pressure",
    "EquilPumpOff pCO2",        "EquilPumpOff Temp",        "EquilPumpOff Pressure",
    "EquilPumpOff Humidity",    "ZeroPumpOn pCO2",          "ZeroPumpOn Temp",
    "ZeroPumpOn Pressure",      "ZeroPumpOff pCO2",         "ZeroPumpOff Temp",
    "ZeroPumpOff Pressure",     "AirPumpOn pCO2",           "AirPumpOn Temp",
    "AirPumpOn Pressure",       "AirPumpOff pCO2",          "AirPumpOff Temp",
    "AirPumpOff Pressure",      "AirPumpOff Humdity",       "StandardFlowOn Pressure",
    "StandardFlowOff pCO2",     "StandardFlowOff Temp",     "StandardFlowOff Pressure",
    "StandardFlowOff Humidity", "Durafet pH 1",             "Durafet pH 2",
    "Durafet pH 3",             "Durafet pH 4",             "Durafet pH 5",
    "Durafet pH 6",             "Can Humidity",
};

inline uint32_t word(const char* p) {
  char window[9];
  size_t n = 0;
  for (; n < 8 && p[n] != '\0'; ++n)
    window[n] = p[n];
  window[n] = '\0';
  return static_cast<uint32_t>(static_cast<unsigned long long>(std::strtoll(window, nullptr, 16)));
}

inline std::string decodeText(const char* text, int32_t start, bool verbose) {
  std::string out;
  char line[128];
  size_t length = std::strlen(text);
  size_t at = start >= 0 && static_cast<size_t>(start) <= length ? static_cast<size_t>(start) : length;
  int32_t time = static_cast<int32_t>(word(text + at));
  if (verbose) {
    std::time_t t = time;
    out += std::asctime(std::gmtime(&t));
    out += "\r\n";
  } else {
    std::snprintf(line, sizeof line, "%ld", static_cast<long>(time));
    out += line;
  }
  size_t k = 0;
  for (at += 8; at <= length && std::isxdigit(static_cast<unsigned char>(text[at])); at += 8, ++k) {
    uint32_t bits = word(text + at);
    float value = floatOf(bits);
    if (verbose) {
      char name[32];
      if (k < 32)
        std::snprintf(name, sizeof name, "%s", kNames[k]);
      else
        std::snprintf(name, sizeof name, "Reading %zu", k + 1);
      std::snprintf(line, sizeof line, "%-24s\t%.3f\r\n", name, static_cast<double>(value));
    } else {
      std::snprintf(line, sizeof line, ", %.3f", static_cast<double>(value));
    }
    out += line;
  }
  return out + "\r\n";
}

// Everything the tool prints for a file holding `bytes`.
inline std::string decodeFile(const std::string& bytes, int32_t start, bool verbose) {
  std::string out;
  if (bytes.empty())
    return out;
  std::string copy = bytes;
  std::FILE* file = fmemopen(copy.data(), copy.size(), "r");
  char buf[1024];
  while (std::fgets(buf, sizeof buf, file) != nullptr) {
    const char* text = buf;
    while (std::isspace(static_cast<unsigned char>(*text)))
      ++text;
    if (std::strlen(text) > 131)
      out += decodeText(text, start, verbose);
  }
  std::fclose(file);
  return out;
}

}  // namespace reference
