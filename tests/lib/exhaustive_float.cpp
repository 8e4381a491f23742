// Holds each reading's text against the C library for all 2^32 bit
// patterns: formatValue and, where the CPU has it, the vector formatter
// (eight words at a time) against snprintf("%.3f"); formatShortest and the
// vector one against std::to_chars. The %.3f texts go through both kinds
// of lanes: those that take runs of readings below 1000, and with 10^6 in
// the same run the general ones. And the vector formatters write in their
// lanes every float they claim: each finite one below 10^7, and below 10^7
// each that to_chars writes in the fixed form.
// Too slow for the default run (tens of minutes on two cores): built
// always, run with the long tests (-DHEXLOG_LONG_TESTS=ON) or by hand.
#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bits.hpp"
#include "format.hpp"
#include "vector.hpp"

using namespace hexlog;

namespace {

std::atomic<uint64_t> mismatches{0};

void expect(const char* what, uint32_t word, const char* begin, const char* end, const std::string& expected) {
  if (std::string(begin, end) != expected && mismatches++ < 20)
    std::fprintf(stderr, "%s mismatch at %08" PRIX32 ": %s vs %.*s\n", what, word, expected.c_str(),
                 static_cast<int>(end - begin), begin);
}

}  // namespace

int main() {
  unsigned threads = std::thread::hardware_concurrency();
  if (threads == 0)
    threads = 2;
  bool vectors = vectorsAvailable();
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([t, threads, vectors] {
      uint32_t words[9];
      words[8] = 0x49742400;  // 10^6
      char text[9 * kPlainValueRoom];
      for (uint64_t base = uint64_t{8} * t; base <= UINT32_MAX; base += uint64_t{8} * threads) {
        std::string plain, shortest;
        int valueClaims = 0, shortestClaims = 0;
        for (uint32_t i = 0; i < 8; ++i) {
          uint32_t word = words[i] = static_cast<uint32_t>(base + i);
          float value = floatOf(word);
          char expected[64];
          std::snprintf(expected, sizeof expected, "%.3f", static_cast<double>(value));
          expect("value", word, text, formatValue(text, word), expected);
          plain += std::string(", ") + expected;
          *std::to_chars(expected, expected + sizeof expected, value).ptr = '\0';
          expect("shortest", word, text, formatShortest(text, word), expected);
          shortest += (word & 0x7FFFFFFF) > 0x7F800000 ? std::string(",") : std::string(",") + expected;
          valueClaims |= (std::fabs(value) < 1e7f) << i;
          shortestClaims |= (std::fabs(value) < 1e7f && std::strpbrk(expected, "eni") == nullptr) << i;
        }
        if (vectors) {
          expect("vector", words[0], text, formatPlainValues(text, words, 8), plain);
          expect("vector", words[0], text, formatPlainValues(text, words, 9), plain + ", 1000000.000");
          expect("vector shortest", words[0], text, formatShortestValues(text, words, 8, "", 0, 0x7F800001),
                 shortest);
          if (valueLanes(words) != valueClaims && mismatches++ < 20)
            std::fprintf(stderr, "value lanes at %08" PRIX32 ": %02X, not %02X\n", words[0], valueLanes(words),
                         valueClaims);
          if (shortestLanes(words) != shortestClaims && mismatches++ < 20)
            std::fprintf(stderr, "shortest lanes at %08" PRIX32 ": %02X, not %02X\n", words[0], shortestLanes(words),
                         shortestClaims);
        }
      }
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  std::printf("%" PRIu64 " bit patterns checked%s, %" PRIu64 " mismatches\n", uint64_t{1} << 32,
              vectors ? " (the vector formatter too)" : "", mismatches.load());
  return mismatches == 0 ? 0 : 1;
}
