// The fast conversions against the C library on the same input: windows
// against strtoll in base 16 on the same (at most 8) characters, the value,
// time and date texts against snprintf, asctime(gmtime()) and strftime, the
// shortest reading against std::to_chars. Any mismatch aborts.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "format.hpp"
#include "record.hpp"
#include "reference.hpp"

using namespace hexlog;

namespace {

void expectSame(const char* begin, const char* end, const char* expected) {
  if (static_cast<size_t>(end - begin) != std::strlen(expected) ||
      std::memcmp(begin, expected, static_cast<size_t>(end - begin)) != 0)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char window[13] = {};
  std::memcpy(window, data, size < 12 ? size : 12);
  uint32_t expected = reference::word(window);
  if (getHexLong(window) != expected)
    std::abort();
  if (std::strlen(window) >= 8 && getWholeWindow(window) != expected)
    std::abort();

  if (size < 4)
    return 0;
  uint32_t bits;
  std::memcpy(&bits, data, sizeof bits);
  char text[64], fast[64];

  float value = floatOf(bits);
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(value));
  expectSame(fast, formatValue(fast, bits), text);

  int32_t seconds = static_cast<int32_t>(bits);
  std::snprintf(text, sizeof text, "%d", seconds);
  expectSame(fast, formatInt(fast, seconds), text);

  std::time_t t = seconds;
  expectSame(fast, formatDate(fast, seconds), std::asctime(std::gmtime(&t)));
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
  expectSame(fast, formatIsoTime(fast, seconds), text);

  *std::to_chars(text, text + sizeof text, value).ptr = '\0';
  expectSame(fast, formatShortest(fast, bits), text);
  return 0;
}
