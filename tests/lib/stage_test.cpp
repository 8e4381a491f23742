// The dataset stage against the plainest statement of its rules: a stable
// sort by time, the first record of each time kept. Whatever the memory
// budget (so however many runs are spilled and merged), replayed once or
// twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "stage.hpp"

using namespace hexlog;

namespace {

struct Collected : RecordSink {
  std::vector<Record> records;
  void put(const Record& record) override { records.push_back(record); }
};

bool sameWords(const Record& a, const Record& b) {
  return a.count == b.count && a.missing == b.missing &&
         std::equal(a.words, a.words + a.count, b.words);
}

TEST(Stage, OrderIsAStableSortKeepingTheFirstOfEachTime) {
  std::mt19937 rng(15);
  // Batches of many sizes, the largest sorted in more than one write.
  const std::pair<size_t, size_t> budgets[] = {{size_t{1} << 20, 3000}, {20000, 3000}, {3000, 3000}, {3 << 20, 40000}};
  for (auto [memory, records] : budgets) {
    for (int round = 0; round < 4; ++round) {
      // Few distinct times, so that many records share one: duplicates
      // (the same words) and conflicts (others).
      std::vector<Record> input(records);
      for (size_t i = 0; i < input.size(); ++i) {
        Record& r = input[i];
        r.time = static_cast<int32_t>(rng() % (records / 4)) - 350 + (round == 0 ? static_cast<int32_t>(i) : 0);
        r.count = rng() % 8 == 0 ? static_cast<uint32_t>(rng() % 40) : 32;
        r.missing = rng() % 16 == 0 ? static_cast<uint32_t>(rng()) : 0;
        r.file = static_cast<uint32_t>(i / 1000);
        r.line = i % 1000 + 1;
        for (uint32_t k = 0; k < r.count; ++k)
          r.words[k] = rng() % 4;
      }
      Counter tally;
      for (size_t file = 0; file * 1000 < records; ++file)
        tally.addInput("f");
      StageSettings settings;
      settings.ordered = true;
      settings.spill.memory = memory;
      Stage stage(settings, tally, nullptr);
      for (const Record& record : input)
        stage.put(record);

      std::vector<Record> expected = input;
      std::stable_sort(expected.begin(), expected.end(), [](const Record& a, const Record& b) { return a.time < b.time; });
      std::vector<Record> first;
      uint64_t duplicates = 0, conflicts = 0;
      for (const Record& r : expected) {
        if (!first.empty() && first.back().time == r.time)
          (sameWords(first.back(), r) ? duplicates : conflicts) += 1;
        else
          first.push_back(r);
      }
      for (int replay = 0; replay < 2; ++replay) {
        Collected kept;
        ASSERT_TRUE(stage.replay(kept, replay == 1)) << stage.error();
        ASSERT_EQ(kept.records.size(), first.size()) << memory;
        for (size_t i = 0; i < first.size(); ++i) {
          ASSERT_EQ(kept.records[i].time, first[i].time) << memory << " " << i;
          ASSERT_EQ(kept.records[i].file * 1000 + kept.records[i].line, first[i].file * 1000 + first[i].line);
          ASSERT_TRUE(sameWords(kept.records[i], first[i]));
        }
      }
      FileCounts total = tally.total();
      EXPECT_EQ(total.written, first.size());
      EXPECT_EQ(total.duplicates, duplicates);
      EXPECT_EQ(total.conflicts, conflicts);
    }
  }
}

TEST(Stage, TheWindowIsFromInclusiveToExclusive) {
  Counter tally;
  tally.addInput("f");
  StageSettings settings;
  settings.window = Window{true, true, 10, 20};
  Collected kept;
  Stage stage(settings, tally, &kept);
  Record record{};
  for (int32_t t : {9, 10, 19, 20, INT32_MIN, INT32_MAX}) {
    record.time = t;
    stage.put(record);
  }
  ASSERT_EQ(kept.records.size(), 2u);
  EXPECT_EQ(kept.records[0].time, 10);
  EXPECT_EQ(kept.records[1].time, 19);
  EXPECT_EQ(tally.total().outside, 4u);
}

}  // namespace
