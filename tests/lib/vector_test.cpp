// The vector path against the scalar one on the same records and files:
// the same bytes, whatever the input. Run where the CPU has AVX2; the
// whole suite runs without it in the -DHEXLOG_VECTOR=OFF build.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "capture.hpp"
#include "csv.hpp"
#include "format.hpp"
#include "logs.hpp"
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

TEST(Vector, RecordsDecodeAlikeInEveryFormat) {
  if (!vectorsAvailable())
    GTEST_SKIP() << "no AVX2 here";
  LogMaker maker(31);
  std::mt19937& rng = maker.rng;
  for (int i = 0; i < 30000; ++i) {
    // Every length around the vector width, up to far past the 32 readings.
    size_t windows = static_cast<size_t>(i % 70);
    std::string text = maker.junkRecord(windows, rng() % 3 == 0 ? rng() % 40 : 0);
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
  LogMaker maker(32);
  std::mt19937& rng = maker.rng;
  for (int round = 0; round < 40; ++round) {
    std::string log;
    while (log.size() < 20000) {
      log += maker.junkRecord(rng() % 140, 0);
      log += "\n\0\r\n \t"[rng() % 6];  // over-long lines too: no line end at all
    }
    for (size_t size : {kMinScanBuffer, kMinScanBuffer + 63, size_t{4096}, size_t{1} << 16}) {
      auto [vector, scalar] = bothWays([&] { return decodeFile(log, round % 2 == 1, 24, size); });
      ASSERT_EQ(vector, scalar) << "round " << round << " size " << size;
      ASSERT_EQ(vector, reference::decodeFile(log, 24, round % 2 == 1)) << round;
    }
  }
}

// Random words of every exponent, and both signs of the floats around the
// places where a text changes shape: each power of ten, and the point below
// it where %.3f rounds up to it; the lanes' bounds; ties; zeros, NaN
// (payloads too), infinities.
std::vector<uint32_t> testWords(std::mt19937& rng, int perExponent, uint32_t mantissaMask) {
  std::vector<uint32_t> words;
  for (uint32_t exponent = 0; exponent < 256; ++exponent)
    for (int i = 0; i < perExponent; ++i)
      words.push_back((static_cast<uint32_t>(rng()) & (i < 8 ? 0x80000007 : mantissaMask)) | exponent << 23);
  for (double power = 1e-5; power < 1e10; power *= 10)
    for (double edge : {power, power - 0.0005, power * 1.5})
      for (uint32_t bits = bitsOf(static_cast<float>(edge)) - 3; bits != bitsOf(static_cast<float>(edge)) + 4; ++bits)
        words.insert(words.end(), {bits, bits | 0x80000000});
  for (uint32_t bits : {0x00000000u, 0x80000000u, 0x7FC00000u, 0xFFC0DEADu, 0x7F800000u, 0xFF800000u, 0x447A0000u,
                        0x42C7FF7Du, 0x4479FFFFu, 0xC479FFFFu, 0x447A0100u, 0x497FFFF0u, 0x4B000000u, 0x4B7FFFFFu})
    words.push_back(bits);  // ..., 1000, 99.999, ..., 1000.0625 (a tie), 1048575, 2^23, 2^24 - 1
  return words;
}

TEST(Vector, ValueTextsAreWhatPrintfWrites) {
  if (!vectorsAvailable())
    GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(33);
  std::vector<uint32_t> words = testWords(rng, 64, 0x807FFFFF);
  // Runs of readings below 1000 take lanes of their own: all the words
  // again, with 10^6 as every eighth, take the general ones.
  std::vector<uint32_t> wide;
  for (uint32_t word : words) {
    if (wide.size() % 8 == 7)
      wide.push_back(bitsOf(1e6f));
    wide.push_back(word);
  }
  char names[32][kNameRoom];
  for (int k = 0; k < 32; ++k)
    std::snprintf(names[k], kNameRoom, "%-24s\t", ("Reading " + std::to_string(k)).c_str());
  for (const std::vector<uint32_t>& list : {words, wide}) {
    std::vector<std::string> texts;
    for (uint32_t word : list) {
      char one[64];
      std::snprintf(one, sizeof one, "%.3f", static_cast<double>(floatOf(word)));
      texts.push_back(one);
    }
    // Lengths up to all the words, and all of them from each of eight
    // starts, so that each word takes each lane; in exactly the room asked
    // for, so that the sanitizers see any overrun.
    auto plainAlike = [&](size_t start, size_t n) {
      std::string expected;
      for (size_t i = start; i < start + n; ++i)
        expected += ", " + texts[i];
      std::vector<char> text(n * kPlainValueRoom);
      ASSERT_EQ(std::string(text.data(), formatPlainValues(text.data(), list.data() + start, n)), expected) << n;
    };
    for (size_t n = 1; n < list.size(); n += 1 + n / 3)
      plainAlike(0, n);
    for (size_t start = 0; start < 8; ++start)
      plainAlike(start, list.size() - start);
    // Verbose blocks of 32, the names from a table of their own.
    for (size_t i = 0; i + 32 <= list.size(); i += 29) {
      std::string expected;
      for (size_t k = 0; k < 32; ++k)
        expected += std::string(names[k]) + texts[i + k] + "\r\n";
      std::vector<char> text(32 * kVerboseValueRoom);
      ASSERT_EQ(std::string(text.data(), formatVerboseValues(text.data(), list.data() + i, 32, names)), expected);
    }
  }
  // The general lanes take every finite float below 10^7 themselves.
  for (size_t i = 0; i + 8 <= words.size(); ++i) {
    int claims = 0;
    for (int lane = 0; lane < 8; ++lane)
      claims |= (std::fabs(floatOf(words[i + static_cast<size_t>(lane)])) < 1e7f) << lane;
    ASSERT_EQ(valueLanes(words.data() + i), claims) << i;
  }
}

// The readings of csv and NCCSV: the shortest texts, and `missing` for
// NaN (and the infinities) in the same places.
TEST(Vector, ShortestTextsAreWhatToCharsWrites) {
  if (!vectorsAvailable())
    GTEST_SKIP() << "no AVX2 here";
  std::mt19937 rng(34);
  std::vector<uint32_t> words = testWords(rng, 256, 0x807FFFFF);
  for (int k = 0; k < 2000; ++k) {  // decimal readings: short texts, trailing zeros dropped
    float value = static_cast<float>(static_cast<int>(rng() % 2000000) - 1000000) / 1000.0f;
    words.push_back(bitsOf(value));
  }
  for (int k = 0; k < 4000; ++k)  // integers, from 0 to past 2^24, and powers of two
    words.push_back(bitsOf(static_cast<float>(rng() >> (rng() % 32))));
  for (uint32_t exponent = 0; exponent < 256; ++exponent)
    words.insert(words.end(), {exponent << 23, exponent << 23 | 0x80000000});
  std::vector<std::string> texts;
  for (uint32_t word : words) {
    char one[64];
    *std::to_chars(one, one + sizeof one, floatOf(word)).ptr = '\0';
    texts.push_back(one);
  }
  for (uint32_t firstMissing : {0x7F800000u, 0x7F800001u}) {
    for (size_t start = 0; start < 8; ++start) {
      std::vector<char> text((words.size() - start) * (1 + kMaxShortestText) + 8);
      std::string expected;
      for (size_t i = start; i < words.size(); ++i)
        expected += ((words[i] & 0x7FFFFFFF) >= firstMissing ? ",NaN" : "," + texts[i]);
      ASSERT_EQ(std::string(text.data(), formatShortestValues(text.data(), words.data() + start,
                                                              words.size() - start, "NaN", 3, firstMissing)),
                expected);
    }
  }
  // The lanes take every float below 10^7 written in the fixed form.
  for (size_t i = 0; i + 8 <= words.size(); ++i) {
    int claims = 0;
    for (size_t lane = 0; lane < 8; ++lane) {
      const std::string& one = texts[i + lane];
      claims |= (std::fabs(floatOf(words[i + lane])) < 1e7f && one.find_first_of("eni") == std::string::npos) << lane;
    }
    ASSERT_EQ(shortestLanes(words.data() + i), claims) << i;
  }
}

}  // namespace
