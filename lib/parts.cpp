// A dataset decoded in parts: what the caller combines of them (see the
// contract's "A dataset in parts").
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "dataset.hpp"
#include "hexlog/hexlog.hpp"
#include "qc.hpp"
#include "qc_config.hpp"

namespace hexlog {

Statistics& Statistics::operator+=(const Statistics& other) {
  if (other.records > 0) {
    firstTime = records == 0 ? other.firstTime : std::min(firstTime, other.firstTime);
    lastTime = records == 0 ? other.lastTime : std::max(lastTime, other.lastTime);
  }
  records += other.records;
  for (int k = 0; k < kReadings; ++k) {
    Range& range = readings[k];
    const Range& theirs = other.readings[k];
    if (!theirs.any)
      continue;
    range.min = range.any ? std::min(range.min, theirs.min) : theirs.min;
    range.max = range.any ? std::max(range.max, theirs.max) : theirs.max;
    range.any = true;
  }
  return *this;
}

SummedTally::SummedTally(std::vector<std::string> names, std::vector<FileCounts> counts,
                         const Place (&first)[kEvents]) {
  names_ = std::move(names);
  counts_ = std::move(counts);
  counts_.resize(names_.size());
  std::copy(first, first + kEvents, first_);
}

bool wholeSeries(const Settings& settings, const int64_t* times, size_t count, Whole& whole, uint64_t& before,
                 uint64_t& after, Failure& failure) {
  QcConfig config;
  std::string error;
  if (!settings.qc.empty() && !readQcConfig(settings.qc.c_str(), config, error)) {
    failure = Failure{FailureKind::kMetadata, 0, error};
    return false;
  }
  // The records' times are 32 bits: the steps as the runs count them.
  TimeSteps all;
  std::vector<TimeSteps> contexts(config.contexts.size());
  for (size_t i = 0; i < count; ++i) {
    auto time = static_cast<int32_t>(times[i]);
    all.add(time);
    for (size_t c = 0; c < contexts.size(); ++c)
      if (inContext(config.contexts[c], time))
        contexts[c].add(time);
  }
  whole.medianStep = all.median();
  whole.contexts.clear();
  for (const TimeSteps& steps : contexts)
    whole.contexts.push_back({steps.records, steps.median()});
  qcReach(config, whole.contexts, before, after);
  return true;
}

}  // namespace hexlog
