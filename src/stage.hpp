// The stage between the record decoder and the writers: the time window,
// the time order across all inputs, and the records dropped as duplicates
// or conflicts. Every writer, and any other caller of the library, gets its
// dataset from here.
//
//   decoder --put--> Stage --put--> writer           (input order: at once)
//                      |
//                      +-- memory (sorted runs) --> spill file --replay--> writer
//
// Ordered, the stage holds records in memory up to a budget, sorts each
// full batch by time (a batch already in order is written as it lies) and
// spills it to an unnamed temporary file as a run; replay() merges the
// runs, or for input in order reads them one after another. Equal times
// keep the order the records came in (argument order, then line order):
// the first of a time is written, a later identical one (time and every
// word) is a duplicate, a later different one a conflict; both are dropped
// and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record.hpp"
#include "tally.hpp"

namespace hexlog {

struct StageSettings {
  // Sort by time and drop duplicates and conflicts.
  bool ordered = false;
  // Keep every record for replay() even in input order (a writer that must
  // see them all before it writes the first).
  bool retained = false;
  // Only records with from <= time < to, where given.
  bool hasFrom = false;
  bool hasTo = false;
  int64_t from = 0;
  int64_t to = 0;
  // Bytes of records held in memory before a run is spilled.
  size_t memory = size_t{40} << 20;
  // Where the spill file goes: $TMPDIR, else /tmp, when empty.
  std::string directory;
};

class Stage : public RecordSink {
 public:
  // Records that are neither ordered nor retained go on to `streamTo` at once.
  Stage(const StageSettings& settings, Tally& tally, RecordSink* streamTo);
  ~Stage() override;
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  void put(const Record& record) override;

  // Whether records are kept for replay() rather than passed on.
  bool retains() const { return settings_.ordered || settings_.retained; }

  // After the last record: every kept record in its final order, to `sink`,
  // counted as written (and the dropped ones as dropped) in the tally when
  // `count`. May be called again for the same records. False if the spill
  // file failed.
  bool replay(RecordSink& sink, bool count);

  // errno of a failed spill, 0 while none has failed; and what failed.
  int error() const { return error_; }
  const std::string& errorPlace() const { return errorPlace_; }

 private:
  struct Run {
    uint64_t offset;  // in the spill file
    uint64_t bytes;
  };
  // Records one after another, each its header and its count words;
  // `order` their offsets, sorted by time when sorted.
  struct Batch {
    char* memory = nullptr;
    size_t used = 0;
    size_t records = 0;
    std::vector<uint64_t> order;
  };
  class Reader;
  class RunWriter;

  bool store(const Record& record);
  void spill(Batch& batch);
  bool openSpill();
  bool writeSpill(const char* bytes, size_t n);
  bool sortBatch(Batch& batch);
  bool mergeRuns(size_t first, size_t last, RecordSink& sink, bool dedup, bool count);
  void fail(int error, const char* what);

  StageSettings settings_;
  Tally& tally_;
  RecordSink* streamTo_;

  char* memory_ = nullptr;
  size_t capacity_ = 0;
  Batch batch_;
  bool inOrder_ = true;  // every record so far had no earlier time than the one before it
  int32_t lastTime_ = INT32_MIN;
  bool finished_ = false;

  int spillFd_ = -1;
  std::string spillPlace_;  // "a temporary file in DIR", for messages
  uint64_t spillEnd_ = 0;
  std::vector<Run> runs_;
  int error_ = 0;
  std::string errorPlace_;
};

}  // namespace hexlog
