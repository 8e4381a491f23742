// The flags of the records: the metadata's gross range (NAME_qc, from
// valid_range or valid_min and valid_max) and the QARTOD tests of --qc, each
// a byte per record in the dataset's flag variables, in their order:
//
//   1 GOOD   2 UNKNOWN   3 SUSPECT   4 FAIL   9 MISSING
//
// The QARTOD tests take a reading's series: its values as doubles, in time
// order after ordering, de-duplication and the window, a reading that is
// missing, NaN or infinite being missing (but gross range takes an infinity
// for what it is: outside any span). Some look back (rate of change, flat
// line), the spike test one record ahead too, so the records are handed on
// one record late. The flat line test needs the median time step of the
// whole series, and how long it is: a first pass over the records (QcSeries)
// counts them, or a dataset decoded in parts is given the whole's.
//
//   first pass:  records --> QcSeries (each context's count and steps)
//   writing:     records --> Flagger (record.flags set) --> writer
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "hexlog/hexlog.hpp"
#include "dataset.hpp"
#include "qc_config.hpp"
#include "record.hpp"

namespace hexlog {

constexpr int8_t kFlagGood = 1;
constexpr int8_t kFlagUnknown = 2;
constexpr int8_t kFlagSuspect = 3;
constexpr int8_t kFlagFail = 4;
constexpr int8_t kFlagMissing = 9;

// Whether a record of `time` is in the context's window.
inline bool inContext(const QcContext& context, int64_t time) {
  return !(context.hasFrom && time < context.from) && !(context.hasTo && time >= context.to);
}

// What the first pass learns of each context's series.
class QcSeries : public RecordSink {
 public:
  explicit QcSeries(const QcConfig& config);
  void put(const Record& record) override;
  // As before the first record.
  void clear() { series_.assign(config_.contexts.size(), TimeSteps()); }

  // Each context's series, in the configuration's order.
  const std::vector<TimeSteps>& series() const { return series_; }
  std::vector<SeriesFacts> facts() const;

 private:
  const QcConfig& config_;
  std::vector<TimeSteps> series_;
};

// The flat line test's window for `threshold` seconds over `series`: the
// points before the newest, n = trunc(trunc(threshold) / the median step);
// UINT64_MAX where it flags nothing, a window longer than the series.
uint64_t flatLinePoints(double threshold, const SeriesFacts& series);

// How many records before a record, and after it, of each context's
// `series` its flags take, at most: the flat line test's longest window,
// the one before and after of the spike and rate of change tests.
void qcReach(const QcConfig& config, const std::vector<SeriesFacts>& series, uint64_t& before, uint64_t& after);

// Sets each record's flags and hands it on, one record late; end() hands
// on the last.
class Flagger : public RecordSink {
 public:
  // The flags of `dataset`'s flag variables, for the tests of `config`
  // over each context's series `series` (nullptr without QARTOD tests), at
  // the station's `latitude` and `longitude` (NaN where unknown).
  Flagger(const Dataset& dataset, const QcConfig& config, const std::vector<SeriesFacts>* series, double latitude,
          double longitude, RecordSink& next);
  ~Flagger() override;
  Flagger(const Flagger&) = delete;
  Flagger& operator=(const Flagger&) = delete;

  void put(const Record& record) override;
  void end();

 private:
  struct Plan;
  std::unique_ptr<Plan> plan_;
};

}  // namespace hexlog
