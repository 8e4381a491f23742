// The vector path against the scalar one on the same records and files:
// the same bytes, whatever the input. Run where the CPU has AVX2; the
// whole suite runs without it in the -DHEXLOG_VECTOR=OFF build.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "capture.hpp"
#include "csv.hpp"
#include "format.hpp"
#include "reference.hpp"
#include "vector.hpp"

namespace {

// Decodes with and without vectors, restoring the setting.
template <typename Decode>
std::pair<std::string, std::string> bothWays(Decode decodeOnce) {
  bool saved = captureVectors;
  captureVectors = true;
  std::string vector = decodeOnce();
  captureVectors = false;
  std::string scalar = decodeOnce();
  captureVectors = saved;
  return {vector, scalar};
}

// A record text of `windows` windows after the prefix, each clean or, now
// and then, with a byte of any value, a sign, a 0x prefix or blanks in it.
std::string hostileText(std::mt19937& rng, size_t windows, size_t cut) {
  std::string text = "SN0042 2026-06-14 00:00 ";
  for (size_t w = 0; w < windows; ++w) {
    std::string window = hex8(static_cast<uint32_t>(rng()));
    switch (rng() % 24) {
      case 0: window[rng() % 8] = static_cast<char>(rng()); break;
      case 1: window[0] = "+- \t"[rng() % 4]; break;
      case 2: window = "0x" + window.substr(2); break;
      case 3: for (char& c : window) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c))); break;
      default: break;
    }
    text += window;
  }
  text.resize(text.size() - cut % (text.size() - 24 + 1));
  return text + (rng() % 2 ? "\r\n" : "");
}

TEST(Vector, RecordsDecodeAlikeInEveryFormat) {
  if (!vectorsAvailable())
    GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(31);
  for (int i = 0; i < 30000; ++i) {
    // Every length around the vector width, up to far past the 32 readings.
    size_t windows = static_cast<size_t>(i % 70);
    std::string text = hostileText(rng, windows, rng() % 3 == 0 ? rng() % 40 : 0);
    if (rng() % 16 == 0)
      text[rng() % text.size()] = '\0';
    text = text.c_str();
    int32_t start = rng() % 8 == 0 ? static_cast<int32_t>(rng() % 60) - 10 : 24;
    for (bool verboseMode : {false, true}) {
      auto [vector, scalar] = bothWays([&] { return decode(text, verboseMode, start); });
      ASSERT_EQ(vector, scalar) << text;
      ASSERT_EQ(vector, reference::decodeText(text.c_str(), start, verboseMode)) << text;
    }
    auto [vector, scalar] = bothWays([&] { return decodeCsv(text, start); });
    ASSERT_EQ(vector, scalar) << text;
  }
}

TEST(Vector, FilesAreCutAlikeAtEveryBlockSize) {
  if (!vectorsAvailable())
    GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(32);
  for (int round = 0; round < 40; ++round) {
    std::string log;
    while (log.size() < 20000) {
      log += hostileText(rng, rng() % 140, 0);
      log += "\n\0\r\n \t"[rng() % 6];  // over-long lines too: no line end at all
    }
    for (size_t size : {kMinScanBuffer, kMinScanBuffer + 63, size_t{4096}, size_t{1} << 16}) {
      auto [vector, scalar] = bothWays([&] { return decodeFile(log, round % 2 == 1, 24, size); });
      ASSERT_EQ(vector, scalar) << "round " << round << " size " << size;
      ASSERT_EQ(vector, reference::decodeFile(log, 24, round % 2 == 1)) << round;
    }
  }
}

TEST(Vector, ValueTextsAreWhatPrintfWrites) {
  if (!vectorsAvailable())
    GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(33);
  std::vector<uint32_t> words;
  for (uint32_t exponent = 0; exponent < 256; ++exponent)
    for (int i = 0; i < 64; ++i)
      words.push_back((static_cast<uint32_t>(rng()) & 0x807FFFFF) | exponent << 23);
  for (uint32_t bits : {0x00000000u, 0x80000000u, 0x7FC00000u, 0xFF800000u, 0x447A0000u, 0x4479FFFFu, 0xC479FFFFu})
    words.push_back(bits);  // zeros, NaN, -inf, 1000.0 and the float below it
  for (size_t n = 1; n <= words.size(); n += 1 + n / 3) {
    std::vector<char> text(n * kPlainValueRoom);
    std::string vector(text.data(), formatPlainValues(text.data(), words.data(), n));
    std::string expected;
    for (size_t i = 0; i < n; ++i) {
      float value;
      std::memcpy(&value, &words[i], sizeof value);
      char one[64];
      std::snprintf(one, sizeof one, ", %.3f", static_cast<double>(value));
      expected += one;
    }
    ASSERT_EQ(vector, expected) << n;
  }
}

// The readings of csv and NCCSV: the shortest texts, and `missing` for
// NaN (and the infinities) in the same places.
TEST(Vector, ShortestTextsAreWhatToCharsWrites) {
  if (!vectorsAvailable())
    GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(34);
  std::vector<uint32_t> words;
  for (uint32_t exponent = 0; exponent < 256; ++exponent)
    for (int i = 0; i < 256; ++i)
      words.push_back((static_cast<uint32_t>(rng()) & (i < 8 ? 0x80000007 : 0x807FFFFF)) | exponent << 23);
  for (int k = 0; k < 2000; ++k) {  // decimal readings: short texts, trailing zeros dropped
    float value = static_cast<float>(static_cast<int>(rng() % 2000000) - 1000000) / 1000.0f;
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    words.push_back(bits);
  }
  for (bool finiteOnly : {false, true}) {
    std::vector<char> text(words.size() * (1 + kMaxShortestText) + 8);
    bool saved = captureVectors;
    captureVectors = true;
    std::string vector(text.data(), formatReadings(text.data(), words.data(), static_cast<int>(words.size()),
                                                   "NaN", finiteOnly, true));
    captureVectors = saved;
    std::string expected;
    for (uint32_t word : words) {
      float value;
      std::memcpy(&value, &word, sizeof value);
      char one[64];
      bool missing = (word & 0x7FFFFFFF) > 0x7F800000 || (finiteOnly && (word & 0x7FFFFFFF) == 0x7F800000);
      *std::to_chars(one, one + sizeof one, value).ptr = '\0';
      expected += std::string(",") + (missing ? "NaN" : one);
    }
    ASSERT_EQ(vector, expected);
  }
}

}  // namespace
