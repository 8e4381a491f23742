// Whole files and record texts, decoded by the tool and by the plain
// C-library version of the same rules: the bytes must agree.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "capture.hpp"
#include "logs.hpp"
#include "reference.hpp"

namespace {

TEST(Scan, RandomLogsDecodeLikeTheCLibraryVersion) {
  for (unsigned seed = 0; seed < 60; ++seed) {
    std::string log = hostileLog(80, seed);
    bool verboseMode = seed % 2 == 1;
    int32_t start = seed % 5 == 0 ? static_cast<int32_t>(seed % 40) : 24;
    std::string expected = reference::decodeFile(log, start, verboseMode);
    // Small blocks make pieces straddle block boundaries in every way.
    for (size_t size : {kMinScanBuffer, kMinScanBuffer + 1, size_t{1500}, size_t{4099}, size_t{1} << 18})
      ASSERT_EQ(decodeFile(log, verboseMode, start, size), expected) << "seed " << seed << " size " << size;
  }
}

TEST(Scan, LinesAroundThePieceLength) {
  LogMaker maker(99);
  std::string body = maker.recordBody(300);
  for (size_t length : {0, 1, 130, 131, 132, 1021, 1022, 1023, 1024, 1025, 2045, 2046, 2047, 2048, 3069}) {
    for (const char* end : {"", "\n", "\r\n"}) {
      std::string log = body.substr(0, length) + end + body.substr(0, 200) + "\n";
      ASSERT_EQ(decodeFile(log, false, 24, kMinScanBuffer), reference::decodeFile(log, 24, false))
          << length << " " << std::strlen(end);
    }
  }
}

TEST(Scan, NulAtEveryPositionOfARecord) {
  LogMaker maker(7);
  std::string line = maker.recordBody(32) + "\r\n";
  for (size_t at = 0; at < line.size(); ++at) {
    std::string log = line;
    log[at] = '\0';
    log += line;
    ASSERT_EQ(decodeFile(log), reference::decodeFile(log, 24, false)) << at;
  }
}

TEST(Scan, EmptyFileAndWhiteSpaceOnly) {
  EXPECT_EQ(decodeFile(""), "");
  EXPECT_EQ(decodeFile(std::string(5000, ' ')), "");
  EXPECT_EQ(decodeFile(std::string(5000, '\n')), "");
}

TEST(Record, RandomTextsDecodeLikeTheCLibraryVersion) {
  LogMaker maker(5);
  std::mt19937 rng(6);
  for (int i = 0; i < 20000; ++i) {
    std::string text = maker.recordBody(rng() % 40);
    text.resize(text.size() - rng() % 12);  // short last windows
    if (rng() % 4 == 0)
      text += "\r\n";
    text = text.c_str();  // a NUL ends the text
    bool verboseMode = rng() % 2 == 0;
    int32_t start = rng() % 8 == 0 ? static_cast<int32_t>(rng() % 400) - 100 : 24;
    ASSERT_EQ(decode(text, verboseMode, start), reference::decodeText(text.c_str(), start, verboseMode)) << text;
  }
}

TEST(Record, EveryPrefixLengthOnOneRecord) {
  LogMaker maker(8);
  std::string text = maker.recordBody(32) + "\r\n";
  for (int32_t start = -100; start <= 400; ++start)
    for (bool verboseMode : {false, true})
      ASSERT_EQ(decode(text, verboseMode, start), reference::decodeText(text.c_str(), start, verboseMode)) << start;
}

TEST(Record, TheNamesAreTheTableOfTheRecordLayout) {
  for (int k = 0; k < kFieldCount; ++k)
    EXPECT_STREQ(fields[k], reference::kNames[k]) << k;
}

}  // namespace
