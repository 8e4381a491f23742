// Records held for ordering: in memory up to a budget, each full batch
// sorted by time (a batch already in order is written as it lies) and
// spilled to a temporary file without a name as a sorted run; at the end,
// the runs merged.
//
//   store(record) --> batch in memory --full--> sorted run --> spill file
//                                                   runs 0..63 --merge--> one run, appended
//   replay(sink)  <-- the last batch, or the runs merged by time
//
// Equal times keep the order the records came in. A merge gives back the
// disk of the runs it has read for the last time, so that the file's peak
// stays near the records' own size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record.hpp"

namespace hexlog {

class Interrupt;

struct SpillSettings {
  // Sorted by time; else kept in the order they came.
  bool ordered = true;
  // Bytes of records held in memory before a run is spilled.
  size_t memory = size_t{40} << 20;
  // Where the spill file goes; "/tmp" when empty.
  std::string directory;
  // For the tests: keep peak() up to date.
  bool measure = false;
};

// A record as the spill keeps it, in memory and in its file: a header of
// 24 bytes, then its `count` words, no padding, so that a run is the bytes
// of its records one after another:
//
//   | time | count | missing | file | line (8) | word 0 | ... | word count-1 |
void toRecord(const char* entry, Record& record);

// What replay() hands each record to, as its entry.
class EntrySink {
 public:
  virtual ~EntrySink() = default;
  virtual void take(const char* entry) = 0;
};

class Spill {
 public:
  explicit Spill(const SpillSettings& settings);
  ~Spill();
  Spill(const Spill&) = delete;
  Spill& operator=(const Spill&) = delete;

  // False once the spill has failed.
  bool store(const Record& record);
  bool empty() const { return batch_.records == 0 && runs_.empty(); }

  // After the last record: each record in order to `sink`, `interrupt`
  // asked now and then (a yes fails the spill with EINTR). May be called
  // again for the same records. False if the spill has failed.
  bool replay(EntrySink& sink, Interrupt* interrupt);

  // errno of the failure, 0 while there is none, and what failed ("memory
  // for ordering", "a temporary file in DIR").
  int error() const { return error_; }
  const std::string& errorPlace() const { return errorPlace_; }
  // With SpillSettings::measure, the most disk the spill file took (its
  // blocks as the file system counts them) after any of its writes.
  uint64_t peak() const { return peak_; }

 private:
  struct SortedRun {
    uint64_t offset;  // in the spill file
    uint64_t bytes;
  };
  // Records one after another; `order` their offsets, with their times
  // above them for sorting, when ordered.
  struct Batch {
    char* memory = nullptr;
    size_t used = 0;
    size_t records = 0;
    std::vector<uint64_t> order;
  };
  class Reader;
  class Appender;

  void spill();
  bool sortBatch();
  bool openFile();
  bool write(const char* bytes, size_t n);
  bool merge(size_t first, size_t last, EntrySink& sink, bool release, Interrupt* interrupt);
  void finish();
  void fail(int error, const std::string& place);

  SpillSettings settings_;
  size_t capacity_;
  Batch batch_;
  bool inOrder_ = true;  // every record so far had no earlier time than the one before it
  int32_t lastTime_ = INT32_MIN;
  bool finished_ = false;

  int fd_ = -1;
  std::string place_;  // "a temporary file in DIR", for messages
  uint64_t end_ = 0;
  uint64_t peak_ = 0;
  std::vector<SortedRun> runs_;
  int error_ = 0;
  std::string errorPlace_;
};

}  // namespace hexlog
