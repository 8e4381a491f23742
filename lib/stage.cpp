#include "stage.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "interrupt.hpp"
#include "reread.hpp"

namespace hexlog {

// Drops duplicates and conflicts (when ordered) and hands the rest on,
// counted as written where there is a tally to count in: the one place
// records leave the stage for the writer.
class Stage::Deduplicator : public RecordSink, public EntrySink {
 public:
  Deduplicator(RecordSink& sink, Counter* tally, bool dedup, const Window& counted, uint64_t* taken)
      : sink_(sink), tally_(tally), dedup_(dedup), counted_(counted), taken_(taken) {}

  void take(const char* entry) override {
    toRecord(entry, *next_);
    takeNext();
  }
  void put(const Record& record) override {
    std::memcpy(next_, &record, offsetof(Record, words) + 4 * size_t{record.count});
    takeNext();
  }

 private:
  void takeNext() {
    if (taken_ != nullptr)
      ++*taken_;
    const Record& record = *next_;
    if (dedup_ && haveFirst_ && record.time == last_->time) {
      // The same time as the first record of it, the last one handed on:
      // the same words too (count, missing bits and words) or not.
      bool same = record.count == last_->count && record.missing == last_->missing &&
                  std::equal(record.words, record.words + record.count, last_->words);
      if (tally_ != nullptr && counted_.contains(record.time))
        tally_->note(same ? Event::kDuplicate : Event::kConflict, record.file, record.line);
      return;
    }
    haveFirst_ = true;
    std::swap(next_, last_);
    if (tally_ != nullptr && counted_.contains(last_->time))
      ++tally_->counts(last_->file).written;
    sink_.put(*last_);
  }

  RecordSink& sink_;
  Counter* tally_;  // where what happened is counted, if anywhere
  bool dedup_;
  Window counted_;
  uint64_t* taken_;  // where the records taken are counted, if anywhere
  bool haveFirst_ = false;
  Record records_[2];
  Record* next_ = &records_[0];
  Record* last_ = &records_[1];
};

// The records let go, decoded again, held in the spill as if they had been
// kept all along.
class Stage::Restored : public RecordSink {
 public:
  explicit Restored(Spill& spill) : spill_(spill) {}
  void put(const Record& record) override { spill_.store(record); }

 private:
  Spill& spill_;
};

Stage::Stage(const StageSettings& settings, Counter& tally, RecordSink* streamTo)
    : settings_(settings), tally_(tally), streamTo_(streamTo), spill_([&] {
        SpillSettings spill = settings.spill;
        spill.ordered = settings.ordered;
        return spill;
      }()) {}

Stage::~Stage() = default;

void Stage::setEarly(RecordSink* sink) {
  early_.reset(new Deduplicator(*sink, nullptr, settings_.ordered, settings_.counted, nullptr));
}

void Stage::put(const Record& record) {
  if (!settings_.window.contains(record.time)) {
    ++tally_.counts(record.file).outside;
    return;
  }
  if (!retains()) {
    ++tally_.counts(record.file).written;
    streamTo_->put(record);
    return;
  }
  if (error() == 0) {
    ++held_;
    store(record);
  }
}

void Stage::store(const Record& record) {
  if (leading_) {
    // Records in order from files that can be read again are let go: they
    // are decoded again when wanted.
    if (reread_ != nullptr && dropping_ && !(settings_.ordered && record.time < lastTime_)) {
      lastTime_ = record.time;
      reread_->letGo(record);
      if (early_ != nullptr)
        early_->put(record);
      return;
    }
    // Wanted now: to be sorted with this record and those that follow, as
    // if they had been kept.
    leading_ = false;
    if (reread_ != nullptr && reread_->records() > 0) {
      Restored restored(spill_);
      bool replayed = reread_->replay(restored);
      reread_->forget();
      if (!replayed) {
        error_ = ESTALE;
        return;
      }
    }
  }
  spill_.store(record);
}

bool Stage::replay(RecordSink& sink, bool count) {
  if (error() != 0)
    return false;
  replayed_ = 0;
  Deduplicator deduplicator(sink, count ? &tally_ : nullptr, settings_.ordered, settings_.counted, &replayed_);
  if (reread_ != nullptr && reread_->records() > 0) {
    // Every record was let go: the files themselves, read again, are the
    // records in order.
    if (!reread_->replay(deduplicator)) {
      error_ = ESTALE;
      return false;
    }
    return true;
  }
  return spill_.replay(deduplicator, interrupt_);
}

}  // namespace hexlog
