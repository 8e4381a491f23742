// The text writer's two paths against each other: a record line printed as
// it is read (printOneRecord) and the same line decoded into a Record and
// printed from its words (put), which is how the stage's records in time
// order or a window are printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "capture.hpp"
#include "logs.hpp"
#include "record.hpp"
#include "scan.hpp"
#include "text.hpp"

namespace {

// The record texts of a log as the scan hands them on: after their leading
// white space, in pieces of at most 1023 characters.
struct Pieces : PieceSink {
  std::vector<std::string> texts;
  void record(const char* text, size_t length, uint64_t) override { texts.emplace_back(text, length); }
  void tooShort(uint64_t) override {}
  void beforeWait() override {}
  bool stopped() override { return false; }
};

struct Kept : RecordSink {
  std::vector<Record> records;
  void put(const Record& record) override { records.push_back(record); }
};

// Where two outputs part, and what each holds there.
std::string firstDifference(const std::string& a, const std::string& b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at])
    ++at;
  size_t from = at < 60 ? 0 : at - 60;
  return "from byte " + std::to_string(at) + ":\n" + a.substr(from, 120) + "\n---\n" + b.substr(from, 120);
}

// Whatever the line (random words, NaNs and infinities, short records and
// records of more than 32 readings, junk in windows, lower-case digits),
// whatever the prefix, in plain and verbose text, on the vector and the
// scalar path: the records printed in input order, shuffled or in time
// order give exactly the bytes of their lines printed in that order.
TEST(TextWriter, ALinePrintedAsItIsReadIsItsRecordPrintedInAnyOrder) {
  Pieces pieces;
  int fd = memoryFile(hostileLog(60, 41) + variedLog(50, 42).text);
  std::vector<char> buf(kMinScanBuffer);
  ASSERT_TRUE(scanFile(fd, buf.data(), buf.size(), false, pieces));
  close(fd);
  const std::vector<std::string>& texts = pieces.texts;
  ASSERT_GT(texts.size(), 80u);

  // Each prefix up to past most records' ends, then in steps past the longest piece's.
  std::vector<int32_t> starts = {INT32_MIN, INT32_MAX};
  for (int32_t start = -2; start < 1030; start += start < 300 ? 1 : 7)
    starts.push_back(start);
  std::mt19937 rng(43);
  auto fastOut = std::make_unique<Output>(captureFd()), generalOut = std::make_unique<Output>(captureFd());
  std::vector<bool> paths = {false};
  if (vectorsAvailable())
    paths.push_back(true);
  for (int32_t start : starts) {
    for (bool vectors : paths) {
      Kept kept;
      Decoder decoder;
      decoder.startChars = start;
      decoder.vectors = vectors;
      decoder.fieldRules = false;  // the rules of plain text: every line a record, every window a reading
      decoder.records = &kept;
      for (size_t i = 0; i < texts.size(); ++i)
        decoder.decode(texts[i].c_str(), texts[i].size(), i + 1);
      ASSERT_EQ(kept.records.size(), texts.size());

      std::vector<size_t> input(texts.size());
      std::iota(input.begin(), input.end(), size_t{0});
      std::vector<size_t> shuffled = input, byTime = input;
      std::shuffle(shuffled.begin(), shuffled.end(), rng);
      std::stable_sort(byTime.begin(), byTime.end(),
                       [&](size_t a, size_t b) { return kept.records[a].time < kept.records[b].time; });
      for (bool verbose : {false, true}) {
        for (const std::vector<size_t>* order : {&input, &shuffled, &byTime}) {
          TextWriter fast(*fastOut, start, verbose, vectors), general(*generalOut, start, verbose, vectors);
          for (size_t i : *order)
            fast.printOneRecord(texts[i].c_str(), texts[i].size());
          std::string printed = takeOutput(*fastOut);
          for (size_t i : *order)
            general.put(kept.records[i]);
          std::string put = takeOutput(*generalOut);
          ASSERT_TRUE(printed == put) << "start " << start << (vectors ? ", vectors" : "")
                                      << (verbose ? ", verbose" : "") << ", in "
                                      << (order == &input ? "input" : order == &shuffled ? "shuffled" : "time")
                                      << " order, " << firstDifference(printed, put);
        }
      }
    }
  }
}

}  // namespace
