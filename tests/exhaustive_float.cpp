// Holds formatValue against snprintf("%.3f") and formatShortest against
// std::to_chars for all 2^32 bit patterns.
// Too slow for the default run (minutes on two cores): built always, run
// with the long tests (-DHEXLOG_LONG_TESTS=ON) or by hand.
#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "format.hpp"

int main() {
  unsigned threads = std::thread::hardware_concurrency();
  if (threads == 0)
    threads = 2;
  std::atomic<uint64_t> mismatches{0};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([t, threads, &mismatches] {
      for (uint64_t bits = t; bits <= UINT32_MAX; bits += threads) {
        uint32_t word = static_cast<uint32_t>(bits);
        float value;
        std::memcpy(&value, &word, sizeof value);
        char expected[64], text[kMaxValueText];
        int length = std::snprintf(expected, sizeof expected, "%.3f", static_cast<double>(value));
        char* end = formatValue(text, word);
        if (end - text != length || std::memcmp(text, expected, static_cast<size_t>(length)) != 0) {
          if (mismatches++ < 20)
            std::fprintf(stderr, "mismatch at %08" PRIX32 ": %s vs %.*s\n", word, expected,
                         static_cast<int>(end - text), text);
        }
        length = static_cast<int>(std::to_chars(expected, expected + sizeof expected, value).ptr - expected);
        end = formatShortest(text, word);
        if (end - text != length || std::memcmp(text, expected, static_cast<size_t>(length)) != 0) {
          if (mismatches++ < 20)
            std::fprintf(stderr, "shortest mismatch at %08" PRIX32 ": %.*s vs %.*s\n", word, length, expected,
                         static_cast<int>(end - text), text);
        }
      }
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  std::printf("%" PRIu64 " bit patterns checked, %" PRIu64 " mismatches\n", uint64_t{1} << 32, mismatches.load());
  return mismatches == 0 ? 0 : 1;
}
