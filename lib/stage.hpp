// The stage between the record decoder and the writer: the time window, the
// time order across all inputs, and the records dropped as duplicates or
// conflicts. Every writer, and any other caller of the library, gets its
// dataset from here.
//
//   decoder --put--> Stage --(input order)----------------------------> writer
//                      |
//                      +--(time order)--> Spill: batches, sorted runs --replay--> deduplicated --> writer
//                      +--(in order, from files)--> let go: Reread ---replay-----^
//
// Records that come in time order from files that can be read again are
// neither held nor spilled: the stage lets them go, and they are decoded
// again from the files when they are wanted, at replay, or, once a record
// breaks the order, to be held as any others from then on. Equal times keep
// the order the records came in (argument order, then line order): the
// first of a time is written, a later identical one (time and every word)
// is a duplicate, a later different one a conflict; both are dropped and
// counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "record.hpp"
#include "spill.hpp"
#include "tally.hpp"

namespace hexlog {

class Interrupt;
class Reread;

struct StageSettings {
  // Sort by time and drop duplicates and conflicts.
  bool ordered = false;
  // Keep every record for replay() even in input order (a writer that must
  // see them all before it writes the first).
  bool retained = false;
  // Only the records in the window.
  Window window;
  // Of those, the ones counted (written, duplicates, conflicts) when
  // replayed: a part's own, the others read only for its flags.
  Window counted;
  // How the records held are held (memory, where the spill file goes).
  SpillSettings spill;
};

class Stage : public RecordSink {
 public:
  // Records that are neither ordered nor retained go on to `streamTo` at once.
  Stage(const StageSettings& settings, Counter& tally, RecordSink* streamTo);
  ~Stage() override;
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  void put(const Record& record) override;

  const Window& window() const { return settings_.window; }

  // Lets the stage let go of records while they come in order, which
  // `reread` gives back, until inputLost(): from then on records come
  // from an input that cannot be read again.
  void setReread(Reread* reread) { reread_ = reread; }
  void inputLost() { dropping_ = false; }
  // Asked while records are merged and written: a yes fails the stage with
  // EINTR.
  void setInterrupt(Interrupt* interrupt) { interrupt_ = interrupt; }
  // While records are let go, each of those that will be written (neither
  // duplicate nor conflict) goes to `sink` too, as it comes; allLetGo()
  // tells after the last record whether that was every record.
  void setEarly(RecordSink* sink);
  bool allLetGo() const { return leading_; }

  // Whether records are kept for replay() rather than passed on.
  bool retains() const { return settings_.ordered || settings_.retained; }
  // How many records it keeps for replay(), and how many the replay going
  // on (or the last) took of them so far, those it drops included.
  uint64_t held() const { return held_; }
  uint64_t replayed() const { return replayed_; }

  // After the last record: every kept record in its final order, to `sink`,
  // counted as written (and the duplicates and conflicts as such) in the tally when
  // `count`. May be called again for the same records. False if the spill
  // failed, or the records let go could not be had again (the Reread says
  // why).
  bool replay(RecordSink& sink, bool count);

  // errno of the failure, 0 while none: the spill's, or ESTALE where the
  // records let go could not be had again; and what failed.
  int error() const { return error_ != 0 ? error_ : spill_.error(); }
  const std::string& errorPlace() const { return spill_.errorPlace(); }
  uint64_t spillPeak() const { return spill_.peak(); }

 private:
  class Deduplicator;
  class Restored;

  void store(const Record& record);

  StageSettings settings_;
  Counter& tally_;
  RecordSink* streamTo_;
  Spill spill_;

  int32_t lastTime_ = INT32_MIN;
  Reread* reread_ = nullptr;
  Interrupt* interrupt_ = nullptr;
  bool dropping_ = true;
  bool leading_ = true;  // every record so far was let go
  uint64_t held_ = 0;
  uint64_t replayed_ = 0;
  std::unique_ptr<Deduplicator> early_;
  int error_ = 0;
};

}  // namespace hexlog
