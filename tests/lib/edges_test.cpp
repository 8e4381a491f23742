// The decoder and the writers at the very edges of their buffers, where the
// sanitizers of the ASan build see any byte read or written out of bounds:
// texts in heap blocks of exactly their size, output that fills the buffer
// to its last byte.
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <random>

#include "capture.hpp"
#include "logs.hpp"
#include "reference.hpp"

namespace {

// A copy of `text` in a heap block of exactly its size and its NUL.
std::unique_ptr<char[]> exactCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

TEST(Edges, AShortLastWindowAtTheVeryEndOfTheText) {
  std::string full = recordText(1781395220, std::vector<uint32_t>(40, 0x43C61A84));
  for (bool vectors : {false, vectorsAvailable()}) {
    captureVectors = vectors;
    for (size_t length = 24; length <= full.size() - 2; ++length) {
      std::string text = full.substr(0, length);
      auto heap = exactCopy(text);
      for (bool verboseMode : {false, true}) {
        Captured captured(verboseMode, 24);
        captured.writer.printOneRecord(heap.get(), length);
        ASSERT_EQ(takeOutput(captured.out), reference::decodeText(text.c_str(), 24, verboseMode)) << length;
      }
      decodeCsv(heap.get());  // the field rules walk the same windows
    }
  }
  captureVectors = vectorsAvailable();
}

TEST(Edges, TextLongerThanTheRoomLeft) {
  auto out = std::make_unique<Output>(captureFd());
  std::string first(Output::kSize - 10, 'a'), second(3 * Output::kSize + 7, 'b');
  out->text(first.data(), first.size());
  out->text(second.data(), second.size());
  EXPECT_EQ(takeOutput(*out), first + second);
}

// Rows of the longest readings, the first starting at every offset near
// the end of the buffer, so that some end exactly on its last byte.
TEST(Edges, CsvRowsOfTheLongestReadingsAtTheEndOfTheBuffer) {
  Record record{};
  record.time = INT32_MIN;
  record.count = kFieldCount;
  for (uint32_t& word : record.words)
    word = 0x80800001;  // -1.1754945e-38: as long as a reading's text gets
  char text[64];
  std::string reading(text, std::to_chars(text, text + sizeof text, floatOf(record.words[0])).ptr);
  std::string row = "1901-12-13T20:45:52Z";
  for (int k = 0; k < kFieldCount; ++k)
    row += "," + reading;
  row += "\n";
  Counter tally;
  tally.addInput("test");
  for (size_t fill = Output::kSize - row.size() - 40; fill <= Output::kSize; ++fill) {
    auto out = std::make_unique<Output>(captureFd());
    std::string filler(fill, 'x');
    out->text(filler.data(), filler.size());
    CsvWriter csv(*out, false, captureVectors, nullptr);
    csv.put(record);
    csv.put(record);
    ASSERT_EQ(takeOutput(*out), filler + row + row) << fill;
  }
}

}  // namespace
