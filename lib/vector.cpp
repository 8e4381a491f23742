// The functions of the vector path where it is not built (another CPU, or
// -DHEXLOG_VECTOR=OFF): each does its whole job with the scalar code, so a
// caller that takes them anyway gets the same bytes, only slower.
#include "vector.hpp"

#if !defined(__x86_64__) || defined(HEXLOG_NO_VECTOR)

#include <cstring>

#include "format.hpp"
#include "record.hpp"

namespace hexlog {

bool vectorsAvailable() {
  return false;
}

size_t convertCleanWindows(const char* p, size_t left, uint32_t* words, size_t max) {
  size_t n = 0;
  for (; n < max && left >= 8 * (n + 1) && cleanWindow(p + 8 * n, words[n]); ++n) {
  }
  return n;
}

char* formatPlainValues(char* out, const uint32_t* words, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    std::memcpy(out, ", ", 2);
    out = formatValue(out + 2, words[k]);
  }
  return out;
}

char* formatVerboseValues(char* out, const uint32_t* words, size_t n, const char (*names)[kNameRoom]) {
  for (size_t k = 0; k < n; ++k) {
    std::memcpy(out, names[k], kNameColumn + 1);
    out = formatValue(out + kNameColumn + 1, words[k]);
    std::memcpy(out, "\r\n", 2);
    out += 2;
  }
  return out;
}

char* formatShortestValues(char* out, const uint32_t* words, size_t n, const char* missing, size_t missingLength,
                           uint32_t firstMissing) {
  for (size_t k = 0; k < n; ++k) {
    *out++ = ',';
    if ((words[k] & 0x7FFFFFFF) >= firstMissing) {
      std::memcpy(out, missing, missingLength);
      out += missingLength;
    } else {
      out = formatShortest(out, words[k]);
    }
  }
  return out;
}

int valueLanes(const uint32_t*) {
  return 0;
}

int shortestLanes(const uint32_t*) {
  return 0;
}

void markLineFeedsAndNuls(const char* block, size_t n, uint64_t* lineFeeds, uint64_t* nuls) {
  std::memset(lineFeeds, 0, (n / 64 + 1) * sizeof *lineFeeds);
  std::memset(nuls, 0, (n / 64 + 1) * sizeof *nuls);
  for (size_t i = 0; i < n; ++i) {
    lineFeeds[i / 64] |= uint64_t{block[i] == '\n'} << (i % 64);
    nuls[i / 64] |= uint64_t{block[i] == '\0'} << (i % 64);
  }
}

}  // namespace hexlog

#endif
