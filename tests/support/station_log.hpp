// A station log of any size for tests: its records in time order, 20 s
// apart, their readings any bit patterns.
#pragma once

#include <cstdio>
#include <random>
#include <string>

// `records` record lines of 32 readings behind a header line.
inline std::string makeLog(int records, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::string log = "# station log\n";
  char word[9];
  for (int r = 0; r < records; ++r) {
    std::snprintf(word, sizeof word, "%08X", 1781395220u + 20u * static_cast<unsigned>(r));
    log += "SN0042 2026-06-14 00:00 " + std::string(word);
    for (int k = 0; k < 32; ++k) {
      std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(rng()));
      log += word;
    }
    log += "\r\n";
  }
  return log;
}
