// Whole files and record texts, decoded by the tool and by the plain
// C-library version of the same rules: the bytes must agree.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "capture.hpp"
#include "reference.hpp"

namespace {

// Log-like text with everything that can go wrong in it: well-formed records
// in either case, junk inside windows, NULs, indentation, every line end,
// lines far over 1023 characters, blank lines and random bytes.
class LogMaker {
 public:
  explicit LogMaker(unsigned seed) : rng_(seed) {}

  std::string file(int lines) {
    std::string out;
    for (int i = 0; i < lines; ++i)
      out += line();
    if (rng_() % 3 == 0 && !out.empty() && out.back() == '\n')
      out.pop_back();  // no line end at the end of the file
    return out;
  }

  std::string recordBody(size_t values) {
    std::string out = "SN0042 2026-06-14 00:00 " + word();
    for (size_t k = 0; k < values; ++k)
      out += word();
    return out;
  }

 private:
  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  std::string word() {
    std::string w = hex8(static_cast<uint32_t>(rng_()));
    if (pick(3) == 0)
      for (char& c : w)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (pick(40) == 0)
      w[pick(8)] = "x -+\t\0zG"[pick(8)];
    if (pick(80) == 0)
      w = std::string("0x") + w.substr(2);
    return w;
  }

  std::string line() {
    std::string body;
    switch (pick(8)) {
      case 0:
        body = std::string(pick(200), "ab \t"[pick(4)]);
        break;
      case 1:
        for (uint32_t n = pick(300); n > 0; --n)
          body += static_cast<char>(pick(256));
        break;
      case 2:
        body = recordBody(pick(200));  // often over 1023 characters
        break;
      default:
        body = recordBody(pick(3) == 0 ? pick(40) : 32);
        break;
    }
    if (pick(10) == 0)
      body.insert(0, std::string(pick(6), " \t\r\v\f"[pick(5)]));
    if (pick(20) == 0 && !body.empty())
      body[pick(static_cast<uint32_t>(body.size()))] = '\0';
    static const char* const ends[] = {"\r\n", "\n", "\r\r\n", "\n\n"};
    return body + ends[pick(4)];
  }

  std::mt19937 rng_;
};

TEST(Scan, RandomLogsDecodeLikeTheCLibraryVersion) {
  for (unsigned seed = 0; seed < 60; ++seed) {
    LogMaker maker(seed);
    std::string log = maker.file(80);
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
