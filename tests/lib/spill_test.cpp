// The stage's spill: sorted runs written to a temporary file and merged
// back in passes, its disk given back as it goes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>

#include "folder.hpp"
#include "stage.hpp"

namespace {

// The spill's folder. The suite keeps the name it has had beside the
// stage's other tests.
using Stage = FolderTest;

// Hundreds of spilled runs merged in passes: each pass gives back the disk
// of what it has merged, so that the spill file's peak stays near the
// records' own size, not the sum of every pass (2.5 times here).
TEST_F(Stage, MergingGivesTheDiskBackAsItGoes) {
  int probe = open(path("probe").c_str(), O_RDWR | O_CREAT, 0600);
  bool punches = probe >= 0 && ftruncate(probe, 1 << 20) == 0 &&
                 fallocate(probe, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096) == 0;
  close(probe);
  unlink(path("probe").c_str());
  if (!punches)
    GTEST_SKIP() << "the file system under /tmp cannot free a file's blocks";
  hexlog::Counter tally;
  tally.addInput("f");
  hexlog::StageSettings settings;
  settings.ordered = true;
  settings.spill.memory = 120000;
  settings.spill.directory = dir_;
  settings.spill.measure = true;
  hexlog::Stage stage(settings, tally, nullptr);
  std::mt19937 rng(3);
  hexlog::Record record{};
  record.count = 32;
  const uint64_t records = 200000;
  for (uint64_t i = 0; i < records; ++i) {
    record.time = static_cast<int32_t>(rng());
    record.line = i + 1;
    stage.put(record);
  }
  struct : hexlog::RecordSink {
    uint64_t count = 0;
    int32_t last = INT32_MIN;
    bool sorted = true;
    void put(const hexlog::Record& r) override {
      sorted = sorted && r.time >= last;
      last = r.time;
      ++count;
    }
  } sink;
  ASSERT_TRUE(stage.replay(sink, true));
  EXPECT_TRUE(sink.sorted);
  EXPECT_EQ(sink.count + tally.total().duplicates + tally.total().conflicts, records);
  uint64_t bytes = records * (24 + 4 * 32);
  EXPECT_LT(stage.spillPeak(), bytes + bytes / 4 + (4 << 20)) << "records: " << bytes;
  EXPECT_GT(stage.spillPeak(), bytes / 2) << "the spill was measured";
}

}  // namespace
