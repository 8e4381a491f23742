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
// runs, or for input in order reads them one after another. Input in order
// from files that can be read again is neither kept nor spilled: the stage
// lets it go, and its records are decoded again from the files when they
// are wanted (at replay, or kept as any others once a record breaks the
// order), which costs less than writing and reading them back. Equal times
// keep the order the records came in (argument order, then line order):
// the first of a time is written, a later identical one (time and every
// word) is a duplicate, a later different one a conflict; both are dropped
// and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
  // For the tests: keep spillPeak() up to date.
  bool measureSpill = false;
};

class Reread;
class Interrupt;

class Stage : public RecordSink {
 public:
  // Records that are neither ordered nor retained go on to `streamTo` at once.
  Stage(const StageSettings& settings, Tally& tally, RecordSink* streamTo);
  ~Stage() override;
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  void put(const Record& record) override;

  // The time window of the records the stage takes.
  Window window() const { return Window{settings_.hasFrom, settings_.hasTo, settings_.from, settings_.to}; }

  // Lets the stage let go of records while they come in order, which
  // `reread` gives back, until inputLost(): from then on records come
  // from an input that cannot be read again.
  void setReread(Reread* reread) { reread_ = reread; }
  // Asked while records are merged and written: a yes fails the stage with
  // EINTR.
  void setInterrupt(Interrupt* interrupt) { interrupt_ = interrupt; }
  void inputLost() { dropping_ = false; }
  // While records are let go, each of those that will be written (neither
  // duplicate nor conflict) goes to `sink` too, as it comes; allLetGo()
  // tells after the last record whether that was every record.
  void setEarly(RecordSink* sink);
  bool allLetGo() const { return leading_; }

  // Whether records are kept for replay() rather than passed on.
  bool retains() const { return settings_.ordered || settings_.retained; }

  // After the last record: every kept record in its final order, to `sink`,
  // counted as written (and the dropped ones as dropped) in the tally when
  // `count`. May be called again for the same records. False if the spill
  // file failed.
  bool replay(RecordSink& sink, bool count);

  // errno of a failed spill, 0 while none has failed, and what failed; or
  // ESTALE when the records let go could not be had again (the Reread
  // says why).
  int error() const { return error_; }
  const std::string& errorPlace() const { return errorPlace_; }
  // With StageSettings::measureSpill, the most disk the spill file took
  // (its blocks as the file system counts them) after any of its writes.
  uint64_t spillPeak() const { return spillPeak_; }

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
  class Emitter;
  class Restored;

  bool store(const Record& record);
  void spill(Batch& batch);
  bool restoreLetGo();
  bool interrupted();
  bool openSpill();
  bool writeSpill(const char* bytes, size_t n);
  bool sortBatch(Batch& batch);
  bool mergeRuns(size_t first, size_t last, RecordSink& sink, bool dedup, bool count, bool release);
  uint64_t spillBytes() const;
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

  Reread* reread_ = nullptr;
  Interrupt* interrupt_ = nullptr;
  bool dropping_ = true;
  bool leading_ = true;    // every record so far was let go
  std::unique_ptr<Emitter> early_;

  int spillFd_ = -1;
  std::string spillPlace_;  // "a temporary file in DIR", for messages
  uint64_t spillEnd_ = 0;
  uint64_t spillPeak_ = 0;
  std::vector<Run> runs_;
  int error_ = 0;
  std::string errorPlace_;
};

}  // namespace hexlog
